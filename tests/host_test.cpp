// The host stand-in must really behave like the host the library runs in:
// whole log lines from threads and children, level filtering, configuration
// read from the environment, working process/thread/folder services.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process/LogTexts.h"
#include "child_process/MySqlChildProcess.h"
#include "host/CKoError.h"
#include "host/EvDebug.h"
#include "host/FXFile.h"
#include "host/FXFolder.h"
#include "host/FXString.h"
#include "host/HXPI.h"
#include "host/HxProcess.h"
#include "host/HxThread.h"
#include "host/LogWriter.h"
#include "support/TestSupport.h"

using testsupport::HostEnv;
using testsupport::WaitWithDeadline;
using testsupport::LogLine;
using testsupport::ParseLogLine;
using testsupport::RecordingWriter;
using testsupport::RunInSubprocess;
using testsupport::TempDir;

namespace {

namespace frozen = LibMySqlProcess::frozen;

// The raw log cut at line feeds; the file must end with one (no torn tail).
std::vector<std::string> RawLines(const std::string& path)
{
    const std::string text = testsupport::ReadFile(path);
    std::vector<std::string> lines;
    if (!text.empty()) {
        EXPECT_EQ(text.back(), '\n') << "the log ends inside a line";
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// Every line of the log parsed; a line that does not parse fails the test.
std::vector<LogLine> ParsedLog(const std::string& path)
{
    std::vector<LogLine> out;
    for (const auto& raw : RawLines(path)) {
        LogLine line;
        if (!ParseLogLine(raw, line)) {
            ADD_FAILURE() << "malformed log line: [" << raw.substr(0, 300) << "]";
            continue;
        }
        out.push_back(line);
    }
    return out;
}

std::vector<LogLine> LinesWithTag(const std::string& path, const std::string& tag)
{
    std::vector<LogLine> out;
    for (auto& line : ParsedLog(path))
        if (line.tag == tag)
            out.push_back(line);
    return out;
}

long ThreadId()
{
    return static_cast<long>(syscall(SYS_gettid));
}

// The descriptor number this process holds open on path, or -1.
int FdOpenOn(const std::string& path)
{
    for (int fd = 0; fd < 1024; ++fd) {
        char link[4096] = {};
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        ssize_t n = readlink(proc.c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, static_cast<size_t>(n)) == path)
            return fd;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Debug log

// A payload whose length and letter follow from the writer and the sequence
// number, so that a torn or mixed line cannot pass for a whole one.
std::string Payload(int writer, int seq)
{
    const size_t len = static_cast<size_t>((writer * 997 + seq * 131) % 1800);
    return std::string(len, static_cast<char>('a' + (writer + seq) % 26));
}

TEST(HostDebugLog, LinesFromThreadsAndForkedChildrenLandWholeAndUnmixed)
{
    HostEnv env;
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 400;
    constexpr int kChildren = 3;
    constexpr int kLinesPerChild = 200;
    const char* tag = "HostTest::Concurrent";

    // The children's payloads are made before any fork, so that a child does
    // nothing but log.
    std::vector<std::vector<std::string>> childPayloads(kChildren);
    for (int c = 0; c < kChildren; ++c)
        for (int n = 0; n < kLinesPerChild; ++n)
            childPayloads[c].push_back(Payload(100 + c, n));

    std::atomic<bool> go{false};
    std::atomic<int> started{0};
    std::vector<long> tids(kThreads, 0);
    std::vector<std::thread> threads;
    for (int w = 0; w < kThreads; ++w) {
        threads.emplace_back([&, w] {
            tids[w] = ThreadId();
            EvEvent event;
            started.fetch_add(1);
            while (!go.load()) {
            }
            for (int n = 0; n < kLinesPerThread; ++n)
                event.Debug(tag, "w=%d n=%d %s", w, n, Payload(w, n).c_str());
        });
    }
    while (started.load() < kThreads) {
    }
    go = true;

    // Forked while the threads are writing: a logger that held a lock across
    // a write would leave some child blocked on it forever.
    std::map<pid_t, int> childWriter;
    for (int c = 0; c < kChildren; ++c) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0) << strerror(errno);
        if (pid == 0) {
            EvEvent event;
            for (int n = 0; n < kLinesPerChild; ++n)
                event.Debug(tag, "w=%d n=%d %s", 100 + c, n, childPayloads[c][n].c_str());
            _exit(0);
        }
        childWriter[pid] = 100 + c;
    }
    for (auto& t : threads)
        t.join();
    for (const auto& kv : childWriter) {
        const int status = WaitWithDeadline(kv.first);
        ASSERT_NE(status, -1) << "child " << kv.first << " hung while logging";
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    }

    std::map<std::pair<int, int>, int> seen;
    const std::vector<LogLine> lines = ParsedLog(env.logPath());
    for (const auto& line : lines) {
        ASSERT_EQ(line.tag, tag);
        ASSERT_EQ(line.level, 1);
        int w = -1, n = -1, consumed = 0;
        ASSERT_EQ(sscanf(line.message.c_str(), "w=%d n=%d %n", &w, &n, &consumed), 2) << line.message.substr(0, 100);
        // "%n" skips the separating space even when the payload is empty.
        const std::string payload = line.message.substr(static_cast<size_t>(consumed));
        ASSERT_EQ(payload, Payload(w, n)) << "line of writer " << w << " seq " << n << " is torn or mixed";
        if (w < 100) {
            ASSERT_TRUE(w >= 0 && w < kThreads);
            EXPECT_EQ(line.pid, getpid());
            EXPECT_EQ(line.tid, tids[w]);
        } else {
            auto it = std::find_if(childWriter.begin(), childWriter.end(),
                                   [&](const std::pair<const pid_t, int>& kv) { return kv.second == w; });
            ASSERT_NE(it, childWriter.end());
            EXPECT_EQ(line.pid, it->first);
            EXPECT_EQ(line.tid, static_cast<long>(it->first)) << "a forked child's only thread has the pid as id";
        }
        ++seen[{w, n}];
    }
    EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesPerThread + kChildren * kLinesPerChild));
    for (int w = 0; w < kThreads; ++w)
        for (int n = 0; n < kLinesPerThread; ++n)
            ASSERT_EQ((seen[{w, n}]), 1) << "writer " << w << " seq " << n;
    for (int c = 0; c < kChildren; ++c)
        for (int n = 0; n < kLinesPerChild; ++n)
            ASSERT_EQ((seen[{100 + c, n}]), 1) << "child " << c << " seq " << n;
}

TEST(HostDebugLog, LineCarriesTimeIdsLevelTagAndFormattedMessage)
{
    HostEnv env;
    EvEvent event;
    event.Debug("HostTest::Format", "value [%d] text [%s] %%", 42, "abc");
    event.DebugLvl("HostTest::Format", 7, "detail %05.1f|", 3.25);
    event.Debug("HostTest::Format", "trailing spaces  ");
    const auto lines = LinesWithTag(env.logPath(), "HostTest::Format");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].message, "value [42] text [abc] %");
    EXPECT_EQ(lines[0].level, 1);
    EXPECT_EQ(lines[1].message, "detail 003.2|");
    EXPECT_EQ(lines[1].level, 7);
    EXPECT_EQ(lines[2].message, "trailing spaces  ");
    for (const auto& line : lines) {
        EXPECT_EQ(line.pid, getpid());
        EXPECT_EQ(line.tid, ThreadId());
    }
}

TEST(HostDebugLog, OverlongMessageStaysOneLineAndTheNextLineIsIntact)
{
    HostEnv env;
    EvEvent event;
    const std::string huge(20000, 'q');
    event.Debug("HostTest::Long", "%s", huge.c_str());
    event.Debug("HostTest::Long", "after");
    const auto lines = ParsedLog(env.logPath());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].tag, "HostTest::Long");
    EXPECT_GT(lines[0].message.size(), 3000u) << "a 2999-character command line must fit in one line";
    EXPECT_EQ(lines[0].message.compare(0, 3000, huge, 0, 3000), 0);
    EXPECT_EQ(lines[1].message, "after");
}

struct LevelCase {
    const char* setting;  // nullptr: the variable is unset
    int highestShown;     // -1: the default, checked only at its documented edges
};

TEST(HostDebugLog, LevelFilteringFollowsHxDebugLevelReadAtEachCall)
{
    HostEnv env;
    EvEvent event;  // one object for all cases: the setting is read afresh
    const LevelCase cases[] = {
        {nullptr, -1}, {"0", 0}, {"1", 1}, {"2", 2}, {"5", 5}, {"7", 7}, {"8", 8}, {"9", 9}, {"-1", -1000},
    };
    int k = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("HX_DEBUG_LEVEL=") + (c.setting ? c.setting : "(unset)"));
        if (c.setting != nullptr)
            setenv("HX_DEBUG_LEVEL", c.setting, 1);
        else
            unsetenv("HX_DEBUG_LEVEL");
        const std::string tag = "HostTest::Level" + std::to_string(k++);
        event.Debug(tag.c_str(), "plain");
        for (int level = 1; level <= 9; ++level)
            event.DebugLvl(tag.c_str(), level, "level %d", level);

        std::set<int> shown;
        bool plainShown = false;
        for (const auto& line : LinesWithTag(env.logPath(), tag)) {
            if (line.message == "plain") {
                plainShown = true;
                EXPECT_EQ(line.level, 1) << "Debug lines count as level 1";
            } else {
                int level = 0;
                ASSERT_EQ(sscanf(line.message.c_str(), "level %d", &level), 1);
                EXPECT_EQ(line.level, level);
                shown.insert(level);
            }
        }
        if (c.highestShown == -1) {
            EXPECT_TRUE(plainShown);
            EXPECT_TRUE(shown.count(1));
            EXPECT_FALSE(shown.count(8)) << "the default hides the level-8 detail lines";
            EXPECT_FALSE(shown.count(9));
        } else {
            EXPECT_EQ(plainShown, c.highestShown >= 1);
            for (int level = 1; level <= 9; ++level)
                EXPECT_EQ(shown.count(level) == 1, level <= c.highestShown) << "level " << level;
        }
    }
}

TEST(HostDebugLog, LogPathIsReadAtEachCall)
{
    HostEnv env;
    TempDir other;
    const std::string first = env.logPath();
    const std::string second = other / "second.log";
    EvEvent event;
    event.Debug("HostTest::Path", "one");
    setenv("HX_DEBUG_LOG", second.c_str(), 1);
    event.Debug("HostTest::Path", "two");
    setenv("HX_DEBUG_LOG", first.c_str(), 1);
    event.Debug("HostTest::Path", "three");

    auto messages = [](const std::string& path) {
        std::vector<std::string> out;
        for (const auto& line : LinesWithTag(path, "HostTest::Path"))
            out.push_back(line.message);
        return out;
    };
    EXPECT_EQ(messages(first), (std::vector<std::string>{"one", "three"}));
    EXPECT_EQ(messages(second), (std::vector<std::string>{"two"}));
}

// A rotation renames or deletes the log (and may make a new one): the lines
// after it go to the path again, opened as safely as the first time, so a
// link planted there is not followed. The path is looked at once a second,
// so each case waits for the next second of the lines' clock; the cases run
// side by side, each in a forked process with a log of its own.
TEST(HostDebugLog, RotatedLogIsOpenedAgain)
{
    HostEnv env;
    const std::string secret = env.dir() + "/root-only.txt";
    testsupport::WriteFile(secret, "untouched\n", 0600);
    struct Case {
        const char* name;
        bool (*rotate)(const std::string& log, const std::string& old, const std::string& secret);
        bool linkPlanted;
    };
    const Case cases[] = {
        {"renamed, a new file made",
         [](const std::string& log, const std::string& old, const std::string&) {
             if (rename(log.c_str(), old.c_str()) != 0)
                 return false;
             const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
             return fd >= 0 && close(fd) == 0;
         },
         false},
        {"deleted", [](const std::string& log, const std::string&, const std::string&) { return unlink(log.c_str()) == 0; },
         false},
        {"renamed, a link planted",
         [](const std::string& log, const std::string& old, const std::string& target) {
             return rename(log.c_str(), old.c_str()) == 0 && symlink(target.c_str(), log.c_str()) == 0;
         },
         true},
    };
    std::vector<pid_t> writers;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const std::string log = env.dir() + "/rotated" + std::to_string(i) + ".log";
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("HX_DEBUG_LOG", log.c_str(), 1);
            if (!HxDebugWrite("HostTest::Rotate", 1, "before") || !cases[i].rotate(log, log + ".1", secret))
                _exit(10);
            // The lines' own clock: time() may lag it by a tick.
            auto second = [] {
                timespec now {};
                clock_gettime(CLOCK_REALTIME, &now);
                return now.tv_sec;
            };
            const time_t rotated = second();
            while (second() <= rotated)
                usleep(20 * 1000);
            _exit(HxDebugWrite("HostTest::Rotate", 1, "after") ? 0 : 1);
        }
        writers.push_back(pid);
    }
    auto messages = [](const std::string& path) {
        std::vector<std::string> out;
        for (const auto& line : LinesWithTag(path, "HostTest::Rotate"))
            out.push_back(line.message);
        return out;
    };
    for (size_t i = 0; i < writers.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string log = env.dir() + "/rotated" + std::to_string(i) + ".log";
        const int status = WaitWithDeadline(writers[i]);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), c.linkPlanted ? 1 : 0) << "10: the case could not be set up";
        if (access((log + ".1").c_str(), F_OK) == 0) {
            EXPECT_EQ(messages(log + ".1"), std::vector<std::string>{"before"}) << "a line went to the rotated file";
        }
        if (c.linkPlanted) {
            EXPECT_EQ(testsupport::ReadFile(secret), "untouched\n");
        } else {
            EXPECT_EQ(messages(log), std::vector<std::string>{"after"});
            struct stat st {};
            ASSERT_EQ(lstat(log.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, 0600u);
        }
    }
}

// A host thread cancelled while it writes a line would keep the log's use
// count for ever, and a log it no longer uses would stay open: the line is
// written whole and the cancellation acted on afterwards.
TEST(HostDebugLog, ACancelledWriterLeavesTheLogToBeClosed)
{
    HostEnv env;
    TempDir other;
    ASSERT_TRUE(HxDebugWrite("HostTest::Cancel", 1, "open"));
    pthread_t thread;
    auto write = [](void*) -> void* {
        pthread_cancel(pthread_self());
        HxDebugWrite("HostTest::Cancel", 1, "while cancelled");
        pthread_testcancel();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, nullptr, write, nullptr), 0);
    void* result = nullptr;
    ASSERT_EQ(pthread_join(thread, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_EQ(LinesWithTag(env.logPath(), "HostTest::Cancel").size(), 2u);

    // Another path retires the first log, which is closed once unused.
    setenv("HX_DEBUG_LOG", (other / "next.log").c_str(), 1);
    ASSERT_TRUE(HxDebugWrite("HostTest::Cancel", 1, "elsewhere"));
    EXPECT_EQ(FdOpenOn(env.logPath()), -1) << "the first log was never closed";
}

TEST(HostDebugLog, DefaultLogFileIsUsedWhenHxDebugLogIsUnset)
{
    HostEnv env;
    const std::string marker = "default-log-marker-" + std::to_string(getpid()) + "-" +
                               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    // In a child, so that this process's logger never points at the shared file.
    const int rc = RunInSubprocess([&] {
        unsetenv("HX_DEBUG_LOG");
        EvEvent event;
        event.Debug("HostTest::Default", "%s", marker.c_str());
        return 0;
    });
    ASSERT_EQ(rc, 0);
    EXPECT_NE(testsupport::ReadFile("/tmp/hx_debug.log").find(marker), std::string::npos)
        << "the documented default log is /tmp/hx_debug.log";
}

// A child may close every descriptor it inherited (as a child start-up does)
// and then open others, which can take the number the log had. Its lines must
// still reach the log, and must not land in whatever file now has that number.
TEST(HostDebugLog, ChildThatClosedAllDescriptorsStillLogs)
{
    for (bool reuseNumbers : {false, true}) {
        SCOPED_TRACE(reuseNumbers ? "numbers reused by other files" : "numbers left free");
        HostEnv env;
        TempDir scratch;
        EvEvent event;
        event.Debug("HostTest::Closed", "parent first");
        const int logFd = FdOpenOn(env.logPath());

        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (syscall(SYS_close_range, 0u, ~0u, 0u) != 0)
                for (int fd = 0; fd < 4096; ++fd)
                    close(fd);
            if (reuseNumbers) {
                for (int i = 0; i < 64; ++i) {
                    const std::string name = scratch / ("f" + std::to_string(i));
                    const int fd = open(name.c_str(), O_RDWR | O_CREAT, 0644);
                    if (fd < 0 || fd >= logFd)
                        break;
                }
            }
            event.Debug("HostTest::Closed", "child after closing");
            _exit(0);
        }
        const int status = WaitWithDeadline(pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        const auto lines = LinesWithTag(env.logPath(), "HostTest::Closed");
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1].message, "child after closing");
        EXPECT_EQ(lines[1].pid, pid);
        for (int i = 0; i < 64; ++i) {
            const std::string content = testsupport::ReadFile(scratch / ("f" + std::to_string(i)));
            EXPECT_EQ(content.find("child after closing"), std::string::npos) << "log line went into file f" << i;
        }
    }
}

// A child that switched to a user who may not open the log still logs.
TEST(HostDebugLog, ChildThatSwitchedToAnotherUserStillLogs)
{
    if (!testsupport::IsRoot())
        GTEST_SKIP() << "switching the child to another user needs root";
    HostEnv env;
    TempDir locked;
    chmod(locked.path().c_str(), 0700);
    const std::string path = locked / "private.log";
    setenv("HX_DEBUG_LOG", path.c_str(), 1);
    EvEvent event;
    event.Debug("HostTest::User", "parent first");
    const uid_t nobody = 65534;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(nobody) != 0 || setuid(nobody) != 0)
            _exit(3);
        if (open(path.c_str(), O_WRONLY | O_APPEND) >= 0)
            _exit(4);  // the case is meaningless when the user can open it
        event.Debug("HostTest::User", "child as nobody");
        _exit(0);
    }
    const int status = WaitWithDeadline(pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_EQ(WEXITSTATUS(status), 0);
    const auto lines = LinesWithTag(path, "HostTest::User");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].message, "child as nobody");
}

TEST(HostDebugLog, LoggingLeavesErrnoAlone)
{
    HostEnv env;
    EvEvent event;
    errno = EACCES;
    event.Debug("HostTest::Errno", "one");
    EXPECT_EQ(errno, EACCES);
    setenv("HX_DEBUG_LOG", "/nonexistent-folder/x.log", 1);
    errno = EPERM;
    event.DebugLvl("HostTest::Errno", 1, "cannot be written");
    EXPECT_EQ(errno, EPERM);
}

// ---------------------------------------------------------------------------
// Log writer

TEST(HostLogWriter, DefaultWriterAppendsToTheDebugLogWithFunctionAndLine)
{
    HostEnv env;
    CLogWriterInterface* writer = g_ptrLogWriter.get();
    ASSERT_NE(writer, nullptr) << "the host fills g_ptrLogWriter when it loads";
    EXPECT_GE(writer->GetWriterStatus(), 0);
    writer->WriteLog(0, "int Foo::Bar(std::string&, int)", 321, 0, 0, "value [%d] name [%s]", 7, "x");
    bool found = false;
    for (const auto& line : ParsedLog(env.logPath())) {
        if (line.message.find("value [7] name [x]") == std::string::npos)
            continue;
        found = true;
        EXPECT_NE(line.message.find("int Foo::Bar(std::string&, int)"), std::string::npos) << line.message;
        EXPECT_NE(line.message.find("321"), std::string::npos) << line.message;
    }
    EXPECT_TRUE(found);
}

// Puts the original writer back whatever the test does.
class WriterSwap {
public:
    explicit WriterSwap(boost::shared_ptr<CLogWriterInterface> replacement) : m_saved(g_ptrLogWriter)
    {
        g_ptrLogWriter = std::move(replacement);
    }
    ~WriterSwap() { g_ptrLogWriter = m_saved; }

private:
    boost::shared_ptr<CLogWriterInterface> m_saved;
};

TEST(HostLogWriter, InstalledWriterReceivesTheLibraryReports)
{
    HostEnv env;
    CLogWriterInterface* original = g_ptrLogWriter.get();
    auto* recorder = new RecordingWriter;
    {
        WriterSwap swap{boost::shared_ptr<CLogWriterInterface>(recorder)};
        LibMySqlProcess::MySqlChildProcess child;
        ASSERT_EQ(child.Initialize("/bin/true", "", ""), 0);
        const char* signature = frozen::kReadLastErrSignature;

        // No error file yet: the read fails and is reported.
        std::string line;
        EXPECT_EQ(child.ReadLastErr(line, "ERROR"), -1);
        ASSERT_EQ(recorder->calls.size(), 1u);
        EXPECT_EQ(recorder->statusQueries, 1);
        EXPECT_EQ(recorder->calls[0].kind, 0);
        EXPECT_EQ(recorder->calls[0].function, signature);
        EXPECT_GT(recorder->calls[0].line, 0);
        EXPECT_EQ(recorder->calls[0].arg1, 0);
        EXPECT_EQ(recorder->calls[0].arg2, 0);
        EXPECT_EQ(recorder->calls[0].text, frozen::kStderrReadFailed);

        // An error file without the key.
        testsupport::WriteFile(child.m_errFilePath, "first line\nsecond line\n");
        EXPECT_EQ(child.ReadLastErr(line, "NOPE"), -1);
        ASSERT_EQ(recorder->calls.size(), 2u);
        EXPECT_EQ(recorder->statusQueries, 2);
        EXPECT_EQ(recorder->calls[1].function, signature);
        EXPECT_EQ(recorder->calls[1].text, "Error line with [NOPE] not found.");
        EXPECT_NE(recorder->calls[1].line, recorder->calls[0].line);

        // A writer that is not accepting lines is asked, and not written to.
        recorder->status = -1;
        EXPECT_EQ(child.ReadLastErr(line, "NOPE"), -1);
        EXPECT_EQ(recorder->statusQueries, 3);
        EXPECT_EQ(recorder->calls.size(), 2u);

        // The replacement took the lines: none reached the default writer.
        EXPECT_FALSE(env.LogHas("Reading from STDERR")) << "the default writer was still used";
        EXPECT_FALSE(env.LogHas("not found."));
    }
    EXPECT_EQ(g_ptrLogWriter.get(), original);
}

// ---------------------------------------------------------------------------
// Strings

TEST(HostFXString, FormatMatchesPrintf)
{
    EXPECT_EQ(FXString::Format("%s", ""), "");
    EXPECT_EQ(FXString::Format("%%"), "%");
    EXPECT_EQ(FXString::Format(frozen::kJobFolderFormat, "/r", static_cast<long long>(-5)), "/r/HX_JobResults/2/0/-5");
    EXPECT_EQ(FXString::Format("%lld|%lld", LLONG_MIN, LLONG_MAX), "-9223372036854775808|9223372036854775807");
    EXPECT_EQ(FXString::Format(frozen::kErrorFileFormat, "d", 1700000000123456L), "d/MySqlErrors_1700000000123456.txt");
    EXPECT_EQ(FXString::Format("[%5s][%-3d][%x]", "ab", 7, 255u), "[   ab][7  ][ff]");
}

TEST(HostFXString, FormatProducesLongOutputWhole)
{
    // Around and far beyond the 512 bytes a first formatting attempt may use.
    for (size_t n : {size_t{0}, size_t{1}, size_t{510}, size_t{511}, size_t{512}, size_t{513}, size_t{1024},
                     size_t{5000}, size_t{100000}}) {
        SCOPED_TRACE(n);
        const std::string body(n, 'z');
        EXPECT_EQ(FXString::Format("%s", body.c_str()), body);
        const std::string mixed = FXString::Format("<%s|%d|%s>", body.c_str(), 12345, "tail");
        EXPECT_EQ(mixed, "<" + body + "|12345|tail>");
        const std::string padded = FXString::Format("%*d", static_cast<int>(n), 9);
        EXPECT_EQ(padded.size(), std::max<size_t>(n, 1));
        EXPECT_EQ(padded.back(), '9');
    }
}

struct SplitCase {
    std::string text;
    std::string separator;
    std::vector<std::string> pieces;
};

TEST(HostFXString, SplitKeepsEmptyPiecesInOrder)
{
    const SplitCase cases[] = {
        {"", "\n", {""}},
        {"a", "\n", {"a"}},
        {"a\nb", "\n", {"a", "b"}},
        {"\n", "\n", {"", ""}},
        {"\n\n", "\n", {"", "", ""}},
        {"a\n", "\n", {"a", ""}},
        {"\na", "\n", {"", "a"}},
        {"x\n\ny\n", "\n", {"x", "", "y", ""}},
        {"line one\nline two\nERROR 1045\n", "\n", {"line one", "line two", "ERROR 1045", ""}},
        {"a--b----c", "--", {"a", "b", "", "c"}},
        {"aaa", "aa", {"", "a"}},
        {"no separator here", ",", {"no separator here"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("[" + c.text + "] by [" + c.separator + "]");
        std::vector<std::string> pieces;
        FXString::Split(c.text, c.separator, pieces, 0);
        EXPECT_EQ(pieces, c.pieces);

        // k separators give k + 1 pieces.
        size_t separators = 0;
        for (size_t at = c.text.find(c.separator); at != std::string::npos;
             at = c.text.find(c.separator, at + c.separator.size()))
            ++separators;
        EXPECT_EQ(pieces.size(), separators + 1);
    }
}

TEST(HostFXString, SplitAppendsToWhatTheVectorHolds)
{
    std::vector<std::string> pieces{"kept"};
    FXString::Split("a\nb", "\n", pieces, 0);
    EXPECT_EQ(pieces, (std::vector<std::string>{"kept", "a", "b"}));
}

TEST(HostFXString, FindStringFindsTheFirstOccurrence)
{
    struct Case {
        const char* text;
        const char* key;
        bool ignoreCase;
        long offset;  // -1: not found
    };
    const Case cases[] = {
        {"mysqldump: Got error: 1045", "error", false, 15},
        {"ERROR 2002 then ERROR 1045", "ERROR", false, 0},
        {"abc ERROR", "ERROR", false, 4},
        {"no match", "ERROR", false, -1},
        {"error in lower case", "ERROR", false, -1},
        {"error in lower case", "ERROR", true, 0},
        {"Some Error", "eRRoR", true, 5},
        {"", "x", false, -1},
        {"anything", "", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + c.key);
        const char* found = FXString::FindString(c.text, c.key, c.ignoreCase);
        if (c.offset < 0) {
            EXPECT_EQ(found, nullptr);
        } else {
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(found - c.text, c.offset);
        }
        const std::string owned(c.text);
        const char* viaString = FXString::FindString(owned, c.key, c.ignoreCase);
        if (c.offset < 0)
            EXPECT_EQ(viaString, nullptr);
        else
            EXPECT_EQ(viaString, owned.c_str() + c.offset) << "must point into the string it was given";
    }
    EXPECT_EQ(FXString::FindString(static_cast<const char*>(nullptr), "x", false), nullptr);
}

// ---------------------------------------------------------------------------
// Files and folders

TEST(HostFXFolder, CreateFoldersIterativelyMakesMissingParents)
{
    TempDir tmp;
    const std::string deep = tmp / "a/b/c/d/e";
    ASSERT_FALSE(FXFolder::DoesFolderExist(tmp / "a"));
    const mode_t mask = umask(0);  // an agent started with umask 0
    CKoError result = FXFolder::CreateFoldersIteratively(deep, nullptr);
    umask(mask);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_GE(result.Code(), 0);
    for (const char* level : {"a", "a/b", "a/b/c", "a/b/c/d", "a/b/c/d/e"}) {
        EXPECT_TRUE(FXFolder::DoesFolderExist(tmp / level)) << level;
        struct stat st {};
        ASSERT_EQ(stat((tmp / level).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0755u) << level << ": writable by others";
    }

    // Already there, or with a trailing slash: nothing to do, no error.
    testsupport::WriteFile(deep + "/marker", "m");
    EXPECT_FALSE(FXFolder::CreateFoldersIteratively(deep, nullptr).IsError());
    EXPECT_FALSE(FXFolder::CreateFoldersIteratively(tmp / "a/b/f/", nullptr).IsError());
    EXPECT_TRUE(FXFolder::DoesFolderExist(tmp / "a/b/f"));
    EXPECT_EQ(testsupport::ReadFile(deep + "/marker"), "m");
}

TEST(HostFXFolder, CreateFoldersIterativelyReportsFailuresReadably)
{
    TempDir tmp;
    testsupport::WriteFile(tmp / "plain", "not a folder");
    const std::string notADir = strerror(ENOTDIR);
    struct Case {
        std::string path;
        std::string reason;
    };
    const Case cases[] = {
        {tmp / "plain/sub", notADir},
        {tmp / "plain/sub/deeper", notADir},
        {tmp / "plain", ""},  // an existing file where the folder should be
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        CKoError result = FXFolder::CreateFoldersIteratively(c.path, nullptr);
        EXPECT_TRUE(result.IsError());
        EXPECT_LT(result.Code(), 0);
        const std::string text = result.AsString();
        EXPECT_FALSE(text.empty());
        if (!c.reason.empty()) {
            EXPECT_NE(text.find(c.reason), std::string::npos) << text;
        }
        EXPECT_FALSE(FXFolder::DoesFolderExist(c.path));
    }
    EXPECT_EQ(testsupport::ReadFile(tmp / "plain"), "not a folder");

    // A refused mkdir: the reason is the system's text for it.
    const std::string target = tmp / "denied/sub";
    const std::string denied = strerror(EACCES);
    const int rc = RunInSubprocess([&] {
        if (!testsupport::DenySyscalls({SYS_mkdir, SYS_mkdirat}, EACCES))
            return 10;
        CKoError result = FXFolder::CreateFoldersIteratively(target, nullptr);
        if (!result.IsError() || result.Code() >= 0)
            return 11;
        if (result.AsString().find(denied) == std::string::npos) {
            fprintf(stderr, "AsString: %s\n", result.AsString().c_str());
            return 12;
        }
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(FXFolder::DoesFolderExist(tmp / "denied"));
}

TEST(HostCKoError, SignTellsErrorAndTextIsKept)
{
    EXPECT_FALSE(CKoError().IsError());
    EXPECT_FALSE(CKoError(0).IsError());
    EXPECT_FALSE(CKoError(5).IsError());
    EXPECT_TRUE(CKoError(-1).IsError());
    EXPECT_EQ(CKoError(-2, "why").AsString(), "why");
    EXPECT_FALSE(CKoError(-2).AsString().empty());
}

TEST(HostFXFile, ExistenceChecksTellFilesFromFolders)
{
    TempDir tmp;
    testsupport::WriteFile(tmp / "file", "x");
    ASSERT_EQ(mkdir((tmp / "dir").c_str(), 0755), 0);
    ASSERT_EQ(symlink((tmp / "file").c_str(), (tmp / "link-to-file").c_str()), 0);
    ASSERT_EQ(symlink((tmp / "dir").c_str(), (tmp / "link-to-dir").c_str()), 0);
    ASSERT_EQ(symlink((tmp / "gone").c_str(), (tmp / "dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0644), 0);
    struct Case {
        const char* name;
        bool file;
        bool folder;
    };
    const Case cases[] = {
        {"file", true, false},       {"dir", false, true},      {"missing", false, false},
        {"link-to-file", true, false}, {"link-to-dir", false, true}, {"dangling", false, false},
        {"fifo", true, false},       {"file/below", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FXFile::DoesFileExist(tmp / c.name), c.file);
        EXPECT_EQ(FXFolder::DoesFolderExist(tmp / c.name), c.folder);
    }
    EXPECT_FALSE(FXFile::DoesFileExist(""));
    EXPECT_FALSE(FXFolder::DoesFolderExist(""));
}

// ---------------------------------------------------------------------------
// Processes

struct ForkArg {
    int reportFd;
    int value;
};

int g_touchedByChild = 0;

// Reports the argument, its pid, whether SIGUSR1's handler was reset and
// whether the forking thread's blocked SIGUSR2 is still blocked; then
// returns, leaving the child's end to the host.
void ReportAndReturn(void* p)
{
    auto* arg = static_cast<ForkArg*>(p);
    g_touchedByChild = 1;
    struct sigaction usr1 {};
    sigaction(SIGUSR1, nullptr, &usr1);
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    const int msg[4] = {arg->value, static_cast<int>(getpid()), usr1.sa_handler == SIG_DFL,
                        sigismember(&mask, SIGUSR2)};
    (void)!write(arg->reportFd, msg, sizeof msg);
    errno = EILSEQ;
}

void NoteSignal(int) {}

// Both ways of making a child: a fork()ed copy, and by default a clone that
// shares the parent's memory until the child has ended (or exec'd).
TEST(HostHxProcess, ForkRunsTheFunctionInAChildThatEndsWhenItReturns)
{
    if (testsupport::UnderValgrind())
        GTEST_SKIP() << "valgrind replaces the forked child's exit path";
    struct sigaction handler {}, previous {};
    handler.sa_handler = &NoteSignal;
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &previous), 0);
    sigset_t usr2, oldMask;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &usr2, &oldMask);
    const bool shares = testsupport::Sanitizer() != "tsan";
    for (const char* mode : {"fork", "clone"}) {
        SCOPED_TRACE(mode);
        testsupport::ScopedEnv forkMode("HX_FORK", mode);
        g_touchedByChild = 0;
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        // Unflushed stdio data: a child that ended with exit() would flush its
        // copy too, and the text would arrive twice.
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        FILE* buffered = fdopen(out[1], "w");
        ASSERT_NE(buffered, nullptr);
        setvbuf(buffered, nullptr, _IOFBF, 4096);
        fputs("once", buffered);

        ForkArg arg{report[1], 4711};
        HxProcess process;
        std::string error;
        errno = ERANGE;
        ASSERT_TRUE(process.Fork(&ReportAndReturn, &arg, &error)) << error;
        EXPECT_EQ(errno, ERANGE) << "the child's errno leaked into the parent's";
        // Sharing memory, the child has run the function before Fork returns.
        const bool shared = shares && mode[0] == 'c';
        EXPECT_EQ(g_touchedByChild, shared ? 1 : 0) << "memory shared or copied";
        close(report[1]);
        const pid_t child = process.GetChildPid();
        EXPECT_GT(child, 0);

        int msg[4] = {};
        ASSERT_EQ(read(report[0], msg, sizeof msg), static_cast<ssize_t>(sizeof msg));
        close(report[0]);
        EXPECT_EQ(msg[0], 4711) << "the child runs the function on the argument";
        EXPECT_EQ(msg[1], child) << "GetChildPid names the child";
        EXPECT_EQ(msg[2], 1) << "the parent's handler was still installed in the child";
        EXPECT_EQ(msg[3], 1) << "the forking thread's mask was not restored in the child";

        int status = 0;
        ASSERT_TRUE(process.WaitForProcessToEnd(&status, &error, -1)) << error;
        ASSERT_TRUE(WIFEXITED(status)) << "a child whose function returns ends with _exit";
        EXPECT_EQ(WEXITSTATUS(status), 127);

        fclose(buffered);
        char text[64] = {};
        ssize_t n = 0, got;
        while ((got = read(out[0], text + n, sizeof text - 1 - static_cast<size_t>(n))) > 0)
            n += got;
        close(out[0]);
        EXPECT_STREQ(text, "once") << "the child flushed the parent's stdio buffers";
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGUSR1, &previous, nullptr);
}

void ExitWithArgument(void* p)
{
    _exit(*static_cast<int*>(p));
}

void RaiseSignal(void* p)
{
    signal(*static_cast<int*>(p), SIG_DFL);
    raise(*static_cast<int*>(p));
    _exit(99);
}

TEST(HostHxProcess, WaitGivesThePosixStatusWord)
{
    for (int code : {0, 1, 3, 77, 255}) {
        HxProcess process;
        ASSERT_TRUE(process.Fork(&ExitWithArgument, &code, static_cast<std::string*>(nullptr)));
        int status = -1;
        std::string error;
        ASSERT_TRUE(process.WaitForProcessToEnd(&status, &error, -1)) << error;
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), code);
    }
    int sig = SIGTERM;
    HxProcess process;
    ASSERT_TRUE(process.Fork(&RaiseSignal, &sig, static_cast<std::string*>(nullptr)));
    int status = 0;
    char error[64] = {};
    ASSERT_TRUE(process.WaitForProcessToEnd(status, error, sizeof error, -1)) << error;
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

void SleepLong(void*)
{
    sleep(60);
    _exit(0);
}

// A child that goes on running needs a fork()ed copy: a child sharing the
// parent's memory holds the parent's thread until it ends.
TEST(HostHxProcess, BoundedWaitGivesUpOnARunningChild)
{
    testsupport::ScopedEnv forkMode("HX_FORK", "fork");
    HxProcess process;
    ASSERT_TRUE(process.Fork(&SleepLong, nullptr, static_cast<std::string*>(nullptr)));
    int status = 0;
    std::string error;
    EXPECT_FALSE(process.WaitForProcessToEnd(&status, &error, 50));
    EXPECT_FALSE(error.empty());
    kill(process.GetChildPid(), SIGKILL);
    error.clear();
    ASSERT_TRUE(process.WaitForProcessToEnd(&status, &error, -1)) << error;
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

std::atomic<int> g_interruptions{0};

void CountInterruption(int)
{
    g_interruptions.fetch_add(1);
}

// p: a pipe; the child keeps only the reading end and ends at end of file.
void ExitWhenPipeCloses(void* p)
{
    const int* gate = static_cast<int*>(p);
    close(gate[1]);
    char c;
    while (read(gate[0], &c, 1) != 0) {
    }
    _exit(5);
}

// Signals that interrupt waitpid (no SA_RESTART) must not end the wait.
TEST(HostHxProcess, WaitRetriesWhenInterrupted)
{
    testsupport::ScopedEnv forkMode("HX_FORK", "fork");
    struct sigaction action {};
    action.sa_handler = &CountInterruption;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    for (int timeout : {-1, 60000}) {
        SCOPED_TRACE(timeout);
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        HxProcess process;
        ASSERT_TRUE(process.Fork(&ExitWhenPipeCloses, gate, static_cast<std::string*>(nullptr)));
        close(gate[0]);
        g_interruptions = 0;
        const pthread_t waiter = pthread_self();
        std::thread interrupter([&] {
            for (int i = 0; i < 40; ++i) {
                pthread_kill(waiter, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            close(gate[1]);
        });
        int status = 0;
        std::string error;
        const bool ok = process.WaitForProcessToEnd(&status, &error, timeout);
        interrupter.join();
        ASSERT_TRUE(ok) << error;
        EXPECT_GT(g_interruptions.load(), 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 5);
    }
    sigaction(SIGUSR1, &previous, nullptr);
}

// The buffer form must hold at most len - 1 characters of the text and a NUL
// at len - 1, and write nothing past len.
int CheckTruncatedCopy(const std::string& full, const char* buffer, int len, size_t room)
{
    const size_t expected = std::min(full.size(), static_cast<size_t>(len - 1));
    if (buffer[len - 1] != '\0')
        return 1;
    if (strlen(buffer) != expected)
        return 2;
    if (memcmp(buffer, full.data(), expected) != 0)
        return 3;
    for (size_t i = static_cast<size_t>(len); i < room; ++i)
        if (buffer[i] != 'X')
            return 4;
    return 0;
}

TEST(HostHxProcess, WaitBufferFormTruncatesTheErrorText)
{
    // Never forked, and forked but already waited for: both fail with a reason.
    HxProcess never;
    HxProcess reaped;
    int code = 0;
    ASSERT_TRUE(reaped.Fork(&ExitWithArgument, &code, static_cast<std::string*>(nullptr)));
    int status = 0;
    ASSERT_TRUE(reaped.WaitForProcessToEnd(&status, static_cast<std::string*>(nullptr), -1));

    for (HxProcess* process : {&never, &reaped}) {
        std::string full;
        ASSERT_FALSE(process->WaitForProcessToEnd(&status, &full, -1));
        ASSERT_GT(full.size(), 4u);
        for (int len : {1, 2, 5, static_cast<int>(full.size()), static_cast<int>(full.size()) + 1, 200}) {
            SCOPED_TRACE(len);
            char buffer[256];
            memset(buffer, 'X', sizeof buffer);
            EXPECT_FALSE(process->WaitForProcessToEnd(status, buffer, len, -1));
            EXPECT_EQ(CheckTruncatedCopy(full, buffer, len, sizeof buffer), 0) << "[" << full << "] into " << len;
        }
    }
}

TEST(HostHxProcess, ForkFailureGivesReasonAndErrnoInBothForms)
{
    const int rc = RunInSubprocess([] {
        if (!testsupport::DenySyscalls({SYS_clone, SYS_clone3, SYS_fork, SYS_vfork}, EAGAIN))
            return 10;
        HxProcess process;
        int code = 0;
        std::string full;
        errno = 0;
        if (process.Fork(&ExitWithArgument, &code, &full))
            return 11;
        if (errno != EAGAIN)
            return 12;
        if (full.size() < 5)
            return 13;
        for (int len : {1, 2, 5, static_cast<int>(full.size()), static_cast<int>(full.size()) + 1, 200}) {
            char buffer[256];
            memset(buffer, 'X', sizeof buffer);
            errno = 0;
            if (process.Fork(&ExitWithArgument, &code, buffer, len))
                return 14;
            if (errno != EAGAIN)
                return 15;
            if (int bad = CheckTruncatedCopy(full, buffer, len, sizeof buffer)) {
                fprintf(stderr, "len %d: check %d, text [%s]\n", len, bad, full.c_str());
                return 20 + bad;
            }
        }
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

void CloseThenExit(void*)
{
    close(-1);  // a cancellation point
    _exit(0);
}

// The forking thread has a cancellation pending. On the clone path the child
// shares the thread's control block: had it acted on the cancellation at its
// first cancellation point, it would have run the thread's exit on the
// parent's stack, and the parent would crash. The parent acts on it instead,
// at its own next cancellation point.
TEST(HostHxProcess, ACancellationPendingInTheForkingThreadStaysWithTheParent)
{
    for (const char* mode : {"clone", "fork"}) {
        SCOPED_TRACE(mode);
        const int rc = RunInSubprocess(
            [mode] {
                setenv("HX_FORK", mode, 1);
                pid_t child = -1;
                pthread_t thread;
                auto launch = [](void* p) -> void* {
                    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
                    pthread_cancel(pthread_self());
                    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);  // deferred: still pending
                    HxProcess process;
                    std::string error;
                    if (process.Fork(&CloseThenExit, nullptr, &error))
                        *static_cast<pid_t*>(p) = process.GetChildPid();
                    pthread_testcancel();
                    return nullptr;
                };
                SUB_CHECK(pthread_create(&thread, nullptr, launch, &child) == 0, 10);
                void* result = nullptr;
                pthread_join(thread, &result);
                SUB_CHECK(result == PTHREAD_CANCELED, 11);
                SUB_CHECK(child > 0, 12);
                int status = 0;
                SUB_CHECK(waitpid(child, &status, 0) == child, 13);
                SUB_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0, 14);
                return 0;
            },
            30);
        EXPECT_EQ(rc, 0);
    }
}

// ---------------------------------------------------------------------------
// Threads

struct ThreadReport {
    std::promise<void> done;
    void* arg = nullptr;
    long tid = 0;
    int detachState = -1;
};

void* RecordThread(void* p)
{
    // The caller's shared_ptr copy keeps the report alive however long we run.
    auto* holder = static_cast<std::shared_ptr<ThreadReport>*>(p);
    std::shared_ptr<ThreadReport> report = *holder;
    report->arg = p;
    report->tid = ThreadId();
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getdetachstate(&attr, &report->detachState);
        pthread_attr_destroy(&attr);
    }
    delete holder;
    report->done.set_value();
    return nullptr;
}

TEST(HostHxThread, CreateThreadStartsADetachedThreadThatOutlivesItsObject)
{
    auto report = std::make_shared<ThreadReport>();
    auto done = report->done.get_future();
    auto* holder = new std::shared_ptr<ThreadReport>(report);
    auto* thread = new HxThread();
    ASSERT_EQ(thread->createThread(&RecordThread, holder), 0);
    delete thread;  // the running thread never refers to it
    ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(report->arg, holder);
    EXPECT_NE(report->tid, ThreadId());
    EXPECT_EQ(report->detachState, PTHREAD_CREATE_DETACHED) << "nothing ever joins the thread";
}

TEST(HostHxThread, CreateThreadReturnsTheErrorCode)
{
    const int rc = RunInSubprocess([] {
        if (!testsupport::DenySyscalls({SYS_clone, SYS_clone3}, EAGAIN))
            return 10;
        HxThread thread;
        auto report = std::make_shared<ThreadReport>();
        auto* holder = new std::shared_ptr<ThreadReport>(report);
        const int result = thread.createThread(&RecordThread, holder);
        if (result != EAGAIN) {
            fprintf(stderr, "createThread gave %d\n", result);
            return 11;
        }
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

// ---------------------------------------------------------------------------
// Platform configuration

std::string HostValue(const std::string& variable, HXPI_CommClient& client, EvEvent& event)
{
    if (variable == "HX_JOB_RESULTS_DIR")
        return client.getJobResultsDirectory(HXPI_Focus::getFocusClientName(true));
    if (variable == "HX_JOB_ID")
        return std::to_string(event.getJobId());
    if (variable == "HX_CLIENT_NAME")
        return HXPI_Focus::getFocusClientName(true);
    if (variable == "HX_BASE_HOME")
        return client.getBaseHomeDirectory();
    return "?";
}

TEST(HostHXPI, ConfigurationComesFromTheEnvironmentWithDefaults)
{
    HostEnv env;
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    struct Case {
        const char* variable;
        const char* value;  // nullptr: unset
        std::string expected;
    };
    const Case cases[] = {
        {"HX_JOB_RESULTS_DIR", "/data/results", "/data/results"},
        {"HX_JOB_RESULTS_DIR", nullptr, "/tmp/hx_job_results"},
        {"HX_JOB_ID", "42", "42"},
        {"HX_JOB_ID", "-12", "-12"},
        {"HX_JOB_ID", "9223372036854775807", "9223372036854775807"},
        {"HX_JOB_ID", "-9223372036854775808", "-9223372036854775808"},
        {"HX_JOB_ID", nullptr, "0"},
        {"HX_CLIENT_NAME", "client-7", "client-7"},
        {"HX_CLIENT_NAME", nullptr, host},
        {"HX_BASE_HOME", "/srv/hx", "/srv/hx"},
        {"HX_BASE_HOME", nullptr, "/opt/hx"},
    };
    // One client and one event for every case: each value is read afresh.
    EvEvent event;
    HXPI_CommClient client(&event);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.variable) + "=" + (c.value ? c.value : "(unset)"));
        if (c.value != nullptr)
            setenv(c.variable, c.value, 1);
        else
            unsetenv(c.variable);
        EXPECT_EQ(HostValue(c.variable, client, event), c.expected);
    }
}

TEST(HostHXPI, PlatformObjectsCanBeMadeAndDestroyed)
{
    HostEnv env;
    delete new HXPlatformInfo();
    HXPI_PlatformBase* base = new HXPI_CommClient(nullptr);
    EXPECT_EQ(std::string(base->getBaseHomeDirectory()), env.baseHome());
    delete base;  // through the base: the destructor is virtual
}

}  // namespace
