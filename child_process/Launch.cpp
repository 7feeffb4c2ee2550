#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "child_process/Log.h"
#include "child_process/MySqlChildProcess.h"
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
    // Some name services say "not found" with ENOENT rather than a null result.
    if (rc == ENOENT || (rc == 0 && result == nullptr))
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
            user.groups.resize(static_cast<size_t>(count));
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

int MySqlChildProcess::HX_CreateProcess(bool, bool, bool useSystemLibPath, bool useBaseLibPath)
{
    if (!m_initialized) {
        MSCP_LOG(m_event, "HX_CreateProcess", "Initialize has not succeeded; no child is launched");
        m_lastErr = EINVAL;
        return -1;
    }
    if (m_hxProcess != nullptr) {
        MSCP_LOG(m_event, "HX_CreateProcess", "A child has already been launched by this object");
        m_lastErr = EALREADY;
        return -1;
    }
    // An earlier launch that failed after its first pipe left ends open for
    // Finalize and the destructor; new pipes would overwrite, and leak, them.
    if (m_filedesPW[0] != -1 || m_filedesPW[1] != -1 || m_filedesCW[0] != -1 || m_filedesCW[1] != -1) {
        MSCP_LOG(m_event, "HX_CreateProcess", "An earlier launch of this object failed and left its pipes open");
        m_lastErr = EALREADY;
        return -1;
    }

    MySqlChildParam param;

    // Bad command lines are refused before anything is created.
    std::unique_ptr<char[]> argStorage;
    const int argc = SplitCommandLine(m_command.c_str(), param.argv, argStorage);
    if (argc == 0) {
        MSCP_LOG(m_event, "HX_CreateProcess", "Command line [%s] names no program to run", m_command.c_str());
        m_lastErr = EINVAL;
        return -1;
    }
    if (argc > kMaxArguments) {
        MSCP_LOG(m_event, "HX_CreateProcess", "Command line splits into %d arguments; at most %d are allowed", argc,
                 kMaxArguments);
        m_lastErr = E2BIG;
        return -1;
    }

    ResolvedUser user;
    if (m_userName[0] != '\0') {
        const int rc = ResolveUser(m_userName, user);
        if (rc != 0) {
            MSCP_LOG(m_event, "HX_CreateProcess", "Looking up user [%s] failed: errno=%d; no child is launched",
                     m_userName, rc);
            m_lastErr = rc;
            return -1;
        }
        if (!user.found)
            MSCP_LOG(m_event, "HX_CreateProcess",
                     "User [%s] is not in the user database; the child keeps the caller's identity", m_userName);
    }
    param.switchUser = user.found;
    param.uid = user.uid;
    param.gid = user.gid;
    param.groups = user.groups.data();
    param.groupCount = static_cast<int>(user.groups.size());

    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        MSCP_LOG(m_event, "HX_CreateProcess", "signal failed: errno=%d", errno);
        m_lastErr = errno;
        return -1;
    }
    // Close-on-exec, so that a child another host thread forks meanwhile does
    // not inherit our ends (and keep the tool's input open after Finalize).
    if (pipe2(m_filedesCW, O_CLOEXEC) != 0) {
        const int err = errno;
        m_filedesCW[0] = m_filedesCW[1] = -1;
        MSCP_LOG(m_event, "HX_CreateProcess", "pipe(m_filedesCW) call failed when creating m_phpipecw : errno=%d", err);
        m_lastErr = err;
        return -1;
    }
    EnlargePipe(m_filedesCW[0]);
    if (pipe2(m_filedesPW, O_CLOEXEC) != 0) {
        const int err = errno;
        m_filedesPW[0] = m_filedesPW[1] = -1;
        MSCP_LOG(m_event, "HX_CreateProcess", "pipe(m_filedesPW) call failed when creating m_phpipecw : errno=%d", err);
        m_lastErr = err;
        return -1;
    }
    EnlargePipe(m_filedesPW[0]);

    m_hxProcess = new (std::nothrow) HxProcess();
    if (m_hxProcess == nullptr) {
        MSCP_LOG(m_event, "HX_CreateProcess", "new HxProcess failed ");
        return -1;
    }

    char command[kCommandLineSize];
    CopyField(command, sizeof command, m_command.c_str());
    MSCP_LOG(m_event, "HX_CreateProcess", "Setting Post Fork Parameters...");
    MSCP_LOG(m_event, "HX_CreateProcess", "Command to run [%s]", command);
    SetPostForkParam(&param, command, m_userName, m_filedesPW, m_filedesCW, useSystemLibPath, m_errFilePath,
                     useBaseLibPath);

    // Everything the child would otherwise allocate is made here. The client
    // gives the base home; the platform information only has to exist while
    // the child starts, which the parent's copy covers.
    std::unique_ptr<EvEvent> childEvent(new (std::nothrow) EvEvent());
    std::unique_ptr<HXPI_CommClient> childClient(childEvent ? new (std::nothrow) HXPI_CommClient(childEvent.get())
                                                            : nullptr);
    std::unique_ptr<HXPlatformInfo> childPlatformInfo(new (std::nothrow) HXPlatformInfo());
    if (!childEvent || !childClient || !childPlatformInfo) {
        MSCP_LOG(m_event, "HX_CreateProcess", "Creating the child's host objects failed");
        return -1;
    }
    param.childEvent = childEvent.get();
    param.childErrFilePath.reserve(param.errFilePath.size());
    if (useBaseLibPath && !useSystemLibPath)
        param.baseLibPathEnv = FXString::Format("LD_LIBRARY_PATH=%s", childClient->getBaseHomeDirectory());

    char forkError[128] = {};
    if (!m_hxProcess->Fork(&MySqlChildProcess::PostFork, &param, forkError, 120)) {
        const int err = GetLastErr();
        MSCP_LOG(m_event, "HX_CreateProcess", "fork failed: errno=%d", err);
        return -1;
    }

    close(m_filedesPW[0]);
    m_filedesPW[0] = -1;
    close(m_filedesCW[1]);
    m_filedesCW[1] = -1;
    m_childPid = m_hxProcess->GetChildPid();
    m_exitStatusKnown = false;
    m_childLive = true;
    MSCP_LOG(m_event, "HX_CreateProcess", "Parent: child process pid= %d", m_childPid);
    return 0;
}

}  // namespace LibMySqlProcess
