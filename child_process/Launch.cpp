#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "child_process/ErrorFile.h"
#include "child_process/Log.h"
#include "child_process/MySqlChildProcess.h"
#include "child_process/Reaper.h"
#include "child_process/Secrets.h"
#include "child_process/SplitCommandLine.h"
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
            // Sorted, as the kernel keeps them, and followed by as much room
            // again, into which the child reads its groups back to compare.
            user.groups.resize(static_cast<size_t>(count));
            std::sort(user.groups.begin(), user.groups.end());
            user.groups.resize(2 * static_cast<size_t>(count));
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

// What the record points to, owned by the launch until the fork has returned.
struct LaunchPlan {
    std::unique_ptr<char[]> argStorage;
    std::vector<std::string> maskedArgs;
    ResolvedUser user;
    std::unique_ptr<EvEvent> childEvent;
    std::unique_ptr<HXPI_CommClient> childClient;
    std::unique_ptr<HXPlatformInfo> childPlatformInfo;
};

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
    return true;
}

// Resolves the impersonated user. A name the user database does not hold is
// refused: running the tool as the caller instead would run it as root.
bool MySqlChildProcess::PrepareUser(MySqlChildParam& param, LaunchPlan& plan)
{
    ResolvedUser& user = plan.user;
    if (m_userName[0] != '\0') {
        const int rc = ResolveUser(m_userName, user);
        if (rc != 0) {
            MSCP_LOG(m_event, "HX_CreateProcess", "Looking up user [%s] failed: errno=%d; no child is launched",
                     m_userName, rc);
            m_lastErr = rc;
            return false;
        }
        if (!user.found) {
            MSCP_LOG(m_event, "HX_CreateProcess", "User [%s] is not in the user database; no child is launched",
                     m_userName);
            m_lastErr = ENOENT;
            return false;
        }
    }
    param.switchUser = user.found;
    param.uid = user.uid;
    param.gid = user.gid;
    param.groups = user.groups.data();
    param.groupCount = static_cast<int>(user.groups.size() / 2);
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
        return false;
    }
    param.childEvent = plan.childEvent.get();
    // Filled here, so that the child's copy of the path into it rewrites the
    // same bytes and allocates nothing.
    param.childErrFilePath = param.errFilePath;
    if (useBaseLibPath && !useSystemLibPath)
        param.baseLibPathEnv = FXString::Format("LD_LIBRARY_PATH=%s", plan.childClient->getBaseHomeDirectory());
    return true;
}

// Both pipes, close-on-exec, so that a child another host thread forks
// meanwhile does not inherit our ends (and keep the tool's input open after
// Finalize).
bool MySqlChildProcess::MakePipes()
{
    if (pipe2(m_filedesCW, O_CLOEXEC) != 0) {
        const int err = errno;
        m_filedesCW[0] = m_filedesCW[1] = -1;
        MSCP_LOG(m_event, "HX_CreateProcess", "pipe(m_filedesCW) call failed when creating m_phpipecw : errno=%d", err);
        m_lastErr = err;
        return false;
    }
    EnlargePipe(m_filedesCW[0]);
    if (pipe2(m_filedesPW, O_CLOEXEC) != 0) {
        const int err = errno;
        m_filedesPW[0] = m_filedesPW[1] = -1;
        MSCP_LOG(m_event, "HX_CreateProcess", "pipe(m_filedesPW) call failed when creating m_phpipecw : errno=%d", err);
        m_lastErr = err;
        return false;
    }
    EnlargePipe(m_filedesPW[0]);
    return true;
}

// Forks, then learns from the report pipe how the child's start-up ended:
// the pipe closes unwritten at a successful exec, or brings the errno of the
// step that failed. Either way the launch returns only once the child has
// exec'd or ended.
bool MySqlChildProcess::ForkChild(MySqlChildParam& param)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        const int err = errno;
        MSCP_LOG(m_event, "HX_CreateProcess", "pipe(report) call failed: errno=%d", err);
        m_lastErr = err;
        return false;
    }
    // Without it the child's start-up could not be reported.
    report[1] = KeepOffStandardStreams(report[1]);
    if (report[1] < 0) {
        const int err = errno;
        close(report[0]);
        MSCP_LOG(m_event, "HX_CreateProcess", "pipe(report) call failed: errno=%d", err);
        m_lastErr = err;
        return false;
    }
    param.reportFd = report[1];

    char forkError[128] = {};
    const bool forked = m_hxProcess->Fork(&MySqlChildProcess::PostFork, &param, forkError, 120);
    const int forkErrno = errno;
    close(report[1]);
    if (forked) {
        int childErrno = 0;
        ssize_t n;
        do {
            n = read(report[0], &childErrno, sizeof childErrno);
        } while (n < 0 && errno == EINTR);
        m_childErrno = n == static_cast<ssize_t>(sizeof childErrno) ? childErrno : 0;
    }
    close(report[0]);
    if (!forked) {
        errno = forkErrno;
        const int err = GetLastErr();
        MSCP_LOG(m_event, "HX_CreateProcess", "fork failed: errno=%d", err);
        return false;
    }
    return true;
}

int MySqlChildProcess::HX_CreateProcess(bool, bool, bool useSystemLibPath, bool useBaseLibPath)
{
    if (m_phase != Phase::Initialized) {
        const bool launched = m_phase != Phase::Constructed;
        MSCP_LOG(m_event, "HX_CreateProcess", "%s",
                 launched ? "A child has already been launched by this object"
                          : "Initialize has not succeeded; no child is launched");
        m_lastErr = launched ? EALREADY : EINVAL;
        return -1;
    }
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
    if (!PrepareArguments(param, plan, commandToLog) || !PrepareUser(param, plan))
        return -1;

    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        MSCP_LOG(m_event, "HX_CreateProcess", "signal failed: errno=%d", errno);
        m_lastErr = errno;
        return -1;
    }
    if (!MakePipes())
        return -1;

    m_hxProcess = new (std::nothrow) HxProcess();
    if (m_hxProcess == nullptr) {
        MSCP_LOG(m_event, "HX_CreateProcess", "new HxProcess failed ");
        return -1;
    }

    char command[kCommandLineSize];
    CopyField(command, sizeof command, m_command.c_str());
    MSCP_LOG(m_event, "HX_CreateProcess", "Setting Post Fork Parameters...");
    MSCP_LOG(m_event, "HX_CreateProcess", "Command to run [%s]", commandToLog.c_str());
    SetPostForkParam(&param, command, m_userName, m_filedesPW, m_filedesCW, useSystemLibPath, m_errFilePath,
                     useBaseLibPath);
    if (!PrepareChildObjects(param, plan, useSystemLibPath, useBaseLibPath))
        return -1;
    param.errFileFd = PrecreateErrorFile(m_errFilePath, param.switchUser, param.uid, param.gid);
    ReapEndedChildren();

    const bool forked = ForkChild(param);
    if (param.errFileFd != -1)
        close(param.errFileFd);
    if (!forked)
        return -1;

    close(m_filedesPW[0]);
    m_filedesPW[0] = -1;
    close(m_filedesCW[1]);
    m_filedesCW[1] = -1;
    m_childPid = m_hxProcess->GetChildPid();
    m_pidfd = OpenPidFd(m_childPid);
    m_exitStatusKnown = false;
    m_phase = Phase::Launched;
    MSCP_LOG(m_event, "HX_CreateProcess", "Parent: child process pid= %d", m_childPid);
    return 0;
}

}  // namespace LibMySqlProcess
