#include "child_process/LaunchOptions.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>

#include "child_process/ErrorFile.h"
#include "child_process/Log.h"
#include "child_process/NoMemory.h"

namespace LibMySqlProcess {

namespace {

using Options = MySqlChildProcess::LaunchOptions;

// The kernel's I/O priority classes (linux/ioprio.h).
constexpr int kIoprioClassShift = 13;
int IoClassValue(Options::IoClass c)
{
    switch (c) {
    case Options::IoClass::Realtime:
        return 1;
    case Options::IoClass::BestEffort:
        return 2;
    case Options::IoClass::Idle:
        return 3;
    case Options::IoClass::Inherit:
        break;
    }
    return 0;
}

// The whole of a small /proc file, or "" when it cannot be read.
std::string ProcFile(const char* path)
{
    std::string text;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char block[16384];
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            text.append(block, static_cast<size_t>(n));
    close(fd);
    return text;
}

// The n-th space-separated field of a line (from 0), or "".
std::string Field(const std::string& line, int n)
{
    size_t start = 0;
    for (int i = 0; i < n && start != std::string::npos; ++i) {
        start = line.find(' ', start);
        if (start != std::string::npos)
            ++start;
    }
    if (start == std::string::npos)
        return "";
    return line.substr(start, line.find(' ', start) - start);
}

// The control group's line in /proc/self/cgroup ("0::/path\n"): its
// resolved path within the cgroup v2 mount that holds it, as that mount's
// root names it. 0, or the errno.
int CgroupLineOf(const std::string& folder, std::string& line)
{
    std::unique_ptr<char, void (*)(void*)> real(realpath(folder.c_str(), nullptr), free);
    if (real == nullptr)
        return errno;
    const std::string path = real.get();
    const std::string mounts = ProcFile("/proc/self/mountinfo");
    std::string bestPoint, bestRoot;
    for (size_t at = 0; at < mounts.size();) {
        const size_t end = std::min(mounts.find('\n', at), mounts.size());
        const std::string entry = mounts.substr(at, end - at);
        at = end + 1;
        // id parent major:minor root point options... - type source options
        const size_t dash = entry.find(" - ");
        if (dash == std::string::npos || Field(entry.substr(dash + 3), 0) != "cgroup2")
            continue;
        const std::string point = Field(entry, 4);
        const bool inside =
            path == point || (path.compare(0, point.size(), point) == 0 && (point == "/" || path[point.size()] == '/'));
        if (inside && point.size() >= bestPoint.size()) {
            bestPoint = point;
            bestRoot = Field(entry, 3);
        }
    }
    if (bestPoint.empty())
        return EINVAL;
    const std::string rest = bestPoint == "/" ? path : path.substr(bestPoint.size());
    const std::string relative = bestRoot == "/" ? (rest.empty() ? "/" : rest) : bestRoot + rest;
    line = "0::" + relative + "\n";
    return line.size() < kMaxCgroupLine ? 0 : ENAMETOOLONG;
}

}  // namespace

int CheckLaunchOptions(const Options& o, std::string& why)
{
    if (o.nice != Options::kInherit && (o.nice < -20 || o.nice > 19)) {
        why = "nice [" + std::to_string(o.nice) + "]: from -20 to 19";
        return EINVAL;
    }
    const int ioClass = static_cast<int>(o.ioClass);
    if (ioClass < static_cast<int>(Options::IoClass::Inherit) || ioClass > static_cast<int>(Options::IoClass::Idle)) {
        why = "I/O class [" + std::to_string(ioClass) + "]: inherit, realtime, best-effort or idle";
        return EINVAL;
    }
    const bool leveled = o.ioClass == Options::IoClass::Realtime || o.ioClass == Options::IoClass::BestEffort;
    if (leveled && (o.ioLevel < 0 || o.ioLevel > 7)) {
        why = "I/O level [" + std::to_string(o.ioLevel) + "]: from 0 to 7";
        return EINVAL;
    }
    if (o.limits.size() > kMaxToolLimits) {
        why = "limits: at most one per resource";
        return EINVAL;
    }
    for (size_t i = 0; i < o.limits.size(); ++i) {
        const Options::Limit& l = o.limits[i];
        if (l.resource < 0 || l.resource >= RLIM_NLIMITS) {
            why = "limit of resource [" + std::to_string(l.resource) + "]: no such resource";
            return EINVAL;
        }
        if (l.soft > l.hard) {
            why = "limit of resource [" + std::to_string(l.resource) + "]: soft " + std::to_string(l.soft) +
                  " above hard " + std::to_string(l.hard);
            return EINVAL;
        }
        for (size_t j = 0; j < i; ++j) {
            if (o.limits[j].resource == l.resource) {
                why = "limit of resource [" + std::to_string(l.resource) + "]: given twice";
                return EINVAL;
            }
        }
    }
    if (!o.cgroup.empty()) {
        struct statfs fs {};
        struct stat st {};
        if (statfs(o.cgroup.c_str(), &fs) != 0 || stat(o.cgroup.c_str(), &st) != 0) {
            const int err = errno;
            why = "cgroup [" + o.cgroup + "]: " + strerror(err);
            return err;
        }
        if (fs.f_type != CGROUP2_SUPER_MAGIC || !S_ISDIR(st.st_mode)) {
            why = "cgroup [" + o.cgroup + "]: not a cgroup v2 folder";
            return EINVAL;
        }
        if (faccessat(AT_FDCWD, (o.cgroup + "/cgroup.procs").c_str(), W_OK, AT_EACCESS) != 0) {
            const int err = errno;
            why = "cgroup [" + o.cgroup + "]: " + strerror(err);
            return err;
        }
    }
    return 0;
}

int ToToolSettings(const Options& o, ToolSettings& s, int* cgroupDir, const char** what)
{
    s.nice = o.nice == Options::kInherit ? kSettingUnset : o.nice;
    s.ioPriority = o.ioClass == Options::IoClass::Inherit
                       ? -1
                       : IoClassValue(o.ioClass) << kIoprioClassShift |
                             (o.ioClass == Options::IoClass::Idle ? 0 : o.ioLevel);
    s.noNewPrivileges = o.noNewPrivileges ? 1 : 0;
    s.limitCount = static_cast<uint32_t>(o.limits.size());
    for (size_t i = 0; i < o.limits.size(); ++i)
        s.limits[i] = ToolLimit{o.limits[i].resource, 0, o.limits[i].soft, o.limits[i].hard};
    s.cgroupProcs = -1;
    s.cgroupLine[0] = '\0';
    *cgroupDir = -1;
    if (o.cgroup.empty())
        return 0;
    *what = "cgroup";
    std::string line;
    int err = CgroupLineOf(o.cgroup, line);
    if (err != 0)
        return err;
    memcpy(s.cgroupLine, line.c_str(), line.size() + 1);
    const int dir = KeepOffStandardStreams(open(o.cgroup.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir < 0)
        return errno;
    const int procs = KeepOffStandardStreams(openat(dir, "cgroup.procs", O_WRONLY | O_CLOEXEC));
    if (procs < 0) {
        err = errno;
        close(dir);
        return err;
    }
    *cgroupDir = dir;
    s.cgroupProcs = procs;
    return 0;
}

int MySqlChildProcess::SetLaunchOptions(const LaunchOptions& options)
{
    return FailingOnNoMemory(m_event, "MySqlChildProcess::SetLaunchOptions", m_lastErr, [&] {
        if (m_phase != Phase::Initialized) {
            MSCP_LOG(m_event, "SetLaunchOptions", "Launch options are set after Initialize and before the launch");
            m_lastErr = m_phase == Phase::Constructed ? EINVAL : EALREADY;
            return -1;
        }
        std::string why;
        const int err = CheckLaunchOptions(options, why);
        if (err != 0) {
            MSCP_LOG(m_event, "SetLaunchOptions", "Launch option refused: %s; errno=%d", why.c_str(), err);
            m_lastErr = err;
            errno = err;
            return -1;
        }
        m_options = options;
        return 0;
    });
}

}  // namespace LibMySqlProcess
