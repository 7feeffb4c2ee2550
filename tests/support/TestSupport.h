#pragma once

#include <linux/filter.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process/MySqlChildProcess.h"
#include "host/LogWriter.h"

namespace testsupport {

// Path of the probe helper program built with the tests, and a command line
// that runs it with args.
const char* ProbePath();
// The launch helper the tests' launches use (a copy of the built one).
const char* HelperPath();
std::string ProbeCommand(const std::string& args);

// Waits for a child with a generous deadline (it only turns a hang into a
// failure): its status, -1 when it was still running then (it is killed), -2
// when waitpid failed.
int WaitWithDeadline(pid_t pid, int seconds = 60);

// Waits, without reaping it, until the child pid has ended: its wait status,
// -1 when it still runs at the deadline (it is left running), -2 when it is
// no unreaped child of ours (the library may have reaped it already).
int AwaitChildEnd(pid_t pid, int seconds = 60);

// True while pid is a child of this process that nobody has reaped.
bool Unreaped(pid_t pid);

// Polls until the object's wait thread has set one of its flags; false when
// none is set within the deadline.
bool AwaitWaitThread(const LibMySqlProcess::MySqlChildProcess& child, int seconds = 60);

// A log writer that records every report instead of writing it anywhere.
class RecordingWriter final : public CLogWriterInterface {
public:
    struct Call {
        int kind;
        std::string function;
        int line;
        int arg1;
        int arg2;
        std::string format;
        std::string text;
    };

    void WriteLog(int kind, const char* function, int line, int arg1, int arg2, const char* format, ...) override
        __attribute__((format(printf, 7, 8)));
    int GetWriterStatus() override;

    int status = 0;
    int statusQueries = 0;
    std::vector<Call> calls;
};

// A fresh folder for one test, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Points the host stand-in at a temporary folder for the life of the object:
// job results under <tmp>/results, job id 42, the debug log at <tmp>/debug.log
// with every level shown, the base home at <tmp>/basehome. The previous
// values are restored afterwards.
class HostEnv {
public:
    explicit HostEnv(int debugLevel = 9);
    ~HostEnv();
    HostEnv(const HostEnv&) = delete;
    HostEnv& operator=(const HostEnv&) = delete;

    const std::string& dir() const { return m_tmp.path(); }
    std::string resultsDir() const { return m_tmp / "results"; }
    std::string jobFolder() const { return resultsDir() + "/HX_JobResults/2/0/42"; }
    std::string logPath() const { return m_tmp / "debug.log"; }
    std::string baseHome() const { return m_tmp / "basehome"; }

    // The debug log as lines; Has/Count look for a substring.
    std::vector<std::string> LogLines() const;
    bool LogHas(const std::string& text) const;
    int LogCount(const std::string& text) const;
    // The message part of every line whose tag is exactly tag.
    std::vector<std::string> Messages(const std::string& tag) const;
    void ClearLog() const;

private:
    TempDir m_tmp;
    std::map<std::string, std::pair<bool, std::string>> m_saved;
};

// One debug log line: "YYYY-MM-DD HH:MM:SS.uuuuuu pid=N tid=N L<level> <tag> <message>".
struct LogLine {
    int pid = 0;
    long tid = 0;
    int level = 0;
    std::string tag;
    std::string message;
};

// Parses a whole line; false when any part is missing or malformed.
bool ParseLogLine(const std::string& text, LogLine& out);

void SetEnv(const char* name, const std::string& value);

// Sets (or, with null, unsets) an environment variable for the life of the
// object, such as HX_FORK, which chooses how the host makes children.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    bool m_had;
    std::string m_old;
};

std::string ReadFile(const std::string& path);
// The names in a folder, sorted, without "." and "..".
std::vector<std::string> FolderEntries(const std::string& path);
void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0644);

// Descriptors open in this process (from /proc/self/fd).
int CountOpenFds();
std::vector<int> OpenFds();
// The highest descriptor open in this process, the debug log's included; -1
// when /proc cannot be read.
int HighestOpenFd();
bool IsOpen(int fd);

// Leaves exactly `spare` free descriptor numbers below the limit, by lowering
// RLIMIT_NOFILE to just above the highest open descriptor and filling every
// hole below it, so that the next pipe or open fails with EMFILE where a
// case wants it to. Restore (or the destructor) closes the fillers and puts
// the limit back. Meant for a RunInSubprocess function: the limit is the
// whole process's.
class FewDescriptors {
public:
    FewDescriptors() = default;
    ~FewDescriptors() { Restore(); }
    FewDescriptors(const FewDescriptors&) = delete;
    FewDescriptors& operator=(const FewDescriptors&) = delete;

    bool Squeeze(int spare);
    void Restore();

private:
    bool m_squeezed = false;
    rlimit m_saved{};
    std::vector<int> m_fillers;
};
// The target of a /proc symbolic link (an fd, exe or cwd entry); empty when
// it cannot be read.
std::string LinkOf(const std::string& procPath);

// Fails the current test if the number of open descriptors differs at the end
// of the scope from its start.
class FdLeakCheck {
public:
    FdLeakCheck();
    ~FdLeakCheck();

private:
    int m_before;
};

// Runs fn in a forked copy of the test process and returns its exit code, or
// 128 + signal when it was killed. For cases that change process-wide state
// (resource limits, seccomp filters) the test itself must keep.
// With seconds above 0 a subprocess still running then is killed and -1
// returned, so that a hang fails instead of blocking the suite.
int RunInSubprocess(const std::function<int()>& fn, int seconds = 0);

// Runs fn as the first process of a PID namespace of its own, inside a
// RunInSubprocess copy: for cases that signal broadly (kill(-1)) or arrange
// the reuse of a pid, which must reach nothing outside. fn's result is the
// exit code; 90 when the kernel refuses the namespace.
int RunInPidNamespace(const std::function<int()>& fn, int seconds);

// Ends the whole test program with a message when the scope has not been
// left within the deadline: for cases whose fault would be a hang in the
// test's own thread.
class HangGuard {
public:
    HangGuard(int seconds, std::string what);
    ~HangGuard();
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;

private:
    struct State;
    State* m_state;
};

// Inside a RunInSubprocess function gtest's checks would be lost: each check
// that fails ends the subprocess with its own code and says which on
// standard error.
#define SUB_CHECK(cond, code)                                                                 \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            fprintf(stderr, "subprocess check %d failed: %s\n", static_cast<int>(code), #cond); \
            return code;                                                                      \
        }                                                                                     \
    } while (0)

// SIGUSR1 handled without SA_RESTART for the life of the object, so that a
// blocked read or write of the thread it is sent to returns EINTR (or a
// partial count) to the library. Count() tells how many arrived since the
// object was made.
class InterruptingHandler {
public:
    InterruptingHandler();
    ~InterruptingHandler();
    InterruptingHandler(const InterruptingHandler&) = delete;
    InterruptingHandler& operator=(const InterruptingHandler&) = delete;
    static long Count();

private:
    struct sigaction m_old {};
};

// A seccomp program for x86-64: each listed system call gets listedAction,
// every other call otherAction (a call of another architecture goes through).
std::vector<sock_filter> SyscallFilter(const long* listed, size_t count, uint32_t listedAction, uint32_t otherAction);

// Installs a seccomp filter that makes each listed system call fail with err
// (all other calls go through). Returns false when the kernel refuses.
bool DenySyscalls(std::initializer_list<long> syscalls, int err);

// What the probe's "emit N" writes: offset i holds 'a' + i % 26.
std::string EmitPattern(size_t size);

// Reads the child's output until ReadBuf reports its end (or fails).
std::string ReadAll(LibMySqlProcess::MySqlChildProcess& child, long capacity = 65536);

// The probe's "report" output parsed into key -> values (keys may repeat).
std::multimap<std::string, std::string> ParseReport(const std::string& text);
std::vector<std::string> ReportValues(const std::multimap<std::string, std::string>& report, const std::string& key);

// The probe's argument encoding undone: \t \n \\ back to their characters.
std::string Unescape(const std::string& text);

bool IsRoot();

// What the suite runs under, from MYSQLPROCESS_SANITIZER: empty for a plain
// build, asan, tsan, or valgrind (set by scripts/valgrind). Each slows forks
// and execs many times over, so loops scale down under any of them.
std::string Sanitizer();

// True when the host makes children with fork() (HX_FORK=fork): each launch
// then copies the test process's page tables, so the long loops run fewer.
bool ForkPath();

// True when scripts/valgrind runs the suite. A few cases observe what
// valgrind itself changes (its own descriptors under a lowered limit, its
// LD_PRELOAD in a child's environment, its exit path in a forked child).
bool UnderValgrind();

// The other threads of a busy host, until the object goes: each allocates and
// frees, reads the user database and writes debug lines, all of which take
// locks (the allocator's, the name service's) or the logger's lock-free path
// at any moment a caller forks. A child holds only the forking thread, so a
// lock held at the fork would stay held in it for ever.
class BusyThreads {
public:
    // Debug lines go out under tag, one every eighth round of each thread.
    BusyThreads(int count, const char* tag);
    ~BusyThreads();
    BusyThreads(const BusyThreads&) = delete;
    BusyThreads& operator=(const BusyThreads&) = delete;

    void Stop();
    long Rounds() const { return m_rounds.load(); }

private:
    void Run(int index);

    const char* m_tag;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_rounds{0};
    // getpwnam fills one static record for every caller; the mutex only lets
    // TSan see that its writes are ordered. A thread may still be inside the
    // name service at any fork.
    std::mutex m_staticRecord;
    std::vector<std::thread> m_threads;
};

}  // namespace testsupport
