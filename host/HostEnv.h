#pragma once

// Configuration of the stand-in host, read from the environment afresh at
// every use so that a test can change it between cases. Internal to the host
// libraries; getenv takes no lock, so these are safe in a forked child.

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace hxhost {

inline const char* EnvOr(const char* name, const char* fallback)
{
    const char* value = getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : fallback;
}

inline int64_t EnvInt(const char* name, int64_t fallback)
{
    const char* value = getenv(name);
    if (value == nullptr || value[0] == '\0')
        return fallback;
    int saved = errno;
    errno = 0;
    char* end = nullptr;
    long long parsed = strtoll(value, &end, 10);
    bool ok = errno == 0 && end != value && *end == '\0';
    errno = saved;
    return ok ? static_cast<int64_t>(parsed) : fallback;
}

constexpr const char* kDefaultDebugLog = "/tmp/hx_debug.log";
constexpr int kDefaultDebugLevel = 5;
constexpr const char* kDefaultJobResultsDir = "/tmp/hx_job_results";
constexpr const char* kDefaultBaseHome = "/opt/hx";

}  // namespace hxhost
