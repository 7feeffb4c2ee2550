// A tool run as another user must not reach the agent: the agent's memory
// keeps its dumpable flag, a child that account stops cannot hold a launch
// or another thread's pipes, capabilities do not follow the tool, and the
// launch refuses a helper it cannot trust. Also the reaping of children whose
// object is gone, on a kernel that cannot wait on pid descriptors.
#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>

#include "child_process/LaunchHelperPath.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "support/TestSupport.h"

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace {

using LibMySqlProcess::MySqlChildProcess;
using namespace testsupport;

class Isolation : public ::testing::Test {
protected:
    HostEnv env;
};

bool Nobody(uid_t& uid, gid_t& gid)
{
    const passwd* pw = getpwnam("nobody");
    if (pw == nullptr)
        return false;
    uid = pw->pw_uid;
    gid = pw->pw_gid;
    return true;
}

// Launches command as user, feeds nothing, reads everything, waits. The
// tool's output, or "launch failed" / "wait failed".
std::string RunAs(const std::string& command, const char* user)
{
    MySqlChildProcess child;
    if (child.Initialize(command, user, "") != 0 || child.HX_CreateProcess(false, false, false, false) != 0)
        return "launch failed";
    std::string out = ReadAll(child);
    child.Finalize();
    return child.Wait(0) == 0 ? out : "wait failed";
}

int Launches(int plain)
{
    const std::string s = Sanitizer();
    return s.empty() ? plain : s == "valgrind" ? plain / 50 : plain / 5;
}

// The kernel marks memory undumpable when a process using it changes its
// credentials; the agent's memory must never be that process's.
TEST_F(Isolation, DumpableFlagNeverChangesDuringImpersonatedLaunches)
{
    if (!IsRoot())
        GTEST_SKIP() << "impersonation needs root";
    for (const char* mode : {static_cast<const char*>(nullptr), "fork"}) {
        SCOPED_TRACE(mode != nullptr ? "fork()" : "shared-memory clone");
        ScopedEnv forkMode("HX_FORK", mode);
        const int rc = RunInSubprocess(
            [mode] {
                SUB_CHECK(prctl(PR_SET_DUMPABLE, 1) == 0, 10);
                std::atomic<bool> stop{false};
                std::atomic<long> samples{0};
                std::atomic<int> changed{-1};
                std::thread sampler([&] {
                    while (!stop) {
                        const int now = prctl(PR_GET_DUMPABLE);
                        if (now != 1)
                            changed = now;
                        ++samples;
                        sched_yield();
                    }
                });
                // A thousand where the child shares the agent's memory, which
                // the flag belongs to; fewer where it is a copy.
                int failures = 0;
                for (int i = 0; i < Launches(mode == nullptr ? 1000 : 250); ++i)
                    failures += RunAs("/bin/true", "nobody") == "" ? 0 : 1;
                stop = true;
                sampler.join();
                SUB_CHECK(failures == 0, 11);
                SUB_CHECK(samples > 0, 12);
                SUB_CHECK(changed == -1, 13);
                return 0;
            },
            600);
        EXPECT_EQ(rc, 0) << "13: the agent's dumpable flag changed";
    }
}

// In a PID namespace of its own, so that kill(-1) reaches nothing outside:
// an account that stops every process of its own in a loop, while the host
// launches as that account on one thread and runs root round trips on
// another. Every launch returns (a stopped child is killed and the launch
// fails with ECANCELED), and every round trip finishes.
TEST_F(Isolation, ChildStoppedBeforeItsExecNeverHoldsTheHost)
{
    if (!IsRoot())
        GTEST_SKIP() << "a PID namespace and another account need root";
    uid_t uid;
    gid_t gid;
    ASSERT_TRUE(Nobody(uid, gid));
    for (const char* mode : {static_cast<const char*>(nullptr), "fork"}) {
        SCOPED_TRACE(mode != nullptr ? "fork()" : "shared-memory clone");
        ScopedEnv forkMode("HX_FORK", mode);
        const int rc = RunInPidNamespace(
            [&]() -> int {
                // A sanitized tool's leak check cannot follow its threads
                // through /proc from inside the namespace, and fails the tool.
                SetEnv("ASAN_OPTIONS", "detect_leaks=0");
                const pid_t attacker = fork();
                if (attacker == 0) {
                    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0)
                        _exit(1);
                    for (;;) {
                        kill(-1, SIGSTOP);
                        sched_yield();
                    }
                }
                std::atomic<bool> roundTripsFailed{false};
                std::thread root([&] {
                    const std::string data(64 * 1024, 'x');
                    for (int i = 0; i < 30; ++i) {
                        MySqlChildProcess cat;
                        if (cat.Initialize(ProbeCommand("cat"), "", "") != 0 ||
                            cat.HX_CreateProcess(false, false, false, false) != 0) {
                            fprintf(stderr, "round trip %d: launch failed: %s\n", i, cat.GetOutcome().text.c_str());
                            roundTripsFailed = true;
                            return;
                        }
                        std::string back;
                        std::thread reader([&] { back = ReadAll(cat); });
                        cat.WriteBuf(const_cast<char*>(data.data()), static_cast<long>(data.size()));
                        cat.CloseInput();
                        reader.join();
                        cat.Finalize();
                        if (cat.Wait(0) != 0 || back != data) {
                            fprintf(stderr, "round trip %d: %s, %zu bytes back\n", i, cat.GetOutcome().text.c_str(),
                                    back.size());
                            roundTripsFailed = true;
                        }
                    }
                });
                int slowest = 0;
                for (int i = 0; i < 30; ++i) {
                    MySqlChildProcess child;
                    if (child.Initialize(ProbeCommand("exit 0"), "nobody", "") != 0)
                        _exit(10);
                    const auto start = std::chrono::steady_clock::now();
                    const int launched = child.HX_CreateProcess(false, false, false, false);
                    const auto took = std::chrono::steady_clock::now() - start;
                    slowest = std::max(slowest, static_cast<int>(
                                                    std::chrono::duration_cast<std::chrono::seconds>(took).count()));
                    if (launched != 0 && child.m_lastErr != ECANCELED)
                        _exit(11);
                    if (launched == 0) {
                        child.Terminate();  // the tool itself may be stopped by now
                        child.Finalize();
                        child.Wait(0);
                    }
                }
                root.join();
                kill(attacker, SIGKILL);
                waitpid(attacker, nullptr, 0);
                if (roundTripsFailed)
                    _exit(12);
                // A generous bound: what matters is that none waited for ever.
                _exit(slowest < 10 ? 0 : 13);
            },
            300);
        if (rc == 90)
            GTEST_SKIP() << "the kernel refused a PID namespace";
        EXPECT_EQ(rc, 0) << "11: a launch failed otherwise; 12: a root round trip failed; 13: a launch took 10 s "
                            "or more; -1: something hung";
    }
}

// An agent under a service account with ambient capabilities: the tool run as
// nobody must have none of them.
TEST_F(Isolation, ToolRunAsAnotherUserHasNoCapabilities)
{
    if (!IsRoot())
        GTEST_SKIP() << "setting up a service account with capabilities needs root";
    uid_t nobodyUid;
    gid_t nobodyGid;
    ASSERT_TRUE(Nobody(nobodyUid, nobodyGid));
    const uid_t service = 4321;
    TempDir results;
    ASSERT_EQ(chown(results.path().c_str(), service, service), 0);
    const std::string out = results / "caps.txt";
    const int rc = RunInSubprocess(
        [&] {
            SetEnv("HX_JOB_RESULTS_DIR", results.path());
            const int caps[] = {CAP_SETUID, CAP_SETGID, CAP_CHOWN};
            if (prctl(PR_SET_KEEPCAPS, 1) != 0 || setgroups(0, nullptr) != 0 ||
                setresgid(service, service, service) != 0 || setresuid(service, service, service) != 0)
                return 90;
            __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct data[2] = {};
            for (int cap : caps)
                data[0].effective |= 1u << cap;
            data[0].permitted = data[0].inheritable = data[0].effective;
            if (syscall(SYS_capset, &header, data) != 0)
                return 91;
            for (int cap : caps)
                if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, cap, 0, 0) != 0)
                    return 92;
            const std::string seen = RunAs("/bin/grep ^Cap /proc/self/status", "nobody");
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || write(fd, seen.data(), seen.size()) != static_cast<ssize_t>(seen.size()))
                return 11;
            close(fd);
            return 0;
        },
        60);
    if (rc >= 90)
        GTEST_SKIP() << "the kernel refused the capability setup (" << rc << ")";
    ASSERT_EQ(rc, 0);
    const std::string seen = ReadFile(out);
    ASSERT_NE(seen.find("CapEff"), std::string::npos) << seen;
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
        EXPECT_NE(seen.find(std::string(set) + ":\t0000000000000000"), std::string::npos) << set << "\n" << seen;
}

// The helper runs as root before it switches: one that others could have
// placed, or could replace through a folder above it or a link, is refused,
// a missing one too, and one that does not confirm the
// switch (here a program that is no helper at all) never leaves a tool
// running as the caller.
TEST_F(Isolation, HelperThatCannotBeTrustedFailsTheLaunch)
{
    if (!IsRoot())
        GTEST_SKIP() << "the folder of another account is made with chown, as root";
    TempDir dir;
    const std::string writable = dir / "writable-helper";
    WriteFile(writable, ReadFile(HelperPath()), 0777);
    chmod(writable.c_str(), 0777);
    const std::string stranger = dir / "not-a-helper";
    WriteFile(stranger, "#!/bin/sh\nexit 0\n", 0755);
    // Root's helper in root's folder, inside a folder nobody owns: nobody
    // can rename root's folder away and put one of its own in its place.
    const std::string nobodys = dir / "nobodys";
    ASSERT_EQ(mkdir(nobodys.c_str(), 0755), 0);
    ASSERT_EQ(chown(nobodys.c_str(), 65534, 65534), 0);
    ASSERT_EQ(mkdir((nobodys + "/lib").c_str(), 0755), 0);
    const std::string below = nobodys + "/lib/mysqlprocess-helper";
    WriteFile(below, ReadFile(HelperPath()), 0755);
    const std::string link = dir / "helper-link";
    ASSERT_EQ(symlink(HelperPath(), link.c_str()), 0);
    const struct {
        std::string helper;
        int err;
        const char* logged;
    } rows[] = {
        {dir / "missing", ENOENT, "cannot be used (errno=2: missing)"},
        {writable, EPERM, "cannot be used (errno=1: others could have changed it)"},
        {below, EPERM, "cannot be used (errno=1: others could have changed it)"},
        {link, ELOOP, "cannot be used (errno=40: a symbolic link)"},
        {stranger, EPROTO, "ended without confirming the switch to user [nobody]"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.helper);
        env.ClearLog();
        FdLeakCheck leaks;
        LibMySqlProcess::SetLaunchHelperPath(r.helper);
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize(ProbeCommand("report"), "nobody", ""), 0);
        EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
        EXPECT_EQ(child.m_lastErr, r.err);
        EXPECT_TRUE(env.LogHas(r.logged));
        LibMySqlProcess::SetLaunchHelperPath(HelperPath());
    }
}

// Only waitid on a pid descriptor refused, as on a kernel that opens pid
// descriptors but cannot wait on them.
bool RefuseWaitOnPidFd()
{
    sock_filter prog[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_waitid, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, P_PIDFD, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog fprog{static_cast<unsigned short>(sizeof prog / sizeof prog[0]), prog};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

TEST_F(Isolation, ChildOfADestroyedObjectIsReapedWithoutWaitOnPidFd)
{
    const int rc = RunInSubprocess(
        [] {
            if (!RefuseWaitOnPidFd())
                return 90;
            pid_t pid;
            {
                MySqlChildProcess child;
                SUB_CHECK(child.Initialize(ProbeCommand("sleep 1"), "", "") == 0, 10);
                SUB_CHECK(child.HX_CreateProcess(false, false, false, false) == 0, 11);
                pid = child.m_childPid;
                child.Finalize();
            }
            SUB_CHECK(AwaitChildEnd(pid) >= 0, 12);
            {
                MySqlChildProcess next;  // its destruction reaps the children that have ended
            }
            SUB_CHECK(!Unreaped(pid), 13);
            return 0;
        },
        60);
    if (rc == 90)
        GTEST_SKIP() << "the kernel refused the seccomp filter";
    EXPECT_EQ(rc, 0) << "13: the ended child stays a zombie";
}

}  // namespace
