#pragma once

#include <string>
#include <vector>

#include "child_process/MySqlChildProcess.h"

namespace mysqlchild {

constexpr const char* kProgram = "mysqlchild";

// The exit status of mysqlchild's own failures, as timeout(1) and env(1)
// have them: a tool's own exit code never collides with one of these unless
// the tool chose it.
constexpr int kExitTimedOut = 124;    // --timeout passed
constexpr int kExitOwnFailure = 125;  // mysqlchild itself: arguments, preparation, data, output
constexpr int kExitCannotStart = 126; // a tool that could not be started
constexpr int kExitNotFound = 127;    // a program that does not exist

enum class EnvMode { Inherit, System, Base };

// One tool of the chain, as given.
struct StageSpec {
    std::string command;
    std::string user;
};

struct Options {
    std::vector<StageSpec> stages;  // the command line, then each --pipe-to
    EnvMode env = EnvMode::Inherit;
    std::string input;
    std::string output = "-";
    std::string errorKey;  // empty: ERROR, else the program's own prefix
    bool waitThread = false;
    bool stats = false;      // --stats: the human summary
    bool statsJson = false;  // --stats=json
    enum class Progress { Off, Terminal, Plain, Json } progress = Progress::Off;
    long long expectedSize = -1;  // --expected-size; -1: the input file's, when there is one
    long long rateLimit = 0;      // --rate-limit, bytes per second; 0: none
    std::string checksum;         // --checksum ALGORITHM; empty: none
    long long minBytes = -1;      // --min-bytes; -1: 1 for an output file that is replaced, else 0
    bool dryRun = false;
    bool keepErrors = false;
    double timeoutSeconds = 0;  // 0: no limit
    double graceSeconds = 10;   // from SIGTERM to SIGKILL when the tools are stopped
    LibMySqlProcess::MySqlChildProcess::LaunchOptions launch;  // each tool's; the cgroup is the parent of theirs
};

// The usage text, shown by --help and kept in step with the man page.
extern const char kHelp[];

// Parses the command line; prints --help or --version and exits, or exits
// with kExitOwnFailure and a message naming what is wrong (with a hint where
// a shell habit led there). stdinClosed: standard input was closed at start.
Options ParseArguments(int argc, char** argv, bool stdinClosed);

[[noreturn]] void UsageError(const std::string& message);

// A size or rate as the options take it: a number of bytes with an optional
// suffix K, M, G or T (powers of 1024; 1.5M is allowed, rounded to a byte),
// false when text is not one or it is above most.
bool ParseSize(const std::string& text, long long most, long long* bytes);

// The digests --checksum knows, by the names OpenSSL and the *sum tools use.
extern const char* const kChecksums[];

// Text of another account's (a tool's error output) as it may reach a
// terminal: control characters other than tab, C1 controls and bytes that
// are not UTF-8 are shown as \xNN, as ls and systemd show untrusted names.
std::string EscapeControls(const std::string& text);

}  // namespace mysqlchild
