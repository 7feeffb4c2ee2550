#pragma once

#include <string>

namespace LibMySqlProcess {

// The launch helper (mysqlprocess-helper) switches a tool's user in memory of
// its own. The library finds it without configuration: beside the library
// itself (the build tree), else in the installed helper folder relative to
// the library's folder.
//
// A helper runs as root before it switches, so only one that nobody but
// root (or the agent's own user) can have placed is used: a regular,
// executable file, not a link, owned by root or the caller and writable by
// its owner alone, where every folder from its own up to the root is root's
// or the caller's and writable by no one else (a sticky folder excepted).
// 0 with the path to execute (its folder resolved), else the errno-style
// reason (ENOENT, ELOOP, EACCES, EPERM) with the path that was refused or
// looked for.
int FindLaunchHelper(std::string& path);

// For programs that link the library's objects instead of the library (its
// own tests and benchmarks): the helper they built. Checked like any other.
void SetLaunchHelperPath(const std::string& path);

}  // namespace LibMySqlProcess
