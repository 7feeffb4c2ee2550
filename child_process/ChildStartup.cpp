#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <linux/close_range.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "child_process/Log.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "host/FXFile.h"

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
// one call; without it the open descriptors are listed from /proc/self/fd
// (with getdents64 into the stack: opendir would allocate), and failing that
// every number below the descriptor limit is marked.
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
    const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        alignas(8) char buf[4096];
        long n;
        while ((n = syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0) {
            for (long off = 0; off < n;) {
                struct LinuxDirent64 {
                    uint64_t d_ino;
                    int64_t d_off;
                    unsigned short d_reclen;
                    unsigned char d_type;
                    char d_name[1];
                };
                const auto* entry = reinterpret_cast<const LinuxDirent64*>(buf + off);
                int fd = 0;
                bool numeric = entry->d_name[0] != '\0';
                for (const char* c = entry->d_name; *c != '\0'; ++c) {
                    numeric = numeric && *c >= '0' && *c <= '9';
                    fd = fd * 10 + (*c - '0');
                }
                if (numeric && fd >= 3 && fd != dir)
                    mark(fd);
                off += entry->d_reclen;
            }
        }
        close(dir);
        if (n == 0)
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
// initgroups), no stdio, no time-zone conversions, and no allocation (not
// every allocator resets its locks in a forked child). What the child needs
// (its argument vector, the user's ids and groups, its host objects, the
// texts it formats) was prepared in the parent and arrives in the record; the
// host's debug log takes no lock. Every end is exec or _exit, never exit: the
// parent's atexit handlers and stdio buffers were cloned too and must not run
// or flush twice. Nothing is freed.
void MySqlChildProcess::PostFork(void* arg)
{
    auto* param = static_cast<MySqlChildParam*>(arg);
    EvEvent* event = param->childEvent;

    char command[kCommandLineSize];
    char userName[kUserNameSize];
    int filedesPW[2];
    int filedesCW[2];
    bool useSystemLibPath = false;
    bool useBaseLibPath = false;
    std::string& errFilePath = param->childErrFilePath;
    GetPostForkParam(param, command, userName, filedesPW, filedesCW, event, useSystemLibPath, errFilePath,
                     useBaseLibPath);

    close(filedesPW[1]);
    filedesPW[1] = -1;
    close(filedesCW[0]);
    filedesCW[0] = -1;

    if (userName[0] != '\0' && param->switchUser) {
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
        MSCP_LOG(event, "PostFork", "Environment %s", param->baseLibPathEnv.c_str());
        char* env[] = {&param->baseLibPathEnv[0], nullptr};
        execve(argv[0], argv, env);
    } else {
        execv(argv[0], argv);
    }
    MSCP_LOG(event, "PostFork", "Child exec failed, errno: %d", errno);
    _exit(kExitExecFailed);
}

}  // namespace LibMySqlProcess
