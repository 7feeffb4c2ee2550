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

// 0 when path may be run as root: see the header.
int Check(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode) || (st.st_mode & S_IXUSR) == 0)
        return EACCES;
    if (!OwnedSafely(st))
        return EPERM;
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    struct stat dir {};
    if (stat(folder.c_str(), &dir) != 0)
        return errno;
    const bool sticky = (dir.st_mode & S_ISVTX) != 0;
    if ((dir.st_uid != 0 && dir.st_uid != geteuid()) || (!sticky && (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0))
        return EPERM;
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
