#include "child_process/LaunchHelperPath.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

namespace LibMySqlProcess {

namespace {

// Function-local, so that a program may set the path while its own statics
// are constructed, whatever order they come in.
struct Override {
    std::mutex mutex;
    std::string path;
};

Override& TheOverride()
{
    static Override override;
    return override;
}

// The folder of the file that holds this code: the shared library, or the
// program that linked its objects. Found once: it cannot move.
const std::string& OwnFolder()
{
    static const std::string folder = [] {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&FindLaunchHelper), &info) == 0 || info.dli_fname == nullptr)
            return std::string();
        char resolved[PATH_MAX];
        if (realpath(info.dli_fname, resolved) == nullptr)
            return std::string();
        std::string path = resolved;
        const size_t slash = path.rfind('/');
        return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
    }();
    return folder;
}

bool OwnedSafely(const struct stat& st)
{
    const uid_t us = geteuid();
    return (st.st_uid == 0 || st.st_uid == us) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A folder nobody but root or the caller can change: theirs, and writable by
// others only where the sticky bit keeps them from renaming what is not
// theirs.
bool FolderKeptSafe(const struct stat& dir)
{
    const bool sticky = (dir.st_mode & S_ISVTX) != 0;
    return (dir.st_uid == 0 || dir.st_uid == geteuid()) && (sticky || (dir.st_mode & (S_IWGRP | S_IWOTH)) == 0);
}

// 0 when path may be run as root (see the header); path is then the
// helper's own, with no link in it, which is what the child executes. Every
// folder up to the root is checked, not only the helper's: whoever can
// rename a folder above it can put a folder of their own in its place
// between this check and the exec.
int Check(std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    char real[PATH_MAX];
    if (realpath(folder.c_str(), real) == nullptr)
        return errno;
    std::string dir = real;
    const std::string resolved = (dir == "/" ? dir : dir + "/") + name;
    struct stat st {};
    if (lstat(resolved.c_str(), &st) != 0)
        return errno;
    // A link is not followed: it would lead to a file chosen by whoever may
    // change the link's target folder, which is not checked here.
    if (S_ISLNK(st.st_mode))
        return ELOOP;
    if (!S_ISREG(st.st_mode) || (st.st_mode & S_IXUSR) == 0)
        return EACCES;
    if (!OwnedSafely(st))
        return EPERM;
    for (;;) {
        struct stat d {};
        if (stat(dir.c_str(), &d) != 0)
            return errno;
        if (!FolderKeptSafe(d))
            return EPERM;
        if (dir == "/")
            break;
        const size_t up = dir.rfind('/');
        dir = up == 0 ? "/" : dir.substr(0, up);
    }
    path = resolved;
    return 0;
}

}  // namespace

void SetLaunchHelperPath(const std::string& path)
{
    Override& o = TheOverride();
    std::lock_guard<std::mutex> lock(o.mutex);
    o.path = path;
}

int FindLaunchHelper(std::string& path)
{
    {
        Override& o = TheOverride();
        std::lock_guard<std::mutex> lock(o.mutex);
        if (!o.path.empty()) {
            path = o.path;
            return Check(path);
        }
    }
    const std::string& folder = OwnFolder();
    if (folder.empty()) {
        path = MYSQLPROCESS_HELPER_NAME;
        return ENOENT;
    }
    const std::string beside = folder + "/" MYSQLPROCESS_HELPER_NAME;
    const std::string installedDir = MYSQLPROCESS_HELPER_INSTALLED_DIR;
    const std::string installed =
        (installedDir[0] == '/' ? installedDir : folder + "/" + installedDir) + "/" MYSQLPROCESS_HELPER_NAME;
    struct stat st {};
    path = stat(beside.c_str(), &st) == 0 ? beside : installed;
    return Check(path);
}

}  // namespace LibMySqlProcess
