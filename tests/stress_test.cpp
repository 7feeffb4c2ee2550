// Forking from a busy many-threaded host: a child holds only the forking
// thread, so a lock another thread held at the fork (the user database's, the
// allocator's, the logger's) would stay held in the child for ever. Many
// launches while helper threads keep taking those locks must all reach their
// exec; a child that does not end is reported by pid.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "support/TestSupport.h"

namespace {

using LibMySqlProcess::MySqlChildProcess;
using namespace testsupport;

bool UnderSanitizer()
{
    const char* s = getenv("MYSQLPROCESS_SANITIZER");
    return s != nullptr && *s != '\0';
}

// Threads that keep the C library's user-database and allocator locks and the
// debug log busy until the object goes.
class BusyThreads {
public:
    BusyThreads(int count, bool useAllocator) : m_useAllocator(useAllocator)
    {
        for (int t = 0; t < count; ++t)
            m_threads.emplace_back([this, t] { Run(t); });
    }
    ~BusyThreads() { Stop(); }

    void Stop()
    {
        m_stop = true;
        for (auto& th : m_threads)
            if (th.joinable())
                th.join();
    }
    unsigned long Rounds() const { return m_rounds.load(); }

private:
    void Run(int t)
    {
        EvEvent event;
        const char* names[] = {"root", "nobody", "no_such_user_mysqlprocess"};
        unsigned long n = 0;
        while (!m_stop.load(std::memory_order_relaxed)) {
            if (m_useAllocator) {
                {
                    // getpwnam fills one static buffer for every caller under
                    // its own lock, so the calls are serialized anyway; our
                    // mutex only lets TSan see that the buffer's writes are
                    // ordered. A helper may still be inside getpwnam at any fork.
                    std::lock_guard<std::mutex> hold(m_pwLock);
                    volatile bool found = getpwnam(names[(n + static_cast<unsigned>(t)) % 3]) != nullptr;
                    (void)found;
                }
                const size_t size = 16 + (n * 7919) % 65536;
                char* p = static_cast<char*>(malloc(size));
                if (p != nullptr) {
                    p[0] = static_cast<char>(n);
                    p[size - 1] = static_cast<char>(t);
                }
                free(p);
                if (n % 16 == 0)
                    event.Debug("StressTest::Busy", "thread %d round %lu", t, n);
            } else {
                event.Debug("StressTest::Busy", "thread %d round %lu", t, n);
                // Only the log is left, which alone would flood the disk.
                timespec pause{0, 1000000};
                nanosleep(&pause, nullptr);
            }
            ++n;
        }
        m_rounds += n;
    }

    const bool m_useAllocator;
    std::mutex m_pwLock;
    std::atomic<bool> m_stop{false};
    std::atomic<unsigned long> m_rounds{0};
    std::vector<std::thread> m_threads;
};

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

TEST(Stress, LaunchesFromABusyManyThreadedHostAllReachTheirExec)
{
    HostEnv env;
    HxDebugWrite("test", 1, "test starts");
    FdLeakCheck leaks;
    const bool root = IsRoot();
    const int launches = UnderSanitizer() ? 200 : 1000;
    const int deadlineSeconds = UnderSanitizer() ? 20 : 5;
    const std::string user = root ? "nobody" : "";
    if (!root)
        std::cout << "[ NOTE     ] not root: launching without a user switch\n";

    // The allocator matters even where it resets its locks at fork (glibc's
    // does, ASan's does not): the child must not depend on it at all.
    BusyThreads busy(8, true);
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
    EXPECT_GT(busy.Rounds(), 0u) << "the helper threads never ran";
    std::cout << "[ NOTE     ] helper rounds: " << busy.Rounds() << ", debug log: " << ReadFile(env.logPath()).size()
              << " bytes\n";
}

}  // namespace
