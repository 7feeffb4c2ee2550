#include "tools/Arguments.h"

#include <sys/resource.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "child_process/SplitCommandLine.h"

namespace mysqlchild {

using LibMySqlProcess::MySqlChildProcess;

const char kHelp[] = R"(Usage: mysqlchild [OPTIONS] "COMMAND LINE"

Runs a MySQL command-line tool (or a chain of them) as child processes
through libMySqlProcess, as the backup agent does: streams a file into the
first tool's standard input, copies the last tool's standard output to a
file or to this program's standard output, waits for each and reports how
it ended.

COMMAND LINE is one argument: the library splits it, not a shell. Words are
separated by spaces only; a word with an odd number of " (or ') opens a group
that runs to the next word holding that quote, and the quotes are removed;
--stop-datetime=DATE TIME keeps the time with the date, unquoted. There is no
escape character and no $VARIABLE or * expansion. The program must be given
by its full path: PATH is not searched. A group left open is an error.

Options:
  --user USER         run the tools as USER (needs root); a user that does not
                      exist is refused: no tool is launched (exit 126)
  --env MODE          the tools' environment:
                        inherit  this program's environment (default)
                        system   only LD_LIBRARY_PATH=/lib64:/lib:/usr/lib:/usr/lib64
                        base     only LD_LIBRARY_PATH=$HX_BASE_HOME, umask 022
  --input FILE        stream FILE into the first tool's standard input ('-'
                      for this program's standard input, which must not be
                      closed); without it the tool's input is closed at once
  --output FILE|-     where the last tool's standard output goes (default '-',
                      this program's standard output). FILE is written under
                      a temporary name in its folder, mode 0600, and replaces
                      FILE only when every tool succeeded: a failed, timed-out
                      or interrupted run leaves an earlier FILE as it was.
                      When FILE cannot be replaced (a mount point, say) the
                      output is kept under the temporary name, which is
                      printed. An existing FILE that is no regular file
                      (/dev/null, a FIFO) is written directly; this program's
                      own standard output (/dev/stdout, or the file it is
                      redirected to) is written through it, appending when it
                      appends.
                      For --input and --output alike, a symbolic link on the
                      way, and a FIFO or device, is used only when it belongs
                      to you or to root
  --pipe-to "COMMAND LINE"
                      add a tool to the chain: the standard output of the one
                      before streams into its standard input through the
                      library (mysqlbinlog into mysql, a dump into a
                      compressor into an encryptor); repeatable, in order
  --pipe-user USER    run the --pipe-to tool given just before as USER (given
                      before any --pipe-to: the first one); default --user
  --error-key KEY     on failure, print the last line of the tool's error
                      output that contains KEY (case matters); by default
                      ERROR (the client's "ERROR 1045 ..."), else the tool's
                      own prefix ("mysqldump: Got error ..."); with no such
                      line, its last lines (at most 5). Control characters in
                      them are shown as \xNN
  --wait-thread       wait for the tools on the library's wait thread
                      (BeginWait) instead of in the calling thread (Wait)
  --timeout DURATION  stop the tools when the chain runs longer (exit 124)
  --grace DURATION    how long a tool that is stopped (--timeout, or a stop
                      signal to this program) has to end after SIGTERM before
                      it gets SIGKILL (default 10s; 0 for SIGKILL at once).
                      Each tool leads a process group of its own, and the
                      processes it started end with it. On a kernel without
                      pid descriptors (before Linux 5.3) a tool that runs on
                      after the chain's data has all moved is already being
                      waited for and gets SIGKILL at once
                      A DURATION is a number with an optional suffix, as
                      timeout(1) takes it: s (seconds, the default), m
                      (minutes), h (hours) or d (days): 90, 1.5m, 2h
  --stats             print bytes moved, time taken and this program's own CPU
                      time to standard error
  --stats=json        print one JSON object on a line of its own to standard
                      error at the end: for each tool its command (passwords
                      masked), user, outcome, exit code or signal, bytes in
                      and out, seconds, this program's CPU time for its data,
                      pipe size, splices and copies; and the chain's result
  --progress[=plain|json]
                      show progress on standard error: bytes moved, rate,
                      elapsed time, and the percent done and time left when
                      the size is known. Alone: one line on a terminal,
                      updated twice a second (nothing when standard error is
                      no terminal); plain: a line every 10 s, for logs; json:
                      an object a second. Never part of the output
  --expected-size SIZE
                      what progress counts against when the input is no file
                      (a dump's usual size); SIZE as for --rate-limit
  --rate-limit RATE   move at most RATE bytes a second into and out of the
                      first tool (K, M, G, T: powers of 1024; 1.5M is fine).
                      While the tools run, SIGUSR1 halves it and SIGUSR2
                      doubles it; each change is printed
  --checksum ALGORITHM
                      the digest of exactly the bytes written to the output,
                      taken as they flow: sha256, sha512 or blake2b512.
                      Printed at the end; with --output FILE also written as
                      FILE.ALGORITHM in sha256sum's format, put in place
                      right after FILE (an earlier one removed just before)
  --min-bytes SIZE    an output shorter than SIZE is a failure (exit 1, FILE
                      left as it was): by default 1 with --output FILE, so
                      that an empty stream is never taken for a backup
  --dry-run           print each tool's arguments as the library splits them
                      (passwords masked), its user, the environment and where
                      the output would go; launch nothing
  --allow-unclosed-quote
                      run a command line whose quote group is left open (it
                      then runs to the end of the line) instead of refusing it
  --keep-errors       keep the tools' error files after a run that succeeded
                      (by default an empty one is removed with its job folder)

Sparing a database that serves traffic (each applies to every tool; a
setting the kernel refuses fails the start, exit 126, never silently):
  --nice N            CPU priority, -20 (first) to 19 (last)
  --io-class CLASS    I/O priority: idle, best-effort[:LEVEL] or
                      realtime[:LEVEL], LEVEL 0 (first) to 7 (default 4)
  --limit NAME=SOFT[:HARD]
                      a resource limit, NAME as prlimit spells it (nofile,
                      as, core, cpu, fsize, nproc, ...), a number or
                      unlimited; without HARD both are SOFT; repeatable
  --no-new-privileges no setuid program can raise the tool's rights
  --cgroup DIR        run each tool in a control group of its own, made in
                      the cgroup v2 folder DIR (where its caps apply) and
                      removed after; stopping a tool ends everything in its
                      group, also what left its process group or session
  --low-impact        --nice 19 --io-class idle
  --help              show this text
  --version           show the version

The tools run in process groups of their own, as background jobs: Ctrl-C
reaches this program, which stops them, and a tool cannot read the terminal
(give passwords in an option file, not at a prompt).

Exit status:
  0        every tool succeeded
  N        the failing tool's own exit code (in a chain, the last tool that
           failed; every tool's end is reported)
  1        also: every tool succeeded but the output was shorter than
           --min-bytes
  128+N    a tool was killed by signal N, or this program got signal N
           (129 SIGHUP, 130 SIGINT, 131 SIGQUIT, 143 SIGTERM) and stopped
           the tools
  124      --timeout passed; the tools were stopped
  125      mysqlchild itself failed: bad arguments, a file it could not
           open, a folder it could not prepare, data it could not move
  126      a tool could not be started: the user switch, its standard
           streams or error file, a launch setting, or a user that does not
           exist (the reason and errno are printed)
  127      a program that does not exist

Files (each can be set with the variable named):
  job folders         the tools' error output, in
                      <results>/HX_JobResults/2/0/<job id>/MySqlErrors_<time>.txt;
                      <results> is HX_JOB_RESULTS_DIR, by default
                      /var/lib/mysqlchild for root, else
                      $XDG_STATE_HOME/mysqlchild (~/.local/state/mysqlchild).
                      Refused when another account could change it or a
                      folder above it. Removed after a run that succeeded
                      unless --keep-errors; after a failure the error file's
                      path is printed
  debug log           HX_DEBUG_LOG, by default /var/log/mysqlchild/debug.log
                      for root, else <state folder>/debug.log

Environment (read by the host libraries):
  HX_JOB_RESULTS_DIR  job results folder (see Files)
  HX_JOB_ID           job id (default: a random one of this run's own)
  HX_CLIENT_NAME      client name (default the host name)
  HX_DEBUG_LOG        debug log file (see Files)
  HX_DEBUG_LEVEL      debug detail, 0 (silent) to 9 (default 5)
  HX_BASE_HOME        base home, the library path of --env base (default /opt/hx)

Examples:
  mysqlchild --user mysql --timeout 2h --output shop.sql \
    "/usr/bin/mysqldump --defaults-extra-file=/etc/mysql/backup.cnf --single-transaction shop"
  mysqlchild --input shop.sql "/usr/bin/mysql shop_copy"
  mysqlchild --pipe-to "/usr/bin/mysql" \
    "/usr/bin/mysqlbinlog --stop-datetime=2024-01-31 23:59:59 /var/lib/mysql/binlog.000042"
  mysqlchild --output shop.sql.zst --pipe-to "/usr/bin/zstd -q" \
    "/usr/bin/mysqldump --single-transaction shop"
  mysqlchild "/usr/bin/mysql --batch --execute=\"SHOW  DATABASES\""
)";

[[noreturn]] void UsageError(const std::string& message)
{
    fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, message.c_str(), kProgram);
    exit(kExitOwnFailure);
}

std::string EscapeControls(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    auto escape = [&out](unsigned char c) {
        char hex[5];
        snprintf(hex, sizeof hex, "\\x%02x", c);
        out += hex;
    };
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t') || c == 0x7f)
                escape(c);
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        // A whole UTF-8 sequence, shortest form, no surrogate, not a C1 control.
        const size_t length = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xc2 && c <= 0xdf ? 2 : 0;
        unsigned long cp = length == 4 ? c & 0x07u : length == 3 ? c & 0x0fu : c & 0x1fu;
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xc0) == 0x80;
            cp = cp << 6 | (next & 0x3fu);
        }
        valid = valid && !(length == 3 && cp < 0x800) && !(length == 4 && (cp < 0x10000 || cp > 0x10ffff)) &&
                !(cp >= 0xd800 && cp <= 0xdfff) && !(cp >= 0x80 && cp <= 0x9f);
        if (!valid) {
            escape(c);
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}


const char* const kChecksums[] = {"sha256", "sha512", "blake2b512", nullptr};

bool ParseSize(const std::string& text, long long most, long long* bytes)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text.c_str(), &end);
    if (end == text.c_str() || errno != 0 || !(value >= 0))
        return false;
    double unit = 1;
    const std::string suffix = end;
    if (suffix.size() == 1) {
        const char* const kUnits = "KMGT";
        const char* at = strchr(kUnits, toupper(static_cast<unsigned char>(suffix[0])));
        if (at == nullptr)
            return false;
        for (const char* u = kUnits; u <= at; ++u)
            unit *= 1024;
    } else if (!suffix.empty()) {
        return false;
    }
    const double total = value * unit;
    if (total > static_cast<double>(most))
        return false;
    *bytes = llround(total);
    return true;
}

namespace {

// Sizes above a pebibyte are typos; rates below 1 KiB/s would take a relay
// minutes per pipe-full.
constexpr long long kMostBytes = 1LL << 50;
constexpr long long kLeastRate = 1024;

// --name VALUE and --name=VALUE; true when argv[i] is the option `name`.
bool TakeValue(int argc, char** argv, int& i, const char* name, std::string& value)
{
    const char* arg = argv[i];
    const size_t n = strlen(name);
    if (strncmp(arg, name, n) != 0)
        return false;
    if (arg[n] == '=') {
        value = arg + n + 1;
    } else if (arg[n] == '\0') {
        if (i + 1 >= argc)
            UsageError(std::string("option ") + name + " needs a value");
        value = argv[++i];
    } else {
        return false;
    }
    return true;
}

// A number from least to most, the whole of text.
bool ParseNumber(const std::string& text, double least, double most, double* number)
{
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !(value >= least) || value > most)
        return false;
    *number = value;
    return true;
}

// A duration as timeout(1) takes it: a number with an optional suffix s, m,
// h or d, from 0 to most seconds, the whole of text.
bool ParseDuration(const std::string& text, double most, double* seconds)
{
    double unit = 1;
    std::string number = text;
    if (!number.empty()) {
        switch (number.back()) {
        case 's':
            break;
        case 'm':
            unit = 60;
            break;
        case 'h':
            unit = 3600;
            break;
        case 'd':
            unit = 86400;
            break;
        default:
            unit = 0;
            break;
        }
        if (unit != 0)
            number.pop_back();
        else
            unit = 1;
    }
    double value = 0;
    if (!ParseNumber(number, 0, most, &value) || value * unit > most)
        return false;
    *seconds = value * unit;
    return true;
}

// --io-class idle|best-effort[:LEVEL]|realtime[:LEVEL], as ionice names them.
void ParseIoClass(const std::string& text, MySqlChildProcess::LaunchOptions& launch)
{
    using IoClass = MySqlChildProcess::LaunchOptions::IoClass;
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    const IoClass c = name == "idle"          ? IoClass::Idle
                      : name == "best-effort" ? IoClass::BestEffort
                      : name == "realtime"    ? IoClass::Realtime
                                              : IoClass::Inherit;
    double level = 4;
    const bool leveled = c == IoClass::BestEffort || c == IoClass::Realtime;
    if (c == IoClass::Inherit || (colon != std::string::npos && !leveled) ||
        (colon != std::string::npos && (!ParseNumber(text.substr(colon + 1), 0, 7, &level) || level != static_cast<int>(level))))
        UsageError("--io-class must be idle, best-effort[:0-7] or realtime[:0-7], not '" + text + "'");
    launch.ioClass = c;
    launch.ioLevel = static_cast<int>(level);
}

// --limit NAME=SOFT[:HARD], NAME as prlimit(1) spells it, a value a number or
// "unlimited"; without HARD both are SOFT.
MySqlChildProcess::LaunchOptions::Limit ParseLimit(const std::string& text,
                                                   const std::vector<MySqlChildProcess::LaunchOptions::Limit>& given)
{
    static const std::pair<const char*, int> kNames[] = {
        {"as", RLIMIT_AS},         {"core", RLIMIT_CORE},           {"cpu", RLIMIT_CPU},
        {"data", RLIMIT_DATA},     {"fsize", RLIMIT_FSIZE},         {"locks", RLIMIT_LOCKS},
        {"memlock", RLIMIT_MEMLOCK}, {"msgqueue", RLIMIT_MSGQUEUE}, {"nice", RLIMIT_NICE},
        {"nofile", RLIMIT_NOFILE}, {"nproc", RLIMIT_NPROC},         {"rss", RLIMIT_RSS},
        {"rtprio", RLIMIT_RTPRIO}, {"rttime", RLIMIT_RTTIME},       {"sigpending", RLIMIT_SIGPENDING},
        {"stack", RLIMIT_STACK},
    };
    const std::string usage = "--limit needs NAME=SOFT[:HARD] (NAME as prlimit spells it: nofile, as, core, cpu, "
                              "fsize, nproc...; a number or unlimited), not '" + text + "'";
    const size_t equals = text.find('=');
    if (equals == std::string::npos)
        UsageError(usage);
    const std::string name = text.substr(0, equals);
    int resource = -1;
    for (const auto& n : kNames)
        if (name == n.first)
            resource = n.second;
    auto value = [&](const std::string& v) -> unsigned long long {
        if (v == "unlimited")
            return RLIM_INFINITY;
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = strtoull(v.c_str(), &end, 10);
        if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0 || n == RLIM_INFINITY)
            UsageError(usage);
        return n;
    };
    if (resource < 0)
        UsageError(usage);
    for (const auto& l : given)
        if (l.resource == resource)
            UsageError("--limit " + name + " is given twice");
    const std::string values = text.substr(equals + 1);
    const size_t colon = values.find(':');
    const unsigned long long soft = value(values.substr(0, colon));
    const unsigned long long hard = colon == std::string::npos ? soft : value(values.substr(colon + 1));
    if (soft > hard)
        UsageError("--limit " + name + ": the soft limit is above the hard one");
    return {resource, soft, hard};
}

// A command line the library would split with a quote group left open: the
// rest of the line would go into one argument without a word.
void CheckQuotes(const std::string& command, const char* what)
{
    char* argv[LibMySqlProcess::kArgvEntries];
    std::unique_ptr<char[]> storage;
    size_t unclosed = static_cast<size_t>(-1);
    LibMySqlProcess::SplitCommandLine(command.c_str(), argv, storage, nullptr, &unclosed);
    if (unclosed == static_cast<size_t>(-1))
        return;
    UsageError(std::string(what) + " leaves a " + (command[unclosed] == '"' ? "double" : "single") +
               " quote open at character " + std::to_string(unclosed + 1) + " (" + command.substr(unclosed) +
               "); close it, or give --allow-unclosed-quote to let it run to the end of the line");
}

// What an option that is not mysqlchild's most likely is.
[[noreturn]] void UnknownOption(const std::string& arg, bool commandSeen)
{
    if (arg.rfind("--stop-datetime", 0) == 0)
        UsageError("unknown option '" + arg + "': --stop-datetime belongs inside the quoted command line, as " +
                   "--stop-datetime=DATE TIME (\"/usr/bin/mysqlbinlog --stop-datetime=2024-01-31 23:59:59 ...\")");
    if (commandSeen)
        UsageError("unknown option '" + arg + "': if it is the tool's, quote the whole command line as one " +
                   "argument");
    UsageError("unknown option '" + arg + "'");
}

}  // namespace

Options ParseArguments(int argc, char** argv, bool stdinClosed)
{
    Options opts;
    std::vector<std::string> positional;
    std::vector<StageSpec> pipes;
    std::vector<std::pair<size_t, std::string>> pipeUsers;  // the stage (1 = first --pipe-to) and its user
    std::string user;
    bool allowUnclosedQuote = false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        std::string value;
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            fputs(kHelp, stdout);
            exit(0);
        } else if (arg == "--version") {
            printf("%s (libMySqlProcess) %s\n", kProgram, MYSQLCHILD_VERSION);
            exit(0);
        } else if (arg == "--wait-thread") {
            opts.waitThread = true;
        } else if (arg == "--stats" || arg == "--stats=text") {
            opts.stats = true;
        } else if (arg == "--stats=json") {
            opts.statsJson = true;
        } else if (arg == "--progress" || arg.rfind("--progress=", 0) == 0) {
            const std::string mode = arg == "--progress" ? "terminal" : arg.substr(11);
            if (mode == "terminal")
                opts.progress = Options::Progress::Terminal;
            else if (mode == "plain")
                opts.progress = Options::Progress::Plain;
            else if (mode == "json")
                opts.progress = Options::Progress::Json;
            else
                UsageError("--progress takes plain or json (or nothing, for a terminal), not '" + mode + "'");
        } else if (TakeValue(argc, argv, i, "--expected-size", value)) {
            if (!ParseSize(value, kMostBytes, &opts.expectedSize) || opts.expectedSize == 0)
                UsageError("--expected-size needs a size above 0 (1500M, 20G), not '" + value + "'");
        } else if (TakeValue(argc, argv, i, "--rate-limit", value)) {
            if (!ParseSize(value, kMostBytes, &opts.rateLimit) || opts.rateLimit < kLeastRate)
                UsageError("--rate-limit needs bytes per second, at least 1K (500K, 50M, 1G), not '" + value + "'");
        } else if (TakeValue(argc, argv, i, "--min-bytes", value)) {
            if (!ParseSize(value, kMostBytes, &opts.minBytes))
                UsageError("--min-bytes needs a size (0, 1, 4K, 1M), not '" + value + "'");
        } else if (TakeValue(argc, argv, i, "--checksum", opts.checksum)) {
            bool known = false;
            std::string names;
            for (const char* const* name = kChecksums; *name != nullptr; ++name) {
                known = known || opts.checksum == *name;
                names += std::string(names.empty() ? "" : ", ") + *name;
            }
            if (!known)
                UsageError("--checksum takes " + names + ", not '" + opts.checksum + "'");
        } else if (arg == "--dry-run") {
            opts.dryRun = true;
        } else if (arg == "--allow-unclosed-quote") {
            allowUnclosedQuote = true;
        } else if (arg == "--keep-errors") {
            opts.keepErrors = true;
        } else if (TakeValue(argc, argv, i, "--user", user)) {
        } else if (TakeValue(argc, argv, i, "--pipe-user", value)) {
            pipeUsers.emplace_back(pipes.empty() ? 1 : pipes.size(), value);
        } else if (TakeValue(argc, argv, i, "--input", opts.input)) {
            if (opts.input.empty())
                UsageError("--input needs a file name");
        } else if (TakeValue(argc, argv, i, "--output", opts.output)) {
            if (opts.output.empty())
                UsageError("--output needs a file name or -");
        } else if (TakeValue(argc, argv, i, "--error-key", opts.errorKey)) {
            if (opts.errorKey.empty())
                UsageError("--error-key needs a non-empty key");
        } else if (TakeValue(argc, argv, i, "--pipe-to", value)) {
            if (value.find_first_not_of(' ') == std::string::npos)
                UsageError("--pipe-to needs a command line");
            pipes.push_back({value, std::string()});
        } else if (TakeValue(argc, argv, i, "--timeout", value)) {
            // Above a year it is a typo, and the clock arithmetic stays far from overflow.
            if (!ParseDuration(value, 366.0 * 24 * 3600, &opts.timeoutSeconds) || opts.timeoutSeconds == 0)
                UsageError("--timeout needs a duration above 0 (90, 1.5m, 2h, 1d), not '" + value + "'");
        } else if (TakeValue(argc, argv, i, "--grace", value)) {
            // In milliseconds it must fit an int; a grace of more than a day is a typo.
            if (!ParseDuration(value, 24.0 * 3600, &opts.graceSeconds))
                UsageError("--grace needs a duration from 0 to 1d (10, 30s, 2m), not '" + value + "'");
        } else if (arg == "--no-new-privileges") {
            opts.launch.noNewPrivileges = true;
        } else if (arg == "--low-impact") {
            opts.launch.nice = 19;
            opts.launch.ioClass = MySqlChildProcess::LaunchOptions::IoClass::Idle;
        } else if (TakeValue(argc, argv, i, "--nice", value)) {
            double nice = 0;
            if (!ParseNumber(value, -20, 19, &nice) || nice != static_cast<int>(nice))
                UsageError("--nice needs a whole number from -20 to 19, not '" + value + "'");
            opts.launch.nice = static_cast<int>(nice);
        } else if (TakeValue(argc, argv, i, "--io-class", value)) {
            ParseIoClass(value, opts.launch);
        } else if (TakeValue(argc, argv, i, "--limit", value)) {
            opts.launch.limits.push_back(ParseLimit(value, opts.launch.limits));
        } else if (TakeValue(argc, argv, i, "--cgroup", opts.launch.cgroup)) {
            if (opts.launch.cgroup.empty())
                UsageError("--cgroup needs a cgroup v2 folder");
        } else if (TakeValue(argc, argv, i, "--env", value)) {
            if (value == "inherit")
                opts.env = EnvMode::Inherit;
            else if (value == "system")
                opts.env = EnvMode::System;
            else if (value == "base")
                opts.env = EnvMode::Base;
            else
                UsageError("--env must be inherit, system or base, not '" + value + "'");
        } else {
            UnknownOption(arg, !positional.empty());
        }
    }
    if (positional.empty())
        UsageError("no command line given");
    if (positional.size() > 1)
        UsageError("give the command line as one argument (quote it); got " + std::to_string(positional.size()) +
                   " arguments starting with '" + positional[0] + "' '" + positional[1] + "'");
    if (positional[0].find_first_not_of(' ') == std::string::npos)
        UsageError("the command line is empty");
    if (!pipeUsers.empty() && pipes.empty())
        UsageError("--pipe-user needs --pipe-to");
    opts.stages.push_back({positional[0], user});
    for (StageSpec& pipe : pipes) {
        pipe.user = user;
        opts.stages.push_back(pipe);
    }
    for (const auto& given : pipeUsers) {
        for (const auto& other : pipeUsers)
            if (&other != &given && other.first == given.first)
                UsageError("--pipe-user is given twice for --pipe-to number " + std::to_string(given.first));
        opts.stages[given.first].user = given.second;
    }
    for (size_t i = 0; i < opts.stages.size(); ++i) {
        const std::string what = i == 0 ? "the command line" : "--pipe-to number " + std::to_string(i);
        if (opts.stages[i].command.size() >= static_cast<size_t>(LibMySqlProcess::kCommandLineSize))
            UsageError(what + " is longer than " + std::to_string(LibMySqlProcess::kCommandLineSize - 1) +
                       " characters");
        if (!allowUnclosedQuote)
            CheckQuotes(opts.stages[i].command, what.c_str());
    }
    if (opts.input == "-" && stdinClosed)
        UsageError("--input -: standard input is closed");
    return opts;
}

}  // namespace mysqlchild
