// Launch options that spare a database serving traffic, seen from inside the
// tool: its CPU and I/O priority, its limits, no new privileges and its
// control group, as the caller and as nobody (through the launch helper);
// bad values refused before any child exists; a setting the kernel refuses
// failing the start-up; and a stop that ends everything in the tool's
// control group, a setsid'd grandchild holding the output pipe included.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "support/TestSupport.h"

namespace {

using LibMySqlProcess::MySqlChildProcess;
using Options = MySqlChildProcess::LaunchOptions;
using Outcome = MySqlChildProcess::Outcome;
using namespace testsupport;

class LaunchOptions : public ::testing::Test {
protected:
    void SetUp() override { HxDebugWrite("test", 1, "test starts"); }

    // The probe's report, launched with options as user.
    std::multimap<std::string, std::string> Report(const Options& options, const char* user)
    {
        MySqlChildProcess child;
        EXPECT_EQ(child.Initialize(ProbeCommand("report"), user, ""), 0);
        EXPECT_EQ(child.SetLaunchOptions(options), 0) << child.m_lastErr;
        EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), 0) << child.GetOutcome().text;
        const std::string out = ReadAll(child);
        child.Finalize();
        EXPECT_EQ(child.Wait(0), 0) << child.GetOutcome().text;
        return ParseReport(out);
    }

    HostEnv env;
};

// The cgroup v2 mount where this process may make a group, or "".
std::string WritableCgroupMount()
{
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        const size_t dash = line.find(" - cgroup2 ");
        if (dash == std::string::npos)
            continue;
        char point[4096];
        if (sscanf(line.c_str(), "%*s %*s %*s %*s %4095s", point) == 1 && access(point, W_OK) == 0)
            return point;
    }
    return "";
}

TEST_F(LaunchOptions, TheToolRunsWithEveryOptionSet)
{
    struct Case {
        const char* user;
        int nice;
        Options::IoClass ioClass;
        int ioLevel;
        long ioprio;  // as the kernel reports it
    };
    // As nobody, a nice below 0 needs root's privilege: the helper sets it
    // before the switch, and it stays.
    const Case cases[] = {
        {"", 19, Options::IoClass::BestEffort, 6, (2 << 13) | 6},
        {"nobody", -5, Options::IoClass::Idle, 0, 3 << 13},
    };
    for (const Case& c : cases) {
        if (c.user[0] != '\0' && !IsRoot())
            continue;
        // memcheck keeps the descriptor limit to itself and refuses one below
        // its own descriptors (the start then fails, as it should); through
        // the helper the settings are made by a program it does not follow.
        if (c.user[0] == '\0' && testsupport::UnderValgrind())
            continue;
        SCOPED_TRACE(std::string("user '") + c.user + "'");
        Options o;
        o.nice = c.nice;
        o.ioClass = c.ioClass;
        o.ioLevel = c.ioLevel;
        o.limits = {{RLIMIT_NOFILE, 64, 128}, {RLIMIT_CORE, 0, 0}};
        o.noNewPrivileges = true;
        const auto report = Report(o, c.user);
        EXPECT_EQ(ReportValues(report, "nice"), std::vector<std::string>{std::to_string(c.nice)});
        EXPECT_EQ(ReportValues(report, "ioprio"), std::vector<std::string>{std::to_string(c.ioprio)});
        const std::vector<std::string> limits = ReportValues(report, "limit");
        EXPECT_EQ(std::count(limits.begin(), limits.end(), std::to_string(RLIMIT_NOFILE) + ":64:128"), 1);
        EXPECT_EQ(std::count(limits.begin(), limits.end(), std::to_string(RLIMIT_CORE) + ":0:0"), 1);
        EXPECT_EQ(ReportValues(report, "no-new-privs"), std::vector<std::string>{"1"});
    }
}

TEST_F(LaunchOptions, BadValuesAreRefusedBeforeAnyChild)
{
    struct Case {
        const char* name;
        Options options;
        int err;
        const char* logged;
    };
    std::vector<Case> cases(7);
    cases[0] = {"nice 25", {}, EINVAL, "nice [25]"};
    cases[0].options.nice = 25;
    cases[1] = {"an unknown class", {}, EINVAL, "I/O class [9]"};
    cases[1].options.ioClass = static_cast<Options::IoClass>(9);
    cases[2] = {"level 8", {}, EINVAL, "I/O level [8]"};
    cases[2].options.ioClass = Options::IoClass::BestEffort;
    cases[2].options.ioLevel = 8;
    cases[3] = {"soft above hard", {}, EINVAL, "soft 10 above hard 5"};
    cases[3].options.limits = {{RLIMIT_NOFILE, 10, 5}};
    cases[4] = {"a resource given twice", {}, EINVAL, "given twice"};
    cases[4].options.limits = {{RLIMIT_CORE, 0, 0}, {RLIMIT_CORE, 1, 1}};
    cases[5] = {"a folder that is no cgroup", {}, EINVAL, "not a cgroup v2 folder"};
    cases[5].options.cgroup = env.dir();
    cases[6] = {"a cgroup that is not there", {}, ENOENT, "No such file or directory"};
    cases[6].options.cgroup = env.dir() + "/none";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        env.ClearLog();
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize(ProbeCommand("exit 0"), "", ""), 0);
        EXPECT_EQ(child.SetLaunchOptions(c.options), -1);
        EXPECT_EQ(child.m_lastErr, c.err);
        EXPECT_TRUE(env.LogHas("Launch option refused: ") && env.LogHas(c.logged)) << c.logged;
        // The launch that follows runs without them.
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
        child.Finalize();
        EXPECT_EQ(child.Wait(0), 0);
    }
    MySqlChildProcess early;
    EXPECT_EQ(early.SetLaunchOptions(Options{}), -1) << "before Initialize";
}

// A caller without the privilege asks for a higher priority: the kernel
// refuses, and the tool does not run at the priority it would have had.
TEST_F(LaunchOptions, ASettingTheKernelRefusesFailsTheStart)
{
    if (!IsRoot())
        GTEST_SKIP() << "becoming nobody needs root";
    const std::string results = env.dir() + "/nobody-results";
    ASSERT_EQ(mkdir(results.c_str(), 0755), 0);
    ASSERT_EQ(chown(results.c_str(), 65534, 65534), 0);
    const std::string rootsGroup = WritableCgroupMount();
    const int rc = RunInSubprocess(
        [&] {
            SetEnv("HX_JOB_RESULTS_DIR", results);
            if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(65534, 65534, 65534) != 0)
                return 90;
            MySqlChildProcess child;
            Options o;
            o.nice = -5;
            SUB_CHECK(child.Initialize(ProbeCommand("exit 0"), "", "") == 0, 10);
            if (!rootsGroup.empty()) {
                // A control group nobody may write is refused before the launch.
                Options g;
                g.cgroup = rootsGroup;
                SUB_CHECK(child.SetLaunchOptions(g) == -1 && child.m_lastErr == EACCES, 17);
            }
            SUB_CHECK(child.SetLaunchOptions(o) == 0, 11);
            SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == 0, 12);
            SUB_CHECK(child.Wait(0) == -1 && child.m_lastErr == 81, 13);
            const Outcome out = child.GetOutcome();
            SUB_CHECK(out.state == Outcome::State::StartFailed && out.stage == Outcome::Stage::UserSwitch, 14);
            SUB_CHECK(out.childErrno == EACCES, 15);
            SUB_CHECK(out.text == "could not set its CPU priority (nice): Permission denied", 16);
            return 0;
        },
        30);
    EXPECT_EQ(rc, 0);
}

// The tool starts in its control group; a grandchild that moved to a
// session of its own keeps the tool's output pipe open, out of reach of the
// tool's process group. Stop ends it with the rest, and the output reaches
// its end.
TEST_F(LaunchOptions, StopEndsEverythingInTheControlGroup)
{
    const std::string mount = WritableCgroupMount();
    if (mount.empty())
        GTEST_SKIP() << "no cgroup v2 mount this process may make a group in";
    const std::string group = mount + "/mysqlprocess-test-" + std::to_string(getpid());
    ASSERT_EQ(mkdir(group.c_str(), 0755), 0) << strerror(errno);
    for (const char* user : {"", "nobody"}) {
        if (user[0] != '\0' && !IsRoot())
            continue;
        SCOPED_TRACE(std::string("user '") + user + "'");
        MySqlChildProcess child;
        Options o;
        o.cgroup = group;
        ASSERT_EQ(child.Initialize("/bin/sh -c \"setsid sleep 300 & echo started; sleep 300\"", user, ""), 0);
        ASSERT_EQ(child.SetLaunchOptions(o), 0);
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0) << child.GetOutcome().text;
        const std::string relative = group.substr(mount.size());
        EXPECT_NE(ReadFile("/proc/" + std::to_string(child.m_childPid) + "/cgroup").find("0::" + relative + "\n"),
                  std::string::npos);
        char first[16] = {};
        long length = sizeof first;
        ASSERT_EQ(child.ReadBuf(first, &length), 0);
        EXPECT_EQ(std::string(first), "started\n");
        HangGuard guard(30, "the output never ended");
        EXPECT_EQ(child.Stop(500), -1);
        EXPECT_EQ(child.GetOutcome().state, Outcome::State::Signaled);
        EXPECT_EQ(ReadAll(child), "") << "the output pipe reached its end";
        EXPECT_EQ(ReadFile(group + "/cgroup.procs"), "") << "processes left in the group";
    }
    EXPECT_EQ(rmdir(group.c_str()), 0) << strerror(errno);
}

}  // namespace
