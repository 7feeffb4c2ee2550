// The object's life: construction, Initialize (error file, folder, limits),
// Finalize, Terminate, GetLastErr, destruction, and every operation called on
// an object that was never initialized.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child_process/LogTexts.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "support/TestSupport.h"

using LibMySqlProcess::GetMySqlInfo;
using LibMySqlProcess::MySqlChildProcess;
using testsupport::AwaitWaitThread;
using testsupport::FdLeakCheck;
using testsupport::HostEnv;
using testsupport::IsOpen;
using testsupport::ProbeCommand;
using testsupport::WaitWithDeadline;
using testsupport::AwaitChildEnd;
using testsupport::Unreaped;
using testsupport::RunInSubprocess;

namespace {

namespace frozen = LibMySqlProcess::frozen;

const char* kInitTag = "MySqlChildProcess::Initialize";

int64_t NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool IsFolder(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when this process has no child at all (none running, none unreaped).
bool HasNoChildren()
{
    siginfo_t info {};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

// The tag of a debug log line ("... pid=N tid=N L<level> <tag> <message>").
std::string TagOf(const std::string& line)
{
    size_t at = line.find(" L", line.find(" tid="));
    if (at == std::string::npos)
        return "";
    at += 2;
    while (at < line.size() && isdigit(static_cast<unsigned char>(line[at])))
        ++at;
    if (at >= line.size() || line[at] != ' ')
        return "";
    const size_t end = line.find(' ', at + 1);
    return line.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The logger keeps the log it last wrote to open; writing one line
        // here moves it to this test's log before any descriptor is counted.
        EvEvent event;
        event.Debug("LifecycleTest", "begin");
    }

    std::vector<std::string> InitMessages() const { return env.Messages(kInitTag); }

    HostEnv env;
};

// ---------------------------------------------------------------------------
// Construction and destruction

TEST_F(Lifecycle, FreshObjectHoldsNothingAndItsDestructionClosesNothing)
{
    FdLeakCheck leaks;
    const int sentinel = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(sentinel, 0);
    {
        MySqlChildProcess child;
        for (int fd : {child.m_filedesPW[0], child.m_filedesPW[1], child.m_filedesCW[0], child.m_filedesCW[1]})
            EXPECT_EQ(fd, -1);
        EXPECT_TRUE(child.m_command.empty());
        EXPECT_TRUE(child.m_errFilePath.empty());
        EXPECT_EQ(child.m_hxProcess, nullptr);
        EXPECT_EQ(child.m_waitThread, nullptr);
        EXPECT_EQ(child.m_userName[0], '\0');
        EXPECT_EQ(child.m_lastErr, 0);
        EXPECT_FALSE(child.m_waitComplete);
        EXPECT_FALSE(child.m_waitFailed);
    }
    EXPECT_TRUE(IsOpen(sentinel));
    close(sentinel);
    for (const auto& line : env.LogLines())
        EXPECT_NE(TagOf(line).rfind("MySqlChildProcess::", 0), 0u) << "construction logs nothing: " << line;
}

TEST_F(Lifecycle, DestructorClosesEveryPipeEndStillHeld)
{
    int pw[2], cw[2];
    ASSERT_EQ(pipe(pw), 0);
    ASSERT_EQ(pipe(cw), 0);
    {
        MySqlChildProcess child;
        child.m_filedesPW[0] = pw[0];
        child.m_filedesPW[1] = pw[1];
        child.m_filedesCW[0] = cw[0];
        child.m_filedesCW[1] = cw[1];
    }
    for (int fd : {pw[0], pw[1], cw[0], cw[1]})
        EXPECT_FALSE(IsOpen(fd)) << "descriptor " << fd << " left open";
}

// The destructor neither signals nor waits for a running child, yet no zombie
// is left: the library reaps it at the next destruction after its end.
TEST_F(Lifecycle, DestructorAfterALaunchWithoutFinalizeClosesTheEndsAndLeavesTheChildAlone)
{
    FdLeakCheck leaks;
    pid_t sleeper = -1;
    pid_t catPid = -1;
    for (const char* mode : {"sleep 60", "cat"}) {
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize(ProbeCommand(mode), "", ""), 0);
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
        (mode[0] == 'c' ? catPid : sleeper) = child.m_childPid;
    }
    // cat ends normally once its input is closed: it is neither killed nor
    // left waiting for input that never ends. Its own destructor may already
    // have reaped it.
    const int status = AwaitChildEnd(catPid);
    ASSERT_NE(status, -1) << "the child never saw the end of its input: an end was left open";
    EXPECT_TRUE(status == -2 || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "status " << status;
    EXPECT_EQ(AwaitChildEnd(sleeper, 0), -1) << "the destructor ended the child";
    ASSERT_TRUE(Unreaped(sleeper)) << "the destructor reaped a running child";
    kill(sleeper, SIGKILL);
    ASSERT_NE(AwaitChildEnd(sleeper), -1);

    { MySqlChildProcess later; }
    EXPECT_FALSE(Unreaped(catPid)) << "left a zombie";
    EXPECT_FALSE(Unreaped(sleeper)) << "left a zombie";
    for (const auto& line : env.LogLines())
        EXPECT_NE(TagOf(line), "MySqlChildProcess::Finalize") << "the destructor logs nothing";
}

TEST_F(Lifecycle, DestructorAfterARefusedLaunchLeaksNothing)
{
    for (const char* command : {"", " ", "     "}) {
        SCOPED_TRACE(std::string("[") + command + "]");
        FdLeakCheck leaks;
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize(command, "", ""), 0);
        EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
        EXPECT_EQ(child.m_hxProcess, nullptr);
    }
}

// The fork itself fails after both pipes exist: the ends left open must all
// be closed by the destructor.
TEST_F(Lifecycle, DestructorAfterAFailedForkLeaksNothing)
{
    const std::string command = ProbeCommand("exit 0");
    const int rc = RunInSubprocess([&] {
        const int before = testsupport::CountOpenFds();
        int heldAfterFailure = 0;
        {
            MySqlChildProcess child;
            if (child.Initialize(command, "", "") != 0)
                return 10;
            if (!testsupport::DenySyscalls({SYS_clone, SYS_clone3, SYS_fork, SYS_vfork}, EAGAIN))
                return 11;
            if (child.HX_CreateProcess(false, false, false, false) != -1)
                return 12;
            heldAfterFailure = testsupport::CountOpenFds() - before;
        }
        const int after = testsupport::CountOpenFds();
        if (after != before) {
            fprintf(stderr, "before %d, after %d (held %d after the failure)\n", before, after, heldAfterFailure);
            return 13;
        }
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

// ---------------------------------------------------------------------------
// Initialize

struct UserCase {
    std::string user;
    std::string firstLine;
};

TEST_F(Lifecycle, InitializeLogsWhetherTheChildImpersonatesAUser)
{
    const UserCase cases[] = {
        {"", frozen::kNoImpersonation},
        {"nobody", "Impersonating User [ nobody ]"},
        {"mysql", "Impersonating User [ mysql ]"},
        {"a.b-c_d", "Impersonating User [ a.b-c_d ]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("user [" + c.user + "]");
        env.ClearLog();
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize("/usr/bin/mysql --version", c.user, ""), 0);
        EXPECT_EQ(child.m_command, "/usr/bin/mysql --version");
        EXPECT_EQ(std::string(child.m_userName), c.user);
        EXPECT_EQ(InitMessages(), (std::vector<std::string>{c.firstLine, "Error file [" + child.m_errFilePath + "]"}));
    }
}

TEST_F(Lifecycle, GetMySqlInfoOverloadPassesTheImpersonationUser)
{
    const UserCase cases[] = {
        {"", frozen::kNoImpersonation},
        {"nobody", "Impersonating User [ nobody ]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("user [" + c.user + "]");
        env.ClearLog();
        GetMySqlInfo info;
        info.impersonationUser = c.user;
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize("/bin/true", &info), 0);
        EXPECT_EQ(child.m_command, "/bin/true");
        EXPECT_EQ(std::string(child.m_userName), c.user);
        ASSERT_FALSE(InitMessages().empty());
        EXPECT_EQ(InitMessages().front(), c.firstLine);
        EXPECT_EQ(InitMessages().back(), "Error file [" + child.m_errFilePath + "]");
    }
    GetMySqlInfo tooLong;
    tooLong.impersonationUser = std::string(104, 'u');
    MySqlChildProcess child;
    EXPECT_EQ(child.Initialize("/bin/true", &tooLong), -1);
    EXPECT_EQ(child.m_lastErr, ENAMETOOLONG);
}

TEST_F(Lifecycle, InitializeCreatesTheJobFolderWithItsMissingParents)
{
    const std::string results = env.dir() + "/not/yet/there";
    testsupport::SetEnv("HX_JOB_RESULTS_DIR", results);
    ASSERT_FALSE(Exists(env.dir() + "/not"));
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize("/bin/true", "", ""), 0);
    EXPECT_TRUE(IsFolder(results + "/HX_JobResults/2/0/42"));
    EXPECT_EQ(child.m_errFilePath.rfind(results + "/HX_JobResults/2/0/42/", 0), 0u) << child.m_errFilePath;
}

TEST_F(Lifecycle, InitializeLeavesAnExistingFolderAlone)
{
    const std::string folder = env.jobFolder();
    ASSERT_EQ(system(("mkdir -p '" + folder + "'").c_str()), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0750), 0);
    testsupport::WriteFile(folder + "/MySqlErrors_1.txt", "an earlier child's errors\n");
    struct stat before {};
    ASSERT_EQ(stat(folder.c_str(), &before), 0);

    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize("/bin/true", "", ""), 0);
    struct stat after {};
    ASSERT_EQ(stat(folder.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(testsupport::ReadFile(folder + "/MySqlErrors_1.txt"), "an earlier child's errors\n");

    // With folder creation refused outright: an existing folder still
    // succeeds (nothing is created), a missing one fails with the reason.
    const std::string denied = strerror(EACCES);
    const std::string missingResults = env.dir() + "/elsewhere";
    const int rc = RunInSubprocess([&] {
        if (!testsupport::DenySyscalls({SYS_mkdir, SYS_mkdirat}, EACCES))
            return 10;
        MySqlChildProcess present;
        if (present.Initialize("/bin/true", "", "") != 0)
            return 11;
        setenv("HX_JOB_RESULTS_DIR", missingResults.c_str(), 1);
        MySqlChildProcess missing;
        if (missing.Initialize("/bin/true", "", "") != -1)
            return 12;
        return 0;
    });
    EXPECT_EQ(rc, 0);
    const std::string expectedStart = "Unable to create log folder [" + missingResults + "/HX_JobResults/2/0/42], error=[";
    bool found = false;
    for (const auto& m : InitMessages()) {
        if (m.rfind(expectedStart, 0) == 0) {
            found = true;
            EXPECT_NE(m.find(denied), std::string::npos) << m;
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(Lifecycle, ErrorFilePathNamesResultsJobAndMicrosecond)
{
    struct Case {
        std::string results;
        std::string jobId;
    };
    const Case cases[] = {
        {env.resultsDir(), "42"},
        {env.resultsDir(), "0"},
        {env.resultsDir(), "-7"},
        {env.resultsDir(), "9223372036854775807"},
        {env.dir() + "/results with spaces", "1234567890123"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.results + " job " + c.jobId);
        testsupport::SetEnv("HX_JOB_RESULTS_DIR", c.results);
        testsupport::SetEnv("HX_JOB_ID", c.jobId);
        env.ClearLog();
        const int64_t before = NowUs();
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize("/bin/true", "", ""), 0);
        const int64_t after = NowUs();

        const std::string folder = c.results + "/HX_JobResults/2/0/" + c.jobId;
        const std::string prefix = folder + "/MySqlErrors_";
        const std::string& path = child.m_errFilePath;
        ASSERT_EQ(path.rfind(prefix, 0), 0u) << path;
        ASSERT_GT(path.size(), prefix.size() + 4);
        ASSERT_EQ(path.substr(path.size() - 4), ".txt") << path;
        const std::string digits = path.substr(prefix.size(), path.size() - prefix.size() - 4);
        ASSERT_FALSE(digits.empty());
        ASSERT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << digits;
        const int64_t t = std::stoll(digits);
        EXPECT_EQ(t, child.m_startTimeUs);
        // Microseconds of now; a little ahead at most, when objects made in
        // one microsecond were told apart.
        EXPECT_GE(t, before);
        EXPECT_LE(t, after + 60 * 1000 * 1000);

        EXPECT_TRUE(IsFolder(folder));
        EXPECT_FALSE(Exists(path)) << "Initialize must not create the error file";
        EXPECT_EQ(InitMessages().back(), "Error file [" + path + "]");
    }
}

TEST_F(Lifecycle, FolderThatCannotBeCreatedFailsWithTheReasonInLastErr)
{
    testsupport::WriteFile(env.dir() + "/plain", "a regular file");
    const std::string notADir = strerror(ENOTDIR);
    struct Case {
        std::string results;
        int lastErrBefore;
    };
    const Case cases[] = {
        {env.dir() + "/plain/results", 0},
        {env.dir() + "/plain", 0},
        {env.dir() + "/plain/results", 4321},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.results + " lastErr " + std::to_string(c.lastErrBefore));
        testsupport::SetEnv("HX_JOB_RESULTS_DIR", c.results);
        env.ClearLog();
        const std::string folder = c.results + "/HX_JobResults/2/0/42";
        MySqlChildProcess child;
        child.m_lastErr = c.lastErrBefore;
        EXPECT_EQ(child.Initialize("/bin/true", "nobody", ""), -1);
        EXPECT_EQ(child.m_lastErr, ENOTDIR) << "a failed Initialize says why, whatever was there before";
        EXPECT_EQ(child.m_errFilePath, folder) << "the folder path stays";
        EXPECT_EQ(child.m_command, "/bin/true");
        EXPECT_EQ(std::string(child.m_userName), "nobody");

        const auto messages = InitMessages();
        ASSERT_FALSE(messages.empty());
        const std::string& last = messages.back();
        const std::string start = "Unable to create log folder [" + folder + "], error=[";
        ASSERT_EQ(last.rfind(start, 0), 0u) << last;
        ASSERT_EQ(last.back(), ']');
        const std::string reason = last.substr(start.size(), last.size() - start.size() - 1);
        EXPECT_NE(reason.find(notADir), std::string::npos) << reason;
        for (const auto& m : messages)
            EXPECT_EQ(m.find("Error file"), std::string::npos);

        // Such an object is fit only for destruction: it launches nothing.
        const bool noChildren = HasNoChildren();
        EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
        EXPECT_EQ(child.m_hxProcess, nullptr);
        if (noChildren) {
            EXPECT_TRUE(HasNoChildren());
        }
    }
    EXPECT_EQ(testsupport::ReadFile(env.dir() + "/plain"), "a regular file");
}

struct LimitCase {
    size_t commandLength;
    size_t userLength;
    int result;
    int lastErr;  // when refused
};

TEST_F(Lifecycle, OverlongUserOrCommandIsRefusedNotShortened)
{
    const LimitCase cases[] = {
        {2999, 0, 0, 0},
        {2999, 103, 0, 0},
        {10, 103, 0, 0},
        {3000, 0, -1, E2BIG},
        {5000, 0, -1, E2BIG},
        {10, 104, -1, ENAMETOOLONG},
        {10, 500, -1, ENAMETOOLONG},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("command " + std::to_string(c.commandLength) + ", user " + std::to_string(c.userLength));
        env.ClearLog();
        std::string command = "/bin/echo ";
        command += std::string(c.commandLength - command.size(), 'c');
        ASSERT_EQ(command.size(), c.commandLength);
        const std::string user(c.userLength, 'u');

        MySqlChildProcess child;
        EXPECT_EQ(child.Initialize(command, user, ""), c.result);
        EXPECT_LT(strnlen(child.m_userName, sizeof child.m_userName), sizeof child.m_userName)
            << "m_userName must stay terminated";
        const auto messages = InitMessages();
        if (c.result == 0) {
            EXPECT_EQ(child.m_command, command);
            EXPECT_EQ(std::string(child.m_userName), user);
            EXPECT_EQ(messages.back(), "Error file [" + child.m_errFilePath + "]");
        } else {
            EXPECT_EQ(child.m_lastErr, c.lastErr);
            const size_t refusedLength = c.lastErr == E2BIG ? c.commandLength : c.userLength;
            ASSERT_EQ(messages.size(), 1u) << "one clear line, and no error file";
            EXPECT_NE(messages[0].find(std::to_string(refusedLength)), std::string::npos)
                << "the line tells the length: " << messages[0];
            EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1) << "a refused object must not launch";
            EXPECT_EQ(child.m_hxProcess, nullptr);
        }
    }
}

TEST_F(Lifecycle, LongestAcceptedCommandRunsWhole)
{
    std::string command = "/bin/echo ";
    const std::string word(2999 - command.size(), 'w');
    command += word;
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(command, "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    EXPECT_EQ(testsupport::ReadAll(child), word + "\n");
    EXPECT_EQ(child.Finalize(), 0);
    EXPECT_EQ(child.Wait(0), 0);
}

TEST_F(Lifecycle, ThirdStringHasNoEffect)
{
    const std::string thirds[] = {"", "x", std::string(5000, 't'), std::string("with\0zero", 9), "/etc/passwd"};
    MySqlChildProcess reference;
    env.ClearLog();
    ASSERT_EQ(reference.Initialize("/bin/true", "nobody", ""), 0);
    const auto referenceMessages = InitMessages();
    const std::string referenceFolder = reference.m_errFilePath.substr(0, reference.m_errFilePath.rfind('/'));
    for (const auto& third : thirds) {
        SCOPED_TRACE("third string of " + std::to_string(third.size()) + " characters");
        env.ClearLog();
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize("/bin/true", "nobody", third), 0);
        EXPECT_EQ(child.m_command, reference.m_command);
        EXPECT_STREQ(child.m_userName, reference.m_userName);
        EXPECT_EQ(child.m_errFilePath.substr(0, child.m_errFilePath.rfind('/')), referenceFolder);
        EXPECT_EQ(child.m_lastErr, 0);
        const auto messages = InitMessages();
        ASSERT_EQ(messages.size(), referenceMessages.size());
        EXPECT_EQ(messages.front(), referenceMessages.front());
        EXPECT_EQ(messages.back(), "Error file [" + child.m_errFilePath + "]");
    }
}

TEST_F(Lifecycle, ObjectsInitializedBackToBackGetDifferentErrorFiles)
{
    testsupport::SetEnv("HX_DEBUG_LEVEL", "0");  // thousands of objects; their lines are not the point
    constexpr int kObjects = 2000;
    std::set<std::string> paths;
    int64_t previous = 0;
    for (int i = 0; i < kObjects; ++i) {
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize("/bin/true", "", ""), 0);
        ASSERT_GT(child.m_startTimeUs, previous) << "object " << i;
        previous = child.m_startTimeUs;
        ASSERT_TRUE(paths.insert(child.m_errFilePath).second) << "object " << i << " shares " << child.m_errFilePath;
    }

    // And from several threads at once.
    constexpr int kThreads = 4;
    constexpr int kPerThread = 300;
    std::vector<std::vector<std::string>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                MySqlChildProcess child;
                if (child.Initialize("/bin/true", "", "") == 0)
                    made[t].push_back(child.m_errFilePath);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(made[t].size(), static_cast<size_t>(kPerThread));
        for (const auto& p : made[t])
            EXPECT_TRUE(paths.insert(p).second) << "shared error file " << p;
    }
}

// ---------------------------------------------------------------------------
// Finalize

TEST_F(Lifecycle, FinalizeTwiceClosesNothingTheSecondTime)
{
    FdLeakCheck leaks;
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("cat"), "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    const int writeEnd = child.m_filedesPW[1];
    const int readEnd = child.m_filedesCW[0];
    ASSERT_TRUE(IsOpen(writeEnd));
    ASSERT_TRUE(IsOpen(readEnd));

    EXPECT_EQ(child.Finalize(), 0);
    EXPECT_EQ(child.m_filedesPW[1], -1);
    EXPECT_EQ(child.m_filedesCW[0], -1);
    EXPECT_FALSE(IsOpen(writeEnd));
    EXPECT_FALSE(IsOpen(readEnd));

    // The freed numbers go to other files: neither the second Finalize nor
    // the destructor may close them.
    const int reuse1 = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int reuse2 = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reuse1, 0);
    ASSERT_GE(reuse2, 0);
    EXPECT_EQ(child.Finalize(), 0);
    EXPECT_TRUE(IsOpen(reuse1));
    EXPECT_TRUE(IsOpen(reuse2));
    EXPECT_EQ(env.Messages("MySqlChildProcess::Finalize"), (std::vector<std::string>{"start", "start"}));

    EXPECT_EQ(child.Wait(0), 0) << "cat ends once its input is closed";
    close(reuse1);
    close(reuse2);
}

TEST_F(Lifecycle, DestructorAfterFinalizeLeavesReusedNumbersAlone)
{
    int reuse[2] = {-1, -1};
    {
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize(ProbeCommand("cat"), "", ""), 0);
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
        EXPECT_EQ(child.Finalize(), 0);
        reuse[0] = open("/dev/null", O_RDONLY | O_CLOEXEC);
        reuse[1] = open("/dev/null", O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(child.Wait(0), 0);
    }
    EXPECT_TRUE(IsOpen(reuse[0]));
    EXPECT_TRUE(IsOpen(reuse[1]));
    close(reuse[0]);
    close(reuse[1]);
}

TEST_F(Lifecycle, FinalizeWithoutALaunchReturnsZero)
{
    FdLeakCheck leaks;
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize("/bin/true", "", ""), 0);
    EXPECT_EQ(child.Finalize(), 0);
    EXPECT_EQ(child.Finalize(), 0);
    EXPECT_EQ(child.m_lastErr, 0);
}

// ---------------------------------------------------------------------------
// Terminate

// Runs Terminate in a copy of this process in which every way to send a
// signal fails with EPERM: a refusal must come with ESRCH, so an EPERM means
// a signal was attempted. 0 when Terminate refused cleanly.
int TerminateRefusesInSandbox(const std::function<int(MySqlChildProcess&)>& setup)
{
    return RunInSubprocess([&] {
        MySqlChildProcess child;
        if (int bad = setup(child))
            return bad;
        if (!testsupport::DenySyscalls({SYS_kill, SYS_tkill, SYS_tgkill, SYS_rt_sigqueueinfo, SYS_rt_tgsigqueueinfo,
                                        SYS_pidfd_send_signal},
                                       EPERM))
            return 40;
        child.m_lastErr = 4242;
        errno = 0;
        const int rc = child.Terminate();
        const int err = errno;
        if (rc != -1)
            return 41;
        if (err == EPERM)
            return 42;  // a signal was attempted
        if (err != ESRCH)
            return 43;
        if (child.m_lastErr != 4242)
            return 44;
        return 0;
    });
}

TEST_F(Lifecycle, TerminateRefusesWhenThereIsNoLiveChild)
{
    EXPECT_EQ(TerminateRefusesInSandbox([](MySqlChildProcess&) { return 0; }), 0) << "fresh object";
    EXPECT_EQ(TerminateRefusesInSandbox([](MySqlChildProcess& c) { return c.Initialize("/bin/true", "", "") == 0 ? 0 : 30; }),
              0)
        << "initialized, not launched";
    EXPECT_EQ(TerminateRefusesInSandbox([](MySqlChildProcess& c) {
                  if (c.Initialize("", "", "") != 0)
                      return 30;
                  return c.HX_CreateProcess(false, false, false, false) == -1 ? 0 : 31;
              }),
              0)
        << "launch refused";
    const std::string command = ProbeCommand("exit 0");
    EXPECT_EQ(TerminateRefusesInSandbox([&](MySqlChildProcess& c) {
                  if (c.Initialize(command, "", "") != 0 || c.HX_CreateProcess(false, false, false, false) != 0)
                      return 30;
                  c.Finalize();
                  return c.Wait(0) == 0 ? 0 : 31;
              }),
              0)
        << "child already waited for";
}

TEST_F(Lifecycle, TerminateNeverSignalsAProcessThatIsNotTheObjectsChild)
{
    // A live process whose pid lands in m_childPid without a launch, as a
    // stale or reused pid would.
    pid_t stranger = fork();
    ASSERT_GE(stranger, 0);
    if (stranger == 0) {
        for (;;)
            pause();
    }
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize("/bin/true", "", ""), 0);
    child.m_childPid = stranger;
    errno = 0;
    EXPECT_EQ(child.Terminate(), -1);
    EXPECT_EQ(errno, ESRCH);
    int status = 0;
    EXPECT_EQ(waitpid(stranger, &status, WNOHANG), 0) << "the stranger was signalled";
    EXPECT_EQ(TerminateRefusesInSandbox([&](MySqlChildProcess& c) {
                  c.m_childPid = stranger;
                  return 0;
              }),
              0);
    kill(stranger, SIGKILL);
    WaitWithDeadline(stranger);
}

TEST_F(Lifecycle, TerminateKillsTheLiveChild)
{
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("sleep 60"), "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    child.m_lastErr = 777;
    EXPECT_EQ(child.Terminate(), 0);
    EXPECT_EQ(child.m_lastErr, 777);
    child.Finalize();
    EXPECT_EQ(child.Wait(0), -1);
    ASSERT_TRUE(child.m_exitStatusKnown);
    EXPECT_TRUE(WIFSIGNALED(child.m_exitStatus.load()));
    EXPECT_EQ(WTERMSIG(child.m_exitStatus.load()), SIGKILL);
    errno = 0;
    EXPECT_EQ(child.Terminate(), -1) << "the child has been waited for";
    EXPECT_EQ(errno, ESRCH);
}

// ---------------------------------------------------------------------------
// GetLastErr

TEST_F(Lifecycle, GetLastErrReturnsAndStoresErrno)
{
    MySqlChildProcess child;
    for (int value : {0, EINTR, ENOENT, EACCES, ENOMEM, E2BIG, ENAMETOOLONG, 4095}) {
        SCOPED_TRACE(value);
        child.m_lastErr = -99;
        errno = value;
        EXPECT_EQ(child.GetLastErr(), value);
        EXPECT_EQ(child.m_lastErr, value);
    }

    // After a call that succeeded, errno is whatever it holds, not 0.
    ASSERT_EQ(child.Initialize("/bin/true", "", ""), 0);
    errno = EEXIST;
    ASSERT_EQ(child.Finalize(), 0);
    const int now = errno;
    EXPECT_EQ(child.GetLastErr(), now);
    EXPECT_EQ(child.m_lastErr, now);

    // errno belongs to the calling thread.
    errno = EACCES;
    int other = -1;
    std::thread([&] {
        errno = EPERM;
        other = child.GetLastErr();
    }).join();
    EXPECT_EQ(other, EPERM);
    EXPECT_EQ(child.m_lastErr, EPERM);
    EXPECT_EQ(child.GetLastErr(), EACCES);
}

// ---------------------------------------------------------------------------
// Before Initialize

TEST_F(Lifecycle, EveryOperationBeforeInitializeFailsCleanlyAndLogsNothing)
{
    FdLeakCheck leaks;
    const bool noChildren = HasNoChildren();
    {
        MySqlChildProcess child;
        char data[] = "hello";
        EXPECT_EQ(child.WriteBuf(data, 5), -1);

        char buffer[64];
        memset(buffer, 'X', sizeof buffer);
        long length = sizeof buffer;
        EXPECT_EQ(child.ReadBuf(buffer, &length), -1);
        EXPECT_EQ(buffer[0], '\0');

        memset(buffer, 'X', sizeof buffer);
        length = sizeof buffer;
        EXPECT_EQ(child.ReadErrBuf(buffer, &length), -1);
        EXPECT_EQ(buffer[0], '\0');

        std::string line = "untouched";
        EXPECT_EQ(child.ReadLastErr(line, "ERROR"), -1);
        EXPECT_EQ(line, "untouched");

        child.logBufferContent();
        EXPECT_EQ(child.Wait(0), -1);
        EXPECT_EQ(child.Finalize(), 0);

        EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
        EXPECT_EQ(child.m_hxProcess, nullptr);
        for (int fd : {child.m_filedesPW[0], child.m_filedesPW[1], child.m_filedesCW[0], child.m_filedesCW[1]})
            EXPECT_EQ(fd, -1);

        // The wait thread finds nothing to wait for and says so.
        EXPECT_EQ(child.BeginWait(), 0);
        EXPECT_TRUE(AwaitWaitThread(child));
        EXPECT_TRUE(child.m_waitFailed);
        EXPECT_FALSE(child.m_waitComplete);
    }
    if (noChildren) {
        EXPECT_TRUE(HasNoChildren()) << "something was launched";
    }
    // Terminate on a fresh object is covered, with signals refused, by
    // TerminateRefusesWhenThereIsNoLiveChild.
    for (const auto& line : env.LogLines())
        EXPECT_NE(TagOf(line).rfind("MySqlChildProcess::", 0), 0u) << "logged without an event: " << line;
}

}  // namespace
