// The server script and the physical backup: scripts/mariadb-server refuses
// a folder that another account could bend, and the agent's fourth job runs
// end to end: mariadb-backup --stream through mysqlchild --pipe-to into
// mbstream -x, --prepare, a second server started on a copy of the prepared
// data, and the same tables on both.
//
// The source server is the throwaway one that the ctest fixture starts.

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "integration/ServerTools.h"
#include "support/TestSupport.h"

namespace {

using integration::Contains;
using integration::Direct;
using integration::FindTool;
using integration::RunDirect;
using integration::ServerInfoValues;
using integration::Trim;
using testsupport::ReadFile;
using testsupport::TempDir;

// True when the account nobody (65534) could do what fn does, in a process
// of its own.
bool AsNobody(const std::function<bool()>& fn)
{
    return testsupport::RunInSubprocess([&]() -> int {
               if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                   setresuid(65534, 65534, 65534) != 0)
                   return 2;
               return fn() ? 0 : 1;
           }) == 0;
}

// ---------------------------------------------------------------------------

// start DIR as root where another account had a hand in DIR or a folder
// above it: refused before anything is written. Each of these passed before,
// and root then wrote its files (through a link nobody planted after the
// wipe, over a file of root's) and ran the server in a folder nobody
// controls.
TEST(MariaDbServerScript, StartRefusesAFolderAnotherAccountCouldBend)
{
    if (!testsupport::IsRoot())
        GTEST_SKIP() << "the folders of another account are made as root (chown, setuid to nobody)";
    TempDir base;
    const std::string shared = base / "shared";  // a folder every account writes in, as /tmp
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string mine = base / "mine";      // root's own, empty
    ASSERT_EQ(mkdir(mine.c_str(), 0700), 0);
    const std::string open = base / "open";      // writable by all, no sticky bit
    ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((open + "/srv").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((shared + "/loose").c_str(), 0700), 0);
    ASSERT_EQ(chmod((shared + "/loose").c_str(), 0777), 0);

    ASSERT_TRUE(AsNobody([&] { return mkdir((shared + "/empty").c_str(), 0777) == 0; }));
    ASSERT_TRUE(AsNobody([&] { return symlink(mine.c_str(), (shared + "/link").c_str()) == 0; }));
    ASSERT_TRUE(AsNobody([&] { return mkdir((shared + "/nobodys").c_str(), 0755) == 0; }));
    ASSERT_EQ(mkdir((shared + "/nobodys/srv").c_str(), 0700), 0);

    struct Case {
        const char* name;
        std::string dir;
        const char* says;
        std::string untouched;  // a folder that must stay empty
    };
    const Case cases[] = {
        {"an empty folder nobody made", shared + "/empty", "belongs to another account", shared + "/empty"},
        {"nobody's link to a folder of root's", shared + "/link", "is a link that belongs to another account", mine},
        {"root's folder that every account can write", shared + "/loose", "can be written by other accounts",
         shared + "/loose"},
        {"root's folder in a folder every account can write, without the sticky bit", open + "/srv",
         "has no sticky bit", open + "/srv"},
        {"root's folder in a folder of nobody's", shared + "/nobodys/srv", "belongs to another account",
         shared + "/nobodys/srv"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Direct r = RunDirect({MYSQLPROCESS_SERVER_SCRIPT, "start", c.dir, "--skip-if-missing"});
        EXPECT_NE(r.code(), 0) << r.err;
        EXPECT_TRUE(Contains(r.err, c.says)) << r.err;
        struct stat st {};
        EXPECT_NE(stat((c.untouched + "/server.info").c_str(), &st), 0) << "a server was started";
        EXPECT_NE(stat((c.untouched + "/missing").c_str(), &st), 0) << "the script wrote in the folder";
        if (r.code() == 0)  // a faulty script started a server: do not leave it running
            RunDirect({MYSQLPROCESS_SERVER_SCRIPT, "stop", c.dir, "--remove"});
    }
}

// The physical backup, small: every byte of the stream goes from the backup
// tool to the extractor through mysqlchild's relay, and the server started
// on the prepared copy holds the source's tables.
TEST(PhysicalBackup, StreamedThroughMysqlchildPreparedAndStartedHoldsTheSameTables)
{
    const std::string source = MYSQLPROCESS_TEST_SERVER_DIR;
    const std::string missing = Trim(ReadFile(source + "/missing"));
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const std::map<std::string, std::string> info = ServerInfoValues(source);
    if (info.count("SOCKET") == 0 || info.count("USER") == 0)
        GTEST_SKIP() << "no running test server (" << source << "/server.info): run through ctest, whose fixture starts it";
    const std::string backupTool = FindTool({"mariadb-backup", "mariabackup"});
    const std::string extractor = FindTool({"mbstream"});
    const std::string client = FindTool({"mariadb", "mysql"});
    if (backupTool.empty() || extractor.empty() || client.empty()) {
        if (getenv("MYSQLPROCESS_REQUIRE_MARIADB") != nullptr &&
            std::string(getenv("MYSQLPROCESS_REQUIRE_MARIADB")) == "1")
            FAIL() << "mariadb-backup, mbstream or the client is missing (apt-get install mariadb-backup)";
        GTEST_SKIP() << "mariadb-backup or mbstream not installed (apt-get install mariadb-backup)";
    }
    const std::string conn = "--socket=" + info.at("SOCKET") + " --user=" + info.at("USER");
    const auto sql = [&](const std::string& socket, const std::string& statements) {
        const Direct r = RunDirect({client, "--no-defaults", "--socket=" + socket, "--user=" + info.at("USER"), "--batch",
                              "--skip-column-names", "--execute=" + statements});
        EXPECT_EQ(r.code(), 0) << statements << "\n" << r.err;
        return Trim(r.out);
    };
    const std::string db = "it_physical_backup";
    const std::string table = db + ".orders";
    sql(info.at("SOCKET"), "DROP DATABASE IF EXISTS " + db + "; CREATE DATABASE " + db + "; CREATE TABLE " + table +
                               " (id INT PRIMARY KEY, note VARCHAR(40) NOT NULL) ENGINE=InnoDB; "
                               "SET SESSION max_recursive_iterations = 20000; INSERT INTO " + table +
                               " WITH RECURSIVE seq(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM seq WHERE n < 20000) "
                               "SELECT n, CONCAT('order-', n) FROM seq; CREATE TABLE " + db +
                               ".notes (id INT PRIMARY KEY, note TEXT) ENGINE=Aria; INSERT INTO " + db +
                               ".notes VALUES (1, 'kept by Aria, not InnoDB')");
    const std::string checksums = sql(info.at("SOCKET"), "CHECKSUM TABLE " + table + ", " + db + ".notes");
    ASSERT_TRUE(Contains(checksums, table)) << checksums;

    TempDir work;
    testsupport::HostEnv host;
    const std::string backup = work / "backup";
    ASSERT_EQ(mkdir(backup.c_str(), 0700), 0);
    const Direct stream = RunDirect({MYSQLCHILD_PATH, "--stats", "--pipe-to", extractor + " -x -C " + backup,
                               backupTool + " --backup --stream=xbstream --target-dir=" + (work / "scratch") + " " + conn});
    ASSERT_EQ(stream.code(), 0) << stream.err;
    EXPECT_TRUE(Contains(stream.err, "moved ")) << stream.err;
    const Direct prepare = RunDirect({MYSQLCHILD_PATH, backupTool + " --prepare --target-dir=" + backup});
    ASSERT_EQ(prepare.code(), 0) << prepare.err;

    const std::string copy = work / "copy";
    const Direct start = RunDirect({MYSQLPROCESS_SERVER_SCRIPT, "start", copy, "--data-from", backup});
    ASSERT_EQ(start.code(), 0) << start.err;
    const std::string copied = sql(copy + "/mysqld.sock", "CHECKSUM TABLE " + table + ", " + db + ".notes");
    const Direct stop = RunDirect({MYSQLPROCESS_SERVER_SCRIPT, "stop", copy, "--remove"});
    EXPECT_EQ(stop.code(), 0) << stop.err;
    sql(info.at("SOCKET"), "DROP DATABASE " + db);

    EXPECT_EQ(copied, checksums) << "the tables of the server started on the backup differ from the source's";
}

}  // namespace
