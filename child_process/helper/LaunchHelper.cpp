// mysqlprocess-helper: the step between the library's child and a tool that
// runs as another user.
//
// The library's child shares the agent's memory until it execs, and
// credentials must never change in memory the agent shares: the kernel would
// mark that memory undumpable for good, and the child, once it belongs to the
// impersonated account, could be stopped by that account while the agent's
// launching thread waits for it. So the child, still the agent's user, sets
// up the tool's standard input and output and execs this program; here, in
// memory of its own and holding nothing of the agent but the launch's own
// descriptors, the user is switched and verified, the error file opened when
// the launch could not hand one over, and the tool exec'd.
//
// Built without the C library: a static program of a few pages starts in a
// fraction of the time a C library's start-up takes, and its dynamic loader
// would read LD_PRELOAD and LD_LIBRARY_PATH from the tool's environment while
// still running as root. Everything is a raw system call. x86-64 only, like
// the library's host.
//
// It reports through the launch's report pipe (see HelperProtocol.h) and
// writes nothing else anywhere: the launch logs its failures.

#include <asm/stat.h>
#include <asm/unistd.h>
#include <linux/capability.h>
#include <linux/fcntl.h>
#include <linux/prctl.h>
#include <linux/stat.h>
#include <stddef.h>
#include <stdint.h>

#include "child_process/HelperProtocol.h"

#if !defined(__x86_64__)
#error "the launch helper is written for x86-64"
#endif

using namespace LibMySqlProcess;

namespace {

constexpr long kEINTR = 4;
constexpr long kENOENT = 2;
constexpr long kEEXIST = 17;
constexpr long kEINVAL = 22;
constexpr long kEPERM = 1;
constexpr long kEPROTO = 71;
constexpr int kStdErr = 2;

long Syscall(long n, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0)
{
    long ret;
    register long r10 asm("r10") = d;
    register long r8 asm("r8") = e;
    asm volatile("syscall" : "=a"(ret) : "a"(n), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8) : "rcx", "r11", "memory");
    return ret;
}

// The system call's errno, 0 on success.
long Err(long ret)
{
    return ret < 0 && ret > -4096 ? -ret : 0;
}

template <typename T>
long Arg(T value)
{
    return (long)value;
}

[[noreturn]] void Exit(int code)
{
    for (;;)
        Syscall(__NR_exit_group, code);
}

int g_reportFd = -1;

void Report(int32_t exitCode, int32_t step, int32_t err)
{
    const StartupReport record{kReportMagic, exitCode, step, err};
    while (Syscall(__NR_write, g_reportFd, Arg(&record), sizeof record) == -kEINTR) {
    }
}

// The one way out of a failed step.
[[noreturn]] void Fail(int32_t exitCode, int32_t step, long err)
{
    Report(exitCode, step, (int32_t)err);
    Exit(exitCode);
}

// The descriptor number in text, the whole of it.
bool ReadDescriptor(const char* text, long& fd)
{
    fd = 0;
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9' || fd > 1000000)
            return false;
        fd = fd * 10 + (*text - '0');
    }
    return true;
}

struct Plan {
    long reportFd;
    long jobFolder;
    uint32_t uid;
    uint32_t gid;
    bool stderrReady;
    long groupCount;
    ToolSettings settings;
};

// Zero-initialized, so they cost nothing until touched.
uint32_t g_groups[kMaxGroups];
uint32_t g_groupsNow[kMaxGroups];
char g_errorFile[kMaxErrorFilePath + 1];

// All of count bytes at offset: 0, or the errno (EPROTO for a record that
// ends short).
long ReadAt(long fd, void* into, unsigned long count, long offset)
{
    char* at = static_cast<char*>(into);
    while (count > 0) {
        const long n = Syscall(__NR_pread64, fd, Arg(at), (long)count, offset);
        if (n == -kEINTR)
            continue;
        if (n <= 0)
            return n == 0 ? kEPROTO : -n;
        at += n;
        offset += n;
        count -= (unsigned long)n;
    }
    return 0;
}

// The launch's record (HelperProtocol.h), read whole from its descriptor,
// which is closed then: the tool must not inherit it. A record that cannot
// be read, or is not one, is reported as the report channel's failure.
void ReadPlan(long fd, Plan& plan)
{
    HelperRecord r{};
    long err = ReadAt(fd, &r, sizeof r, 0);
    if (err == 0 && (r.magic != kHelperRecordMagic || r.version != kHelperRecordVersion || r.headerSize != sizeof r ||
                     r.groupCount > kMaxGroups || r.errorFileLength > kMaxErrorFilePath ||
                     r.size != sizeof r + r.groupCount * sizeof(uint32_t) + r.errorFileLength))
        err = kEPROTO;
    if (err == 0)
        err = ReadAt(fd, g_groups, r.groupCount * sizeof(uint32_t), sizeof r);
    if (err == 0)
        err = ReadAt(fd, g_errorFile, r.errorFileLength, (long)(sizeof r + r.groupCount * sizeof(uint32_t)));
    Syscall(__NR_close, fd);
    if (err != 0)
        Fail(kStageRedirect, kStepReportChannel, err);
    g_errorFile[r.errorFileLength] = '\0';
    plan.uid = r.uid;
    plan.gid = r.gid;
    plan.stderrReady = r.stderrReady != 0;
    plan.jobFolder = r.jobFolder;
    plan.groupCount = r.groupCount;
    plan.settings = r.settings;
}

// Every capability set empty: effective, permitted, inheritable and ambient.
bool HasNoCapabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (Syscall(__NR_capget, Arg(&header), Arg(data)) != 0)
        return false;
    for (const __user_cap_data_struct& d : data)
        if (d.effective != 0 || d.permitted != 0 || d.inheritable != 0)
            return false;
    for (long cap = 0; cap < 64; ++cap) {
        const long set = Syscall(__NR_prctl, PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, cap, 0, 0);
        if (set == -kEINVAL)
            break;  // past the last capability, or a kernel without ambient ones
        if (set != 0)
            return false;
    }
    return true;
}

// A non-root user keeps whatever capabilities an agent running under a
// service account had: the kernel clears them only on leaving uid 0.
void DropCapabilities()
{
    Syscall(__NR_prctl, PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    Syscall(__NR_capset, Arg(&header), Arg(data));
}

// True when the process is exactly the user: ids, groups one by one (a filter
// that made setgroups report success without doing it leaves as many of
// root's), and no capability beyond a plain user's.
bool IsExactly(const Plan& plan)
{
    uint32_t r = 1, e = 1, s = 1;
    if (Syscall(__NR_getresuid, Arg(&r), Arg(&e), Arg(&s)) != 0 || r != plan.uid || e != plan.uid || s != plan.uid)
        return false;
    if (Syscall(__NR_getresgid, Arg(&r), Arg(&e), Arg(&s)) != 0 || r != plan.gid || e != plan.gid || s != plan.gid)
        return false;
    if (Syscall(__NR_getgroups, plan.groupCount, Arg(g_groupsNow)) != plan.groupCount)
        return false;
    for (long i = 0; i < plan.groupCount; ++i)
        if (g_groupsNow[i] != g_groups[i])
            return false;
    return plan.uid == 0 || HasNoCapabilities();
}

void SwitchUser(const Plan& plan)
{
    long err = Err(Syscall(__NR_setgroups, plan.groupCount, Arg(g_groups)));
    if (err != 0)
        Fail(kStageUserSwitch, kStepGroups, err);
    // No gid call when every group id already is the user's: a filter that
    // denies those calls must not break such a switch.
    uint32_t r = 0, e = 0, s = 0;
    const bool gidsMatch = Syscall(__NR_getresgid, Arg(&r), Arg(&e), Arg(&s)) == 0 && r == plan.gid &&
                           e == plan.gid && s == plan.gid;
    if (!gidsMatch && (err = Err(Syscall(__NR_setresgid, plan.gid, plan.gid, plan.gid))) != 0)
        Fail(kStageUserSwitch, kStepGid, err);
    if ((err = Err(Syscall(__NR_setresuid, plan.uid, plan.uid, plan.uid))) != 0)
        Fail(kStageUserSwitch, kStepUid, err);
    if (plan.uid != 0)
        DropCapabilities();
    if (!IsExactly(plan))
        Fail(kStageUserSwitch, kStepUid, kEPERM);
}

constexpr long kSafeOpen = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// The error file, opened now that this is the user, by its name in the job
// folder the launch opened (no folder on the way can be swapped): a file
// already there is appended to, a new one created 0660 (less the umask).
// Never through a final link, never waiting on a FIFO, only a regular file
// that belongs to the user or to root. The descriptor, or -errno.
long OpenErrorFile(long folder, const char* name)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        long fd = Syscall(__NR_openat, folder, Arg(name), O_WRONLY | O_APPEND | kSafeOpen);
        if (fd == -kENOENT)
            fd = Syscall(__NR_openat, folder, Arg(name), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | kSafeOpen, 0660);
        if (fd == -kEEXIST)
            continue;  // created by someone else meanwhile: take it as existing
        if (fd < 0)
            return fd;
        struct stat st {};
        long err = Err(Syscall(__NR_fstat, fd, Arg(&st)));
        if (err == 0 && (st.st_mode & S_IFMT) != S_IFREG)
            err = kEINVAL;
        if (err == 0 && st.st_uid != 0 && st.st_uid != (uint32_t)Syscall(__NR_geteuid))
            err = kEPERM;
        const long flags = err == 0 ? Syscall(__NR_fcntl, fd, F_GETFL) : 0;
        if (err == 0 && flags >= 0)
            Syscall(__NR_fcntl, fd, F_SETFL, flags & ~O_NONBLOCK);  // non-blocking only guarded the open
        if (err == 0)
            return fd;
        Syscall(__NR_close, fd);
        return -err;
    }
    return -kEEXIST;
}

void SetUpStandardError(long folder, const char* name)
{
    const long fd = OpenErrorFile(folder, name);
    if (fd < 0)
        Fail(kStageRedirect, kStepErrorFile, -fd);
    long err;
    if (fd == kStdErr)
        err = Err(Syscall(__NR_fcntl, fd, F_SETFD, 0));
    else
        err = Err(Syscall(__NR_dup3, fd, kStdErr, 0));
    if (err != 0)
        Fail(kStageRedirect, kStepStderr, err);
    if (fd != kStdErr)
        Syscall(__NR_close, fd);
}

}  // namespace

extern "C" [[noreturn]] __attribute__((used)) void HelperMain(long* stack)
{
    const long argc = stack[0];
    char** argv = reinterpret_cast<char**>(stack + 1);
    char** envp = argv + argc + 1;

    Plan plan{};
    const char* tag = MYSQLPROCESS_HELPER_TAG;
    bool tagMatches = argc >= 5;
    for (long i = 0; tagMatches; ++i) {
        if (argv[1][i] != tag[i]) {
            tagMatches = false;
            break;
        }
        if (tag[i] == '\0')
            break;
    }
    long recordFd = -1;
    if (!tagMatches || !ReadDescriptor(argv[2], recordFd) || !ReadDescriptor(argv[3], plan.reportFd) ||
        plan.reportFd < 3) {
        // Not started by a library that speaks this helper's language: the
        // report descriptor may be anything, so nothing is written.
        Exit(kStageHelperProtocol);
    }
    g_reportFd = (int)plan.reportFd;
    ReadPlan(recordFd, plan);

    // What may need root's privileges (the group, priorities, limits) is set
    // before the switch, and stays through it; the rest after, once the
    // error file is open (only the tool's own files feel the base home mode's
    // umask), and then everything is read back.
    auto sys = [](long n, auto... a) { return Syscall(n, static_cast<long>(a)...); };
    int32_t step = kStepNone;
    long err = ApplyPrivilegedSettings(plan.settings, sys, &step);
    if (err != 0)
        Fail(kStageUserSwitch, step, err);
    SwitchUser(plan);
    if (!plan.stderrReady)
        SetUpStandardError(plan.jobFolder, g_errorFile);
    Syscall(__NR_close, plan.jobFolder);  // the tool must not inherit it
    if ((err = ApplyFinalSettings(plan.settings, sys, &step)) != 0)
        Fail(kStageUserSwitch, step, err);

    Report(0, kStepNone, 0);
    Syscall(__NR_fcntl, plan.reportFd, F_SETFD, FD_CLOEXEC);
    // The launch kept every signal blocked up to here; the tool starts with
    // none blocked.
    const uint64_t none = 0;
    Syscall(__NR_rt_sigprocmask, 2 /* SIG_SETMASK */, Arg(&none), 0, sizeof none);
    char** tool = argv + 4;
    err = Err(Syscall(__NR_execve, Arg(tool[0]), Arg(tool), Arg(envp)));
    Fail(kStageExec, kStepExec, err);
}

// The compiler may turn loops and aggregate copies into calls of these.
extern "C" void* memset(void* dst, int c, size_t n)
{
    auto* d = static_cast<volatile unsigned char*>(dst);
    for (size_t i = 0; i < n; ++i)
        d[i] = (unsigned char)c;
    return dst;
}

extern "C" void* memcpy(void* dst, const void* src, size_t n)
{
    auto* d = static_cast<volatile unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    for (size_t i = 0; i < n; ++i)
        d[i] = s[i];
    return dst;
}

// The process starts here, with argc at the top of the stack.
asm(R"(
    .text
    .globl _start
    .type _start, @function
_start:
    xor %ebp, %ebp
    mov %rsp, %rdi
    and $-16, %rsp
    call HelperMain
    hlt
)");
