#include "tools/Chain.h"

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace mysqlchild {

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Rounded(double value, double step)
{
    return std::round(value / step) * step;
}

std::string HumanBytes(double bytes)
{
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 5) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[64];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string HumanDuration(double seconds)
{
    const long long s = seconds > 0 ? static_cast<long long>(seconds + 0.5) : 0;
    char text[64];
    if (s >= 3600)
        snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

uint64_t BytesMoved(const std::vector<std::unique_ptr<Stage>>& stages)
{
    uint64_t most = 0;
    for (const auto& stage : stages) {
        most = std::max<uint64_t>(most, stage->bytesIn.load());
        most = std::max<uint64_t>(most, stage->bytesOut.load());
    }
    return most;
}

void OwnCpuSeconds(double* user, double* system, bool thread)
{
    rusage usage{};
    getrusage(thread ? RUSAGE_THREAD : RUSAGE_SELF, &usage);
    *user = static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
    *system = static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) * 1e-6;
}

}  // namespace mysqlchild
