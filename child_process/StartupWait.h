#pragma once

#include <sys/types.h>

#include "child_process/HelperProtocol.h"

namespace LibMySqlProcess {

// How a child's start-up ended, as its launch learns it from the report
// channel.
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
    // The child's pid descriptor, opened by the child itself (so it names
    // that very process, whatever happens to its pid later); -1 where the
    // kernel has none, or the child could not send it. The caller owns it.
    int pidfd = -1;
};

// Waits for the child's hello on the socket channelFd, then reads the child's
// own report pipe until the child has exec'd the tool (the pipe's end) or
// reported a failed step. A child that someone stops before its exec (by any
// signal: the impersonated account can stop its own processes) would hold
// the launch for ever, so the wait looks every kStopCheckMs whether the
// child is stopped, or ended without a word, and then gives up on it; the
// caller kills and reaps it. A failure to set the channel up, the child's or
// this side's, comes back as Failed at kStepReportChannel.
// confirmationDue: the child goes through the helper, whose confirmation
// must come before the tool's exec.
constexpr int kStopCheckMs = 100;
StartupResult AwaitStartup(int channelFd, pid_t pid, bool confirmationDue);

}  // namespace LibMySqlProcess
