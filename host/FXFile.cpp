#include "host/FXFile.h"

#include <sys/stat.h>

#include <cerrno>

bool FXFile::DoesFileExist(const std::string& path)
{
    const int savedErrno = errno;
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    errno = savedErrno;
    return exists;
}
