#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "child_process/LogTexts.h"
#include "child_process/Cancellation.h"
#include "child_process/ErrorFile.h"
#include "child_process/LaunchHelperPath.h"
#include "child_process/Log.h"
#include "child_process/NoMemory.h"
#include "child_process/MySqlChildProcess.h"
#include "child_process/Reaper.h"
#include "child_process/Secrets.h"
#include "child_process/SplitCommandLine.h"
#include "child_process/StartupWait.h"
#include "host/EvDebug.h"
#include "host/FXString.h"
#include "host/HXPI.h"
#include "host/HxProcess.h"

namespace LibMySqlProcess {

namespace {

// The impersonated user as the child will need it, read from the user
// database here in the parent: in the child of a many-threaded process the C
// library's lookups can block forever on a lock some other thread held at the
// fork.
struct ResolvedUser {
    bool found = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// 0 with found set or clear; otherwise the errno-style code of a lookup that
// failed (which must not be mistaken for "no such user").
int ResolveUser(const char* name, ResolvedUser& user)
{
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 4096);
    passwd entry{};
    passwd* result = nullptr;
    int rc;
    while ((rc = getpwnam_r(name, &entry, buf.data(), buf.size(), &result)) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    // Name services say "not found" in several ways: a null result, or one
    // of these codes (getpwnam_r(3) lists them).
    if (result == nullptr && (rc == 0 || rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM))
        return 0;
    if (rc != 0)
        return rc;

    user.uid = entry.pw_uid;
    user.gid = entry.pw_gid;
    int count = 16;
    for (;;) {
        user.groups.resize(static_cast<size_t>(count));
        int asked = count;
        if (getgrouplist(entry.pw_name, entry.pw_gid, user.groups.data(), &count) >= 0) {
            // Sorted, as the kernel keeps them: the helper compares the list
            // it reads back one by one.
            user.groups.resize(static_cast<size_t>(count));
            std::sort(user.groups.begin(), user.groups.end());
            break;
        }
        if (count <= asked) {
            // No growth asked for yet still failing: the group lookup itself failed.
            return errno != 0 ? errno : EIO;
        }
    }
    user.found = true;
    return 0;
}

void CopyField(char* dst, size_t size, const char* src)
{
    memset(dst, 0, size);
    if (src != nullptr) {
        size_t n = strnlen(src, size - 1);
        memcpy(dst, src, n);
    }
}

// Four times the kernel's default: a dump or a restore then moves in fewer,
// larger reads and writes, and a caller's 1 MiB ReadBuf clears less of its
// buffer per call (about twice the throughput there, nothing lost elsewhere;
// bench/README.md has the figures). Best effort: the kernel may refuse, for
// instance an unprivileged user over its pipe quota, and the pipe then keeps
// its default size.
constexpr int kPipeSize = 256 * 1024;

void EnlargePipe(int fd)
{
    const int saved = errno;
    fcntl(fd, F_SETPIPE_SZ, kPipeSize);
    errno = saved;
}

}  // namespace

void MySqlChildProcess::SetPostForkParam(MySqlChildParam* param, char* command, char* userName, int* filedesPW,
                                         int* filedesCW, bool useSystemLibPath, const std::string& errFilePath,
                                         bool useBaseLibPath)
{
    memset(param->cmdLine, 0, sizeof param->cmdLine);
    memset(param->userName, 0, sizeof param->userName);
    param->filedesPW[0] = param->filedesPW[1] = 0;
    param->filedesCW[0] = param->filedesCW[1] = 0;
    param->useSystemLibPath = false;
    param->useBaseLibPath = false;
    param->errFilePath.clear();

    CopyField(param->cmdLine, sizeof param->cmdLine, command);
    CopyField(param->userName, sizeof param->userName, userName);
    param->useSystemLibPath = useSystemLibPath;
    param->filedesPW[0] = filedesPW[0];
    param->filedesPW[1] = filedesPW[1];
    param->filedesCW[0] = filedesCW[0];
    param->filedesCW[1] = filedesCW[1];
    param->errFilePath = errFilePath;
    param->useBaseLibPath = useBaseLibPath;
}

void MySqlChildProcess::GetPostForkParam(MySqlChildParam* param, char* command, char* userName, int* filedesPW,
                                         int* filedesCW, EvEvent*, bool& useSystemLibPath, std::string& errFilePath,
                                         bool& useBaseLibPath)
{
    CopyField(command, sizeof param->cmdLine, param->cmdLine);
    CopyField(userName, sizeof param->userName, param->userName);
    filedesPW[0] = param->filedesPW[0];
    filedesPW[1] = param->filedesPW[1];
    filedesCW[0] = param->filedesCW[0];
    filedesCW[1] = param->filedesCW[1];
    useSystemLibPath = param->useSystemLibPath;
    errFilePath = param->errFilePath;
    useBaseLibPath = param->useBaseLibPath;
}

// What the record points to, owned by the launch until the child has exec'd
// or ended.
struct LaunchPlan {
    std::unique_ptr<char[]> argStorage;
    std::vector<std::string> maskedArgs;
    ResolvedUser user;
    std::unique_ptr<EvEvent> childEvent;
    std::unique_ptr<HXPI_CommClient> childClient;
    std::unique_ptr<HXPlatformInfo> childPlatformInfo;
    std::string baseLibPathEnv;  // "LD_LIBRARY_PATH=<base home>"
    char* env[2] = {nullptr, nullptr};
    std::string helperPath;
    std::string helperNumbers;
    char* helperArgv[kMaxArguments + 5] = {};
};

namespace {

// Descriptors the launch holds until the child has them, closed however the
// launch ends (an allocation that fails and unwinds included).
template <size_t N>
struct Held {
    int fd[N];
    Held()
    {
        for (int& f : fd)
            f = -1;
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held()
    {
        for (int f : fd)
            if (f != -1)
                close(f);
    }
};

// The message of a failed start-up step, logged under the child's tag on its
// behalf: the helper carries no host library, and the child has one way out
// for every step.
void LogStartupFailure(EvEvent* event, const StartupReport& r, const char* errFile)
{
    constexpr char kTag[] = "MySqlChildProcess::PostFork";
    switch (r.step) {
    case kStepStdin:
        event->Debug(kTag, frozen::kDupStdinFailed, r.err);
        break;
    case kStepStdout:
        event->Debug(kTag, frozen::kDupStdoutFailed, r.err);
        break;
    case kStepErrorFile:
        event->Debug(kTag, frozen::kErrorFileFailed, errFile, r.err);
        break;
    case kStepStderr:
        event->Debug(kTag, frozen::kDupStderrFailed, r.err);
        break;
    case kStepGroups:
        event->Debug(kTag, frozen::kInitgroupsFailed, r.err);
        break;
    case kStepGid:
        event->Debug(kTag, frozen::kSetgidFailed, r.err);
        break;
    case kStepUid:
        event->Debug(kTag, frozen::kSetuidFailed, r.err);
        break;
    case kStepExec:
        event->Debug(kTag, frozen::kChildExecFailed, r.err);
        break;
    default:
        break;
    }
}

}  // namespace

// Splits the command line into the record's argument vector, with a masked
// copy for the log. Bad command lines are refused before anything is made.
bool MySqlChildProcess::PrepareArguments(MySqlChildParam& param, LaunchPlan& plan, std::string& commandToLog)
{
    ArgSpan spans[kArgvEntries];
    const int argc = SplitCommandLine(m_command.c_str(), param.argv, plan.argStorage, spans);
    if (argc == 0) {
        MSCP_LOG(m_event, "HX_CreateProcess", "Command line [%s] names no program to run", m_command.c_str());
        m_lastErr = EINVAL;
        return false;
    }
    if (argc > kMaxArguments) {
        MSCP_LOG(m_event, "HX_CreateProcess", "Command line splits into %d arguments; at most %d are allowed", argc,
                 kMaxArguments);
        m_lastErr = E2BIG;
        return false;
    }
    plan.maskedArgs.resize(static_cast<size_t>(argc));
    for (int i = 0; i <= argc; ++i) {
        param.logArgv[i] = param.argv[i];
        if (i < argc && MaskSecret(param.argv[i], plan.maskedArgs[static_cast<size_t>(i)]))
            param.logArgv[i] = plan.maskedArgs[static_cast<size_t>(i)].c_str();
    }
    commandToLog = MaskSecrets(m_command, param.argv, spans, argc);
    m_program = param.argv[0];
    return true;
}

// Resolves the impersonated user, and finds the helper that will switch to
// it. A name the user database does not hold is refused: running the tool as
// the caller instead would run it as root. So is a launch without a helper
// fit to run as root: the tool never starts as the caller.
bool MySqlChildProcess::PrepareUser(LaunchPlan& plan)
{
    if (m_userName[0] == '\0')
        return true;
    ResolvedUser& user = plan.user;
    const int rc = ResolveUser(m_userName, user);
    if (rc != 0) {
        MSCP_LOG(m_event, "HX_CreateProcess", "Looking up user [%s] failed: errno=%d; no child is launched",
                 m_userName, rc);
        m_lastErr = rc;
        m_launchProblem = "looking up user '" + std::string(m_userName) + "' failed: " + strerror(rc);
        return false;
    }
    if (!user.found) {
        MSCP_LOG(m_event, "HX_CreateProcess", "User [%s] is not in the user database; no child is launched",
                 m_userName);
        m_lastErr = ENOENT;
        m_launchProblem = "user '" + std::string(m_userName) + "' does not exist";
        return false;
    }
    const int err = FindLaunchHelper(plan.helperPath);
    if (err != 0) {
        const char* why = err == ENOENT  ? "missing"
                          : err == EPERM ? "others could have changed it"
                          : err == ELOOP ? "a symbolic link"
                                         : "not an executable file";
        MSCP_LOG(m_event, "HX_CreateProcess", "Launch helper [%s] cannot be used (errno=%d: %s); no child is launched",
                 plan.helperPath.c_str(), err, why);
        m_lastErr = err;
        m_launchProblem = "the launch helper " + plan.helperPath + " cannot be used: " + why;
        return false;
    }
    return true;
}

// Everything the child would otherwise allocate. The client gives the base
// home; the platform information only has to exist while the child starts,
// which the parent's copy covers.
bool MySqlChildProcess::PrepareChildObjects(MySqlChildParam& param, LaunchPlan& plan, bool useSystemLibPath,
                                            bool useBaseLibPath)
{
    plan.childEvent.reset(new (std::nothrow) EvEvent());
    if (plan.childEvent)
        plan.childClient.reset(new (std::nothrow) HXPI_CommClient(plan.childEvent.get()));
    plan.childPlatformInfo.reset(new (std::nothrow) HXPlatformInfo());
    if (!plan.childEvent || !plan.childClient || !plan.childPlatformInfo) {
        MSCP_LOG(m_event, "HX_CreateProcess", "Creating the child's host objects failed");
        m_lastErr = ENOMEM;
        return false;
    }
    param.childEvent = plan.childEvent.get();
    param.errFile = m_errFilePath.c_str();
    param.environmentLine = nullptr;
    param.baseUmask = false;
    param.execEnv = nullptr;
    static char systemLibPath[] = "LD_LIBRARY_PATH=/lib64:/lib:/usr/lib:/usr/lib64";
    if (useSystemLibPath) {
        plan.env[0] = systemLibPath;
        param.execEnv = plan.env;
    } else if (useBaseLibPath) {
        plan.baseLibPathEnv = FXString::Format("LD_LIBRARY_PATH=%s", plan.childClient->getBaseHomeDirectory());
        plan.env[0] = &plan.baseLibPathEnv[0];
        param.execEnv = plan.env;
        param.environmentLine = plan.env[0];
        param.baseUmask = true;
    }
    return true;
}

// The exec the child makes: the tool itself, or the helper with the user,
// the report pipe and the tool's argument vector.
void MySqlChildProcess::PrepareExec(MySqlChildParam& param, LaunchPlan& plan)
{
    if (!param.viaHelper) {
        param.execPath = param.argv[0];
        param.execArgv = param.argv;
        return;
    }
    const ResolvedUser& user = plan.user;
    std::string& numbers = plan.helperNumbers;
    numbers = std::to_string(param.reportFd) + "," + std::to_string(user.uid) + "," + std::to_string(user.gid) + "," +
              (param.baseUmask ? "18" : "-1") + "," + (param.errFileFd != -1 ? "1" : "0") + "," +
              std::to_string(user.groups.size());
    for (gid_t g : user.groups)
        numbers += "," + std::to_string(g);
    static char tag[] = MYSQLPROCESS_HELPER_TAG;
    char** out = plan.helperArgv;
    *out++ = &plan.helperPath[0];
    *out++ = tag;
    *out++ = &numbers[0];
    *out++ = const_cast<char*>(param.errFile);
    for (int i = 0; param.argv[i] != nullptr; ++i)
        *out++ = param.argv[i];
    *out = nullptr;
    param.execPath = plan.helperPath.c_str();
    param.execArgv = plan.helperArgv;
}

// Both pipes, close-on-exec, so that a child another host thread forks
// meanwhile does not inherit our ends (and keep the tool's input open after
// Finalize).
bool MySqlChildProcess::MakePipes()
{
    if (pipe2(m_filedesCW, O_CLOEXEC) != 0) {
        const int err = errno;
        m_filedesCW[0] = m_filedesCW[1] = -1;
        MSCP_LOG(m_event, "HX_CreateProcess", frozen::kPipeCwFailed, err);
        m_lastErr = err;
        return false;
    }
    EnlargePipe(m_filedesCW[0]);
    if (pipe2(m_filedesPW, O_CLOEXEC) != 0) {
        const int err = errno;
        m_filedesPW[0] = m_filedesPW[1] = -1;
        MSCP_LOG(m_event, "HX_CreateProcess", frozen::kPipePwFailed, err);
        m_lastErr = err;
        return false;
    }
    EnlargePipe(m_filedesPW[0]);
    return true;
}

// The report channel: a socket pair over which the child sends its own
// report pipe (see StartupReport.h). Both ends stay off 0-2, which the
// child's redirections overwrite.
bool MySqlChildProcess::MakeReportChannel(int channel[2])
{
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) == 0) {
        channel[0] = KeepOffStandardStreams(channel[0]);
        channel[1] = KeepOffStandardStreams(channel[1]);
        if (channel[0] >= 0 && channel[1] >= 0)
            return true;
    }
    const int err = errno;
    MSCP_LOG(m_event, "HX_CreateProcess", "socketpair(report) call failed: errno=%d", err);
    m_lastErr = err;
    return false;
}

// A child the launch gives up on: killed (it is ours and unreaped, so its
// pid names it still; through its pidfd where the child sent one) and reaped
// through the host, which then waits for that pid no more.
void MySqlChildProcess::AbandonChild(pid_t pid, int pidfd)
{
    if (pidfd < 0 || syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) != 0)
        kill(pid, SIGKILL);
    int status = 0;
    char error[60] = {};
    m_hxProcess->WaitForProcessToEnd(status, error, 50, -1);
}

// Forks, then learns from the report channel how the child's start-up
// ended. Either way the launch returns only once the child has exec'd the
// tool or ended. A start-up step that failed still makes a launch: the child
// ends with its stage's code, which Wait reports, and m_childErrno tells why.
// A child stopped before its exec, a helper that could not run or did not
// confirm, a report channel that could not be set up, makes none: the child
// is killed and reaped here. The child's pidfd, when it sent one, goes to
// m_pidfd.
bool MySqlChildProcess::ForkChild(MySqlChildParam& param, LaunchPlan& plan, int channel[2])
{
    char forkError[128] = {};
    const bool forked = m_hxProcess->Fork(&MySqlChildProcess::PostFork, &param, forkError, 120);
    const int forkErrno = errno;
    close(channel[1]);
    channel[1] = -1;
    if (!forked) {
        errno = forkErrno;
        const int err = GetLastErr();
        MSCP_LOG(m_event, "HX_CreateProcess", frozen::kForkFailed, err);
        return false;
    }
    // The child's ends are the child's now; closed before the hello's
    // descriptors arrive, they leave room for them in a table that is full.
    close(m_filedesPW[0]);
    m_filedesPW[0] = -1;
    close(m_filedesCW[1]);
    m_filedesCW[1] = -1;
    const pid_t pid = m_hxProcess->GetChildPid();
    const StartupResult started = AwaitStartup(channel[0], pid, param.viaHelper);
    auto abandon = [&] {
        AbandonChild(pid, started.pidfd);
        if (started.pidfd >= 0)
            close(started.pidfd);
    };
    switch (started.kind) {
    case StartupResult::Started:
        m_childErrno = 0;
        m_pidfd = started.pidfd;
        return true;
    case StartupResult::Failed:
        if (started.report.step != kStepHelperExec && started.report.step != kStepReportChannel) {
            LogStartupFailure(param.childEvent, started.report, param.errFile);
            m_childErrno = started.report.err;
            m_failedStage = started.report.exitCode;
            m_failedStep = started.report.step;
            m_pidfd = started.pidfd;
            return true;
        }
        abandon();
        m_lastErr = started.report.err;
        if (started.report.step == kStepReportChannel) {
            MSCP_LOG(m_event, "HX_CreateProcess",
                     "Child [%d] could not set up its report channel: errno=%d; no tool was started",
                     static_cast<int>(pid), started.report.err);
            m_launchProblem = std::string("could not set up the child's report channel: ") + strerror(started.report.err);
            return false;
        }
        MSCP_LOG(m_event, "HX_CreateProcess", "Launch helper [%s] could not be executed: errno=%d; no tool was started",
                 plan.helperPath.c_str(), started.report.err);
        m_launchProblem = "could not execute the launch helper " + plan.helperPath + ": " + strerror(started.report.err);
        return false;
    case StartupResult::Stopped:
        abandon();
        MSCP_LOG(m_event, "HX_CreateProcess",
                 "Child [%d] was stopped by signal %d before it started the tool; killed it, no tool was started",
                 static_cast<int>(pid), started.stopSignal);
        m_lastErr = ECANCELED;
        m_launchProblem = "was stopped by signal " + std::to_string(started.stopSignal) +
                          " before it started the tool, and killed";
        return false;
    case StartupResult::Unconfirmed:
        abandon();
        if (!param.viaHelper) {
            MSCP_LOG(m_event, "HX_CreateProcess", "Child [%d] ended before it reported; no tool was started",
                     static_cast<int>(pid));
            m_lastErr = EPROTO;
            m_launchProblem = "the child ended before it reported how its start went";
            return false;
        }
        MSCP_LOG(m_event, "HX_CreateProcess",
                 "Launch helper [%s] ended without confirming the switch to user [%s]; no tool was started",
                 plan.helperPath.c_str(), m_userName);
        m_lastErr = EPROTO;
        m_launchProblem = "the launch helper " + plan.helperPath + " ended without switching to user '" +
                          std::string(m_userName) + "'";
        return false;
    }
    return false;
}

int MySqlChildProcess::HX_CreateProcess(bool, bool, bool useSystemLibPath, bool useBaseLibPath)
{
    // From before the child exists until it is recorded, an unwinding thread
    // would leave it running unknown to anyone, its descriptors open.
    NoCancellation noCancel;
    if (m_phase != Phase::Initialized) {
        const bool launched = m_phase != Phase::Constructed;
        MSCP_LOG(m_event, "HX_CreateProcess", "%s",
                 launched ? "A child has already been launched by this object"
                          : "Initialize has not succeeded; no child is launched");
        m_lastErr = launched ? EALREADY : EINVAL;
        return -1;
    }
    m_launchProblem.clear();
    m_failedStage = m_failedStep = 0;
    if (FailingOnNoMemory(m_event, "MySqlChildProcess::HX_CreateProcess", m_lastErr,
                          [&] { return LaunchChild(useSystemLibPath, useBaseLibPath); }) != 0) {
        LaunchFailed();
        return -1;
    }
    Outcome running;
    running.state = Outcome::State::Running;
    running.text = "running";
    SetOutcome(std::move(running));
    return 0;
}

int MySqlChildProcess::LaunchChild(bool useSystemLibPath, bool useBaseLibPath)
{
    // An earlier launch that failed after its first pipe left ends open for
    // Finalize and the destructor; new pipes would overwrite, and leak, them.
    if (m_hxProcess != nullptr || m_filedesPW[0] != -1 || m_filedesPW[1] != -1 || m_filedesCW[0] != -1 ||
        m_filedesCW[1] != -1) {
        MSCP_LOG(m_event, "HX_CreateProcess", "An earlier launch of this object failed and left its pipes open");
        m_lastErr = EALREADY;
        return -1;
    }

    MySqlChildParam param;
    LaunchPlan plan;
    std::string commandToLog;
    if (!PrepareArguments(param, plan, commandToLog) || !PrepareUser(plan))
        return -1;

    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        MSCP_LOG(m_event, "HX_CreateProcess", frozen::kSignalFailed, errno);
        m_lastErr = errno;
        return -1;
    }
    if (!MakePipes())
        return -1;

    m_hxProcess = new (std::nothrow) HxProcess();
    if (m_hxProcess == nullptr) {
        MSCP_LOG(m_event, "HX_CreateProcess", frozen::kNewHxProcessFailed);
        m_lastErr = ENOMEM;
        return -1;
    }
    m_adoptionSlot = NewAdoptionSlot();
    if (m_adoptionSlot == nullptr) {
        MSCP_LOG(m_event, "HX_CreateProcess", "out of memory; errno=%d", ENOMEM);
        m_lastErr = ENOMEM;
        return -1;
    }

    MSCP_LOG(m_event, "HX_CreateProcess", frozen::kSettingParameters);
    MSCP_LOG(m_event, "HX_CreateProcess", frozen::kCommandToRun, commandToLog.c_str());
    SetPostForkParam(&param, &m_command[0], m_userName, m_filedesPW, m_filedesCW, useSystemLibPath, m_errFilePath,
                     useBaseLibPath);
    Held<2> channel;
    if (!PrepareChildObjects(param, plan, useSystemLibPath, useBaseLibPath) || !MakeReportChannel(channel.fd))
        return -1;
    param.reportFd = channel.fd[1];
    param.reportPeerFd = channel.fd[0];
    param.viaHelper = plan.user.found;
    int errFileErr = 0;
    Held<1> errFile;
    errFile.fd[0] = PrecreateErrorFile(m_errFilePath, param.viaHelper, plan.user.uid, plan.user.gid, &errFileErr);
    param.errFileFd = errFile.fd[0];
    param.errFileErr = errFileErr == EEXIST ? 0 : errFileErr;
    PrepareExec(param, plan);
    ReapEndedChildren();

    if (!ForkChild(param, plan, channel.fd))
        return -1;

    m_childPid = m_hxProcess->GetChildPid();
    m_exitStatusKnown = false;
    m_phase = Phase::Launched;
    MSCP_LOG(m_event, "HX_CreateProcess", frozen::kChildPid, m_childPid);
    return 0;
}

}  // namespace LibMySqlProcess
