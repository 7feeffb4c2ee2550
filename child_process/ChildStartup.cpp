#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <linux/close_range.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "child_process/Log.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "host/FXFile.h"
#include "host/FXString.h"
#include "host/HXPI.h"

namespace LibMySqlProcess {

namespace {

// Clears close-on-exec on a descriptor that is already where the tool needs
// it: the pipes are made close-on-exec, and dup2 (which clears the flag on
// its target) is skipped when source and target are the same.
bool KeepAcrossExec(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == 0;
}

// Makes every descriptor from 3 up close at the exec, however high it is.
// Marking rather than closing keeps the host's own descriptors (its debug log,
// which an impersonated user could not reopen) usable until the exec, while
// the tool still starts with nothing but 0, 1 and 2. close_range does it in
// one call; without it the open descriptors are read from /proc/self/fd, and
// failing that every number below the descriptor limit is marked.
void CloseDescriptorsFrom3AtExec()
{
#if defined(SYS_close_range) && defined(CLOSE_RANGE_CLOEXEC)
    if (syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) == 0)
        return;
#endif
    auto mark = [](int fd) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0)
            fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    };
    if (DIR* dir = opendir("/proc/self/fd")) {
        const int self = dirfd(dir);
        while (dirent* entry = readdir(dir)) {
            char* end = nullptr;
            long fd = strtol(entry->d_name, &end, 10);
            if (*end == '\0' && end != entry->d_name && fd >= 3 && fd != self)
                mark(static_cast<int>(fd));
        }
        closedir(dir);  // its own descriptor was opened close-on-exec
        return;
    }
    rlimit limit{};
    long max = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                   ? static_cast<long>(limit.rlim_cur)
                   : 65536;
    for (long fd = 3; fd < max; ++fd)
        mark(static_cast<int>(fd));
}

}  // namespace

// The child's whole path from fork to exec.
//
// This runs in a copy of a many-threaded host in which only the forking
// thread exists: any lock another thread held at the fork stays held forever.
// So nothing here may take such a lock: no user-database lookups (getpwnam,
// initgroups), no stdio, no time-zone conversions. What the child needs from
// the user database and the command line was prepared in the parent and
// arrives in the record. Allocation is safe (glibc's fork resets the
// allocator's locks in the child), and the debug log takes no lock. Every end
// is exec or _exit, never exit: the parent's atexit handlers and stdio buffers
// were cloned too and must not run or flush twice. Nothing is freed.
void MySqlChildProcess::PostFork(void* arg)
{
    auto* param = static_cast<MySqlChildParam*>(arg);
    EvEvent* event = new EvEvent();
    HXPI_CommClient* client = new HXPI_CommClient(event);

    char command[kCommandLineSize];
    char userName[kUserNameSize];
    int filedesPW[2];
    int filedesCW[2];
    bool useSystemLibPath = false;
    bool useBaseLibPath = false;
    std::string errFilePath;
    GetPostForkParam(param, command, userName, filedesPW, filedesCW, event, useSystemLibPath, errFilePath,
                     useBaseLibPath);

    close(filedesPW[1]);
    filedesPW[1] = -1;
    close(filedesCW[0]);
    filedesCW[0] = -1;

    const std::string user(userName);
    new HXPlatformInfo();

    if (!user.empty() && param->switchUser) {
        if (setgroups(static_cast<size_t>(param->groupCount), param->groups) != 0) {
            MSCP_LOG(event, "PostFork", "Child initgroups failed, errno %d", errno);
            _exit(kExitUserSwitchFailed);
        }
        if (param->gid != getgid() && setgid(param->gid) != 0) {
            MSCP_LOG(event, "PostFork", "Child setgid failed, errno %d", errno);
            _exit(kExitUserSwitchFailed);
        }
        if (setuid(param->uid) != 0) {
            MSCP_LOG(event, "PostFork", "Child setuid failed, errno %d", errno);
            _exit(kExitUserSwitchFailed);
        }
    }

    if (filedesPW[0] != 0) {
        if (dup2(filedesPW[0], 0) != 0) {
            MSCP_LOG(event, "PostFork", "Child dup2-STDIN failed errno: %d", errno);
            _exit(kExitRedirectFailed);
        }
    } else if (!KeepAcrossExec(0)) {
        MSCP_LOG(event, "PostFork", "Child dup2-STDIN failed errno: %d", errno);
        _exit(kExitRedirectFailed);
    }
    if (filedesCW[1] != 1) {
        if (dup2(filedesCW[1], 1) != 1) {
            MSCP_LOG(event, "PostFork", "Child dup2-STDOUT failed,errno: %d", errno);
            _exit(kExitRedirectFailed);
        }
    } else if (!KeepAcrossExec(1)) {
        MSCP_LOG(event, "PostFork", "Child dup2-STDOUT failed,errno: %d", errno);
        _exit(kExitRedirectFailed);
    }

    // Opened after the user switch, so that the file is created and owned
    // with the impersonated user's rights.
    int errFd;
    if (FXFile::DoesFileExist(errFilePath))
        errFd = open(errFilePath.c_str(), O_WRONLY | O_APPEND);
    else
        errFd = open(errFilePath.c_str(), O_WRONLY | O_CREAT, 0660);
    if (errFd < 0) {
        MSCP_LOG(event, "PostFork", "Failed to create a MySqlErrors file [%s], errno [%d]", errFilePath.c_str(), errno);
        _exit(kExitRedirectFailed);
    }
    if (dup2(errFd, 2) != 2) {
        MSCP_LOG(event, "PostFork", "Child dup2-STDERR failed,errno: %d", errno);
        _exit(kExitRedirectFailed);
    }

    // Every descriptor above 2, however high: the tool may run as another user
    // and must not inherit the host's sockets or credential files.
    CloseDescriptorsFrom3AtExec();

    char** argv = param->argv;
    for (int i = 0; argv[i] != nullptr; ++i)
        MSCP_LOG_LVL(event, "PostFork", 8, "Arg [%d] = %s", i, argv[i]);

    if (useSystemLibPath) {
        static char systemLibPath[] = "LD_LIBRARY_PATH=/lib64:/lib:/usr/lib:/usr/lib64";
        char* env[] = {systemLibPath, nullptr};
        execve(argv[0], argv, env);
    } else if (useBaseLibPath) {
        umask(022);
        std::string* libPath = new std::string(FXString::Format("LD_LIBRARY_PATH=%s", client->getBaseHomeDirectory()));
        MSCP_LOG(event, "PostFork", "Environment %s", libPath->c_str());
        char* env[] = {&(*libPath)[0], nullptr};
        execve(argv[0], argv, env);
    } else {
        execv(argv[0], argv);
    }
    MSCP_LOG(event, "PostFork", "Child exec failed, errno: %d", errno);
    _exit(kExitExecFailed);
}

}  // namespace LibMySqlProcess
