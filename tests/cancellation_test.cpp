// A host thread cancelled anywhere inside the library: launching, reading,
// waiting, reading the error file, destroying. The agent must not abort, no
// later operation or destructor may hang, and no child or descriptor may be
// left behind.
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>

#include "child_process/MySqlChildProcess.h"
#include "support/TestSupport.h"

namespace {

using LibMySqlProcess::MySqlChildProcess;
using namespace testsupport;

struct Trial {
    const char* user;
    std::atomic<int> reached{0};
};

// One job from start to end; the object lives on this thread's stack, so a
// cancellation unwinds through its destructor.
void* Job(void* arg)
{
    auto* trial = static_cast<Trial*>(arg);
    MySqlChildProcess child;
    child.Initialize(ProbeCommand("stderr 3 ERROR one"), trial->user, "");
    trial->reached = 1;
    if (child.HX_CreateProcess(false, false, false, false) == 0) {
        trial->reached = 2;
        ReadAll(child);
        child.Finalize();
        child.Wait(0);
        trial->reached = 3;
        std::string line;
        child.ReadLastErr(line, "ERROR");
        child.logBufferContent();
    }
    trial->reached = 4;
    return nullptr;
}

// True when some child of this process has ended and nobody reaped it.
bool AnyZombie()
{
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

// The unit run takes a few hundred; the soak build many more.
#ifndef CANCELLATION_TRIALS
#define CANCELLATION_TRIALS 300
#endif

int Trials(int plain)
{
    const std::string s = Sanitizer();
    return s.empty() ? plain : s == "valgrind" ? plain / 20 : s == "tsan" ? plain / 10 : plain / 4;
}

TEST(Cancellation, RandomCancelsNeverAbortHangOrLeak)
{
    HostEnv env(1);
    const char* user = IsRoot() ? "nobody" : "";
    const int rc = RunInSubprocess(
        [&] {
            std::mt19937 random(12345);
            std::uniform_int_distribution<int> delayUs(0, 12000);
            // The first launches open what stays open (the debug log).
            Trial warm{user};
            Job(&warm);
            const int fdsBefore = CountOpenFds();
            int cancelledAt[5] = {};
            for (int i = 0; i < Trials(CANCELLATION_TRIALS); ++i) {
                Trial trial{user};
                pthread_t thread;
                SUB_CHECK(pthread_create(&thread, nullptr, &Job, &trial) == 0, 10);
                usleep(static_cast<useconds_t>(delayUs(random)));
                pthread_cancel(thread);
                void* result = nullptr;
                SUB_CHECK(pthread_join(thread, &result) == 0, 11);
                ++cancelledAt[trial.reached.load()];
            }
            // Children of objects that unwound mid-wait are reaped, and their
            // pid descriptors closed, by a later launch or destruction once
            // they have ended; a slow one (a sanitized tool) may take a while.
            bool settled = false;
            for (int wait = 0; wait < 100 && !settled; ++wait) {
                usleep(100 * 1000);
                { MySqlChildProcess reaper; }
                settled = !AnyZombie() && CountOpenFds() == fdsBefore;
            }
            SUB_CHECK(!AnyZombie(), 12);
            SUB_CHECK(CountOpenFds() == fdsBefore, 13);
            fprintf(stderr, "cancelled: before launch %d, in launch %d, in traffic or wait %d, reading errors %d, after %d\n",
                    cancelledAt[0], cancelledAt[1], cancelledAt[2], cancelledAt[3], cancelledAt[4]);
            return 0;
        },
        600);
    EXPECT_EQ(rc, 0) << "12: a zombie was left; 13: descriptors grew; 134: the process aborted; -1: a hang";
}

}  // namespace
