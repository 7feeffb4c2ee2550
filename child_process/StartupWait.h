#pragma once

#include <sys/types.h>

#include "child_process/StartupReport.h"

namespace LibMySqlProcess {

// How a child's start-up ended, as its launch learns it from the report pipe.
struct StartupResult {
    enum Kind {
        Started,     // the tool was exec'd
        Failed,      // a step failed; report says which, and the child ends with report.exitCode
        Stopped,     // the child was stopped before it started the tool
        Unconfirmed  // the helper ended, or exec'd, without confirming the user switch
    };
    Kind kind = Started;
    StartupReport report{};
    int stopSignal = 0;  // Stopped: the signal that stopped it
};

// Reads the report pipe until the child has exec'd the tool (the pipe's end)
// or reported a failed step. A child that someone stops before its exec
// (by any signal: the impersonated account can stop its own processes) would
// hold the launch for ever, so the wait looks every kStopCheckMs whether the
// child is stopped and then gives up on it; the caller kills and reaps it.
// confirmationDue: the child goes through the helper, whose confirmation
// must come before the tool's exec.
constexpr int kStopCheckMs = 100;
StartupResult AwaitStartup(int reportFd, pid_t pid, bool confirmationDue);

}  // namespace LibMySqlProcess
