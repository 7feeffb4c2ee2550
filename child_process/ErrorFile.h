#pragma once

#include <sys/types.h>

#include <string>

namespace LibMySqlProcess {

// The error file lives in a job folder that the impersonated account (often
// the database server's own) may reach, while the library runs as root. So
// every open of it goes through the job folder's descriptor (see
// JobFolder.h: no folder on the way can be swapped later), refuses a final
// symbolic link, never waits on a FIFO and accepts only a regular file;
// anything else fails with ELOOP, ENXIO or EINVAL.

// fd itself when it is 3 or above; otherwise a close-on-exec copy there, the
// original closed (-1 with errno when no copy could be made). The child's
// redirections overwrite 0-2, so what the parent hands over must not sit
// there, as a daemon started with them closed would have it.
int KeepOffStandardStreams(int fd);

// Parent side, before the fork: creates the file when it does not exist yet
// and hands it to the user the tool will run as, so that the tool appends to
// a file of its own in a folder that stays closed to it. Returns the open
// file (close-on-exec, 3 or above), which the child takes as its standard
// error instead of opening the path again: nothing can be swapped in
// between. -1 with *err when the file could not be made: EEXIST (a name
// already taken) leaves it to the child's own open, which appends to a file
// of the user's or root's; any other errno is the start-up's failure (a second
// try as the user, in a folder the user may not write, would only hide it).
int PrecreateErrorFile(int folder, const char* name, bool giveToUser, uid_t uid, gid_t gid, int* err);

// Child side, the tool's standard error: appends to an existing file, else
// creates it 0660 (less the umask). Only a regular file (else EINVAL, ELOOP
// or ENXIO) owned by the caller's effective user or by root (else EPERM).
// System calls only, no allocation, so that it is safe between fork and exec.
// A descriptor, or -1 with errno set.
int OpenErrorFileForTool(int folder, const char* name);

// Parent side, for reading it back; *size gets its size. A descriptor, or -1
// with errno set.
int OpenErrorFileForReading(int folder, const char* name, off_t* size);

}  // namespace LibMySqlProcess
