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
#include <fstream>
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

// The control group's line in /proc/self/cgroup ("0::/path\n"): its
// resolved path within the cgroup v2 mount that holds it, as that mount's
// root names it. 0, or the errno.
int CgroupLineOf(const std::string& folder, std::string& line)
{
    std::unique_ptr<char, void (*)(void*)> real(realpath(folder.c_str(), nullptr), free);
    if (real == nullptr)
        return errno;
    const std::string path = real.get();
    std::ifstream mounts("/proc/self/mountinfo");
    std::string entry, bestPoint, bestRoot;
    while (std::getline(mounts, entry)) {
        // id parent major:minor root point options... - type source options
        char root[PATH_MAX], point[PATH_MAX], type[64];
        const size_t dash = entry.find(" - ");
        if (dash == std::string::npos ||
            sscanf(entry.c_str(), "%*s %*s %*s %4095s %4095s", root, point) != 2 ||
            sscanf(entry.c_str() + dash + 3, "%63s", type) != 1 || strcmp(type, "cgroup2") != 0)
            continue;
        const std::string p = point;
        const bool inside = path == p || (path.compare(0, p.size(), p) == 0 && (p == "/" || path[p.size()] == '/'));
        if (inside && p.size() >= bestPoint.size()) {
            bestPoint = p;
            bestRoot = root;
        }
    }
    if (bestPoint.empty())
        return EINVAL;
    std::string rest = bestPoint == "/" ? path : path.substr(bestPoint.size());
    std::string relative = bestRoot == "/" ? (rest.empty() ? "/" : rest) : bestRoot + rest;
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
