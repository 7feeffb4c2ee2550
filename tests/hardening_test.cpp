// The library inside a root host, against what an attacker who reaches the job
// folder, a long-running daemon or a busy host can arrange: planted links and
// FIFOs, users that are not quite switched, inherited signal state, reused
// pids, objects destroyed early, closed standard descriptors and passwords on
// command lines.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
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

class Hardening : public ::testing::Test {
protected:
    // The first line opens this test's log, so that a descriptor count taken
    // afterwards does not see the previous test's log close.
    Hardening() { HxDebugWrite("test", 1, "start"); }

    HostEnv env;
};

int ExitCode(const MySqlChildProcess& child)
{
    return child.m_exitStatusKnown && WIFEXITED(child.m_exitStatus) ? WEXITSTATUS(child.m_exitStatus) : -1;
}

// Inside a subprocess: runs the probe's report as nobody into out. 0, 11 for
// a failed launch, or 100 + the probe's exit code.
int ReportAsNobody(const std::string& out)
{
    MySqlChildProcess child;
    if (child.Initialize(ProbeCommand("report"), "nobody", "") != 0 ||
        child.HX_CreateProcess(false, false, false, false) != 0)
        return 11;
    WriteFile(out, ReadAll(child));
    child.Finalize();
    return child.Wait(0) == 0 ? 0 : 100 + ExitCode(child);
}

TEST_F(Hardening, PlantedErrorFileIsNeverFollowedNorWaitedOn)
{
    const std::string secret = env.dir() + "/root-only.txt";
    struct Row {
        const char* what;
        std::function<void(const std::string&)> plant;
        int launchErrno;  // of the child's open; the readers see what an O_RDONLY open sees
        int readErrno;
    };
    int reader = -1;
    const Row rows[] = {
        {"FIFO without a reader", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0666), 0); }, ENXIO,
         EINVAL},
        {"FIFO with a reader",
         [&](const std::string& p) {
             ASSERT_EQ(mkfifo(p.c_str(), 0666), 0);
             reader = open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
             ASSERT_GE(reader, 0);
         },
         EINVAL, EINVAL},
        {"link to a root-only file", [&](const std::string& p) { ASSERT_EQ(symlink(secret.c_str(), p.c_str()), 0); },
         ELOOP, ELOOP},
        {"dangling link",
         [&](const std::string& p) { ASSERT_EQ(symlink((env.dir() + "/created").c_str(), p.c_str()), 0); }, ELOOP,
         ELOOP},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        HangGuard guard(30, r.what);
        WriteFile(secret, "first\nSECRET ERROR of root\n", 0600);
        env.ClearLog();
        {
            FdLeakCheck leaks;
            MySqlChildProcess child;
            ASSERT_EQ(child.Initialize(ProbeCommand("stderr 0 \"ERROR from the tool\""), "", ""), 0);
            r.plant(child.m_errFilePath);
            ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
            EXPECT_EQ(child.m_childErrno, r.launchErrno);
            EXPECT_EQ(ReadAll(child), "");
            child.Finalize();
            EXPECT_EQ(child.Wait(0), -1);
            EXPECT_EQ(ExitCode(child), 77);
            EXPECT_TRUE(env.LogHas("Failed to create a MySqlErrors file [" + child.m_errFilePath + "], errno [" +
                                   std::to_string(r.launchErrno) + "]"));

            std::vector<char> buffer(1024, 'x');
            long length = 1024;
            EXPECT_EQ(child.ReadErrBuf(buffer.data(), &length), -1);
            EXPECT_EQ(buffer[0], '\0');
            EXPECT_TRUE(env.LogHas("failed to open the file [" + child.m_errFilePath + "] errno [" +
                                   std::to_string(r.readErrno) + "]"));
            std::string line = "unchanged";
            EXPECT_EQ(child.ReadLastErr(line, "ERROR"), -1);
            EXPECT_EQ(line, "unchanged");
            child.logBufferContent();
            char data[] = "x";
            EXPECT_EQ(child.WriteBuf(data, 1), -1) << "after Finalize";
            EXPECT_EQ(env.Messages("MySqlChildProcess::WriteBuf").back(), "Error Stream: ");
            EXPECT_FALSE(env.LogHas("<<THIRD PARTY>>"));
            EXPECT_FALSE(env.LogHas("SECRET"));
            if (reader != -1) {
                char c;
                EXPECT_LE(read(reader, &c, 1), 0) << "the tool's standard error went into the FIFO";
                close(reader);
                reader = -1;
            }
        }
        EXPECT_EQ(ReadFile(secret), "first\nSECRET ERROR of root\n") << "the link's target was written";
        EXPECT_NE(access((env.dir() + "/created").c_str(), F_OK), 0) << "the dangling link's target was created";
    }
}

// Another account gets to a sticky folder such as /tmp first: it makes the
// results folder (with a link in it to a folder of root's alone), or a link
// to root's folder, or the debug log. Root's host refuses each: no job
// folder and no error file land in root's folder, no line in its log.
TEST_F(Hardening, FoldersAndLogsAnotherAccountControlsAreRefused)
{
    if (!IsRoot())
        GTEST_SKIP() << "planting as another account needs root";
    const std::string sticky = env.dir() + "/tmp";
    const std::string victim = env.dir() + "/root-only";
    ASSERT_EQ(mkdir(sticky.c_str(), 0755), 0);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(victim.c_str(), 0700), 0);
    const int planted = RunInSubprocess(
        [&] {
            if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(65534, 65534, 65534) != 0)
                return 90;
            const bool ok = mkdir((sticky + "/results").c_str(), 0777) == 0 &&
                            symlink(victim.c_str(), (sticky + "/results/HX_JobResults").c_str()) == 0 &&
                            symlink(victim.c_str(), (sticky + "/link").c_str()) == 0 &&
                            close(open((sticky + "/debug.log").c_str(), O_WRONLY | O_CREAT, 0666)) == 0;
            return ok ? 0 : 1;
        },
        30);
    ASSERT_EQ(planted, 0);
    for (const std::string& results : {sticky + "/results", sticky + "/link"}) {
        SCOPED_TRACE(results);
        SetEnv("HX_JOB_RESULTS_DIR", results);
        env.ClearLog();
        MySqlChildProcess child;
        EXPECT_EQ(child.Initialize(ProbeCommand("exit 0"), "", ""), -1);
        EXPECT_EQ(child.m_lastErr, EPERM);
        EXPECT_TRUE(env.LogHas("another account")) << "the log names what was refused";
        EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
    }
    SetEnv("HX_JOB_RESULTS_DIR", env.resultsDir());
    EXPECT_TRUE(FolderEntries(victim).empty()) << "something was made in root's folder";

    SetEnv("HX_DEBUG_LOG", sticky + "/debug.log");
    EXPECT_FALSE(HxDebugWrite("test", 1, "a line with %s", "the agent's words"));
    SetEnv("HX_DEBUG_LOG", env.logPath());
    EXPECT_EQ(ReadFile(sticky + "/debug.log"), "") << "a line went into another account's log";
}

// A regular file that another account planted under the error file's name,
// in a job folder it could write, is not used: the tool's error output would
// be that account's to read.
TEST_F(Hardening, ErrorFilePlantedByAnotherAccountIsNotUsed)
{
    if (!IsRoot())
        GTEST_SKIP() << "planting as another account needs root";
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("stderr 0 \"ERROR from the tool\""), "", ""), 0);
    WriteFile(child.m_errFilePath, "planted\n", 0666);
    ASSERT_EQ(chown(child.m_errFilePath.c_str(), 65534, 65534), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    EXPECT_EQ(child.m_childErrno, EPERM);
    child.Finalize();
    EXPECT_EQ(child.Wait(0), -1);
    EXPECT_EQ(ExitCode(child), 77);
    EXPECT_EQ(ReadFile(child.m_errFilePath), "planted\n");
}

// The tool runs with exactly the user's ids, real, effective and saved, even
// when the host's real group already is the user's primary group but its
// effective and saved groups are root's.
TEST_F(Hardening, ToolRunsAsExactlyTheUser)
{
    if (!IsRoot())
        GTEST_SKIP() << "switching to another user needs root";
    const uid_t nobodyUid = 65534;
    const gid_t nobodyGid = 65534;
    const std::string out = env.dir() + "/report.txt";
    const int rc = RunInSubprocess(
        [&] {
            if (setresgid(nobodyGid, 0, 0) != 0)
                return 10;
            return ReportAsNobody(out);
        },
        60);
    ASSERT_EQ(rc, 0);
    const auto report = ParseReport(ReadFile(out));
    for (const char* key : {"uid", "euid", "suid"})
        EXPECT_EQ(ReportValues(report, key), std::vector<std::string>{std::to_string(nobodyUid)}) << key;
    for (const char* key : {"gid", "egid", "sgid"})
        EXPECT_EQ(ReportValues(report, key), std::vector<std::string>{std::to_string(nobodyGid)}) << key;
}

// A setgroups that a filter makes report success without doing anything
// leaves root's groups, as many as the user has: the child must see it.
// A user in as many groups as the kernel allows (65,536 with its own) is
// impersonated exactly: the groups reach the helper in its record, where no
// limit on one argument applies. The groups come from a group file of the
// test's own, mounted over /etc/group in a mount namespace of its own.
TEST_F(Hardening, AUserInEveryGroupTheKernelAllowsIsImpersonated)
{
    if (!IsRoot())
        GTEST_SKIP() << "a mount namespace and switching users need root";
    const std::string groupFile = env.dir() + "/group";
    constexpr unsigned kOthers = 65535;
    std::string text = "nogroup:x:65534:\n";
    unsigned long long sum = 65534;
    for (unsigned i = 0; i < kOthers; ++i) {
        text += "many" + std::to_string(i) + ":x:" + std::to_string(200000 + i) + ":nobody\n";
        sum += 200000 + i;
    }
    WriteFile(groupFile, text, 0644);
    const std::string out = env.dir() + "/report.txt";
    const int rc = RunInSubprocess(
        [&] {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(groupFile.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0)
                return 90;
            return ReportAsNobody(out);
        },
        120);
    if (rc == 90)
        GTEST_SKIP() << "no private mount namespace here";
    ASSERT_EQ(rc, 0);
    const auto report = ParseReport(ReadFile(out));
    EXPECT_EQ(ReportValues(report, "group-count"), std::vector<std::string>{std::to_string(kOthers + 1)});
    EXPECT_EQ(ReportValues(report, "group-sum"), std::vector<std::string>{std::to_string(sum)});
}

TEST_F(Hardening, ToolNeverRunsWithTheCallersGroups)
{
    if (!IsRoot())
        GTEST_SKIP() << "switching to another user needs root";
    const int rc = RunInSubprocess(
        [] {
            const gid_t root = 0;
            SUB_CHECK(setgroups(1, &root) == 0, 10);
            SUB_CHECK(DenySyscalls({SYS_setgroups}, 0), 11);
            MySqlChildProcess child;
            SUB_CHECK(child.Initialize(ProbeCommand("report"), "nobody", "") == 0, 12);
            SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == 0, 13);
            SUB_CHECK(child.m_childErrno == EPERM, 14);
            child.Finalize();
            SUB_CHECK(child.Wait(0) == -1 && ExitCode(child) == 81, 15);
            return 0;
        },
        60);
    EXPECT_EQ(rc, 0);
}

// A host thread that blocks SIGTERM, and a host that ignores SIGHUP, must not
// start tools that cannot be stopped or hung up; only SIGPIPE stays ignored.
TEST_F(Hardening, ToolStartsWithAnEmptyMaskAndOnlySigpipeIgnored)
{
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &old), 0);
    std::string output;
    std::thread launcher([&] {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &term, nullptr);
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize(ProbeCommand("report"), "", ""), 0);
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
        output = ReadAll(child);
        child.Finalize();
        EXPECT_EQ(child.Wait(0), 0);
    });
    launcher.join();
    sigaction(SIGHUP, &old, nullptr);
    const auto report = ParseReport(output);
    EXPECT_EQ(ReportValues(report, "SigBlk"), std::vector<std::string>{"0"});
    EXPECT_EQ(ReportValues(report, "SigIgn"), std::vector<std::string>{std::to_string(1ull << (SIGPIPE - 1))});
}

// In a PID namespace of the test's own: a child of this process given the
// pid `reused`, leading a group of its own (what a signal to a reaped tool's
// group would reach), that exits 42 once *gate (its pipe's write end) is
// closed. Its pid, or -91 when ns_last_pid cannot be set, -92 when the pid
// went elsewhere, -12 when there is no pipe.
pid_t StrangerAt(pid_t reused, int* gate)
{
    const int last = open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
    const std::string previous = std::to_string(reused - 1);
    if (last < 0 || write(last, previous.data(), previous.size()) != static_cast<ssize_t>(previous.size()))
        return -91;
    close(last);
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return -12;
    const pid_t stranger = fork();
    if (stranger == 0) {
        setpgid(0, 0);
        char c;
        close(pipeEnds[1]);
        while (read(pipeEnds[0], &c, 1) < 0 && errno == EINTR) {
        }
        _exit(42);
    }
    close(pipeEnds[0]);
    *gate = pipeEnds[1];
    return stranger == reused ? stranger : -92;
}

// Once reaped, the child's pid is free for any process. Arranged in a PID
// namespace: the pid goes to another child of the same process, whose owner
// must still reap it, and a second Wait must still give the first outcome.
TEST_F(Hardening, SecondWaitAfterPidReuseRepeatsTheOutcomeAndTouchesNoStranger)
{
    if (!IsRoot())
        GTEST_SKIP() << "a PID namespace and ns_last_pid need root";
    const int rc = RunInPidNamespace(
        [&]() -> int {
            MySqlChildProcess child;
            if (child.Initialize(ProbeCommand("exit 0"), "", "") != 0 ||
                child.HX_CreateProcess(false, false, false, false) != 0)
                _exit(10);
            child.Finalize();
            if (child.Wait(0) != 0)
                _exit(11);
            const pid_t reused = child.m_childPid;
            int gate = -1;
            const pid_t stranger = StrangerAt(reused, &gate);
            if (stranger < 0)
                _exit(-stranger);
            const int again = child.Wait(0);
            const int terminate = child.Terminate();
            const int stop = child.Stop(0);
            const int stopErr = child.m_lastErr;
            close(gate);
            int status = 0;
            const pid_t reaped = waitpid(stranger, &status, 0);
            if (again != 0 || child.m_exitStatus != 0)
                _exit(13);  // the stranger's status was taken as the child's
            if (terminate != -1 || stop != -1 || stopErr != ESRCH)
                _exit(14);
            if (reaped != stranger || !WIFEXITED(status) || WEXITSTATUS(status) != 42)
                _exit(15);  // the stranger was reaped or killed by the library
            _exit(0);
        },
        60);
    if (rc == 90 || rc == 91 || rc == 92)
        GTEST_SKIP() << "could not arrange the pid reuse (" << rc << ")";
    EXPECT_EQ(rc, 0) << "13: wrong outcome, 14: Terminate or Stop not refused, 15: the stranger was touched";
}

// A host that reaps children itself (waitpid(-1)) takes the child away from
// its object, and its pid may go to another child of the same process at
// once. The object still names its child by the pid descriptor the child
// sent from itself: no wait, stop or kill of it reaches the newcomer, whether
// that runs or has ended, and the object's own waits say ECHILD.
TEST_F(Hardening, ChildReapedByTheHostLeavesItsPidsNewOwnerAlone)
{
    if (!IsRoot())
        GTEST_SKIP() << "a PID namespace and ns_last_pid need root";
    if (UnderValgrind())
        GTEST_SKIP() << "valgrind 3.19 answers pidfd_open with ENOSYS: the library then works as on a kernel "
                        "before 5.3, where a newcomer at the pid cannot be told apart";
    const int rc = RunInPidNamespace(
        [&]() -> int {
            MySqlChildProcess child;
            if (child.Initialize(ProbeCommand("exit 0"), "", "") != 0 ||
                child.HX_CreateProcess(false, false, false, false) != 0)
                return 10;
            child.Finalize();
            const pid_t reused = child.m_childPid;
            int status = 0;
            if (waitpid(reused, &status, 0) != reused)  // the host's own reaping
                return 11;
            int gate = -1;
            const pid_t stranger = StrangerAt(reused, &gate);
            if (stranger < 0)
                return -stranger;
            // While the newcomer runs: each would have waited for it, or
            // killed it.
            SUB_CHECK(child.WaitFor(100) == -1 && child.m_lastErr == ECHILD, 13);
            SUB_CHECK(child.Terminate() == -1, 14);
            SUB_CHECK(child.Stop(0) == -1, 15);
            SUB_CHECK(child.Wait(0) == -1 && child.m_lastErr == ECHILD, 16);
            close(gate);
            // Once it has ended, a wait by pid would reap it.
            SUB_CHECK(AwaitChildEnd(stranger, 10) >= 0, 17);
            SUB_CHECK(child.Wait(0) == -1 && child.m_lastErr == ECHILD, 18);
            SUB_CHECK(waitpid(stranger, &status, 0) == stranger && WIFEXITED(status) && WEXITSTATUS(status) == 42,
                      19);
            return 0;
        },
        60);
    if (rc == 91 || rc == 92)
        GTEST_SKIP() << "could not arrange the pid reuse (" << rc << ")";
    EXPECT_EQ(rc, 0) << "see the subprocess check on standard error";
}

TEST_F(Hardening, OneWaitAtATime)
{
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("cat"), "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    ASSERT_EQ(child.BeginWait(), 0);
    EXPECT_EQ(child.BeginWait(), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBUSY);
    EXPECT_EQ(child.Wait(0), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBUSY);
    EXPECT_FALSE(child.m_waitComplete || child.m_waitFailed);
    EXPECT_EQ(env.LogCount("A wait for this child is already running"), 2);
    child.Finalize();
    ASSERT_TRUE(AwaitWaitThread(child));
    EXPECT_TRUE(child.m_waitComplete);
    EXPECT_FALSE(child.m_waitFailed);
    EXPECT_EQ(child.Wait(0), 0) << "once the thread is done the outcome is given again";
}

// Destroying an object whose wait thread still runs waits for the thread
// (under ASan a use after free would show here), and leaves no zombie. A
// tool that would run until its input ends, or that writes more than the
// pipe holds, ends because the destructor closes the pipes first.
TEST_F(Hardening, DestroyedWhileTheWaitThreadRuns)
{
    FdLeakCheck leaks;
    for (const char* tool : {"sleep 1", "cat", "emit 1048576"}) {
        SCOPED_TRACE(tool);
        pid_t pid = -1;
        {
            HangGuard guard(30, std::string("destroying the object of ") + tool);
            MySqlChildProcess child;
            ASSERT_EQ(child.Initialize(ProbeCommand(tool), "", ""), 0);
            ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
            pid = child.m_childPid;
            ASSERT_EQ(child.BeginWait(), 0);
        }
        EXPECT_FALSE(Unreaped(pid));
    }
    // The writer ends with a failed write, the other two by themselves.
    EXPECT_EQ(env.LogCount(frozen::kThreadComplete), 2);
    EXPECT_EQ(env.LogCount("Wait failed; lastErr="), 1);
}

// A daemon started with 0-2 closed: its debug log must not sit where the
// child's redirections land, or the child's own failure is never logged by a
// user who cannot reopen the root-only log.
TEST_F(Hardening, DaemonWithoutStandardDescriptorsStillGetsTheChildsLines)
{
    if (!IsRoot())
        GTEST_SKIP() << "the child must switch to a user who cannot open the log";
    TempDir locked;
    chmod(locked.path().c_str(), 0700);
    const std::string log = locked / "debug.log";
    const int rc = RunInSubprocess(
        [&] {
            close(0);
            close(1);
            close(2);
            SetEnv("HX_DEBUG_LOG", log);
            MySqlChildProcess child;
            if (child.Initialize("/nonexistent/mysql", "nobody", "") != 0 ||
                child.HX_CreateProcess(false, false, false, false) != 0)
                return 10;
            child.Finalize();
            return child.Wait(0) == -1 && ExitCode(child) == 79 && child.m_childErrno == ENOENT ? 0 : 11;
        },
        60);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(ReadFile(log).find("Child exec failed, errno: 2"), std::string::npos);
}

// Passwords given on the command line reach the tool unchanged and the debug
// log masked, at every level, also where the splitter joins them to a date or
// groups them with quotes.
TEST_F(Hardening, PasswordsAreMaskedInTheLog)
{
    const std::string command = ProbeCommand(
        "report --password=s3cret1 -ps3cret2 --password=\"s3cret 3\" --pass=s3cret4 --loose-password2=s3cret5 "
        "-Bps3cret6 --loose_password=s3cret7 --pa=s3cret8 --password -p db --port=3306 -h127.0.0.1 "
        "--stop-datetime=2024-01-31 --password=s3cret9 --stop-datetime=2024-01-31 -ps3cret10 "
        "'--user=u  --password=s3cret11 x' \"--execute=SELECT 1\" --stop-datetime=\"2024-01-31 -ps3cret12\"");
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(command, "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    const auto report = ParseReport(ReadAll(child));
    child.Finalize();
    ASSERT_EQ(child.Wait(0), 0);

    const std::vector<std::string> args = {ProbePath(), "report", "--password=s3cret1", "-ps3cret2",
                                           "--password=s3cret 3", "--pass=s3cret4", "--loose-password2=s3cret5",
                                           "-Bps3cret6", "--loose_password=s3cret7", "--pa=s3cret8", "--password",
                                           "-p", "db", "--port=3306", "-h127.0.0.1",
                                           "--stop-datetime=2024-01-31 --password=s3cret9",
                                           "--stop-datetime=2024-01-31 -ps3cret10", "--user=u --password=s3cret11 x",
                                           "--execute=SELECT 1", "--stop-datetime=2024-01-31 -ps3cret12"};
    EXPECT_EQ(ReportValues(report, "arg"), args) << "the tool receives its arguments unchanged";
    EXPECT_FALSE(env.LogHas("s3cret"));
    EXPECT_TRUE(env.LogHas("Command to run [" + std::string(ProbePath()) +
                           " report --password=***** -p***** --password=***** --pass=***** "
                           "--loose-password2=***** -Bp***** --loose_password=***** --pa=***** --password -p db "
                           "--port=3306 -h127.0.0.1 --stop-datetime=2024-01-31 --password=***** "
                           "--stop-datetime=2024-01-31 -p***** '--user=u  --password=***** \"--execute=SELECT 1\" "
                           "--stop-datetime=\"2024-01-31 -p*****]"));
    std::vector<std::string> logged;
    for (const std::string& m : env.Messages("MySqlChildProcess::PostFork"))
        if (m.rfind("Arg [", 0) == 0)
            logged.push_back(m.substr(m.find("] = ") + 4));
    const std::vector<std::string> masked = {ProbePath(), "report", "--password=*****", "-p*****",
                                             "--password=*****", "--pass=*****", "--loose-password2=*****",
                                             "-Bp*****", "--loose_password=*****", "--pa=*****", "--password",
                                             "-p", "db", "--port=3306", "-h127.0.0.1",
                                             "--stop-datetime=2024-01-31 --password=*****",
                                             "--stop-datetime=2024-01-31 -p*****", "--user=u --password=*****",
                                             "--execute=SELECT 1", "--stop-datetime=2024-01-31 -p*****"};
    EXPECT_EQ(logged, masked);
}

// mysqlchild impersonates a user in the job folder just as Initialize made it:
// no chmod of anything, yet the user gets an error file of its own.
TEST_F(Hardening, MysqlchildRunsAToolAsAnotherUserOutOfTheBox)
{
    if (!IsRoot())
        GTEST_SKIP() << "--user needs root";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(MYSQLCHILD_PATH, "mysqlchild", "--user", "nobody", ProbeCommand("stderr 0 hello").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    const int status = WaitWithDeadline(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// The processes whose parent is this one.
std::vector<pid_t> OwnChildren()
{
    std::vector<pid_t> children;
    if (DIR* proc = opendir("/proc")) {
        while (dirent* e = readdir(proc)) {
            const std::string stat = ReadFile("/proc/" + std::string(e->d_name) + "/stat");
            const size_t close = stat.rfind(')');
            char state = 0;
            int ppid = 0;
            if (close != std::string::npos && sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 &&
                ppid == getpid())
                children.push_back(static_cast<pid_t>(atoi(e->d_name)));
        }
        closedir(proc);
    }
    return children;
}

// For a child subreaper: reaps its children as they end until it has none,
// true then; at the deadline kills what is left (what that leaves orphaned
// comes to us in turn), reaps it all, and returns false.
bool AwaitNoChildren(int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool killing = false;
    for (;;) {
        const pid_t reaped = waitpid(-1, nullptr, WNOHANG);
        if (reaped < 0 && errno == ECHILD)
            return !killing;
        if (reaped > 0)
            continue;
        if (!killing && std::chrono::steady_clock::now() > deadline)
            killing = true;
        if (killing)
            for (pid_t left : OwnChildren())
                kill(left, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// mysqlchild stopped by its time limit or by a signal leaves no process of
// its chain behind: the tool's own children end with it, after SIGTERM or,
// when they ignore it, with SIGKILL after the grace. The test adopts orphans
// (a child subreaper), so whatever outlived mysqlchild is its child then.
TEST_F(Hardening, MysqlchildStopLeavesNoProcessOfTheChain)
{
    const std::string holder = "/bin/sh -c '/bin/sleep 1000 & echo ready; wait'";
    const std::string ignoring = env.dir() + "/ignoring.sh";
    WriteFile(ignoring, "trap '' TERM\n/bin/sleep 1000 &\necho ready\nwait\n", 0755);
    struct Row {
        const char* what;
        std::vector<std::string> args;
        int signal;  // sent to mysqlchild once the chain runs
        int code;
    };
    const Row rows[] = {
        {"--timeout", {"--timeout", "1", holder}, 0, 124},
        {"--timeout, SIGTERM ignored", {"--timeout", "1", "--grace", "0.2", "/bin/sh " + ignoring}, 0, 124},
        {"SIGTERM, a chain of two", {"--pipe-to", holder, holder}, SIGTERM, 143},
        {"SIGINT, --wait-thread", {"--wait-thread", holder}, SIGINT, 130},
        // The tool is gone, not yet waited for; its child holds the output.
        {"--timeout, --wait-thread, an orphan holds the output",
         {"--wait-thread", "--timeout", "1", "/bin/sh -c '/bin/sleep 1000 & echo ready'"}, 0, 124},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const int rc = RunInSubprocess([&] {
            SUB_CHECK(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0, 10);
            int out[2];
            SUB_CHECK(pipe2(out, O_CLOEXEC) == 0, 11);
            std::vector<const char*> argv{"mysqlchild"};
            for (const std::string& a : r.args)
                argv.push_back(a.c_str());
            argv.push_back(nullptr);
            const pid_t program = fork();
            SUB_CHECK(program >= 0, 12);
            if (program == 0) {
                dup2(out[1], 1);
                execv(MYSQLCHILD_PATH, const_cast<char**>(argv.data()));
                _exit(127);
            }
            close(out[1]);
            // Every step is bounded: a fault leaves no process behind either.
            int code = 0;
            std::string said;
            char buf[256];
            pollfd p{out[0], POLLIN, 0};
            while (said.find("ready") == std::string::npos && poll(&p, 1, 30000) == 1) {
                const ssize_t n = read(out[0], buf, sizeof buf);
                if (n <= 0)
                    break;
                said.append(buf, static_cast<size_t>(n));
            }
            if (said.find("ready") == std::string::npos)
                code = 13;
            else if (r.signal != 0)
                kill(program, r.signal);
            int status = -1;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (code == 0 && waitpid(program, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > deadline)
                    code = 14;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            close(out[0]);
            if (code == 0 && !(WIFEXITED(status) && WEXITSTATUS(status) == r.code))
                code = 15;
            // What is left of the chain is ours now; a process that is
            // ending is reaped as soon as it has ended.
            if (!AwaitNoChildren(code == 0 ? 20 : 0) && code == 0)
                code = 16;
            return code;
        });
        EXPECT_EQ(rc, 0) << "13: the chain never started, 14: mysqlchild did not end, 15: wrong exit status, 16: a "
                            "process of the chain is left";
    }
}

}  // namespace
