#pragma once

#include <string>

#include "child_process/HelperProtocol.h"

class EvEvent;

namespace LibMySqlProcess {

// The words of each start-up step, in one table (StartupSteps.cpp): the
// frozen line the launch logs on the child's behalf under the child's tag
// (the helper carries no host library), and the outcome's text.

// Logs a failed step's line; nothing for steps that have none.
void LogStartupFailure(EvEvent* event, const StartupReport& report, const char* errFile);

// "could not take the pipe as its standard input: <errno text>", "could not
// execute <program>: ...", "could not switch to user 'x': ...".
std::string StartFailureText(int step, int err, const std::string& program, const char* user,
                             const std::string& errFile);

}  // namespace LibMySqlProcess
