#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "child_process/Log.h"
#include "child_process/MySqlChildProcess.h"
#include "host/HxProcess.h"
#include "host/HxThread.h"

namespace LibMySqlProcess {

namespace {

// Turns a wait status into the log line, m_lastErr and the result.
int DecodeStatus(EvEvent* event, int status, std::atomic<int>& lastErr)
{
    if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        if (code == 0) {
            MSCP_LOG(event, "Wait", "Child OK");
            return 0;
        }
        MSCP_LOG(event, "Wait", "Exit status 0x%X (return %d 0x%X)", static_cast<unsigned>(status), code,
                 static_cast<unsigned>(code));
        switch (code) {
        case kExitRedirectFailed:
            MSCP_LOG(event, "Wait", "Dup failed");
            lastErr = -1;
            break;
        case kExitExecFailed:
            MSCP_LOG(event, "Wait", "Exec failed");
            lastErr = -1;
            break;
        case kExitEnvFailed:
            MSCP_LOG(event, "Wait", "Env failed");
            lastErr = -1;
            break;
        default:
            MSCP_LOG(event, "Wait", "Child exited with error: %d", code);
            lastErr = code;
            break;
        }
        return -1;
    }
    if (WIFSIGNALED(status)) {
        MSCP_LOG(event, "Wait", "Child died after receiving signal %d%s", WTERMSIG(status),
                 WCOREDUMP(status) ? " (core file generated)" : "");
        return -1;
    }
    if (WIFSTOPPED(status)) {
        MSCP_LOG(event, "Wait", "Child stopped with signal %d", WSTOPSIG(status));
        return -1;
    }
    MSCP_LOG(event, "Wait", "Child unknown error");
    return -1;
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

int MySqlChildProcess::Wait(unsigned int)
{
    m_lastErr = 0;
    if (!BeginWaiting("MySqlChildProcess::Wait"))
        return -1;
    const int result = WaitForChild();
    EndWaiting();
    return result;
}

// The wait itself. A child reaped by an earlier wait gives the same outcome
// again from the status kept then: its pid may belong to another process by
// now, so it is never waited for a second time.
int MySqlChildProcess::WaitForChild()
{
    if (m_hxProcess == nullptr) {
        MSCP_LOG(m_event, "Wait", "m_hxProcess is null, Child Process may not be Created....");
        return -1;
    }
    char error[60];
    memset(error, 0, sizeof error);
    MSCP_LOG(m_event, "Wait", "Waititng for Child process...");
    int status = 0;
    if (m_exitStatusKnown) {
        status = m_exitStatus;
    } else if (!m_hxProcess->WaitForProcessToEnd(status, error, 50, -1)) {
        const int err = errno;
        // ECHILD: the child is not ours to wait for (any more); its pid may be
        // reused, so it must not be signalled either.
        if (err == ECHILD && m_phase == Phase::Launched)
            m_phase = Phase::Reaped;
        MSCP_LOG(m_event, "Wait", "WaitForProcessToEnd failed,errorMsg=%s", error);
        errno = err;
        return -1;
    } else if (!WIFSTOPPED(status)) {
        RecordEnd(status);
        m_exitStatus = status;
        m_exitStatusKnown = true;
        m_phase = Phase::Reaped;
    }
    return DecodeStatus(m_event, status, m_lastErr);
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
        MSCP_LOG(m_event, "BeginWait", "new HxThread failed");
        EndWaiting();
        return -1;
    }
    const int rc = m_waitThread->createThread(&MySqlChildProcess::WaitThreadFunction, this);
    // A 0 is not stored: the thread may already have written its own result.
    if (rc != 0) {
        m_lastErr = rc;
        MSCP_LOG(m_event, "BeginWait", "CreateThread failed");
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
    MSCP_LOG(m_event, "WaitThread", "start: thread Id=%d", GETCURRENTTHREADID());
    const bool ok = WaitForChild() == 0;
    std::atomic<bool>& flag = ok ? m_waitComplete : m_waitFailed;
    if (!ok) {
        const int err = GetLastErr();
        MSCP_LOG(m_event, "WaitThread", "Wait failed; lastErr=%d", err);
    } else {
        MSCP_LOG(m_event, "WaitThread", "WaitThread complete.");
    }
    // The flag goes up with the wait released: a caller who sees it may wait
    // again at once, and sees the final m_lastErr.
    std::lock_guard<std::mutex> lock(m_waitMutex);
    m_waiting = false;
    flag = true;
    m_waitDone.notify_all();
}

}  // namespace LibMySqlProcess
