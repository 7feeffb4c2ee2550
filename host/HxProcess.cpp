#include "host/HxProcess.h"

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string ErrnoText(const char* what, int errnum)
{
    char buf[128];
    // GNU strerror_r: returns the text, which may or may not be in buf.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return std::string(what) + ": " + text + " (errno " + std::to_string(errnum) + ")";
}

}  // namespace

HxProcess::HxProcess() : m_childPid(-1), m_reaped(false) {}

HxProcess::~HxProcess() = default;

bool HxProcess::Fork(void (*fn)(void*), void* arg, std::string* error)
{
    pid_t pid = fork();
    if (pid == 0) {
        fn(arg);
        // _exit, not exit: the parent's atexit handlers and stdio buffers,
        // cloned into the child, must not run or flush a second time.
        _exit(127);
    }
    if (pid < 0) {
        const int savedErrno = errno;
        if (error != nullptr)
            *error = ErrnoText("fork failed", savedErrno);
        errno = savedErrno;
        return false;
    }
    m_childPid = pid;
    return true;
}

bool HxProcess::WaitForProcessToEnd(int* status, std::string* error, int timeoutMs)
{
    if (m_childPid <= 0 || m_reaped) {
        if (error != nullptr)
            *error = m_reaped ? "the child has already been reaped" : "no child has been forked";
        errno = ECHILD;
        return false;
    }
    int local = 0;
    int* out = status != nullptr ? status : &local;
    if (timeoutMs < 0) {
        pid_t got;
        do {
            got = waitpid(m_childPid, out, 0);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            const int savedErrno = errno;
            m_reaped = savedErrno == ECHILD;
            if (error != nullptr)
                *error = ErrnoText("waitpid failed", savedErrno);
            errno = savedErrno;
            return false;
        }
        m_reaped = true;
        return true;
    }
    // A bounded wait polls: waitpid has no timeout of its own.
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        pid_t got = waitpid(m_childPid, out, WNOHANG);
        if (got == m_childPid) {
            m_reaped = true;
            return true;
        }
        if (got < 0 && errno != EINTR) {
            const int savedErrno = errno;
            m_reaped = savedErrno == ECHILD;
            if (error != nullptr)
                *error = ErrnoText("waitpid failed", savedErrno);
            errno = savedErrno;
            return false;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsedMs = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsedMs >= timeoutMs) {
            if (error != nullptr)
                *error = "timed out waiting for the child";
            errno = ETIMEDOUT;
            return false;
        }
        timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
}
