// How the library learns that its child has ended: Wait in the caller's
// thread and BeginWait on a wait thread, with real children that exit, crash
// or are killed, and with host waits and thread starts that really fail.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process/LogTexts.h"
#include "child_process/MySqlChildProcess.h"
#include "support/TestSupport.h"

using LibMySqlProcess::MySqlChildProcess;
using testsupport::HostEnv;
using testsupport::ProbeCommand;
using testsupport::AwaitWaitThread;

namespace {

namespace frozen = LibMySqlProcess::frozen;

const char kWaitTag[] = "MySqlChildProcess::Wait";
const char kBeginWaitTag[] = "MySqlChildProcess::BeginWait";
const char kWaitThreadTag[] = "MySqlChildProcess::WaitThread";

std::string Format(const char* format, int a, int b, int c)
{
    char text[128];
    snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// The number at the end of a message such as frozen::kThreadWaitFailed.
bool NumberAfter(const std::string& message, const std::string& prefix, int& value)
{
    if (message.compare(0, prefix.size(), prefix) != 0)
        return false;
    char* end = nullptr;
    const long v = strtol(message.c_str() + prefix.size(), &end, 10);
    if (end == message.c_str() + prefix.size() || *end != '\0')
        return false;
    value = static_cast<int>(v);
    return true;
}

class WaitTest : public ::testing::Test {
protected:
    // Initializes and launches command; the parent's pipe ends are closed so
    // that a child reading its input sees the end of it.
    void Launch(MySqlChildProcess& child, const std::string& command)
    {
        ASSERT_EQ(child.Initialize(command, "", ""), 0);
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0) << "lastErr=" << child.m_lastErr.load();
        ASSERT_GT(child.m_childPid, 0);
        ASSERT_FALSE(child.m_exitStatusKnown.load());
        child.Finalize();
    }

    HostEnv m_env;
};

// ---------------------------------------------------------------------------
// Wait on the caller's thread

struct ExitCase {
    int code;
    const char* message;  // the line after "Exit status ..."; null for frozen::kChildOk
    int lastErr;
};

TEST_F(WaitTest, ExitCodesAreDecodedIntoMessagesAndLastErr)
{
    const ExitCase cases[] = {
        {0, nullptr, 0},
        {1, "Child exited with error: 1", 1},
        {2, "Child exited with error: 2", 2},
        {77, frozen::kDupFailed, -1},
        {79, frozen::kExecFailed, -1},
        {81, "Child exited with error: 81", 81},
        {83, frozen::kEnvFailed, -1},
        {255, "Child exited with error: 255", 255},
    };
    for (const ExitCase& c : cases) {
        SCOPED_TRACE("exit " + std::to_string(c.code));
        m_env.ClearLog();
        MySqlChildProcess child;
        Launch(child, ProbeCommand("exit " + std::to_string(c.code)));
        // A stale value must not survive: Wait starts from 0.
        child.m_lastErr = 12345;

        const int rc = child.Wait(0);

        std::vector<std::string> expected = {frozen::kWaiting};
        if (c.code == 0) {
            expected.push_back(frozen::kChildOk);
            EXPECT_EQ(rc, 0);
        } else {
            const int status = c.code << 8;
            expected.push_back(Format(frozen::kExitStatus, status, c.code, c.code));
            expected.push_back(c.message);
            EXPECT_EQ(rc, -1);
        }
        EXPECT_EQ(m_env.Messages(kWaitTag), expected);
        EXPECT_EQ(child.m_lastErr.load(), c.lastErr);
        ASSERT_TRUE(child.m_exitStatusKnown.load());
        EXPECT_TRUE(WIFEXITED(child.m_exitStatus.load()));
        EXPECT_EQ(WEXITSTATUS(child.m_exitStatus.load()), c.code);
    }
}

TEST_F(WaitTest, ProgramThatDoesNotExistIsReportedAsExecFailed)
{
    MySqlChildProcess child;
    Launch(child, m_env.dir() + "/no-such-tool --version");

    EXPECT_EQ(child.Wait(0), -1);

    const std::vector<std::string> expected = {frozen::kWaiting, "Exit status 0x4F00 (return 79 0x4F)", frozen::kExecFailed};
    EXPECT_EQ(m_env.Messages(kWaitTag), expected);
    EXPECT_EQ(child.m_lastErr.load(), -1);
}

TEST_F(WaitTest, ErrorFileThatCannotBeOpenedIsReportedAsDupFailed)
{
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("exit 0"), "", ""), 0);
    // The child creates its error file in the folder Initialize made; without
    // the folder it cannot, and must give up before running the tool.
    ASSERT_EQ(rmdir(m_env.jobFolder().c_str()), 0) << strerror(errno);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    child.Finalize();

    EXPECT_EQ(child.Wait(0), -1);

    const std::vector<std::string> expected = {frozen::kWaiting, "Exit status 0x4D00 (return 77 0x4D)", frozen::kDupFailed};
    EXPECT_EQ(m_env.Messages(kWaitTag), expected);
    EXPECT_EQ(child.m_lastErr.load(), -1);
}

TEST_F(WaitTest, ChildKilledByTerminateDiedOfSignal9)
{
    MySqlChildProcess child;
    Launch(child, ProbeCommand("sleep 60"));

    ASSERT_EQ(child.Terminate(), 0) << strerror(errno);
    child.m_lastErr = 12345;
    EXPECT_EQ(child.Wait(0), -1);

    const std::vector<std::string> expected = {frozen::kWaiting, "Child died after receiving signal 9"};
    EXPECT_EQ(m_env.Messages(kWaitTag), expected);
    EXPECT_EQ(child.m_lastErr.load(), 0);
    ASSERT_TRUE(child.m_exitStatusKnown.load());
    EXPECT_TRUE(WIFSIGNALED(child.m_exitStatus.load()));
    EXPECT_EQ(WTERMSIG(child.m_exitStatus.load()), SIGKILL);
}

TEST_F(WaitTest, SegmentationFaultWithCoreFileSaysSo)
{
    testsupport::TempDir coreDir;
    MySqlChildProcess child;
    Launch(child, ProbeCommand("segv " + coreDir.path()));

    EXPECT_EQ(child.Wait(0), -1);
    EXPECT_EQ(child.m_lastErr.load(), 0);
    ASSERT_TRUE(child.m_exitStatusKnown.load());
    const int status = child.m_exitStatus.load();
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(WTERMSIG(status), SIGSEGV);

    if (!WCOREDUMP(status)) {
        // Without a dump the line must not claim one.
        const std::vector<std::string> expected = {frozen::kWaiting, "Child died after receiving signal 11"};
        EXPECT_EQ(m_env.Messages(kWaitTag), expected);
        const std::string pattern = testsupport::ReadFile("/proc/sys/kernel/core_pattern");
        GTEST_SKIP() << "the system wrote no core file for the crashed child (core_pattern: "
                     << pattern.substr(0, pattern.find('\n')) << "; the hard RLIMIT_CORE or a container may forbid "
                     << "dumps), so the core-file form of the message cannot be seen here";
    }
    const std::vector<std::string> expected = {frozen::kWaiting, "Child died after receiving signal 11 (core file generated)"};
    EXPECT_EQ(m_env.Messages(kWaitTag), expected);
}

TEST_F(WaitTest, WaitBeforeAnyLaunchFailsAtOnce)
{
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("exit 0"), "", ""), 0);
    child.m_lastErr = 12345;

    EXPECT_EQ(child.Wait(0), -1);

    const std::vector<std::string> expected = {frozen::kNoHxProcess};
    EXPECT_EQ(m_env.Messages(kWaitTag), expected);
    EXPECT_EQ(child.m_lastErr.load(), ECHILD) << "a failed call says why";
    EXPECT_FALSE(child.m_exitStatusKnown.load());
}

TEST_F(WaitTest, HostWaitThatFailsIsLoggedWithItsTextCut)
{
    MySqlChildProcess child;
    Launch(child, ProbeCommand("exit 3"));
    // Reaping the child here leaves the host's waitpid nothing to wait for.
    int status = 0;
    ASSERT_EQ(waitpid(child.m_childPid, &status, 0), child.m_childPid) << strerror(errno);
    ASSERT_TRUE(WIFEXITED(status));
    m_env.ClearLog();
    child.m_lastErr = 12345;

    EXPECT_EQ(child.Wait(0), -1);

    const std::vector<std::string> messages = m_env.Messages(kWaitTag);
    ASSERT_EQ(messages.size(), 2u) << testing::PrintToString(messages);
    EXPECT_EQ(messages[0], frozen::kWaiting);
    const std::string prefix = "WaitForProcessToEnd failed,errorMsg=";
    ASSERT_EQ(messages[1].compare(0, prefix.size(), prefix), 0) << messages[1];
    const std::string text = messages[1].substr(prefix.size());
    EXPECT_FALSE(text.empty());
    EXPECT_LE(text.size(), 49u) << text;
    EXPECT_EQ(child.m_lastErr.load(), ECHILD) << "a failed call says why";
    EXPECT_FALSE(child.m_exitStatusKnown.load());

    // The pid has been reaped and may be reused: it must not be signalled.
    errno = 0;
    EXPECT_EQ(child.Terminate(), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(WaitTest, ArgumentNeverLimitsTheWait)
{
    // A child that outlives a 1 ms (or a 12.3 s) limit by far is still
    // waited for to its end and decoded; the argument plays no part.
    for (unsigned argument : {1u, 12345u}) {
        SCOPED_TRACE("Wait(" + std::to_string(argument) + ")");
        m_env.ClearLog();
        MySqlChildProcess child;
        Launch(child, ProbeCommand("sleep 1"));

        EXPECT_EQ(child.Wait(argument), 0);

        const std::vector<std::string> expected = {frozen::kWaiting, frozen::kChildOk};
        EXPECT_EQ(m_env.Messages(kWaitTag), expected);
        EXPECT_EQ(child.m_lastErr.load(), 0);
        // Really reaped: nothing is left to wait for.
        int status = 0;
        errno = 0;
        EXPECT_EQ(waitpid(child.m_childPid, &status, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
}

TEST_F(WaitTest, TerminateAfterWaitSignalsNothing)
{
    // Once reaped, the pid may name another process; the library must not
    // even try. Signals are refused with EPERM here, so an attempt would show
    // as EPERM instead of the ESRCH the library gives by itself.
    const int rc = testsupport::RunInSubprocess([&]() -> int {
        MySqlChildProcess child;
        if (child.Initialize(ProbeCommand("exit 0"), "", "") != 0 || child.HX_CreateProcess(false, false, false, false) != 0)
            return 10;
        child.Finalize();
        if (child.Wait(0) != 0)
            return 11;
        if (!testsupport::DenySyscalls({SYS_kill, SYS_tgkill, SYS_tkill, SYS_pidfd_send_signal}, EPERM))
            return 12;
        errno = 0;
        if (child.Terminate() != -1)
            return 13;
        return errno == ESRCH ? 0 : errno == EPERM ? 14 : 15;
    });
    ASSERT_NE(rc, 12) << "the kernel refused the seccomp filter";
    EXPECT_EQ(rc, 0) << "10-11 launch and wait, 13 Terminate succeeded, 14 a signal was attempted, 15 errno not ESRCH";
}

// ---------------------------------------------------------------------------
// BeginWait and the wait thread

using BeginWaitTest = WaitTest;

TEST_F(BeginWaitTest, ChildThatExitsWithZeroCompletes)
{
    MySqlChildProcess child;
    Launch(child, ProbeCommand("exit 0"));
    child.m_lastErr = 12345;

    ASSERT_EQ(child.BeginWait(), 0);
    ASSERT_TRUE(AwaitWaitThread(child)) << "the wait thread set no flag";

    EXPECT_TRUE(child.m_waitComplete.load());
    EXPECT_FALSE(child.m_waitFailed.load());
    EXPECT_EQ(child.m_lastErr.load(), 0);
    ASSERT_TRUE(child.m_exitStatusKnown.load());
    EXPECT_EQ(child.m_exitStatus.load(), 0);

    EXPECT_TRUE(m_env.Messages(kBeginWaitTag).empty());
    const std::vector<std::string> thread = {"start: thread Id=" + std::to_string(getpid()), frozen::kThreadComplete};
    EXPECT_EQ(m_env.Messages(kWaitThreadTag), thread);
    const std::vector<std::string> wait = {frozen::kWaiting, frozen::kChildOk};
    EXPECT_EQ(m_env.Messages(kWaitTag), wait);
}

// A host waits for the wait thread on a descriptor, not by polling flags:
// readable once a flag is up, and unreadable again for each new thread.
TEST_F(BeginWaitTest, TheThreadsEndCanBeWaitedOnADescriptor)
{
    MySqlChildProcess child;
    EXPECT_EQ(child.GetWaitDoneFd(), -1) << "no thread yet";
    Launch(child, ProbeCommand("sleep 1"));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(child.BeginWait(), 0);
        pollfd p{child.GetWaitDoneFd(), POLLIN, 0};
        ASSERT_GE(p.fd, 0);
        if (round == 0) {
            EXPECT_EQ(poll(&p, 1, 0), 0) << "readable before the thread ended";
        }
        ASSERT_EQ(poll(&p, 1, 30000), 1);
        EXPECT_TRUE(child.m_waitComplete || child.m_waitFailed) << "readable before a flag was up";
    }
}

TEST_F(BeginWaitTest, FailedChildKeepsItsExitStatusBesideTheThreadErrno)
{
    struct Case {
        const char* args;
        bool signalled;
        int value;  // exit code or signal
    };
    const Case cases[] = {{"exit 81", false, 81}, {"exit 1", false, 1}, {"exit 79", false, 79},
                          {"sleep 60", true, SIGKILL}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        m_env.ClearLog();
        MySqlChildProcess child;
        Launch(child, ProbeCommand(c.args));
        if (c.signalled) {
            ASSERT_EQ(child.Terminate(), 0);
        }

        ASSERT_EQ(child.BeginWait(), 0);
        ASSERT_TRUE(AwaitWaitThread(child)) << "the wait thread set no flag";

        EXPECT_TRUE(child.m_waitFailed.load());
        EXPECT_FALSE(child.m_waitComplete.load());
        // m_lastErr is the wait thread's errno, which the thread also logs.
        const std::vector<std::string> thread = m_env.Messages(kWaitThreadTag);
        ASSERT_EQ(thread.size(), 2u) << testing::PrintToString(thread);
        EXPECT_EQ(thread[0], "start: thread Id=" + std::to_string(getpid()));
        int logged = 0;
        ASSERT_TRUE(NumberAfter(thread[1], "Wait failed; lastErr=", logged)) << thread[1];
        EXPECT_EQ(child.m_lastErr.load(), logged);

        // How the child ended is still known, and matches the decoded lines.
        ASSERT_TRUE(child.m_exitStatusKnown.load());
        const int status = child.m_exitStatus.load();
        if (c.signalled) {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), c.value);
            EXPECT_TRUE(m_env.LogHas("Child died after receiving signal 9"));
        } else {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), c.value);
            EXPECT_TRUE(m_env.LogHas(Format(frozen::kExitStatus, c.value << 8, c.value, c.value)));
        }
    }
}

TEST_F(BeginWaitTest, NeverLaunchedObjectStartsAThreadThatFails)
{
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("exit 0"), "", ""), 0);

    EXPECT_EQ(child.BeginWait(), 0);
    ASSERT_TRUE(AwaitWaitThread(child)) << "the wait thread set no flag";

    EXPECT_TRUE(child.m_waitFailed.load());
    EXPECT_FALSE(child.m_waitComplete.load());
    EXPECT_FALSE(child.m_exitStatusKnown.load());
    const std::vector<std::string> wait = {frozen::kNoHxProcess};
    EXPECT_EQ(m_env.Messages(kWaitTag), wait);
    const std::vector<std::string> thread = m_env.Messages(kWaitThreadTag);
    ASSERT_EQ(thread.size(), 2u) << testing::PrintToString(thread);
    int logged = 0;
    ASSERT_TRUE(NumberAfter(thread[1], "Wait failed; lastErr=", logged)) << thread[1];
    EXPECT_EQ(child.m_lastErr.load(), logged);
}

TEST_F(BeginWaitTest, SecondBeginWaitKeepsTheFirstFlag)
{
    MySqlChildProcess child;
    Launch(child, ProbeCommand("exit 0"));
    ASSERT_EQ(child.BeginWait(), 0);
    ASSERT_TRUE(AwaitWaitThread(child));
    ASSERT_TRUE(child.m_waitComplete.load());
    ASSERT_FALSE(child.m_waitFailed.load());
    m_env.ClearLog();

    // The child has been reaped: the second thread repeats the outcome from
    // the status kept, without waiting for a pid that may be reused.
    ASSERT_EQ(child.BeginWait(), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (m_env.Messages(kWaitThreadTag).size() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    EXPECT_TRUE(child.m_waitComplete.load()) << "the first thread's flag was cleared";
    EXPECT_FALSE(child.m_waitFailed.load());
    const std::vector<std::string> thread = {"start: thread Id=" + std::to_string(getpid()), frozen::kThreadComplete};
    EXPECT_EQ(m_env.Messages(kWaitThreadTag), thread);
    EXPECT_EQ(m_env.Messages("MySqlChildProcess::Wait"),
              (std::vector<std::string>{frozen::kWaiting, frozen::kChildOk}));
    EXPECT_TRUE(child.m_exitStatusKnown.load());
    EXPECT_EQ(child.m_exitStatus.load(), 0);
}

TEST_F(BeginWaitTest, ThreadThatCannotBeCreatedSetsNoFlag)
{
    // glibc's pthread_create uses clone3 and falls back to clone only on
    // ENOSYS; both are refused so that no thread can start at all. The
    // filter stays in the forked test process, never in this one.
    const int rc = testsupport::RunInSubprocess([&]() -> int {
        MySqlChildProcess child;
        if (child.Initialize(ProbeCommand("exit 0"), "", "") != 0)
            return 10;
        if (child.HX_CreateProcess(false, false, false, false) != 0)
            return 11;
        child.Finalize();
        if (!testsupport::DenySyscalls({SYS_clone3, SYS_clone}, EAGAIN))
            return 12;
        child.m_lastErr = 12345;
        if (child.BeginWait() != -1)
            return 13;
        if (child.m_lastErr.load() != EAGAIN)
            return 14;
        // A thread started after all would set a flag soon; give it the chance.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (child.m_waitComplete.load() || child.m_waitFailed.load())
            return 15;
        // The child is still there to be waited for in this thread.
        if (child.Wait(0) != 0)
            return 16;
        return 0;
    });
    ASSERT_NE(rc, 12) << "the kernel refused the seccomp filter";
    ASSERT_EQ(rc, 0) << "10-11 launch, 13 BeginWait result, 14 m_lastErr not EAGAIN, 15 a flag set, 16 Wait";

    const std::vector<std::string> begin = {frozen::kCreateThreadFailed};
    EXPECT_EQ(m_env.Messages(kBeginWaitTag), begin);
    EXPECT_TRUE(m_env.Messages(kWaitThreadTag).empty());
}

}  // namespace
