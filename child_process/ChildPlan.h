#pragma once

#include <type_traits>

#include "child_process/HelperProtocol.h"

class EvEvent;

namespace LibMySqlProcess {

// Everything the child reads between fork and exec, filled by the launch
// before the fork. The child only makes system calls with it: it neither
// parses the command line nor reads the user database, allocates or formats
// (another thread of the parent may hold the locks those take at the fork,
// and a child that shares the parent's memory must not change it). On the
// shared-memory path the child reads the launch's own record, so it is plain
// data, and what its pointers reach belongs to the launch and lives until the
// child has exec'd or ended.
struct ChildPlan {
    char* const* argv;            // the tool's argument vector
    const char* const* logArgv;   // the same as the log may show it, passwords masked
    // The exec the child makes: the tool itself, or, when it runs as another
    // user, the launch helper, which switches the user in memory of its own
    // and then execs the tool.
    const char* execPath;
    char* const* execArgv;
    char* const* execEnv;  // null: the inherited environment
    bool viaHelper;
    const char* environmentLine;  // "LD_LIBRARY_PATH=<base home>" for the log, or null
    const char* errFile;          // the error file's path, for the log
    int jobFolder;                // the job folder (O_PATH), and the error file's name in it,
    const char* errFileName;      // for the child's (or the helper's) own open
    // The error file as the launch created it, or -1: then it is opened by
    // path, by the helper once it is the user, or else by the child; unless
    // errFileErr holds why the launch could not create it (anything but a
    // name already taken), which the child reports as its failed step.
    int errFileFd;
    int errFileErr;
    int toolInput;   // the pipe ends that become the tool's standard input
    int toolOutput;  // and output
    // The launch's ends, which the child closes: the tool's input and output
    // (the caller's sides) and the report channel's.
    int launchEnds[3];
    int reportFd;      // the child's end of the report channel (close-on-exec)
    int helperRecord;  // the helper's sealed record, or -1 without the helper
    ToolSettings settings;  // applied here only without the helper
    EvEvent* childEvent;    // the child's debug context, made by the launch
};

static_assert(std::is_trivially_destructible<ChildPlan>::value && std::is_standard_layout<ChildPlan>::value,
              "the child reads the launch's record in memory it shares: plain data only");

}  // namespace LibMySqlProcess
