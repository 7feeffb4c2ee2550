// Job control: Stop, Terminate and the signals they send, for a host with
// deadlines and cancels.
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "child_process/Log.h"
#include "child_process/MySqlChildProcess.h"

namespace LibMySqlProcess {

namespace {

int PidFdSignal(int pidfd, int sig)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

}  // namespace

int MySqlChildProcess::Stop(int graceMs)
{
    return ClaimedWait("MySqlChildProcess::Stop", &MySqlChildProcess::StopTool, graceMs);
}

// Stop's work, with its one wait claimed; cancelState is the caller's.
int MySqlChildProcess::StopTool(int graceMs, int cancelState)
{
    if (m_hxProcess == nullptr || m_phase != Phase::Launched) {
        MSCP_LOG(m_event, "Stop", "No child to stop: none was launched, or it has been waited for; errno=%d", ESRCH);
        m_lastErr = ESRCH;
        errno = ESRCH;
        return -1;
    }
    const int grace = graceMs < 0 ? -1 : graceMs;
    MSCP_LOG(m_event, "Stop", "SIGTERM to child [%d] and its process group, %d ms to end", m_childPid, grace);
    if (SignalTool(SIGTERM) != 0) {
        const int err = errno;
        MSCP_LOG(m_event, "Stop", "Signalling child [%d] failed; errno=%d", m_childPid, err);
        m_lastErr = err;
        errno = err;
        return -1;
    }
    if (!AwaitEnd(grace, cancelState)) {
        MSCP_LOG(m_event, "Stop", "Child [%d] still running after %d ms: SIGKILL to it and its process group",
                 m_childPid, grace);
        SignalTool(SIGKILL);
        AwaitEnd(-1, cancelState);
    }
    // What the tool started and left behind may hold its pipes open, and its
    // group can be named only until the tool is reaped: now or never. Its
    // control group names all of it, other sessions included.
    SignalTool(SIGKILL);
    KillControlGroup();
    return ReapAndDecode("MySqlChildProcess::Stop");
}

int MySqlChildProcess::Terminate()
{
    // A pid that was never ours, or that has been reaped, may name any
    // process, or lead any group, by now: SignalTool signals only the live
    // child and its group.
    const int rc = SignalTool(SIGKILL);
    const int err = errno;
    KillControlGroup();
    errno = err;
    return rc;
}

// Everything left in the tool's control group, killed, and awaited for a
// moment so that what it held (the tool's pipes) is released when this
// returns: cgroup.kill where the kernel has it (5.14), else each process the
// group lists.
void MySqlChildProcess::KillControlGroup()
{
    if (m_cgroupFd < 0)
        return;
    const int saved = errno;
    int fd = openat(m_cgroupFd, "cgroup.kill", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        const ssize_t ignored = write(fd, "1", 1);
        (void)ignored;
        close(fd);
    } else if ((fd = openat(m_cgroupFd, "cgroup.procs", O_RDONLY | O_CLOEXEC)) >= 0) {
        char text[4096];
        ssize_t n;
        while ((n = read(fd, text, sizeof text - 1)) > 0) {
            text[n] = '\0';
            for (char* p = text; *p != '\0';) {
                char* end = nullptr;
                const long pid = strtol(p, &end, 10);
                if (end == p)
                    break;
                if (pid > 0)
                    kill(static_cast<pid_t>(pid), SIGKILL);
                p = end;
            }
        }
        close(fd);
    }
    // Empty once "populated 0": at most a second's looks.
    for (int look = 0; look < 200; ++look) {
        const int events = openat(m_cgroupFd, "cgroup.events", O_RDONLY | O_CLOEXEC);
        if (events < 0)
            break;
        char text[256] = {};
        const ssize_t n = read(events, text, sizeof text - 1);
        close(events);
        if (n <= 0 || strstr(text, "populated 0") != nullptr)
            break;
        timespec pause{0, 5000000};
        nanosleep(&pause, nullptr);
    }
    errno = saved;
}

int MySqlChildProcess::GetPidFd()
{
    return m_pidfd;
}

// The tool's group has the tool's pid as its id, which no other process or
// group can take while the tool is unreaped; under m_signalMutex, which the
// reap takes too, kill(-pid) reaches the tool's group or nothing.
int MySqlChildProcess::SignalTool(int sig)
{
    std::lock_guard<std::mutex> lock(m_signalMutex);
    if (m_phase != Phase::Launched || m_childPid <= 0) {
        errno = ESRCH;
        return -1;
    }
    const pid_t pid = m_childPid;
    // Reaped behind the library's back (a host's waitpid(-1)): the pid and
    // the group id may be anyone's by now.
    if (m_pidfd != -1 && PidFdSignal(m_pidfd, 0) != 0) {
        if (errno == ESRCH)
            m_phase = Phase::Reaped;
        return -1;
    }
    const int saved = errno;
    if (kill(-pid, sig) == 0 && getpgid(pid) == pid) {
        errno = saved;
        return 0;
    }
    // No such group, or the tool has left it: the tool itself, through its
    // pidfd where there is one.
    return m_pidfd != -1 ? PidFdSignal(m_pidfd, sig) : kill(pid, sig);
}

}  // namespace LibMySqlProcess
