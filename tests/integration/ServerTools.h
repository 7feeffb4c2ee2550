#pragma once

// What both integration programs need: the tools found where packages put
// them, the test server's description, and a program run to its end.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace integration {

inline std::string Trim(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

inline bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The library runs programs by their full path, never through PATH.
inline std::string FindTool(std::initializer_list<const char*> names)
{
    for (const char* name : names)
        for (const char* dir : {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/mysql/bin", "/opt/mysql/bin"}) {
            const std::string path = std::string(dir) + "/" + name;
            if (access(path.c_str(), X_OK) == 0)
                return path;
        }
    return std::string();
}

// DIR/server.info, written by scripts/mariadb-server, as name -> value;
// empty when there is none.
inline std::map<std::string, std::string> ServerInfoValues(const std::string& dir)
{
    std::map<std::string, std::string> values;
    const std::string text = testsupport::ReadFile(dir + "/server.info");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
            value = value.substr(1, value.size() - 2);
        values[line.substr(0, eq)] = value;
    }
    return values;
}

// The exit code a shell would show: the code, or 128 + signal.
inline int ShellCode(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// A program run directly, for reference: argv spelled out, no splitting.
struct Direct {
    int status = -1;  // -1: it could not be started, or ran past the deadline
    std::string out;
    std::string err;
    int code() const { return status == -1 ? -1 : ShellCode(status); }
};

// Its output goes to files, not pipes: a server the program starts keeps
// its inherited descriptors open long after the program has ended.
inline Direct RunDirect(const std::vector<std::string>& args, const std::string& inputPath = "/dev/null")
{
    Direct result;
    testsupport::TempDir logs;
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inputPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (logs / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (logs / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        result.err = std::string("posix_spawn ") + args[0] + ": " + strerror(rc);
        return result;
    }
    const int status = testsupport::WaitWithDeadline(pid, 300);
    result.status = status < 0 ? -1 : status;
    result.out = testsupport::ReadFile(logs / "out");
    result.err = testsupport::ReadFile(logs / "err");
    return result;
}

}  // namespace integration
