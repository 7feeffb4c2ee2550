#include <fcntl.h>
#include <signal.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <linux/close_range.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "child_process/ErrorFile.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "host/FXFile.h"

namespace LibMySqlProcess {

namespace {

constexpr char kTag[] = "MySqlChildProcess::PostFork";

// Logs the failed stage's message, tells the parent the errno through the
// report pipe and ends the child with the stage's exit code.
[[noreturn]] void ChildFailed(EvEvent* event, int reportFd, int exitCode, const char* format, int err,
                              const char* path = nullptr)
{
    if (path != nullptr)
        event->Debug(kTag, format, path, err);
    else
        event->Debug(kTag, format, err);
    ssize_t n;
    do {
        n = write(reportFd, &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    _exit(exitCode);
}

// Puts fd where the tool expects it. dup2 clears close-on-exec on its copy;
// a descriptor that already is the target (a host that started with 0-2
// closed) has the flag cleared instead, since dup2 onto itself keeps it.
bool Redirect(int fd, int target)
{
    if (fd != target)
        return dup2(fd, target) == target;
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == 0;
}

// The tool starts with every signal at its default, whatever the host had
// ignored or handled, except SIGPIPE, which it keeps ignored so that a write
// to a reader that went away fails instead of killing it. glibc refuses its
// own internal signals here; the exec resets those anyway.
void ResetSignalDispositions()
{
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP)
            continue;
        action.sa_handler = sig == SIGPIPE ? SIG_IGN : SIG_DFL;
        sigaction(sig, &action, nullptr);
    }
}

// Raw system calls: glibc's setgroups, setresgid and setresuid make every
// thread of the address space change its ids, and a child that shares the
// parent's memory would change the host's own threads.
void SwitchUser(const MySqlChildParam& param, EvEvent* event, int reportFd)
{
    const uid_t uid = param.uid;
    const gid_t gid = param.gid;
    if (syscall(SYS_setgroups, static_cast<size_t>(param.groupCount), param.groups) != 0)
        ChildFailed(event, reportFd, kExitUserSwitchFailed, "Child initgroups failed, errno %d", errno);
    gid_t rgid = 0, egid = 0, sgid = 0;
    // No setgid-family call when every group id already is the user's: a
    // filter that denies those calls must not break such a switch.
    const bool gidsMatch = syscall(SYS_getresgid, &rgid, &egid, &sgid) == 0 && rgid == gid && egid == gid && sgid == gid;
    if (!gidsMatch && syscall(SYS_setresgid, gid, gid, gid) != 0)
        ChildFailed(event, reportFd, kExitUserSwitchFailed, "Child setgid failed, errno %d", errno);
    if (syscall(SYS_setresuid, uid, uid, uid) != 0)
        ChildFailed(event, reportFd, kExitUserSwitchFailed, "Child setuid failed, errno %d", errno);

    // Fail closed: the tool runs as exactly this user or not at all. The
    // groups are compared one by one, not counted: a setgroups that a filter
    // made report success without doing anything leaves as many of root's.
    // They are read back into the room the launch left after the list, which
    // the parent never reads.
    uid_t ruid = 0, euid = 0, suid = 0;
    const size_t n = static_cast<size_t>(param.groupCount);
    gid_t* now = param.groups + n;
    const bool exact = syscall(SYS_getresuid, &ruid, &euid, &suid) == 0 && ruid == uid && euid == uid &&
                       suid == uid && syscall(SYS_getresgid, &rgid, &egid, &sgid) == 0 && rgid == gid &&
                       egid == gid && sgid == gid && syscall(SYS_getgroups, n, now) == param.groupCount &&
                       (n == 0 || memcmp(now, param.groups, n * sizeof(gid_t)) == 0);
    if (!exact)
        ChildFailed(event, reportFd, kExitUserSwitchFailed, "Child setuid failed, errno %d", EPERM);
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
    // Up to the hard limit, not the soft one: a descriptor opened before the
    // soft limit was lowered stays open above it. Bounded by the kernel's
    // default ceiling on descriptors (nr_open).
    constexpr long kCeiling = 1L << 20;
    rlimit limit{};
    long max = 65536;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        const rlim_t highest = limit.rlim_max > limit.rlim_cur ? limit.rlim_max : limit.rlim_cur;
        max = highest == RLIM_INFINITY || highest > static_cast<rlim_t>(kCeiling) ? kCeiling : static_cast<long>(highest);
    }
    for (long fd = 3; fd < max; ++fd)
        mark(static_cast<int>(fd));
}

}  // namespace

// The child's whole path from fork to exec.
//
// It must be safe in a child that shares the parent's memory (a vfork-style
// clone) as well as in a forked copy of a many-threaded host:
// - no lock another thread may hold, no allocation, no user-database lookup,
//   no stdio, no time-zone conversion: everything the child needs (its
//   argument vector, the user's ids and groups, its host objects, the texts
//   it formats) was prepared by the launch and arrives in the record;
// - no C library call that changes process-wide state: the user switch uses
//   raw system calls, the host's debug log writes without touching shared
//   state;
// - no write to memory the parent reads afterwards. Even errno belongs to the
//   suspended parent thread in a shared address space, and the parent's fork
//   restores it. The child's result (the errno of the failed stage) leaves
//   through the report pipe, which closes at the exec;
// - every end is exec or _exit, never exit: the parent's atexit handlers and
//   stdio buffers must not run or flush in the child. Nothing is freed.
void MySqlChildProcess::PostFork(void* arg)
{
    auto* param = static_cast<MySqlChildParam*>(arg);
    EvEvent* event = param->childEvent;
    const int reportFd = param->reportFd;
    ResetSignalDispositions();

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

    // The tool leads a process group of its own, so that stopping it reaches
    // the children it starts too. It cannot fail for a fresh child; if it
    // did, the group would not exist and signalling it would reach nothing.
    setpgid(0, 0);

    if (param->switchUser)
        SwitchUser(*param, event, reportFd);
    if (!Redirect(filedesPW[0], 0))
        ChildFailed(event, reportFd, kExitRedirectFailed, "Child dup2-STDIN failed errno: %d", errno);
    if (!Redirect(filedesCW[1], 1))
        ChildFailed(event, reportFd, kExitRedirectFailed, "Child dup2-STDOUT failed,errno: %d", errno);

    // The launch's own file, else opened after the user switch, with the
    // user's rights.
    const int errFd = param->errFileFd != -1
                          ? param->errFileFd
                          : OpenErrorFileForTool(errFilePath.c_str(), FXFile::DoesFileExist(errFilePath));
    if (errFd < 0)
        ChildFailed(event, reportFd, kExitRedirectFailed, "Failed to create a MySqlErrors file [%s], errno [%d]", errno,
                    errFilePath.c_str());
    if (!Redirect(errFd, 2))
        ChildFailed(event, reportFd, kExitRedirectFailed, "Child dup2-STDERR failed,errno: %d", errno);

    // Every descriptor above 2, however high: the tool may run as another user
    // and must not inherit the host's sockets or credential files.
    CloseDescriptorsFrom3AtExec();

    char** argv = param->argv;
    for (int i = 0; argv[i] != nullptr; ++i)
        event->DebugLvl(kTag, 8, "Arg [%d] = %s", i, param->logArgv[i]);

    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (useSystemLibPath) {
        static char systemLibPath[] = "LD_LIBRARY_PATH=/lib64:/lib:/usr/lib:/usr/lib64";
        char* env[] = {systemLibPath, nullptr};
        execve(argv[0], argv, env);
    } else if (useBaseLibPath) {
        umask(022);
        event->Debug(kTag, "Environment %s", param->baseLibPathEnv.c_str());
        char* env[] = {&param->baseLibPathEnv[0], nullptr};
        execve(argv[0], argv, env);
    } else {
        execv(argv[0], argv);
    }
    ChildFailed(event, reportFd, kExitExecFailed, "Child exec failed, errno: %d", errno);
}

}  // namespace LibMySqlProcess
