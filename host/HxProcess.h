#pragma once

#include <cstring>
#include <string>

#include "host/HostExport.h"

// Forks a child and waits for it.
class HX_HOST_API HxProcess {
public:
    HxProcess();
    ~HxProcess();

    HxProcess(const HxProcess&) = delete;
    HxProcess& operator=(const HxProcess&) = delete;

    // Makes a child that runs fn(arg) and ends it with _exit(127) should fn
    // ever return. By default the child shares this process's memory, like
    // posix_spawn's (clone with CLONE_VM | CLONE_VFORK), and Fork returns
    // once it has exec'd or ended; fn must then write nothing the parent
    // reads afterwards. The child runs on a 128 KiB mapping with a guard
    // page, which the calling thread keeps for its next Fork (under ASan, on
    // 64 KiB of the calling thread's own stack). HX_FORK=fork (and
    // every thread-sanitizer build) makes a plain fork() instead. Either way
    // every signal is blocked around the fork, and in the child every
    // handler is reset to the default before the forking thread's mask is
    // restored. Returns true with the child made; false when none could be
    // made, with a reason in *error and the cause left in errno.
    bool Fork(void (*fn)(void*), void* arg, std::string* error);

    // Waits with waitpid (EINTR retried) until the child has ended and stores
    // its wait status. timeoutMs -1 waits without limit; otherwise gives up
    // after about that many milliseconds with a reason in *error. Once the
    // child has been reaped, or waitpid said it is not ours, the pid is
    // forgotten: a later call fails with ECHILD and never waits for a pid
    // that may by then belong to another process.
    bool WaitForProcessToEnd(int* status, std::string* error, int timeoutMs);

    // Buffer forms: on failure copy at most len characters of the reason and
    // terminate the buffer at len - 1.
    bool Fork(void (*fn)(void*), void* arg, char* error, int len)
    {
        std::string text;
        bool ok = Fork(fn, arg, &text);
        if (!ok)
            CopyError(text, error, len);
        return ok;
    }

    bool WaitForProcessToEnd(int& status, char* error, int len, int timeoutMs)
    {
        std::string text;
        bool ok = WaitForProcessToEnd(&status, &text, timeoutMs);
        if (!ok)
            CopyError(text, error, len);
        return ok;
    }

    int GetChildPid() const { return m_childPid; }

private:
    static void CopyError(const std::string& text, char* error, int len)
    {
        if (error == nullptr || len <= 0)
            return;
        // Copies errno-neutrally so that a caller can still read the fork's
        // errno. memcpy rather than strncpy: GCC's -Wstringop-truncation
        // rejects strncpy bounded by the buffer's size, the natural call.
        const size_t room = static_cast<size_t>(len);
        const size_t n = text.size() < room ? text.size() : room;
        memcpy(error, text.data(), n);
        memset(error + n, 0, room - n);
        error[len - 1] = '\0';
    }

    int m_childPid;
    bool m_reaped;
};
