#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "child_process/Export.h"

class EvEvent;
class HxProcess;
class HxThread;

// The process id of the caller (the wait thread prints it).
MYSQLPROCESS_API int GETCURRENTTHREADID();

namespace LibMySqlProcess {

// Limits of the fixed-size fields. Longer input is refused, never shortened.
constexpr int kCommandLineSize = 3000;  // at most 2999 characters
constexpr int kUserNameSize = 104;      // at most 103 characters
constexpr int kMaxArguments = 49;       // the argument vector holds 50 entries

// Child exit codes that tell the parent which start-up stage failed.
constexpr int kExitRedirectFailed = 77;
constexpr int kExitExecFailed = 79;
constexpr int kExitUserSwitchFailed = 81;
// Never produced by the child (preparing the environment cannot fail); Wait
// still decodes it, as "Env failed", for a tool that exits with it.
constexpr int kExitEnvFailed = 83;

// The caller's record about the MySQL instance; the library reads only the
// impersonation user.
struct GetMySqlInfo {
    std::string impersonationUser;
};

// The hand-off record of the binary interface. The launch fills none of it:
// the child reads a record of its own that the launch prepares. Only
// SetPostForkParam and GetPostForkParam fill and read these fields, for a
// caller that still uses them.
struct MySqlChildParam {
    char cmdLine[kCommandLineSize];
    int filedesPW[2];
    int filedesCW[2];
    char userName[kUserNameSize];
    std::string errFilePath;
    bool useSystemLibPath;
    bool useBaseLibPath;
};

struct AdoptionSlot;

// One child process running a MySQL command-line tool, from Initialize to
// destruction. Not for use from two caller threads at once, apart from the
// wait thread that BeginWait starts.
//
// Known hazards, left to the host:
// - Destroying the object while its wait thread runs blocks until the thread
//   has ended, that is until the child has ended: finish or Terminate the
//   child first when that matters.
// - A child still running when its object is destroyed is neither signalled
//   nor waited for; the library reaps it without blocking at a later launch
//   or destruction after it has ended, so it stays a zombie until then.
// - A host that reaps every child itself (waitpid(-1), SIGCHLD ignored) takes
//   the exit status away from Wait, which then fails with ECHILD.
// - HX_CreateProcess holds the calling thread until the child has exec'd or
//   ended. A child stopped before its exec (by anyone) is killed within about
//   a tenth of a second, and the launch fails with ECANCELED.
// - The first launch sets SIGPIPE to ignored for the whole process, for good:
//   a write to a pipe or socket whose reader has gone fails with EPIPE
//   anywhere in the host instead of ending it.
// - Wait's result and m_lastErr cannot tell a tool's own exit code from a
//   start-up failure: 77, 79 and 83 all give -1 with m_lastErr -1, 81 gives
//   m_lastErr 81 whether the tool exited with it or the user switch failed,
//   and a tool's exit code 110 reads like WaitFor's ETIMEDOUT. GetOutcome()
//   (or m_exitStatusKnown) tells each apart.
// - ReadErrBuf and ReadLastErr replace m_lastErr with the errno they find on
//   entry, as the binary interface has them do: after a failed Wait, read
//   m_lastErr (or GetOutcome()) before asking for the tool's error line.
// - A tool run as another user is started through the launch helper
//   (mysqlprocess-helper) installed with the library; without one that only
//   root or the host's own user can have placed, such launches fail.
// - Without a control group (LaunchOptions::cgroup), Terminate and Stop reach
//   the tool's process group, not its descendants as such: a child the tool
//   moved to another group or session (setsid, a daemon) is out of reach, and
//   may keep the pipes open after the tool has ended. Once the tool has been
//   reaped its group is not signalled at all. With one, all of it ends.
// - The tool leads a process group of its own, so on a terminal it is a
//   background job: the terminal's Ctrl-C reaches the host, not the tool, and
//   a tool that reads the terminal (a password prompt) is stopped by SIGTTIN
//   and never ends by itself. Give passwords in an option file.
//
namespace detail {

// One relay direction's pace, copy position and what it learned of its
// source, part of the object only so that it needs no allocation; touched
// only by the thread relaying that direction.
struct RelayState {
    double tokens = 0;          // what the rate limit's bucket holds, in bytes
    int64_t refilledNs = 0;     // when it was last filled up (0: never)
    long long copiedAhead = 0;  // bytes already in the copy pipe, not moved yet
    int sourceFd = -1;          // the source last relayed from
    int sourceCapacity = 0;     // its capacity, when it is a pipe
    bool enlargeTried = false;  // whether the relay has tried to enlarge it
    double pace = 0;            // its writer's pace last seen, bytes per nanosecond
};

}  // namespace detail

// Every operation returns 0 or -1 with the errno in m_lastErr (and errno),
// unless it says otherwise; none throws: a failed allocation is ENOMEM.
class MYSQLPROCESS_API MySqlChildProcess {
public:
    // ===================================================================
    // The operations a host calls, in the order it calls them.
    // ===================================================================

    MySqlChildProcess();
    ~MySqlChildProcess();

    MySqlChildProcess(const MySqlChildProcess&) = delete;
    MySqlChildProcess& operator=(const MySqlChildProcess&) = delete;

    // Stores the command line and the user, fixes the error file path and
    // creates its folder.
    int Initialize(std::string command, std::string userName, std::string unused);
    int Initialize(std::string command, GetMySqlInfo* info);

    // How the tool runs, beyond its user and environment: for tools that
    // must spare a database serving traffic. Unset fields leave what the
    // tool would inherit. Each is set on the tool's process before its exec
    // (as the caller, or as root in the launch helper before the user switch
    // where a priority, a limit or a group may need it) and read back where
    // the kernel lets it be: one the kernel refused, or that did not take,
    // fails the start-up at stage 81 (Outcome::Stage::UserSwitch) with the
    // setting's step and errno, and the tool never runs without it.
    struct LaunchOptions {
        static constexpr int kInherit = -2147483647 - 1;
        int nice = kInherit;  // CPU priority, -20 (first) to 19 (last)
        enum class IoClass { Inherit, Realtime, BestEffort, Idle };
        IoClass ioClass = IoClass::Inherit;
        int ioLevel = 4;  // 0 (first) to 7 (last), for Realtime and BestEffort
        struct Limit {
            int resource;        // RLIMIT_*
            unsigned long long soft;  // RLIM_INFINITY for none
            unsigned long long hard;
        };
        std::vector<Limit> limits;  // at most one per resource
        bool noNewPrivileges = false;  // PR_SET_NO_NEW_PRIVS: no setuid program raises the tool's rights
        // A cgroup v2 folder the caller can write; the tool starts in it.
        // Stop and Terminate then end everything left in it (cgroup.kill,
        // else each process it lists), so that nothing the tool started
        // escapes, setsid or not. It should hold this tool alone.
        std::string cgroup;
    };
    // Called after Initialize and before HX_CreateProcess. A value out of
    // range (a nice of 25, an unknown class, a soft limit above its hard
    // one, a folder that is not a cgroup v2 folder) is refused with EINVAL,
    // a cgroup the caller cannot write with EACCES; each with a log line that
    // names the option. The options stay for this object's one launch.
    int SetLaunchOptions(const LaunchOptions& options);

    // Starts the child. The first two flags are not used. Returns once the
    // child has exec'd the tool or ended; m_childErrno then says how its
    // start-up went.
    int HX_CreateProcess(bool unused1, bool unused2, bool useSystemLibPath, bool useBaseLibPath);

    // Pipe traffic with the child, on blocking descriptors. ReadBuf reads at
    // most *length - 1 bytes and ends them with a zero byte; 0 bytes mean the
    // output ended, so a capacity below 2 is refused (EINVAL).
    int WriteBuf(char* data, long length);
    int ReadBuf(char* buffer, long* length);

    // Relays: the tool's output moved to a descriptor of the caller's (a
    // file, a pipe, the next tool's input: another object's m_filedesPW[1]),
    // or a descriptor's data moved into the tool's input, without passing
    // through the caller's memory where the kernel can splice the pair (a
    // read/write loop otherwise, unseen by the caller). The caller's
    // descriptor may be non-blocking: the call waits for it. A call blocks
    // until something has moved, moves at most maxBytes and returns 0 with the
    // count in *moved; fewer bytes say nothing about the end, 0 bytes say the
    // source has ended. -1 with the errno in m_lastErr (EPIPE: the reader
    // went away; EBADF: that end is closed) and in *moved what reached the
    // destination before the failure. Closing the next tool's input at the
    // end stays the caller's choice (CloseInput).
    int RelayOutputTo(int fd, long long maxBytes, long long* moved);
    int RelayInputFrom(int fd, long long maxBytes, long long* moved);

    // A tool that writes in small pieces (the dump tool's 4 KiB) would wake a
    // relay once per write; a relay that finds its source pipe less than half
    // full therefore waits a little for more before it moves anything: at
    // most 5 ms, never until the pipe fills (it watches the pipe's level and
    // the writer's pace) and not at all once the writer has closed its end.
    //
    // Pacing, copying and counting the relays. Each direction is relayed by
    // one thread at a time; these four may be called from any thread.
    //
    // The most bytes per second each of the two relays moves, 0 for none
    // (the default). A token bucket holding a tenth of a second's worth (64
    // KiB to 4 MiB): a relay moves in pieces of a useful size and the rate
    // holds over every second. A relay call takes a change from its next call
    // on; one that waits for its turn looks again every 100 ms. -1 with
    // EINVAL for a negative rate.
    int SetRateLimit(long long bytesPerSecond);
    long long GetRateLimit() const;
    // A pipe that gets a copy of every byte RelayOutputTo moves, through
    // tee(2), so that the copy too stays in the kernel: for a digest taken on
    // the fly by a thread that reads that pipe. A full copy pipe holds the
    // relay up; one nobody reads any more fails it (EPIPE). The caller keeps
    // owning it; -1 stops the copying. -1 with EINVAL when fd is no pipe.
    int SetOutputCopy(int pipeFd);
    // What the relays have done so far.
    struct RelayCounters {
        long long bytesIn = 0;   // moved by RelayInputFrom
        long long bytesOut = 0;  // moved by RelayOutputTo
        long long splices = 0;   // moves in the kernel
        long long copies = 0;    // moves through a buffer, for pairs the kernel does not splice
        int inputPipeSize = 0;   // the capacity of the tool's pipes in bytes (0: not launched)
        int outputPipeSize = 0;
    };
    RelayCounters GetRelayCounters() const;

    // Closes the parent's pipe ends so that the child sees the end of its
    // input. Always 0.
    int Finalize();
    // Half of Finalize each, for a host that feeds the tool on one thread and
    // reads it on another: CloseInput lets the tool see the end of its input
    // while its output is still read; CloseOutput makes a tool that keeps
    // writing fail on a closed pipe instead of blocking on a full one.
    // Closing an end that is already closed does nothing. Always 0.
    int CloseInput();
    int CloseOutput();

    // Waits without time limit (the argument is ignored) and decodes the
    // child's end: 0 when it exited with 0, else -1, with the exit code (or
    // -1 for 77, 79, 83) in m_lastErr as the binary interface has it. One wait
    // at a time: a Wait or BeginWait while the wait thread runs fails with
    // EBUSY. Once the child has been reaped, a later Wait gives the same
    // outcome again without waiting.
    int Wait(unsigned int ignored);
    // Wait with a limit in milliseconds (-1: none). When the limit passes:
    // -1 with ETIMEDOUT, the child neither signalled nor reaped, and a later
    // wait carries on; as a tool may exit with 110 (ETIMEDOUT's value),
    // m_exitStatusKnown tells an ended child from a limit that passed.
    int WaitFor(int timeoutMs);
    // Wait on a thread of the library's own, which sets m_waitComplete or
    // m_waitFailed at its end (m_lastErr then holds the thread's errno, and
    // m_exitStatus the raw status).
    int BeginWait();
    // A descriptor that becomes readable once the wait thread has set its
    // flag, for a host that waits for it without polling the flags; -1
    // before the first BeginWait. The object keeps owning it; each BeginWait
    // makes it unreadable again.
    int GetWaitDoneFd();
    // A descriptor that becomes readable once the child has ended (the
    // child's pidfd), for a host that polls many jobs from one loop; -1
    // where the kernel has none. The object keeps owning it. A Wait or
    // WaitFor after it became readable does not block.
    int GetPidFd();

    // Job control, for a host with deadlines and cancels. One wait at a time
    // (EBUSY beside another Wait, WaitFor, Stop or the wait thread); a host
    // thread cancelled while it blocks in Wait, WaitFor or Stop gives the
    // wait up: the child stays there for a later one.
    //
    // Stop: SIGTERM to the tool's process group, up to graceMs (-1: no limit)
    // for the tool to end, then SIGKILL to the group. Whatever is left of the
    // group once the tool has ended is killed before the tool is reaped, so
    // that nothing it started holds the pipes. Result, m_lastErr and stored
    // status as Wait would give them (a tool that ended on SIGTERM reports
    // signal 15). ESRCH when there is no unreaped child.
    int Stop(int graceMs);
    // SIGKILL to the object's own child and its process group, so that the
    // tool's own children end with it. The group only while the child is
    // unreaped (its id may name another group afterwards), and the child
    // itself through a descriptor of that very process where the kernel
    // offers one, so that a reused pid is never hit; -1 with errno ESRCH when
    // the child has been reaped or was never launched. Works beside the wait
    // thread.
    int Terminate();

    // How the object's child ended, decided once: by the launch when it
    // starts no child, otherwise where the child is reaped (Wait, or the wait
    // thread). Whether the child failed before the tool started is what the
    // child itself reported then, never guessed from the exit code: a tool
    // that exits 77, 79, 81 or 83 on its own has simply exited with that code.
    struct Outcome {
        enum class State {
            NotLaunched,  // no child: never launched, or the launch failed (childErrno, text say why)
            Running,      // launched, not reaped yet
            Exited,       // the tool ran and exited with code
            Signaled,     // the tool ran and was killed by signal code
            StartFailed   // the child ended before the tool started, at stage, with childErrno
        };
        enum class Stage { None = 0, Redirect = 77, Exec = 79, UserSwitch = 81 };

        State state = State::NotLaunched;
        int code = 0;             // Exited: the exit code; Signaled: the signal
        bool coreDumped = false;  // Signaled
        Stage stage = Stage::None;
        int childErrno = 0;  // StartFailed: the failed step's errno; NotLaunched: why the launch failed
        // A short text for logs and people: "exited with code 2", "killed by
        // signal 9", "could not execute /usr/bin/x: No such file or
        // directory", "user 'x' does not exist". Empty when memory ran out
        // for it; the fields above are always there.
        std::string text = "not launched";
    };
    // A copy, safe to take from any thread at any time.
    Outcome GetOutcome() const;

    // The error file read back. ReadErrBuf fills the buffer with the file's
    // tail; ReadLastErr returns the last line of it that holds the key;
    // logBufferContent copies the file into the debug log (at most 10,000
    // lines and 1 MiB). Each reads no more of the file than that, whatever
    // size it claims. ReadErrBuf and ReadLastErr replace m_lastErr with the
    // errno found on entry and report their own failure in errno.
    int ReadErrBuf(char* buffer, long* length);
    int ReadLastErr(std::string& line, std::string key);
    void logBufferContent();

    // The calling thread's errno, also stored in m_lastErr.
    int GetLastErr();

    // ===================================================================
    // State a caller reads.
    // ===================================================================

    std::string m_command;
    int m_filedesPW[2];  // the tool's input: [1] is the caller's end (-1 once closed)
    int m_filedesCW[2];  // the tool's output: [0] is the caller's end (-1 once closed)
    std::string m_errFilePath;
    int64_t m_startTimeUs;
    int m_childPid;
    char m_userName[kUserNameSize];
    std::atomic<int> m_lastErr;
    std::atomic<bool> m_waitComplete;
    std::atomic<bool> m_waitFailed;
    // How the child ended, kept for callers of BeginWait (whose m_lastErr
    // holds the wait thread's errno instead): the raw waitpid status, valid
    // once m_exitStatusKnown is true. Stored before the wait flags are set.
    std::atomic<int> m_exitStatus;
    std::atomic<bool> m_exitStatusKnown;
    // Set when HX_CreateProcess returns 0, which it does only once the child
    // has exec'd or ended: 0 when the tool started, otherwise the errno of
    // the start-up step that failed (the exit code tells the stage).
    int m_childErrno;

    // ===================================================================
    // Public for the binary interface only. Do not call or touch: these are
    // the library's own, kept where the interface has always had them.
    // ===================================================================

    // Fill and read a MySqlChildParam; the launch uses neither.
    void SetPostForkParam(MySqlChildParam* param, char* command, char* userName, int* filedesPW, int* filedesCW,
                          bool useSystemLibPath, const std::string& errFilePath, bool useBaseLibPath);
    static void GetPostForkParam(MySqlChildParam* param, char* command, char* userName, int* filedesPW,
                                 int* filedesCW, EvEvent* event, bool& useSystemLibPath, std::string& errFilePath,
                                 bool& useBaseLibPath);
    // The child's start-up between fork and exec, on the launch's own record:
    // it execs or _exits whoever calls it.
    [[noreturn]] static void PostFork(void* plan);
    // The wait thread's body: it releases a wait claim only BeginWait takes.
    static void* WaitThreadFunction(void* obj);
    void WaitThread();

    HxProcess* m_hxProcess;
    EvEvent* m_event;
    HxThread* m_waitThread;

private:
    enum class Phase { Constructed, Initialized, Launched, Reaped };

    // What a launch learned, for the outcome (as folly's ChildErrorInfo): the
    // tool's program; for a launch that made no child, the errno and, where
    // an errno says too little, the problem in words; for a child whose
    // start-up failed, the stage, the step and its errno.
    struct LaunchRecord {
        std::string program;
        std::string problem;
        int err = 0;
        int failedStage = 0;
        int failedStep = 0;
    };

    struct Launcher;  // one launch, in Launch.cpp

    int InitializeObject(std::string command, const std::string& userName);
    // The outcome of a launch that made no child, and the one reading of a
    // reaped child's wait status (what the launch learned says whether it
    // failed before the tool started). A status that is no end (a stopped
    // child) reads as Running, with the stop signal in code.
    static Outcome Unlaunched(const LaunchRecord& launch);
    static Outcome Decode(int status, const LaunchRecord& launch, const char* user, const std::string& errFile);
    // Wait's result, m_lastErr and log lines, as the binary interface has
    // them, from an outcome.
    int ReportEnd(const char* tag, const Outcome& end);
    static int StatusOf(const Outcome& end);
    int RelayBetween(const char* tag, int from, int to, long long maxBytes, long long* moved);
    long long TakeTurn(detail::RelayState& state, long long want);
    detail::RelayState m_relayIn;
    detail::RelayState m_relayOut;
    std::atomic<long long> m_rateLimit{0};
    std::atomic<int> m_outputCopy{-1};
    std::atomic<long long> m_bytesIn{0};
    std::atomic<long long> m_bytesOut{0};
    std::atomic<long long> m_splices{0};
    std::atomic<long long> m_copies{0};
    std::atomic<int> m_inputPipeSize{0};
    std::atomic<int> m_outputPipeSize{0};
    int ReadErrTail(char* buffer, long length, bool* wholeFile, size_t* got);
    int FindLastErr(std::string& line, const std::string& key);
    void LogToolsLastWords(const char* tag, int err);
    bool BeginWaiting(const char* op);
    void EndWaiting();
    int ClaimedWait(const char* tag, int (MySqlChildProcess::*work)(int, int), int arg);
    int WaitForChild(int timeoutMs, int cancelState);
    int StopTool(int graceMs, int cancelState);
    // The end is awaited without reaping; the reap and every signal take
    // m_signalMutex, so that the tool's group is signalled only while the
    // tool is unreaped, whichever thread waits.
    bool AwaitEnd(int timeoutMs, int cancelState);
    int ReapAndDecode(const char* tag);
    bool ReapedElsewhere() const;
    int SignalTool(int sig);
    void SetOutcome(Outcome outcome);
    std::mutex m_signalMutex;

    // Signals may go to m_childPid only while the phase is Launched: a
    // reaped pid may name any process by now.
    std::atomic<Phase> m_phase;
    // Names the child itself (-1 where the kernel has no pid descriptors).
    int m_pidfd;
    // Set aside by the launch for the reaper, which takes it over when the
    // object goes before its child: a destructor must not allocate.
    AdoptionSlot* m_adoptionSlot = nullptr;
    LaunchRecord m_launch;
    LaunchOptions m_options;
    // The tool's control group (O_PATH), for Stop and Terminate; -1: none.
    int m_cgroupFd = -1;
    // The job folder (O_PATH), through which the error file is made and read.
    int m_jobFolder = -1;
    const char* ErrorFileName() const;
    void KillControlGroup();
    mutable std::mutex m_outcomeMutex;
    Outcome m_outcome;
    // True while a wait runs, on the caller's thread or the wait thread
    // (which holds it from BeginWait until its very end).
    std::mutex m_waitMutex;
    std::condition_variable m_waitDone;
    bool m_waiting;
    // Readable once the wait thread has set its flag (an eventfd).
    int m_waitDoneFd = -1;
};

}  // namespace LibMySqlProcess
