// The launch from the parent's side: what the object holds after a launch
// that succeeds, command lines refused before anything is created, each
// failure row of the launch (made real with resource limits and seccomp
// filters in a subprocess), SIGPIPE, and Terminate.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child_process/LogTexts.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "support/TestSupport.h"

namespace {

namespace frozen = LibMySqlProcess::frozen;

using LibMySqlProcess::MySqlChildProcess;
using namespace testsupport;

const char kLaunchTag[] = "MySqlChildProcess::HX_CreateProcess";

bool IsCloseOnExec(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

// A field of /proc/<pid>/status, such as "PPid" or "SigIgn".
std::string StatusField(int pid, const std::string& field)
{
    const std::string text = ReadFile("/proc/" + std::to_string(pid) + "/status");
    const std::string key = "\n" + field + ":";
    size_t at = text.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    while (at < text.size() && (text[at] == '\t' || text[at] == ' '))
        ++at;
    return text.substr(at, text.find('\n', at) - at);
}

bool SigpipeIgnored()
{
    struct sigaction now {};
    return sigaction(SIGPIPE, nullptr, &now) == 0 && now.sa_handler == SIG_IGN;
}

class Launch : public ::testing::Test {
protected:
    // The logger keeps the last log it wrote open until a line goes to another
    // path; point it at this test's log before descriptors are counted.
    void SetUp() override { HxDebugWrite("test", 1, "test starts"); }

    std::vector<std::string> LaunchMessages() const { return env.Messages(kLaunchTag); }
    bool Logged(const std::string& message) const
    {
        for (const auto& m : LaunchMessages())
            if (m == message)
                return true;
        return false;
    }

    HostEnv env;
};

TEST_F(Launch, SuccessLeavesTheParentsEndsAndTheChildsPid)
{
    FdLeakCheck leaks;
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(std::string(ProbePath()) + " cat", "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);

    EXPECT_EQ(child.m_filedesPW[0], -1);
    EXPECT_EQ(child.m_filedesCW[1], -1);
    ASSERT_TRUE(IsOpen(child.m_filedesPW[1]));
    ASSERT_TRUE(IsOpen(child.m_filedesCW[0]));
    // Another host thread's child must not inherit them.
    EXPECT_TRUE(IsCloseOnExec(child.m_filedesPW[1]));
    EXPECT_TRUE(IsCloseOnExec(child.m_filedesCW[0]));

    // A round trip proves the tool runs on these ends (and has exec'd).
    char ping[] = "ping\n";
    ASSERT_EQ(child.WriteBuf(ping, 5), 0);
    char buf[16] = {};
    long len = sizeof buf;
    ASSERT_EQ(child.ReadBuf(buf, &len), 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), "ping\n");

    const int pid = child.m_childPid;
    ASSERT_GT(pid, 0);
    const std::string proc = "/proc/" + std::to_string(pid);
    EXPECT_EQ(StatusField(pid, "PPid"), std::to_string(getpid()));
    char probe[PATH_MAX];
    ASSERT_NE(realpath(ProbePath(), probe), nullptr);
    EXPECT_EQ(LinkOf(proc + "/exe"), probe);
    EXPECT_EQ(LinkOf(proc + "/fd/0"), LinkOf("/proc/self/fd/" + std::to_string(child.m_filedesPW[1])));
    EXPECT_EQ(LinkOf(proc + "/fd/1"), LinkOf("/proc/self/fd/" + std::to_string(child.m_filedesCW[0])));
    // The tool itself runs with SIGPIPE ignored: exec keeps the disposition.
    const unsigned long long ignored = std::strtoull(StatusField(pid, "SigIgn").c_str(), nullptr, 16);
    EXPECT_NE(ignored & (1ull << (SIGPIPE - 1)), 0u);
    EXPECT_TRUE(Logged("Parent: child process pid= " + std::to_string(pid)));

    child.Finalize();
    EXPECT_EQ(child.Wait(0), 0);
}

std::string Words(int n)
{
    std::string line;
    for (int i = 0; i < n; ++i)
        line += " w" + std::to_string(i);
    return line;
}

TEST_F(Launch, FortyNineArgumentsReachTheTool)
{
    FdLeakCheck leaks;
    MySqlChildProcess child;
    // The probe's path and "report" are two of the 49.
    ASSERT_EQ(child.Initialize(std::string(ProbePath()) + " report" + Words(47), "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    const auto report = ParseReport(ReadAll(child));
    child.Finalize();
    ASSERT_EQ(child.Wait(0), 0);
    EXPECT_EQ(ReportValues(report, "argc"), std::vector<std::string>{"49"});
    const auto args = ReportValues(report, "arg");
    ASSERT_EQ(args.size(), 49u);
    EXPECT_EQ(args.back(), "w46");
}

TEST_F(Launch, BadCommandLinesAreRefusedBeforeAnythingIsCreated)
{
    std::string longest;
    while (longest.size() + 2 <= 2999)
        longest += "a ";
    struct Row {
        const char* what;
        std::string command;
        int err;
        std::string mentions;  // what the refusal's log line must name
    };
    const std::vector<Row> rows = {
        {"empty", "", EINVAL, "[]"},
        {"spaces only", "     ", EINVAL, "[     ]"},
        {"50 arguments", std::string(ProbePath()) + " report" + Words(48), E2BIG, "50"},
        {"1499 arguments in the longest line", longest, E2BIG, "1499"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        FdLeakCheck leaks;
        env.ClearLog();
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize(r.command, "", ""), 0);
        EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
        EXPECT_EQ(child.m_lastErr, r.err);
        EXPECT_EQ(child.m_filedesPW[0], -1);
        EXPECT_EQ(child.m_filedesPW[1], -1);
        EXPECT_EQ(child.m_filedesCW[0], -1);
        EXPECT_EQ(child.m_filedesCW[1], -1);
        EXPECT_EQ(child.m_hxProcess, nullptr);
        EXPECT_EQ(child.m_childPid, -1);
        const auto messages = LaunchMessages();
        ASSERT_EQ(messages.size(), 1u) << "one line saying why, and nothing of a launch";
        EXPECT_NE(messages[0].find(r.mentions), std::string::npos) << messages[0];
        EXPECT_TRUE(env.Messages("MySqlChildProcess::PostFork").empty()) << "a child was started";
    }
}

TEST_F(Launch, FirstPipeFailingLeavesNothingOpen)
{
    if (testsupport::UnderValgrind())
        GTEST_SKIP() << "valgrind holds descriptors of its own under the lowered limit";
    FdLeakCheck leaks;
    const int rc = RunInSubprocess([&]() {
        signal(SIGPIPE, SIG_DFL);
        MySqlChildProcess child;
        SUB_CHECK(child.Initialize(std::string(ProbePath()) + " exit 0", "", "") == 0, 10);
        FewDescriptors few;
        SUB_CHECK(few.Squeeze(0), 11);
        SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == -1, 12);
        SUB_CHECK(child.m_lastErr == EMFILE, 13);
        SUB_CHECK(child.m_filedesCW[0] == -1 && child.m_filedesCW[1] == -1, 14);
        SUB_CHECK(child.m_filedesPW[0] == -1 && child.m_filedesPW[1] == -1, 15);
        SUB_CHECK(child.m_hxProcess == nullptr, 16);
        // Ignored before the pipes were asked for, and it stays so.
        SUB_CHECK(SigpipeIgnored(), 17);
        return 0;
    });
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(Logged("pipe(m_filedesCW) call failed when creating m_phpipecw : errno=24"));
    EXPECT_FALSE(Logged(frozen::kSettingParameters));
}

TEST_F(Launch, SecondPipeFailingLeavesTheFirstForFinalizeAndTheDestructor)
{
    if (testsupport::UnderValgrind())
        GTEST_SKIP() << "valgrind holds descriptors of its own under the lowered limit";
    FdLeakCheck leaks;
    const int rc = RunInSubprocess([&]() {
        int first[2];
        {
            MySqlChildProcess child;
            SUB_CHECK(child.Initialize(std::string(ProbePath()) + " exit 0", "", "") == 0, 10);
            // Room for one pipe, not two.
            FewDescriptors few;
            SUB_CHECK(few.Squeeze(2), 11);
            SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == -1, 12);
            SUB_CHECK(child.m_lastErr == EMFILE, 13);
            SUB_CHECK(IsOpen(child.m_filedesCW[0]) && IsOpen(child.m_filedesCW[1]), 14);
            SUB_CHECK(child.m_filedesPW[0] == -1 && child.m_filedesPW[1] == -1, 15);
            SUB_CHECK(child.m_hxProcess == nullptr, 16);
            first[0] = child.m_filedesCW[0];
            first[1] = child.m_filedesCW[1];

            SUB_CHECK(child.Finalize() == 0, 17);
            SUB_CHECK(child.m_filedesCW[0] == -1 && !IsOpen(first[0]), 18);
            SUB_CHECK(child.m_filedesCW[1] == first[1] && IsOpen(first[1]), 19);
        }
        SUB_CHECK(!IsOpen(first[1]), 20);  // the destructor's
        return 0;
    });
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(Logged("pipe(m_filedesPW) call failed when creating m_phpipecw : errno=24"));
    EXPECT_FALSE(Logged(frozen::kSettingParameters));
}

TEST_F(Launch, ForkFailingKeepsAllFourEndsAndTheErrno)
{
    FdLeakCheck leaks;
    const int rc = RunInSubprocess([&]() {
        signal(SIGPIPE, SIG_DFL);
        int ends[4];
        {
            MySqlChildProcess child;
            SUB_CHECK(child.Initialize(std::string(ProbePath()) + " exit 0", "", "") == 0, 10);
            // glibc's fork is clone; newer ones may try clone3 first.
            if (!DenySyscalls({SYS_clone, SYS_clone3}, EAGAIN))
                return 99;
            SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == -1, 12);
            SUB_CHECK(child.m_lastErr == EAGAIN, 13);
            SUB_CHECK(child.m_hxProcess != nullptr, 14);
            SUB_CHECK(child.m_childPid == -1, 15);
            ends[0] = child.m_filedesPW[0];
            ends[1] = child.m_filedesPW[1];
            ends[2] = child.m_filedesCW[0];
            ends[3] = child.m_filedesCW[1];
            for (int fd : ends)
                SUB_CHECK(IsOpen(fd), 16);
            SUB_CHECK(SigpipeIgnored(), 17);

            child.Finalize();
            SUB_CHECK(child.m_filedesPW[1] == -1 && child.m_filedesCW[0] == -1, 18);
            SUB_CHECK(!IsOpen(ends[1]) && !IsOpen(ends[2]), 19);
            SUB_CHECK(IsOpen(ends[0]) && IsOpen(ends[3]), 20);
        }
        SUB_CHECK(!IsOpen(ends[0]) && !IsOpen(ends[3]), 21);
        return 0;
    });
    if (rc == 99)
        GTEST_SKIP() << "the kernel refused the seccomp filter";
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(Logged(frozen::kSettingParameters));
    EXPECT_TRUE(Logged("fork failed: errno=11"));
    for (const auto& m : LaunchMessages())
        EXPECT_EQ(m.find("Parent: child process pid="), std::string::npos) << m;
}

TEST_F(Launch, SigpipeStaysIgnoredSoAWriteToAnEndedChildFails)
{
    FdLeakCheck leaks;
    const int rc = RunInSubprocess([&]() {
        signal(SIGPIPE, SIG_DFL);
        MySqlChildProcess child;
        SUB_CHECK(child.Initialize(std::string(ProbePath()) + " exit 0", "", "") == 0, 10);
        SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == 0, 11);
        SUB_CHECK(SigpipeIgnored(), 12);
        SUB_CHECK(ReadAll(child).empty(), 13);
        // Once reaped the child has released its input for sure (the end of
        // its output alone does not say so: the kernel may drop the two ends
        // in either order).
        SUB_CHECK(child.Wait(0) == 0, 14);
        char data[] = "nobody reads this";
        // With SIGPIPE at its default this write would end the subprocess.
        SUB_CHECK(child.WriteBuf(data, sizeof data - 1) == -1, 15);
        child.Finalize();
        SUB_CHECK(SigpipeIgnored(), 16);
        return 0;
    });
    EXPECT_EQ(rc, 0) << (rc == 128 + SIGPIPE ? "killed by SIGPIPE" : "");
}

TEST_F(Launch, TerminateKillsARunningChild)
{
    FdLeakCheck leaks;
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(std::string(ProbePath()) + " sleep 30", "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    EXPECT_EQ(child.Terminate(), 0);
    child.Finalize();
    EXPECT_EQ(child.Wait(0), -1);
    ASSERT_TRUE(child.m_exitStatusKnown);
    EXPECT_TRUE(WIFSIGNALED(child.m_exitStatus));
    EXPECT_EQ(WTERMSIG(child.m_exitStatus), SIGKILL);
    EXPECT_TRUE(env.LogHas("Child died after receiving signal 9"));
}

// Host thread pools often ask for small stacks. A launch from a 128 KiB
// thread, on both paths, with the user switch and every log line the child
// writes, must not run off the thread's stack.
TEST_F(Launch, AThreadWithASmallStackLaunches)
{
    struct Run {
        std::string user = IsRoot() ? "nobody" : "";
        int created = -1, waited = -1, childErrno = -1;
    };
    for (const char* mode : {"clone", "fork"}) {
        SCOPED_TRACE(mode);
        ScopedEnv forkMode("HX_FORK", mode);
        Run run;
        pthread_attr_t attr;
        ASSERT_EQ(pthread_attr_init(&attr), 0);
        ASSERT_EQ(pthread_attr_setstacksize(&attr, 128 * 1024), 0);
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, &attr,
                                 [](void* p) -> void* {
                                     auto* r = static_cast<Run*>(p);
                                     MySqlChildProcess child;
                                     if (child.Initialize("/bin/true", r->user, "") == 0) {
                                         r->created = child.HX_CreateProcess(false, false, false, false);
                                         r->childErrno = child.m_childErrno;
                                         r->waited = child.Wait(0);
                                     }
                                     return nullptr;
                                 },
                                 &run),
                  0);
        pthread_attr_destroy(&attr);
        pthread_join(thread, nullptr);
        EXPECT_EQ(run.created, 0);
        EXPECT_EQ(run.childErrno, 0);
        EXPECT_EQ(run.waited, 0);
    }
}

}  // namespace
