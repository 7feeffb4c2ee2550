#include "child_process/Reaper.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <new>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace LibMySqlProcess {

// The adopted children, a list through the slots their launches set aside.
struct AdoptionSlot {
    pid_t pid = -1;
    int pidfd = -1;
    AdoptionSlot* next = nullptr;
};

namespace {

struct AdoptedChildren {
    std::mutex mutex;
    AdoptionSlot* first = nullptr;
};

// Never destroyed: an object may be destroyed during the process's exit,
// after the static objects are gone.
AdoptedChildren& Children()
{
    static AdoptedChildren* children = new AdoptedChildren;
    return *children;
}

}  // namespace

AdoptionSlot* NewAdoptionSlot()
{
    Children();  // made now, while memory is at hand, not in a destructor
    return new (std::nothrow) AdoptionSlot;
}

void FreeAdoptionSlot(AdoptionSlot* slot)
{
    delete slot;
}

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

void AdoptRunningChild(AdoptionSlot* slot, pid_t pid, int pidfd)
{
    AdoptedChildren& all = Children();
    slot->pid = pid;
    slot->pidfd = pidfd;
    std::lock_guard<std::mutex> lock(all.mutex);
    slot->next = all.first;
    all.first = slot;
}

void ReapEndedChildren()
{
    AdoptedChildren& all = Children();
    std::lock_guard<std::mutex> lock(all.mutex);
    for (AdoptionSlot** at = &all.first; *at != nullptr;) {
        AdoptionSlot* child = *at;
        if (!ReapIfEnded(child->pid, child->pidfd)) {
            at = &child->next;
            continue;
        }
        if (child->pidfd >= 0)
            close(child->pidfd);
        *at = child->next;
        delete child;
    }
}

}  // namespace LibMySqlProcess
