// mysqlchild: runs a MySQL command-line tool (or a chain of them) through
// libMySqlProcess the way the backup agent does, for trying the library out
// and for scripting backups, restores and point-in-time recoveries.

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <pwd.h>
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
#include "child_process/Secrets.h"
#include "child_process/SplitCommandLine.h"
#include "tools/Arguments.h"
#include "tools/Chain.h"
#include "tools/Digest.h"
#include "tools/OutputFile.h"
#include "tools/Progress.h"
#include "tools/Stats.h"

using LibMySqlProcess::MySqlChildProcess;
using namespace mysqlchild;

namespace {

// The most one relay call moves: the byte counts, and so the progress line,
// step by at most this much.
constexpr long long kRelayChunk = 1LL << 20;

// Standard input was closed when the program started (it is /dev/null now).
bool g_stdinClosed = false;

// The first word of a command line, for messages.
std::string ProgramOf(const std::string& command)
{
    const size_t start = command.find_first_not_of(' ');
    const size_t end = command.find(' ', start);
    return command.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

using Outcome = MySqlChildProcess::Outcome;

// The files a run works on, opened before any tool starts.
struct Files {
    int inputFd = -1;  // -1: none; 0: this program's standard input
    OutputFile output;
    int outputFd = 1;
    StreamDigest digest;  // --checksum's, of what reaches the output
    bool digesting = false;
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
    double user = 0, system = 0;
    OwnCpuSeconds(&user, &system, true);
    stage.feedCpuSeconds = user + system;
}

// Moves a tool's output to fd until it ends, counting it as the tool's output
// and, when given, as what reached the next point; then closes that output.
// The errno of a failure (the destination's: reading the tool's own pipe does
// not fail), or 0.
int DrainOutput(Stage& from, int fd, std::atomic<uint64_t>* reached)
{
    double user = 0, system = 0;
    OwnCpuSeconds(&user, &system, true);
    const double cpuBefore = user + system;
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
    OwnCpuSeconds(&user, &system, true);
    from.drainCpuSeconds = user + system - cpuBefore;
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
        stage->endedAt = Clock::now();
    }
}

// SIGHUP, SIGINT, SIGQUIT and SIGTERM only leave a byte (the signal's number) in a pipe that
// the main thread watches, together with the time limit; the main thread
// stops the tools and removes the temporary output file. SIGUSR1 and
// SIGUSR2, which halve and double the rate limit, leave theirs in the same
// pipe. The handlers are reset to the default at the tools' exec. A 0 byte
// says the chain ended.
int g_events[2] = {-1, -1};
constexpr int kStopSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
constexpr int kRateSignals[] = {SIGUSR1, SIGUSR2};
// Rate signals read where only a stop was looked for (before the tools ran),
// kept for the main loop: how many SIGUSR1 and SIGUSR2. Main thread only.
int g_rateSignalsSeen[2] = {0, 0};

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
    // A rate change never interrupts a wait.
    sa.sa_flags = SA_RESTART;
    for (int sig : kRateSignals)
        if (sigaction(sig, &sa, nullptr) != 0)
            return false;
    return true;
}

// A stop signal that interrupted an open: its number, or 0 to go on waiting.
int TakeStopSignal()
{
    unsigned char byte = 0;
    while (read(g_events[0], &byte, 1) == 1) {
        if (byte != SIGUSR1 && byte != SIGUSR2)
            return byte;
        ++g_rateSignalsSeen[byte == SIGUSR2 ? 1 : 0];
    }
    return 0;
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
    case Outcome::State::StartFailed: {
        // The stage and the errno, as the library's outcome has them.
        const char* stageName = outcome.stage == Outcome::Stage::Exec       ? "exec"
                                : outcome.stage == Outcome::Stage::Redirect ? "standard streams"
                                                                            : "user and settings";
        const char* errnoName = strerrorname_np(outcome.childErrno);
        says = program + " did not start: " + outcome.text + " (stage " + std::to_string(static_cast<int>(outcome.stage)) +
               ", " + stageName + "; " + (errnoName != nullptr ? errnoName : std::to_string(outcome.childErrno)) + ")";
        const bool missing = outcome.stage == Outcome::Stage::Exec && outcome.childErrno == ENOENT;
        if (missing && program.find('/') == std::string::npos)
            says += " (PATH is not searched: give the full path)";
        return missing ? kExitNotFound : kExitCannotStart;
    }
    case Outcome::State::NotLaunched:
        says = "cannot launch " + program + ": " + outcome.text;
        return kExitCannotStart;
    case Outcome::State::Running:
        break;
    }
    says = program + " could not be waited for: " + strerror(stage.child.m_lastErr.load());
    return kExitOwnFailure;
}

// Where the debug log is, for messages that send the reader there.
std::string DebugLog()
{
    const char* log = getenv("HX_DEBUG_LOG");
    return log != nullptr ? log : "(unset)";
}

// One tool started: 0, or the exit status of a launch that could not be,
// said why.
int Launch(Stage& stage, const Options& opts)
{
    const EnvMode env = opts.env;
    MySqlChildProcess& child = stage.child;
    if (child.Initialize(stage.command, stage.user, std::string()) != 0) {
        fprintf(stderr, "%s: cannot prepare %s: %s; see the debug log %s\n", kProgram, stage.program.c_str(),
                strerror(child.m_lastErr.load()), DebugLog().c_str());
        return kExitOwnFailure;
    }
    MySqlChildProcess::LaunchOptions launch = opts.launch;
    launch.cgroup = stage.cgroup;
    if (child.SetLaunchOptions(launch) != 0) {
        fprintf(stderr, "%s: cannot run %s with these options: %s; see the debug log %s\n", kProgram,
                stage.program.c_str(), strerror(child.m_lastErr.load()), DebugLog().c_str());
        return kExitOwnFailure;
    }
    if (child.HX_CreateProcess(false, false, env == EnvMode::System, env == EnvMode::Base) != 0) {
        std::string says;
        const int code = Verdict(stage, child.GetOutcome(), says);
        fprintf(stderr, "%s: %s\n", kProgram, says.c_str());
        return code;
    }
    return 0;
}

// Every tool is launched before any data moves; when one cannot be, the
// ones already running are killed, so that nothing is left behind. 0, or
// the exit status.
int StartChain(Chain& chain, const Options& opts)
{
    for (auto& stage : chain.stages) {
        if (const int code = Launch(*stage, opts)) {
            for (auto& running : chain.stages) {
                if (running->launched) {
                    running->child.Stop(0);
                    running->child.Finalize();
                }
            }
            return code;
        }
        stage->launched = true;
        stage->launchedAt = Clock::now();
    }
    return 0;
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

// SIGUSR1 halves the rate limit, SIGUSR2 doubles it, within the bounds
// --rate-limit takes; each change is said on standard error (and in the
// debug log, by the library).
void ChangeRate(MySqlChildProcess& child, int sig, ProgressShow* progress)
{
    constexpr long long kLeast = 1024, kMost = 1LL << 50;
    const long long rate = child.GetRateLimit();
    const char* line = progress != nullptr && progress->OnTerminal() ? "\r\033[K" : "";
    if (rate <= 0) {
        fprintf(stderr, "%s%s: SIG%s: there is no --rate-limit to change\n", line, kProgram, sigabbrev_np(sig));
        return;
    }
    const long long next = sig == SIGUSR1 ? std::max(kLeast, rate / 2) : std::min(kMost, rate * 2);
    child.SetRateLimit(next);
    fprintf(stderr, "%s%s: SIG%s: rate limit %s from %s/s to %s/s\n", line, kProgram, sigabbrev_np(sig),
            sig == SIGUSR1 ? "halved" : "doubled", HumanBytes(static_cast<double>(rate)).c_str(),
            HumanBytes(static_cast<double>(next)).c_str());
    fflush(stderr);
}

// What progress counts against: --expected-size, else what is left of an
// input that is a regular file; 0 when unknown.
long long ProgressTotal(const Options& opts, const Files& files)
{
    if (opts.expectedSize > 0)
        return opts.expectedSize;
    struct stat st {};
    if (files.inputFd < 0 || fstat(files.inputFd, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    const off_t at = lseek(files.inputFd, 0, SEEK_CUR);
    return st.st_size > at && at >= 0 ? st.st_size - at : 0;
}

// The data moves and the tools are waited for on a thread of its own, so
// that this one can watch the clock and the signals and stop the tools,
// whatever call the chain is blocked in. 0 once every tool has ended by
// itself; otherwise the tools were stopped, and the exit status says why.
int WatchChain(Chain& chain, Files& files, const Options& opts, Clock::time_point start)
{
    MySqlChildProcess& first = chain.stages.front()->child;
    first.SetRateLimit(opts.rateLimit);
    for (int i = 0; i < 2; ++i)
        for (; g_rateSignalsSeen[i] > 0; --g_rateSignalsSeen[i])
            ChangeRate(first, kRateSignals[i], nullptr);
    if (files.digesting)
        chain.stages.back()->child.SetOutputCopy(files.digest.CopyPipe());
    std::unique_ptr<ProgressShow> progress;
    if (opts.progress != Options::Progress::Off && (opts.progress != Options::Progress::Terminal || isatty(2)))
        progress = std::make_unique<ProgressShow>(chain, opts.progress, ProgressTotal(opts, files),
                                                  files.inputFd >= 0, start);
    std::thread worker([&] {
        MoveData(chain, files.inputFd, files.outputFd);
        CollectOutcomes(chain, opts.waitThread);
        NoteChainEnded();
    });
    int event;
    while ((event = NextEvent(DeadlineOf(start, opts.timeoutSeconds))) == SIGUSR1 || event == SIGUSR2)
        ChangeRate(first, event, progress.get());
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
    for (auto& stage : chain.stages)
        if (stage->endedAt == Clock::time_point())
            stage->endedAt = Clock::now();
    // A tool that did not end on its own terms within the grace says so:
    // its error output may stop mid-sentence.
    for (const auto& stage : chain.stages) {
        const Outcome outcome = stage->child.GetOutcome();
        if (outcome.state == Outcome::State::Signaled && outcome.code == SIGKILL)
            fprintf(stderr, "%s: %s did not end within the %g s grace after SIGTERM and was killed with SIGKILL\n",
                    kProgram, stage->program.c_str(), opts.graceSeconds);
    }
    return event < 0 ? kExitTimedOut : 128 + event;
}

// Where no line holds the key, the tool's real words are still the most
// useful thing to show ("Could not open required defaults file", "Failed to
// connect"): the last lines of its error output, at most 5.
void PrintLastLines(Stage& stage, const std::string& key)
{
    constexpr size_t kLines = 5;
    char tail[4096];
    long length = sizeof tail;
    std::vector<std::string> lines;
    if (stage.child.ReadErrBuf(tail, &length) == 0) {
        std::string text(tail);
        // The first piece of a tail cut from a longer file may be half a line.
        for (size_t at = 0; at < text.size();) {
            const size_t end = std::min(text.find('\n', at), text.size());
            if (end > at)
                lines.push_back(text.substr(at, end - at));
            at = end + 1;
        }
    }
    if (lines.empty()) {
        fprintf(stderr, "%s: %s: its error output is empty\n", kProgram, stage.program.c_str());
        return;
    }
    fprintf(stderr, "%s: %s: no line with \"%s\" in its error output; its last lines:\n", kProgram,
            stage.program.c_str(), key.c_str());
    for (size_t i = lines.size() > kLines ? lines.size() - kLines : 0; i < lines.size(); ++i)
        fprintf(stderr, "%s: %s:   %s\n", kProgram, stage.program.c_str(), EscapeControls(lines[i]).c_str());
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
        PrintLastLines(stage, keys.front());
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
        else if (outcome.state == Outcome::State::StartFailed)
            fprintf(stderr, "%s: error file: %s\n", kProgram, stage->child.m_errFilePath.c_str());
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

// An output shorter than --min-bytes (by default 1 for a file that is
// replaced) fails the run, whatever the tools said: an empty stream is never
// taken for a backup. True when it is long enough.
bool LongEnough(const Chain& chain, const Files& files, const Options& opts)
{
    const long long least = opts.minBytes >= 0 ? opts.minBytes : files.output.Replaces() ? 1 : 0;
    const unsigned long long wrote = chain.stages.back()->bytesOut.load();
    if (wrote >= static_cast<unsigned long long>(least))
        return true;
    fprintf(stderr, "%s: %s wrote only %llu bytes, fewer than --min-bytes %lld%s%s\n", kProgram,
            chain.stages.back()->program.c_str(), wrote, least,
            files.output.Replaces() ? "; the output is not kept and " : "",
            files.output.Replaces() ? (opts.output + " is left as it was").c_str() : "");
    return false;
}

// How the chain ended, and the output put in place only when every tool
// succeeded, all of the data arrived, its digest was taken and it is long
// enough. The exit status.
int ReportAndCommit(Chain& chain, Files& files, const Options& opts, RunResult& run)
{
    int code = ReportTools(chain, opts.errorKey);
    bool ok = ReportTransfers(chain, opts.output, code == 0);
    std::string digest;
    if (files.digesting) {
        std::string why;
        digest = files.digest.Finish(why);
        if (digest.empty() && code == 0 && ok) {
            fprintf(stderr, "%s: the --checksum failed: %s\n", kProgram, why.c_str());
            ok = false;
        }
    }
    if (code == 0 && ok && !LongEnough(chain, files, opts)) {
        files.output.Discard();
        return 1;
    }
    if (code == 0 && ok) {
        if (!digest.empty() && files.output.Replaces())
            files.output.AddCompanion("." + opts.checksum, CheckLine(digest, files.output.Name()));
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
        } else if (!files.output.CompanionError().empty()) {
            fprintf(stderr, "%s: %s is in place, but %s\n", kProgram, opts.output.c_str(),
                    files.output.CompanionError().c_str());
            ok = false;
        }
        if (ok && !digest.empty()) {
            fprintf(stderr, "%s: %s %s  %s\n", kProgram, opts.checksum.c_str(), digest.c_str(),
                    opts.output == "-" ? "(standard output)" : opts.output.c_str());
            run.digest = digest;
        }
    }
    files.output.Discard();
    return code == 0 && !ok ? kExitOwnFailure : code;
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
        return kExitOwnFailure;
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
        return kExitOwnFailure;
    }
    return 0;
}

Chain MakeChain(const Options& opts)
{
    Chain chain;
    for (const StageSpec& wanted : opts.stages) {
        auto stage = std::make_unique<Stage>();
        stage->command = wanted.command;
        stage->program = ProgramOf(wanted.command);
        stage->user = wanted.user;
        chain.stages.push_back(std::move(stage));
    }
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

// A folder made with its parents (0700 where it is made) for mysqlchild's
// own state: 0, or the errno.
int MakeFolders(const std::string& path)
{
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/')
            continue;
        const std::string level = path.substr(0, at);
        if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
    }
    return 0;
}

// Where the job folders and the debug log go when HX_JOB_RESULTS_DIR and
// HX_DEBUG_LOG do not say: for root /var/lib/mysqlchild and
// /var/log/mysqlchild/debug.log, folders no other account can write; for
// another user its XDG state folder. Not /tmp, where another account may be
// first and steer them. 0, or the exit status.
int PrepareStateFolders()
{
    const char* results = getenv("HX_JOB_RESULTS_DIR");
    const char* log = getenv("HX_DEBUG_LOG");
    const bool resultsGiven = results != nullptr && results[0] != '\0';
    const bool logGiven = log != nullptr && log[0] != '\0';
    if (resultsGiven && logGiven)
        return 0;
    std::string state, logFolder;
    if (geteuid() == 0) {
        state = "/var/lib/mysqlchild";
        logFolder = "/var/log/mysqlchild";
    } else {
        const char* xdg = getenv("XDG_STATE_HOME");
        std::string home = getenv("HOME") != nullptr ? getenv("HOME") : "";
        if (home.empty()) {
            if (const passwd* pw = getpwuid(getuid()))
                home = pw->pw_dir;
        }
        state = (xdg != nullptr && xdg[0] == '/' ? std::string(xdg) : home + "/.local/state") + "/mysqlchild";
        logFolder = state;
    }
    for (const std::string& folder : {resultsGiven ? std::string() : state, logGiven ? std::string() : logFolder}) {
        if (folder.empty())
            continue;
        if (const int err = MakeFolders(folder)) {
            fprintf(stderr, "%s: cannot make the folder %s: %s (set HX_JOB_RESULTS_DIR and HX_DEBUG_LOG to choose "
                            "others)\n",
                    kProgram, folder.c_str(), strerror(err));
            return kExitOwnFailure;
        }
    }
    if (!resultsGiven)
        setenv("HX_JOB_RESULTS_DIR", state.c_str(), 1);
    if (!logGiven)
        setenv("HX_DEBUG_LOG", (logFolder + "/debug.log").c_str(), 1);
    return 0;
}

// After a run that succeeded, the tools' empty error files and their job
// folder go (an hour of runs would otherwise leave 60 folders); a file with
// words in it, and everything after a failure, stays.
void RemoveEmptyErrorFiles(const Chain& chain)
{
    std::string folder;
    for (const auto& stage : chain.stages) {
        const std::string& path = stage->child.m_errFilePath;
        struct stat st {};
        if (path.empty() || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0)
            continue;
        unlink(path.c_str());
        folder = path.substr(0, path.rfind('/'));
    }
    if (!folder.empty())
        rmdir(folder.c_str());  // only when nothing else is in it
}

// What a run would do, without doing it: each tool's arguments as the
// library will split them (passwords masked), its user, the environment and
// where the output goes.
int DryRun(const Options& opts)
{
    static const char* const kEnv[] = {"inherit (this program's environment)",
                                       "system (only LD_LIBRARY_PATH=/lib64:/lib:/usr/lib:/usr/lib64)",
                                       "base (only LD_LIBRARY_PATH=$HX_BASE_HOME, umask 022)"};
    printf("%s: dry run, nothing is launched\n", kProgram);
    for (size_t i = 0; i < opts.stages.size(); ++i) {
        const StageSpec& wanted = opts.stages[i];
        printf("tool %zu: %s\n", i + 1, ProgramOf(wanted.command).c_str());
        printf("  user: %s\n", wanted.user.empty() ? "this program's own" : wanted.user.c_str());
        printf("  environment: %s\n", kEnv[static_cast<int>(opts.env)]);
        char* argv[LibMySqlProcess::kArgvEntries];
        std::unique_ptr<char[]> storage;
        const int argc = LibMySqlProcess::SplitCommandLine(wanted.command.c_str(), argv, storage);
        for (int a = 0; a < argc && a < LibMySqlProcess::kMaxArguments; ++a) {
            std::string masked;
            const bool secret = LibMySqlProcess::MaskSecret(argv[a], masked);
            printf("  argument %d: %s\n", a, EscapeControls(secret ? masked : argv[a]).c_str());
        }
        if (argc > LibMySqlProcess::kMaxArguments)
            printf("  (%d arguments: the library refuses more than %d)\n", argc, LibMySqlProcess::kMaxArguments);
    }
    auto absolute = [](const std::string& path) {
        if (path.empty() || path[0] == '/')
            return path;
        char cwd[PATH_MAX];
        return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + path : path;
    };
    printf("input: %s\n", opts.input.empty() ? "none (the first tool's input is closed)"
                          : opts.input == "-" ? "this program's standard input"
                                              : absolute(opts.input).c_str());
    printf("output: %s\n", opts.output == "-" ? "this program's standard output" : absolute(opts.output).c_str());
    return 0;
}

int Run(const Options& opts)
{
    if (opts.dryRun)
        return DryRun(opts);
    if (const int code = PrepareStateFolders())
        return code;
    Files files;
    if (const int code = OpenFiles(opts, files))
        return code;
    if (!opts.checksum.empty()) {
        std::string why;
        if (!files.digest.Start(opts.checksum, why)) {
            fprintf(stderr, "%s: --checksum %s: %s\n", kProgram, opts.checksum.c_str(), why.c_str());
            return kExitOwnFailure;
        }
        files.digesting = true;
    }
    Chain chain = MakeChain(opts);
    ToolGroups groups(chain, opts.launch.cgroup);
    const Clock::time_point start = Clock::now();  // --timeout counts from here
    RunResult run;
    run.code = StartChain(chain, opts);
    if (run.code == 0)
        run.code = WatchChain(chain, files, opts, start);
    if (run.code == 0)
        run.code = ReportAndCommit(chain, files, opts, run);
    run.seconds = SecondsSince(start);
    if (opts.stats)
        PrintStats(chain, run);
    if (opts.statsJson)
        PrintStatsJson(chain, opts, run);
    if (run.code == 0 && !opts.keepErrors)
        RemoveEmptyErrorFiles(chain);
    return run.code;
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
            _exit(kExitOwnFailure);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    OpenClosedStandardDescriptors();
    const Options opts = ParseArguments(argc, argv, g_stdinClosed);
    UseAJobIdOfOurOwn();
    return Run(opts);
}
