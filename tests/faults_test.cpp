// The fault sweep, the library's standing proof under failure. Each
// operation on the paths that matter is run once to count the allocations and
// the system calls it makes; then each of them is failed in turn, alone: the
// n-th allocation (as ENOMEM), and the k-th call of each kind of system call
// with each errno its manual gives (EINTR included), once, and from the first
// call on for good. After every point: no crash, no exception, no hang, no
// descriptor, child or allocation left behind, and the caller sees the
// operation's usual result, or -1 with the errno of the failure.
//
// Allocations are failed by this program's own malloc family, which counts
// and forwards to glibc's. System calls are failed by a seccomp filter on the
// thread that runs the sweep: every call it (and the children it launches)
// makes is handed to a supervisor thread, which lets it through or answers it
// with the errno itself. Calls of the launch's child are a side of their own:
// those made before the tool's exec (the library's child, and the launch
// helper when the tool runs as another user).
//
// Also here, since they need the counting allocator: the child that shares
// the agent's memory allocates nothing, and a relay cancelled in its copy
// leaves no buffer behind.
#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process/MySqlChildProcess.h"
#include "child_process/Reaper.h"
#include "host/EvDebug.h"
#include "support/TestSupport.h"

// ---------------------------------------------------------------------------
// Allocations

extern "C" {
void* __libc_malloc(size_t);
void __libc_free(void*);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace allocs {

std::atomic<bool> g_armed{false};
std::atomic<long> g_seen{0};    // allocations while armed
std::atomic<long> g_failAt{0};  // the one that fails (0: none)
std::atomic<long> g_failed{0};
std::atomic<long> g_live{0};   // allocated and not freed, the whole process
std::atomic<int> g_owner{0};   // when set: the process whose allocations these are
std::atomic<long> g_foreign{0};  // made by another process sharing this memory

bool Refuse()
{
    if (g_owner.load(std::memory_order_relaxed) != 0 && syscall(SYS_getpid) != g_owner.load())
        ++g_foreign;
    if (!g_armed.load(std::memory_order_relaxed))
        return false;
    const long n = g_seen.fetch_add(1) + 1;
    if (n != g_failAt.load())
        return false;
    ++g_failed;
    return true;
}

void* Counted(void* p)
{
    if (p != nullptr)
        ++g_live;
    return p;
}

}  // namespace allocs

extern "C" void* malloc(size_t size)
{
    if (allocs::Refuse()) {
        errno = ENOMEM;
        return nullptr;
    }
    return allocs::Counted(__libc_malloc(size));
}

extern "C" void free(void* p)
{
    if (p != nullptr) {
        --allocs::g_live;
        __libc_free(p);
    }
}

extern "C" void* calloc(size_t count, size_t size)
{
    if (allocs::Refuse()) {
        errno = ENOMEM;
        return nullptr;
    }
    return allocs::Counted(__libc_calloc(count, size));
}

extern "C" void* realloc(void* p, size_t size)
{
    if (p == nullptr)
        return malloc(size);
    if (size == 0) {
        free(p);
        return nullptr;
    }
    if (allocs::Refuse()) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_realloc(p, size);
}

extern "C" void* memalign(size_t alignment, size_t size)
{
    if (allocs::Refuse()) {
        errno = ENOMEM;
        return nullptr;
    }
    return allocs::Counted(__libc_memalign(alignment, size));
}

extern "C" int posix_memalign(void** out, size_t alignment, size_t size)
{
    void* p = memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}

extern "C" void* aligned_alloc(size_t alignment, size_t size)
{
    return memalign(alignment, size);
}

extern "C" void* valloc(size_t size)
{
    return memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size);
}

namespace {

using LibMySqlProcess::MySqlChildProcess;
using Outcome = MySqlChildProcess::Outcome;
using namespace testsupport;

// ---------------------------------------------------------------------------
// System calls

// The errnos each call is failed with: those its manual lists for what a
// busy host meets (a full descriptor table, no memory, a signal, an I/O
// error), EINTR first where the call may be interrupted. Calls not listed
// are let through: they cannot fail in these uses (close, which frees the
// descriptor whatever it says, getpid) or belong to the allocator and the
// thread library (mmap, futex).
struct Errnos {
    long nr;
    std::vector<int> errs;
};

const std::vector<Errnos>& Table()
{
    static const std::vector<Errnos> table = {
        {SYS_read, {EINTR, EIO}},
        {SYS_pread64, {EINTR, EIO}},
        {SYS_write, {EINTR, EIO, ENOSPC}},
        {SYS_openat, {EINTR, EMFILE, ENOMEM, EACCES}},
        {SYS_pipe2, {EMFILE, ENFILE}},
        {SYS_socketpair, {EMFILE, ENOMEM}},
        {SYS_pidfd_open, {EMFILE, ENOMEM}},
        {SYS_dup2, {EINTR, EMFILE}},
        {SYS_dup3, {EINTR, EMFILE}},
        {SYS_fcntl, {EMFILE, EPERM}},
        {SYS_poll, {EINTR, ENOMEM}},
        {SYS_ppoll, {EINTR, ENOMEM}},
        {SYS_recvmsg, {EINTR, ENOMEM}},
        {SYS_sendmsg, {EINTR, ENOBUFS}},
        {SYS_splice, {EINTR, ENOMEM}},
        {SYS_tee, {EINTR, ENOMEM}},
        {SYS_ioctl, {EINTR, ENOTTY}},
        {SYS_nanosleep, {EINTR}},
        {SYS_clock_nanosleep, {EINTR}},
        {SYS_waitid, {EINTR, ECHILD}},
        {SYS_wait4, {EINTR, ECHILD}},
        {SYS_clone, {EAGAIN, ENOMEM}},
        {SYS_clone3, {EAGAIN, ENOMEM}},
        {SYS_execve, {ENOENT, ENOMEM, E2BIG}},
        {SYS_fstat, {ENOMEM, EACCES}},
        {SYS_newfstatat, {ENOMEM, EACCES}},
        {SYS_statx, {ENOMEM, EACCES}},
        {SYS_fstatfs, {ENOMEM}},
        {SYS_getdents64, {ENOMEM}},
        {SYS_readlinkat, {EACCES, ENOMEM}},
        {SYS_faccessat, {EACCES, ENOMEM}},
        {SYS_faccessat2, {EACCES, ENOMEM}},
        {SYS_kill, {EPERM}},
        {SYS_pidfd_send_signal, {EPERM}},
        {SYS_setpgid, {EPERM}},
        {SYS_getpgid, {ESRCH}},
        {SYS_mkdir, {EACCES, ENOSPC}},
        {SYS_mkdirat, {EACCES, ENOSPC}},
        {SYS_fchown, {EPERM}},
        {SYS_unlink, {EBUSY}},
        {SYS_unlinkat, {EBUSY}},
        {SYS_nanosleep, {EINTR}},
        {SYS_clock_nanosleep, {EINTR}},
        {SYS_close_range, {EINVAL}},
        {SYS_setgroups, {EPERM}},
        {SYS_setresgid, {EPERM}},
        {SYS_setresuid, {EPERM, EAGAIN}},
        {SYS_capset, {EPERM}},
        {SYS_capget, {EPERM}},
        {SYS_prctl, {EINVAL}},
        {SYS_setpriority, {EACCES}},
        {SYS_getpriority, {ESRCH}},
        {SYS_ioprio_set, {EPERM}},
        {SYS_ioprio_get, {ESRCH}},
        {SYS_prlimit64, {EPERM}},
        {SYS_memfd_create, {EMFILE, ENOMEM}},
        {SYS_eventfd2, {EMFILE}},
        {SYS_readlink, {EACCES}},
        {SYS_socket, {EMFILE}},
        {SYS_connect, {EACCES}},
    };
    return table;
}

const std::vector<int>* ErrnosOf(long nr)
{
    for (const Errnos& e : Table())
        if (e.nr == nr)
            return &e.errs;
    return nullptr;
}

// Let through without asking the supervisor: the allocator's and the thread
// library's own calls, calls that cannot fail here, and the supervisor's
// hand-over (sched_yield).
const long kUnwatched[] = {
    SYS_futex, SYS_rt_sigreturn, SYS_exit, SYS_exit_group, SYS_getpid, SYS_gettid, SYS_getppid, SYS_sched_yield,
    SYS_mmap, SYS_munmap, SYS_mprotect, SYS_brk, SYS_madvise, SYS_mremap, SYS_rseq, SYS_set_robust_list,
    SYS_rt_sigprocmask, SYS_rt_sigaction, SYS_sigaltstack, SYS_clock_gettime, SYS_gettimeofday, SYS_getuid,
    SYS_geteuid, SYS_getgid, SYS_getegid, SYS_getresuid, SYS_getresgid, SYS_getgroups, SYS_arch_prctl,
    SYS_set_tid_address, SYS_close, SYS_umask, SYS_getrandom, SYS_restart_syscall, SYS_sched_getaffinity,
};

enum class Side { Agent, Child };

const char* SideName(Side side)
{
    return side == Side::Agent ? "agent" : "child";
}

constexpr int kMaxNr = 512;

// What the supervisor does, set by the sweeping thread between runs.
struct Plan {
    std::atomic<bool> armed{false};
    std::atomic<Side> side{Side::Agent};
    std::atomic<int> execsBeforeTool{1};
    std::atomic<long> nr{-1};
    std::atomic<long> nth{0};
    std::atomic<int> err{0};
    std::atomic<bool> persistent{false};
    std::atomic<long> injected{0};
    std::atomic<long> counts[kMaxNr];
    // Execs seen per child process (pid, count), reset at each arming.
    std::atomic<int> execPid[256];
    std::atomic<int> execCount[256];

    void Arm(Side s, int execs, long callNr, long callNth, int callErr, bool always)
    {
        side = s;
        execsBeforeTool = execs;
        nr = callNr;
        nth = callNth;
        err = callErr;
        persistent = always;
        injected = 0;
        for (auto& c : counts)
            c = 0;
        for (size_t i = 0; i < 256; ++i)
            execPid[i] = execCount[i] = 0;
        armed = true;
    }
    void Disarm() { armed = false; }

    int ExecsOf(int pid)
    {
        for (size_t i = 0; i < 256; ++i)
            if (execPid[i] == pid)
                return execCount[i];
        return 0;
    }
    void NoteExec(int pid)
    {
        for (size_t i = 0; i < 256; ++i) {
            int seen = execPid[i];
            if (seen == pid || (seen == 0 && execPid[i].compare_exchange_strong(seen, pid)) || seen == pid) {
                ++execCount[i];
                return;
            }
        }
    }
};

// A thread of this process (the sweeping thread, the library's wait
// thread), not a child: /proc/self/task lists exactly those.
bool IsOurThread(int tid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d", tid);
    return syscall(SYS_faccessat, AT_FDCWD, path, F_OK) == 0;
}

void Supervise(int listener, Plan& plan, const std::atomic<bool>& stop)
{
    for (;;) {
        pollfd p{listener, POLLIN, 0};
        const int ready = poll(&p, 1, 100);
        if (ready == 0 && stop)
            return;
        if (ready <= 0)
            continue;
        if ((p.revents & POLLIN) == 0)
            return;  // no task uses the filter any more
        seccomp_notif req;
        memset(&req, 0, sizeof req);
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &req) != 0)
            continue;
        seccomp_notif_resp resp;
        memset(&resp, 0, sizeof resp);
        resp.id = req.id;
        resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        const int nr = req.data.nr;
        const int pid = static_cast<int>(req.pid);
        const bool exec = nr == SYS_execve || nr == SYS_execveat;
        bool ours = false;
        if (plan.armed && nr >= 0 && nr < kMaxNr) {
            ours = IsOurThread(pid);
            const bool counts = plan.side == Side::Agent ? ours : !ours && plan.ExecsOf(pid) < plan.execsBeforeTool;
            if (counts) {
                const long n = ++plan.counts[nr];
                if (nr == plan.nr && (n == plan.nth || (plan.persistent && n >= plan.nth))) {
                    resp.flags = 0;
                    resp.error = -plan.err;
                    ++plan.injected;
                }
            }
        }
        if (exec && resp.flags != 0 && plan.armed && !ours)
            plan.NoteExec(pid);
        ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp);
    }
}

// Hands every system call of the calling thread (and of what it starts) but
// the unwatched ones to a supervisor: the listener's descriptor, or -1 where
// the kernel offers no user notification.
int WatchThisThread()
{
    std::vector<sock_filter> prog = testsupport::SyscallFilter(kUnwatched, std::size(kUnwatched), SECCOMP_RET_ALLOW,
                                                               SECCOMP_RET_USER_NOTIF);
    sock_fprog fprog{static_cast<unsigned short>(prog.size()), prog.data()};
    if (!IsRoot() && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return -1;
    return static_cast<int>(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &fprog));
}

// ---------------------------------------------------------------------------
// The operations

struct State {
    std::unique_ptr<MySqlChildProcess> child;
    int fd = -1;
    std::string data;  // what a relay should deliver
    int copy[2] = {-1, -1};  // a relay's copy pipe, when it has one
    long long total = 0;
    int rc = 0;
    int lastErr = 0;
    int err = 0;  // errno after the call
    std::string text;
    bool flag = false;
};

// What a point failed: the errno (0: nothing), and the system call's number
// (-1: an allocation).
struct Injected {
    int err = 0;
    long nr = -1;
    bool childSide = false;
    // The child's (or helper's) report to the launch could not be written:
    // the launch cannot learn the errno, and says the child did not report.
    bool lostReport(int seen) const { return childSide && nr == SYS_write && seen == EPROTO; }
    // The host's own reap (waitpid) failed: it forgets the child by design,
    // so the object cannot wait for it again (its destructor still reaps it).
    bool hostReap() const { return nr == SYS_wait4; }
};

struct Op {
    const char* name;
    const char* user;     // the tool's user: "" the caller's
    int execsBeforeTool;  // the child side's execs before the tool's (0: the operation starts no child)
    std::function<bool(State&)> setup;
    std::function<void(State&)> run;
    // Cleans up and judges: "" when right, otherwise what was wrong.
    std::function<std::string(State&, const Injected&)> finish;
};

std::string Describe(const Outcome& o)
{
    return "outcome state " + std::to_string(static_cast<int>(o.state)) + " code " + std::to_string(o.code) +
           " errno " + std::to_string(o.childErrno) + " (" + o.text + ")";
}

bool Launched(State& s, const std::string& command, const char* user = "")
{
    s.child = std::make_unique<MySqlChildProcess>();
    return s.child->Initialize(command, user, "") == 0 && s.child->HX_CreateProcess(false, false, false, false) == 0;
}

// A child the failure may have left: ended and reaped through its object.
std::string Reap(State& s, const Injected& e)
{
    MySqlChildProcess& c = *s.child;
    if (c.GetOutcome().state == Outcome::State::Running) {
        c.Terminate();
        c.Finalize();
        c.Wait(0);
    }
    if (c.GetOutcome().state == Outcome::State::Running && !e.hostReap())
        return "the child could no longer be reaped through its object";
    return "";
}

// -1 with the injected errno is right; so is the one the C library turns it
// into (pthread_create reports any failure of its clone as EAGAIN).
std::string Failed(const State& s, const Injected& e, int seen)
{
    if (e.err != 0 && (seen == e.err || ((e.nr == SYS_clone || e.nr == SYS_clone3) && seen == EAGAIN)))
        return "";
    return "rc " + std::to_string(s.rc) + " with errno " + std::to_string(seen) + " (injected " +
           std::to_string(e.err) + ")";
}

// A child that has ended with the command's exit and waits to be reaped.
bool EndedChild(State& s, const std::string& command)
{
    if (!Launched(s, command))
        return false;
    s.child->Finalize();
    return AwaitChildEnd(s.child->m_childPid, 30) >= 0;
}

// Everything a non-blocking pipe holds now.
std::string Drain(int fd)
{
    std::string got;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        got.append(buffer, static_cast<size_t>(n));
    return got;
}

// Relays until the source ends or a call fails.
template <typename Call>
void RelayToTheEnd(State& s, Call call)
{
    for (;;) {
        long long moved = 0;
        s.rc = call(&moved);
        s.total += moved;
        if (s.rc != 0 || moved == 0)
            break;
    }
    s.lastErr = s.child->m_lastErr;
}

// What reached the destination is what the calls reported moved, from the
// start of the source's bytes, and only a failure stops short of the end.
std::string JudgeRelay(State& s, const Injected& e, const std::string& got)
{
    std::string wrong;
    if (got.size() != static_cast<size_t>(s.total) || got != s.data.substr(0, got.size()))
        wrong = "other bytes arrived than were reported moved";
    else if (s.rc == 0 && s.total != static_cast<long long>(s.data.size()))
        wrong = "the end was reported after " + std::to_string(s.total) + " bytes";
    else if (s.rc != 0)
        wrong = Failed(s, e, s.lastErr);
    const std::string reaped = Reap(s, e);
    return wrong.empty() ? reaped : wrong;
}

std::vector<Op> Operations()
{
    std::vector<Op> ops;
    // A launch with every option that needs no control group: the settings'
    // calls are failed too.
    MySqlChildProcess::LaunchOptions every;
    every.nice = 10;
    every.ioClass = MySqlChildProcess::LaunchOptions::IoClass::Idle;
    every.limits = {{RLIMIT_CORE, 0, 0}};
    every.noNewPrivileges = true;
    for (const char* user : {"", "nobody", "nobody with every option"}) {
        const bool options = strstr(user, "option") != nullptr;
        const char* name = user[0] == '\0' ? "launch as the caller" : options ? "launch as nobody with every option"
                                                                              : "launch as nobody";
        ops.push_back({name, user[0] == '\0' ? "" : "nobody", user[0] == '\0' ? 1 : 2,
                       [user](State& s) {
                           s.child = std::make_unique<MySqlChildProcess>();
                           s.data = ProbeCommand("exit 0");
                           s.text = user[0] == '\0' ? "" : "nobody";
                           return true;
                       },
                       [options, every](State& s) {
                           // The arguments are the caller's copies: moved in,
                           // so that the sweep counts the library's allocations.
                           s.rc = s.child->Initialize(std::move(s.data), std::move(s.text), std::string());
                           if (s.rc == 0 && options)
                               s.rc = s.child->SetLaunchOptions(every);
                           if (s.rc == 0)
                               s.rc = s.child->HX_CreateProcess(false, false, false, false);
                           s.lastErr = s.child->m_lastErr;
                       },
                       [](State& s, const Injected& e) -> std::string {
                           MySqlChildProcess& c = *s.child;
                           if (s.rc != 0 && c.GetOutcome().state != Outcome::State::NotLaunched)
                               return "failed launch left a child";
                           if (s.rc != 0)
                               return e.lostReport(s.lastErr) ? "" : Failed(s, e, s.lastErr);
                           c.Finalize();
                           c.Wait(0);
                           const Outcome o = c.GetOutcome();
                           if (o.state == Outcome::State::Exited && o.code == 0)
                               return "";
                           if (o.state == Outcome::State::StartFailed && o.childErrno == e.err && e.err != 0)
                               return "";
                           return "launched, then " + Describe(o) + " (injected " + std::to_string(e.err) + ")";
                       }});
    }
    // Wait on a child that has ended with 3: -1 with 3, or with the failure,
    // and then the status is still there for a later Wait.
    ops.push_back({"Wait", "", 0,
                   [](State& s) { return EndedChild(s, ProbeCommand("exit 3")); },
                   [](State& s) {
                       s.rc = s.child->Wait(0);
                       s.lastErr = s.child->m_lastErr;
                   },
                   [](State& s, const Injected& e) -> std::string {
                       MySqlChildProcess& c = *s.child;
                       std::string wrong;
                       if (!(s.rc == -1 && s.lastErr == 3))
                           wrong = Failed(s, e, s.lastErr);
                       if (e.hostReap())
                           return wrong;
                       if (wrong.empty() && (c.Wait(0) != -1 || c.m_lastErr != 3))
                           wrong = "a later Wait did not give exit code 3";
                       const Outcome o = c.GetOutcome();
                       if (wrong.empty() && !(o.state == Outcome::State::Exited && o.code == 3))
                           wrong = "the status was lost: " + Describe(o);
                       return wrong;
                   }});
    ops.push_back({"BeginWait", "", 0,
                   [](State& s) { return EndedChild(s, ProbeCommand("exit 0")); },
                   [](State& s) {
                       MySqlChildProcess& c = *s.child;
                       s.rc = c.BeginWait();
                       // Spinning, so that the sweep's own waiting makes no call.
                       timespec start{}, now{};
                       clock_gettime(CLOCK_MONOTONIC, &start);
                       while (s.rc == 0 && !c.m_waitComplete && !c.m_waitFailed) {
                           sched_yield();
                           clock_gettime(CLOCK_MONOTONIC, &now);
                           if (now.tv_sec - start.tv_sec > 20)
                               break;
                       }
                       s.lastErr = c.m_lastErr;
                   },
                   [](State& s, const Injected& e) -> std::string {
                       MySqlChildProcess& c = *s.child;
                       std::string wrong;
                       if (s.rc == 0 && !c.m_waitComplete && !c.m_waitFailed)
                           wrong = "the wait thread never said how it ended";
                       else if (!(s.rc == 0 && c.m_waitComplete))
                           wrong = Failed(s, e, s.lastErr);
                       if (wrong.empty() && !e.hostReap() && !c.m_exitStatusKnown && c.Wait(0) != 0)
                           wrong = "a later Wait did not give exit code 0";
                       return wrong;
                   }});
    ops.push_back({"WaitFor a running child", "", 0,
                   [](State& s) { return Launched(s, ProbeCommand("sleep 30")); },
                   [](State& s) {
                       s.rc = s.child->WaitFor(20);
                       s.lastErr = s.child->m_lastErr;
                   },
                   [](State& s, const Injected& e) -> std::string {
                       std::string wrong;
                       if (!(s.rc == -1 && s.lastErr == ETIMEDOUT))
                           wrong = Failed(s, e, s.lastErr);
                       const std::string reaped = Reap(s, e);
                       return wrong.empty() ? reaped : wrong;
                   }});
    ops.push_back({"WaitFor an ended child", "", 0,
                   [](State& s) { return EndedChild(s, ProbeCommand("exit 0")); },
                   [](State& s) {
                       s.rc = s.child->WaitFor(5000);
                       s.lastErr = s.child->m_lastErr;
                   },
                   [](State& s, const Injected& e) -> std::string {
                       std::string wrong = s.rc == 0 ? "" : Failed(s, e, s.lastErr);
                       if (wrong.empty() && !e.hostReap() && s.child->Wait(0) != 0)
                           wrong = "a later Wait did not give exit code 0";
                       return wrong;
                   }});
    ops.push_back({"Stop", "", 0,
                   [](State& s) { return Launched(s, ProbeCommand("sleep 30")); },
                   [](State& s) {
                       s.rc = s.child->Stop(5000);
                       s.lastErr = s.child->m_lastErr;
                   },
                   [](State& s, const Injected& e) -> std::string {
                       const Outcome o = s.child->GetOutcome();
                       std::string wrong;
                       const bool stopped = s.rc == -1 && s.lastErr == 0 && o.state == Outcome::State::Signaled;
                       if (!stopped)
                           wrong = Failed(s, e, s.lastErr);
                       const std::string reaped = Reap(s, e);
                       return wrong.empty() ? reaped : wrong;
                   }});
    // The relays: every byte once, or -1 with the failure; never fewer
    // bytes reported as the end.
    // With a copy pipe and a rate limit, the copy holds every byte that was
    // moved, in order, and at most the bytes of a call that failed after
    // copying besides.
    enum class Way { Splice, Buffer, CopiedAndPaced };
    for (const Way way : {Way::Splice, Way::Buffer, Way::CopiedAndPaced}) {
        const bool append = way == Way::Buffer;
        const bool copied = way == Way::CopiedAndPaced;
        ops.push_back({append   ? "RelayOutputTo through a buffer"
                       : copied ? "RelayOutputTo with a copy and a rate limit"
                                : "RelayOutputTo",
                       "", 0,
                       [append, copied](State& s) {
                           s.data = EmitPattern(300000);
                           const std::string path = std::string(ProbePath()) + ".out";
                           unlink(path.c_str());
                           s.fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | (append ? O_APPEND : 0), 0600);
                           unlink(path.c_str());
                           if (copied && (pipe2(s.copy, O_CLOEXEC | O_NONBLOCK) != 0 ||
                                          fcntl(s.copy[0], F_SETPIPE_SZ, 1 << 20) < static_cast<int>(s.data.size())))
                               return false;
                           if (s.fd < 0 || !Launched(s, ProbeCommand("emit 300000")))
                               return false;
                           return !copied ||
                                  (s.child->SetOutputCopy(s.copy[1]) == 0 && s.child->SetRateLimit(2 << 20) == 0);
                       },
                       [](State& s) {
                           RelayToTheEnd(s, [&](long long* moved) { return s.child->RelayOutputTo(s.fd, 1 << 20, moved); });
                       },
                       [copied](State& s, const Injected& e) {
                           std::string got(s.data.size() + 1, '\0');
                           const ssize_t n = pread(s.fd, &got[0], got.size(), 0);
                           got.resize(n > 0 ? static_cast<size_t>(n) : 0);
                           close(s.fd);
                           s.child->CloseOutput();
                           std::string copy;
                           if (copied) {
                               copy = Drain(s.copy[0]);
                               close(s.copy[0]);
                               close(s.copy[1]);
                           }
                           const std::string wrong = JudgeRelay(s, e, got);
                           if (copied && wrong.empty() &&
                               (copy.size() < got.size() || copy != s.data.substr(0, copy.size())))
                               return std::string("the copy is not the bytes that moved");
                           return wrong;
                       }});
    }
    ops.push_back({"RelayInputFrom", "", 0,
                   [](State& s) {
                       s.data = EmitPattern(200000);
                       const std::string path = std::string(ProbePath()) + ".in";
                       WriteFile(path, s.data, 0600);
                       s.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
                       unlink(path.c_str());
                       return s.fd >= 0 && Launched(s, ProbeCommand("cat"));
                   },
                   [](State& s) {
                       RelayToTheEnd(s, [&](long long* moved) { return s.child->RelayInputFrom(s.fd, 1 << 20, moved); });
                   },
                   [](State& s, const Injected& e) {
                       close(s.fd);
                       s.child->CloseInput();
                       return JudgeRelay(s, e, ReadAll(*s.child));
                   }});
    // The error file's readers: what the file holds, or -1 with the
    // failure in errno (ReadErrBuf keeps the errno it found on entry in
    // m_lastErr).
    ops.push_back({"the error file's readers", "", 0,
                   [](State& s) {
                       s.child = std::make_unique<MySqlChildProcess>();
                       if (s.child->Initialize(ProbeCommand("exit 0"), "", "") != 0)
                           return false;
                       WriteFile(s.child->m_errFilePath, "first\nERROR here\nlast\n", 0600);
                       return true;
                   },
                   [](State& s) {
                       char buffer[64];
                       long length = sizeof buffer;
                       s.rc = s.child->ReadErrBuf(buffer, &length);
                       s.err = errno;
                       s.flag = s.rc == 0 && strcmp(buffer, "first\nERROR here\nlast\n") == 0;
                       const int rc = s.child->ReadLastErr(s.text, "ERROR");
                       s.lastErr = errno;
                       if (s.rc == 0 && rc != 0) {
                           s.rc = rc;
                           s.err = s.lastErr;
                       } else if (s.rc == 0) {
                           s.flag = s.flag && s.text == "ERROR here";
                       }
                       s.child->logBufferContent();
                   },
                   [](State& s, const Injected& e) -> std::string {
                       unlink(s.child->m_errFilePath.c_str());
                       if (s.rc == 0)
                           return s.flag ? "" : "a reader returned other text than the file holds";
                       return Failed(s, e, s.err);
                   }});
    return ops;
}

// ---------------------------------------------------------------------------
// The sweep

// What the sweeping subprocess is doing, for the report of a crash or hang.
struct Shared {
    char point[512];
};

struct Sweep {
    Plan& plan;
    Shared* shared;
    bool childSide;
    long points = 0;
    long failures = 0;

    void Note(const std::string& what) { snprintf(shared->point, sizeof shared->point, "%s", what.c_str()); }

    // No zombie and no running child of this process is left.
    static bool NoChildren()
    {
        for (int i = 0; i < 100; ++i) {
            LibMySqlProcess::ReapEndedChildren();
            siginfo_t info{};
            if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD)
                return true;
            usleep(10000);
        }
        return false;
    }

    // A run that fills what the process makes once and keeps (the user
    // database's caches, the first thread's, the reaper's list), so that the
    // points after it see only what an operation leaves.
    void WarmUp(const Op& op)
    {
        State s;
        if (op.setup(s)) {
            op.run(s);
            op.finish(s, Injected{});
        }
        NoChildren();
    }

    // One run of op, with plan armed by arm (and disarmed before the finish).
    void RunPoint(const Op& op, const std::string& what, const std::function<void()>& arm,
                  const std::function<void()>& disarm, const Injected& injected)
    {
        Note(what);
        const std::vector<int> fds = OpenFds();
        const long live = allocs::g_live;
        std::string wrong;
        {
            State s;
            if (!op.setup(s)) {
                wrong = "could not set up";
            } else {
                arm();
                try {
                    op.run(s);
                } catch (...) {
                    wrong = "an exception left the library";
                }
                disarm();
                const std::string verdict = op.finish(s, injected);
                if (wrong.empty())
                    wrong = verdict;
            }
        }
        if (wrong.empty() && !NoChildren())
            wrong = "a child was left";
        if (wrong.empty()) {
            for (int fd : OpenFds())
                if (std::find(fds.begin(), fds.end(), fd) == fds.end())
                    wrong += " " + std::to_string(fd) + " (" + LinkOf("/proc/self/fd/" + std::to_string(fd)) + ")";
            if (!wrong.empty())
                wrong = "descriptors left:" + wrong;
        }
        if (wrong.empty() && allocs::g_live != live)
            wrong = "allocations left: " + std::to_string(allocs::g_live - live);
        ++points;
        if (!wrong.empty()) {
            ++failures;
            fprintf(stderr, "FAULT %s: %s\n", what.c_str(), wrong.c_str());
        }
    }

    void Allocations(const Op& op)
    {
        auto arm = [](long at) {
            allocs::g_seen = 0;
            allocs::g_failed = 0;
            allocs::g_failAt = at;
            allocs::g_armed = true;
        };
        auto disarm = [] { allocs::g_armed = false; };
        const std::string name = std::string(op.name) + " / allocations";
        WarmUp(op);
        RunPoint(op, name + " counted", [&] { arm(0); }, disarm, Injected{});
        const long total = allocs::g_seen;
        for (long n = 1; n <= total; ++n) {
            RunPoint(op, name + " #" + std::to_string(n), [&] { arm(n); }, disarm, Injected{ENOMEM, -1});
        }
        printf("[ SWEEP    ] %s: %ld allocations, %ld points\n", name.c_str(), total, total);
    }

    void Calls(const Op& op, Side side)
    {
        const int execs = op.execsBeforeTool;
        auto disarm = [this] { plan.Disarm(); };
        const std::string name = std::string(op.name) + " / " + SideName(side) + "'s system calls";
        WarmUp(op);
        RunPoint(op, name + " counted", [&] { plan.Arm(side, execs, -1, 0, 0, false); }, disarm, Injected{});
        std::vector<std::pair<long, long>> counts;  // number, calls
        long calls = 0;
        std::string unlisted;
        for (long nr = 0; nr < kMaxNr; ++nr) {
            const long n = plan.counts[nr];
            if (n == 0)
                continue;
            calls += n;
            if (ErrnosOf(nr) != nullptr)
                counts.emplace_back(nr, n);
            else
                unlisted += " " + std::to_string(nr);
        }
        const long before = points;
        for (const auto& [nr, n] : counts) {
            const std::vector<int>& errs = *ErrnosOf(nr);
            for (long k = 1; k <= n; ++k) {
                for (int e : errs) {
                    const std::string what = name + ": call " + std::to_string(nr) + " #" + std::to_string(k) +
                                             " fails with " + strerrorname_np(e);
                    RunPoint(op, what, [&] { plan.Arm(side, execs, nr, k, e, false); }, disarm,
                             Injected{e, nr, side == Side::Child});
                }
            }
            // For good, from the first call on, with each errno that does not
            // ask for a retry.
            for (int e : errs) {
                if (e == EINTR)
                    continue;
                const std::string what =
                    name + ": call " + std::to_string(nr) + " always fails with " + strerrorname_np(e);
                RunPoint(op, what, [&] { plan.Arm(side, execs, nr, 1, e, true); }, disarm,
                         Injected{e, nr, side == Side::Child});
            }
        }
        printf("[ SWEEP    ] %s: %ld calls of %zu kinds injected, %ld points%s%s\n", name.c_str(), calls,
               counts.size(), points - before, unlisted.empty() ? "" : "; let through:", unlisted.c_str());
    }
};

// Runs the whole sweep in a subprocess: its own thread under the filter, the
// supervisor beside it. The number of faults found (capped), 90 when the
// kernel offers no user notification, 91 when an operation could not run.
int RunSweep(Shared* shared, bool childSide, bool allocations)
{
    Plan* plan = new Plan;
    std::atomic<int> listener{-2};
    std::atomic<bool> supervising{false};
    std::atomic<bool> stop{false};
    const std::vector<Op> ops = Operations();
    long failures = 0;
    long points = 0;
    std::thread sweeper([&] {
        listener = WatchThisThread();
        if (listener < 0)
            return;
        while (!supervising)
            sched_yield();
        Sweep sweep{*plan, shared, childSide};
        // MYSQLPROCESS_SWEEP=text sweeps only the operations whose name holds it.
        const char* only = getenv("MYSQLPROCESS_SWEEP");
        for (const Op& op : ops) {
            if (op.user[0] != '\0' && !IsRoot())
                continue;
            if (only != nullptr && strstr(op.name, only) == nullptr)
                continue;
            if (childSide) {
                if (op.execsBeforeTool > 0)
                    sweep.Calls(op, Side::Child);
            } else if (allocations) {
                sweep.Allocations(op);
            } else {
                sweep.Calls(op, Side::Agent);
            }
        }
        failures = sweep.failures;
        points = sweep.points;
    });
    while (listener == -2)
        sched_yield();
    if (listener < 0) {
        sweeper.join();
        return 90;
    }
    std::thread supervisor([&] { Supervise(listener, *plan, stop); });
    supervising = true;
    sweeper.join();
    stop = true;
    supervisor.join();
    printf("[ SWEEP    ] %ld points, %ld faults\n", points, failures);
    fflush(stdout);
    return failures > 80 ? 80 : static_cast<int>(failures);
}

class Faults : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        HxDebugWrite("test", 1, "test starts");
        ProbePath();  // the copy is made before any point counts allocations
    }

    HostEnv m_env{5};
};

TEST_P(Faults, EveryFailureIsReportedAndLeavesNothingBehind)
{
    const std::string mode = GetParam();
    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    shared->point[0] = '\0';
    const int rc = RunInSubprocess([&] { return RunSweep(shared, mode == "child", mode == "allocations"); }, 600);
    const std::string point = shared->point;
    munmap(shared, sizeof(Shared));
    if (rc == 90)
        GTEST_SKIP() << "the kernel offers no seccomp user notification";
    EXPECT_EQ(rc, 0) << (rc < 0 ? "hung" : rc > 128 ? "crashed" : "faults found (see FAULT lines)") << " at: "
                     << point;
}

INSTANTIATE_TEST_SUITE_P(Sweep, Faults, ::testing::Values("allocations", "agent", "child"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// The child that shares the agent's memory runs between clone and exec with
// the allocator's locks possibly held by other threads: it allocates
// nothing, also where it opens the error file itself (a file already there).
TEST(ChildPath, AllocatesNothing)
{
    if (ForkPath())
        GTEST_SKIP() << "a forked child has memory of its own";
    HostEnv env(9);
    HxDebugWrite("test", 1, "test starts");
    for (const bool systemEnv : {false, true}) {
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize(ProbeCommand("exit 0"), "", ""), 0);
        WriteFile(child.m_errFilePath, "", 0600);  // so the child opens it by its path
        allocs::g_foreign = 0;
        allocs::g_owner = static_cast<int>(getpid());
        const int rc = child.HX_CreateProcess(false, false, systemEnv, false);
        allocs::g_owner = 0;
        ASSERT_EQ(rc, 0);
        child.Finalize();
        EXPECT_EQ(child.Wait(0), 0);
        EXPECT_EQ(allocs::g_foreign.load(), 0) << "allocations made by the child";
    }
}

// A host thread cancelled while a relay copies (a pair the kernel will not
// splice) unwinds through the copy: its buffer goes with it.
TEST(Relay, CancelledCopyLeavesNoBuffer)
{
    HostEnv env;
    HxDebugWrite("test", 1, "test starts");
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("sleep 30"), "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    const std::string path = std::string(ProbePath()) + ".append";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    unlink(path.c_str());
    struct Relay {
        MySqlChildProcess* child;
        int fd;
    } relay{&child, fd};
    auto relayForEver = [](void* arg) -> void* {
        auto* r = static_cast<Relay*>(arg);
        long long moved = 0;
        r->child->RelayOutputTo(r->fd, 1 << 20, &moved);
        return nullptr;
    };
    const long before = allocs::g_live;
    for (int i = 0; i < 50; ++i) {
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, nullptr, relayForEver, &relay), 0);
        usleep(2000);  // into the read, which blocks: the tool writes nothing
        pthread_cancel(thread);
        pthread_join(thread, nullptr);
    }
    EXPECT_LT(allocs::g_live - before, 10) << "buffers left by cancelled relays";
    close(fd);
    child.Terminate();
    child.Finalize();
    child.Wait(0);
}

}  // namespace
