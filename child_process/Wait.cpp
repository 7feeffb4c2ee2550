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

int MySqlChildProcess::Wait(unsigned int)
{
    m_lastErr = 0;
    if (m_hxProcess == nullptr) {
        MSCP_LOG(m_event, "Wait", "m_hxProcess is null, Child Process may not be Created....");
        return -1;
    }
    char error[60];
    memset(error, 0, sizeof error);
    MSCP_LOG(m_event, "Wait", "Waititng for Child process...");
    int status = 0;
    if (!m_hxProcess->WaitForProcessToEnd(status, error, 50, -1)) {
        const int err = errno;
        // ECHILD: the child is not ours to wait for (any more); its pid may be
        // reused, so it must not be signalled either.
        if (err == ECHILD)
            m_childLive = false;
        MSCP_LOG(m_event, "Wait", "WaitForProcessToEnd failed,errorMsg=%s", error);
        errno = err;
        return -1;
    }
    if (!WIFSTOPPED(status))
        m_childLive = false;
    m_exitStatus = status;
    m_exitStatusKnown = true;
    return DecodeStatus(m_event, status, m_lastErr);
}

int MySqlChildProcess::BeginWait()
{
    m_lastErr = 0;
    // The host's running thread never refers to its HxThread object, so an
    // earlier one may go even if its thread still runs.
    delete m_waitThread;
    m_waitThread = new (std::nothrow) HxThread();
    if (m_waitThread == nullptr) {
        MSCP_LOG(m_event, "BeginWait", "new HxThread failed");
        return -1;
    }
    const int rc = m_waitThread->createThread(&MySqlChildProcess::WaitThreadFunction, this);
    // A 0 is not stored: the thread may already have written its own result.
    if (rc != 0) {
        m_lastErr = rc;
        MSCP_LOG(m_event, "BeginWait", "CreateThread failed");
        return -1;
    }
    return 0;
}

void* MySqlChildProcess::WaitThreadFunction(void* obj)
{
    static_cast<MySqlChildProcess*>(obj)->WaitThread();
    return nullptr;
}

void MySqlChildProcess::WaitThread()
{
    MSCP_LOG(m_event, "WaitThread", "start: thread Id=%d", GETCURRENTTHREADID());
    // The flag is stored last: a caller who sees it set also sees the final
    // m_lastErr, and may destroy the object at once, so nothing of the object
    // is touched after it.
    if (Wait(0) != 0) {
        const int err = GetLastErr();
        MSCP_LOG(m_event, "WaitThread", "Wait failed; lastErr=%d", err);
        m_waitFailed = true;
    } else {
        MSCP_LOG(m_event, "WaitThread", "WaitThread complete.");
        m_waitComplete = true;
    }
}

}  // namespace LibMySqlProcess
