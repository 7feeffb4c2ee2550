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

// What is set on the tool's process just before its exec: by the child when
// the tool runs as the caller, by the helper after the user switch
// otherwise. An option is a field here, its setter on the launch's side and
// its line in ApplyToolSettings.
struct ToolSettings {
    int32_t umask;  // -1: inherited
};

// Applies the settings through sys(number, arguments...), a raw system call
// that returns the result or -errno (the child's and the helper's own). 0, or
// the errno of the setting that failed with its step in *step.
template <typename Sys>
int32_t ApplyToolSettings(const ToolSettings& s, Sys sys, int32_t* step)
{
    constexpr long kUmask = 95;  // x86-64
    (void)step;
    if (s.umask >= 0)
        sys(kUmask, s.umask);  // cannot fail
    return 0;
}

constexpr uint32_t kHelperRecordMagic = 0x4d534852u;  // "MSHR"
constexpr uint32_t kHelperRecordVersion = 1;
constexpr uint32_t kMaxGroups = 65536;  // the kernel's NGROUPS_MAX
constexpr uint32_t kMaxErrorFilePath = 4096;

// The helper's input: this header, then groupCount group ids (uint32_t),
// then the error file's path (errorFileLength bytes, no terminating zero).
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
    uint32_t errorFileLength;
    ToolSettings settings;
};

// The helper's first argument: which way of passing the rest it expects.
// Its argument vector is: the helper's path, this tag, the number of the
// descriptor that holds its HelperRecord, the number of the report pipe's
// write end (so that a record it cannot read is reported too), then the
// tool's own argument vector.
#define MYSQLPROCESS_HELPER_TAG "mysqlprocess-helper-2"

}  // namespace LibMySqlProcess
