// The agent's real jobs with the real MySQL tools against a real server:
// backup, restore and point-in-time recovery through MySqlChildProcess, the
// command-line syntax as the real client sees it, the tools' failures as the
// library reports them, impersonation and the fixed environments; and the
// example host program mysqlchild on top.
//
// The server is the throwaway one that the ctest fixture starts with
// scripts/mariadb-server (its description is in <dir>/server.info). Results
// are compared with the same tool run directly (posix_spawn with the argument
// vector spelled out), so each case checks the library against the tool
// itself rather than against remembered output.

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "integration/ServerTools.h"
#include "support/TestSupport.h"

extern char** environ;

namespace {

using LibMySqlProcess::MySqlChildProcess;
using integration::Contains;
using integration::Direct;
using integration::FindTool;
using integration::RunDirect;
using integration::ServerInfoValues;
using integration::ShellCode;
using integration::Trim;
using testsupport::HostEnv;
using testsupport::ReadAll;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

constexpr long kChunk = 1L << 20;
constexpr int kSampleRows = 100000;

std::string LastLine(const std::string& text)
{
    const std::string trimmed = Trim(text);
    const size_t nl = trimmed.rfind('\n');
    return nl == std::string::npos ? trimmed : trimmed.substr(nl + 1);
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct ServerInfo {
    bool available = false;
    std::string missing;
    std::string socket;
    std::string user;
    std::string passwordUser;
    std::string password;
    std::string binlogDir;
};

const ServerInfo& Server()
{
    static const ServerInfo info = [] {
        ServerInfo s;
        const std::string dir = MYSQLPROCESS_TEST_SERVER_DIR;
        const std::string missing = Trim(ReadFile(dir + "/missing"));
        if (!missing.empty()) {
            s.missing = missing;
            return s;
        }
        const std::string text = ReadFile(dir + "/server.info");
        if (text.empty()) {
            s.missing = "no running test server (" + dir +
                        "/server.info is missing): run these tests through ctest, whose fixture starts it";
            return s;
        }
        std::map<std::string, std::string> values = ServerInfoValues(dir);
        s.socket = values["SOCKET"];
        s.user = values["USER"];
        s.passwordUser = values["PASSWORD_USER"];
        s.password = values["PASSWORD"];
        s.binlogDir = values["BINLOG_DIR"];
        s.available = !s.socket.empty() && !s.user.empty();
        if (!s.available)
            s.missing = "the test server description " + dir + "/server.info is incomplete";
        return s;
    }();
    return info;
}

void SleepPastSecond()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long rest = 1000000000L - now.tv_nsec + 50000000L;
    std::this_thread::sleep_for(std::chrono::nanoseconds(rest));
}

// Local time, as mysqlbinlog reads its --stop-datetime.
std::string NowText()
{
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

enum class Env { Inherit, System, Base };

// One child driven from Initialize to Wait, the input fed on a thread of its
// own while this thread reads the output, as a host must for big transfers.
struct ChildRun {
    int init = -1;
    int launch = -1;
    int wait = -1;
    int lastErr = 0;
    bool statusKnown = false;
    int status = 0;
    std::string out;
    long long written = 0;
    int writeRc = 0;
    int writeErr = 0;
    int code() const { return statusKnown ? ShellCode(status) : -1; }
};

struct DriveOptions {
    const std::string* input = nullptr;
    std::string user;
    Env env = Env::Inherit;
    bool waitThread = false;
    std::function<void()> afterInitialize;
};

ChildRun Drive(MySqlChildProcess& child, const std::string& command, const DriveOptions& opts = DriveOptions())
{
    ChildRun r;
    r.init = child.Initialize(command, opts.user, std::string());
    if (r.init != 0)
        return r;
    if (opts.afterInitialize)
        opts.afterInitialize();
    r.launch = child.HX_CreateProcess(false, false, opts.env == Env::System, opts.env == Env::Base);
    if (r.launch != 0)
        return r;
    if (opts.waitThread) {
        EXPECT_EQ(child.BeginWait(), 0);
    }
    std::thread writer([&] {
        if (opts.input != nullptr) {
            std::string& data = const_cast<std::string&>(*opts.input);
            for (size_t at = 0; at < data.size(); at += static_cast<size_t>(kChunk)) {
                const long n = static_cast<long>(std::min(data.size() - at, static_cast<size_t>(kChunk)));
                if (child.WriteBuf(&data[at], n) != 0) {
                    r.writeRc = -1;
                    r.writeErr = child.m_lastErr;
                    break;
                }
                r.written += n;
            }
        }
        child.CloseInput();
    });
    r.out = ReadAll(child, kChunk + 1);
    writer.join();
    child.Finalize();
    if (opts.waitThread) {
        EXPECT_TRUE(testsupport::AwaitWaitThread(child, 90)) << "the wait thread never finished";
        r.wait = child.m_waitComplete ? 0 : -1;
    } else {
        r.wait = child.Wait(0);
        r.lastErr = child.m_lastErr;
    }
    r.statusKnown = child.m_exitStatusKnown;
    r.status = child.m_exitStatus;
    return r;
}

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name)
    {
        const char* old = getenv(name);
        m_had = old != nullptr;
        if (m_had)
            m_old = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (m_had)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    bool m_had = false;
    std::string m_old;
};

class MySqlTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ServerInfo& s = Server();
        if (!s.available)
            GTEST_SKIP() << s.missing;
        mysql = FindTool({"mysql", "mariadb"});
        mysqldump = FindTool({"mysqldump", "mariadb-dump"});
        mysqlbinlog = FindTool({"mysqlbinlog", "mariadb-binlog"});
        if (mysql.empty() || mysqldump.empty() || mysqlbinlog.empty())
            GTEST_SKIP() << "MySQL client tools not installed (need mysql or mariadb, mysqldump or mariadb-dump, "
                            "mysqlbinlog or mariadb-binlog in /usr/bin or /usr/local/bin)";
        env = std::make_unique<HostEnv>();
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        db = "it_";
        for (char c : name)
            db += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
        db = db.substr(0, 40);
        copy = db + "_copy";
        Sql("DROP DATABASE IF EXISTS " + db + "; DROP DATABASE IF EXISTS " + copy);
    }

    void TearDown() override
    {
        if (!db.empty())
            Sql("DROP DATABASE IF EXISTS " + db + "; DROP DATABASE IF EXISTS " + copy);
    }

    std::string Conn() const { return "--socket=" + Server().socket + " --user=" + Server().user; }
    std::vector<std::string> ConnArgs() const { return {"--socket=" + Server().socket, "--user=" + Server().user}; }

    std::vector<std::string> Args(const std::string& tool, std::vector<std::string> rest, bool connect = true) const
    {
        std::vector<std::string> all{tool};
        if (connect)
            for (const std::string& a : ConnArgs())
                all.push_back(a);
        for (std::string& a : rest)
            all.push_back(std::move(a));
        return all;
    }

    // Set-up and checks go to the client directly.
    std::string Sql(const std::string& statements, const std::string& database = "")
    {
        std::vector<std::string> rest{"--batch", "--skip-column-names", "--execute=" + statements};
        if (!database.empty())
            rest.push_back(database);
        const Direct r = RunDirect(Args(mysql, rest));
        EXPECT_EQ(r.status, 0) << statements << "\n" << r.err;
        return r.out;
    }

    std::string Checksum(const std::string& table)
    {
        const std::string line = Trim(Sql("CHECKSUM TABLE " + table));
        const size_t tab = line.find('\t');
        return tab == std::string::npos ? line : line.substr(tab + 1);
    }

    long Count(const std::string& table, const std::string& where = "1")
    {
        return std::atol(Trim(Sql("SELECT COUNT(*) FROM " + table + " WHERE " + where)).c_str());
    }

    void CreateSample(const std::string& database, int rows)
    {
        Sql("CREATE DATABASE " + database + "; CREATE TABLE " + database +
            ".orders (id INT PRIMARY KEY AUTO_INCREMENT, customer INT NOT NULL, amount DECIMAL(12,2) NOT NULL, "
            "note VARCHAR(40) NOT NULL) ENGINE=InnoDB; "
            "SET SESSION max_recursive_iterations = " + std::to_string(rows) + "; INSERT INTO " + database +
            ".orders (customer, amount, note) WITH RECURSIVE seq(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM seq "
            "WHERE n < " + std::to_string(rows) + ") SELECT n % 997, (n * 37 % 100000) / 100, CONCAT('order-', n) "
            "FROM seq");
        ASSERT_EQ(Count(database + ".orders"), rows);
    }

    std::string CurrentBinlog()
    {
        const std::string status = Trim(Sql("SHOW MASTER STATUS"));
        return status.substr(0, status.find('\t'));
    }

    // A closed binary log file holding exactly what `change` did.
    std::string BinlogOf(const std::function<void()>& change)
    {
        Sql("FLUSH BINARY LOGS");
        const std::string name = CurrentBinlog();
        change();
        Sql("FLUSH BINARY LOGS");
        return Server().binlogDir + "/" + name;
    }

    std::string DumpCommand(const std::string& database) const
    {
        return mysqldump + " " + Conn() + " --single-transaction --skip-dump-date " + database;
    }

    std::string mysql, mysqldump, mysqlbinlog;
    std::unique_ptr<HostEnv> env;
    std::string db, copy;
};

// ---------------------------------------------------------------------------
// The three jobs

TEST_F(MySqlTools, BackupReadThroughTheLibraryIsTheToolsOwnDumpByteForByte)
{
    CreateSample(db, kSampleRows);
    const Direct reference = RunDirect(Args(mysqldump, {"--single-transaction", "--skip-dump-date", db}));
    ASSERT_EQ(reference.status, 0) << reference.err;
    ASSERT_GT(reference.out.size(), 1000000u) << "a 100,000-row dump should pass a megabyte";

    for (bool waitThread : {false, true}) {
        SCOPED_TRACE(waitThread ? "BeginWait" : "Wait");
        MySqlChildProcess child;
        DriveOptions opts;
        opts.waitThread = waitThread;
        const ChildRun r = Drive(child, DumpCommand(db), opts);
        ASSERT_EQ(r.launch, 0);
        EXPECT_EQ(r.wait, 0) << ReadFile(child.m_errFilePath);
        EXPECT_TRUE(r.statusKnown);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.size(), reference.out.size());
        EXPECT_TRUE(r.out == reference.out) << "the dump read through ReadBuf differs from the tool's own";
        EXPECT_EQ(LastLine(r.out), "-- Dump completed");
        EXPECT_EQ(ReadFile(child.m_errFilePath), "");
    }
}

TEST_F(MySqlTools, RestoreStreamedThroughWriteBufRebuildsTheTable)
{
    CreateSample(db, kSampleRows);
    const std::string original = Checksum(db + ".orders");
    const Direct dump = RunDirect(Args(mysqldump, {"--single-transaction", "--skip-dump-date", db}));
    ASSERT_EQ(dump.status, 0) << dump.err;
    Sql("CREATE DATABASE " + copy);

    MySqlChildProcess child;
    DriveOptions opts;
    opts.input = &dump.out;
    const ChildRun r = Drive(child, mysql + " " + Conn() + " " + copy, opts);
    ASSERT_EQ(r.launch, 0);
    EXPECT_EQ(r.writeRc, 0) << "errno " << r.writeErr;
    EXPECT_EQ(r.written, static_cast<long long>(dump.out.size()));
    EXPECT_EQ(r.wait, 0) << ReadFile(child.m_errFilePath);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Count(copy + ".orders"), kSampleRows);
    EXPECT_EQ(Checksum(copy + ".orders"), original);
}

TEST_F(MySqlTools, PointInTimeRecoveryReplaysTheBinaryLogUpToTheRecordedTime)
{
    CreateSample(db, kSampleRows);

    MySqlChildProcess dumper;
    const ChildRun backup = Drive(dumper, DumpCommand(db));
    ASSERT_EQ(backup.wait, 0) << ReadFile(dumper.m_errFilePath);

    // From the fresh binary log on, everything is a change after the backup.
    std::string stopAt, atPoint;
    const std::string binlog = BinlogOf([&] {
        Sql("INSERT INTO orders (customer, amount, note) VALUES (7, 70, 'before-point'); "
            "UPDATE orders SET amount = amount + 1 WHERE id <= 1000",
            db);
        atPoint = Checksum(db + ".orders");
        SleepPastSecond();
        stopAt = NowText();
        SleepPastSecond();
        Sql("INSERT INTO orders (customer, amount, note) VALUES (9, 90, 'after-point'); "
            "DELETE FROM orders WHERE id <= 500",
            db);
    });

    // The disaster, and the backup put back.
    Sql("DROP DATABASE " + db + "; CREATE DATABASE " + db);
    MySqlChildProcess loader;
    DriveOptions load;
    load.input = &backup.out;
    const ChildRun reload = Drive(loader, mysql + " " + Conn() + " " + db, load);
    ASSERT_EQ(reload.wait, 0) << ReadFile(loader.m_errFilePath);
    ASSERT_EQ(reload.written, static_cast<long long>(backup.out.size()));

    // The binary-log reader's output chained into the client, through the
    // library on both sides; the date and time travel unquoted.
    MySqlChildProcess reader, client;
    ASSERT_EQ(reader.Initialize(mysqlbinlog + " --stop-datetime=" + stopAt + " " + binlog, "", ""), 0);
    ASSERT_EQ(reader.HX_CreateProcess(false, false, false, false), 0);
    reader.CloseInput();
    ASSERT_EQ(client.Initialize(mysql + " " + Conn(), "", ""), 0);
    ASSERT_EQ(client.HX_CreateProcess(false, false, false, false), 0);
    std::string relayed;
    bool relayWriteFailed = false;
    std::thread relay([&] {
        std::unique_ptr<char[]> buffer(new char[kChunk + 1]);
        for (;;) {
            long length = kChunk + 1;
            if (reader.ReadBuf(buffer.get(), &length) != 0 || length == 0)
                break;
            relayed.append(buffer.get(), static_cast<size_t>(length));
            if (client.WriteBuf(buffer.get(), length) != 0) {
                relayWriteFailed = true;
                break;
            }
        }
        client.CloseInput();
    });
    const std::string clientOut = ReadAll(client, kChunk + 1);
    relay.join();
    reader.Finalize();
    client.Finalize();
    EXPECT_EQ(reader.Wait(0), 0) << ReadFile(reader.m_errFilePath);
    EXPECT_EQ(client.Wait(0), 0) << ReadFile(client.m_errFilePath);
    EXPECT_FALSE(relayWriteFailed);
    EXPECT_EQ(clientOut, "");

    const Direct replay = RunDirect(Args(mysqlbinlog, {"--stop-datetime=" + stopAt, binlog}, false));
    ASSERT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(relayed.size(), replay.out.size());
    EXPECT_TRUE(relayed == replay.out) << "the replay passed through the library differs from the tool's output";

    EXPECT_EQ(Checksum(db + ".orders"), atPoint);
    EXPECT_EQ(Count(db + ".orders", "note = 'before-point'"), 1);
    EXPECT_EQ(Count(db + ".orders", "note = 'after-point'"), 0) << "a change after " << stopAt << " was replayed";
    EXPECT_EQ(Count(db + ".orders", "id <= 500"), 500) << "the delete after " << stopAt << " was replayed";
}

// ---------------------------------------------------------------------------
// The command-line syntax with the real client

TEST_F(MySqlTools, QuotedArgumentsReachTheClientAsTheSplitterGroupsThem)
{
    Sql("CREATE DATABASE " + db);
    struct Case {
        const char* name;
        std::string tail;                // after the connection options
        std::vector<std::string> argv;   // what the tool must have received
        int code;
        std::string out;                 // expected output, when fixed
    };
    const std::vector<Case> cases = {
        {"double quotes, two spaces inside", "--execute=\"SHOW  DATABASES\" --batch",
         {"--execute=SHOW DATABASES", "--batch"}, 0, ""},
        {"single quotes", "--execute='SELECT 1' --batch", {"--execute=SELECT 1", "--batch"}, 0, "1\n1\n"},
        {"single quotes inside double quotes, spaces joined by one",
         "--batch --skip-column-names --execute=\"SELECT 'a  b'\"",
         {"--batch", "--skip-column-names", "--execute=SELECT 'a b'"}, 0, "a b\n"},
        // Unquoted, the 1 becomes an argument of its own: the database name.
        {"no quotes", "--execute=SELECT 1 --batch", {"--execute=SELECT", "1", "--batch"}, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Direct reference = RunDirect(Args(mysql, c.argv));
        MySqlChildProcess child;
        const ChildRun r = Drive(child, mysql + " " + Conn() + " " + c.tail);
        ASSERT_EQ(r.launch, 0);
        EXPECT_EQ(r.code(), c.code) << ReadFile(child.m_errFilePath);
        EXPECT_EQ(r.code(), reference.code());
        EXPECT_EQ(r.out, reference.out);
        EXPECT_EQ(ReadFile(child.m_errFilePath), reference.err);
        if (!c.out.empty()) {
            EXPECT_EQ(r.out, c.out);
        }
    }
    // The two-space query really listed the databases.
    MySqlChildProcess child;
    const ChildRun r = Drive(child, mysql + " " + Conn() + " --execute=\"SHOW  DATABASES\" --batch");
    EXPECT_EQ(r.out.rfind("Database\n", 0), 0u) << r.out;
    EXPECT_TRUE(Contains(r.out, "\n" + db + "\n")) << r.out;
}

TEST_F(MySqlTools, StopDatetimeQuotedOrUnquotedGivesTheSameReplay)
{
    Sql("CREATE DATABASE " + db + "; CREATE TABLE " + db + ".t (note VARCHAR(40))");
    std::string stopAt;
    const std::string binlog = BinlogOf([&] {
        Sql("INSERT INTO t VALUES ('early-marker')", db);
        SleepPastSecond();
        stopAt = NowText();
        SleepPastSecond();
        Sql("INSERT INTO t VALUES ('late-marker')", db);
    });

    const Direct whole = RunDirect({mysqlbinlog, binlog});
    ASSERT_EQ(whole.status, 0) << whole.err;
    ASSERT_TRUE(Contains(whole.out, "late-marker")) << "the late change should be in the log";
    const Direct reference = RunDirect({mysqlbinlog, "--stop-datetime=" + stopAt, binlog});
    ASSERT_EQ(reference.status, 0) << reference.err;
    EXPECT_TRUE(Contains(reference.out, "early-marker"));
    EXPECT_FALSE(Contains(reference.out, "late-marker"));

    const std::vector<std::pair<const char*, std::string>> forms = {
        {"unquoted", "--stop-datetime=" + stopAt},
        {"double quotes", "--stop-datetime=\"" + stopAt + "\""},
        {"single quotes", "--stop-datetime='" + stopAt + "'"},
    };
    for (const auto& form : forms) {
        SCOPED_TRACE(form.first);
        MySqlChildProcess child;
        const ChildRun r = Drive(child, mysqlbinlog + " " + form.second + " " + binlog);
        ASSERT_EQ(r.launch, 0);
        EXPECT_EQ(r.wait, 0) << ReadFile(child.m_errFilePath);
        EXPECT_EQ(r.out.size(), reference.out.size());
        EXPECT_TRUE(r.out == reference.out) << "the replay differs from the tool's own with the date and time joined";
    }

    // With a space after the keyword the date rule takes only the date: the
    // tool gets "--stop-datetime DATE" and a stray "TIME", and refuses them.
    MySqlChildProcess split;
    const ChildRun r = Drive(split, mysqlbinlog + " --stop-datetime " + stopAt + " " + binlog);
    const Direct splitReference =
        RunDirect({mysqlbinlog, "--stop-datetime " + stopAt.substr(0, 10), stopAt.substr(11), binlog});
    EXPECT_NE(r.code(), 0);
    EXPECT_EQ(r.code(), splitReference.code());
    EXPECT_EQ(ReadFile(split.m_errFilePath), splitReference.err);
}

// ---------------------------------------------------------------------------
// The tools' failures as the library reports them

TEST_F(MySqlTools, ToolFailuresGiveTheToolsExitCodeAndItsErrorLine)
{
    const ServerInfo& s = Server();
    const std::string badPassword =
        "--socket=" + s.socket + " --user=" + s.passwordUser + " --password=wrong-" + s.password;
    const std::vector<std::string> badPasswordArgs = {"--socket=" + s.socket, "--user=" + s.passwordUser,
                                                      "--password=wrong-" + s.password};
    const std::string noDb = db + "_does_not_exist";
    struct Case {
        const char* name;
        std::string command;
        std::vector<std::string> argv;
        std::string key;
        std::string text;
        int code;  // the tool's documented code; compared with a direct run too
    };
    std::vector<Case> cases = {
        {"client, wrong password", mysql + " " + badPassword + " --execute=\"SELECT 1\"",
         {mysql, badPasswordArgs[0], badPasswordArgs[1], badPasswordArgs[2], "--execute=SELECT 1"}, "ERROR",
         "ERROR 1045 (28000): Access denied for user '" + s.passwordUser + "'@'localhost'", 1},
        {"dump, wrong password", mysqldump + " " + badPassword + " " + db,
         {mysqldump, badPasswordArgs[0], badPasswordArgs[1], badPasswordArgs[2], db}, BaseName(mysqldump) + ":",
         "Got error: 1045", 2},
        {"client, unknown database", mysql + " " + Conn() + " --execute='SELECT 1' " + noDb,
         Args(mysql, {"--execute=SELECT 1", noDb}), "ERROR",
         "ERROR 1049 (42000): Unknown database '" + noDb + "'", 1},
        {"dump, unknown database", mysqldump + " " + Conn() + " " + noDb, Args(mysqldump, {noDb}),
         BaseName(mysqldump) + ":", "Got error: 1049: \"Unknown database '" + noDb + "'\"", 2},
        {"binary-log reader, no such file", mysqlbinlog + " " + s.binlogDir + "/no-such-binlog.000001",
         {mysqlbinlog, s.binlogDir + "/no-such-binlog.000001"}, BaseName(mysqlbinlog) + ":", "not found", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Direct reference = RunDirect(c.argv);
        ASSERT_EQ(reference.code(), c.code) << reference.err;
        env->ClearLog();

        MySqlChildProcess child;
        const ChildRun r = Drive(child, c.command);
        ASSERT_EQ(r.launch, 0);
        EXPECT_EQ(r.wait, -1);
        EXPECT_EQ(r.lastErr, c.code) << "m_lastErr holds the tool's exit code";
        EXPECT_TRUE(r.statusKnown && WIFEXITED(r.status));
        EXPECT_EQ(r.code(), c.code);
        // The error file is the tool's standard error, untouched.
        const std::string errors = ReadFile(child.m_errFilePath);
        EXPECT_EQ(errors, reference.err);

        std::string line;
        ASSERT_EQ(child.ReadLastErr(line, c.key), 0) << errors;
        EXPECT_EQ(line, LastLine(reference.err));
        EXPECT_TRUE(Contains(line, c.text)) << line;
        std::string none;
        EXPECT_EQ(child.ReadLastErr(none, "NO SUCH KEY IN THE FILE"), -1);
        EXPECT_TRUE(env->LogHas("Child exited with error: " + std::to_string(c.code)));
    }
}

TEST_F(MySqlTools, AToolPathThatDoesNotExistEndsTheChildWith79)
{
    const std::string missing = mysql + "-not-installed-here";
    ASSERT_NE(access(missing.c_str(), F_OK), 0);
    MySqlChildProcess child;
    const ChildRun r = Drive(child, missing + " " + Conn() + " --execute='SELECT 1'");
    ASSERT_EQ(r.launch, 0) << "the launch itself succeeds; the exec fails in the child";
    EXPECT_EQ(r.wait, -1);
    EXPECT_EQ(r.lastErr, -1);
    EXPECT_EQ(r.code(), LibMySqlProcess::kExitExecFailed);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(env->LogHas("Exec failed"));
    EXPECT_TRUE(env->LogHas("Child exec failed, errno: " + std::to_string(ENOENT)));
}

TEST_F(MySqlTools, TerminateHalfwayThroughARestoreReportsTheSignal)
{
    CreateSample(db, kSampleRows);
    const Direct dump = RunDirect(Args(mysqldump, {"--single-transaction", "--skip-dump-date", db}));
    ASSERT_EQ(dump.status, 0) << dump.err;
    std::string data = dump.out;
    const size_t half = data.size() / 2;
    constexpr size_t kPiece = 64 * 1024;
    Sql("CREATE DATABASE " + copy);

    for (bool waitThread : {false, true}) {
        SCOPED_TRACE(waitThread ? "BeginWait" : "Wait");
        env->ClearLog();
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize(mysql + " " + Conn() + " " + copy, "", ""), 0);
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
        if (waitThread) {
            ASSERT_EQ(child.BeginWait(), 0);
        }
        // The client reads as fast as it loads, so every piece up to the
        // middle gets through.
        for (size_t at = 0; at < half; at += kPiece) {
            ASSERT_EQ(child.WriteBuf(&data[at], static_cast<long>(std::min(kPiece, half - at))), 0);
        }

        ASSERT_EQ(child.Terminate(), 0);
        if (waitThread) {
            testsupport::AwaitWaitThread(child);
            ASSERT_TRUE(child.m_waitFailed) << "the wait thread did not report the killed child";
            EXPECT_FALSE(child.m_waitComplete);
        } else {
            EXPECT_EQ(child.Wait(0), -1);
            EXPECT_EQ(child.m_lastErr, 0);
        }
        ASSERT_TRUE(child.m_exitStatusKnown);
        EXPECT_TRUE(WIFSIGNALED(child.m_exitStatus));
        EXPECT_EQ(WTERMSIG(child.m_exitStatus), SIGKILL);
        EXPECT_TRUE(env->LogHas("Child died after receiving signal 9"));

        // The rest of the dump meets a closed pipe: an error, not a hang.
        EXPECT_EQ(child.WriteBuf(&data[half], static_cast<long>(data.size() - half)), -1);
        EXPECT_EQ(child.m_lastErr, EPIPE);
        char buffer[16];
        long length = sizeof buffer;
        EXPECT_EQ(child.ReadBuf(buffer, &length), 0);
        EXPECT_EQ(length, 0);
        EXPECT_EQ(child.Terminate(), -1) << "a reaped child is not signalled again";
        child.Finalize();
        EXPECT_LT(Count(copy + ".orders"), kSampleRows) << "the restore was not cut short";
    }
}

// ---------------------------------------------------------------------------
// Impersonation and the fixed environments

TEST_F(MySqlTools, BinaryLogReaderRunsAsTheMysqlUserOnALogOnlyThatUserMayRead)
{
    if (!testsupport::IsRoot())
        GTEST_SKIP() << "needs root to switch to the mysql user";
    const passwd* pw = getpwnam("mysql");
    if (pw == nullptr)
        GTEST_SKIP() << "no mysql user on this machine (the mariadb-server package creates it)";
    const uid_t mysqlUid = pw->pw_uid;
    const gid_t mysqlGid = pw->pw_gid;
    ASSERT_NE(getpwnam("nobody"), nullptr);

    Sql("CREATE DATABASE " + db + "; CREATE TABLE " + db + ".t (note VARCHAR(40))");
    const std::string binlog = BinlogOf([&] { Sql("INSERT INTO t VALUES ('owned-by-mysql')", db); });
    TempDir dir;
    const std::string copyPath = dir / BaseName(binlog);
    WriteFile(copyPath, ReadFile(binlog), 0600);
    ASSERT_EQ(chown(copyPath.c_str(), mysqlUid, mysqlGid), 0) << strerror(errno);
    ASSERT_EQ(chmod(copyPath.c_str(), 0400), 0);
    const Direct reference = RunDirect({mysqlbinlog, copyPath});
    ASSERT_EQ(reference.status, 0) << reference.err;
    ASSERT_TRUE(Contains(reference.out, "owned-by-mysql"));

    // The job folder stays as Initialize made it: the tool's user gets an
    // error file of its own there.
    DriveOptions opts;

    opts.user = "mysql";
    MySqlChildProcess asMysql;
    const ChildRun ok = Drive(asMysql, mysqlbinlog + " " + copyPath, opts);
    ASSERT_EQ(ok.launch, 0);
    EXPECT_EQ(ok.wait, 0) << ReadFile(asMysql.m_errFilePath);
    EXPECT_TRUE(ok.out == reference.out) << "the log read as mysql differs from the tool's own output";
    struct stat st {};
    ASSERT_EQ(stat(asMysql.m_errFilePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, mysqlUid) << "the error file belongs to the impersonated user";

    // Anyone else is refused by the file's permissions: the switch is real.
    opts.user = "nobody";
    MySqlChildProcess asNobody;
    const ChildRun refused = Drive(asNobody, mysqlbinlog + " " + copyPath, opts);
    ASSERT_EQ(refused.launch, 0);
    EXPECT_EQ(refused.wait, -1);
    EXPECT_EQ(refused.lastErr, 1);
    EXPECT_EQ(refused.out.find("owned-by-mysql"), std::string::npos);
    std::string line;
    ASSERT_EQ(asNobody.ReadLastErr(line, BaseName(mysqlbinlog) + ":"), 0) << ReadFile(asNobody.m_errFilePath);
    EXPECT_TRUE(Contains(line, "Permission denied")) << line;
}

TEST_F(MySqlTools, FixedLibraryPathModesRunTheRealTools)
{
    // A broken libz.so.1, which both tools need, first on the caller's
    // library path: a tool that inherits the path cannot even load.
    CreateSample(db, 1000);
    TempDir poison;
    WriteFile(poison / "libz.so.1", std::string(10, '\0'));
    TempDir emptyHome;
    ScopedEnv path("LD_LIBRARY_PATH", poison.path());
    const std::string query = mysql + " " + Conn() + " --batch --skip-column-names --execute=\"SELECT 6 * 7\"";
    struct Case {
        const char* name;
        Env env;
        std::string baseHome;
        bool works;
    };
    const std::vector<Case> cases = {
        {"inherited environment", Env::Inherit, emptyHome.path(), false},
        {"system library path", Env::System, poison.path(), true},
        {"base home library path, broken library there", Env::Base, poison.path(), false},
        {"base home library path", Env::Base, emptyHome.path(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv home("HX_BASE_HOME", c.baseHome);
        MySqlChildProcess client;
        DriveOptions opts;
        opts.env = c.env;
        const ChildRun r = Drive(client, query, opts);
        ASSERT_EQ(r.launch, 0);
        if (c.works) {
            EXPECT_EQ(r.wait, 0) << ReadFile(client.m_errFilePath);
            EXPECT_EQ(r.out, "42\n");
        } else {
            EXPECT_EQ(r.wait, -1);
            EXPECT_EQ(r.code(), 127) << "the loader's code for a library it cannot load";
            std::string line;
            ASSERT_EQ(client.ReadLastErr(line, "error while loading shared libraries"), 0)
                << ReadFile(client.m_errFilePath);
            EXPECT_TRUE(Contains(line, poison.path())) << line;
        }
    }

    // The dump tool in the system mode gives the same dump as run directly
    // without the broken path.
    MySqlChildProcess dumper;
    DriveOptions opts;
    opts.env = Env::System;
    const ChildRun dump = Drive(dumper, DumpCommand(db), opts);
    EXPECT_EQ(dump.wait, 0) << ReadFile(dumper.m_errFilePath);
    unsetenv("LD_LIBRARY_PATH");
    const Direct reference = RunDirect(Args(mysqldump, {"--single-transaction", "--skip-dump-date", db}));
    ASSERT_EQ(reference.status, 0) << reference.err;
    EXPECT_TRUE(dump.out == reference.out);
}

// ---------------------------------------------------------------------------
// The example host program with the real tools (its cases that need no
// server are in mysqlchild_test)

struct Program {
    int code;
    std::string out;
    std::string err;
};

Program RunMysqlChild(std::vector<std::string> args)
{
    args.insert(args.begin(), MYSQLCHILD_PATH);
    const Direct d = RunDirect(args);
    return {d.code(), d.out, d.err};
}

// ---------------------------------------------------------------------------
// The server script

// A pid file outlives its server, and its number then names whatever process
// got it: stop must signal none of them, only remove the stale file.
TEST(MariaDbServerScript, StopLeavesAProcessThatIsNotTheFoldersServerAlive)
{
    TempDir dir;
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    const std::string dataDir = std::string(real) + "/data";
    struct Case {
        const char* name;
        std::vector<std::string> argv;  // a process of ours to start, or empty: the test server
    };
    const std::vector<Case> cases = {
        {"an unrelated sleep", {"/bin/sleep", "60"}},
        {"a shell whose command line names this folder's data directory",
         {"/bin/sh", "-c", "sleep 60; exit 0", "sh", "--datadir=" + dataDir}},
        {"the server program on another folder's data directory", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pid_t pid = -1;
        if (c.argv.empty()) {
            if (!Server().available) {
                std::cout << "[ NOTE     ] " << c.name << ": not tried, " << Server().missing << "\n";
                continue;
            }
            pid = atoi(ReadFile(std::string(MYSQLPROCESS_TEST_SERVER_DIR) + "/mysqld.pid").c_str());
            ASSERT_GT(pid, 0);
        } else {
            std::vector<char*> argv;
            for (const std::string& a : c.argv)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            // A group of its own, so that the shell's sleep goes with it at
            // the end, and no hold on ctest's output.
            posix_spawnattr_t attr;
            posix_spawnattr_init(&attr);
            posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
            posix_spawnattr_setpgroup(&attr, 0);
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            for (int fd : {0, 1, 2})
                posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
            const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
            posix_spawn_file_actions_destroy(&actions);
            posix_spawnattr_destroy(&attr);
            ASSERT_EQ(rc, 0) << strerror(rc);
        }
        WriteFile(dir / "mysqld.pid", std::to_string(pid) + "\n");

        const Direct stop = RunDirect({MYSQLPROCESS_SERVER_SCRIPT, "stop", dir.path()});
        EXPECT_EQ(stop.status, 0) << stop.err;
        EXPECT_TRUE(Contains(stop.err, "is not this folder's server; left alone")) << stop.err;
        EXPECT_EQ(ReadFile(dir / "mysqld.pid"), "") << "the stale pid file is left";
        if (c.argv.empty()) {
            EXPECT_EQ(kill(pid, 0), 0) << "the test server, pid " << pid << ", was stopped";
        } else {
            int status = 0;
            EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "pid " << pid << " ended with status " << status;
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    }
}

class MysqlChildWithServer : public MySqlTools {};

TEST_F(MysqlChildWithServer, BackupRestoreAndChainedCopyThroughTheProgram)
{
    CreateSample(db, kSampleRows);
    const std::string original = Checksum(db + ".orders");
    const Direct reference = RunDirect(Args(mysqldump, {"--single-transaction", "--skip-dump-date", db}));
    ASSERT_EQ(reference.status, 0) << reference.err;
    TempDir dir;

    const Program backup = RunMysqlChild({"--output", dir / "backup.sql", DumpCommand(db)});
    ASSERT_EQ(backup.code, 0) << backup.err;
    EXPECT_TRUE(ReadFile(dir / "backup.sql") == reference.out);

    Sql("CREATE DATABASE " + copy);
    const Program restore =
        RunMysqlChild({"--wait-thread", "--input", dir / "backup.sql", mysql + " " + Conn() + " " + copy});
    ASSERT_EQ(restore.code, 0) << restore.err;
    EXPECT_EQ(Checksum(copy + ".orders"), original);

    // The dump chained straight into the client: a copy in one go.
    Sql("DROP DATABASE " + copy + "; CREATE DATABASE " + copy);
    const Program chained = RunMysqlChild(
        {"--env", "system", "--pipe-to", mysql + " " + Conn() + " " + copy, DumpCommand(db)});
    ASSERT_EQ(chained.code, 0) << chained.err;
    EXPECT_EQ(Checksum(copy + ".orders"), original);
}

TEST_F(MysqlChildWithServer, FailuresPrintTheToolsErrorLineAndExitWithItsCode)
{
    const ServerInfo& s = Server();
    const std::string badPassword =
        "--socket=" + s.socket + " --user=" + s.passwordUser + " --password=wrong-" + s.password;
    const Program client = RunMysqlChild({mysql + " " + badPassword + " --execute=\"SELECT 1\""});
    EXPECT_EQ(client.code, 1);
    EXPECT_TRUE(Contains(client.err, ": ERROR 1045 (28000): Access denied")) << client.err;
    EXPECT_TRUE(Contains(client.err, "error file: " + env->jobFolder() + "/MySqlErrors_")) << client.err;

    // The dump tool has no ERROR line; its own prefix is found instead.
    const Program dump = RunMysqlChild({mysqldump + " " + badPassword + " " + db});
    EXPECT_EQ(dump.code, 2);
    EXPECT_TRUE(Contains(dump.err, BaseName(mysqldump) + ": Got error: 1045")) << dump.err;

    // A chain whose second tool fails on an unknown database.
    const Program chained =
        RunMysqlChild({"--pipe-to", mysql + " " + Conn() + " " + db + "_missing", mysqldump + " " + Conn() + " mysql"});
    EXPECT_EQ(chained.code, 1) << chained.err;
    EXPECT_TRUE(Contains(chained.err, "ERROR 1049 (42000): Unknown database '" + db + "_missing'")) << chained.err;
}

}  // namespace
