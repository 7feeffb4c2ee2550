#include "support/TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <ftw.h>
#include <pwd.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "child_process/LaunchHelperPath.h"
#include "host/EvDebug.h"

namespace testsupport {

// The built probe may sit in a checkout other users cannot enter (a clone
// under /root, mode 0700), so children switched to another user run a copy
// in a folder of this process's own, reachable by all and removed at exit.
const char* ProbePath()
{
    static const std::string path = [] {
        static TempDir dir;
        const std::string copy = dir / "probe";
        WriteFile(copy, ReadFile(MYSQLPROCESS_PROBE), 0755);
        return copy;
    }();
    return path.c_str();
}

// Made before any test forks: a copy made in a forked subprocess would
// outlive it.
const char* const g_probeAtStart = ProbePath();

// The tests link the library's objects, not the library, so the launch
// helper is not beside them: they use the one the build made, copied where a
// host running as another account (the capability cases) can reach it too.
const char* HelperPath()
{
    static const std::string path = [] {
        const std::string copy = std::string(ProbePath()).substr(0, std::string(ProbePath()).rfind('/')) +
                                 "/mysqlprocess-helper";
        WriteFile(copy, ReadFile(MYSQLPROCESS_HELPER), 0755);
        LibMySqlProcess::SetLaunchHelperPath(copy);
        return copy;
    }();
    return path.c_str();
}

const char* const g_helperAtStart = HelperPath();

std::string ProbeCommand(const std::string& args)
{
    return std::string(ProbePath()) + " " + args;
}

int WaitWithDeadline(pid_t pid, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    for (;;) {
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return status;
        if (got < 0 && errno != EINTR)
            return -2;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int AwaitChildEnd(pid_t pid, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return -2;
        if (info.si_pid == pid)
            return info.si_code == CLD_EXITED ? W_EXITCODE(info.si_status, 0) : info.si_status;
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool Unreaped(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

bool AwaitWaitThread(const LibMySqlProcess::MySqlChildProcess& child, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!child.m_waitComplete.load() && !child.m_waitFailed.load()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void RecordingWriter::WriteLog(int kind, const char* function, int line, int arg1, int arg2, const char* format, ...)
{
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    calls.push_back({kind, function != nullptr ? function : "(null)", line, arg1, arg2, format, text});
}

int RecordingWriter::GetWriterStatus()
{
    ++statusQueries;
    return status;
}

TempDir::TempDir()
{
    char templ[] = "/tmp/mysqlprocess-test-XXXXXX";
    const char* made = mkdtemp(templ);
    if (made == nullptr)
        ADD_FAILURE() << "mkdtemp failed: " << strerror(errno);
    m_path = made != nullptr ? made : "/tmp";
    // Children that switch to another user must be able to reach files here.
    chmod(m_path.c_str(), 0755);
}

TempDir::~TempDir()
{
    if (m_path.size() > 5) {
        nftw(
            m_path.c_str(),
            [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16, FTW_DEPTH | FTW_PHYS);
    }
}

namespace {

bool Digits(const std::string& s, size_t at, size_t count)
{
    if (at + count > s.size())
        return false;
    for (size_t i = at; i < at + count; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

// A number of one or more digits at pos, advancing pos past it.
bool Number(const std::string& s, size_t& pos, long& value)
{
    size_t start = pos;
    bool negative = false;
    if (pos < s.size() && s[pos] == '-') {
        negative = true;
        ++pos;
    }
    size_t digitsStart = pos;
    long v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9')
        v = v * 10 + (s[pos++] - '0');
    if (pos == digitsStart) {
        pos = start;
        return false;
    }
    value = negative ? -v : v;
    return true;
}

bool Expect(const std::string& s, size_t& pos, const char* text)
{
    size_t n = strlen(text);
    if (s.compare(pos, n, text) != 0)
        return false;
    pos += n;
    return true;
}

}  // namespace

bool ParseLogLine(const std::string& s, LogLine& out)
{
    // Fixed-width timestamp.
    if (s.size() < 27 || !Digits(s, 0, 4) || s[4] != '-' || !Digits(s, 5, 2) || s[7] != '-' || !Digits(s, 8, 2) ||
        s[10] != ' ' || !Digits(s, 11, 2) || s[13] != ':' || !Digits(s, 14, 2) || s[16] != ':' || !Digits(s, 17, 2) ||
        s[19] != '.' || !Digits(s, 20, 6) || s[26] != ' ')
        return false;
    const int month = std::stoi(s.substr(5, 2)), day = std::stoi(s.substr(8, 2));
    const int hour = std::stoi(s.substr(11, 2)), minute = std::stoi(s.substr(14, 2)), sec = std::stoi(s.substr(17, 2));
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || sec > 60)
        return false;
    size_t pos = 27;
    long pid = 0, tid = 0, level = 0;
    if (!Expect(s, pos, "pid=") || !Number(s, pos, pid) || !Expect(s, pos, " tid=") || !Number(s, pos, tid) ||
        !Expect(s, pos, " L") || !Number(s, pos, level) || !Expect(s, pos, " "))
        return false;
    const size_t tagEnd = s.find(' ', pos);
    if (tagEnd == std::string::npos || tagEnd == pos)
        return false;
    out.pid = static_cast<int>(pid);
    out.tid = tid;
    out.level = static_cast<int>(level);
    out.tag = s.substr(pos, tagEnd - pos);
    out.message = s.substr(tagEnd + 1);
    return true;
}


void SetEnv(const char* name, const std::string& value)
{
    setenv(name, value.c_str(), 1);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name)
{
    const char* old = getenv(name);
    m_had = old != nullptr;
    m_old = m_had ? old : "";
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (m_had)
        setenv(m_name.c_str(), m_old.c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

HostEnv::HostEnv(int debugLevel)
{
    const std::map<std::string, std::string> values = {
        {"HX_JOB_RESULTS_DIR", resultsDir()}, {"HX_JOB_ID", "42"},
        {"HX_DEBUG_LOG", logPath()},          {"HX_DEBUG_LEVEL", std::to_string(debugLevel)},
        {"HX_BASE_HOME", baseHome()},         {"HX_CLIENT_NAME", "testclient"},
    };
    for (const auto& kv : values) {
        const char* old = getenv(kv.first.c_str());
        m_saved[kv.first] = {old != nullptr, old != nullptr ? old : ""};
        SetEnv(kv.first.c_str(), kv.second);
    }
}

HostEnv::~HostEnv()
{
    for (const auto& kv : m_saved) {
        if (kv.second.first)
            setenv(kv.first.c_str(), kv.second.second.c_str(), 1);
        else
            unsetenv(kv.first.c_str());
    }
}

std::vector<std::string> HostEnv::LogLines() const
{
    std::vector<std::string> lines;
    std::ifstream in(logPath());
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

bool HostEnv::LogHas(const std::string& text) const
{
    return LogCount(text) > 0;
}

int HostEnv::LogCount(const std::string& text) const
{
    int n = 0;
    for (const auto& line : LogLines())
        n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

std::vector<std::string> HostEnv::Messages(const std::string& tag) const
{
    std::vector<std::string> out;
    const std::string marker = " " + tag + " ";
    for (const auto& line : LogLines()) {
        size_t at = line.find(marker);
        if (at != std::string::npos)
            out.push_back(line.substr(at + marker.size()));
    }
    return out;
}

void HostEnv::ClearLog() const
{
    truncate(logPath().c_str(), 0);
}

std::vector<std::string> FolderEntries(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* e = readdir(dir))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

std::vector<int> OpenFds()
{
    std::vector<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return fds;
    const int self = dirfd(dir);
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        int fd = atoi(e->d_name);
        if (fd == self)
            continue;
        // The host's logger keeps the current debug log open on purpose.
        char link[4096] = {};
        const std::string proc = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(proc.c_str(), link, sizeof link - 1);
        const char* log = getenv("HX_DEBUG_LOG");
        if (n > 0 && log != nullptr && std::string(link, static_cast<size_t>(n)) == log)
            continue;
        fds.push_back(fd);
    }
    closedir(dir);
    return fds;
}

int CountOpenFds()
{
    return static_cast<int>(OpenFds().size());
}

int HighestOpenFd()
{
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    const int self = dirfd(dir);
    int top = -1;
    while (dirent* e = readdir(dir)) {
        const int fd = atoi(e->d_name);
        if (e->d_name[0] != '.' && fd != self && fd > top)
            top = fd;
    }
    closedir(dir);
    return top;
}

bool IsOpen(int fd)
{
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

bool FewDescriptors::Squeeze(int spare)
{
    if (getrlimit(RLIMIT_NOFILE, &m_saved) != 0)
        return false;
    m_squeezed = true;
    const int top = HighestOpenFd();
    if (top < 0)
        return false;
    rlimit limit = m_saved;
    limit.rlim_cur = static_cast<rlim_t>(top + 1);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    int fd;
    while ((fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0)
        m_fillers.push_back(fd);
    if (errno != EMFILE)
        return false;
    limit.rlim_cur = static_cast<rlim_t>(top + 1 + spare);
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

void FewDescriptors::Restore()
{
    for (int fd : m_fillers)
        close(fd);
    m_fillers.clear();
    if (m_squeezed)
        setrlimit(RLIMIT_NOFILE, &m_saved);
    m_squeezed = false;
}

std::string LinkOf(const std::string& procPath)
{
    char buf[PATH_MAX];
    const ssize_t n = readlink(procPath.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

FdLeakCheck::FdLeakCheck() : m_before(CountOpenFds()) {}

FdLeakCheck::~FdLeakCheck()
{
    EXPECT_EQ(CountOpenFds(), m_before) << "descriptors leaked";
}

int RunInSubprocess(const std::function<int()>& fn, int seconds)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int rc = 1;
        rc = fn();
        _exit(rc);
    }
    if (pid < 0)
        return -1;
    int status = 0;
    if (seconds > 0) {
        status = WaitWithDeadline(pid, seconds);
        if (status < 0)
            return -1;
    } else {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

struct HangGuard::State {
    std::mutex mutex;
    std::condition_variable left;
    bool done = false;
    std::thread watcher;
};

HangGuard::HangGuard(int seconds, std::string what) : m_state(new State)
{
    m_state->watcher = std::thread([this, seconds, what] {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        if (!m_state->left.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_state->done; })) {
            fprintf(stderr, "HANG: %s did not finish within %d s\n", what.c_str(), seconds);
            _exit(86);
        }
    });
}

HangGuard::~HangGuard()
{
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->done = true;
    }
    m_state->left.notify_all();
    m_state->watcher.join();
    delete m_state;
}

std::vector<sock_filter> SyscallFilter(const long* listed, size_t count, uint32_t listedAction, uint32_t otherAction)
{
    std::vector<sock_filter> prog;
    prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0));
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    for (size_t i = 0; i < count; ++i) {
        prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(listed[i]), 0, 1));
        prog.push_back(BPF_STMT(BPF_RET | BPF_K, listedAction));
    }
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, otherAction));
    return prog;
}

bool DenySyscalls(std::initializer_list<long> syscalls, int err)
{
    std::vector<sock_filter> prog =
        SyscallFilter(syscalls.begin(), syscalls.size(),
                      SECCOMP_RET_ERRNO | (static_cast<__u32>(err) & SECCOMP_RET_DATA), SECCOMP_RET_ALLOW);
    sock_fprog fprog{static_cast<unsigned short>(prog.size()), prog.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

std::string EmitPattern(size_t size)
{
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>('a' + i % 26);
    return out;
}

std::string ReadAll(LibMySqlProcess::MySqlChildProcess& child, long capacity)
{
    std::string out;
    std::vector<char> buf(static_cast<size_t>(capacity));
    for (;;) {
        long len = capacity;
        if (child.ReadBuf(buf.data(), &len) != 0 || len == 0)
            return out;
        out.append(buf.data(), static_cast<size_t>(len));
    }
}

std::multimap<std::string, std::string> ParseReport(const std::string& text)
{
    std::multimap<std::string, std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            out.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    return out;
}

std::vector<std::string> ReportValues(const std::multimap<std::string, std::string>& report, const std::string& key)
{
    std::vector<std::string> out;
    auto range = report.equal_range(key);
    for (auto it = range.first; it != range.second; ++it)
        out.push_back(it->second);
    return out;
}

std::string Unescape(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char c = text[++i];
            out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
        } else {
            out += text[i];
        }
    }
    return out;
}

namespace {
std::atomic<long> g_interrupts{0};
void CountInterrupt(int)
{
    g_interrupts.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

InterruptingHandler::InterruptingHandler()
{
    g_interrupts = 0;
    struct sigaction sa {};
    sa.sa_handler = CountInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGUSR1, &sa, &m_old);
}

InterruptingHandler::~InterruptingHandler()
{
    sigaction(SIGUSR1, &m_old, nullptr);
}

long InterruptingHandler::Count()
{
    return g_interrupts.load();
}

bool IsRoot()
{
    return geteuid() == 0;
}

std::string Sanitizer()
{
    const char* s = getenv("MYSQLPROCESS_SANITIZER");
    return s != nullptr ? s : "";
}

int RunInPidNamespace(const std::function<int()>& fn, int seconds)
{
    return RunInSubprocess(
        [&] {
            if (unshare(CLONE_NEWPID) != 0)
                return 90;
            const pid_t init = fork();
            if (init == 0)
                _exit(fn());
            int status = 0;
            if (init < 0 || waitpid(init, &status, 0) != init)
                return 99;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        },
        seconds);
}

bool ForkPath()
{
    const char* mode = getenv("HX_FORK");
    return mode != nullptr && strcmp(mode, "fork") == 0;
}

bool UnderValgrind()
{
    return Sanitizer() == "valgrind";
}

BusyThreads::BusyThreads(int count, const char* tag) : m_tag(tag)
{
    for (int t = 0; t < count; ++t)
        m_threads.emplace_back([this, t] { Run(t); });
}

BusyThreads::~BusyThreads()
{
    Stop();
}

void BusyThreads::Stop()
{
    m_stop = true;
    for (auto& th : m_threads)
        if (th.joinable())
            th.join();
}

void BusyThreads::Run(int index)
{
    std::mt19937 rng(static_cast<unsigned>(index) * 7919u + 1u);
    EvEvent event;
    // Blocks of many sizes held for a while, so that the allocator splits,
    // merges and returns memory rather than handing back one block.
    std::vector<char*> held;
    const char* names[] = {"root", "nobody", "no-such-user-here"};
    long round = 0;
    while (!m_stop.load(std::memory_order_relaxed)) {
        for (int i = 0; i < 8; ++i) {
            const size_t size = 1 + rng() % 65536;
            char* p = static_cast<char*>(malloc(size));
            if (p == nullptr)
                continue;
            p[0] = static_cast<char>(round);
            p[size - 1] = static_cast<char>(index);
            held.push_back(p);
            if (held.size() > 16) {
                free(held.front());
                held.erase(held.begin());
            }
        }
        // Both forms take the name service's locks.
        const char* name = names[(round + index) % 3];
        if (round % 2 == 0) {
            std::lock_guard<std::mutex> lock(m_staticRecord);
            volatile bool found = getpwnam(name) != nullptr;
            (void)found;
        } else {
            passwd entry{};
            passwd* found = nullptr;
            char buf[4096];
            getpwnam_r(name, &entry, buf, sizeof buf, &found);
        }
        if (round % 8 == 0)
            event.Debug(m_tag, "round %ld of thread %d", round, index);
        ++round;
    }
    for (char* p : held)
        free(p);
    m_rounds += round;
}

}  // namespace testsupport
