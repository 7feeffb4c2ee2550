#include "child_process/StartupWait.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace LibMySqlProcess {

namespace {

// True when the child is stopped; the stop stays reportable to whoever else
// waits for it.
bool IsStopped(pid_t pid, int& signal)
{
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOHANG | WNOWAIT) != 0)
        return false;
    if (info.si_pid != pid || info.si_code != CLD_STOPPED)
        return false;
    signal = info.si_status;
    return true;
}

}  // namespace

StartupResult AwaitStartup(int reportFd, pid_t pid, bool confirmationDue)
{
    StartupResult result;
    // Woken only when the last write end has closed (the exec, or the end of
    // a child that failed), not by each record: the helper's confirmation
    // would otherwise cost the launching thread a second wake-up.
    for (;;) {
        pollfd p{reportFd, 0, 0};
        const int ready = poll(&p, 1, kStopCheckMs);
        if (ready > 0 || (ready < 0 && errno != EINTR))
            break;
        if (ready == 0 && IsStopped(pid, result.stopSignal)) {
            result.kind = StartupResult::Stopped;
            return result;
        }
    }
    // At most a confirmation and a failure arrive; room for one more shows
    // anything else.
    StartupReport records[3];
    size_t got = 0;
    for (;;) {
        char* into = reinterpret_cast<char*>(records) + got;
        const ssize_t n = read(reportFd, into, sizeof records - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || (got += static_cast<size_t>(n)) == sizeof records)
            break;
    }

    bool confirmed = false;
    for (size_t i = 0; i < got / sizeof(StartupReport); ++i) {
        const StartupReport& r = records[i];
        if (r.magic != kReportMagic)
            continue;
        if (r.exitCode == 0) {
            confirmed = true;
        } else {
            result.kind = StartupResult::Failed;
            result.report = r;
        }
    }
    if (result.kind == StartupResult::Started && confirmationDue && !confirmed)
        result.kind = StartupResult::Unconfirmed;
    return result;
}

}  // namespace LibMySqlProcess
