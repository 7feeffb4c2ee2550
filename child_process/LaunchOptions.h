#pragma once

#include <string>

#include "child_process/HelperProtocol.h"
#include "child_process/MySqlChildProcess.h"

namespace LibMySqlProcess {

// 0 when every option is in range, else the errno (EINVAL, or why the
// control group cannot be used) with the option and the value in words.
int CheckLaunchOptions(const MySqlChildProcess::LaunchOptions& options, std::string& why);

// The options as the child and the helper apply them (the umask is the
// environment mode's and stays as it is). With a control group, its folder
// is opened into *cgroupDir (O_PATH) and its cgroup.procs, for writing, into
// settings.cgroupProcs; both close-on-exec, 3 or above. 0, or the errno with
// *what naming the step.
int ToToolSettings(const MySqlChildProcess::LaunchOptions& options, ToolSettings& settings, int* cgroupDir,
                   const char** what);

}  // namespace LibMySqlProcess
