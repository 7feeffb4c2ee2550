#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <linux/close_range.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "child_process/LogTexts.h"
#include "child_process/ErrorFile.h"
#include "child_process/ChildPlan.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"

namespace LibMySqlProcess {

namespace {

constexpr char kTag[] = "MySqlChildProcess::PostFork";

// The one way out of a failed step: the step and its errno go to the launch,
// which logs the step's message, and the child ends with the stage's code.
[[noreturn]] void ChildFailed(int reportFd, int exitCode, StartupStep step, int err)
{
    const StartupReport record{kReportMagic, exitCode, step, err};
    ssize_t n;
    do {
        n = write(reportFd, &record, sizeof record);
    } while (n < 0 && errno == EINTR);
    _exit(exitCode);
}

// The child's own report pipe, in place of the socket end the launch gave
// it (see HelperProtocol.h): the read end and a pid descriptor of this very
// process go to the launch in the hello record, and the write end takes the
// socket's number. 0 or the errno; *reportTo is where a failure is reported:
// the socket until the hello is sent, the pipe afterwards.
int OpenReportChannel(int socketFd, int* reportTo)
{
    *reportTo = socketFd;
    int pidfd = -1;
#ifdef SYS_pidfd_open
    pidfd = static_cast<int>(syscall(SYS_pidfd_open, syscall(SYS_getpid), 0));
    if (pidfd < 0 && errno != ENOSYS)
        return errno;
#endif
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) {
        const int err = errno;
        if (pidfd >= 0)
            close(pidfd);
        return err;
    }
    const int fds[2] = {pipe[0], pidfd};
    const size_t count = pidfd >= 0 ? 2 : 1;
    const StartupReport hello{kReportMagic, kReportHello, kStepNone, 0};
    iovec iov{const_cast<StartupReport*>(&hello), sizeof hello};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(count * sizeof(int));
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(count * sizeof(int));
    memcpy(CMSG_DATA(c), fds, count * sizeof(int));
    ssize_t n;
    do {
        n = sendmsg(socketFd, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    const int sendErrno = errno;
    close(pipe[0]);
    if (pidfd >= 0)
        close(pidfd);
    if (n != static_cast<ssize_t>(sizeof hello)) {
        close(pipe[1]);
        return n < 0 ? sendErrno : EPROTO;
    }
    *reportTo = pipe[1];
    if (dup3(pipe[1], socketFd, O_CLOEXEC) != socketFd)
        return errno;
    close(pipe[1]);
    *reportTo = socketFd;
    return 0;
}

// A system call for ApplyToolSettings: its result, or -errno.
struct RawSyscall {
    template <typename... Args>
    long operator()(long number, Args... args) const
    {
        const long rc = syscall(number, static_cast<long>(args)...);
        return rc < 0 ? -errno : rc;
    }
};

// Puts fd where the tool expects it: 0 or the errno. dup2 clears
// close-on-exec on its copy; a descriptor that already is the target (a host
// that started with 0-2 closed) has the flag cleared instead, since dup2
// onto itself keeps it.
int Redirect(int fd, int target)
{
    if (fd != target)
        return dup2(fd, target) == target ? 0 : errno;
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == 0 ? 0 : errno;
}

// The tool starts with every signal at its default, whatever the host had
// ignored or handled, except SIGPIPE, which it keeps ignored so that a write
// to a reader that went away fails instead of killing it. The kernel's own
// call, not the C library's: a runtime that wraps sigaction (a sanitizer's)
// may take a lock there that another thread of the parent held at the fork.
// The child has a signal table of its own, so glibc's internal signals may
// go back to their defaults too, as the exec would put them anyway.
void ResetSignalDispositions()
{
    struct KernelSigaction {
        void (*handler)(int);
        unsigned long flags;
        void (*restorer)();
        uint64_t mask;
    };
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP)
            continue;
        const KernelSigaction action{sig == SIGPIPE ? SIG_IGN : SIG_DFL, 0, nullptr, 0};
        syscall(SYS_rt_sigaction, sig, &action, nullptr, sizeof action.mask);
    }
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

// The standard error the tool gets: the file the launch created, else the
// path opened with the caller's rights. When the helper switches the user,
// the path is left to it, to be opened as the user; descriptor 2 is closed
// meanwhile, so that nothing of the agent's reaches the helper there.
int SetUpStandardError(const ChildPlan& p, StartupStep& step)
{
    step = kStepErrorFile;
    if (p.errFileErr != 0)
        return p.errFileErr;
    step = kStepStderr;
    if (p.errFileFd != -1)
        return Redirect(p.errFileFd, 2);
    if (p.viaHelper) {
        close(2);
        return 0;
    }
    step = kStepErrorFile;
    const int fd = OpenErrorFileForTool(p.jobFolder, p.errFileName);
    if (fd < 0)
        return errno;
    step = kStepStderr;
    return Redirect(fd, 2);
}

}  // namespace

// The child's whole path from fork to exec.
//
// It must be safe in a child that shares the parent's memory (a vfork-style
// clone) as well as in a forked copy of a many-threaded host:
// - no lock another thread may hold, no allocation, no user-database lookup,
//   no stdio, no time-zone conversion: everything the child needs (its
//   argument vector, the exec it makes, its host objects, the texts it logs)
//   was prepared by the launch and arrives in the record;
// - no C library call that changes process-wide state, and no change of
//   credentials: a child that shares the agent's memory and switched user
//   would make that memory undumpable and belong to another account; the
//   launch helper switches the user after its own exec;
// - no write to memory the parent reads afterwards. Even errno belongs to the
//   suspended parent thread in a shared address space, and the parent's fork
//   restores it. The child's result (the failed step and its errno) leaves
//   through the report pipe, which closes at the exec;
// - every end is exec or _exit, never exit: the parent's atexit handlers and
//   stdio buffers must not run or flush in the child. Nothing is freed.
// Each step returns 0 or an errno; a failure ends the child at once through
// ChildFailed, with its stage's exit code.
void MySqlChildProcess::PostFork(void* arg)
{
    const ChildPlan& p = *static_cast<const ChildPlan*>(arg);
    const int report = p.reportFd;
    ResetSignalDispositions();
    // The launch's ends first: the descriptors they free are the ones the
    // report pipe takes, should the agent's table be full.
    for (int end : p.launchEnds)
        close(end);

    int err;
    int reportTo;
    if ((err = OpenReportChannel(report, &reportTo)) != 0)
        ChildFailed(reportTo, kExitRedirectFailed, kStepReportChannel, err);

    // The tool leads a process group of its own, so that stopping it reaches
    // the children it starts too. It cannot fail for a fresh child; if it
    // did, the group would not exist and signalling it would reach nothing.
    setpgid(0, 0);

    StartupStep step;
    if ((err = Redirect(p.toolInput, 0)) != 0)
        ChildFailed(report, kExitRedirectFailed, kStepStdin, err);
    if ((err = Redirect(p.toolOutput, 1)) != 0)
        ChildFailed(report, kExitRedirectFailed, kStepStdout, err);
    if ((err = SetUpStandardError(p, step)) != 0)
        ChildFailed(report, kExitRedirectFailed, step, err);

    // Every descriptor above 2, however high: the tool may run as another
    // user and must not inherit the host's sockets or credential files. The
    // helper keeps the report pipe, its record, the job folder and the
    // control group's cgroup.procs; it closes the last three once used, and
    // sets the report pipe to close at the tool's exec.
    CloseDescriptorsFrom3AtExec();
    if (p.viaHelper && (fcntl(report, F_SETFD, 0) != 0 || fcntl(p.helperRecord, F_SETFD, 0) != 0 ||
                        fcntl(p.jobFolder, F_SETFD, 0) != 0 ||
                        (p.settings.cgroupProcs >= 0 && fcntl(p.settings.cgroupProcs, F_SETFD, 0) != 0)))
        ChildFailed(report, kExitRedirectFailed, kStepReportChannel, errno);

    for (int i = 0; p.argv[i] != nullptr; ++i)
        p.childEvent->DebugLvl(kTag, 8, frozen::kArgument, i, p.logArgv[i]);
    if (p.environmentLine != nullptr)
        p.childEvent->Debug(kTag, frozen::kEnvironment, p.environmentLine);
    int32_t settingStep = kStepNone;
    if (!p.viaHelper && ((err = ApplyPrivilegedSettings(p.settings, RawSyscall{}, &settingStep)) != 0 ||
                         (err = ApplyFinalSettings(p.settings, RawSyscall{}, &settingStep)) != 0))
        ChildFailed(report, kExitUserSwitchFailed, static_cast<StartupStep>(settingStep), err);

    // Through the helper every signal stays blocked (only SIGKILL and SIGSTOP
    // reach it, whoever it belongs to by then); the helper unblocks them at
    // the tool's exec. The tool itself starts with none blocked.
    sigset_t mask;
    if (p.viaHelper)
        sigfillset(&mask);
    else
        sigemptyset(&mask);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    execve(p.execPath, p.execArgv, p.execEnv != nullptr ? p.execEnv : environ);
    ChildFailed(report, kExitExecFailed, p.viaHelper ? kStepHelperExec : kStepExec, errno);
}

}  // namespace LibMySqlProcess
