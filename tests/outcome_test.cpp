// How the child ended, as one value: decided by what the child reported at
// its start, never by its exit code alone, the same after Wait and after the
// wait thread.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "child_process/MySqlChildProcess.h"
#include "support/TestSupport.h"

namespace {

using LibMySqlProcess::MySqlChildProcess;
using Outcome = MySqlChildProcess::Outcome;
using namespace testsupport;

class OutcomeTest : public ::testing::Test {
protected:
    HostEnv env;
};

struct ToolRun {
    std::string command;
    std::string user;
    std::function<void(MySqlChildProcess&)> beforeLaunch;  // after Initialize
    bool terminate = false;
};

// Runs it to its end, by Wait or by the wait thread, and returns the outcome.
Outcome RunToEnd(const ToolRun& r, bool waitThread)
{
    MySqlChildProcess child;
    EXPECT_EQ(child.Initialize(r.command, r.user, ""), 0);
    if (r.beforeLaunch)
        r.beforeLaunch(child);
    if (child.HX_CreateProcess(false, false, false, false) != 0)
        return child.GetOutcome();
    EXPECT_EQ(child.GetOutcome().state, Outcome::State::Running);
    if (r.terminate)
        child.Terminate();
    ReadAll(child);
    child.Finalize();
    if (waitThread) {
        EXPECT_EQ(child.BeginWait(), 0);
        EXPECT_TRUE(AwaitWaitThread(child));
    } else {
        child.Wait(0);
    }
    return child.GetOutcome();
}

TEST_F(OutcomeTest, EveryEndIsDecodedOnceByWhatTheChildReported)
{
    const std::string missing = env.dir() + "/no/such/program";
    struct Row {
        const char* what;
        ToolRun run;
        Outcome::State state;
        int code;
        Outcome::Stage stage;
        int childErrno;
        std::string text;
    };
    const Row rows[] = {
        {"exit 0", {ProbeCommand("exit 0"), "", nullptr, false}, Outcome::State::Exited, 0, Outcome::Stage::None, 0, "exited with code 0"},
        {"exit 2", {ProbeCommand("exit 2"), "", nullptr, false}, Outcome::State::Exited, 2, Outcome::Stage::None, 0, "exited with code 2"},
        // The start-up stages' codes, given by the tool itself, are the tool's.
        {"exit 77", {ProbeCommand("exit 77"), "", nullptr, false}, Outcome::State::Exited, 77, Outcome::Stage::None, 0, "exited with code 77"},
        {"exit 79", {ProbeCommand("exit 79"), "", nullptr, false}, Outcome::State::Exited, 79, Outcome::Stage::None, 0, "exited with code 79"},
        {"exit 81", {ProbeCommand("exit 81"), "", nullptr, false}, Outcome::State::Exited, 81, Outcome::Stage::None, 0, "exited with code 81"},
        {"exit 83", {ProbeCommand("exit 83"), "", nullptr, false}, Outcome::State::Exited, 83, Outcome::Stage::None, 0, "exited with code 83"},
        {"signal", {ProbeCommand("sleep 30"), "", nullptr, true}, Outcome::State::Signaled, 9, Outcome::Stage::None, 0,
         "killed by signal 9"},
        {"exec stage", {missing, "", nullptr, false}, Outcome::State::StartFailed, 79, Outcome::Stage::Exec, ENOENT,
         "could not execute " + missing + ": No such file or directory"},
        // The job folder goes between Initialize and the launch.
        {"redirect stage",
         {ProbeCommand("exit 0"), "",
          [&](MySqlChildProcess&) {
              ASSERT_EQ(system(("rm -r " + env.jobFolder()).c_str()), 0);
          },
          false},
         Outcome::State::StartFailed, 77, Outcome::Stage::Redirect, ENOENT,
         "could not open its error file " + env.jobFolder() + "/MySqlErrors_"},
        {"unknown user", {ProbeCommand("exit 0"), "no-such-user-here", nullptr, false}, Outcome::State::NotLaunched, 0,
         Outcome::Stage::None, ENOENT, "user 'no-such-user-here' does not exist"},
    };
    for (bool waitThread : {false, true}) {
        for (const Row& r : rows) {
            SCOPED_TRACE(std::string(r.what) + (waitThread ? ", wait thread" : ", Wait"));
            const Outcome o = RunToEnd(r.run, waitThread);
            EXPECT_EQ(o.state, r.state);
            EXPECT_EQ(o.code, r.code);
            EXPECT_EQ(o.stage, r.stage);
            EXPECT_EQ(o.childErrno, r.childErrno);
            EXPECT_EQ(o.text.substr(0, r.text.size()), r.text) << o.text;
        }
    }
}

TEST_F(OutcomeTest, FailedUserSwitchIsTheStartUpsNotTheTools)
{
    if (!IsRoot())
        GTEST_SKIP() << "switching to another user needs root";
    const int rc = RunInSubprocess(
        [] {
            if (!DenySyscalls({SYS_setresuid}, EPERM))
                return 90;
            const Outcome o = RunToEnd({ProbeCommand("exit 81"), "nobody", nullptr, false}, false);
            SUB_CHECK(o.state == Outcome::State::StartFailed, 10);
            SUB_CHECK(o.stage == Outcome::Stage::UserSwitch && o.code == 81, 11);
            SUB_CHECK(o.childErrno == EPERM, 12);
            SUB_CHECK(o.text == "could not switch to user 'nobody': Operation not permitted", 13);
            return 0;
        },
        60);
    if (rc == 90)
        GTEST_SKIP() << "the kernel refused the seccomp filter";
    EXPECT_EQ(rc, 0);
}

}  // namespace
