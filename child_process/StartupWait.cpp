#include "child_process/StartupWait.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace LibMySqlProcess {

namespace {

// The child's state without reaping it, through its pidfd where there is one:
// the stop, or the end, stays reportable to whoever else waits for it.
bool Look(pid_t pid, int pidfd, int what, siginfo_t& info)
{
    memset(&info, 0, sizeof info);
    const int rc = pidfd >= 0 ? waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
                                       what | WNOHANG | WNOWAIT)
                              : waitid(P_PID, static_cast<id_t>(pid), &info, what | WNOHANG | WNOWAIT);
    return rc == 0 && info.si_pid == pid;
}

bool IsStopped(pid_t pid, int pidfd, int& signal)
{
    siginfo_t info;
    if (!Look(pid, pidfd, WSTOPPED, info) || info.si_code != CLD_STOPPED)
        return false;
    signal = info.si_status;
    return true;
}

bool HasEnded(pid_t pid)
{
    siginfo_t info;
    return Look(pid, -1, WEXITED, info);
}

void ChannelFailed(StartupResult& result, int err)
{
    result.kind = StartupResult::Failed;
    result.report = StartupReport{kReportMagic, kStageRedirect, kStepReportChannel, err};
}

// Blocks until fd has events (or hung up), looking at the child every
// kStopCheckMs. False with the result filled when the child was found
// stopped, or ended (when endMatters) with nothing left to read, or the wait
// itself failed.
bool AwaitChannel(int fd, short events, pid_t pid, int pidfd, bool endMatters, StartupResult& result)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, kStopCheckMs);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR) {
            ChannelFailed(result, errno);
            return false;
        }
        if (ready != 0)
            continue;
        if (IsStopped(pid, pidfd, result.stopSignal)) {
            result.kind = StartupResult::Stopped;
            return false;
        }
        if (endMatters && HasEnded(pid)) {
            // What it wrote before its end is still there to read.
            p.revents = 0;
            if (poll(&p, 1, 0) > 0)
                return true;
            result.kind = StartupResult::Unconfirmed;
            return false;
        }
    }
}

// The hello: the child's report pipe into *reportFd, its pidfd into the
// result. False with the result filled when the child reported a failure
// instead, or the hello could not be taken.
bool TakeHello(int channelFd, pid_t pid, StartupResult& result, int* reportFd)
{
    // The socket end may be held by processes the host forked meanwhile, so
    // its end is not awaited; the child's own end is, by pid (the child is
    // ours and unreaped: no pidfd exists yet).
    if (!AwaitChannel(channelFd, POLLIN, pid, -1, true, result))
        return false;
    StartupReport record{};
    iovec iov{&record, sizeof record};
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(channelFd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    const int recvErrno = errno;
    int fds[2] = {-1, -1};
    int count = 0;
    if (n > 0) {
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                continue;
            const size_t got = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < got; ++i) {
                int fd;
                memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                if (count < 2)
                    fds[count++] = fd;
                else
                    close(fd);
            }
        }
    }
    const bool hello = n == static_cast<ssize_t>(sizeof record) && record.magic == kReportMagic &&
                       record.exitCode == kReportHello && count >= 1 && (msg.msg_flags & MSG_CTRUNC) == 0;
    if (hello) {
        *reportFd = fds[0];
        result.pidfd = fds[1];
        return true;
    }
    for (int i = 0; i < count; ++i)
        close(fds[i]);
    if (n == static_cast<ssize_t>(sizeof record) && record.magic == kReportMagic && record.exitCode != kReportHello &&
        record.exitCode != 0) {
        result.kind = StartupResult::Failed;
        result.report = record;
    } else if (n < 0) {
        ChannelFailed(result, recvErrno);
    } else if ((msg.msg_flags & MSG_CTRUNC) != 0) {
        // The descriptors did not fit this process's table.
        ChannelFailed(result, EMFILE);
    } else {
        result.kind = StartupResult::Unconfirmed;
    }
    return false;
}

}  // namespace

StartupResult AwaitStartup(int channelFd, pid_t pid, bool confirmationDue)
{
    StartupResult result;
    int reportFd = -1;
    if (!TakeHello(channelFd, pid, result, &reportFd))
        return result;

    // Woken only when the last write end has closed (the exec, or the end of
    // a child that failed), not by each record: the helper's confirmation
    // would otherwise cost the launching thread a second wake-up.
    if (!AwaitChannel(reportFd, 0, pid, result.pidfd, false, result)) {
        close(reportFd);
        return result;
    }
    // At most a confirmation and a failure arrive; room for one more shows
    // anything else.
    StartupReport records[3];
    size_t got = 0;
    int readErrno = 0;
    for (;;) {
        char* into = reinterpret_cast<char*>(records) + got;
        const ssize_t n = read(reportFd, into, sizeof records - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            readErrno = errno;
        if (n <= 0 || (got += static_cast<size_t>(n)) == sizeof records)
            break;
    }
    close(reportFd);
    // What the child said cannot be known: no tool is taken as started.
    if (readErrno != 0) {
        ChannelFailed(result, readErrno);
        return result;
    }

    bool confirmed = false;
    for (size_t i = 0; i < got / sizeof(StartupReport); ++i) {
        const StartupReport& r = records[i];
        if (r.magic != kReportMagic)
            continue;
        if (r.exitCode == 0) {
            confirmed = true;
        } else {
            result.kind = StartupResult::Failed;
            result.report = r;
        }
    }
    if (result.kind == StartupResult::Started && confirmationDue && !confirmed)
        result.kind = StartupResult::Unconfirmed;
    return result;
}

}  // namespace LibMySqlProcess
