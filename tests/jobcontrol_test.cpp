// Job control as a backup agent uses it: waits with a deadline, a stop that
// asks first and kills after a grace, the tool's own children ending with it,
// a descriptor an event loop can poll, and host threads cancelled while they
// wait. Real children on both launch paths, as nobody when we are root.
#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "child_process/LogTexts.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "support/TestSupport.h"

namespace {

namespace frozen = LibMySqlProcess::frozen;

using LibMySqlProcess::MySqlChildProcess;
using namespace testsupport;

const char kWaitTag[] = "MySqlChildProcess::Wait";
const char kStopTag[] = "MySqlChildProcess::Stop";

// The processes of group pgid that still run (zombies have ended: they
// only wait for whoever reaps orphans here).
std::vector<pid_t> LiveMembers(pid_t pgid)
{
    std::vector<pid_t> live;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return live;
    while (dirent* e = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 0)
            continue;
        const std::string stat = ReadFile("/proc/" + std::string(e->d_name) + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0, group = 0;
        if (sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &ppid, &group) == 3 && group == pgid &&
            state != 'Z' && state != 'X')
            live.push_back(pid);
    }
    closedir(proc);
    return live;
}

// True once no process of the group runs; false at the deadline, when what
// is left is killed one by one so that the suite goes on.
bool AwaitGroupGone(pid_t pgid, int seconds = 30)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!LiveMembers(pgid).empty()) {
        if (std::chrono::steady_clock::now() > deadline) {
            for (pid_t pid : LiveMembers(pgid))
                kill(pid, SIGKILL);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Reads the tool's output until it holds text (the tool says it is set up).
bool ReadUntil(MySqlChildProcess& child, const std::string& text)
{
    std::string seen;
    char buf[256];
    while (seen.find(text) == std::string::npos) {
        long len = sizeof buf;
        if (child.ReadBuf(buf, &len) != 0 || len == 0)
            return false;
        seen.append(buf, static_cast<size_t>(len));
    }
    return true;
}

std::string LastMessage(const HostEnv& env, const std::string& tag)
{
    const std::vector<std::string> messages = env.Messages(tag);
    return messages.empty() ? std::string() : messages.back();
}

int Signal(const MySqlChildProcess& child)
{
    const int status = child.m_exitStatus;
    return child.m_exitStatusKnown && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

bool Readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

struct Mode {
    const char* name;
    const char* fork;  // HX_FORK
    bool asNobody;
};

// By name: gtest would otherwise print the bytes, padding included.
void PrintTo(const Mode& mode, std::ostream* out)
{
    *out << mode.name;
}

class JobControl : public ::testing::TestWithParam<Mode> {
protected:
    JobControl() : m_fork("HX_FORK", GetParam().fork) {}

    void SetUp() override
    {
        // Opens this test's log now, so that a descriptor count taken later
        // does not see the previous test's log close.
        HxDebugWrite("test", 1, "start");
        if (GetParam().asNobody && !IsRoot())
            GTEST_SKIP() << "running the tool as nobody needs root";
        // Scripts the tool's user can read, in the job's folder tree under /tmp.
        m_ignoreTerm = m_env.dir() + "/ignore-term.sh";
        WriteFile(m_ignoreTerm, "trap '' TERM\necho ready\nexec /bin/cat\n", 0755);
        m_holderIgnoringTerm = m_env.dir() + "/holder-ignoring-term.sh";
        WriteFile(m_holderIgnoringTerm, "trap '' TERM\n/bin/sleep 1000 &\necho ready\nwait\n", 0755);
        m_orphanIgnoringTerm = m_env.dir() + "/orphan-ignoring-term.sh";
        WriteFile(m_orphanIgnoringTerm, "(trap '' TERM; echo ready; exec /bin/sleep 1000) &\nwait\n", 0755);
    }

    // Launches command as the mode's user; the parent keeps its pipe ends.
    void Launch(MySqlChildProcess& child, const std::string& command)
    {
        ASSERT_EQ(child.Initialize(command, GetParam().asNobody ? "nobody" : "", ""), 0);
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0) << "lastErr=" << child.m_lastErr.load();
        ASSERT_EQ(child.m_childErrno, 0);
    }

    HostEnv m_env;
    ScopedEnv m_fork;
    std::string m_ignoreTerm;
    std::string m_holderIgnoringTerm;
    std::string m_orphanIgnoringTerm;
};

// ---------------------------------------------------------------------------
// WaitFor

TEST_P(JobControl, WaitForGivesUpAtItsLimitAndLeavesTheChildToALaterWait)
{
    FdLeakCheck leaks;
    MySqlChildProcess child;
    Launch(child, ProbeCommand("cat"));
    child.m_lastErr = 12345;

    EXPECT_EQ(child.WaitFor(50), -1);
    EXPECT_EQ(child.m_lastErr.load(), ETIMEDOUT);
    EXPECT_FALSE(child.m_exitStatusKnown.load());
    EXPECT_TRUE(Unreaped(child.m_childPid));
    EXPECT_EQ(AwaitChildEnd(child.m_childPid, 0), -1) << "the child was signalled or ended";
    EXPECT_TRUE(m_env.LogHas("still running after 50 ms; errno=" + std::to_string(ETIMEDOUT)));
    EXPECT_EQ(child.WaitFor(0), -1);
    EXPECT_EQ(child.m_lastErr.load(), ETIMEDOUT);

    // The tool ends once its input does; the next wait carries on.
    child.Finalize();
    m_env.ClearLog();
    EXPECT_EQ(child.WaitFor(60000), 0);
    EXPECT_EQ(child.m_lastErr.load(), 0);
    EXPECT_EQ(m_env.Messages(kWaitTag), (std::vector<std::string>{frozen::kWaiting, frozen::kChildOk}));
    EXPECT_FALSE(Unreaped(child.m_childPid));
}

TEST_P(JobControl, WaitForThatSeesTheEndDecodesAsWait)
{
    struct Row {
        std::string command;
        int limit;
        int result;
        int lastErr;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {ProbeCommand("exit 0"), 60000, 0, 0, {frozen::kWaiting, frozen::kChildOk}},
        {ProbeCommand("exit 3"), 60000, -1, 3,
         {frozen::kWaiting, "Exit status 0x300 (return 3 0x3)", "Child exited with error: 3"}},
        {ProbeCommand("exit 79"), 60000, -1, -1, {frozen::kWaiting, "Exit status 0x4F00 (return 79 0x4F)", frozen::kExecFailed}},
        // ETIMEDOUT's value as the tool's own code: m_exitStatusKnown tells.
        {ProbeCommand("exit 110"), 0x7fffffff, -1, ETIMEDOUT,
         {frozen::kWaiting, "Exit status 0x6E00 (return 110 0x6E)", "Child exited with error: 110"}},
        // -1 is no limit: the tool outlives a limit of 0 by far.
        {"/bin/sleep 0.2", -1, 0, 0, {frozen::kWaiting, frozen::kChildOk}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.command);
        m_env.ClearLog();
        MySqlChildProcess child;
        Launch(child, r.command);
        child.Finalize();
        child.m_lastErr = 12345;

        EXPECT_EQ(child.WaitFor(r.limit), r.result);
        EXPECT_EQ(child.m_lastErr.load(), r.lastErr);
        EXPECT_EQ(m_env.Messages(kWaitTag), r.lines);
        ASSERT_TRUE(child.m_exitStatusKnown.load());
        // Reaped once: later waits of either kind repeat the outcome.
        EXPECT_EQ(child.Wait(0), r.result);
        EXPECT_EQ(child.WaitFor(0), r.result);
        EXPECT_EQ(child.m_lastErr.load(), r.lastErr);
    }
}

TEST_P(JobControl, WaitForAndStopAreRefusedBesideTheWaitThread)
{
    MySqlChildProcess child;
    Launch(child, ProbeCommand("cat"));
    ASSERT_EQ(child.BeginWait(), 0);

    EXPECT_EQ(child.WaitFor(0), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBUSY);
    EXPECT_EQ(child.Stop(0), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBUSY);
    EXPECT_EQ(AwaitChildEnd(child.m_childPid, 0), -1) << "the refused Stop signalled the child";
    EXPECT_EQ(m_env.LogCount("A wait for this child is already running"), 2);

    child.Finalize();
    ASSERT_TRUE(AwaitWaitThread(child));
    EXPECT_TRUE(child.m_waitComplete.load());
    EXPECT_EQ(child.WaitFor(0), 0);
}

// ---------------------------------------------------------------------------
// Stop and Terminate

TEST_P(JobControl, StopAsksFirstKillsAfterTheGraceAndLeavesNothingOfTheGroup)
{
    struct Row {
        const char* what;
        std::string command;
        bool saysReady;  // the tool is set up (its trap, its child) once it said so
        int graceMs;
        int signal;
    };
    const Row rows[] = {
        {"ends on SIGTERM", "/bin/sleep 1000", false, 60000, SIGTERM},
        {"ignores SIGTERM", "/bin/sh " + m_ignoreTerm, true, 200, SIGKILL},
        {"grandchild holds the output", "/bin/sh -c '/bin/sleep 1000 & echo ready; wait'", true, 60000, SIGTERM},
        {"grandchild ignores SIGTERM too", "/bin/sh " + m_holderIgnoringTerm, true, 200, SIGKILL},
        // The tool ends on SIGTERM at once; what it leaves behind goes too.
        {"grandchild ignores SIGTERM, the tool does not", "/bin/sh " + m_orphanIgnoringTerm, true, 60000, SIGTERM},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        m_env.ClearLog();
        FdLeakCheck leaks;
        MySqlChildProcess child;
        Launch(child, r.command);
        const pid_t group = child.m_childPid;
        if (r.saysReady) {
            ASSERT_TRUE(ReadUntil(child, "ready\n"));
        }
        child.m_lastErr = 12345;

        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(child.Stop(r.graceMs), -1);
        const auto elapsed = std::chrono::steady_clock::now() - start;

        EXPECT_EQ(Signal(child), r.signal);
        EXPECT_EQ(child.m_lastErr.load(), 0);
        const std::string died = "Child died after receiving signal " + std::to_string(r.signal);
        EXPECT_EQ(LastMessage(m_env, kStopTag), died);
        if (r.signal == SIGKILL) {
            EXPECT_GE(elapsed, std::chrono::milliseconds(r.graceMs)) << "killed before the grace was over";
        } else {
            EXPECT_LT(elapsed, std::chrono::seconds(30)) << "a tool that ended on SIGTERM still got the whole grace";
        }
        EXPECT_TRUE(AwaitGroupGone(group)) << "a process of the tool's group outlived Stop";
        EXPECT_EQ(ReadAll(child), "") << "the output pipe did not end";

        // Reaped: nothing is signalled any more, and waits repeat the outcome.
        EXPECT_EQ(child.Stop(0), -1);
        EXPECT_EQ(child.m_lastErr.load(), ESRCH);
        EXPECT_EQ(LastMessage(m_env, kStopTag),
                  "No child to stop: none was launched, or it has been waited for; errno=" + std::to_string(ESRCH));
        errno = 0;
        EXPECT_EQ(child.Terminate(), -1);
        EXPECT_EQ(errno, ESRCH);
        EXPECT_EQ(child.Wait(0), -1);
        EXPECT_EQ(LastMessage(m_env, kWaitTag), died);
        child.Finalize();
    }
}

TEST_P(JobControl, TerminateKillsTheToolsChildrenWithIt)
{
    MySqlChildProcess child;
    Launch(child, "/bin/sh -c '/bin/sleep 1000 & echo ready; wait'");
    const pid_t group = child.m_childPid;
    ASSERT_TRUE(ReadUntil(child, "ready\n"));
    ASSERT_EQ(LiveMembers(group).size(), 2u) << "the shell and its sleep";

    EXPECT_EQ(child.Terminate(), 0);

    EXPECT_TRUE(AwaitGroupGone(group));
    EXPECT_EQ(ReadAll(child), "");
    child.Finalize();
    EXPECT_EQ(child.Wait(0), -1);
    EXPECT_EQ(Signal(child), SIGKILL);
}

TEST_P(JobControl, StopWithNothingToStopIsRefused)
{
    MySqlChildProcess never;
    EXPECT_EQ(never.Stop(0), -1);
    EXPECT_EQ(never.m_lastErr.load(), ESRCH);
    ASSERT_EQ(never.Initialize(ProbeCommand("exit 0"), "", ""), 0);
    EXPECT_EQ(never.Stop(0), -1);
    EXPECT_EQ(never.m_lastErr.load(), ESRCH);
    EXPECT_EQ(never.WaitFor(0), -1);
    EXPECT_TRUE(m_env.LogHas(frozen::kNoHxProcess));
    EXPECT_EQ(never.GetPidFd(), -1);
}

// ---------------------------------------------------------------------------
// The descriptor an event loop polls

TEST_P(JobControl, PidFdBecomesReadableAtTheEndAndTheWaitThenReturnsAtOnce)
{
    FdLeakCheck leaks;
    MySqlChildProcess child;
    Launch(child, ProbeCommand("cat"));
    const int fd = child.GetPidFd();
    if (fd == -1)
        GTEST_SKIP() << "the kernel offers no pidfd";

    EXPECT_FALSE(Readable(fd)) << "readable while the child runs";
    EXPECT_EQ(child.WaitFor(0), -1);
    EXPECT_FALSE(Readable(fd)) << "readable after a wait that timed out";

    child.Finalize();
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 60000), 1);
    // A limit of 0 proves the wait had nothing left to wait for.
    EXPECT_EQ(child.WaitFor(0), 0);
    EXPECT_EQ(child.Wait(0), 0);
    EXPECT_EQ(child.GetPidFd(), fd) << "the object keeps owning it";
    EXPECT_TRUE(IsOpen(fd));
}

// ---------------------------------------------------------------------------
// Cancellation

struct Blocked {
    MySqlChildProcess* child;
    std::function<int(MySqlChildProcess&)> op;
    std::atomic<bool> entering{false};
    int result = 0;
};

void* RunBlocked(void* arg)
{
    Blocked* b = static_cast<Blocked*>(arg);
    b->entering = true;
    b->result = b->op(*b->child);
    return nullptr;
}

TEST_P(JobControl, HostThreadCancelledWhileWaitingLeavesTheChildToALaterWait)
{
    struct Row {
        const char* what;
        std::function<int(MySqlChildProcess&)> op;
    };
    const Row rows[] = {
        {"Wait", [](MySqlChildProcess& c) { return c.Wait(0); }},
        {"WaitFor", [](MySqlChildProcess& c) { return c.WaitFor(-1); }},
        {"Stop", [](MySqlChildProcess& c) { return c.Stop(-1); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        HangGuard guard(60, std::string("a child whose ") + r.what + " was cancelled");
        MySqlChildProcess child;
        // Ignores SIGTERM, so that Stop too waits until it is cancelled.
        Launch(child, "/bin/sh " + m_ignoreTerm);
        ASSERT_TRUE(ReadUntil(child, "ready\n"));

        Blocked blocked{&child, r.op};
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, nullptr, &RunBlocked, &blocked), 0);
        // A cancellation that comes before the operation blocks is acted on
        // once it does.
        while (!blocked.entering)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(pthread_cancel(thread), 0);
        void* exit = nullptr;
        ASSERT_EQ(pthread_join(thread, &exit), 0);
        EXPECT_EQ(exit, PTHREAD_CANCELED) << "the operation returned " << blocked.result;

        // The claim went with the thread: a wait is possible, not EBUSY.
        EXPECT_EQ(child.WaitFor(0), -1);
        EXPECT_EQ(child.m_lastErr.load(), ETIMEDOUT);
        child.Finalize();
        EXPECT_EQ(child.Wait(0), 0);
    }
}

// ---------------------------------------------------------------------------
// A kernel without pidfds

TEST_P(JobControl, WithoutPidFdsTheSameContractsHold)
{
    const std::string ignoreTerm = "/bin/sh " + m_ignoreTerm;
    const std::string user = GetParam().asNobody ? "nobody" : "";
    const int rc = RunInSubprocess(
        [&] {
            SUB_CHECK(DenySyscalls({SYS_pidfd_open}, ENOSYS), 90);
            {
                MySqlChildProcess child;
                SUB_CHECK(child.Initialize(ProbeCommand("cat"), user, "") == 0, 10);
                SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == 0, 11);
                SUB_CHECK(child.GetPidFd() == -1, 12);
                SUB_CHECK(child.WaitFor(30) == -1 && child.m_lastErr == ETIMEDOUT, 13);
                SUB_CHECK(Unreaped(child.m_childPid), 14);
                child.Finalize();
                SUB_CHECK(child.WaitFor(60000) == 0, 15);
            }
            {
                MySqlChildProcess child;
                SUB_CHECK(child.Initialize("/bin/sh -c '/bin/sleep 1000 & echo ready; wait'", user, "") == 0, 20);
                SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == 0, 21);
                const pid_t group = child.m_childPid;
                SUB_CHECK(ReadUntil(child, "ready\n"), 22);
                SUB_CHECK(child.Stop(60000) == -1 && Signal(child) == SIGTERM, 23);
                SUB_CHECK(AwaitGroupGone(group), 24);
                SUB_CHECK(ReadAll(child).empty(), 25);
            }
            {
                MySqlChildProcess child;
                SUB_CHECK(child.Initialize(ignoreTerm, user, "") == 0, 30);
                SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == 0, 31);
                SUB_CHECK(ReadUntil(child, "ready\n"), 32);
                SUB_CHECK(child.Stop(100) == -1 && Signal(child) == SIGKILL, 33);
                SUB_CHECK(child.Stop(0) == -1 && child.m_lastErr == ESRCH, 34);
            }
            return 0;
        },
        120);
    if (rc == 90)
        GTEST_SKIP() << "the kernel refused the seccomp filter";
    EXPECT_EQ(rc, 0) << "1x WaitFor, 2x a grandchild, 3x a tool that ignores SIGTERM";
}

INSTANTIATE_TEST_SUITE_P(Paths, JobControl,
                         ::testing::Values(Mode{"Clone", nullptr, false}, Mode{"Fork", "fork", false},
                                           Mode{"CloneAsNobody", nullptr, true}, Mode{"ForkAsNobody", "fork", true}),
                         [](const ::testing::TestParamInfo<Mode>& info) { return std::string(info.param.name); });

}  // namespace
