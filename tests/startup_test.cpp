// The child's start-up, seen from the tool it becomes: its environment and
// file-creation mask in each mode, the descriptors it inherits, the error file
// as its standard error, the user it runs as, and the exit codes of the
// stages that can fail.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "support/TestSupport.h"

extern char** environ;

namespace {

using LibMySqlProcess::MySqlChildProcess;
using namespace testsupport;

const char kPostFork[] = "MySqlChildProcess::PostFork";
const char kFixedLibPath[] = "LD_LIBRARY_PATH=/lib64:/lib:/usr/lib:/usr/lib64";

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : m_old(umask(mask)) {}
    ~ScopedUmask() { umask(m_old); }

private:
    mode_t m_old;
};

std::string FdLink(int fd)
{
    return LinkOf("/proc/self/fd/" + std::to_string(fd));
}

struct Launch {
    std::string command;
    std::string user;
    bool useSystemLibPath = false;
    bool useBaseLibPath = false;
    // Runs after Initialize, before the launch.
    std::function<void(MySqlChildProcess&)> prepare;
};

struct Outcome {
    int initialize = -1;
    int launch = -1;
    std::string output;
    int wait = -1;
    bool statusKnown = false;
    int status = 0;
    int childPid = -1;
    int childErrno = -1;  // as it stood when the launch returned
    std::string errFile;
    // What the parent's ends are, to compare with the tool's 0 and 1.
    std::string parentWriteEnd;
    std::string parentReadEnd;

    bool ExitedWith(int code) const { return statusKnown && WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

std::ostream& operator<<(std::ostream& os, const Outcome& o)
{
    os << "launch=" << o.launch << " wait=" << o.wait << " status=";
    if (!o.statusKnown)
        os << "unknown";
    else if (WIFEXITED(o.status))
        os << "exit " << WEXITSTATUS(o.status);
    else if (WIFSIGNALED(o.status))
        os << "signal " << WTERMSIG(o.status);
    return os << " output=[" << o.output << "]";
}

Outcome RunChild(const Launch& l)
{
    Outcome o;
    MySqlChildProcess child;
    o.initialize = child.Initialize(l.command, l.user, "");
    if (o.initialize != 0)
        return o;
    if (l.prepare)
        l.prepare(child);
    o.errFile = child.m_errFilePath;
    o.launch = child.HX_CreateProcess(false, false, l.useSystemLibPath, l.useBaseLibPath);
    if (o.launch != 0)
        return o;
    o.childErrno = child.m_childErrno;
    o.childPid = child.m_childPid;
    o.parentWriteEnd = FdLink(child.m_filedesPW[1]);
    o.parentReadEnd = FdLink(child.m_filedesCW[0]);
    o.output = ReadAll(child);
    child.Finalize();
    o.wait = child.Wait(0);
    o.statusKnown = child.m_exitStatusKnown;
    o.status = child.m_exitStatus;
    return o;
}

std::multiset<std::string> EnvOf(const std::multimap<std::string, std::string>& report)
{
    std::multiset<std::string> out;
    for (const auto& v : ReportValues(report, "env"))
        out.insert(Unescape(v));
    return out;
}

std::multiset<std::string> OurEnvironment()
{
    std::multiset<std::string> out;
    for (char** e = environ; *e != nullptr; ++e)
        out.insert(*e);
    return out;
}

// The tool's descriptors as number -> what it points at.
std::map<int, std::string> FdsOf(const std::multimap<std::string, std::string>& report)
{
    std::map<int, std::string> out;
    for (const auto& v : ReportValues(report, "fd")) {
        size_t sp = v.find(' ');
        out[std::stoi(v.substr(0, sp))] = sp == std::string::npos ? "" : v.substr(sp + 1);
    }
    return out;
}

// The debug log parsed, lines that do not parse left out.
std::vector<LogLine> ParsedLog(const HostEnv& env)
{
    std::vector<LogLine> out;
    for (const std::string& text : env.LogLines()) {
        LogLine line;
        if (ParseLogLine(text, line))
            out.push_back(line);
    }
    return out;
}

std::vector<LogLine> ChildLines(const HostEnv& env)
{
    std::vector<LogLine> out;
    for (const LogLine& l : ParsedLog(env))
        if (l.tag == kPostFork)
            out.push_back(l);
    return out;
}

bool ChildLogged(const HostEnv& env, const std::string& message)
{
    for (const LogLine& l : ChildLines(env))
        if (l.message == message)
            return true;
    return false;
}

struct User {
    uid_t uid;
    gid_t gid;
    std::set<gid_t> groups;
};

bool LookUp(const char* name, User& user)
{
    passwd* pw = getpwnam(name);
    if (pw == nullptr)
        return false;
    user.uid = pw->pw_uid;
    user.gid = pw->pw_gid;
    std::vector<gid_t> groups(64);
    int n = static_cast<int>(groups.size());
    if (getgrouplist(name, pw->pw_gid, groups.data(), &n) < 0)
        return false;
    user.groups = std::set<gid_t>(groups.begin(), groups.begin() + n);
    return true;
}

std::set<gid_t> GroupsOf(const std::multimap<std::string, std::string>& report)
{
    std::set<gid_t> out;
    for (const auto& g : ReportValues(report, "group"))
        out.insert(static_cast<gid_t>(std::stoul(g)));
    return out;
}

std::string Only(const std::multimap<std::string, std::string>& report, const std::string& key)
{
    auto v = ReportValues(report, key);
    return v.size() == 1 ? v[0] : "<" + std::to_string(v.size()) + " values>";
}

// The logger keeps the last log it wrote open, until a line goes to another
// path; one line to this test's log first, so that the descriptor counts of
// FdLeakCheck see no stale log closing midway.
void PointLoggerHere()
{
    HxDebugWrite("test", 1, "test starts");
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override { PointLoggerHere(); }
    HostEnv env;
};

TEST_F(Startup, EnvironmentAndUmaskFollowTheMode)
{
    if (testsupport::UnderValgrind())
        GTEST_SKIP() << "valgrind puts its LD_PRELOAD into the inherited environment";
    // A mask the base mode's 022 cannot be mistaken for.
    ScopedUmask mask(077);
    SetEnv("MYSQLPROCESS_TEST_MARKER", "a b\tc");
    struct Mode {
        const char* what;
        bool system;
        bool base;
    };
    for (const Mode& m : {Mode{"inherited", false, false}, Mode{"fixed", true, false}, Mode{"base home", false, true},
                          Mode{"both flags: fixed wins", true, true}}) {
        SCOPED_TRACE(m.what);
        FdLeakCheck leaks;
        env.ClearLog();
        Launch l;
        l.command = ProbeCommand("report");
        l.useSystemLibPath = m.system;
        l.useBaseLibPath = m.base;
        const Outcome o = RunChild(l);
        ASSERT_EQ(o.wait, 0) << o;
        const auto report = ParseReport(o.output);
        const std::multiset<std::string> seen = EnvOf(report);

        const bool baseMode = m.base && !m.system;
        if (m.system) {
            EXPECT_EQ(seen, std::multiset<std::string>{kFixedLibPath});
        } else if (baseMode) {
            EXPECT_EQ(seen, std::multiset<std::string>{"LD_LIBRARY_PATH=" + env.baseHome()});
        } else {
            EXPECT_EQ(seen, OurEnvironment());
            EXPECT_EQ(seen.count("MYSQLPROCESS_TEST_MARKER=a b\tc"), 1u);
        }
        EXPECT_EQ(Only(report, "umask"), baseMode ? "022" : "077");
        EXPECT_EQ(ChildLogged(env, "Environment LD_LIBRARY_PATH=" + env.baseHome()), baseMode);

        // The mask changes only after the error file exists, so the file
        // always gets the caller's mask.
        struct stat st {};
        ASSERT_EQ(stat(o.errFile.c_str(), &st), 0) << o.errFile;
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    unsetenv("MYSQLPROCESS_TEST_MARKER");
}

TEST_F(Startup, ToolHasOnlyThePipesAndTheErrorFile)
{
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_cur <= 1500) {
        if (saved.rlim_max <= 1500)
            GTEST_SKIP() << "descriptor limit " << saved.rlim_max << " leaves no room for descriptor 1500";
        rlimit raised{std::min<rlim_t>(saved.rlim_max, 2048), saved.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    FdLeakCheck leaks;
    // The host may hold descriptors without close-on-exec, high and low.
    const int ordinary = open("/dev/null", O_RDONLY);
    ASSERT_GE(ordinary, 3);
    ASSERT_EQ(dup2(ordinary, 1500), 1500);
    ASSERT_EQ(fcntl(1500, F_GETFD) & FD_CLOEXEC, 0);

    Launch l;
    l.command = ProbeCommand("report");
    const Outcome o = RunChild(l);
    close(1500);
    close(ordinary);
    setrlimit(RLIMIT_NOFILE, &saved);

    ASSERT_EQ(o.wait, 0) << o;
    const auto fds = FdsOf(ParseReport(o.output));
    const std::map<int, std::string> expected = {{0, o.parentWriteEnd}, {1, o.parentReadEnd}, {2, o.errFile}};
    EXPECT_EQ(fds, expected);
    EXPECT_EQ(o.parentWriteEnd.rfind("pipe:[", 0), 0u) << o.parentWriteEnd;
    EXPECT_EQ(o.parentReadEnd.rfind("pipe:[", 0), 0u) << o.parentReadEnd;
    EXPECT_NE(o.parentWriteEnd, o.parentReadEnd);
}

// Neither close_range (an older kernel, or a filter) nor /proc (a chroot):
// the sweep tries every number up to the hard descriptor limit, which also
// reaches a descriptor opened before the soft limit was lowered.
TEST_F(Startup, WithoutCloseRangeOrProcTheSweepReachesPastTheSoftLimit)
{
    if (!IsRoot())
        GTEST_SKIP() << "hiding /proc needs a mount namespace";
    if (Sanitizer() == "asan")
        GTEST_SKIP() << "the probe's ASan runtime cannot start without /proc";
    const std::string command = ProbeCommand("report");
    const std::string out = env.dir() + "/report.txt";
    const int rc = RunInSubprocess([&] {
        rlimit limit{};
        SUB_CHECK(getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max > 1500, 10);
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2048);
        SUB_CHECK(setrlimit(RLIMIT_NOFILE, &limit) == 0, 11);
        SUB_CHECK(dup2(open("/dev/null", O_RDONLY), 1500) == 1500, 12);
        limit.rlim_cur = 1024;
        SUB_CHECK(setrlimit(RLIMIT_NOFILE, &limit) == 0, 13);
        SUB_CHECK(unshare(CLONE_NEWNS) == 0, 14);
        SUB_CHECK(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, 15);
        SUB_CHECK(mount("none", "/proc", "tmpfs", 0, nullptr) == 0, 16);
        SUB_CHECK(DenySyscalls({SYS_close_range}, ENOSYS), 17);
        MySqlChildProcess child;
        SUB_CHECK(child.Initialize(command, "", "") == 0, 18);
        SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == 0, 19);
        WriteFile(out, ReadAll(child));
        child.Finalize();
        SUB_CHECK(child.Wait(0) == 0, 20);
        return 0;
    });
    ASSERT_EQ(rc, 0);
    std::vector<int> numbers;
    for (const auto& fd : FdsOf(ParseReport(ReadFile(out))))
        numbers.push_back(fd.first);
    EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2}));
}

// With 0 and 1 closed in the host, the first pipe takes them and its write end
// already is descriptor 1: it is not duplicated, and must still survive the
// exec although the pipe was made close-on-exec.
TEST_F(Startup, PipeEndAlreadyOnStandardOutputSurvivesTheExec)
{
    FdLeakCheck leaks;
    const std::string out = env.dir() + "/report.txt";
    const int rc = RunInSubprocess([&]() {
        close(0);
        close(1);
        MySqlChildProcess child;
        if (child.Initialize(ProbeCommand("report"), "", "") != 0)
            return 10;
        if (child.HX_CreateProcess(false, false, false, false) != 0)
            return 11;
        if (child.m_filedesCW[0] != 0)
            return 12;  // the arrangement this case is about did not arise
        std::string text = "readend=" + FdLink(child.m_filedesCW[0]) + "\nerrfile=" + child.m_errFilePath + "\n";
        text += ReadAll(child);
        child.Finalize();
        const int waited = child.Wait(0);
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return 13;
        close(fd);
        return waited == 0 ? 0 : 14;
    });
    ASSERT_EQ(rc, 0) << "see the subprocess's exit code in the test";
    const auto report = ParseReport(ReadFile(out));
    const auto fds = FdsOf(report);
    ASSERT_EQ(fds.count(1), 1u) << "the tool's standard output was closed";
    EXPECT_EQ(fds.at(1), Only(report, "readend"));
    EXPECT_EQ(fds.at(2), Only(report, "errfile"));
    EXPECT_EQ(fds.size(), 3u);
}

TEST_F(Startup, ErrorFileIsCreatedWithTheMaskApplied)
{
    for (mode_t m : {00, 022, 027, 077}) {
        SCOPED_TRACE("umask " + std::to_string(m));
        FdLeakCheck leaks;
        ScopedUmask mask(m);
        Launch l;
        l.command = ProbeCommand("stderr 0 first");
        const Outcome o = RunChild(l);
        ASSERT_EQ(o.wait, 0) << o;
        struct stat st {};
        ASSERT_EQ(stat(o.errFile.c_str(), &st), 0) << o.errFile;
        EXPECT_EQ(st.st_mode & 0777, 0660u & ~m);
        EXPECT_EQ(ReadFile(o.errFile), "first\n");
    }
}

TEST_F(Startup, ExistingErrorFileIsAppendedToNeverTruncated)
{
    FdLeakCheck leaks;
    std::string path;
    {
        Launch first;
        first.command = ProbeCommand("stderr 0 first");
        first.prepare = [&](MySqlChildProcess& c) { path = c.m_errFilePath; };
        const Outcome o = RunChild(first);
        ASSERT_EQ(o.wait, 0) << o;
    }
    ASSERT_EQ(ReadFile(path), "first\n");
    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
    {
        // A second child writing to the same file adds after the first.
        Launch second;
        second.command = ProbeCommand("stderr 0 second \"third line\"");
        second.prepare = [&](MySqlChildProcess& c) { c.m_errFilePath = path; };
        const Outcome o = RunChild(second);
        ASSERT_EQ(o.wait, 0) << o;
    }
    EXPECT_EQ(ReadFile(path), "first\nsecond\nthird line\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u) << "an existing file keeps its mode";
}

TEST_F(Startup, ArgumentsAreLoggedByTheChildAtLevel8)
{
    FdLeakCheck leaks;
    Launch l;
    l.command = ProbeCommand("report a\tb \"x  y\" --stop-datetime=2024-01-31 23:59:59");
    const Outcome o = RunChild(l);
    ASSERT_EQ(o.wait, 0) << o;
    const std::vector<std::string> expected = {ProbePath(), "report", "a\tb", "x y",
                                               "--stop-datetime=2024-01-31 23:59:59"};

    std::vector<std::string> seen;
    for (const auto& a : ReportValues(ParseReport(o.output), "arg"))
        seen.push_back(Unescape(a));
    EXPECT_EQ(seen, expected) << "the tool's argument vector";

    std::vector<std::string> logged;
    for (const LogLine& line : ChildLines(env)) {
        if (line.message.rfind("Arg [", 0) != 0)
            continue;
        EXPECT_EQ(line.level, 8) << line.message;
        EXPECT_EQ(line.pid, o.childPid) << "logged by the child, not the parent (" << getpid() << ")";
        logged.push_back(line.message);
    }
    std::vector<std::string> want;
    for (size_t i = 0; i < expected.size(); ++i)
        want.push_back("Arg [" + std::to_string(i) + "] = " + expected[i]);
    EXPECT_EQ(logged, want);
}

TEST(StartupLogLevel, ArgumentLinesNeedLevel8)
{
    HostEnv env(7);
    PointLoggerHere();
    FdLeakCheck leaks;
    Launch l;
    l.command = ProbeCommand("exit 0");
    const Outcome o = RunChild(l);
    ASSERT_EQ(o.wait, 0) << o;
    for (const LogLine& line : ChildLines(env))
        EXPECT_NE(line.message.rfind("Arg [", 0), 0u) << line.message;
}

TEST_F(Startup, ExecFailureEndsWith79InEveryMode)
{
    const std::string notExecutable = env.dir() + "/not-executable";
    WriteFile(notExecutable, "#!/bin/sh\nexit 0\n", 0644);
    struct Row {
        const char* what;
        std::string command;
        bool system;
        bool base;
        int err;
    };
    const std::vector<Row> rows = {
        {"missing program, inherited environment", "/nonexistent/dir/mysql --batch", false, false, ENOENT},
        {"missing program, fixed library path", "/nonexistent/dir/mysql --batch", true, false, ENOENT},
        {"missing program, base home library path", "/nonexistent/dir/mysql --batch", false, true, ENOENT},
        // Entry 0 is the path as it stands: no search along PATH.
        {"program name without a directory", "true", false, false, ENOENT},
        {"file without execute permission", notExecutable, false, false, EACCES},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        FdLeakCheck leaks;
        env.ClearLog();
        Launch l;
        l.command = r.command;
        l.useSystemLibPath = r.system;
        l.useBaseLibPath = r.base;
        const Outcome o = RunChild(l);
        ASSERT_EQ(o.launch, 0);
        EXPECT_EQ(o.wait, -1);
        EXPECT_TRUE(o.ExitedWith(79)) << o;
        EXPECT_EQ(o.childErrno, r.err);
        EXPECT_TRUE(ChildLogged(env, "Child exec failed, errno: " + std::to_string(r.err)));
    }
}

TEST_F(Startup, ErrorFileThatCannotBeOpenedEndsWith77)
{
    FdLeakCheck leaks;
    Launch l;
    l.command = ProbeCommand("exit 0");
    // The folder goes between Initialize and the launch.
    l.prepare = [&](MySqlChildProcess&) { ASSERT_EQ(rmdir(env.jobFolder().c_str()), 0) << strerror(errno); };
    const Outcome o = RunChild(l);
    ASSERT_EQ(o.launch, 0);
    EXPECT_EQ(o.wait, -1);
    EXPECT_TRUE(o.ExitedWith(77)) << o;
    EXPECT_EQ(o.childErrno, ENOENT);
    EXPECT_TRUE(ChildLogged(env, "Failed to create a MySqlErrors file [" + o.errFile + "], errno [2]"));
    EXPECT_FALSE(ChildLogged(env, "Arg [0] = " + std::string(ProbePath()))) << "the child went on after failing";
}

// The launch creates the error file; when that fails for want of
// descriptors, the start-up says so (EMFILE), rather than what a second try
// by the tool's user in a folder it may not write would say.
TEST_F(Startup, ErrorFileCreationFailureCarriesItsOwnErrno)
{
    if (UnderValgrind())
        GTEST_SKIP() << "valgrind holds descriptors of its own under the lowered limit";
    for (const char* user : {"", "nobody"}) {
        if (user[0] != '\0' && !IsRoot())
            continue;
        SCOPED_TRACE(std::string("user '") + user + "'");
        const int rc = RunInSubprocess([&]() {
            MySqlChildProcess child;
            SUB_CHECK(child.Initialize(ProbeCommand("exit 0"), user, "") == 0, 10);
            FewDescriptors few;
            // The tool's pipes, the report channel and (through the helper)
            // the helper's record, and not one more.
            SUB_CHECK(few.Squeeze(user[0] == '\0' ? 6 : 7), 11);
            SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == 0, 12);
            few.Restore();
            SUB_CHECK(child.m_childErrno == EMFILE, 13);
            SUB_CHECK(child.Wait(0) == -1, 14);
            const MySqlChildProcess::Outcome o = child.GetOutcome();
            SUB_CHECK(o.state == MySqlChildProcess::Outcome::State::StartFailed, 15);
            SUB_CHECK(o.stage == MySqlChildProcess::Outcome::Stage::Redirect && o.childErrno == EMFILE, 16);
            return 0;
        }, 30);
        EXPECT_EQ(rc, 0);
    }
}

// Identities: the caller's own when no user is named.
TEST_F(Startup, NoSwitchWithoutAUser)
{
    std::vector<gid_t> ours(256);
    const int n = getgroups(256, ours.data());
    ASSERT_GE(n, 0);
    const std::set<gid_t> ourGroups(ours.begin(), ours.begin() + n);

    FdLeakCheck leaks;
    Launch l;
    l.command = ProbeCommand("report");
    const Outcome o = RunChild(l);
    ASSERT_EQ(o.wait, 0) << o;
    EXPECT_EQ(o.childErrno, 0) << "the tool started";
    const auto report = ParseReport(o.output);
    EXPECT_EQ(Only(report, "uid"), std::to_string(getuid()));
    EXPECT_EQ(Only(report, "euid"), std::to_string(geteuid()));
    EXPECT_EQ(Only(report, "gid"), std::to_string(getgid()));
    EXPECT_EQ(GroupsOf(report), ourGroups);
    for (const LogLine& line : ChildLines(env))
        EXPECT_EQ(line.message.find("Child initgroups"), std::string::npos) << line.message;
}

TEST_F(Startup, RootSwitchesToTheImpersonatedUser)
{
    if (!IsRoot())
        GTEST_SKIP() << "switching to another user needs root";
    User nobody{};
    ASSERT_TRUE(LookUp("nobody", nobody)) << "the user nobody is missing";
    FdLeakCheck leaks;
    Launch l;
    l.command = ProbeCommand("report");
    l.user = "nobody";
    // The job folder stays as Initialize made it, closed to the user: the
    // launch hands the user an error file of its own.
    const Outcome o = RunChild(l);
    ASSERT_EQ(o.wait, 0) << o;
    const auto report = ParseReport(o.output);
    EXPECT_EQ(Only(report, "uid"), std::to_string(nobody.uid));
    EXPECT_EQ(Only(report, "euid"), std::to_string(nobody.uid));
    EXPECT_EQ(Only(report, "suid"), std::to_string(nobody.uid));
    EXPECT_EQ(Only(report, "gid"), std::to_string(nobody.gid));
    EXPECT_EQ(Only(report, "egid"), std::to_string(nobody.gid));
    EXPECT_EQ(Only(report, "sgid"), std::to_string(nobody.gid));
    EXPECT_EQ(GroupsOf(report), nobody.groups) << "root's supplementary groups must not survive";
    EXPECT_EQ(FdsOf(report).size(), 3u);

    // The error file belongs to the user; its folder is still root's alone.
    struct stat st {};
    ASSERT_EQ(stat(o.errFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody.uid);
    EXPECT_EQ(st.st_gid, nobody.gid);
    ASSERT_EQ(stat(env.jobFolder().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(Startup, ErrorFileTheUserMayNotWriteEndsWith77)
{
    if (!IsRoot())
        GTEST_SKIP() << "switching to another user needs root";
    FdLeakCheck leaks;
    Launch l;
    l.command = ProbeCommand("exit 0");
    l.user = "nobody";
    // An error file that already exists is left as it is: root's, 0600.
    l.prepare = [&](MySqlChildProcess& c) { WriteFile(c.m_errFilePath, "", 0600); };
    const Outcome o = RunChild(l);
    ASSERT_EQ(o.launch, 0);
    EXPECT_TRUE(o.ExitedWith(77)) << o;
    EXPECT_TRUE(ChildLogged(env, "Failed to create a MySqlErrors file [" + o.errFile + "], errno [13]"));
}

// A primary group that already is the real group needs no setgid: with setgid
// denied by a seccomp filter, the switch still succeeds.
TEST_F(Startup, NoSetgidWhenThePrimaryGroupIsTheRealGroup)
{
    if (!IsRoot())
        GTEST_SKIP() << "switching to another user needs root";
    User nobody{};
    ASSERT_TRUE(LookUp("nobody", nobody));
    FdLeakCheck leaks;
    const std::string out = env.dir() + "/report.txt";
    const int rc = RunInSubprocess([&]() {
        if (setgid(nobody.gid) != 0)
            return 10;
        if (!DenySyscalls({SYS_setgid, SYS_setresgid, SYS_setregid}, EPERM))
            return 11;
        MySqlChildProcess child;
        if (child.Initialize(ProbeCommand("report"), "nobody", "") != 0)
            return 12;
        if (child.HX_CreateProcess(false, false, false, false) != 0)
            return 13;
        const std::string text = ReadAll(child);
        child.Finalize();
        if (child.Wait(0) != 0)
            return child.m_exitStatusKnown && WIFEXITED(child.m_exitStatus) ? 100 + WEXITSTATUS(child.m_exitStatus)
                                                                             : 14;
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return 15;
        close(fd);
        return 0;
    });
    if (rc == 11)
        GTEST_SKIP() << "the kernel refused the seccomp filter";
    ASSERT_EQ(rc, 0) << "181 means the child called setgid and failed with 81";
    const auto report = ParseReport(ReadFile(out));
    EXPECT_EQ(Only(report, "uid"), std::to_string(nobody.uid));
    EXPECT_EQ(Only(report, "gid"), std::to_string(nobody.gid));
    EXPECT_EQ(GroupsOf(report), nobody.groups);
    EXPECT_FALSE(ChildLogged(env, "Child setgid failed, errno 1"));
}

TEST_F(Startup, UserSwitchFailureEndsWith81)
{
    if (!IsRoot())
        GTEST_SKIP() << "as another user the switch would fail for want of rights, not because of the filter";
    struct Row {
        const char* what;
        bool (*deny)();
        const char* message;
    };
    const Row rows[] = {
        {"supplementary groups", [] { return DenySyscalls({SYS_setgroups}, EPERM); },
         "Child initgroups failed, errno 1"},
        {"primary group", [] { return DenySyscalls({SYS_setgid, SYS_setresgid, SYS_setregid}, EPERM); },
         "Child setgid failed, errno 1"},
        {"user id", [] { return DenySyscalls({SYS_setuid, SYS_setresuid, SYS_setreuid}, EPERM); },
         "Child setuid failed, errno 1"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        FdLeakCheck leaks;
        env.ClearLog();
        const int rc = RunInSubprocess([&]() {
            if (!r.deny())
                return 11;
            MySqlChildProcess child;
            if (child.Initialize(ProbeCommand("exit 0"), "nobody", "") != 0)
                return 12;
            if (child.HX_CreateProcess(false, false, false, false) != 0)
                return 13;
            if (child.m_childErrno != EPERM)
                return 15;
            child.Finalize();
            const int waited = child.Wait(0);
            if (waited != -1 || !child.m_exitStatusKnown || !WIFEXITED(child.m_exitStatus))
                return 14;
            return WEXITSTATUS(child.m_exitStatus) == 81 ? 0 : 100 + WEXITSTATUS(child.m_exitStatus);
        });
        if (rc == 11)
            GTEST_SKIP() << "the kernel refused the seccomp filter";
        EXPECT_EQ(rc, 0) << "100 + the child's exit code when it was not 81; 15: m_childErrno not EPERM at the launch";
        EXPECT_TRUE(ChildLogged(env, r.message));
    }
}

}  // namespace
