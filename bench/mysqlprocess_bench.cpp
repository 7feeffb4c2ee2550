// How fast the library is next to what the machine allows: launches against
// raw fork/execv/waitpid and posix_spawn from parents of several resident
// sizes, pipe throughput against plain read/write loops on the same kind of
// pipe, the relays against a copy through the host and a direct pipe, the
// cost of the descriptor sweep and of the debug log. Prints figures and
// ratios; asserts nothing about time.
//
// Own options (the rest go to Google Benchmark):
//   --quick            small sizes and short runs, for CI
//   --parent-mb=LIST   resident sizes of the parent for the launch runs,
//                      comma separated (default 50,1024,4096)
//   --pipe-mb=N        bytes per throughput and relay run, in MiB (default 2048)
//   --relay-kib=N      the most one relay call may move, in KiB (default 1024)
//   --reps=N           repetitions of each run; the median is reported
//   --launch-time=S    minimum seconds per launch run (default 0.5)
//   --fds=A,B          extra open descriptors for the sweep runs (default 10,1000)
//   --job-dir=DIR      put the job results (one new error file per launch)
//                      under DIR, for instance on tmpfs, to separate the
//                      file system's cost of creating a file from the rest
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pwd.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process/LaunchHelperPath.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"

extern char** environ;

namespace {

using LibMySqlProcess::MySqlChildProcess;
using Clock = std::chrono::steady_clock;

constexpr long kMiB = 1024 * 1024;

struct Options {
    bool quick = false;
    std::vector<long> parentMb{50, 1024, 4096};
    long pipeMb = 2048;
    long relayKib = 1024;
    int reps = 3;
    double launchTime = 0.5;
    std::vector<int> fds{10, 1000};
    std::string jobDir;  // where the job results go, when not in the run's own folder
};
Options g_opt;

std::string g_tmp;      // HX_* folders of this run
std::string g_results;  // the job results folder, where every launch creates an error file
bool g_failed = false;  // a benchmark could not do its work

void Fail(benchmark::State& state, const std::string& why)
{
    g_failed = true;
    state.SkipWithError(why.c_str());
}

// ---------------------------------------------------------------- records

// Each registration records its last call, which is the one Google Benchmark
// reports (the earlier ones only size the iteration count). Repetitions are
// separate registrations run in turns, so that a slow spell of a shared
// machine falls on every variant alike; the summary takes their median.
struct Run {
    int64_t iterations;
    double seconds;
    double extra;  // a per-benchmark figure such as the resident size
    double cpu;    // CPU seconds of the measuring thread
};
std::map<std::string, std::map<int, Run>> g_runs;
thread_local int t_rep = 0;  // set by the registration's wrapper

void Record(const std::string& name, int64_t iterations, double seconds, double extra = 0, double cpu = 0)
{
    g_runs[name][t_rep] = Run{iterations, seconds, extra, cpu};
}

// CPU time of the calling thread: unlike wall time it barely moves when other
// work shares the machine, so it shows what the library itself costs.
double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Median seconds per iteration over the repetitions (CPU seconds when cpu).
double PerIteration(const std::string& name, double* extra = nullptr, bool cpu = false)
{
    auto it = g_runs.find(name);
    if (it == g_runs.end() || it->second.empty())
        return 0;
    std::vector<double> per;
    for (const auto& rep : it->second) {
        const Run& r = rep.second;
        per.push_back((cpu ? r.cpu : r.seconds) / static_cast<double>(std::max<int64_t>(1, r.iterations)));
        if (extra != nullptr)
            *extra = r.extra;
    }
    std::sort(per.begin(), per.end());
    return per[per.size() / 2];
}

// Median of the per-run figure over the repetitions; 0 when never run.
double MedianExtra(const std::string& name)
{
    auto it = g_runs.find(name);
    if (it == g_runs.end() || it->second.empty())
        return 0;
    std::vector<double> values;
    for (const auto& rep : it->second)
        values.push_back(rep.second.extra);
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// ---------------------------------------------------------------- the parent's size

long ResidentKb()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return atol(line.c_str() + 6);
    return 0;
}

// Anonymous memory, touched page by page, without huge pages: a host's heap
// is made of ordinary pages, and that is what fork has to copy the tables of.
struct Ballast {
    void* base = nullptr;
    size_t size = 0;
    long targetMb = -1;
};
Ballast g_ballast;

void ReleaseBallast()
{
    if (g_ballast.base != nullptr)
        munmap(g_ballast.base, g_ballast.size);
    g_ballast = Ballast{};
}

// Makes the parent's resident size about targetMb MiB.
bool EnsureParentMb(long targetMb)
{
    if (g_ballast.targetMb == targetMb)
        return true;
    ReleaseBallast();
    const long baseKb = ResidentKb();
    const long wantKb = targetMb * 1024 - baseKb;
    g_ballast.targetMb = targetMb;
    if (wantKb <= 0)
        return true;
    const size_t size = static_cast<size_t>(wantKb) * 1024;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        g_ballast.targetMb = -1;
        return false;
    }
    madvise(p, size, MADV_NOHUGEPAGE);
    const long page = sysconf(_SC_PAGESIZE);
    for (size_t off = 0; off < size; off += static_cast<size_t>(page))
        static_cast<volatile char*>(p)[off] = 1;
    g_ballast.base = p;
    g_ballast.size = size;
    return true;
}

// ---------------------------------------------------------------- helpers

void RemoveTree(const std::string& path)
{
    nftw(
        path.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

// Error files pile up one per launch; clearing them between runs keeps the
// job folder small so that later runs do not pay for a huge directory.
void ClearJobResults()
{
    RemoveTree(g_results);
    truncate((g_tmp + "/debug.log").c_str(), 0);
}

void SetDebugLevel(const char* level)
{
    if (level == nullptr)
        unsetenv("HX_DEBUG_LEVEL");
    else
        setenv("HX_DEBUG_LEVEL", level, 1);
}

bool WaitChild(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Launches as another user (root only): nobody, running a copy of the
// program in the bench's own folder, which nobody can reach wherever the
// build tree is. Empty when this process cannot impersonate.
std::string g_trueAsUser;

// One library launch of a program that reads nothing and writes nothing.
// Every launch option that spares a database, for the launches that set
// them all (a control group where this process may make one).
MySqlChildProcess::LaunchOptions g_everyOption;
MySqlChildProcess::LaunchOptions g_everyButTheGroup;

bool LibLaunch(const std::string& command, std::string& why, const char* user = "",
               const MySqlChildProcess::LaunchOptions* options = nullptr)
{
    MySqlChildProcess child;
    if (child.Initialize(command, user, "") != 0) {
        why = "Initialize failed: " + std::to_string(child.m_lastErr.load());
        return false;
    }
    if (options != nullptr && child.SetLaunchOptions(*options) != 0) {
        why = "SetLaunchOptions failed: " + std::to_string(child.m_lastErr.load());
        return false;
    }
    if (child.HX_CreateProcess(false, false, false, false) != 0) {
        why = "HX_CreateProcess failed: " + std::to_string(child.m_lastErr.load());
        return false;
    }
    child.Finalize();
    if (child.Wait(0) != 0) {
        why = "Wait failed: " + std::to_string(child.m_lastErr.load());
        return false;
    }
    return true;
}

bool ForkLaunch(const char* path)
{
    char* argv[] = {const_cast<char*>(path), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        execv(path, argv);
        _exit(127);
    }
    return pid > 0 && WaitChild(pid);
}

bool SpawnLaunch(const char* path, const posix_spawn_file_actions_t* actions = nullptr,
                 std::vector<std::string> args = {}, pid_t* out = nullptr)
{
    std::vector<char*> argv{const_cast<char*>(path)};
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, path, actions, nullptr, argv.data(), environ) != 0)
        return false;
    if (out != nullptr) {
        *out = pid;
        return true;
    }
    return WaitChild(pid);
}

// posix_spawn doing the files work a launch does: standard input and output
// on fresh pipes, standard error appended to a new file in the job folder.
// Creating that file is what a filesystem such as ext4 makes costly, and the
// library pays it at every launch too; this shows what is left of the rest.
bool SpawnSameWork(const char* path)
{
    static long serial = 0;
    const std::string& folder = g_results;
    mkdir(folder.c_str(), 0755);
    const std::string errFile = folder + "/spawn_" + std::to_string(++serial) + ".txt";
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0660);
    char* argv[] = {const_cast<char*>(path), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], in[1], out[0], out[1]})
        close(fd);
    return rc == 0 && WaitChild(pid);
}

// ---------------------------------------------------------------- launch

enum class Launcher { Library, LibraryAsUser, LibraryWithOptions, LibraryWithOptionsNoGroup, Fork, Spawn, SpawnSameWork };

// A host thread that keeps writing one byte per page of the heap while
// launches run, as a thread streaming a dump through a big buffer does. A
// fork holds the parent's memory map while it copies the page tables, and
// every page written afterwards faults copy-on-write until the child's
// exec: the thread stalls. The longest gap between two of its rounds of 64
// pages is that stall.
class HeapToucher {
public:
    HeapToucher()
    {
        if (g_ballast.base == nullptr)
            return;
        m_thread = std::thread([this] {
            const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
            auto* base = static_cast<volatile char*>(g_ballast.base);
            auto last = Clock::now();
            double longest = 0;
            size_t off = 0;
            for (long round = 0; !m_stop.load(std::memory_order_relaxed); ++round) {
                for (int i = 0; i < 64; ++i) {
                    base[off] = static_cast<char>(base[off] + 1);
                    off += page;
                    if (off >= g_ballast.size)
                        off = 0;
                }
                const auto now = Clock::now();
                longest = std::max(longest, Seconds(last, now));
                last = now;
            }
            m_longest = longest;
        });
    }

    // The longest stall in seconds (0 without a heap to write).
    double Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_longest;
    }

private:
    std::atomic<bool> m_stop{false};
    double m_longest = 0;
    std::thread m_thread;
};

void BM_Launch(benchmark::State& state, Launcher how, long parentMb, int extraFds, const char* debugLevel,
               const std::string& name, bool touchHeap = false)
{
    if (!EnsureParentMb(parentMb)) {
        Fail(state, "could not allocate the parent's memory");
        return;
    }
    SetDebugLevel(debugLevel);
    std::vector<int> extra;
    for (int i = 0; i < extraFds; ++i) {
        // Without close-on-exec, as a careless host would leave them.
        const int fd = open("/dev/null", O_RDONLY);
        if (fd < 0)
            break;
        extra.push_back(fd);
    }
    if (static_cast<int>(extra.size()) != extraFds) {
        for (int fd : extra)
            close(fd);
        Fail(state, "could not open the extra descriptors");
        return;
    }

    std::string why;
    bool ok = true;
    std::unique_ptr<HeapToucher> toucher(touchHeap ? new HeapToucher : nullptr);
    const auto start = Clock::now();
    for (auto _ : state) {
        switch (how) {
        case Launcher::Library:
            ok = LibLaunch(BENCH_TRUE, why);
            break;
        case Launcher::LibraryAsUser:
            ok = LibLaunch(g_trueAsUser, why, "nobody");
            break;
        case Launcher::LibraryWithOptions:
            ok = LibLaunch(BENCH_TRUE, why, "", &g_everyOption);
            break;
        case Launcher::LibraryWithOptionsNoGroup:
            ok = LibLaunch(BENCH_TRUE, why, "", &g_everyButTheGroup);
            break;
        case Launcher::Fork:
            ok = ForkLaunch(BENCH_TRUE);
            why = "fork/execv/waitpid failed";
            break;
        case Launcher::Spawn:
            ok = SpawnLaunch(BENCH_TRUE);
            why = "posix_spawn failed";
            break;
        case Launcher::SpawnSameWork:
            ok = SpawnSameWork(BENCH_TRUE);
            why = "posix_spawn with pipes and an error file failed";
            break;
        }
        if (!ok)
            break;
    }
    const double secs = Seconds(start, Clock::now());
    const double stall = toucher ? toucher->Stop() : 0;
    const double rssMb = static_cast<double>(ResidentKb()) / 1024.0;
    for (int fd : extra)
        close(fd);
    SetDebugLevel(nullptr);
    ClearJobResults();
    if (!ok) {
        Fail(state, why);
        return;
    }
    state.counters["parent_rss_MiB"] = rssMb;
    if (touchHeap)
        state.counters["stall_ms"] = stall * 1e3;
    Record(name, state.iterations(), secs, touchHeap ? stall : rssMb);
}

// ---------------------------------------------------------------- pipes

// The kernel's default pipe size, and the one the library gives its children
// (found with a launch at start-up).
constexpr int kDefaultPipe = 1 << 16;
int g_libPipeSize = kDefaultPipe;

std::string WriterCommand(long long bytes)
{
    return std::string(BENCH_WRITER) + " " + std::to_string(bytes) + " 1048576";
}

// The writer's output read with a plain read loop into a buffer of the size.
bool PlainRead(long long bytes, size_t bufferSize, int pipeSize, std::string& why)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        why = "pipe2 failed";
        return false;
    }
    if (pipeSize > 0)
        fcntl(p[0], F_SETPIPE_SZ, pipeSize);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, p[1], 1);
    pid_t pid = -1;
    const bool spawned = SpawnLaunch(BENCH_WRITER, &actions, {std::to_string(bytes), "1048576"}, &pid);
    posix_spawn_file_actions_destroy(&actions);
    close(p[1]);
    if (!spawned) {
        close(p[0]);
        why = "posix_spawn of the writer failed";
        return false;
    }
    std::vector<char> buffer(bufferSize);
    long long total = 0;
    for (;;) {
        const ssize_t n = read(p[0], buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += n;
    }
    close(p[0]);
    const bool exited = WaitChild(pid);
    if (total != bytes || !exited) {
        why = "plain read got " + std::to_string(total) + " bytes";
        return false;
    }
    return true;
}

bool LibRead(long long bytes, size_t bufferSize, std::string& why, int* pipeSize)
{
    MySqlChildProcess child;
    if (child.Initialize(WriterCommand(bytes), "", "") != 0 || child.HX_CreateProcess(false, false, false, false) != 0) {
        why = "launch of the writer failed";
        return false;
    }
    *pipeSize = fcntl(child.m_filedesCW[0], F_GETPIPE_SZ);
    std::vector<char> buffer(bufferSize);
    long long total = 0;
    for (;;) {
        long length = static_cast<long>(buffer.size());
        if (child.ReadBuf(buffer.data(), &length) != 0) {
            why = "ReadBuf failed";
            return false;
        }
        if (length == 0)
            break;
        total += length;
    }
    child.Finalize();
    if (child.Wait(0) != 0 || total != bytes) {
        why = "ReadBuf got " + std::to_string(total) + " bytes";
        return false;
    }
    return true;
}

// Drains a descriptor until its end, as the reader of cat's output.
void Drain(int fd, long long* total)
{
    std::vector<char> buffer(kMiB);
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        *total += n;
    }
}

const std::vector<char>& Payload(size_t size)
{
    static std::vector<char> data;
    if (data.size() != size) {
        data.assign(size, 0);
        for (size_t i = 0; i < size; ++i)
            data[i] = static_cast<char>('a' + i % 26);
    }
    return data;
}

// bytes written into cat with a plain write loop, cat's output drained.
bool PlainWrite(long long bytes, size_t chunk, int pipeSize, std::string& why)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        why = "pipe2 failed";
        return false;
    }
    if (pipeSize > 0) {
        fcntl(in[1], F_SETPIPE_SZ, pipeSize);
        fcntl(out[0], F_SETPIPE_SZ, pipeSize);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    const bool spawned = SpawnLaunch("/bin/cat", &actions, {}, &pid);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (!spawned) {
        close(in[1]);
        close(out[0]);
        why = "posix_spawn of cat failed";
        return false;
    }
    long long drained = 0;
    std::thread reader(Drain, out[0], &drained);
    const std::vector<char>& data = Payload(chunk);
    long long left = bytes;
    bool ok = true;
    while (left > 0 && ok) {
        size_t want = static_cast<size_t>(std::min<long long>(left, static_cast<long long>(chunk)));
        const char* at = data.data();
        while (want > 0) {
            const ssize_t n = write(in[1], at, want);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                ok = false;
                break;
            }
            at += n;
            want -= static_cast<size_t>(n);
            left -= n;
        }
    }
    close(in[1]);
    reader.join();
    close(out[0]);
    const bool exited = WaitChild(pid);
    if (!ok || !exited || drained != bytes) {
        why = "plain write: cat passed on " + std::to_string(drained) + " bytes";
        return false;
    }
    return true;
}

bool LibWrite(long long bytes, size_t chunk, std::string& why)
{
    MySqlChildProcess child;
    if (child.Initialize("/bin/cat", "", "") != 0 || child.HX_CreateProcess(false, false, false, false) != 0) {
        why = "launch of cat failed";
        return false;
    }
    long long drained = 0;
    std::thread reader(Drain, child.m_filedesCW[0], &drained);
    const std::vector<char>& data = Payload(chunk);
    long long left = bytes;
    bool ok = true;
    while (left > 0) {
        const long want = static_cast<long>(std::min<long long>(left, static_cast<long long>(chunk)));
        if (child.WriteBuf(const_cast<char*>(data.data()), want) != 0) {
            ok = false;
            break;
        }
        left -= want;
    }
    // Only the input end is closed here: the drain thread still reads the
    // output end, which Finalize would close under it.
    child.CloseInput();
    reader.join();
    child.Finalize();
    const bool waited = child.Wait(0) == 0;
    if (!ok || !waited || drained != bytes) {
        why = "WriteBuf: cat passed on " + std::to_string(drained) + " bytes";
        return false;
    }
    return true;
}

enum class PipeCase { PlainRead, LibRead, PlainWrite, LibWrite };

void BM_Pipe(benchmark::State& state, PipeCase what, size_t size, int pipeSize, const std::string& name)
{
    if (!EnsureParentMb(g_opt.parentMb.front())) {
        Fail(state, "could not allocate the parent's memory");
        return;
    }
    const long long bytes = static_cast<long long>(g_opt.pipeMb) * kMiB;
    std::string why;
    bool ok = true;
    int libPipe = 0;
    const double cpuStart = ThreadCpuSeconds();
    const auto start = Clock::now();
    for (auto _ : state) {
        switch (what) {
        case PipeCase::PlainRead:
            ok = PlainRead(bytes, size, pipeSize, why);
            break;
        case PipeCase::LibRead:
            ok = LibRead(bytes, size, why, &libPipe);
            break;
        case PipeCase::PlainWrite:
            ok = PlainWrite(bytes, size, pipeSize, why);
            break;
        case PipeCase::LibWrite:
            ok = LibWrite(bytes, size, why);
            break;
        }
        if (!ok)
            break;
    }
    const double secs = Seconds(start, Clock::now());
    const double cpu = ThreadCpuSeconds() - cpuStart;
    ClearJobResults();
    if (!ok) {
        Fail(state, why);
        return;
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["cpu_s_per_GiB"] = cpu / (static_cast<double>(bytes) * static_cast<double>(state.iterations()) /
                                             static_cast<double>(1 << 30));
    Record(name, state.iterations(), secs, libPipe, cpu);
}

// ---------------------------------------------------------------- relays

// The three jobs a relay serves, each taken three ways: through the host
// with ReadBuf/WriteBuf and a buffer (copy), through RelayOutputTo or
// RelayInputFrom (relay), and with no host in between at all (direct: the
// programs' own descriptors joined, as a shell pipe or redirection does),
// which is the limit.
// The streams relay a writer into /dev/null, which costs nothing to write:
// what is left is the relay's own cost by the writer's way of writing, in 1
// MiB pieces, in the dump tool's 4 KiB pieces as fast as they go, and in 4
// KiB pieces at the pace of a dump tool that formats rows between its writes
// (kPacedDumpMiBs).
enum class RelayJob { Chain, Dump, Restore, Stream, SmallStream, PacedStream };
constexpr const char* kPacedDumpMiBs = "300";

// A writer and no sink: into the dump file or /dev/null.
bool IsDump(RelayJob job)
{
    return job == RelayJob::Dump || job == RelayJob::Stream || job == RelayJob::SmallStream ||
           job == RelayJob::PacedStream;
}

std::vector<std::string> WriterArgs(RelayJob job, long long bytes)
{
    const std::string count = std::to_string(bytes);
    if (job == RelayJob::SmallStream)
        return {count, "4096"};
    if (job == RelayJob::PacedStream)
        return {count, "4096", kPacedDumpMiBs};
    return {count, "1048576"};
}
enum class RelayPath { Copy, Relay, Direct };

// CPU seconds (user and system) of the calling thread, or of the children
// reaped so far (the writer and the sink).
double RusageSeconds(int who)
{
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// The tools' CPU seconds of each relay run, by name and repetition.
std::map<std::string, std::map<int, double>> g_toolCpu;

std::string SinkCommand(long long bytes)
{
    return std::string(BENCH_SINK) + " " + std::to_string(bytes);
}

bool LaunchTool(MySqlChildProcess& child, const std::string& command, std::string& why)
{
    if (child.Initialize(command, "", "") != 0 || child.HX_CreateProcess(false, false, false, false) != 0) {
        why = "launch of " + command + " failed: " + std::to_string(child.m_lastErr.load());
        return false;
    }
    return true;
}

bool WriteAllTo(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// The restore's input: written once, then read from the page cache.
std::string g_restoreFile;

bool MakeRestoreFile(long long bytes, std::string& why)
{
    const std::string path = g_tmp + "/restore.in";
    struct stat st {};
    if (g_restoreFile == path && stat(path.c_str(), &st) == 0 && st.st_size == bytes)
        return true;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const std::vector<char>& data = Payload(kMiB);
    bool ok = fd >= 0;
    for (long long left = bytes; ok && left > 0; left -= kMiB)
        ok = WriteAllTo(fd, data.data(), static_cast<size_t>(std::min<long long>(left, kMiB)));
    if (fd >= 0)
        close(fd);
    if (!ok) {
        why = "cannot write " + path;
        return false;
    }
    g_restoreFile = path;
    return true;
}

// Spawns program with the given descriptors as its standard input and output
// (-1: left as they are).
bool SpawnWith(const char* program, std::vector<std::string> args, int in, int out, pid_t* pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0)
        posix_spawn_file_actions_adddup2(&actions, in, 0);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    const bool ok = SpawnLaunch(program, &actions, std::move(args), pid);
    posix_spawn_file_actions_destroy(&actions);
    return ok;
}

bool Direct(RelayJob job, long long bytes, const std::string& dumpPath, std::string& why)
{
    const std::string count = std::to_string(bytes);
    pid_t writer = -1, sink = -1;
    bool ok = false;
    if (job == RelayJob::Chain) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) {
            why = "pipe2 failed";
            return false;
        }
        fcntl(p[0], F_SETPIPE_SZ, g_libPipeSize);
        ok = SpawnWith(BENCH_WRITER, {count, "1048576"}, -1, p[1], &writer) &&
             SpawnWith(BENCH_SINK, {count}, p[0], -1, &sink);
        close(p[0]);
        close(p[1]);
    } else if (IsDump(job)) {
        const int fd = open(dumpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ok = fd >= 0 && SpawnWith(BENCH_WRITER, WriterArgs(job, bytes), -1, fd, &writer);
        if (fd >= 0)
            close(fd);
    } else {
        const int fd = open(g_restoreFile.c_str(), O_RDONLY | O_CLOEXEC);
        ok = fd >= 0 && SpawnWith(BENCH_SINK, {count}, fd, -1, &sink);
        if (fd >= 0)
            close(fd);
    }
    for (pid_t pid : {writer, sink})
        if (pid > 0 && !WaitChild(pid))
            ok = false;
    if (!ok)
        why = "the direct run failed";
    return ok;
}

bool ThroughHost(RelayJob job, RelayPath path, long long bytes, const std::string& dumpPath, long long* calls,
                 std::string& why)
{
    MySqlChildProcess from, to;
    const bool hasWriter = job != RelayJob::Restore;
    const bool hasSink = !IsDump(job);
    std::string writer = BENCH_WRITER;
    for (const std::string& arg : WriterArgs(job, bytes))
        writer += " " + arg;
    if (hasWriter && !LaunchTool(from, writer, why))
        return false;
    if (hasSink && !LaunchTool(to, SinkCommand(bytes), why))
        return false;
    int file = -1;
    if (IsDump(job))
        file = open(dumpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    else if (job == RelayJob::Restore)
        file = open(g_restoreFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (job != RelayJob::Chain && file < 0) {
        why = "cannot open the file";
        return false;
    }
    const int sinkFd = hasSink ? to.m_filedesPW[1] : file;

    long long total = 0;
    bool ok = true;
    if (path == RelayPath::Relay) {
        const long long chunk = g_opt.relayKib * 1024;
        for (long long moved = 1; ok && moved > 0; total += moved, ++*calls)
            ok = (hasWriter ? from.RelayOutputTo(sinkFd, chunk, &moved) : to.RelayInputFrom(file, chunk, &moved)) == 0;
    } else {
        // The copy at its best: a buffer of the pipe's size, one byte more
        // so that ReadBuf fills whole pages.
        const size_t size = static_cast<size_t>(g_libPipeSize) + (hasWriter ? 1 : 0);
        std::vector<char> buffer(size);
        for (;;) {
            long length = static_cast<long>(size);
            if (hasWriter) {
                ok = from.ReadBuf(buffer.data(), &length) == 0;
            } else {
                const ssize_t n = read(file, buffer.data(), size);
                ok = n >= 0;
                length = n;
            }
            if (!ok || length == 0)
                break;
            ok = hasSink ? to.WriteBuf(buffer.data(), length) == 0
                         : WriteAllTo(sinkFd, buffer.data(), static_cast<size_t>(length));
            if (!ok)
                break;
            total += length;
        }
    }
    if (file >= 0)
        close(file);
    for (MySqlChildProcess* child : {hasWriter ? &from : nullptr, hasSink ? &to : nullptr}) {
        if (child == nullptr)
            continue;
        child->Finalize();
        if (child->Wait(0) != 0)
            ok = false;
    }
    if (!ok || total != bytes) {
        why = std::string(path == RelayPath::Relay ? "relay" : "copy") + " moved " + std::to_string(total) + " bytes";
        return false;
    }
    return true;
}

void BM_Relay(benchmark::State& state, RelayJob job, RelayPath path, const std::string& name)
{
    const long long bytes = static_cast<long long>(g_opt.pipeMb) * kMiB;
    const bool toFile = job == RelayJob::Dump;
    const std::string dumpPath = toFile ? g_tmp + "/dump.out" : "/dev/null";
    std::string why;
    bool ok = job != RelayJob::Restore || MakeRestoreFile(bytes, why);
    long long calls = 0;
    const double cpuStart = RusageSeconds(RUSAGE_THREAD);
    const double toolsStart = RusageSeconds(RUSAGE_CHILDREN);
    const auto start = Clock::now();
    for (auto _ : state) {
        if (!ok)
            break;
        ok = path == RelayPath::Direct ? Direct(job, bytes, dumpPath, why)
                                       : ThroughHost(job, path, bytes, dumpPath, &calls, why);
        if (ok && toFile) {
            struct stat st {};
            ok = stat(dumpPath.c_str(), &st) == 0 && st.st_size == bytes;
            if (!ok)
                why = "the dump file has the wrong size";
        }
    }
    const double secs = Seconds(start, Clock::now());
    const double cpu = RusageSeconds(RUSAGE_THREAD) - cpuStart;
    g_toolCpu[name][t_rep] = RusageSeconds(RUSAGE_CHILDREN) - toolsStart;
    if (toFile)
        unlink(dumpPath.c_str());
    ClearJobResults();
    if (!ok) {
        Fail(state, why);
        return;
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["cpu_s_per_GiB"] =
        cpu / (static_cast<double>(bytes) * static_cast<double>(state.iterations()) / static_cast<double>(1 << 30));
    Record(name, state.iterations(), secs, static_cast<double>(calls) / static_cast<double>(state.iterations()), cpu);
}

// The kernel's own part of a relay call: one splice of a full pipe into an
// empty one, with nothing to wait for and nobody to wake (this thread fills
// the first pipe and drains the second, outside the measured time).
void BM_SpliceAlone(benchmark::State& state, const std::string& name)
{
    const long long bytes = static_cast<long long>(g_opt.pipeMb) * kMiB;
    int a[2], b[2];
    if (pipe2(a, O_CLOEXEC) != 0 || pipe2(b, O_CLOEXEC) != 0) {
        Fail(state, "pipe2 failed");
        return;
    }
    const size_t size = static_cast<size_t>(g_libPipeSize);
    fcntl(a[0], F_SETPIPE_SZ, g_libPipeSize);
    fcntl(b[0], F_SETPIPE_SZ, g_libPipeSize);
    const std::vector<char>& data = Payload(size);
    std::vector<char> drained(size);
    double spliced = 0;
    bool ok = true;
    for (auto _ : state) {
        for (long long done = 0; ok && done < bytes; done += static_cast<long long>(size)) {
            ok = WriteAllTo(a[1], data.data(), size);
            const auto t0 = Clock::now();
            ok = ok && splice(a[0], nullptr, b[1], nullptr, size, 0) == static_cast<ssize_t>(size);
            spliced += Seconds(t0, Clock::now());
            for (size_t got = 0; ok && got < size;) {
                const ssize_t n = read(b[0], drained.data(), size - got);
                ok = n > 0;
                got += ok ? static_cast<size_t>(n) : 0;
            }
        }
    }
    for (int fd : {a[0], a[1], b[0], b[1]})
        close(fd);
    if (!ok) {
        Fail(state, "splice of a full pipe failed");
        return;
    }
    state.counters["splice_s_per_GiB"] = spliced / (static_cast<double>(bytes) * static_cast<double>(state.iterations()) /
                                                    static_cast<double>(1 << 30));
    Record(name, state.iterations(), spliced, static_cast<double>(bytes / static_cast<long long>(size)), spliced);
}

// ---------------------------------------------------------------- rate limit

// A relay held to a rate by SetRateLimit: a fast writer relayed into
// /dev/null at kRateMiBs, the bytes counted per window; then the limit
// doubled from another thread, and how long until the relay runs at the new
// rate (its rate over the next half second within 5% of it).
constexpr long long kRateMiBs = 50;
struct RateFigures {
    double window = 0;
    std::vector<double> windows;  // MiB/s in each window
    double settled = -1;          // seconds from the change to the new rate
    double after = 0;             // MiB/s over the half second from then
};
RateFigures g_rate;

void BM_Rate(benchmark::State& state)
{
    const double window = g_opt.quick ? 1.0 : 10.0;
    const double afterChange = g_opt.quick ? 1.5 : 3.0;
    const int windows = 2;
    const double changeAt = window * windows, runFor = changeAt + afterChange;
    const long long rate = kRateMiBs * kMiB;
    const long long bytes = static_cast<long long>(rate * (changeAt + 2 * afterChange + 2));
    std::vector<std::pair<double, long long>> samples;  // seconds since start, bytes so far
    std::string why;
    bool ok = true;
    for (auto _ : state) {
        MySqlChildProcess child;
        ok = child.SetRateLimit(rate) == 0 && LaunchTool(child, WriterCommand(bytes), why);
        const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        const auto start = Clock::now();
        std::thread change([&] {
            std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(changeAt)));
            child.SetRateLimit(2 * rate);
        });
        long long total = 0;
        samples.assign(1, {0.0, 0});
        while (ok && Seconds(start, Clock::now()) < runFor) {
            long long moved = 0;
            ok = child.RelayOutputTo(devNull, kMiB, &moved) == 0 && moved > 0;
            total += moved;
            samples.emplace_back(Seconds(start, Clock::now()), total);
        }
        change.join();
        child.Terminate();
        child.Finalize();
        child.Wait(0);
        close(devNull);
        if (!ok)
            why = "the relay failed or the writer ended early";
    }
    ClearJobResults();
    if (!ok) {
        Fail(state, why);
        return;
    }
    // Bytes by a time, between the samples around it.
    const auto at = [&](double t) {
        for (size_t i = 1; i < samples.size(); ++i) {
            if (samples[i].first >= t) {
                const auto& a = samples[i - 1];
                const auto& b = samples[i];
                const double f = b.first > a.first ? (t - a.first) / (b.first - a.first) : 1.0;
                return static_cast<double>(a.second) + f * static_cast<double>(b.second - a.second);
            }
        }
        return static_cast<double>(samples.back().second);
    };
    g_rate = RateFigures();
    g_rate.window = window;
    for (int w = 0; w < windows; ++w)
        g_rate.windows.push_back((at((w + 1) * window) - at(w * window)) / window / kMiB);
    for (double t = changeAt; t + 0.5 <= runFor; t += 0.01) {
        const double mibs = (at(t + 0.5) - at(t)) / 0.5 / kMiB;
        if (mibs >= 0.95 * 2 * kRateMiBs) {
            g_rate.settled = t - changeAt;
            g_rate.after = mibs;
            break;
        }
    }
    state.counters["window_MiBs"] = g_rate.windows.front();
    Record("rate/50MiBs", state.iterations(), runFor);
}

// ---------------------------------------------------------------- debug log

enum class LogCase { Line, FilteredDetail };

void BM_Log(benchmark::State& state, LogCase what, const char* level, const std::string& name)
{
    SetDebugLevel(level);
    EvEvent event;
    int i = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        if (what == LogCase::Line)
            event.Debug("MySqlChildProcess::Bench", "Parent: child process pid= %d", ++i);
        else
            event.DebugLvl("MySqlChildProcess::Bench", 8, "wrote %d bytes", ++i);
    }
    const double secs = Seconds(start, Clock::now());
    SetDebugLevel(nullptr);
    ClearJobResults();
    state.SetItemsProcessed(state.iterations());
    Record(name, state.iterations(), secs);
}

// ---------------------------------------------------------------- summary

std::string Machine()
{
    std::string cpu = "unknown";
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line))
        if (line.compare(0, 10, "model name") == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    utsname u{};
    uname(&u);
    std::ostringstream out;
    out << "nproc " << sysconf(_SC_NPROCESSORS_ONLN) << ", " << cpu << ", kernel " << u.release
        << ", load average ";
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3)
        out << load[0] << " " << load[1] << " " << load[2];
    return out.str();
}

bool AnyRun(const std::string& prefix)
{
    for (const auto& kv : g_runs)
        if (kv.first.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

void PrintSummary()
{
    printf("\n==== Summary (medians; %s)\n", Machine().c_str());
    printf("helpers %s\n", BENCH_STATIC_HELPERS ? "statically linked" : "dynamically linked (static linking failed)");

    if (AnyRun("launch/")) {
        printf("\nLaunch of a %s `true`: Initialize + HX_CreateProcess + Finalize + Wait, microseconds per launch\n",
               BENCH_STATIC_HELPERS ? "static" : "dynamic");
        printf("  spawn+files: posix_spawn with pipes for 0 and 1 and a new error file for 2, as a launch has\n");
        printf("  as user: the library launching as nobody, through its launch helper (root only)\n");
        printf("%12s %10s %10s %11s %12s %12s %9s %10s %12s %14s\n", "parent RSS", "library", "as user", "fork+execv",
               "posix_spawn", "spawn+files", "lib/fork", "lib/spawn", "lib/s+files", "as user/s+files");
        for (long mb : g_opt.parentMb) {
            const std::string s = std::to_string(mb);
            double rss = 0;
            const double lib = PerIteration("launch/library/" + s, &rss) * 1e6;
            const double asUser = PerIteration("launch/library_as_user/" + s) * 1e6;
            const double frk = PerIteration("launch/fork_execv/" + s) * 1e6;
            const double spn = PerIteration("launch/posix_spawn/" + s) * 1e6;
            const double same = PerIteration("launch/spawn_files/" + s) * 1e6;
            if (lib == 0 || frk == 0 || spn == 0 || same == 0)
                continue;
            printf("%9.0f MiB %10.1f %10.1f %11.1f %12.1f %12.1f %9.2f %10.2f %12.2f %14.2f\n", rss, lib, asUser, frk,
                   spn, same, lib / frk, lib / spn, lib / same, asUser / same);
        }
    }

    if (AnyRun("options/")) {
        const double none = PerIteration("options/launch/none") * 1e6;
        const double groupless = PerIteration("options/launch/every_but_cgroup") * 1e6;
        const double every = PerIteration("options/launch/every") * 1e6;
        printf("\nLaunch with the launch options (nice, I/O class, a limit, no new privileges; then also a\n"
               "cgroup%s) against none, as the caller, microseconds per launch\n",
               g_everyOption.cgroup.empty() ? ", which could not be made here" : "");
        printf("%12s %16s %8s %12s %8s\n", "none", "all but cgroup", "ratio", "all", "ratio");
        if (none > 0)
            printf("%12.1f %16.1f %8.2f %12.1f %8.2f\n", none, groupless, groupless / none, every, every / none);
    }

    if (AnyRun("stall/")) {
        printf("\nHost stall: longest gap, in milliseconds, of a thread writing one byte per page of the heap\n"
               "while launches run (medians over the repetitions)\n");
        printf("%12s %12s %12s %12s %12s %10s %15s\n", "parent", "library", "as user", "fork+execv", "posix_spawn",
               "lib/spawn", "as user/spawn");
        for (long mb : g_opt.parentMb) {
            const std::string s = std::to_string(mb);
            if (!AnyRun("stall/library/" + s) || !AnyRun("stall/fork_execv/" + s) || !AnyRun("stall/posix_spawn/" + s))
                continue;
            const double lib = MedianExtra("stall/library/" + s), frk = MedianExtra("stall/fork_execv/" + s),
                         spn = MedianExtra("stall/posix_spawn/" + s);
            const double asUser = AnyRun("stall/library_as_user/" + s) ? MedianExtra("stall/library_as_user/" + s) : 0;
            printf("%8ld MiB %12.2f %12.2f %12.2f %12.2f %10.2f %15.2f\n", mb, lib * 1e3, asUser * 1e3, frk * 1e3,
                   spn * 1e3, spn > 0 ? lib / spn : 0.0, spn > 0 ? asUser / spn : 0.0);
        }
    }

    if (AnyRun("pipe/")) {
        const double gib = static_cast<double>(g_opt.pipeMb) / 1024.0;
        const bool samePipe = g_libPipeSize == kDefaultPipe;
        printf("\nPipe throughput, %ld MiB per run; the library's pipes hold %d bytes, the default %d\n", g_opt.pipeMb,
               g_libPipeSize, kDefaultPipe);
        printf("  GiB/s of wall time; ratio: the library against a plain read/write loop on the same kind of pipe;\n"
               "  CPU: seconds per GiB of the reading (or writing) thread\n");
        printf("%-34s %9s %9s %7s | %12s | %8s %8s\n", "case", "library", "plain", "ratio", "plain, 64K",
               "CPU lib", "CPU plain");
        struct Row {
            const char* label;
            const char* base;
            const char* lib;
        };
        const Row rows[] = {
            {"ReadBuf, 64 KiB buffer", "pipe/read/64KiB", "/library"},
            {"ReadBuf, 64 KiB + 1 byte buffer", "pipe/read/64KiB", "/library_capacity_plus_1"},
            {"ReadBuf, 1 MiB buffer", "pipe/read/1MiB", "/library"},
            {"WriteBuf into cat, 64 KiB writes", "pipe/write/64KiB", "/library"},
            {"WriteBuf into cat, 1 MiB writes", "pipe/write/1MiB", "/library"},
        };
        for (const Row& r : rows) {
            const std::string base = r.base;
            const std::string plainName = base + (samePipe ? "/plain_default_pipe" : "/plain_library_pipe");
            const double lib = PerIteration(base + r.lib);
            const double plain = PerIteration(plainName);
            const double dflt = PerIteration(base + "/plain_default_pipe");
            if (lib == 0 || plain == 0 || dflt == 0)
                continue;
            const double perGiB = 1.0 / gib;
            printf("%-34s %9.2f %9.2f %7.3f | %12.2f | %8.3f %8.3f\n", r.label, gib / lib, gib / plain, plain / lib,
                   gib / dflt, PerIteration(base + r.lib, nullptr, true) * perGiB,
                   PerIteration(plainName, nullptr, true) * perGiB);
        }
    }

    if (AnyRun("relay/")) {
        const double gib = static_cast<double>(g_opt.pipeMb) / 1024.0;
        printf("\nRelays, %ld MiB per run, at most %ld KiB per relay call; the pipes hold %d bytes\n", g_opt.pipeMb,
               g_opt.relayKib, g_libPipeSize);
        printf("  chain: bench_writer -> host -> bench_sink; dump: bench_writer -> host -> file;\n"
               "  restore: file -> host -> bench_sink; stream: bench_writer -> host -> /dev/null, the relay's own\n"
               "  cost; stream4k: the same in 4 KiB writes; stream4k_paced: 4 KiB writes at %s MiB/s, a dump\n"
               "  tool's pace. copy: ReadBuf/read + WriteBuf/write through a buffer;\n"
               "  relay: RelayOutputTo/RelayInputFrom; direct: no host between (the shell's pipe or redirection).\n"
               "  GiB/s of wall time; CPU: seconds per GiB of the host's relaying thread (RUSAGE_THREAD)\n",
               kPacedDumpMiBs);
        printf("%-14s %9s %9s %9s %13s | %9s %9s %11s\n", "job", "copy", "relay", "direct", "relay/direct",
               "CPU copy", "CPU relay", "relay/copy");
        for (const char* job : {"chain", "dump", "restore", "stream", "stream4k", "stream4k_paced"}) {
            const std::string base = std::string("relay/") + job;
            const double copy = PerIteration(base + "/copy");
            const double relay = PerIteration(base + "/relay");
            const double direct = PerIteration(base + "/direct");
            if (copy == 0 || relay == 0 || direct == 0)
                continue;
            const double cpuCopy = PerIteration(base + "/copy", nullptr, true) / gib;
            const double cpuRelay = PerIteration(base + "/relay", nullptr, true) / gib;
            printf("%-14s %9.2f %9.2f %9.2f %13.3f | %9.3f %9.3f %11.3f\n", job, gib / copy, gib / relay, gib / direct,
                   direct / relay, cpuCopy, cpuRelay, cpuCopy > 0 ? cpuRelay / cpuCopy : 0.0);
        }
        // Where the chain's CPU goes: the writer's, the sink's and the
        // relaying thread's together, per GiB and over the wall time (the
        // cores kept busy). When the direct pipe already keeps every core the
        // run gets busy, whatever the relay adds costs throughput.
        printf("chain, all CPU (writer + sink + relaying thread) in s/GiB and the cores it kept busy (of %ld):\n",
               sysconf(_SC_NPROCESSORS_ONLN));
        for (const char* path : {"copy", "relay", "direct"}) {
            const std::string name = std::string("relay/chain/") + path;
            auto it = g_toolCpu.find(name);
            if (it == g_toolCpu.end() || it->second.empty())
                continue;
            std::vector<double> total, busy;
            for (const auto& r : it->second) {
                const Run& run = g_runs[name][r.first];
                total.push_back((r.second + run.cpu) / gib);
                if (run.seconds > 0)
                    busy.push_back((r.second + run.cpu) / run.seconds);
            }
            std::sort(total.begin(), total.end());
            std::sort(busy.begin(), busy.end());
            printf("  %-7s %.3f s/GiB, %.2f cores\n", path, total[total.size() / 2],
                   busy.empty() ? 0.0 : busy[busy.size() / 2]);
        }
        const double calls = MedianExtra("relay/chain/relay");
        const double perCall = PerIteration("relay/chain/relay", nullptr, true);
        const double alone = PerIteration("relay/splice_alone", nullptr, true);
        const double pieces = MedianExtra("relay/splice_alone");
        if (calls > 0 && alone > 0 && pieces > 0)
            printf("chain relay: %.0f calls per GiB, %.1f us of CPU each; one splice of a full pipe alone (nothing to\n"
                   "wait for, nobody to wake): %.1f us, %.4f s per GiB. The rest of a call is waiting for the writer\n"
                   "and waking the writer and the reader, once per pipe-full.\n",
                   calls / gib, perCall / calls * 1e6, alone / pieces * 1e6, alone / gib);
    }

    if (AnyRun("rate/")) {
        printf("\nRate limit: a fast writer relayed at %lld MiB/s (SetRateLimit), the bytes counted per %.0f s window;\n"
               "then doubled from another thread:",
               kRateMiBs, g_rate.window);
        for (double w : g_rate.windows)
            printf(" %.2f MiB/s (%+.2f%%)", w, (w / kRateMiBs - 1) * 100);
        if (g_rate.settled >= 0)
            printf("; the new rate (%.1f MiB/s over the next 0.5 s) reached %.0f ms after the change\n", g_rate.after,
                   g_rate.settled * 1000);
        else
            printf("; the new rate not reached before the run ended\n");
    }

    if (AnyRun("fds/")) {
        printf("\nDescriptor sweep: microseconds per launch with extra open descriptors\n");
        printf("%10s %12s %12s\n", "extra fds", "library", "fork+execv");
        for (int n : g_opt.fds) {
            const double lib = PerIteration("fds/library/" + std::to_string(n)) * 1e6;
            const double frk = PerIteration("fds/fork_execv/" + std::to_string(n)) * 1e6;
            printf("%10d %12.1f %12.1f\n", n, lib, frk);
        }
        if (g_opt.fds.size() >= 2) {
            const std::string a = std::to_string(g_opt.fds.front()), b = std::to_string(g_opt.fds.back());
            const double span = g_opt.fds.back() - g_opt.fds.front();
            const double dl = PerIteration("fds/library/" + b) - PerIteration("fds/library/" + a);
            const double df = PerIteration("fds/fork_execv/" + b) - PerIteration("fds/fork_execv/" + a);
            printf("per extra descriptor: library %.3f us, fork+execv %.3f us\n", dl * 1e6 / span, df * 1e6 / span);
        }
    }

    if (AnyRun("log/")) {
        printf("\nDebug log\n");
        const double on = PerIteration("log/line/default_level");
        const double off = PerIteration("log/line/level_0");
        const double filt = PerIteration("log/detail_line/default_level");
        if (on > 0)
            printf("  lines written (default level):        %12.0f lines/s (%.2f us each)\n", 1 / on, on * 1e6);
        if (off > 0)
            printf("  lines dropped (HX_DEBUG_LEVEL=0):     %12.0f lines/s (%.3f us each)\n", 1 / off, off * 1e6);
        if (filt > 0)
            printf("  level-8 line at the default level:    %12.0f lines/s (%.3f us each)\n", 1 / filt, filt * 1e6);
        const double lon = PerIteration("log/launch/default_level") * 1e6;
        const double loff = PerIteration("log/launch/level_0") * 1e6;
        if (lon > 0 && loff > 0)
            printf("  launch with the log on %.1f us, off %.1f us: the log costs %.1f us per launch\n", lon, loff,
                   lon - loff);
    }
}

// ---------------------------------------------------------------- set-up

std::vector<long> ParseList(const char* text)
{
    std::vector<long> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            out.push_back(atol(item.c_str()));
    return out;
}

void ParseOptions(int& argc, char** argv)
{
    bool quick = false;
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--quick") == 0)
            quick = true;
    if (quick) {
        g_opt.quick = true;
        g_opt.parentMb = {50, 256};
        g_opt.pipeMb = 64;
        g_opt.reps = 1;
        g_opt.launchTime = 0.05;
        g_opt.fds = {10, 1000};
    }
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (strcmp(a, "--quick") == 0)
            continue;
        if (strncmp(a, "--parent-mb=", 12) == 0)
            g_opt.parentMb = ParseList(a + 12);
        else if (strncmp(a, "--pipe-mb=", 10) == 0)
            g_opt.pipeMb = atol(a + 10);
        else if (strncmp(a, "--relay-kib=", 12) == 0)
            g_opt.relayKib = std::max(1L, atol(a + 12));
        else if (strncmp(a, "--reps=", 7) == 0)
            g_opt.reps = std::max(1, atoi(a + 7));
        else if (strncmp(a, "--launch-time=", 14) == 0)
            g_opt.launchTime = atof(a + 14);
        else if (strncmp(a, "--job-dir=", 10) == 0)
            g_opt.jobDir = a + 10;
        else if (strncmp(a, "--fds=", 6) == 0) {
            g_opt.fds.clear();
            for (long n : ParseList(a + 6))
                g_opt.fds.push_back(static_cast<int>(n));
        } else
            argv[out++] = argv[i];
    }
    argc = out;
    argv[argc] = nullptr;
    std::sort(g_opt.parentMb.begin(), g_opt.parentMb.end());
    if (g_opt.parentMb.empty())
        g_opt.parentMb = {50};
}

void RegisterAll()
{
    const long small = g_opt.parentMb.front();
    const double launchTime = g_opt.launchTime;
    const auto launchRun = [=](benchmark::internal::Benchmark* b) { b->MinTime(launchTime); };
    const auto onePass = [](benchmark::internal::Benchmark* b) { b->Iterations(1)->Unit(benchmark::kMillisecond); };
    const auto nanoseconds = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kNanosecond); };

    // The variants of one comparison are registered side by side and each
    // repetition of the group in turn (see Add): a group at a time.
    struct Entry {
        std::string name;
        std::function<void(benchmark::State&)> fn;
    };
    const auto group = [&](const std::vector<Entry>& entries, const std::function<void(benchmark::internal::Benchmark*)>& configure) {
        const int reps = g_opt.reps;
        for (int rep = 0; rep < reps; ++rep) {
            for (const Entry& e : entries) {
                const std::string shown = reps > 1 ? e.name + "/rep:" + std::to_string(rep + 1) : e.name;
                const auto fn = e.fn;
                auto* b = benchmark::RegisterBenchmark(shown.c_str(), [=](benchmark::State& st) {
                    t_rep = rep;
                    fn(st);
                });
                b->UseRealTime()->Unit(benchmark::kMicrosecond);
                configure(b);
            }
        }
    };

    // Throughput first, from the smallest parent.
    for (const char* dir : {"read", "write"}) {
        for (size_t size : {size_t{64} * 1024, size_t{kMiB}}) {
            const std::string base =
                std::string("pipe/") + dir + "/" + (size == static_cast<size_t>(kMiB) ? "1MiB" : "64KiB");
            const bool read = dir == std::string("read");
            const PipeCase plain = read ? PipeCase::PlainRead : PipeCase::PlainWrite;
            const PipeCase lib = read ? PipeCase::LibRead : PipeCase::LibWrite;
            std::vector<Entry> entries;
            const auto add = [&](const std::string& suffix, PipeCase what, size_t bytes, int pipeSize) {
                const std::string name = base + suffix;
                entries.push_back({name, [=](benchmark::State& st) { BM_Pipe(st, what, bytes, pipeSize, name); }});
            };
            add("/plain_default_pipe", plain, size, 0);
            if (g_libPipeSize != kDefaultPipe)
                add("/plain_library_pipe", plain, size, g_libPipeSize);
            add("/library", lib, size, 0);
            // A capacity one byte above the power of two makes the reads
            // whole pages again (ReadBuf reads at most capacity - 1 bytes).
            if (read && size != static_cast<size_t>(kMiB))
                add("/library_capacity_plus_1", lib, size + 1, 0);
            group(entries, onePass);
        }
    }

    for (const auto& job : {std::make_pair("chain", RelayJob::Chain), std::make_pair("dump", RelayJob::Dump),
                            std::make_pair("restore", RelayJob::Restore), std::make_pair("stream", RelayJob::Stream),
                            std::make_pair("stream4k", RelayJob::SmallStream),
                            std::make_pair("stream4k_paced", RelayJob::PacedStream)}) {
        std::vector<Entry> entries;
        for (const auto& path : {std::make_pair("copy", RelayPath::Copy), std::make_pair("relay", RelayPath::Relay),
                                 std::make_pair("direct", RelayPath::Direct)}) {
            const std::string name = std::string("relay/") + job.first + "/" + path.first;
            const RelayJob j = job.second;
            const RelayPath p = path.second;
            entries.push_back({name, [=](benchmark::State& st) { BM_Relay(st, j, p, name); }});
        }
        group(entries, onePass);
    }
    const std::string alone = "relay/splice_alone";
    group({{alone, [=](benchmark::State& st) { BM_SpliceAlone(st, alone); }}}, onePass);

    // Once, whatever --reps: its windows are its repetitions.
    onePass(benchmark::RegisterBenchmark("rate/50MiBs", [](benchmark::State& st) { BM_Rate(st); })->UseRealTime());

    for (int n : g_opt.fds) {
        const std::string ln = "fds/library/" + std::to_string(n);
        const std::string fn = "fds/fork_execv/" + std::to_string(n);
        group({{ln, [=](benchmark::State& st) { BM_Launch(st, Launcher::Library, small, n, nullptr, ln); }},
               {fn, [=](benchmark::State& st) { BM_Launch(st, Launcher::Fork, small, n, nullptr, fn); }}},
              launchRun);
    }

    const std::string lon = "log/line/default_level", loff = "log/line/level_0",
                      lfilt = "log/detail_line/default_level";
    group({{lon, [=](benchmark::State& st) { BM_Log(st, LogCase::Line, nullptr, lon); }},
           {loff, [=](benchmark::State& st) { BM_Log(st, LogCase::Line, "0", loff); }},
           {lfilt, [=](benchmark::State& st) { BM_Log(st, LogCase::FilteredDetail, nullptr, lfilt); }}},
          nanoseconds);
    // The same launch, plain and with every launch option set.
    const std::string oplain = "options/launch/none", oevery = "options/launch/every",
                      ogroupless = "options/launch/every_but_cgroup";
    group({{oplain, [=](benchmark::State& st) { BM_Launch(st, Launcher::Library, small, 0, nullptr, oplain); }},
           {ogroupless, [=](benchmark::State& st) {
                BM_Launch(st, Launcher::LibraryWithOptionsNoGroup, small, 0, nullptr, ogroupless);
            }},
           {oevery, [=](benchmark::State& st) {
                BM_Launch(st, Launcher::LibraryWithOptions, small, 0, nullptr, oevery);
            }}},
          launchRun);
    const std::string llon = "log/launch/default_level", lloff = "log/launch/level_0";
    group({{llon, [=](benchmark::State& st) { BM_Launch(st, Launcher::Library, small, 0, nullptr, llon); }},
           {lloff, [=](benchmark::State& st) { BM_Launch(st, Launcher::Library, small, 0, "0", lloff); }}},
          launchRun);

    // Launches last, the parent growing from one size to the next.
    for (long mb : g_opt.parentMb) {
        const std::string s = std::to_string(mb);
        const std::string lib = "launch/library/" + s, frk = "launch/fork_execv/" + s,
                          spn = "launch/posix_spawn/" + s, same = "launch/spawn_files/" + s,
                          user = "launch/library_as_user/" + s;
        std::vector<Entry> launches = {
            {lib, [=](benchmark::State& st) { BM_Launch(st, Launcher::Library, mb, 0, nullptr, lib); }},
            {frk, [=](benchmark::State& st) { BM_Launch(st, Launcher::Fork, mb, 0, nullptr, frk); }},
            {spn, [=](benchmark::State& st) { BM_Launch(st, Launcher::Spawn, mb, 0, nullptr, spn); }},
            {same, [=](benchmark::State& st) { BM_Launch(st, Launcher::SpawnSameWork, mb, 0, nullptr, same); }}};
        if (!g_trueAsUser.empty())
            launches.push_back(
                {user, [=](benchmark::State& st) { BM_Launch(st, Launcher::LibraryAsUser, mb, 0, nullptr, user); }});
        group(launches, launchRun);
        const std::string slib = "stall/library/" + s, sfrk = "stall/fork_execv/" + s,
                          sspn = "stall/posix_spawn/" + s, suser = "stall/library_as_user/" + s;
        std::vector<Entry> stalls = {
            {slib, [=](benchmark::State& st) { BM_Launch(st, Launcher::Library, mb, 0, nullptr, slib, true); }},
            {sfrk, [=](benchmark::State& st) { BM_Launch(st, Launcher::Fork, mb, 0, nullptr, sfrk, true); }},
            {sspn, [=](benchmark::State& st) { BM_Launch(st, Launcher::Spawn, mb, 0, nullptr, sspn, true); }}};
        if (!g_trueAsUser.empty())
            stalls.push_back({suser, [=](benchmark::State& st) {
                                  BM_Launch(st, Launcher::LibraryAsUser, mb, 0, nullptr, suser, true);
                              }});
        group(stalls, launchRun);
    }
}

// The pipe size the library gives its children, seen on one launch.
int LibraryPipeSize()
{
    MySqlChildProcess child;
    int size = -1;
    if (child.Initialize(BENCH_TRUE, "", "") == 0 && child.HX_CreateProcess(false, false, false, false) == 0) {
        size = fcntl(child.m_filedesCW[0], F_GETPIPE_SZ);
        child.Finalize();
        child.Wait(0);
    }
    ClearJobResults();
    return size;
}

}  // namespace

int main(int argc, char** argv)
{
    ParseOptions(argc, argv);

    char templ[] = "/tmp/mysqlprocess-bench-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    g_tmp = templ;
    g_results = (g_opt.jobDir.empty() ? g_tmp : g_opt.jobDir) + "/results";
    setenv("HX_JOB_RESULTS_DIR", g_results.c_str(), 1);
    setenv("HX_DEBUG_LOG", (g_tmp + "/debug.log").c_str(), 1);
    setenv("HX_JOB_ID", "1", 1);
    setenv("HX_CLIENT_NAME", "bench", 1);
    unsetenv("HX_DEBUG_LEVEL");

    // Room for the sweep's extra descriptors.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    // The benchmark links the library's objects: its launch helper is the
    // one the build made.
    LibMySqlProcess::SetLaunchHelperPath(BENCH_HELPER);
    if (geteuid() == 0 && getpwnam("nobody") != nullptr) {
        chmod(g_tmp.c_str(), 0755);
        const std::string copy = g_tmp + "/bench_true";
        std::ifstream in(BENCH_TRUE, std::ios::binary);
        std::ofstream out(copy, std::ios::binary);
        out << in.rdbuf();
        out.close();
        if (in && out && chmod(copy.c_str(), 0755) == 0)
            g_trueAsUser = copy;
    }

    g_everyOption.nice = 10;
    g_everyOption.ioClass = MySqlChildProcess::LaunchOptions::IoClass::BestEffort;
    g_everyOption.ioLevel = 7;
    g_everyOption.limits = {{RLIMIT_CORE, 0, 0}};
    g_everyOption.noNewPrivileges = true;
    std::string cgroup;
    if (std::ifstream mounts("/proc/self/mountinfo"); mounts) {
        for (std::string line; std::getline(mounts, line);) {
            char point[4096];
            if (line.find(" - cgroup2 ") != std::string::npos &&
                sscanf(line.c_str(), "%*s %*s %*s %*s %4095s", point) == 1) {
                const std::string group = std::string(point) + "/mysqlprocess-bench-" + std::to_string(getpid());
                if (mkdir(group.c_str(), 0755) == 0) {
                    cgroup = group;
                    break;
                }
            }
        }
    }
    g_everyButTheGroup = g_everyOption;
    g_everyOption.cgroup = cgroup;

    g_libPipeSize = LibraryPipeSize();
    printf("mode %s: parent sizes", g_opt.quick ? "quick" : "full");
    for (long mb : g_opt.parentMb)
        printf(" %ld", mb);
    printf(" MiB, %ld MiB per pipe run, %d repetitions\n", g_opt.pipeMb, g_opt.reps);
    fflush(stdout);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    RegisterAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ReleaseBallast();

    PrintSummary();
    if (!cgroup.empty())
        rmdir(cgroup.c_str());
    RemoveTree(g_results);
    RemoveTree(g_tmp);
    if (g_failed)
        fprintf(stderr, "mysqlprocess_bench: some benchmarks failed (see the errors above)\n");
    return g_failed ? 1 : 0;
}
