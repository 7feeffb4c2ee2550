// Forking from a busy many-threaded host: a child holds only the forking
// thread, so a lock another thread held at the fork (the user database's, the
// allocator's, the logger's) would stay held in the child for ever. Many
// launches while helper threads keep taking those locks must all reach their
// exec; a child that does not end is reported by pid. Signals keep arriving
// meanwhile, and no handler of the host's may run in a child.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "support/TestSupport.h"

namespace {

using LibMySqlProcess::MySqlChildProcess;
using namespace testsupport;

// Polls without reaping, so that Wait still decodes the child's end.
bool EndsWithin(int pid, int seconds)
{
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= seconds)
            return false;
        timespec pause{0, 200000};
        nanosleep(&pause, nullptr);
    }
}

// A handler of the host's must never run in a child: in one that shares the
// host's memory it would run on the host's data with the host's thread
// suspended mid-call. The handlers write to a pipe when they find themselves
// in another process.
pid_t g_hostPid = 0;
int g_strayHandler[2] = {-1, -1};

void HostHandler(int)
{
    if (getpid() != g_hostPid) {
        const char c = '!';
        (void)!write(g_strayHandler[1], &c, 1);
    }
}

// Installs the handlers and sends signals in a loop: SIGUSR1 to the host,
// SIGCHLD to the whole process group, which includes every child between its
// fork and its exec (a tool ignores SIGCHLD by default).
class SignalStorm {
public:
    SignalStorm()
    {
        setpgid(0, 0);  // the group is then this test and its children alone
        g_hostPid = getpid();
        EXPECT_EQ(pipe2(g_strayHandler, O_NONBLOCK | O_CLOEXEC), 0);
        struct sigaction action {};
        action.sa_handler = &HostHandler;
        action.sa_flags = SA_RESTART;
        sigaction(SIGUSR1, &action, &m_oldUsr1);
        sigaction(SIGCHLD, &action, &m_oldChld);
        m_thread = std::thread([this] {
            while (!m_stop.load()) {
                kill(0, SIGCHLD);
                kill(g_hostPid, SIGUSR1);
                ++m_sent;
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        });
    }

    ~SignalStorm()
    {
        m_stop = true;
        m_thread.join();
        sigaction(SIGUSR1, &m_oldUsr1, nullptr);
        sigaction(SIGCHLD, &m_oldChld, nullptr);
        char c;
        EXPECT_EQ(read(g_strayHandler[0], &c, 1), -1) << "a host's signal handler ran in a child";
        close(g_strayHandler[0]);
        close(g_strayHandler[1]);
        std::cout << "[ NOTE     ] signal rounds during the launches: " << m_sent << "\n";
    }

private:
    std::atomic<bool> m_stop{false};
    long m_sent = 0;
    std::thread m_thread;
    struct sigaction m_oldUsr1 {};
    struct sigaction m_oldChld {};
};

TEST(Stress, LaunchesFromABusyManyThreadedHostAllReachTheirExec)
{
    HostEnv env;
    HxDebugWrite("test", 1, "test starts");
    FdLeakCheck leaks;
    const bool root = IsRoot();
    const int launches = !Sanitizer().empty() || testsupport::ForkPath() ? 200 : 1000;
    const int deadlineSeconds = !Sanitizer().empty() ? 20 : 5;
    const std::string user = root ? "nobody" : "";
    if (!root)
        std::cout << "[ NOTE     ] not root: launching without a user switch\n";

    // The allocator matters even where it resets its locks at fork (glibc's
    // does, ASan's does not): the child must not depend on it at all.
    BusyThreads busy(8, "StressTest::Busy");
    SignalStorm storm;
    for (int i = 0; i < launches; ++i) {
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize("/bin/true", user, ""), 0);
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0) << "launch " << i;
        child.Finalize();
        const int pid = child.m_childPid;
        if (!EndsWithin(pid, deadlineSeconds)) {
            kill(pid, SIGKILL);
            child.Wait(0);
            FAIL() << "child pid " << pid << " (launch " << i + 1 << " of " << launches << ") had not ended after "
                   << deadlineSeconds << " s: stuck between fork and exec, most likely on a lock a helper thread "
                   << "held at the fork";
        }
        ASSERT_EQ(child.Wait(0), 0) << "child pid " << pid << " (launch " << i + 1 << ") ended with status 0x"
                                    << std::hex << child.m_exitStatus.load();
    }
    busy.Stop();
    EXPECT_GT(busy.Rounds(), 0) << "the helper threads never ran";
    std::cout << "[ NOTE     ] helper rounds: " << busy.Rounds() << ", debug log: " << ReadFile(env.logPath()).size()
              << " bytes\n";
}

// The host forks on its own too, and a child it keeps without an exec holds a
// copy of every descriptor the agent had at that moment, those of a launch
// in flight included. Here such children live until the test ends: a launch
// that waited for one of them to let go would never return, and the hang
// guard would say so.
TEST(Stress, HostChildrenThatNeverExecHoldNoLaunch)
{
    HostEnv env;
    HxDebugWrite("test", 1, "test starts");
    const std::string user = IsRoot() ? "nobody" : "";
    int release[2];
    ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
    struct Forker {
        std::atomic<bool> stop{false};
        std::vector<pid_t> held;
        std::thread thread;
        int release[2];
        ~Forker()
        {
            stop = true;
            if (thread.joinable())
                thread.join();
            close(release[1]);
            for (pid_t pid : held)
                waitpid(pid, nullptr, 0);
            close(release[0]);
        }
    } forker;
    forker.release[0] = release[0];
    forker.release[1] = release[1];
    forker.thread = std::thread([&forker] {
        while (!forker.stop && forker.held.size() < 400) {
            const pid_t pid = fork();
            if (pid == 0) {
                char c;
                close(forker.release[1]);
                while (read(forker.release[0], &c, 1) < 0 && errno == EINTR) {
                }
                _exit(0);
            }
            if (pid > 0)
                forker.held.push_back(pid);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    HangGuard guard(120, "a launch was held by a child the host forked without an exec");
    for (int i = 0; i < 40; ++i) {
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize("/bin/true", user, ""), 0);
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0) << "launch " << i;
        child.Finalize();
        ASSERT_EQ(child.Wait(0), 0) << "launch " << i;
    }
    forker.stop = true;
    forker.thread.join();
    EXPECT_GT(forker.held.size(), 10u) << "the host's forks did not run beside the launches";
}

}  // namespace
