#pragma once

// What a child tells its launch, shared by the library and the launch helper
// program (which is built without the C++ or C library, so this header
// includes nothing else).
//
// The launch hands the child one end of a socket pair. The child's first
// step makes a pipe of its own and sends its read end, with a pid descriptor
// of the child itself, in a hello record over the socket; the write end then
// takes the socket's place. That pipe's write end has never been in the
// agent's descriptor table, so no process the host forks meanwhile (and keeps
// alive without an exec) can hold it open: its end is the child's exec, or
// the child's end, and nothing else.
//
// The pipe is close-on-exec: an exec of the tool closes it unwritten, so the
// launch reads its end once the tool runs. A start-up step that fails writes
// one record and the child ends with the stage's exit code. The helper also
// writes one record with exitCode 0 once the user switch is verified, just
// before it execs the tool: without it the launch cannot tell the tool's
// exec from a helper that ended (or was not our helper at all).

#include <stdint.h>

namespace LibMySqlProcess {

// Exit codes of the start-up stages; the class repeats them as
// kExitRedirectFailed, kExitExecFailed and kExitUserSwitchFailed.
constexpr int32_t kStageRedirect = 77;
constexpr int32_t kStageExec = 79;
constexpr int32_t kStageUserSwitch = 81;
// The helper did not understand what it was given; it then writes no
// record, since the report descriptor it was told may be anything.
constexpr int32_t kStageHelperProtocol = 127;

// Which step failed: the launch logs that step's message.
enum StartupStep : int32_t {
    kStepNone = 0,
    kStepStdin,         // "Child dup2-STDIN failed errno: %d"
    kStepStdout,        // "Child dup2-STDOUT failed,errno: %d"
    kStepErrorFile,     // "Failed to create a MySqlErrors file [%s], errno [%d]"
    kStepStderr,        // "Child dup2-STDERR failed,errno: %d"
    kStepGroups,        // "Child initgroups failed, errno %d"
    kStepGid,           // "Child setgid failed, errno %d"
    kStepUid,           // "Child setuid failed, errno %d", also for an identity that did not take
    kStepExec,          // "Child exec failed, errno: %d"
    kStepHelperExec,    // the launch helper itself could not be executed
    kStepReportChannel, // the child could not make its report pipe or send it
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

// The helper's first argument: which way of passing the rest it expects.
// Its argument vector is: the helper's path, this tag, the numbers (report
// descriptor, uid, gid, umask or -1, 1 when standard error already is the
// error file, the number of groups, then each group, all comma-separated),
// the error file's path, then the tool's own argument vector.
#define MYSQLPROCESS_HELPER_TAG "mysqlprocess-helper-1"

}  // namespace LibMySqlProcess
