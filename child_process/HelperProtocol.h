#pragma once

// What the library, its child and the launch helper tell each other. Shared
// with the helper program, which is built without the C++ or C library, so
// this header includes nothing else and holds plain records only.
//
// The report. The launch hands the child one end of a socket pair. The
// child's first step makes a pipe of its own and sends its read end, with a
// pid descriptor of the child itself, in a hello record over the socket; the
// write end then takes the socket's place. That pipe's write end has never
// been in the agent's descriptor table, so no process the host forks
// meanwhile (and keeps alive without an exec) can hold it open: its end is
// the child's exec, or the child's end, and nothing else.
//
// The pipe is close-on-exec: an exec of the tool closes it unwritten, so the
// launch reads its end once the tool runs. A start-up step that fails writes
// one record and the child ends with the stage's exit code. The helper also
// writes one record with exitCode 0 once the user switch is verified, just
// before it execs the tool: without it the launch cannot tell the tool's
// exec from a helper that ended (or was not our helper at all).
//
// The helper's input. Everything the helper needs but the tool's argument
// vector comes in one HelperRecord, written by the launch into a sealed
// memory file that the helper reads from the descriptor its third argument
// names: no number of groups meets the kernel's limit on an argument.

#include <stdint.h>

namespace LibMySqlProcess {

// Exit codes of the start-up stages. The class's kExitRedirectFailed,
// kExitExecFailed, kExitUserSwitchFailed and Outcome::Stage carry the same
// values, checked where both are seen.
constexpr int32_t kStageRedirect = 77;
constexpr int32_t kStageExec = 79;
constexpr int32_t kStageUserSwitch = 81;
// The helper did not understand what it was given; it then writes no
// record, since the report descriptor it was told may be anything.
constexpr int32_t kStageHelperProtocol = 127;

// Which step failed. Its words, logged and in the outcome, stand in
// StartupSteps.cpp.
enum StartupStep : int32_t {
    kStepNone = 0,
    kStepStdin,
    kStepStdout,
    kStepErrorFile,
    kStepStderr,
    kStepGroups,
    kStepGid,
    kStepUid,  // also for an identity that did not take
    kStepExec,
    kStepHelperExec,     // the launch helper itself could not be executed
    kStepReportChannel,  // the report channel or the helper's record could not be set up
    // A tool setting the kernel refused, or that did not read back as set.
    kStepCgroup,
    kStepNice,
    kStepIoPriority,
    kStepLimit,
    kStepNoNewPrivileges,
    kStepCount
};

constexpr uint32_t kReportMagic = 0x4d535052u;  // "MSPR"
// exitCode of the hello record, which carries the report pipe's read end and
// the child's pid descriptor (where the kernel has them) as SCM_RIGHTS.
constexpr int32_t kReportHello = -1;

struct StartupReport {
    uint32_t magic;
    int32_t exitCode;  // 0: the helper's confirmation; else the stage's exit code
    int32_t step;      // a StartupStep
    int32_t err;       // errno of the failed step
};

// What is set on the tool's process before its exec: by the child when the
// tool runs as the caller, by the helper otherwise. An option is a field
// here, its setter on the launch's side and its lines in the two functions
// below, which the child and the helper both compile. A setting the kernel
// refused, or one that does not read back as set, fails the start-up at
// stage kStageUserSwitch with its step: a tool never runs at another
// priority, with other limits or in another group than asked.
constexpr int32_t kSettingUnset = -2147483647 - 1;
constexpr uint32_t kMaxToolLimits = 16;  // one per resource the kernel has (RLIM_NLIMITS)
constexpr uint32_t kMaxCgroupLine = 1024;

struct ToolLimit {
    int32_t resource;  // RLIMIT_*
    int32_t unused;
    uint64_t soft;  // RLIM_INFINITY is ~0
    uint64_t hard;
};

struct ToolSettings {
    int32_t umask;            // -1: inherited
    int32_t nice;             // -20..19; kSettingUnset: inherited
    int32_t ioPriority;       // the kernel's value (class << 13 | level); -1: inherited
    int32_t noNewPrivileges;  // 1: PR_SET_NO_NEW_PRIVS
    int32_t cgroupProcs;      // the control group's cgroup.procs, open for writing; -1: none
    uint32_t limitCount;
    ToolLimit limits[kMaxToolLimits];
    // The control group's line in /proc/self/cgroup ("0::/path\n"), which a
    // process that joined it shows.
    char cgroupLine[kMaxCgroupLine];
};

namespace settings {

// x86-64 system call numbers, and the kernel's own constants: the helper has
// no C library headers.
constexpr long kRead = 0, kWrite = 1, kClose = 3, kUmask = 95, kGetPriority = 140, kSetPriority = 141,
               kPrctl = 157, kIoprioSet = 251, kIoprioGet = 252, kOpenat = 257, kPrlimit = 302;
constexpr long kAtCwd = -100, kReadOnlyCloexec = 02000000, kPrioProcess = 0, kIoprioWhoProcess = 1;
constexpr long kSetNoNewPrivs = 38, kGetNoNewPrivs = 39, kEperm = 1, kEintr = 4;

inline bool SameLimit(const ToolLimit& a, const uint64_t got[2])
{
    return got[0] == a.soft && got[1] == a.hard;
}

// True when the text holds line (which ends in a line feed) as one of its
// lines.
inline bool HoldsLine(const char* text, long length, const char* line)
{
    for (long start = 0; start < length;) {
        long i = 0;
        while (line[i] != '\0' && start + i < length && text[start + i] == line[i])
            ++i;
        if (line[i] == '\0')
            return true;
        while (start < length && text[start] != '\n')
            ++start;
        ++start;
    }
    return false;
}

}  // namespace settings

// The settings that may need the launch's privileges: the control group
// (writing "0" to its cgroup.procs moves the writer), the CPU and I/O
// priorities, the resource limits. In the helper they are applied as root,
// before the user switch, since raising a priority or a hard limit, or
// entering a group, may be root's to do; what they set stays through the
// switch and the exec. sys(number, arguments...) is a raw system call that
// returns the result or -errno. 0, or the errno with the step in *step.
template <typename Sys>
int32_t ApplyPrivilegedSettings(const ToolSettings& s, Sys sys, int32_t* step)
{
    using namespace settings;
    long rc;
    if (s.cgroupProcs >= 0) {
        *step = kStepCgroup;
        do {
            rc = sys(kWrite, s.cgroupProcs, (long)"0\n", 2);
        } while (rc == -kEintr);
        sys(kClose, s.cgroupProcs);  // the tool must not inherit it
        if (rc < 0)
            return (int32_t)-rc;
    }
    if (s.nice != kSettingUnset && (rc = sys(kSetPriority, kPrioProcess, 0, s.nice)) < 0) {
        *step = kStepNice;
        return (int32_t)-rc;
    }
    if (s.ioPriority >= 0 && (rc = sys(kIoprioSet, kIoprioWhoProcess, 0, s.ioPriority)) < 0) {
        *step = kStepIoPriority;
        return (int32_t)-rc;
    }
    for (uint32_t i = 0; i < s.limitCount; ++i) {
        const uint64_t limit[2] = {s.limits[i].soft, s.limits[i].hard};
        if ((rc = sys(kPrlimit, 0, s.limits[i].resource, (long)limit, 0)) < 0) {
            *step = kStepLimit;
            return (int32_t)-rc;
        }
    }
    return 0;
}

// The rest, as the tool's user (the umask, no new privileges), then every
// setting read back where the kernel lets it be: a setting that did not take
// fails with EPERM, as a user switch that did not take does.
template <typename Sys>
int32_t ApplyFinalSettings(const ToolSettings& s, Sys sys, int32_t* step)
{
    using namespace settings;
    long rc;
    if (s.umask >= 0)
        sys(kUmask, s.umask);  // cannot fail
    if (s.noNewPrivileges == 1 && (rc = sys(kPrctl, kSetNoNewPrivs, 1, 0, 0, 0)) < 0) {
        *step = kStepNoNewPrivileges;
        return (int32_t)-rc;
    }
    // A read-back that fails says its own errno; one that reads otherwise,
    // EPERM. The kernel's getpriority answers 20 - nice, never negative.
    if (s.nice != kSettingUnset) {
        *step = kStepNice;
        if ((rc = sys(kGetPriority, kPrioProcess, 0)) < 0 || rc != 20 - s.nice)
            return rc < 0 ? (int32_t)-rc : kEperm;
    }
    if (s.ioPriority >= 0) {
        *step = kStepIoPriority;
        if ((rc = sys(kIoprioGet, kIoprioWhoProcess, 0)) < 0 || rc != s.ioPriority)
            return rc < 0 ? (int32_t)-rc : kEperm;
    }
    for (uint32_t i = 0; i < s.limitCount; ++i) {
        *step = kStepLimit;
        uint64_t got[2] = {0, 0};
        if ((rc = sys(kPrlimit, 0, s.limits[i].resource, 0, (long)got)) < 0 || !SameLimit(s.limits[i], got))
            return rc < 0 ? (int32_t)-rc : kEperm;
    }
    if (s.noNewPrivileges == 1) {
        *step = kStepNoNewPrivileges;
        if ((rc = sys(kPrctl, kGetNoNewPrivs, 0, 0, 0, 0)) < 0 || rc != 1)
            return rc < 0 ? (int32_t)-rc : kEperm;
    }
    if (s.cgroupProcs >= 0) {
        *step = kStepCgroup;
        char text[4096];
        const long fd = sys(kOpenat, kAtCwd, (long)"/proc/self/cgroup", kReadOnlyCloexec);
        if (fd < 0)
            return (int32_t)-fd;
        long length = 0;
        while (length < (long)sizeof text && (rc = sys(kRead, fd, (long)(text + length), (long)sizeof text - length)) != 0) {
            if (rc == -kEintr)
                continue;
            if (rc < 0)
                break;
            length += rc;
        }
        sys(kClose, fd);
        if (!HoldsLine(text, length, s.cgroupLine))
            return kEperm;
    }
    return 0;
}
constexpr uint32_t kHelperRecordMagic = 0x4d534852u;  // "MSHR"
constexpr uint32_t kHelperRecordVersion = 2;
constexpr uint32_t kMaxGroups = 65536;  // the kernel's NGROUPS_MAX
constexpr uint32_t kMaxErrorFilePath = 4096;

// The helper's input: this header, then groupCount group ids (uint32_t),
// then the error file's name in the job folder (errorFileLength bytes, no
// terminating zero).
// size is the whole record's size, which the helper checks against what it
// read.
struct HelperRecord {
    uint32_t magic;
    uint32_t version;
    uint32_t headerSize;
    uint32_t size;
    uint32_t uid;
    uint32_t gid;
    uint32_t groupCount;
    uint32_t stderrReady;  // 1: standard error already is the error file
    int32_t jobFolder;     // the job folder's descriptor (O_PATH), which the helper closes
    uint32_t errorFileLength;
    ToolSettings settings;
};

// The helper's first argument: which way of passing the rest it expects.
// Its argument vector is: the helper's path, this tag, the number of the
// descriptor that holds its HelperRecord, the number of the report pipe's
// write end (so that a record it cannot read is reported too), then the
// tool's own argument vector.
#define MYSQLPROCESS_HELPER_TAG "mysqlprocess-helper-3"

}  // namespace LibMySqlProcess
