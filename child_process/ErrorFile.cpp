#include "child_process/ErrorFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace LibMySqlProcess {

namespace {

constexpr int kSafeOpen = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// fd if it is a regular file; otherwise closes it and fails with EINVAL (or
// what fstat said).
int OnlyRegular(int fd, struct stat& st)
{
    if (fd < 0)
        return -1;
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    if (err == 0)
        return fd;
    close(fd);
    errno = err;
    return -1;
}

}  // namespace

int KeepOffStandardStreams(int fd)
{
    if (fd < 0 || fd >= 3)
        return fd;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int err = errno;
    close(fd);
    errno = err;
    return high;
}

int PrecreateErrorFile(int folder, const char* name, bool giveToUser, uid_t uid, gid_t gid, int* err)
{
    const int saved = errno;
    *err = 0;
    int fd = openat(folder, name, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd < 0)
        *err = errno;
    // A file the user cannot write would fail the tool's start.
    if (fd >= 0 && giveToUser && fchown(fd, uid, gid) != 0) {
        *err = errno;
        unlinkat(folder, name, 0);
        close(fd);
        fd = -1;
    }
    fd = KeepOffStandardStreams(fd);
    if (fd < 0 && *err == 0)
        *err = errno;
    errno = saved;
    return fd;
}

int OpenErrorFileForTool(int folder, const char* name)
{
    struct stat st;
    int fd = -1;
    // Appended to when it exists, else created; a file made by someone else
    // between the two opens is taken as existing.
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        fd = openat(folder, name, O_WRONLY | O_APPEND | kSafeOpen);
        if (fd < 0 && errno == ENOENT)
            fd = openat(folder, name, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | kSafeOpen, 0660);
        if (fd < 0 && errno != EEXIST)
            return -1;
    }
    if (OnlyRegular(fd, st) < 0)
        return -1;
    // A file already there belongs to the tool's user or to root. One that a
    // third account planted under the predictable name, in a folder it could
    // write, would hand that account the tool's error output.
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    // Non-blocking mode only guarded the open; the tool gets a plain file.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

int OpenErrorFileForReading(int folder, const char* name, off_t* size)
{
    struct stat st;
    const int fd = OnlyRegular(openat(folder, name, O_RDONLY | kSafeOpen), st);
    if (fd >= 0)
        *size = st.st_size;
    return fd;
}

}  // namespace LibMySqlProcess
