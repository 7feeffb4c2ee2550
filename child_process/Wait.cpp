#include <poll.h>
#include <sys/eventfd.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <new>

#include "child_process/Cancellation.h"
#include "child_process/LogTexts.h"
#include "child_process/Log.h"
#include "child_process/MySqlChildProcess.h"
#include "child_process/NoMemory.h"
#include "host/HxProcess.h"
#include "host/HxThread.h"

namespace LibMySqlProcess {

namespace {

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

// A host may cancel a thread that waits for its child. Only the blocking
// wait itself acts on the cancellation: one acted on inside a log line, or
// between the reap and the record of it, would leave the log's use count or
// the child's state half done. So the operations run under NoCancellation,
// and this runs the blocking call f with the caller's own state; errno is
// f's.
template <typename F>
auto Blocking(int cancelState, F f)
{
    pthread_setcancelstate(cancelState, nullptr);
    const auto result = f();
    const int err = errno;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    errno = err;
    return result;
}

// Milliseconds left until deadline, rounded up so that a wait does not end
// just short of it; 0 once it has passed.
int MsUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero())
        return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

}  // namespace

// Claims the object's one wait; false, with EBUSY and a log line, while
// another runs.
bool MySqlChildProcess::BeginWaiting(const char* op)
{
    {
        std::lock_guard<std::mutex> lock(m_waitMutex);
        if (!m_waiting) {
            m_waiting = true;
            return true;
        }
    }
    if (m_event != nullptr)
        m_event->Debug(op, "A wait for this child is already running; errno=%d", EBUSY);
    m_lastErr = EBUSY;
    return false;
}

void MySqlChildProcess::EndWaiting()
{
    std::lock_guard<std::mutex> lock(m_waitMutex);
    m_waiting = false;
    m_waitDone.notify_all();
}

// What Wait, WaitFor and Stop share: the errno reset, the object's one wait
// claimed (and released however the call is left, a cancellation's
// unwinding included, so that the child can still be waited for and the
// destructor does not wait for a claim nobody holds), no cancellation acted
// on but inside the blocking calls, and no exception out. work gets arg and
// the caller's cancellation state.
int MySqlChildProcess::ClaimedWait(const char* tag, int (MySqlChildProcess::*work)(int, int), int arg)
{
    struct Release {
        MySqlChildProcess* self;
        ~Release() { self->EndWaiting(); }
    };
    m_lastErr = 0;
    NoCancellation cancel;
    if (!BeginWaiting(tag))
        return -1;
    Release release{this};
    return FailingOnNoMemory(m_event, tag, m_lastErr, [&] { return (this->*work)(arg, cancel.callerState()); });
}

int MySqlChildProcess::Wait(unsigned int)
{
    return ClaimedWait("MySqlChildProcess::Wait", &MySqlChildProcess::WaitForChild, -1);
}

int MySqlChildProcess::WaitFor(int timeoutMs)
{
    return ClaimedWait("MySqlChildProcess::WaitFor", &MySqlChildProcess::WaitForChild, timeoutMs < 0 ? -1 : timeoutMs);
}

// The wait itself, within timeoutMs (-1: none); cancelState is the caller's,
// for the blocking part. A limit that passes leaves the child as it was.
int MySqlChildProcess::WaitForChild(int timeoutMs, int cancelState)
{
    if (m_hxProcess == nullptr) {
        MSCP_LOG(m_event, "Wait", frozen::kNoHxProcess);
        m_lastErr = ECHILD;
        errno = ECHILD;
        return -1;
    }
    MSCP_LOG(m_event, "Wait", frozen::kWaiting);
    if (!m_exitStatusKnown && !AwaitEnd(timeoutMs, cancelState)) {
        MSCP_LOG(m_event, "WaitFor", "Child [%d] still running after %d ms; errno=%d", m_childPid, timeoutMs,
                 ETIMEDOUT);
        m_lastErr = ETIMEDOUT;
        errno = ETIMEDOUT;
        return -1;
    }
    return ReapAndDecode("MySqlChildProcess::Wait");
}

// Waits until the child has ended, within timeoutMs (-1: no limit), and
// leaves it unreaped (WNOWAIT) for ReapAndDecode. False when the limit passed
// first. When the child is not ours to wait for (any more), true: the reap
// that follows fails at once and says so.
bool MySqlChildProcess::AwaitEnd(int timeoutMs, int cancelState)
{
    const pid_t pid = m_childPid;
    int pidfd = m_pidfd;
    siginfo_t info;
    if (timeoutMs < 0) {
        for (;;) {
            memset(&info, 0, sizeof info);
            const bool byFd = pidfd >= 0;
            const int rc = Blocking(cancelState, [&] {
                return byFd ? waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
                                     WEXITED | WNOWAIT)
                            : waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
            });
            if (rc == 0)
                return true;
            if (errno == EINVAL && byFd)
                pidfd = -1;  // pidfds, but a kernel too old to wait on them
            else if (errno != EINTR)
                return true;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // The pidfd becomes readable when the child ends.
    while (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        const int ready = Blocking(cancelState, [&] { return poll(&p, 1, MsUntil(deadline)); });
        if (ready > 0)
            return true;
        if (ready == 0 && MsUntil(deadline) == 0)
            return false;
        if (ready < 0 && errno != EINTR)
            pidfd = -1;
    }
    // Without one, a look now and then: each pause twice the last, up to
    // 50 ms, so that a short wait sees the end soon and a long one costs at
    // most 20 wake-ups a second.
    long pauseUs = 1000;
    for (;;) {
        memset(&info, 0, sizeof info);
        const int rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | WNOHANG);
        if (rc == 0 && info.si_pid != 0)
            return true;
        if (rc != 0 && errno != EINTR)
            return true;
        const int left = MsUntil(deadline);
        if (left == 0)
            return false;
        const long us = pauseUs < left * 1000L ? pauseUs : left * 1000L;
        timespec pause{us / 1000000, (us % 1000000) * 1000};
        Blocking(cancelState, [&] { return nanosleep(&pause, nullptr); });
        pauseUs = pauseUs * 2 < 50000 ? pauseUs * 2 : 50000;
    }
}

// Reaps the child, which has ended, and decodes its status under tag. The
// reap holds m_signalMutex, so that no signal is sent to the group of a tool
// whose pid is free again. A child reaped by an earlier wait gives the same
// outcome again from the one kept then: its pid may belong to another
// process by now, so it is never waited for a second time.
int MySqlChildProcess::ReapAndDecode(const char* tag)
{
    if (m_exitStatusKnown) {
        std::lock_guard<std::mutex> lock(m_outcomeMutex);
        return ReportEnd(tag, m_outcome);
    }
    char error[60];
    memset(error, 0, sizeof error);
    int status = 0;
    bool ok;
    int err;
    {
        std::lock_guard<std::mutex> lock(m_signalMutex);
        if (ReapedElsewhere()) {
            // The host's waitpid would name the pid, which may belong to
            // another child of this process by now.
            ok = false;
            err = ECHILD;
            snprintf(error, sizeof error, "the child was reaped elsewhere (errno %d)", ECHILD);
        } else {
            ok = m_hxProcess->WaitForProcessToEnd(status, error, 50, -1);
            err = errno;
        }
        // ECHILD: the child is not ours to wait for (any more); its pid may
        // be reused, so it must not be signalled either. Unless its pidfd
        // says it is ours and unreaped still: then only the host lost track
        // of it, and it stays for the signals and for the destructor's reap.
        if (!ok && err == ECHILD && m_phase == Phase::Launched && (m_pidfd < 0 || ReapedElsewhere()))
            m_phase = Phase::Reaped;
    }
    if (!ok) {
        MSCP_LOG_TAG(m_event, tag, frozen::kWaitFailed, error);
        m_lastErr = err;
        errno = err;
        return -1;
    }
    // The status is read once, into the outcome; everything else says what
    // the outcome holds. It is kept (the status first) before any text about
    // it is made.
    Outcome end = Decode(status, m_launch, m_userName, m_errFilePath);
    if (end.state != Outcome::State::Running) {
        m_exitStatus = StatusOf(end);
        m_exitStatusKnown = true;
        m_phase = Phase::Reaped;
    }
    const int result = ReportEnd(tag, end);
    if (end.state != Outcome::State::Running)
        SetOutcome(std::move(end));
    return result;
}

// The wait status an outcome was read from, as the binary interface keeps
// it in m_exitStatus.
int MySqlChildProcess::StatusOf(const Outcome& end)
{
    if (end.state == Outcome::State::Signaled)
        return end.code | (end.coreDumped ? 0x80 : 0);
    return (end.code & 0xff) << 8;
}

int MySqlChildProcess::ReportEnd(const char* tag, const Outcome& end)
{
    switch (end.state) {
    case Outcome::State::Exited:
    case Outcome::State::StartFailed:
        if (end.code == 0) {
            MSCP_LOG_TAG(m_event, tag, frozen::kChildOk);
            return 0;
        }
        MSCP_LOG_TAG(m_event, tag, frozen::kExitStatus, static_cast<unsigned>(StatusOf(end)), end.code,
                     static_cast<unsigned>(end.code));
        switch (end.code) {
        case kExitRedirectFailed:
            MSCP_LOG_TAG(m_event, tag, frozen::kDupFailed);
            m_lastErr = -1;
            break;
        case kExitExecFailed:
            MSCP_LOG_TAG(m_event, tag, frozen::kExecFailed);
            m_lastErr = -1;
            break;
        case kExitEnvFailed:
            MSCP_LOG_TAG(m_event, tag, frozen::kEnvFailed);
            m_lastErr = -1;
            break;
        default:
            MSCP_LOG_TAG(m_event, tag, frozen::kExitedWithError, end.code);
            m_lastErr = end.code;
            break;
        }
        return -1;
    case Outcome::State::Signaled:
        MSCP_LOG_TAG(m_event, tag, frozen::kDiedOfSignal, end.code, end.coreDumped ? frozen::kCoreGenerated : "");
        return -1;
    case Outcome::State::Running:
        if (end.code > 0)
            MSCP_LOG_TAG(m_event, tag, frozen::kStoppedBySignal, end.code);
        else
            MSCP_LOG_TAG(m_event, tag, frozen::kUnknownEnd);
        return -1;
    case Outcome::State::NotLaunched:
        break;
    }
    MSCP_LOG_TAG(m_event, tag, frozen::kUnknownEnd);
    return -1;
}

// True when the child's pid descriptor says that it is no unreaped child of
// ours any more: a host that reaps with waitpid(-1) took it. Only a pidfd can
// tell; without one the pid is trusted, as the host's wait does.
bool MySqlChildProcess::ReapedElsewhere() const
{
    if (m_pidfd < 0)
        return false;
    const int saved = errno;
    siginfo_t info{};
    int rc;
    do {
        rc = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(m_pidfd), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (rc != 0 && errno == EINTR);
    const bool gone = rc != 0 && errno == ECHILD;
    errno = saved;
    return gone;
}

int MySqlChildProcess::BeginWait()
{
    m_lastErr = 0;
    if (!BeginWaiting("MySqlChildProcess::BeginWait"))
        return -1;
    // The host's running thread never refers to its HxThread object, and no
    // earlier wait thread runs now.
    delete m_waitThread;
    m_waitThread = new (std::nothrow) HxThread();
    if (m_waitThread == nullptr) {
        MSCP_LOG(m_event, "BeginWait", frozen::kNewHxThreadFailed);
        m_lastErr = ENOMEM;
        errno = ENOMEM;
        EndWaiting();
        return -1;
    }
    // The descriptor a host may wait on is made once, and emptied for each
    // thread. Without one (no descriptor to spare) the flags still tell.
    if (m_waitDoneFd == -1)
        m_waitDoneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_waitDoneFd != -1) {
        uint64_t drained = 0;
        const ssize_t ignored = read(m_waitDoneFd, &drained, sizeof drained);  // EAGAIN when empty
        (void)ignored;
    }
    const int rc = m_waitThread->createThread(&MySqlChildProcess::WaitThreadFunction, this);
    // A 0 is not stored: the thread may already have written its own result.
    if (rc != 0) {
        m_lastErr = rc;
        MSCP_LOG(m_event, "BeginWait", frozen::kCreateThreadFailed);
        EndWaiting();
        return -1;
    }
    return 0;
}

void* MySqlChildProcess::WaitThreadFunction(void* obj)
{
    static_cast<MySqlChildProcess*>(obj)->WaitThread();
    return nullptr;
}

// Holds the object's one wait from BeginWait to its last statement, so that
// the destructor, which waits for it to be released, frees nothing the
// thread still uses.
void MySqlChildProcess::WaitThread()
{
    // The library's own thread: nothing may cancel it between its claim and
    // the release below.
    NoCancellation cancel;
    MSCP_LOG(m_event, "WaitThread", frozen::kThreadStart, GETCURRENTTHREADID());
    const bool ok = FailingOnNoMemory(m_event, "MySqlChildProcess::WaitThread", m_lastErr,
                                      [&] { return WaitForChild(-1, PTHREAD_CANCEL_DISABLE); }) == 0;
    std::atomic<bool>& flag = ok ? m_waitComplete : m_waitFailed;
    if (!ok) {
        const int err = GetLastErr();
        MSCP_LOG(m_event, "WaitThread", frozen::kThreadWaitFailed, err);
    } else {
        MSCP_LOG(m_event, "WaitThread", frozen::kThreadComplete);
    }
    // The flag goes up with the wait released: a caller who sees it may wait
    // again at once, and sees the final m_lastErr.
    std::lock_guard<std::mutex> lock(m_waitMutex);
    m_waiting = false;
    flag = true;
    if (m_waitDoneFd != -1) {
        const uint64_t one = 1;
        ssize_t n;
        do {
            n = write(m_waitDoneFd, &one, sizeof one);
        } while (n < 0 && errno == EINTR);
    }
    m_waitDone.notify_all();
}

int MySqlChildProcess::GetWaitDoneFd()
{
    return m_waitDoneFd;
}

}  // namespace LibMySqlProcess
