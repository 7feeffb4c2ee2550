#include "host/HxProcess.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// GCC announces a sanitizer with __SANITIZE_*__, clang only through
// __has_feature; a clang build taken for a plain one would run a thread
// sanitizer's process on a clone that shares memory.
#if defined(__SANITIZE_ADDRESS__)
#define HX_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define HX_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HX_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define HX_TSAN 1
#endif
#endif

#if defined(HX_ASAN)
#include <sanitizer/asan_interface.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

std::string ErrnoText(const char* what, int errnum)
{
    char buf[128];
    // GNU strerror_r: returns the text, which may or may not be in buf.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return std::string(what) + ": " + text + " (errno " + std::to_string(errnum) + ")";
}

struct ChildStart {
    void (*fn)(void*);
    void* arg;
    const sigset_t* mask;  // the forking thread's own, restored in the child
};

// The child's first steps, with every signal still blocked: a handler the
// parent installed must never run in a child that shares the parent's
// memory, so each is reset to the default before the mask is restored.
// Ignored signals stay ignored. Then fn, which should exec or _exit; _exit,
// not exit, if it returns: the parent's atexit handlers and stdio buffers
// must not run or flush in the child.
[[noreturn]] void RunChild(const ChildStart& start)
{
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action {};
        if (sigaction(sig, nullptr, &action) != 0 || action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN)
            continue;
        action = {};
        action.sa_handler = SIG_DFL;
        sigaction(sig, &action, nullptr);
    }
    pthread_sigmask(SIG_SETMASK, start.mask, nullptr);
    start.fn(start.arg);
    _exit(127);
}

// The child's stack for a clone that shares memory is a mapping of its own,
// as posix_spawn's is: an array on the forking thread's stack crashed hosts
// whose threads have small stacks (the call into clone stored its return
// address below a 256 KiB thread's guard page). A guard page under the
// mapping turns an overflow into the child's SIGSEGV instead of a write into
// the parent's memory. The child path needs about 20 KiB.
#if !defined(HX_ASAN)
constexpr size_t kChildStackSize = 128 * 1024;
#else
// Except under ASan: its no-return handling in the child measures the stack
// from the thread's known top, so a child on a mapping elsewhere would have
// it unpoison the shadow of every mapping in between, or print a warning
// into the child's standard error. There the child stays inside the thread's
// stack, which then needs this much room beyond the launch's own frames.
constexpr size_t kSanitizerChildStackSize = 64 * 1024;
#endif

int CloneEntry(void* start)
{
    RunChild(*static_cast<const ChildStart*>(start));
}

// As posix_spawn does: the child shares the parent's memory until it has
// exec'd or ended, and the parent thread waits for that (CLONE_VFORK), so the
// cost no longer grows with the parent's memory, and no page of a busy host
// is copied on write meanwhile.
#if defined(HX_ASAN)
__attribute__((noinline)) pid_t CloneSharingMemory(ChildStart& start)
{
    alignas(64) unsigned char stack[kSanitizerChildStackSize];
    const pid_t pid = clone(&CloneEntry, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
    const int cloneErrno = errno;
    // The child's frames poisoned their redzones in the shadow of this array
    // and never returned to clear them; later frames here would be reported.
    __asan_unpoison_memory_region(stack, sizeof stack);
    errno = cloneErrno;
    return pid;
}
#else
// Each thread that launches keeps its mapping for its next launch: the page
// faults of a fresh mapping cost more than the rest of the clone (some 25 us
// on a busy host), and a thread runs one clone at a time.
class ChildStack {
public:
    ChildStack() = default;
    ChildStack(const ChildStack&) = delete;
    ChildStack& operator=(const ChildStack&) = delete;
    ~ChildStack()
    {
        if (m_base != nullptr)
            munmap(m_base, m_size);
    }

    // The top of the stack, or null with errno.
    char* Top()
    {
        if (m_base == nullptr) {
            const size_t guard = static_cast<size_t>(sysconf(_SC_PAGESIZE));
            const size_t size = guard + kChildStackSize;
            void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
            if (map == MAP_FAILED)
                return nullptr;
            if (mprotect(map, guard, PROT_NONE) != 0) {
                const int savedErrno = errno;
                munmap(map, size);
                errno = savedErrno;
                return nullptr;
            }
            m_base = static_cast<char*>(map);
            m_size = size;
        }
        return m_base + m_size;
    }

private:
    char* m_base = nullptr;
    size_t m_size = 0;
};

thread_local ChildStack t_childStack;

pid_t CloneSharingMemory(ChildStart& start)
{
    char* top = t_childStack.Top();
    if (top == nullptr)
        return -1;
    return clone(&CloneEntry, top, CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
}
#endif

pid_t ForkCopy(const ChildStart& start)
{
    const pid_t pid = fork();
    if (pid == 0)
        RunChild(start);
    return pid;
}

// HX_FORK=fork selects a plain fork(). A thread sanitizer cannot follow a
// child that shares the parent's memory, so such builds always fork.
bool SharedMemoryFork()
{
#if defined(HX_TSAN)
    return false;
#else
    const char* mode = getenv("HX_FORK");
    return mode == nullptr || strcmp(mode, "fork") != 0;
#endif
}

}  // namespace

HxProcess::HxProcess() : m_childPid(-1), m_reaped(false) {}

HxProcess::~HxProcess() = default;

bool HxProcess::Fork(void (*fn)(void*), void* arg, std::string* error)
{
    const int savedErrno = errno;
    // A child sharing our memory also shares this thread's control block: a
    // cancellation pending for the thread would be acted on at the child's
    // first close or write, and the child would run the thread's exit path
    // on the parent's stack. As posix_spawn does, none is acted on meanwhile.
    int cancelState = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    ChildStart start{fn, arg, &old};
    const pid_t pid = SharedMemoryFork() ? CloneSharingMemory(start) : ForkCopy(start);
    const int forkErrno = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_setcancelstate(cancelState, nullptr);
    if (pid < 0) {
        if (error != nullptr)
            *error = ErrnoText("fork failed", forkErrno);
        errno = forkErrno;
        return false;
    }
    // A child sharing our memory wrote its errno into this thread's.
    errno = savedErrno;
    m_childPid = pid;
    m_reaped = false;
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
