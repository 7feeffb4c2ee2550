// mysqlchild: runs one MySQL command-line tool (or two, chained) through
// libMySqlProcess the way the backup agent does, for trying the library out
// and for scripting backups, restores and point-in-time recoveries.

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
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

// Standard input was closed when the program started (it is /dev/null now).
bool g_stdinClosed = false;

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
                      program's standard input, which must not be closed);
                      without it the tool's input is closed at once
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
                      own prefix ("mysqldump: Got error ..."). Control
                      characters in it are shown as \xNN
  --wait-thread       wait for the tool on the library's wait thread
                      (BeginWait) instead of in the calling thread (Wait)
  --timeout SECONDS   stop the tools when the chain runs longer (exit 124)
  --grace SECONDS     how long a tool that is stopped (--timeout, or a stop
                      signal to this program) has to end after SIGTERM before
                      it gets SIGKILL (default 10; 0 for SIGKILL at once).
                      Each tool leads a process group of its own, and the
                      processes it started end with it. On a kernel without
                      pid descriptors (before Linux 5.3) a tool that runs on
                      after the chain's data has all moved is already being
                      waited for and gets SIGKILL at once
  --stats             print bytes moved, time taken and this program's own CPU
                      time to standard error

Sparing a database that serves traffic (each applies to every tool; a
setting the kernel refuses fails the start, exit 81, never silently):
  --nice N            CPU priority, -20 (first) to 19 (last)
  --io-class CLASS    I/O priority: idle, best-effort[:LEVEL] or
                      realtime[:LEVEL], LEVEL 0 (first) to 7 (default 4)
  --limit NAME=SOFT[:HARD]
                      a resource limit, NAME as prlimit spells it (nofile,
                      as, core, cpu, fsize, nproc, ...), a number or
                      unlimited; without HARD both are SOFT; repeatable
  --no-new-privileges no setuid program can raise the tool's rights
  --cgroup DIR        run each tool in a control group of its own, made in
                      the cgroup v2 folder DIR (where its caps apply) and
                      removed after; stopping a tool ends everything in its
                      group, also what left its process group or session
  --low-impact        --nice 19 --io-class idle
  --help              show this text

Progress (bytes and rate) is shown on standard error when it is a terminal.
The tools run in process groups of their own, as background jobs: Ctrl-C
reaches this program, which stops them, and a tool cannot read the terminal
(give passwords in an option file, not at a prompt).

Exit status:
  0        every tool succeeded
  N        the tool's own exit code (with --pipe-to, the code of the last tool
           that failed)
  77, 79, 81
           the library could not start the tool, and says why: 77 a standard
           stream could not be redirected or the error file not opened, 79
           the program could not be executed, 81 the user switch failed (a
           tool that exits with one of these codes itself is reported as
           failing with it)
  128+N    the tool was killed by signal N
  124      --timeout passed; the tools were stopped
  129, 130, 131, 143
           this program got SIGHUP, SIGINT, SIGQUIT or SIGTERM; the tools
           were stopped
  1        the library could not launch the tool (a user that does not
           exist, say), or moving data failed
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
    MySqlChildProcess::LaunchOptions launch;  // each tool's; the cgroup is the parent of theirs
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

// A number from least to most, the whole of text.
bool ParseNumber(const std::string& text, double least, double most, double* number)
{
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !(value >= least) || value > most)
        return false;
    *number = value;
    return true;
}

// A number of seconds from 0 to most, the whole of text.
bool ParseSeconds(const std::string& text, double most, double* seconds)
{
    return ParseNumber(text, 0, most, seconds);
}

// --io-class idle|best-effort[:LEVEL]|realtime[:LEVEL], as ionice names them.
void ParseIoClass(const std::string& text, MySqlChildProcess::LaunchOptions& launch)
{
    using IoClass = MySqlChildProcess::LaunchOptions::IoClass;
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    const IoClass c = name == "idle"          ? IoClass::Idle
                      : name == "best-effort" ? IoClass::BestEffort
                      : name == "realtime"    ? IoClass::Realtime
                                              : IoClass::Inherit;
    double level = 4;
    const bool leveled = c == IoClass::BestEffort || c == IoClass::Realtime;
    if (c == IoClass::Inherit || (colon != std::string::npos && !leveled) ||
        (colon != std::string::npos && (!ParseNumber(text.substr(colon + 1), 0, 7, &level) || level != static_cast<int>(level))))
        UsageError("--io-class must be idle, best-effort[:0-7] or realtime[:0-7], not '" + text + "'");
    launch.ioClass = c;
    launch.ioLevel = static_cast<int>(level);
}

// --limit NAME=SOFT[:HARD], NAME as prlimit(1) spells it, a value a number or
// "unlimited"; without HARD both are SOFT.
MySqlChildProcess::LaunchOptions::Limit ParseLimit(const std::string& text,
                                                   const std::vector<MySqlChildProcess::LaunchOptions::Limit>& given)
{
    static const std::pair<const char*, int> kNames[] = {
        {"as", RLIMIT_AS},         {"core", RLIMIT_CORE},           {"cpu", RLIMIT_CPU},
        {"data", RLIMIT_DATA},     {"fsize", RLIMIT_FSIZE},         {"locks", RLIMIT_LOCKS},
        {"memlock", RLIMIT_MEMLOCK}, {"msgqueue", RLIMIT_MSGQUEUE}, {"nice", RLIMIT_NICE},
        {"nofile", RLIMIT_NOFILE}, {"nproc", RLIMIT_NPROC},         {"rss", RLIMIT_RSS},
        {"rtprio", RLIMIT_RTPRIO}, {"rttime", RLIMIT_RTTIME},       {"sigpending", RLIMIT_SIGPENDING},
        {"stack", RLIMIT_STACK},
    };
    const std::string usage = "--limit needs NAME=SOFT[:HARD] (NAME as prlimit spells it: nofile, as, core, cpu, "
                              "fsize, nproc...; a number or unlimited), not '" + text + "'";
    const size_t equals = text.find('=');
    if (equals == std::string::npos)
        UsageError(usage);
    const std::string name = text.substr(0, equals);
    int resource = -1;
    for (const auto& n : kNames)
        if (name == n.first)
            resource = n.second;
    auto value = [&](const std::string& v) -> unsigned long long {
        if (v == "unlimited")
            return RLIM_INFINITY;
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = strtoull(v.c_str(), &end, 10);
        if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0 || n == RLIM_INFINITY)
            UsageError(usage);
        return n;
    };
    if (resource < 0)
        UsageError(usage);
    for (const auto& l : given)
        if (l.resource == resource)
            UsageError("--limit " + name + " is given twice");
    const std::string values = text.substr(equals + 1);
    const size_t colon = values.find(':');
    const unsigned long long soft = value(values.substr(0, colon));
    const unsigned long long hard = colon == std::string::npos ? soft : value(values.substr(colon + 1));
    if (soft > hard)
        UsageError("--limit " + name + ": the soft limit is above the hard one");
    return {resource, soft, hard};
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
            // Above a year it is a typo, and the clock arithmetic stays far from overflow.
            if (!ParseSeconds(value, 366.0 * 24 * 3600, &opts.timeoutSeconds) || opts.timeoutSeconds == 0)
                UsageError("--timeout needs a number of seconds above 0, not '" + value + "'");
        } else if (TakeValue(argc, argv, i, "--grace", value)) {
            // In milliseconds it must fit an int; a grace of more than a day is a typo.
            if (!ParseSeconds(value, 24.0 * 3600, &opts.graceSeconds))
                UsageError("--grace needs a number of seconds from 0 to 86400, not '" + value + "'");
        } else if (arg == "--no-new-privileges") {
            opts.launch.noNewPrivileges = true;
        } else if (arg == "--low-impact") {
            opts.launch.nice = 19;
            opts.launch.ioClass = MySqlChildProcess::LaunchOptions::IoClass::Idle;
        } else if (TakeValue(argc, argv, i, "--nice", value)) {
            double nice = 0;
            if (!ParseNumber(value, -20, 19, &nice) || nice != static_cast<int>(nice))
                UsageError("--nice needs a whole number from -20 to 19, not '" + value + "'");
            opts.launch.nice = static_cast<int>(nice);
        } else if (TakeValue(argc, argv, i, "--io-class", value)) {
            ParseIoClass(value, opts.launch);
        } else if (TakeValue(argc, argv, i, "--limit", value)) {
            opts.launch.limits.push_back(ParseLimit(value, opts.launch.limits));
        } else if (TakeValue(argc, argv, i, "--cgroup", opts.launch.cgroup)) {
            if (opts.launch.cgroup.empty())
                UsageError("--cgroup needs a cgroup v2 folder");
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
    if (opts.input == "-" && g_stdinClosed)
        UsageError("--input -: standard input is closed");
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

using Clock = std::chrono::steady_clock;
using Outcome = MySqlChildProcess::Outcome;

// One tool of the chain and the traffic through it.
struct Stage {
    std::string command;
    std::string program;
    std::string user;
    std::string cgroup;  // the tool's own group, made for it inside --cgroup and removed after
    MySqlChildProcess child;
    bool launched = false;
    std::atomic<uint64_t> bytesIn{0};
    std::atomic<uint64_t> bytesOut{0};
    std::atomic<int> ioError{0};  // errno of a failed pipe transfer
    std::string ioWhat;
};

// The tools in the order the data runs through them.
struct Chain {
    std::vector<std::unique_ptr<Stage>> stages;
    int outputError = 0;  // errno of a failed write to the output
};

// The files a run works on, opened before any tool starts.
struct Files {
    int inputFd = -1;  // -1: none; 0: this program's standard input
    OutputFile output;
    int outputFd = 1;
    Files() = default;
    Files(const Files&) = delete;
    Files& operator=(const Files&) = delete;
    ~Files()
    {
        if (inputFd > 0)
            close(inputFd);
    }
};

// Blocks until one of fds is ready or the deadline has passed (a default
// time point: no deadline). poll's result: above 0 ready, 0 at the deadline,
// -1 when poll fails for another reason than a signal.
int PollUntil(pollfd* fds, nfds_t count, Clock::time_point deadline = Clock::time_point())
{
    for (;;) {
        int wait = -1;
        if (deadline != Clock::time_point()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return 0;
            // Rounded up, so that the wait does not end just short of it.
            wait = static_cast<int>(std::min<long long>(left.count() + 1, 60 * 60 * 1000));
        }
        const int ready = poll(fds, count, wait);
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return ready;
    }
}

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
// never reach its end, so it is watched together with the tool's input: the
// feeding stops once nothing reads the tool's input any more.
void FeedInput(Stage& stage, int fd)
{
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    for (;;) {
        if (!regular) {
            // A pipe's write end reports POLLERR once it has no reader.
            pollfd p[2] = {{fd, POLLIN, 0}, {stage.child.m_filedesPW[1], 0, 0}};
            if (PollUntil(p, 2) < 0 || (p[1].revents & (POLLERR | POLLNVAL)) != 0)
                break;
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

// Moves the chain's data, each stream on a thread of its own, until the last
// tool's output has ended and every stream is done.
void MoveData(Chain& chain, int inputFd, int outputFd)
{
    auto& stages = chain.stages;
    std::vector<std::thread> threads;
    if (inputFd >= 0)
        threads.emplace_back([&] { FeedInput(*stages.front(), inputFd); });
    else
        stages.front()->child.CloseInput();  // tools that read their input must not wait for ours
    for (size_t i = 0; i + 1 < stages.size(); ++i)
        threads.emplace_back([&, i] { Relay(*stages[i], *stages[i + 1]); });
    // The last tool's output, in this thread.
    chain.outputError = DrainOutput(*stages.back(), outputFd, nullptr);
    for (auto& thread : threads)
        thread.join();
}

// Blocks until the tool has ended without taking the object's one wait
// (through the descriptor the library offers for polling), so that a stop
// meanwhile can still give the tool its grace. Without such a descriptor (a
// kernel before 5.3) the wait that follows blocks instead.
void AwaitToolEnd(MySqlChildProcess& child)
{
    pollfd p{child.GetPidFd(), POLLIN, 0};
    if (p.fd >= 0)
        PollUntil(&p, 1);
}

// The wait thread's end, through the descriptor the library offers for it;
// only where it could not make one, by its flags.
void AwaitWaitThread(MySqlChildProcess& child)
{
    pollfd p{child.GetWaitDoneFd(), POLLIN, 0};
    if (p.fd >= 0) {
        PollUntil(&p, 1);
        return;
    }
    while (!child.m_waitComplete && !child.m_waitFailed)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// Takes each tool's end, in this thread (Wait) or on the library's wait
// thread (BeginWait). Only once the chain's data has moved: a tool is reaped
// then, and from then on its process group can no longer be stopped, so
// nothing it started may still be holding one of the chain's pipes.
void CollectOutcomes(Chain& chain, bool waitThread)
{
    for (auto& stage : chain.stages) {
        MySqlChildProcess& child = stage->child;
        AwaitToolEnd(child);
        if (waitThread && child.BeginWait() == 0)
            AwaitWaitThread(child);
        else
            child.Wait(0);  // also where the wait thread could not be started
    }
}

// The most bytes that passed any one point of the chain: the input fed, a
// relay between two tools, or the output taken. A chain with no input and no
// final output (a streamed backup piped into its extractor) moves all its
// bytes through the relay alone.
uint64_t BytesMoved(const std::vector<std::unique_ptr<Stage>>& stages)
{
    uint64_t most = 0;
    for (const auto& stage : stages) {
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
    Progress(const std::vector<std::unique_ptr<Stage>>& stages, Clock::time_point start)
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

    const std::vector<std::unique_ptr<Stage>>& m_stages;
    Clock::time_point m_start;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_shown = false;
    std::thread m_thread;
};

// SIGHUP, SIGINT, SIGQUIT and SIGTERM only leave a byte (the signal's number) in a pipe that
// the main thread watches, together with the time limit; the main thread
// stops the tools and removes the temporary output file. The handlers
// are reset to the default at the tools' exec. A 0 byte says the chain ended.
int g_events[2] = {-1, -1};
constexpr int kStopSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

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
    for (int sig : kStopSignals)
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
int NextEvent(Clock::time_point deadline)
{
    for (;;) {
        pollfd p{g_events[0], POLLIN, 0};
        if (PollUntil(&p, 1, deadline) == 0)
            return -1;
        unsigned char byte = 0;
        if (read(g_events[0], &byte, 1) == 1)
            return byte;
    }
}

// What one tool's outcome means for this program: its exit status (0 when
// it succeeded) and, otherwise, the words that say so.
int Verdict(Stage& stage, const Outcome& outcome, std::string& says)
{
    const std::string& program = stage.program;
    switch (outcome.state) {
    case Outcome::State::Exited:
        if (outcome.code != 0)
            says = program + " failed with exit code " + std::to_string(outcome.code);
        return outcome.code;
    case Outcome::State::Signaled: {
        const char* name = sigabbrev_np(outcome.code);
        says = program + " was killed by signal " + std::to_string(outcome.code) +
               (name != nullptr ? std::string(" (SIG") + name + ")" : "") + (outcome.coreDumped ? ", core dumped" : "");
        return 128 + outcome.code;
    }
    case Outcome::State::StartFailed:
        says = program + " did not start: " + outcome.text;
        if (outcome.stage == Outcome::Stage::Exec && outcome.childErrno == ENOENT &&
            program.find('/') == std::string::npos)
            says += " (PATH is not searched: give the full path)";
        return static_cast<int>(outcome.stage);
    case Outcome::State::NotLaunched:
        says = "cannot launch " + program + ": " + outcome.text;
        return kExitHostFailure;
    case Outcome::State::Running:
        break;
    }
    says = program + " could not be waited for: " + strerror(stage.child.m_lastErr.load());
    return kExitHostFailure;
}

// One tool started; false, said why, when it could not be.
bool Launch(Stage& stage, const Options& opts)
{
    const EnvMode env = opts.env;
    MySqlChildProcess& child = stage.child;
    if (child.Initialize(stage.command, stage.user, std::string()) != 0) {
        fprintf(stderr, "%s: cannot prepare %s (errno %d); see the debug log\n", kProgram, stage.program.c_str(),
                child.m_lastErr.load());
        return false;
    }
    MySqlChildProcess::LaunchOptions launch = opts.launch;
    launch.cgroup = stage.cgroup;
    if (child.SetLaunchOptions(launch) != 0) {
        fprintf(stderr, "%s: cannot run %s with these options: %s; see the debug log\n", kProgram,
                stage.program.c_str(), strerror(child.m_lastErr.load()));
        return false;
    }
    if (child.HX_CreateProcess(false, false, env == EnvMode::System, env == EnvMode::Base) != 0) {
        std::string says;
        Verdict(stage, child.GetOutcome(), says);
        fprintf(stderr, "%s: %s\n", kProgram, says.c_str());
        return false;
    }
    return true;
}

// Every tool is launched before any data moves; when one cannot be, the
// ones already running are killed, so that nothing is left behind.
bool StartChain(Chain& chain, const Options& opts)
{
    for (auto& stage : chain.stages) {
        if (!Launch(*stage, opts)) {
            for (auto& running : chain.stages) {
                if (running->launched) {
                    running->child.Stop(0);
                    running->child.Finalize();
                }
            }
            return false;
        }
        stage->launched = true;
    }
    return true;
}

// Every tool at once, each with the whole grace: SIGTERM to its process
// group, SIGKILL when the grace is over, and the processes it started end
// with it, so the pipes close and the moves and waits return. A tool whose
// end a wait is already taking has its group killed at once: it has ended,
// or, on a kernel without pid descriptors, the chain's data has moved.
void StopChain(Chain& chain, int graceMs)
{
    std::vector<std::thread> stoppers;
    for (auto& stage : chain.stages) {
        MySqlChildProcess& child = stage->child;
        stoppers.emplace_back([&child, graceMs] {
            if (child.Stop(graceMs) != 0 && child.GetOutcome().state == Outcome::State::Running)
                child.Terminate();
        });
    }
    for (auto& stopper : stoppers)
        stopper.join();
}

Clock::time_point DeadlineOf(Clock::time_point start, double seconds)
{
    if (seconds <= 0)
        return Clock::time_point();
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The data moves and the tools are waited for on a thread of its own, so
// that this one can watch the clock and the signals and stop the tools,
// whatever call the chain is blocked in. 0 once every tool has ended by
// itself; otherwise the tools were stopped, and the exit status says why.
int WatchChain(Chain& chain, Files& files, const Options& opts, Clock::time_point start)
{
    std::unique_ptr<Progress> progress;
    if (isatty(2))
        progress = std::make_unique<Progress>(chain.stages, start);
    std::thread worker([&] {
        MoveData(chain, files.inputFd, files.outputFd);
        CollectOutcomes(chain, opts.waitThread);
        NoteChainEnded();
    });
    const int event = NextEvent(DeadlineOf(start, opts.timeoutSeconds));
    progress.reset();
    if (event == 0) {
        worker.join();
        return 0;
    }
    if (event < 0)
        fprintf(stderr, "%s: the tools ran longer than %g s (--timeout); stopping them\n", kProgram,
                opts.timeoutSeconds);
    else
        fprintf(stderr, "%s: stopped by SIG%s; stopping the tools\n", kProgram, sigabbrev_np(event));
    fflush(stderr);
    files.output.Discard();
    StopChain(chain, static_cast<int>(opts.graceSeconds * 1000 + 0.5));
    worker.join();
    return event < 0 ? kExitTimedOut : 128 + event;
}

// Text of another account's (a tool's error output) as it may reach a
// terminal: control characters other than tab, C1 controls and bytes that
// are not UTF-8 are shown as \xNN, as ls and systemd show untrusted names, so
// that no escape sequence (a title change, colours, a carriage return that
// hides what came before) reaches the operator's terminal.
std::string EscapeControls(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    auto escape = [&out](unsigned char c) {
        char hex[5];
        snprintf(hex, sizeof hex, "\\x%02x", c);
        out += hex;
    };
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t') || c == 0x7f)
                escape(c);
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        // A whole UTF-8 sequence, shortest form, no surrogate, not a C1 control.
        const size_t length = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xc2 && c <= 0xdf ? 2 : 0;
        unsigned long cp = length == 4 ? c & 0x07u : length == 3 ? c & 0x0fu : c & 0x1fu;
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xc0) == 0x80;
            cp = cp << 6 | (next & 0x3fu);
        }
        valid = valid && !(length == 3 && cp < 0x800) && !(length == 4 && (cp < 0x10000 || cp > 0x10ffff)) &&
                !(cp >= 0xd800 && cp <= 0xdfff) && !(cp >= 0x80 && cp <= 0x9f);
        if (!valid) {
            escape(c);
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

// The tool's own words on its failure: the last line of its error output
// that holds the key, its control characters shown escaped.
void PrintErrorLine(Stage& stage, const std::string& errorKey)
{
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
    if (found) {
        // Whole: a zero byte does not end the line, it is shown as one.
        fprintf(stderr, "%s: %s: %s\n", kProgram, stage.program.c_str(), EscapeControls(line).c_str());
    } else {
        fprintf(stderr, "%s: %s: no line with \"%s\" in its error output\n", kProgram, stage.program.c_str(),
                keys.front().c_str());
    }
    fprintf(stderr, "%s: error file: %s\n", kProgram, stage.child.m_errFilePath.c_str());
}

// Says how each tool that failed ended; the exit status of the last one, as
// a shell's pipefail, or 0. A tool that ran has its error line shown; one
// that did not start has nothing in its error output, and the outcome
// already said why.
int ReportTools(Chain& chain, const std::string& errorKey)
{
    int code = 0;
    for (auto& stage : chain.stages) {
        const Outcome outcome = stage->child.GetOutcome();
        std::string says;
        const int its = Verdict(*stage, outcome, says);
        if (its == 0)
            continue;
        code = its;
        fprintf(stderr, "%s: %s\n", kProgram, says.c_str());
        if (outcome.state == Outcome::State::Exited || outcome.state == Outcome::State::Signaled)
            PrintErrorLine(*stage, errorKey);
    }
    return code;
}

// A failed write to the output, and a failed transfer into a tool when the
// tools all succeeded (otherwise the tool's own failure explains it). True
// when nothing failed.
bool ReportTransfers(const Chain& chain, const std::string& output, bool toolsSucceeded)
{
    bool ok = true;
    if (chain.outputError != 0) {
        fprintf(stderr, "%s: writing the output to %s failed: %s\n", kProgram,
                output == "-" ? "standard output" : output.c_str(), strerror(chain.outputError));
        ok = false;
    }
    for (const auto& stage : chain.stages) {
        if (stage->ioError != 0 && toolsSucceeded) {
            fprintf(stderr, "%s: %s: %s\n", kProgram, stage->ioWhat.c_str(), strerror(stage->ioError));
            ok = false;
        }
    }
    return ok;
}

void PrintStats(const Chain& chain, double seconds)
{
    for (const auto& stage : chain.stages)
        fprintf(stderr, "%s: %s: in %llu bytes, out %llu bytes\n", kProgram, stage->program.c_str(),
                static_cast<unsigned long long>(stage->bytesIn.load()),
                static_cast<unsigned long long>(stage->bytesOut.load()));
    const uint64_t moved = BytesMoved(chain.stages);
    fprintf(stderr, "%s: moved %llu bytes\n", kProgram, static_cast<unsigned long long>(moved));
    fprintf(stderr, "%s: %.3f s, %s/s\n", kProgram, seconds,
            HumanBytes(seconds > 0 ? static_cast<double>(moved) / seconds : 0.0).c_str());
    double user = 0, system = 0;
    OwnCpuSeconds(&user, &system);
    fprintf(stderr, "%s: cpu %.3f s (user %.3f s, system %.3f s)\n", kProgram, user + system, user, system);
}

// A stop signal that arrived at any time before the output replaces FILE,
// its sync included, stops the run; one after it does not undo it. The
// signals are held back meanwhile, so the last look before the rename sees
// one that is on its way (pending) as well as one already noted.
int PendingStopSignal()
{
    if (const int sig = TakeStopSignal())
        return sig;
    sigset_t pending;
    if (sigpending(&pending) == 0)
        for (int sig : kStopSignals)
            if (sigismember(&pending, sig))
                return sig;
    return 0;
}

bool CommitUnlessStopped(OutputFile& output, std::string& error, int* stop)
{
    sigset_t held, old;
    sigemptyset(&held);
    for (int sig : kStopSignals)
        sigaddset(&held, sig);
    pthread_sigmask(SIG_BLOCK, &held, &old);
    const bool committed = output.Commit(error, PendingStopSignal, stop);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return committed;
}

// How the chain ended, and the output put in place only when every tool
// succeeded and all of the data arrived. The exit status.
int ReportAndCommit(Chain& chain, Files& files, const Options& opts, Clock::time_point start)
{
    int code = ReportTools(chain, opts.errorKey);
    const double seconds = SecondsSince(start);
    bool ok = ReportTransfers(chain, opts.output, code == 0);
    if (code == 0 && ok) {
        std::string error;
        int stop = 0;
        if (!CommitUnlessStopped(files.output, error, &stop)) {
            if (stop != 0) {
                fprintf(stderr, "%s: stopped by SIG%s; %s is left as it was\n", kProgram, sigabbrev_np(stop),
                        opts.output.c_str());
                return 128 + stop;
            }
            fprintf(stderr, "%s: %s; %s is left as it was\n", kProgram, error.c_str(), opts.output.c_str());
            ok = false;
        }
    }
    files.output.Discard();
    if (opts.stats)
        PrintStats(chain, seconds);
    return code == 0 && !ok ? kExitHostFailure : code;
}

// Opened before any tool starts, so that a wrong name costs nothing. A FIFO
// waits here for its other end, until a stop signal. 0, or the exit status
// of a run that ends here.
int OpenFiles(const Options& opts, Files& files)
{
    // Before the output file exists, so that no signal can leave its
    // temporary behind.
    if (!CatchStopSignals(false)) {
        fprintf(stderr, "%s: cannot set up signal handling: %s\n", kProgram, strerror(errno));
        return kExitHostFailure;
    }
    int stop = 0;
    std::string why;
    if (opts.input == "-") {
        files.inputFd = 0;
    } else if (!opts.input.empty()) {
        files.inputFd = OpenInputFile(opts.input, TakeStopSignal, &stop, why);
        if (files.inputFd < 0 && stop == 0)
            UsageError("cannot open the input file '" + opts.input + "': " + why);
    }
    if (stop == 0 && opts.output != "-") {
        files.outputFd = files.output.Open(opts.output, TakeStopSignal, &stop, why);
        if (files.outputFd < 0 && stop == 0)
            UsageError("cannot create the output file '" + opts.output + "': " + why);
    }
    if (stop != 0) {
        fprintf(stderr, "%s: stopped by SIG%s before any tool started\n", kProgram, sigabbrev_np(stop));
        return 128 + stop;
    }
    if (!CatchStopSignals(true)) {
        fprintf(stderr, "%s: cannot set up signal handling: %s\n", kProgram, strerror(errno));
        return kExitHostFailure;
    }
    return 0;
}

Chain MakeChain(const Options& opts)
{
    Chain chain;
    auto add = [&](const std::string& command, const std::string& user) {
        auto stage = std::make_unique<Stage>();
        stage->command = command;
        stage->program = ProgramOf(command);
        stage->user = user;
        chain.stages.push_back(std::move(stage));
    };
    add(opts.command, opts.user);
    if (!opts.pipeTo.empty())
        add(opts.pipeTo, opts.pipeUser);
    return chain;
}

// With --cgroup, each tool gets a group of its own inside the given one, so
// that stopping one tool ends all it started, and only that; the groups go
// when the chain does. 0, or the exit status of a run that ends here.
class ToolGroups {
public:
    ToolGroups(Chain& chain, const std::string& parent) : m_chain(chain)
    {
        if (parent.empty())
            return;
        struct statfs fs {};
        if (statfs(parent.c_str(), &fs) != 0 || fs.f_type != CGROUP2_SUPER_MAGIC)
            UsageError("--cgroup " + parent + " is not a cgroup v2 folder");
        for (size_t i = 0; i < chain.stages.size(); ++i) {
            Stage& stage = *chain.stages[i];
            stage.cgroup = parent + "/mysqlchild-" + std::to_string(getpid()) + "-" + std::to_string(i + 1);
            if (mkdir(stage.cgroup.c_str(), 0755) != 0) {
                const int err = errno;
                stage.cgroup.clear();
                Remove();
                UsageError("cannot make a group for " + stage.program + " in " + parent + ": " + strerror(err));
            }
        }
    }
    ToolGroups(const ToolGroups&) = delete;
    ToolGroups& operator=(const ToolGroups&) = delete;
    ~ToolGroups() { Remove(); }

private:
    // Whatever a tool left running in its group (a daemon it started) ends
    // with the run, as under a service manager; then the group goes.
    void Remove()
    {
        for (auto& stage : m_chain.stages) {
            if (stage->cgroup.empty())
                continue;
            const std::string kill = stage->cgroup + "/cgroup.kill";
            const int fd = open(kill.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                const ssize_t ignored = write(fd, "1", 1);
                (void)ignored;
                close(fd);
            }
            int err = EBUSY;
            for (int attempt = 0; attempt < 100 && err == EBUSY; ++attempt) {
                err = rmdir(stage->cgroup.c_str()) == 0 ? 0 : errno;
                if (err == EBUSY)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (err != 0)
                fprintf(stderr, "%s: could not remove the group %s: %s\n", kProgram, stage->cgroup.c_str(),
                        strerror(err));
            stage->cgroup.clear();
        }
    }

    Chain& m_chain;
};

int Run(const Options& opts)
{
    Files files;
    if (const int code = OpenFiles(opts, files))
        return code;
    Chain chain = MakeChain(opts);
    ToolGroups groups(chain, opts.launch.cgroup);
    const Clock::time_point start = Clock::now();  // --timeout counts from here
    if (!StartChain(chain, opts))
        return kExitHostFailure;
    if (const int code = WatchChain(chain, files, opts, start))
        return code;
    return ReportAndCommit(chain, files, opts, start);
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

// Descriptors 0-2 that the caller left closed are opened on /dev/null, as
// daemons do: otherwise the next descriptor opened here (the signal pipe, an
// output file) would become a standard stream, and --input - would feed the
// signal bytes to the tool. Whether standard input was closed is kept: it
// cannot be --input's '-'.
void OpenClosedStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (fd == 0)
            g_stdinClosed = true;
        const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null != fd) {
            // Only a machine without /dev/null gets here: better no run than
            // a run writing where it must not.
            if (fd != 2)
                fprintf(stderr, "%s: descriptor %d is closed and /dev/null cannot be opened\n", kProgram, fd);
            _exit(kExitHostFailure);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    OpenClosedStandardDescriptors();
    const Options opts = ParseArguments(argc, argv);
    UseAJobIdOfOurOwn();
    return Run(opts);
}
