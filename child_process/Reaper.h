#pragma once

#include <sys/types.h>

namespace LibMySqlProcess {

// Children whose object was destroyed while they still ran. Nobody else will
// wait for them, so the library does, without blocking: every launch and
// every destruction reaps those that have ended since. No zombie outlives the
// next launch or destruction after its end.
//
// Taking a child over must not allocate (it happens in a destructor, where a
// failed allocation could only end the agent), so each launch sets aside the
// record it may need beforehand.
struct AdoptionSlot;

// A record for one child, or null when there is no memory for it.
AdoptionSlot* NewAdoptionSlot();
void FreeAdoptionSlot(AdoptionSlot* slot);

// True when the child has ended and is now reaped, or is no longer ours to
// reap (another part of the host reaped it: ECHILD); false while it runs.
bool ReapIfEnded(pid_t pid, int pidfd);

// Takes over a running child and its pid descriptor (or -1), in the slot set
// aside for it, which the reaper owns from now on.
void AdoptRunningChild(AdoptionSlot* slot, pid_t pid, int pidfd);

void ReapEndedChildren();

}  // namespace LibMySqlProcess
