#include "child_process/Reaper.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace LibMySqlProcess {

namespace {

struct Adopted {
    pid_t pid;
    int pidfd;
};

struct AdoptedChildren {
    std::mutex mutex;
    std::vector<Adopted> children;
};

// Never destroyed: an object may be destroyed during the process's exit,
// after the static objects are gone.
AdoptedChildren& Children()
{
    static AdoptedChildren* children = new AdoptedChildren;
    return *children;
}

}  // namespace

bool ReapIfEnded(pid_t pid, int pidfd)
{
    const int saved = errno;
    int rc = -1;
    if (pidfd >= 0) {
        siginfo_t info{};
        do {
            rc = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG);
        } while (rc < 0 && errno == EINTR);
        if (rc == 0 || errno == ECHILD) {
            errno = saved;
            return rc != 0 || info.si_pid != 0;
        }
        // A kernel that opens pid descriptors but cannot wait on them (5.3)
        // says EINVAL: the pid still names the unreaped child, so wait by it.
    }
    int status = 0;
    do {
        rc = waitpid(pid, &status, WNOHANG);
    } while (rc < 0 && errno == EINTR);
    errno = saved;
    return rc != 0;
}

void AdoptRunningChild(pid_t pid, int pidfd)
{
    AdoptedChildren& all = Children();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.children.push_back(Adopted{pid, pidfd});
}

void ReapEndedChildren()
{
    AdoptedChildren& all = Children();
    std::lock_guard<std::mutex> lock(all.mutex);
    for (size_t i = 0; i < all.children.size();) {
        const Adopted child = all.children[i];
        if (!ReapIfEnded(child.pid, child.pidfd)) {
            ++i;
            continue;
        }
        if (child.pidfd >= 0)
            close(child.pidfd);
        all.children[i] = all.children.back();
        all.children.pop_back();
    }
}

}  // namespace LibMySqlProcess
