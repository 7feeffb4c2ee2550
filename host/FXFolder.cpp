#include "host/FXFolder.h"

#include <sys/stat.h>

#include <cerrno>

bool FXFolder::DoesFolderExist(const std::string& path)
{
    const int savedErrno = errno;
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    errno = savedErrno;
    return exists;
}

CKoError FXFolder::CreateFoldersIteratively(const std::string& path, _SECURITY_ATTRIBUTES*)
{
    if (path.empty())
        return CKoError::FromErrno(ENOENT, "cannot create an empty folder path");
    // Walk the path, creating each missing level; a level that already exists
    // (also one made meanwhile by another process) is fine when it is a folder.
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string level = path.substr(0, pos);
        if (level.empty() || level == "/")
            continue;
        // 0755 at most, whatever the umask: the job folders hold every
        // tool's error file, and an agent started with umask 0 must not
        // leave them writable by every account.
        if (mkdir(level.c_str(), 0755) != 0) {
            int err = errno;
            if (err == EEXIST) {
                // Something is there: a folder will do; anything else, or a
                // look that failed, says why not.
                struct stat st {};
                if (stat(level.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    continue;
                err = errno == EEXIST ? ENOTDIR : errno;
            }
            return CKoError::FromErrno(err, "mkdir [" + level + "]");
        }
    }
    return CKoError(0);
}
