#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "child_process/Cancellation.h"
#include "child_process/ChildPlan.h"
#include "child_process/ErrorFile.h"
#include "child_process/LaunchHelperPath.h"
#include "child_process/LaunchOptions.h"
#include "child_process/Log.h"
#include "child_process/LogTexts.h"
#include "child_process/MySqlChildProcess.h"
#include "child_process/NoMemory.h"
#include "child_process/Reaper.h"
#include "child_process/Secrets.h"
#include "child_process/SplitCommandLine.h"
#include "child_process/StartupSteps.h"
#include "child_process/StartupWait.h"
#include "host/EvDebug.h"
#include "host/FXString.h"
#include "host/HXPI.h"
#include "host/HxProcess.h"

namespace LibMySqlProcess {

namespace {

constexpr char kTag[] = "MySqlChildProcess::HX_CreateProcess";

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
    // More than the kernel lets a process hold: the switch could not be exact.
    if (user.groups.size() > kMaxGroups)
        return EINVAL;
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

// The helper's record goes into a memory file, sealed once written: nobody,
// the child included, can change it then, and its size meets no argument
// limit. Made before the error file, so that a table too full for both
// fails at the error file, which says so in the start-up's terms. The
// descriptor (close-on-exec, 3 or above), or -1 with errno.
int OpenHelperRecord()
{
    return KeepOffStandardStreams(memfd_create("mysqlprocess-helper-record", MFD_CLOEXEC | MFD_ALLOW_SEALING));
}

// 0, or the errno of the write or the seal.
int WriteHelperRecord(int fd, const ResolvedUser& user, bool stderrReady, int jobFolder, const char* errFileName,
                      const ToolSettings& settings)
{
    const std::string errFile = errFileName;
    if (errFile.size() >= kMaxErrorFilePath)
        return ENAMETOOLONG;
    HelperRecord header{};
    header.magic = kHelperRecordMagic;
    header.version = kHelperRecordVersion;
    header.headerSize = sizeof header;
    header.groupCount = static_cast<uint32_t>(user.groups.size());
    header.errorFileLength = static_cast<uint32_t>(errFile.size());
    header.size = static_cast<uint32_t>(sizeof header + user.groups.size() * sizeof(uint32_t) + errFile.size());
    header.uid = user.uid;
    header.gid = user.gid;
    header.stderrReady = stderrReady ? 1 : 0;
    header.jobFolder = jobFolder;
    header.settings = settings;
    std::vector<char> record(header.size);
    memcpy(record.data(), &header, sizeof header);
    for (size_t i = 0; i < user.groups.size(); ++i) {
        const uint32_t g = user.groups[i];
        memcpy(record.data() + sizeof header + i * sizeof g, &g, sizeof g);
    }
    memcpy(record.data() + sizeof header + user.groups.size() * sizeof(uint32_t), errFile.data(), errFile.size());
    for (size_t done = 0; done < record.size();) {
        const ssize_t n = write(fd, record.data() + done, record.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 ? EIO : errno;
        done += static_cast<size_t>(n);
    }
    if (fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        return errno;
    return 0;
}

}  // namespace

void MySqlChildProcess::SetPostForkParam(MySqlChildParam* param, char* command, char* userName, int* filedesPW,
                                         int* filedesCW, bool useSystemLibPath, const std::string& errFilePath,
                                         bool useBaseLibPath)
{
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

// One launch: it prepares everything the child reads into the child's
// record (and the helper's), forks, and learns how the start-up went. What it
// learns goes into the launch record; a step that fails says why there and
// in m_lastErr, and the launch makes no child.
struct MySqlChildProcess::Launcher {
    Launcher(MySqlChildProcess& object, LaunchRecord& learned) : self(object), record(learned) {}

    MySqlChildProcess& self;
    LaunchRecord& record;
    EvEvent* event = self.m_event;

    // What the child's record points to, owned here until the child has
    // exec'd or ended.
    std::unique_ptr<char[]> argStorage;
    char* argv[kArgvEntries] = {};
    const char* logArgv[kArgvEntries] = {};
    std::vector<std::string> maskedArgs;
    std::string commandToLog;
    ResolvedUser user;
    std::string helperPath;
    std::unique_ptr<EvEvent> childEvent;
    std::unique_ptr<HXPI_CommClient> childClient;
    std::unique_ptr<HXPlatformInfo> childPlatformInfo;
    std::string baseLibPathEnv;  // "LD_LIBRARY_PATH=<base home>"
    char* env[2] = {nullptr, nullptr};
    char recordFdText[16] = {};
    char reportFdText[16] = {};
    char* helperArgv[kArgvEntries + 4] = {};
    Held<2> channel;     // the report channel: the launch's end, the child's end
    Held<1> errFile;     // the error file as the launch made it
    Held<1> helperRecord;
    Held<2> cgroup;  // the tool's control group (O_PATH) and its cgroup.procs
    ChildPlan child{};

    bool Failed(int err, const std::string& problem = std::string())
    {
        self.m_lastErr = err;
        record.err = err;
        record.problem = problem;
        return false;
    }

    int Run(bool useSystemLibPath, bool useBaseLibPath);
    bool PrepareArguments();
    bool PrepareUser();
    bool MakePipes();
    bool PrepareChildObjects(bool useSystemLibPath, bool useBaseLibPath);
    bool PrepareSettings();
    bool MakeReportChannel();
    bool PrepareExec();
    bool HelperRecordFailed(int err);
    bool Fork();
    void Abandon(pid_t pid, int pidfd);
};

// Splits the command line into the child's argument vector, with a masked
// copy for the log. Bad command lines are refused before anything is made.
bool MySqlChildProcess::Launcher::PrepareArguments()
{
    ArgSpan spans[kArgvEntries];
    const int argc = SplitCommandLine(self.m_command.c_str(), argv, argStorage, spans);
    if (argc == 0) {
        MSCP_LOG_TAG(event, kTag, "Command line [%s] names no program to run", self.m_command.c_str());
        return Failed(EINVAL);
    }
    if (argc > kMaxArguments) {
        MSCP_LOG_TAG(event, kTag, "Command line splits into %d arguments; at most %d are allowed", argc,
                     kMaxArguments);
        return Failed(E2BIG);
    }
    maskedArgs.resize(static_cast<size_t>(argc));
    for (int i = 0; i <= argc; ++i) {
        logArgv[i] = argv[i];
        if (i < argc && MaskSecret(argv[i], maskedArgs[static_cast<size_t>(i)]))
            logArgv[i] = maskedArgs[static_cast<size_t>(i)].c_str();
    }
    commandToLog = MaskSecrets(self.m_command, argv, spans, argc);
    record.program = argv[0];
    child.argv = argv;
    child.logArgv = logArgv;
    return true;
}

// Resolves the impersonated user, and finds the helper that will switch to
// it. A name the user database does not hold is refused: running the tool as
// the caller instead would run it as root. So is a launch without a helper
// fit to run as root: the tool never starts as the caller.
bool MySqlChildProcess::Launcher::PrepareUser()
{
    const char* name = self.m_userName;
    if (name[0] == '\0')
        return true;
    const int rc = ResolveUser(name, user);
    if (rc != 0) {
        MSCP_LOG_TAG(event, kTag, "Looking up user [%s] failed: errno=%d; no child is launched", name, rc);
        return Failed(rc, "looking up user '" + std::string(name) + "' failed: " + strerror(rc));
    }
    if (!user.found) {
        MSCP_LOG_TAG(event, kTag, "User [%s] is not in the user database; no child is launched", name);
        return Failed(ENOENT, "user '" + std::string(name) + "' does not exist");
    }
    const int err = FindLaunchHelper(helperPath);
    if (err != 0) {
        const char* why = err == ENOENT  ? "missing"
                          : err == EPERM ? "others could have changed it"
                          : err == ELOOP ? "a symbolic link"
                                         : "not an executable file";
        MSCP_LOG_TAG(event, kTag, "Launch helper [%s] cannot be used (errno=%d: %s); no child is launched",
                     helperPath.c_str(), err, why);
        return Failed(err, "the launch helper " + helperPath + " cannot be used: " + why);
    }
    child.viaHelper = true;
    return true;
}

// Both pipes, close-on-exec, so that a child another host thread forks
// meanwhile does not inherit our ends (and keep the tool's input open after
// Finalize). They are the object's from here on: a launch that fails later
// leaves them to Finalize and the destructor.
bool MySqlChildProcess::Launcher::MakePipes()
{
    for (int* ends : {self.m_filedesCW, self.m_filedesPW}) {
        if (pipe2(ends, O_CLOEXEC) != 0) {
            const int err = errno;
            ends[0] = ends[1] = -1;
            MSCP_LOG_TAG(event, kTag, ends == self.m_filedesCW ? frozen::kPipeCwFailed : frozen::kPipePwFailed, err);
            return Failed(err);
        }
        EnlargePipe(ends[0]);
        (ends == self.m_filedesCW ? self.m_outputPipeSize : self.m_inputPipeSize) = fcntl(ends[0], F_GETPIPE_SZ);
    }
    child.toolInput = self.m_filedesPW[0];
    child.toolOutput = self.m_filedesCW[1];
    child.launchEnds[0] = self.m_filedesPW[1];
    child.launchEnds[1] = self.m_filedesCW[0];
    return true;
}

// Everything the child would otherwise allocate, and the environment it
// gives the tool. The client gives the base home; the platform information
// only has to exist while the child starts, which the parent's copy covers.
bool MySqlChildProcess::Launcher::PrepareChildObjects(bool useSystemLibPath, bool useBaseLibPath)
{
    childEvent.reset(new (std::nothrow) EvEvent());
    if (childEvent)
        childClient.reset(new (std::nothrow) HXPI_CommClient(childEvent.get()));
    childPlatformInfo.reset(new (std::nothrow) HXPlatformInfo());
    if (!childEvent || !childClient || !childPlatformInfo) {
        MSCP_LOG_TAG(event, kTag, "Creating the child's host objects failed");
        return Failed(ENOMEM);
    }
    child.childEvent = childEvent.get();
    child.errFile = self.m_errFilePath.c_str();
    child.jobFolder = self.m_jobFolder;
    child.errFileName = self.ErrorFileName();
    child.settings.umask = -1;
    static char systemLibPath[] = "LD_LIBRARY_PATH=/lib64:/lib:/usr/lib:/usr/lib64";
    if (useSystemLibPath) {
        env[0] = systemLibPath;
        child.execEnv = env;
    } else if (useBaseLibPath) {
        baseLibPathEnv = FXString::Format("LD_LIBRARY_PATH=%s", childClient->getBaseHomeDirectory());
        env[0] = &baseLibPathEnv[0];
        child.execEnv = env;
        child.environmentLine = env[0];
        child.settings.umask = 022;
    }
    return true;
}

// The launch options as the child or the helper applies them; with a
// control group, its cgroup.procs opened here for the child to write to.
bool MySqlChildProcess::Launcher::PrepareSettings()
{
    const char* what = "";
    const int err = ToToolSettings(self.m_options, child.settings, &cgroup.fd[0], &what);
    if (err != 0) {
        MSCP_LOG_TAG(event, kTag, "Launch option %s cannot be applied: errno=%d; no child is launched", what, err);
        return Failed(err, std::string("its ") + what + " cannot be used: " + strerror(err));
    }
    cgroup.fd[1] = child.settings.cgroupProcs;
    return true;
}

// The report channel: a socket pair over which the child sends its own
// report pipe (see HelperProtocol.h). Both ends stay off 0-2, which the
// child's redirections overwrite.
bool MySqlChildProcess::Launcher::MakeReportChannel()
{
    int* ends = channel.fd;
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0) {
        ends[0] = KeepOffStandardStreams(ends[0]);
        ends[1] = KeepOffStandardStreams(ends[1]);
        if (ends[0] >= 0 && ends[1] >= 0) {
            child.reportFd = ends[1];
            child.launchEnds[2] = ends[0];
            return true;
        }
    }
    const int err = errno;
    MSCP_LOG_TAG(event, kTag, "socketpair(report) call failed: errno=%d", err);
    return Failed(err);
}

// The error file, made here where it can be (see ErrorFile.h), and the exec
// the child makes: the tool itself, or the helper with its record and the
// tool's argument vector.
bool MySqlChildProcess::Launcher::PrepareExec()
{
    if (child.viaHelper && (helperRecord.fd[0] = OpenHelperRecord()) < 0)
        return HelperRecordFailed(errno);
    int err = 0;
    errFile.fd[0] = PrecreateErrorFile(child.jobFolder, child.errFileName, child.viaHelper, user.uid, user.gid, &err);
    child.errFileFd = errFile.fd[0];
    child.errFileErr = err == EEXIST ? 0 : err;
    child.helperRecord = helperRecord.fd[0];
    if (!child.viaHelper) {
        child.execPath = argv[0];
        child.execArgv = argv;
        return true;
    }
    if ((err = WriteHelperRecord(helperRecord.fd[0], user, child.errFileFd != -1, child.jobFolder,
                                 child.errFileName, child.settings)) != 0)
        return HelperRecordFailed(err);
    static char tag[] = MYSQLPROCESS_HELPER_TAG;
    snprintf(recordFdText, sizeof recordFdText, "%d", helperRecord.fd[0]);
    snprintf(reportFdText, sizeof reportFdText, "%d", child.reportFd);
    char** out = helperArgv;
    *out++ = &helperPath[0];
    *out++ = tag;
    *out++ = recordFdText;
    *out++ = reportFdText;
    for (int i = 0; argv[i] != nullptr; ++i)
        *out++ = argv[i];
    *out = nullptr;
    child.execPath = helperPath.c_str();
    child.execArgv = helperArgv;
    return true;
}

bool MySqlChildProcess::Launcher::HelperRecordFailed(int err)
{
    MSCP_LOG_TAG(event, kTag, "Writing the launch helper's record failed: errno=%d; no child is launched", err);
    return Failed(err);
}

// A child the launch gives up on: killed (it is ours and unreaped, so its
// pid names it still; through its pidfd where the child sent one) and reaped
// through the host, which then waits for that pid no more.
void MySqlChildProcess::Launcher::Abandon(pid_t pid, int pidfd)
{
    if (pidfd < 0 || syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) != 0)
        kill(pid, SIGKILL);
    int status = 0;
    char error[60] = {};
    self.m_hxProcess->WaitForProcessToEnd(status, error, 50, -1);
    if (pidfd >= 0)
        close(pidfd);
}

// Forks, then learns from the report channel how the child's start-up
// ended. Either way the launch returns only once the child has exec'd the
// tool or ended. A start-up step that failed still makes a launch: the child
// ends with its stage's code, which Wait reports, and the record says why. A
// child stopped before its exec, a helper that could not run or did not
// confirm, a report channel that could not be set up, makes none: the child
// is killed and reaped here. The child's pidfd, when it sent one, goes to
// m_pidfd.
bool MySqlChildProcess::Launcher::Fork()
{
    char forkError[128] = {};
    const bool forked = self.m_hxProcess->Fork(&MySqlChildProcess::PostFork, &child, forkError, 120);
    const int forkErrno = errno;
    close(channel.fd[1]);
    channel.fd[1] = -1;
    if (!forked) {
        MSCP_LOG_TAG(event, kTag, frozen::kForkFailed, forkErrno);
        return Failed(forkErrno);
    }
    // The child's ends are the child's now; closed before the hello's
    // descriptors arrive, they leave room for them in a table that is full.
    close(self.m_filedesPW[0]);
    self.m_filedesPW[0] = -1;
    close(self.m_filedesCW[1]);
    self.m_filedesCW[1] = -1;
    const pid_t pid = self.m_hxProcess->GetChildPid();
    const StartupResult started = AwaitStartup(channel.fd[0], pid, child.viaHelper);
    const StartupReport& report = started.report;
    switch (started.kind) {
    case StartupResult::Started:
        self.m_pidfd = started.pidfd;
        return true;
    case StartupResult::Failed:
        if (report.step != kStepHelperExec && report.step != kStepReportChannel) {
            LogStartupFailure(child.childEvent, report, child.errFile);
            record.err = report.err;
            record.failedStage = report.exitCode;
            record.failedStep = report.step;
            self.m_pidfd = started.pidfd;
            return true;
        }
        Abandon(pid, started.pidfd);
        if (report.step == kStepReportChannel) {
            MSCP_LOG_TAG(event, kTag, "Child [%d] could not set up its report channel: errno=%d; no tool was started",
                         static_cast<int>(pid), report.err);
            return Failed(report.err,
                          std::string("could not set up the child's report channel: ") + strerror(report.err));
        }
        MSCP_LOG_TAG(event, kTag, "Launch helper [%s] could not be executed: errno=%d; no tool was started",
                     helperPath.c_str(), report.err);
        return Failed(report.err, "could not execute the launch helper " + helperPath + ": " + strerror(report.err));
    case StartupResult::Stopped:
        Abandon(pid, started.pidfd);
        MSCP_LOG_TAG(event, kTag,
                     "Child [%d] was stopped by signal %d before it started the tool; killed it, no tool was started",
                     static_cast<int>(pid), started.stopSignal);
        return Failed(ECANCELED, "was stopped by signal " + std::to_string(started.stopSignal) +
                                     " before it started the tool, and killed");
    case StartupResult::Unconfirmed:
        Abandon(pid, started.pidfd);
        if (!child.viaHelper) {
            MSCP_LOG_TAG(event, kTag, "Child [%d] ended before it reported; no tool was started",
                         static_cast<int>(pid));
            return Failed(EPROTO, "the child ended before it reported how its start went");
        }
        MSCP_LOG_TAG(event, kTag,
                     "Launch helper [%s] ended without confirming the switch to user [%s]; no tool was started",
                     helperPath.c_str(), self.m_userName);
        return Failed(EPROTO, "the launch helper " + helperPath + " ended without switching to user '" +
                                  std::string(self.m_userName) + "'");
    }
    return false;
}

int MySqlChildProcess::Launcher::Run(bool useSystemLibPath, bool useBaseLibPath)
{
    // An earlier launch that failed after its first pipe left ends open for
    // Finalize and the destructor; new pipes would overwrite, and leak, them.
    if (self.m_hxProcess != nullptr || self.m_filedesPW[0] != -1 || self.m_filedesPW[1] != -1 ||
        self.m_filedesCW[0] != -1 || self.m_filedesCW[1] != -1) {
        MSCP_LOG_TAG(event, kTag, "An earlier launch of this object failed and left its pipes open");
        Failed(EALREADY);
        return -1;
    }
    if (!PrepareArguments() || !PrepareUser())
        return -1;
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        const int err = errno;
        MSCP_LOG_TAG(event, kTag, frozen::kSignalFailed, err);
        Failed(err);
        return -1;
    }
    if (!MakePipes())
        return -1;
    self.m_hxProcess = new (std::nothrow) HxProcess();
    if (self.m_hxProcess == nullptr) {
        MSCP_LOG_TAG(event, kTag, frozen::kNewHxProcessFailed);
        Failed(ENOMEM);
        return -1;
    }
    self.m_adoptionSlot = NewAdoptionSlot();
    if (self.m_adoptionSlot == nullptr) {
        MSCP_LOG_TAG(event, kTag, "out of memory; errno=%d", ENOMEM);
        Failed(ENOMEM);
        return -1;
    }
    MSCP_LOG_TAG(event, kTag, frozen::kSettingParameters);
    MSCP_LOG_TAG(event, kTag, frozen::kCommandToRun, commandToLog.c_str());
    if (!PrepareChildObjects(useSystemLibPath, useBaseLibPath) || !PrepareSettings() || !MakeReportChannel() ||
        !PrepareExec())
        return -1;
    ReapEndedChildren();
    if (!Fork())
        return -1;
    self.m_cgroupFd = cgroup.fd[0];
    cgroup.fd[0] = -1;
    self.m_childPid = self.m_hxProcess->GetChildPid();
    self.m_exitStatusKnown = false;
    self.m_phase = Phase::Launched;
    MSCP_LOG_TAG(event, kTag, frozen::kChildPid, self.m_childPid);
    return 0;
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
    LaunchRecord record;
    const int rc = FailingOnNoMemory(m_event, kTag, m_lastErr, [&] {
        Launcher launch{*this, record};
        return launch.Run(useSystemLibPath, useBaseLibPath);
    });
    if (rc != 0)
        record.err = m_lastErr;  // also where memory ran out
    m_launch = std::move(record);
    if (rc != 0) {
        SetOutcome(Unlaunched(m_launch));
        return -1;
    }
    m_childErrno = m_launch.err;
    Outcome running;
    running.state = Outcome::State::Running;
    running.text = "running";
    SetOutcome(std::move(running));
    return 0;
}

}  // namespace LibMySqlProcess
