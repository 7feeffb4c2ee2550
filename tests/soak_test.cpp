// Nothing is left behind. Ten thousand launches from four caller threads of a
// host whose other threads keep allocating, reading the user database and
// logging: every child ends (a hang is reported with its pid), no zombie
// remains, and the process holds no more descriptors or memory afterwards.
// Then the object destroyed on every failure path of the launch and after
// every outcome of the wait, with the descriptors counted around each case.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
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
using testsupport::AwaitChildEnd;
using testsupport::AwaitWaitThread;
using testsupport::BusyThreads;
using testsupport::CountOpenFds;
using testsupport::FdLeakCheck;
using testsupport::FewDescriptors;
using testsupport::HostEnv;
using testsupport::ProbeCommand;
using testsupport::ProbePath;
using testsupport::RunInSubprocess;
using testsupport::Unreaped;
using testsupport::Sanitizer;
using Clock = std::chrono::steady_clock;

// The full count in a plain build; sanitizers and valgrind slow every fork
// and exec many times over, so they run a tenth (ThreadSanitizer, which
// always forks, a twenty-fifth; valgrind a fiftieth). The host's fork() path
// copies the process at every launch: it runs a fifth.
int SoakLaunches()
{
    const std::string s = Sanitizer();
    if (s.empty())
        return testsupport::ForkPath() ? 2000 : 10000;
    return s == "valgrind" ? 200 : s == "tsan" ? 400 : 1000;
}

long ResidentKb()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return atol(line.c_str() + 6);
    return -1;
}

// Children of this process as "pid state" pairs, read from /proc.
std::vector<std::pair<int, char>> OwnChildren()
{
    std::vector<std::pair<int, char>> out;
    const int self = getpid();
    DIR* dir = opendir("/proc");
    if (dir == nullptr)
        return out;
    while (dirent* e = readdir(dir)) {
        const int pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        // Plain read(2): a process that ends meanwhile makes the read fail
        // with ESRCH, which a stream would turn into an exception.
        const int fd = open((std::string("/proc/") + e->d_name + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        char buf[1024];
        const ssize_t n = read(fd, buf, sizeof buf - 1);
        close(fd);
        if (n <= 0)
            continue;
        const std::string text(buf, static_cast<size_t>(n));
        // pid (comm) state ppid ...: comm may hold spaces, so parse after ')'.
        const size_t close = text.rfind(')');
        if (close == std::string::npos || close + 2 >= text.size())
            continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(text.c_str() + close + 2, "%c %d", &state, &ppid) == 2 && ppid == self)
            out.emplace_back(pid, state);
    }
    closedir(dir);
    return out;
}

std::string Describe(const std::vector<std::pair<int, char>>& children)
{
    std::string out;
    for (const auto& c : children)
        out += " pid " + std::to_string(c.first) + " (state " + c.second + ")";
    return out;
}

// In-use heap bytes across all arenas; meaningful only with glibc's
// allocator (the sanitizers bring their own).
size_t HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// ---------------------------------------------------------------------------
// The soak

// What one caller thread is doing, for the watchdog.
struct Slot {
    std::atomic<int64_t> startedMs{0};  // 0 when idle
    std::atomic<int> pid{0};            // the child being waited for
    std::atomic<bool> reported{false};
};

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

class Failures {
public:
    void Add(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
        if (m_first.size() < 20)
            m_first.push_back(what);
    }
    int count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }
    std::string Text() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string out;
        for (const auto& f : m_first)
            out += "\n  " + f;
        return out;
    }

private:
    mutable std::mutex m_mutex;
    int m_count = 0;
    std::vector<std::string> m_first;
};

// Runs `perCaller` launch-and-wait rounds of /bin/true on each of `callers`
// threads, each round with its own object, while a watchdog turns a child
// that does not end into a failure naming its pid (and kills it, so that the
// run finishes and reports rather than hanging).
void LaunchRounds(int callers, int perCaller, Failures& failures)
{
    const int64_t deadlineMs = Sanitizer().empty() ? 20000 : 60000;
    std::vector<Slot> slots(static_cast<size_t>(callers));
    std::atomic<bool> done{false};

    std::thread watchdog([&]() {
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const int64_t now = NowMs();
            for (size_t i = 0; i < slots.size(); ++i) {
                Slot& s = slots[i];
                const int64_t started = s.startedMs.load();
                if (started == 0 || now - started < deadlineMs || s.reported.exchange(true))
                    continue;
                const int pid = s.pid.load();
                if (pid > 0) {
                    failures.Add("caller " + std::to_string(i) + ": child pid " + std::to_string(pid) +
                                 " has not ended after " + std::to_string(deadlineMs / 1000) + " s; killed");
                    kill(pid, SIGKILL);
                } else {
                    // Stuck in the parent, before or inside the fork: nothing to
                    // kill, and the join below would hang, so end loudly.
                    fprintf(stderr, "soak: caller %zu stuck in the launch for %lld s\n", i,
                            static_cast<long long>(deadlineMs / 1000));
                    abort();
                }
            }
        }
    });

    std::vector<std::thread> threads;
    for (int c = 0; c < callers; ++c) {
        threads.emplace_back([&, c]() {
            Slot& slot = slots[static_cast<size_t>(c)];
            for (int i = 0; i < perCaller; ++i) {
                slot.reported = false;
                slot.pid = 0;
                slot.startedMs = NowMs();
                MySqlChildProcess child;
                if (child.Initialize("/bin/true", "", "") != 0) {
                    failures.Add("Initialize failed: lastErr=" + std::to_string(child.m_lastErr.load()));
                } else if (child.HX_CreateProcess(false, false, false, false) != 0) {
                    failures.Add("HX_CreateProcess failed: lastErr=" + std::to_string(child.m_lastErr.load()));
                } else {
                    slot.pid = child.m_childPid;
                    child.Finalize();
                    if (child.Wait(0) != 0)
                        failures.Add("child pid " + std::to_string(child.m_childPid) +
                                     ": Wait gave -1, lastErr=" + std::to_string(child.m_lastErr.load()) +
                                     ", status " + std::to_string(child.m_exitStatus.load()));
                }
                slot.startedMs = 0;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    done = true;
    watchdog.join();
}

TEST(Soak, TenThousandLaunchesFromABusyHostLeaveNothingBehind)
{
    HostEnv env(5);
    HxDebugWrite("test", 1, "soak starts");  // the log's descriptor is opened now, not in the middle
    constexpr int kCallers = 4;
    constexpr int kHammers = 4;
    const int total = SoakLaunches();
    ASSERT_TRUE(OwnChildren().empty()) << "children before the soak:" << Describe(OwnChildren());

    // A warm-up round with the same threads, so that thread arenas, stacks
    // and the logger's state exist before anything is counted.
    {
        Failures failures;
        BusyThreads hammers(kHammers, "MySqlChildProcess::SoakHammer");
        LaunchRounds(kCallers, 25, failures);
        hammers.Stop();
        ASSERT_EQ(failures.count(), 0) << failures.Text();
    }
    const int fdsBefore = CountOpenFds();
    const long rssBefore = ResidentKb();
    const size_t heapBefore = HeapInUse();

    Failures failures;
    long hammerRounds = 0;
    {
        BusyThreads hammers(kHammers, "MySqlChildProcess::SoakHammer");
        LaunchRounds(kCallers, total / kCallers, failures);
        hammers.Stop();
        hammerRounds = hammers.Rounds();
    }
    EXPECT_EQ(failures.count(), 0) << failures.count() << " of " << total << " launches failed:" << failures.Text();
    EXPECT_GT(hammerRounds, 0) << "the other threads never ran";

    const auto children = OwnChildren();
    EXPECT_TRUE(children.empty()) << "left behind:" << Describe(children);
    EXPECT_EQ(CountOpenFds(), fdsBefore) << "descriptors grew over " << total << " launches";

    const long rssAfter = ResidentKb();
    if (Sanitizer().empty()) {
        // Resident size moves with the allocator's caching; a leak of even
        // 1 KiB per launch would add about 10 MiB here. (Under a sanitizer or
        // valgrind the resident size is theirs, freed memory sits in ASan's
        // quarantine, and their own leak checks take over.)
        EXPECT_LT(rssAfter - rssBefore, 8 * 1024)
            << "VmRSS grew from " << rssBefore << " kB to " << rssAfter << " kB";
        const size_t heapAfter = HeapInUse();
        // Far below one byte per launch of slack: what every launch allocates
        // must be freed.
        EXPECT_LT(static_cast<long>(heapAfter) - static_cast<long>(heapBefore), 64 * 1024)
            << "heap in use grew from " << heapBefore << " to " << heapAfter << " bytes";
    }
    printf("soak: %d launches, %ld hammer rounds; descriptors %d -> %d; VmRSS %ld -> %ld kB; heap in use %zu -> %zu\n",
           total, hammerRounds, fdsBefore, CountOpenFds(), rssBefore, rssAfter, heapBefore, HeapInUse());
    RecordProperty("launches", total);
    RecordProperty("hammer_rounds", static_cast<int>(hammerRounds));
}

// ---------------------------------------------------------------------------
// The object destroyed on every failure path of the launch

enum class Teardown { DestroyOnly, FinalizeThenDestroy };

struct LaunchFailure {
    const char* what;
    std::string command;
    int spareFds;     // -1: no descriptor limit
    bool denyFork;    // clone and clone3 fail with EAGAIN
    bool launchFirst; // a first launch succeeds; the failing one is the second
    int lastErr;
};

// Runs one failure case in a subprocess: the descriptors counted before the
// object exists must be the same after it is gone.
int RunLaunchFailure(const LaunchFailure& c, Teardown teardown)
{
    return RunInSubprocess([&]() {
        signal(SIGPIPE, SIG_DFL);
        const int before = CountOpenFds();
        int reap = -1;
        {
            MySqlChildProcess child;
            const int init = child.Initialize(c.command, "", "");
            if (c.command.size() >= 3000) {
                SUB_CHECK(init == -1 && child.m_lastErr == E2BIG, 10);
            } else {
                SUB_CHECK(init == 0, 11);
            }
            if (c.launchFirst) {
                SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == 0, 12);
                reap = child.m_childPid;
            }
            FewDescriptors few;
            if (c.spareFds >= 0)
                SUB_CHECK(few.Squeeze(c.spareFds), 13);
            if (c.denyFork && !testsupport::DenySyscalls({SYS_clone, SYS_clone3}, EAGAIN))
                return 99;
            child.m_lastErr = 0;
            const int rc = child.HX_CreateProcess(false, false, false, false);
            few.Restore();
            SUB_CHECK(rc == -1, 14);
            SUB_CHECK(child.m_lastErr == c.lastErr, 15);
            if (teardown == Teardown::FinalizeThenDestroy)
                SUB_CHECK(child.Finalize() == 0, 16);
        }
        // The library reaps the destroyed object's child once it has ended,
        // at the destruction itself or at the next one.
        if (reap > 0) {
            if (AwaitChildEnd(reap) == -1)
                return 17;
            { MySqlChildProcess later; }
            if (Unreaped(reap))
                return 19;
        }
        const int after = CountOpenFds();
        if (after != before) {
            fprintf(stderr, "descriptors: %d before, %d after\n", before, after);
            return 18;
        }
        return 0;
    });
}

TEST(SoakLeaks, EveryFailedLaunchLeavesNoDescriptorWhenTheObjectGoes)
{
    HostEnv env;
    HxDebugWrite("test", 1, "leak table starts");
    std::string fiftyArgs = "/bin/true";
    for (int i = 0; i < 50; ++i)
        fiftyArgs += " a";
    const LaunchFailure cases[] = {
        {"command line too long for Initialize", std::string(3000, 'x'), -1, false, false, EINVAL},
        {"empty command line", "", -1, false, false, EINVAL},
        {"command line of spaces", "     ", -1, false, false, EINVAL},
        {"more than 49 arguments", fiftyArgs, -1, false, false, E2BIG},
        {"first pipe fails", ProbeCommand("exit 0"), 0, false, false, EMFILE},
        {"second pipe fails", ProbeCommand("exit 0"), 2, false, false, EMFILE},
        {"fork fails", ProbeCommand("exit 0"), -1, true, false, EAGAIN},
        {"second launch refused", ProbeCommand("exit 0"), -1, false, true, EALREADY},
    };
    for (const LaunchFailure& c : cases) {
        if (c.spareFds >= 0 && Sanitizer() == "valgrind") {
            std::cout << "[ NOTE     ] " << c.what << ": not tried, valgrind keeps descriptors of its own under the limit\n";
            continue;
        }
        for (Teardown t : {Teardown::DestroyOnly, Teardown::FinalizeThenDestroy}) {
            SCOPED_TRACE(std::string(c.what) +
                         (t == Teardown::DestroyOnly ? ", destroyed at once" : ", finalized, then destroyed"));
            FdLeakCheck leaks;
            const int rc = RunLaunchFailure(c, t);
            if (rc == 99) {
                ADD_FAILURE() << "the kernel refused the seccomp filter; the fork failure was not tried";
                continue;
            }
            EXPECT_EQ(rc, 0) << "subprocess check " << rc << " failed (see its standard error)";
        }
    }
}

// A launch that failed at the second pipe holds the first one; trying again
// on the same object must not overwrite (and so leak) those ends: it is
// refused with EALREADY, like any second launch.
TEST(SoakLeaks, RetryAfterAFailedLaunchLeaksNothing)
{
    if (Sanitizer() == "valgrind")
        GTEST_SKIP() << "valgrind keeps descriptors of its own under RLIMIT_NOFILE, so the pipe cannot be made to fail";
    HostEnv env;
    HxDebugWrite("test", 1, "retry starts");
    FdLeakCheck leaks;
    const int rc = RunInSubprocess([&]() {
        const int before = CountOpenFds();
        {
            MySqlChildProcess child;
            SUB_CHECK(child.Initialize(ProbeCommand("exit 0"), "", "") == 0, 10);
            FewDescriptors few;
            SUB_CHECK(few.Squeeze(2), 11);
            const int first = child.HX_CreateProcess(false, false, false, false);
            few.Restore();
            SUB_CHECK(first == -1 && child.m_lastErr == EMFILE, 12);
            // Refused: the object holds what the failed launch left.
            SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == -1, 13);
            SUB_CHECK(child.m_lastErr == EALREADY, 14);
            SUB_CHECK(child.m_hxProcess == nullptr, 15);
        }
        const int after = CountOpenFds();
        if (after != before) {
            fprintf(stderr, "descriptors: %d before, %d after the retry\n", before, after);
            return 20;
        }
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

// ---------------------------------------------------------------------------
// The object destroyed after every outcome of the wait

enum class Before { Nothing, Terminate, ReapFirst, RemoveJobFolder };

struct WaitOutcome {
    const char* what;
    std::string command;
    Before before;
    bool onThread;  // BeginWait instead of Wait
    int result;     // of Wait, or 0/-1 for the thread's completion/failure
    int lastErr;    // after Wait (not checked on the thread)
};

TEST(SoakLeaks, EveryWaitOutcomeLeavesNoDescriptorOrZombie)
{
    HostEnv env;
    HxDebugWrite("test", 1, "wait table starts");
    const WaitOutcome cases[] = {
        {"exit 0", ProbeCommand("exit 0"), Before::Nothing, false, 0, 0},
        {"exit code 3", ProbeCommand("exit 3"), Before::Nothing, false, -1, 3},
        {"killed by a signal", ProbeCommand("sleep 30"), Before::Terminate, false, -1, 0},
        {"exec failed", "/nonexistent/tool --flag", Before::Nothing, false, -1, -1},
        {"error file not opened", ProbeCommand("exit 0"), Before::RemoveJobFolder, false, -1, -1},
        {"host wait fails", ProbeCommand("exit 0"), Before::ReapFirst, false, -1, ECHILD},
        {"exit 0 on the wait thread", ProbeCommand("exit 0"), Before::Nothing, true, 0, 0},
        {"exit code 3 on the wait thread", ProbeCommand("exit 3"), Before::Nothing, true, -1, 0},
        {"killed, on the wait thread", ProbeCommand("sleep 30"), Before::Terminate, true, -1, 0},
    };
    for (const WaitOutcome& c : cases) {
        for (bool finalize : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (finalize ? ", finalized" : ", not finalized"));
            FdLeakCheck leaks;
            int pid = -1;
            {
                MySqlChildProcess child;
                // A job of its own, whose folder holds no other child's file.
                if (c.before == Before::RemoveJobFolder)
                    testsupport::SetEnv("HX_JOB_ID", "77");
                ASSERT_EQ(child.Initialize(c.command, "", ""), 0);
                if (c.before == Before::RemoveJobFolder) {
                    testsupport::SetEnv("HX_JOB_ID", "42");
                    const std::string folder = child.m_errFilePath.substr(0, child.m_errFilePath.rfind('/'));
                    ASSERT_EQ(rmdir(folder.c_str()), 0) << folder << ": " << strerror(errno);
                }
                ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0) << child.m_lastErr.load();
                pid = child.m_childPid;
                if (finalize)
                    child.Finalize();
                if (c.before == Before::Terminate) {
                    ASSERT_EQ(child.Terminate(), 0);
                }
                if (c.before == Before::ReapFirst) {
                    int status = 0;
                    ASSERT_EQ(waitpid(pid, &status, 0), pid);
                }
                if (c.onThread) {
                    ASSERT_EQ(child.BeginWait(), 0);
                    ASSERT_TRUE(AwaitWaitThread(child)) << "wait thread for pid " << pid;
                    EXPECT_EQ(child.m_waitComplete.load(), c.result == 0);
                } else {
                    EXPECT_EQ(child.Wait(0), c.result);
                    EXPECT_EQ(child.m_lastErr.load(), c.lastErr);
                }
            }
            for (const auto& ch : OwnChildren()) {
                EXPECT_NE(ch.first, pid) << "child " << pid << " left in state " << ch.second;
            }
        }
    }
    EXPECT_TRUE(OwnChildren().empty()) << "left behind:" << Describe(OwnChildren());
}

// Destroying the object neither signals nor waits for its child: the child
// goes on, ends by itself, and the library reaps it at the next destruction;
// the object's descriptors go with it.
TEST(SoakLeaks, DestroyedBeforeTheWaitTheObjectStillClosesEverything)
{
    HostEnv env;
    HxDebugWrite("test", 1, "early destroy starts");
    FdLeakCheck leaks;
    int pid = -1;
    {
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize(ProbeCommand("cat"), "", ""), 0);
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
        pid = child.m_childPid;
    }
    // cat sees the end of its input only if the object really closed its end
    // (-2: it did, and the destructor reaped it at once).
    const int status = AwaitChildEnd(pid);
    EXPECT_TRUE(status == -2 || (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "status " << status;
    { MySqlChildProcess later; }
    EXPECT_FALSE(Unreaped(pid));
}

}  // namespace
