// mysqlchild: runs one MySQL command-line tool (or two, chained) through
// libMySqlProcess the way the backup agent does, for trying the library out
// and for scripting backups, restores and point-in-time recoveries.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process/MySqlChildProcess.h"
#include "tools/OutputFile.h"

using LibMySqlProcess::MySqlChildProcess;
using mysqlchild::OpenInputFile;
using mysqlchild::OutputFile;

namespace {

constexpr const char* kProgram = "mysqlchild";
// The most one relay call moves: the byte counts, and so the progress line,
// step by at most this much.
constexpr long long kRelayChunk = 1LL << 20;
constexpr int kExitUsage = 2;
constexpr int kExitHostFailure = 1;
constexpr int kExitTimedOut = 124;  // as timeout(1)

const char kHelp[] = R"(Usage: mysqlchild [OPTIONS] "COMMAND LINE"

Runs one MySQL command-line tool as a child process through libMySqlProcess,
as the backup agent does: streams a file into the tool's standard input,
copies its standard output to a file or to this program's standard output,
waits for it and reports how it ended.

COMMAND LINE is one argument: the library splits it, not a shell. Words are
separated by spaces only; a word with an odd number of " (or ') opens a group
that runs to the next word holding that quote, and the quotes are removed;
--stop-datetime=DATE TIME keeps the time with the date, unquoted. There is no
escape character and no $VARIABLE or * expansion. The program must be given
by its full path: PATH is not searched.

Options:
  --user USER         run the tool as USER (needs root); a user that does not
                      exist is refused: the tool is not launched (exit 1)
  --env MODE          the tool's environment:
                        inherit  this program's environment (default)
                        system   only LD_LIBRARY_PATH=/lib64:/lib:/usr/lib:/usr/lib64
                        base     only LD_LIBRARY_PATH=$HX_BASE_HOME, umask 022
  --input FILE        stream FILE into the tool's standard input ('-' for this
                      program's standard input); without it the tool's input
                      is closed at once
  --output FILE|-     where the tool's standard output goes (default '-',
                      this program's standard output). FILE is written under
                      a temporary name in its folder, mode 0600, and replaces
                      FILE only when every tool succeeded: a failed, timed-out
                      or interrupted run leaves an earlier FILE as it was.
                      When FILE cannot be replaced (a mount point, say) the
                      output is kept under the temporary name, which is
                      printed. An existing FILE that is no regular file
                      (/dev/null, a FIFO) is written directly; this program's
                      own standard output (/dev/stdout, or the file it is
                      redirected to) is written through it, appending when it
                      appends.
                      For --input and --output alike, a symbolic link on the
                      way, and a FIFO or device, is used only when it belongs
                      to you or to root
  --pipe-to "COMMAND LINE"
                      start a second tool and stream the first one's standard
                      output into its standard input through the library
                      (e.g. mysqlbinlog into mysql); --output then takes the
                      second tool's output
  --pipe-user USER    run the --pipe-to tool as USER (default: --user)
  --error-key KEY     on failure, print the last line of the tool's error
                      output that contains KEY (case matters); by default
                      ERROR (the client's "ERROR 1045 ..."), else the tool's
                      own prefix ("mysqldump: Got error ...")
  --wait-thread       wait for the tool on the library's wait thread
                      (BeginWait) instead of in the calling thread (Wait);
                      a tool that is stopped then gets no grace (SIGKILL)
  --timeout SECONDS   stop the tools when the chain runs longer (exit 124)
  --grace SECONDS     how long a tool that is stopped (--timeout, or a stop
                      signal to this program) has to end after SIGTERM before
                      it gets SIGKILL (default 10; 0 for SIGKILL at once).
                      Each tool leads a process group of its own, and the
                      processes it started end with it
  --stats             print bytes moved, time taken and this program's own CPU
                      time to standard error
  --help              show this text

Progress (bytes and rate) is shown on standard error when it is a terminal.
The tools run in process groups of their own, as background jobs: Ctrl-C
reaches this program, which stops them, and a tool cannot read the terminal
(give passwords in an option file, not at a prompt).

Exit status:
  0        every tool succeeded
  N        the tool's own exit code (with --pipe-to, the code of the last tool
           that failed); 77, 79 and 81 mean the library could not start it:
           77 a standard stream could not be redirected or the error file not
           created, 79 the program could not be executed, 81 the user switch
           failed
  128+N    the tool was killed by signal N
  124      --timeout passed; the tools were stopped
  129, 130, 131, 143
           this program got SIGHUP, SIGINT, SIGQUIT or SIGTERM; the tools
           were stopped
  1        the library could not launch the tool, or moving data failed
  2        bad arguments

Environment (read by the host libraries; the tool's error output is kept in
$HX_JOB_RESULTS_DIR/HX_JobResults/2/0/$HX_JOB_ID/MySqlErrors_<time>.txt):
  HX_JOB_RESULTS_DIR  job results folder (default /tmp/hx_job_results)
  HX_JOB_ID           job id (default: a random one of this run's own)
  HX_CLIENT_NAME      client name (default the host name)
  HX_DEBUG_LOG        debug log file (default /tmp/hx_debug.log)
  HX_DEBUG_LEVEL      debug detail, 0 (silent) to 9 (default 5)
  HX_BASE_HOME        base home, the library path of --env base (default /opt/hx)

Examples:
  mysqlchild --output shop.sql "/usr/bin/mysqldump --single-transaction shop"
  mysqlchild --input shop.sql "/usr/bin/mysql shop_copy"
  mysqlchild --pipe-to "/usr/bin/mysql" \
    "/usr/bin/mysqlbinlog --stop-datetime=2024-01-31 23:59:59 /var/lib/mysql/binlog.000042"
  mysqlchild "/usr/bin/mysql --batch --execute=\"SHOW  DATABASES\""
)";

enum class EnvMode { Inherit, System, Base };

struct Options {
    std::string command;
    std::string pipeTo;
    std::string user;
    std::string pipeUser;
    bool pipeUserGiven = false;
    EnvMode env = EnvMode::Inherit;
    std::string input;
    std::string output = "-";
    std::string errorKey;  // empty: ERROR, else the program's own prefix
    bool waitThread = false;
    bool stats = false;
    double timeoutSeconds = 0;  // 0: no limit
    double graceSeconds = 10;   // from SIGTERM to SIGKILL when the tools are stopped
};

[[noreturn]] void UsageError(const std::string& message)
{
    fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, message.c_str(), kProgram);
    exit(kExitUsage);
}

// --name VALUE and --name=VALUE; true when argv[i] is the option `name`.
bool TakeValue(int argc, char** argv, int& i, const char* name, std::string& value)
{
    const char* arg = argv[i];
    const size_t n = strlen(name);
    if (strncmp(arg, name, n) != 0)
        return false;
    if (arg[n] == '=') {
        value = arg + n + 1;
    } else if (arg[n] == '\0') {
        if (i + 1 >= argc)
            UsageError(std::string("option ") + name + " needs a value");
        value = argv[++i];
    } else {
        return false;
    }
    return true;
}

Options ParseArguments(int argc, char** argv)
{
    Options opts;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        std::string value;
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            fputs(kHelp, stdout);
            exit(0);
        } else if (arg == "--wait-thread") {
            opts.waitThread = true;
        } else if (arg == "--stats") {
            opts.stats = true;
        } else if (TakeValue(argc, argv, i, "--user", opts.user)) {
        } else if (TakeValue(argc, argv, i, "--pipe-user", opts.pipeUser)) {
            opts.pipeUserGiven = true;
        } else if (TakeValue(argc, argv, i, "--input", opts.input)) {
            if (opts.input.empty())
                UsageError("--input needs a file name");
        } else if (TakeValue(argc, argv, i, "--output", opts.output)) {
            if (opts.output.empty())
                UsageError("--output needs a file name or -");
        } else if (TakeValue(argc, argv, i, "--error-key", opts.errorKey)) {
            if (opts.errorKey.empty())
                UsageError("--error-key needs a non-empty key");
        } else if (TakeValue(argc, argv, i, "--pipe-to", opts.pipeTo)) {
            if (opts.pipeTo.find_first_not_of(' ') == std::string::npos)
                UsageError("--pipe-to needs a command line");
        } else if (TakeValue(argc, argv, i, "--timeout", value)) {
            char* end = nullptr;
            errno = 0;
            const double seconds = strtod(value.c_str(), &end);
            // Above a year it is a typo, and the clock arithmetic stays far from overflow.
            if (value.empty() || *end != '\0' || errno != 0 || !(seconds > 0) || seconds > 366.0 * 24 * 3600)
                UsageError("--timeout needs a number of seconds above 0, not '" + value + "'");
            opts.timeoutSeconds = seconds;
        } else if (TakeValue(argc, argv, i, "--grace", value)) {
            char* end = nullptr;
            errno = 0;
            const double seconds = strtod(value.c_str(), &end);
            // In milliseconds it must fit an int; a grace of more than a day is a typo.
            if (value.empty() || *end != '\0' || errno != 0 || !(seconds >= 0) || seconds > 24.0 * 3600)
                UsageError("--grace needs a number of seconds from 0 to 86400, not '" + value + "'");
            opts.graceSeconds = seconds;
        } else if (TakeValue(argc, argv, i, "--env", value)) {
            if (value == "inherit")
                opts.env = EnvMode::Inherit;
            else if (value == "system")
                opts.env = EnvMode::System;
            else if (value == "base")
                opts.env = EnvMode::Base;
            else
                UsageError("--env must be inherit, system or base, not '" + value + "'");
        } else {
            UsageError("unknown option '" + arg + "'");
        }
    }
    if (positional.empty())
        UsageError("no command line given");
    if (positional.size() > 1)
        UsageError("give the command line as one argument (quote it); got " + std::to_string(positional.size()) +
                   " arguments starting with '" + positional[0] + "' '" + positional[1] + "'");
    opts.command = positional[0];
    if (opts.command.find_first_not_of(' ') == std::string::npos)
        UsageError("the command line is empty");
    if (opts.command.size() >= static_cast<size_t>(LibMySqlProcess::kCommandLineSize))
        UsageError("the command line is longer than " + std::to_string(LibMySqlProcess::kCommandLineSize - 1) +
                   " characters");
    if (opts.pipeTo.size() >= static_cast<size_t>(LibMySqlProcess::kCommandLineSize))
        UsageError("the --pipe-to command line is longer than " +
                   std::to_string(LibMySqlProcess::kCommandLineSize - 1) + " characters");
    if (!opts.pipeUserGiven)
        opts.pipeUser = opts.user;
    if (opts.pipeUserGiven && opts.pipeTo.empty())
        UsageError("--pipe-user needs --pipe-to");
    return opts;
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string HumanBytes(double bytes)
{
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 4) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[64];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

// The first word of a command line, for messages.
std::string ProgramOf(const std::string& command)
{
    const size_t start = command.find_first_not_of(' ');
    const size_t end = command.find(' ', start);
    return command.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// One tool of the chain and the traffic through it.
struct Stage {
    std::string command;
    std::string program;
    std::string user;
    MySqlChildProcess child;
    bool launched = false;
    std::atomic<uint64_t> bytesIn{0};
    std::atomic<uint64_t> bytesOut{0};
    std::atomic<int> ioError{0};  // errno of a failed pipe transfer
    std::string ioWhat;
};

// Finalize closes both of the parent's ends at once, but data runs through a
// child in two directions at the same time, each on its own thread. Each
// side's end is therefore closed by the thread that owns it, as soon as it is
// done (CloseInput, CloseOutput): the tool sees the end of its input while
// its output is still read, or a reader that gives up lets the tool fail on a
// closed pipe instead of blocking on a full one.
//
// The library's relays move the data, in the kernel wherever it accepts the
// pair of descriptors: it need not pass through this process's memory.
//
// Feeds the first tool from the input file. A pipe or terminal as input may
// never reach its end, so it is polled, and the feeding stops once the chain
// has ended without needing the rest.
void FeedInput(Stage& stage, int fd, const std::atomic<bool>& chainEnded)
{
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    for (;;) {
        if (!regular) {
            pollfd p{fd, POLLIN, 0};
            const int ready = poll(&p, 1, 200);
            if (ready < 0 && errno != EINTR)
                break;
            if (ready <= 0) {
                if (chainEnded)
                    break;
                continue;
            }
        }
        long long moved = 0;
        const bool ok = stage.child.RelayInputFrom(fd, kRelayChunk, &moved) == 0;
        stage.bytesIn += static_cast<uint64_t>(moved);
        if (!ok) {
            // Reading a file never fails with EPIPE: the tool stopped reading
            // (it ended, usually with an error of its own, which its exit
            // status reports).
            const int err = stage.child.m_lastErr.load();
            stage.ioError = err;
            stage.ioWhat = err == EPIPE ? "writing to " + stage.program + " failed" : "reading the input file failed";
            break;
        }
        if (moved == 0)
            break;
    }
    stage.child.CloseInput();
}

// Moves a tool's output to fd until it ends, counting it as the tool's output
// and, when given, as what reached the next point; then closes that output.
// The errno of a failure (the destination's: reading the tool's own pipe does
// not fail), or 0.
int DrainOutput(Stage& from, int fd, std::atomic<uint64_t>* reached)
{
    int err = 0;
    for (;;) {
        long long moved = 0;
        const bool ok = from.child.RelayOutputTo(fd, kRelayChunk, &moved) == 0;
        from.bytesOut += static_cast<uint64_t>(moved);
        if (reached != nullptr)
            *reached += static_cast<uint64_t>(moved);
        if (!ok) {
            err = from.child.m_lastErr.load();
            break;
        }
        if (moved == 0)
            break;
    }
    from.child.CloseOutput();
    return err;
}

// Streams one tool's output into the next tool's input.
void Relay(Stage& from, Stage& to)
{
    const int err = DrainOutput(from, to.child.m_filedesPW[1], &to.bytesIn);
    if (err != 0) {
        to.ioError = err;
        to.ioWhat = "writing to " + to.program + " failed";
    }
    to.child.CloseInput();
}

// The most bytes that passed any one point of the chain: the input fed, a
// relay between two tools, or the output taken. A chain with no input and no
// final output (a streamed backup piped into its extractor) moves all its
// bytes through the relay alone.
uint64_t BytesMoved(const std::vector<Stage*>& stages)
{
    uint64_t most = 0;
    for (const Stage* stage : stages) {
        most = std::max<uint64_t>(most, stage->bytesIn.load());
        most = std::max<uint64_t>(most, stage->bytesOut.load());
    }
    return most;
}

// The CPU time this process has spent, all its threads, the tools' not
// counted: what moving the data cost the host.
void OwnCpuSeconds(double* user, double* system)
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    *user = static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
    *system = static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) * 1e-6;
}

// Shows the bytes moved and the rate on a terminal, twice a second.
class Progress {
public:
    Progress(const std::vector<Stage*>& stages, std::chrono::steady_clock::time_point start)
        : m_stages(stages), m_start(start)
    {
        m_thread = std::thread([this] { Run(); });
    }
    ~Progress()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
        if (m_shown)
            fputs("\r\033[K", stderr);
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::milliseconds(500), [this] { return m_stop; })) {
            const double seconds = SecondsSince(m_start);
            const uint64_t in = m_stages.front()->bytesIn;
            const uint64_t out = m_stages.back()->bytesOut;
            std::string relayed;
            if (m_stages.size() > 1)
                relayed = ", relayed " + HumanBytes(static_cast<double>(m_stages.front()->bytesOut.load()));
            const double rate = seconds > 0 ? static_cast<double>(BytesMoved(m_stages)) / seconds : 0.0;
            fprintf(stderr, "\r\033[K%s: in %s%s, out %s, %s/s, %.1f s", kProgram, HumanBytes(in).c_str(),
                    relayed.c_str(), HumanBytes(out).c_str(), HumanBytes(rate).c_str(), seconds);
            m_shown = true;
        }
    }

    std::vector<Stage*> m_stages;
    std::chrono::steady_clock::time_point m_start;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_shown = false;
    std::thread m_thread;
};

// SIGHUP, SIGINT, SIGQUIT and SIGTERM only leave a byte (the signal's number) in a pipe that
// the main thread watches, together with the time limit; the main thread
// terminates the tools and removes the temporary output file. The handlers
// are reset to the default at the tools' exec. A 0 byte says the chain ended.
int g_events[2] = {-1, -1};

extern "C" void NoteSignal(int sig)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    ssize_t ignored = write(g_events[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

// Until the tools run, the handlers interrupt what they land on (restart
// false): opening a FIFO whose other end never comes must still end on a
// signal. Afterwards interrupted calls restart.
bool CatchStopSignals(bool restart)
{
    if (g_events[0] == -1 && pipe2(g_events, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = NoteSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = restart ? SA_RESTART : 0;
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        if (sigaction(sig, &sa, nullptr) != 0)
            return false;
    return true;
}

// A stop signal that interrupted an open: its number, or 0 to go on waiting.
int TakeStopSignal()
{
    unsigned char byte = 0;
    return read(g_events[0], &byte, 1) == 1 ? byte : 0;
}

void NoteChainEnded()
{
    const unsigned char byte = 0;
    ssize_t ignored = write(g_events[1], &byte, 1);
    (void)ignored;
}

// Waits for the next event until the deadline (none when it is the epoch):
// the byte read, or -1 when the deadline passed first.
int NextEvent(std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        int wait = -1;
        if (deadline != std::chrono::steady_clock::time_point()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return -1;
            // Rounded up, so that the wait does not end just short of it.
            wait = static_cast<int>(std::min<long long>(left.count() + 1, 60 * 60 * 1000));
        }
        pollfd p{g_events[0], POLLIN, 0};
        const int ready = poll(&p, 1, wait);
        if (ready > 0) {
            unsigned char byte = 0;
            if (read(g_events[0], &byte, 1) == 1)
                return byte;
        }
    }
}

// How one tool ended, as an exit code of this program: 0, its own code,
// 128 + signal, or 1 when the wait itself failed.
int Outcome(Stage& stage, bool waitThread, std::string& description)
{
    MySqlChildProcess& child = stage.child;
    if (waitThread) {
        while (!child.m_waitComplete && !child.m_waitFailed)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } else {
        child.Wait(0);
    }
    if (!child.m_exitStatusKnown) {
        description = "could not be waited for (errno " + std::to_string(child.m_lastErr.load()) + ")";
        return kExitHostFailure;
    }
    const int status = child.m_exitStatus;
    if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        switch (code) {
        case 0:
            description = "succeeded";
            break;
        // The launch learned why the start-up failed: say it here rather
        // than send the user to the debug log.
        case LibMySqlProcess::kExitRedirectFailed:
            description = "could not be started: its standard streams or error file could not be set up (exit 77): " +
                          std::string(strerror(child.m_childErrno));
            break;
        case LibMySqlProcess::kExitExecFailed:
            description = "could not be executed (exit 79): " + std::string(strerror(child.m_childErrno));
            if (child.m_childErrno == ENOENT && stage.program.find('/') == std::string::npos)
                description += " (PATH is not searched: give the full path)";
            break;
        case LibMySqlProcess::kExitUserSwitchFailed:
            description = "could not be started as user '" + stage.user + "' (exit 81): " +
                          std::string(strerror(child.m_childErrno));
            break;
        default:
            description = "failed with exit code " + std::to_string(code);
            break;
        }
        return code;
    }
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const char* name = sigabbrev_np(sig);
        description = "was killed by signal " + std::to_string(sig) + (name != nullptr ? std::string(" (SIG") + name + ")" : "");
        return 128 + sig;
    }
    description = "ended in an unknown way (status " + std::to_string(status) + ")";
    return kExitHostFailure;
}

void ReportFailure(Stage& stage, const std::string& errorKey)
{
    // The library's start-up codes come before the tool ran: its error
    // output is empty, and the outcome already said why.
    const int status = stage.child.m_exitStatus;
    if (stage.child.m_exitStatusKnown && WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        if (code == LibMySqlProcess::kExitRedirectFailed || code == LibMySqlProcess::kExitExecFailed ||
            code == LibMySqlProcess::kExitUserSwitchFailed)
            return;
    }
    std::vector<std::string> keys;
    if (!errorKey.empty()) {
        keys.push_back(errorKey);
    } else {
        // The client writes "ERROR 1045 (28000): ..."; the dump and
        // binary-log tools start their lines with their own name.
        keys.push_back("ERROR");
        const size_t slash = stage.program.rfind('/');
        keys.push_back((slash == std::string::npos ? stage.program : stage.program.substr(slash + 1)) + ":");
    }
    std::string line;
    bool found = false;
    for (const std::string& key : keys) {
        if (stage.child.ReadLastErr(line, key) == 0) {
            found = true;
            break;
        }
    }
    if (found)
        fprintf(stderr, "%s: %s: %s\n", kProgram, stage.program.c_str(), line.c_str());
    else
        fprintf(stderr, "%s: %s: no line with \"%s\" in its error output\n", kProgram, stage.program.c_str(),
                keys.front().c_str());
    fprintf(stderr, "%s: error file: %s\n", kProgram, stage.child.m_errFilePath.c_str());
}

// Moves the chain's data until every tool's output has ended, then waits
// for each tool: exit codes and descriptions per stage, and the errno of a
// failed write to the output.
struct ChainResult {
    std::vector<int> codes;
    std::vector<std::string> descriptions;
    int outputError = 0;
};

void MoveAndWait(std::vector<std::unique_ptr<Stage>>& stages, int inputFd, int outputFd, bool waitThread,
                 ChainResult& result)
{
    Stage& first = *stages.front();
    Stage& last = *stages.back();
    std::atomic<bool> chainEnded{false};
    std::vector<std::thread> threads;
    if (inputFd >= 0)
        threads.emplace_back([&] { FeedInput(first, inputFd, chainEnded); });
    else
        first.child.CloseInput();  // tools that read their input must not wait for ours
    for (size_t i = 0; i + 1 < stages.size(); ++i)
        threads.emplace_back([&, i] { Relay(*stages[i], *stages[i + 1]); });

    // The last tool's output, in this thread.
    result.outputError = DrainOutput(last, outputFd, nullptr);
    chainEnded = true;
    for (auto& thread : threads)
        thread.join();

    result.codes.resize(stages.size());
    result.descriptions.resize(stages.size());
    for (size_t i = 0; i < stages.size(); ++i) {
        stages[i]->child.Finalize();
        result.codes[i] = Outcome(*stages[i], waitThread, result.descriptions[i]);
    }
}

int Run(const Options& opts)
{
    // Before the output file exists, so that no signal can leave its
    // temporary behind.
    if (!CatchStopSignals(false)) {
        fprintf(stderr, "%s: cannot set up signal handling: %s\n", kProgram, strerror(errno));
        return kExitHostFailure;
    }

    // Opened before any tool starts, so that a wrong name costs nothing. A
    // FIFO waits here for its other end, until a stop signal.
    int openStop = 0;
    auto stoppedWhileOpening = [&] {
        fprintf(stderr, "%s: stopped by SIG%s before any tool started\n", kProgram, sigabbrev_np(openStop));
        return 128 + openStop;
    };
    int inputFd = -1;
    std::string why;
    if (opts.input == "-") {
        inputFd = 0;
    } else if (!opts.input.empty()) {
        inputFd = OpenInputFile(opts.input, TakeStopSignal, &openStop, why);
        if (inputFd < 0 && openStop != 0)
            return stoppedWhileOpening();
        if (inputFd < 0)
            UsageError("cannot open the input file '" + opts.input + "': " + why);
    }
    OutputFile outputFile;
    int outputFd = 1;
    if (opts.output != "-") {
        outputFd = outputFile.Open(opts.output, TakeStopSignal, &openStop, why);
        if (outputFd < 0 && openStop != 0)
            return stoppedWhileOpening();
        if (outputFd < 0)
            UsageError("cannot create the output file '" + opts.output + "': " + why);
    }
    if (!CatchStopSignals(true)) {
        fprintf(stderr, "%s: cannot set up signal handling: %s\n", kProgram, strerror(errno));
        return kExitHostFailure;
    }

    std::vector<std::unique_ptr<Stage>> stages;
    auto addStage = [&](const std::string& command, const std::string& user) {
        auto stage = std::make_unique<Stage>();
        stage->command = command;
        stage->program = ProgramOf(command);
        stage->user = user;
        stages.push_back(std::move(stage));
    };
    addStage(opts.command, opts.user);
    if (!opts.pipeTo.empty())
        addStage(opts.pipeTo, opts.pipeUser);

    const bool systemPath = opts.env == EnvMode::System;
    const bool basePath = opts.env == EnvMode::Base;
    const auto start = std::chrono::steady_clock::now();

    // Launch every tool before moving any data; when one cannot start, the
    // ones already running are killed, so that nothing is left behind.
    for (auto& stage : stages) {
        MySqlChildProcess& child = stage->child;
        bool ok = child.Initialize(stage->command, stage->user, std::string()) == 0;
        if (!ok)
            fprintf(stderr, "%s: cannot prepare %s (errno %d); see the debug log\n", kProgram, stage->program.c_str(),
                    child.m_lastErr.load());
        if (ok && child.HX_CreateProcess(false, false, systemPath, basePath) != 0) {
            ok = false;
            fprintf(stderr, "%s: cannot launch %s (errno %d); see the debug log\n", kProgram, stage->program.c_str(),
                    child.m_lastErr.load());
        }
        if (ok && opts.waitThread && child.BeginWait() != 0) {
            fprintf(stderr, "%s: cannot start the wait thread for %s (error %d)\n", kProgram,
                    stage->program.c_str(), child.m_lastErr.load());
            child.Terminate();
            child.Finalize();
            child.Wait(0);
            ok = false;
        }
        if (!ok) {
            for (auto& running : stages) {
                if (!running->launched)
                    continue;
                running->child.Terminate();
                running->child.Finalize();
                if (opts.waitThread) {
                    while (!running->child.m_waitComplete && !running->child.m_waitFailed)
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                } else {
                    running->child.Wait(0);
                }
            }
            return kExitHostFailure;
        }
        stage->launched = true;
    }

    std::vector<Stage*> chain;
    for (auto& stage : stages)
        chain.push_back(stage.get());

    std::unique_ptr<Progress> progress;
    if (isatty(2))
        progress = std::make_unique<Progress>(chain, start);

    // The data moves and the tools are waited for on a thread of its own, so
    // that this one can watch the clock and the signals and terminate the
    // tools, whatever call the chain is blocked in.
    ChainResult result;
    std::thread worker([&] {
        MoveAndWait(stages, inputFd, outputFd, opts.waitThread, result);
        NoteChainEnded();
    });
    const auto deadline = opts.timeoutSeconds > 0
                              ? start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                            std::chrono::duration<double>(opts.timeoutSeconds))
                              : std::chrono::steady_clock::time_point();
    const int event = NextEvent(deadline);
    const bool timedOut = event < 0;
    const int stopSignal = event > 0 ? event : 0;
    if (timedOut || stopSignal != 0) {
        progress.reset();
        if (timedOut)
            fprintf(stderr, "%s: the tools ran longer than %g s (--timeout); stopping them\n", kProgram,
                    opts.timeoutSeconds);
        else
            fprintf(stderr, "%s: stopped by SIG%s; stopping the tools\n", kProgram, sigabbrev_np(stopSignal));
        fflush(stderr);
        outputFile.Discard();
        // Every tool at once, each with the whole grace: SIGTERM to its
        // process group, SIGKILL when the grace is over, and the processes
        // it started end with it, so the pipes close and the worker's waits
        // return. A tool that another wait holds (the library's wait thread,
        // or the worker's own Wait once the data has moved) cannot be given
        // a grace: its group is killed at once.
        const int graceMs = static_cast<int>(opts.graceSeconds * 1000 + 0.5);
        std::vector<std::thread> stoppers;
        for (auto& stage : stages) {
            MySqlChildProcess& child = stage->child;
            stoppers.emplace_back([&child, graceMs] {
                if (child.Stop(graceMs) != 0 && !child.m_exitStatusKnown)
                    child.Terminate();
            });
        }
        for (auto& stopper : stoppers)
            stopper.join();
        // The wait thread reaps a tool as soon as it ends, and its group can
        // no longer be signalled then: a process it left behind may still
        // hold a pipe. Only then is the chain given up after 10 s.
        if (opts.waitThread && NextEvent(std::chrono::steady_clock::now() + std::chrono::seconds(10)) != 0) {
            fprintf(stderr, "%s: a process the tools started still holds their pipes; not waiting for it\n",
                    kProgram);
            fflush(stderr);
            _exit(timedOut ? kExitTimedOut : 128 + stopSignal);
        }
        worker.join();
        return timedOut ? kExitTimedOut : 128 + stopSignal;
    }
    worker.join();
    progress.reset();

    int exitCode = 0;
    for (size_t i = 0; i < stages.size(); ++i) {
        if (result.codes[i] != 0) {
            exitCode = result.codes[i];  // the last tool that failed, as a shell's pipefail
            fprintf(stderr, "%s: %s %s\n", kProgram, stages[i]->program.c_str(), result.descriptions[i].c_str());
            ReportFailure(*stages[i], opts.errorKey);
        }
    }
    const double seconds = SecondsSince(start);

    bool moveFailed = false;
    if (result.outputError != 0) {
        fprintf(stderr, "%s: writing the output to %s failed: %s\n", kProgram,
                opts.output == "-" ? "standard output" : opts.output.c_str(), strerror(result.outputError));
        moveFailed = true;
    }
    for (auto& stage : stages) {
        // A transfer that failed because its tool had ended is explained by
        // the tool's own failure; only report it when the tools all succeeded.
        if (stage->ioError != 0 && exitCode == 0) {
            fprintf(stderr, "%s: %s: %s\n", kProgram, stage->ioWhat.c_str(), strerror(stage->ioError));
            moveFailed = true;
        }
    }
    if (exitCode == 0 && !moveFailed) {
        std::string error;
        if (!outputFile.Commit(error)) {
            fprintf(stderr, "%s: %s; %s is left as it was\n", kProgram, error.c_str(), opts.output.c_str());
            moveFailed = true;
        }
    }
    outputFile.Discard();
    if (inputFd > 0)
        close(inputFd);

    if (opts.stats) {
        for (auto& stage : stages)
            fprintf(stderr, "%s: %s: in %llu bytes, out %llu bytes\n", kProgram, stage->program.c_str(),
                    static_cast<unsigned long long>(stage->bytesIn.load()),
                    static_cast<unsigned long long>(stage->bytesOut.load()));
        const uint64_t moved = BytesMoved(chain);
        fprintf(stderr, "%s: moved %llu bytes\n", kProgram, static_cast<unsigned long long>(moved));
        fprintf(stderr, "%s: %.3f s, %s/s\n", kProgram, seconds,
                HumanBytes(seconds > 0 ? static_cast<double>(moved) / seconds : 0.0).c_str());
        double user = 0, system = 0;
        OwnCpuSeconds(&user, &system);
        fprintf(stderr, "%s: cpu %.3f s (user %.3f s, system %.3f s)\n", kProgram, user + system, user, system);
    }

    if (exitCode == 0 && moveFailed)
        exitCode = kExitHostFailure;
    return exitCode;
}

// Error files are told apart by the job id and, within one process, by the
// microsecond of Initialize: two runs with the host's default id could share
// one, and each read the other's error line as its own. Without an id of the
// caller's, each run takes one of its own (random, positive, 63 bits).
void UseAJobIdOfOurOwn()
{
    const char* given = getenv("HX_JOB_ID");
    if (given != nullptr && given[0] != '\0')
        return;
    uint64_t id = 0;
    if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) {
        // The pid in the low 22 bits (pid_max is at most 2^22) keeps
        // running processes apart; the clock, runs over time.
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        id = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) << 22 ^
             static_cast<uint64_t>(getpid());
    }
    id &= INT64_MAX;
    if (id == 0)
        id = 1;
    setenv("HX_JOB_ID", std::to_string(id).c_str(), 1);
}

}  // namespace

int main(int argc, char** argv)
{
    const Options opts = ParseArguments(argc, argv);
    UseAJobIdOfOurOwn();
    return Run(opts);
}
