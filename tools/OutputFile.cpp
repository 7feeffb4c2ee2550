#include "tools/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace mysqlchild {

int OpenUnlessStopped(const char* path, int flags, StopCheck stopped, int* stopSignal)
{
    for (;;) {
        const int fd = open(path, flags);
        if (fd >= 0 || errno != EINTR)
            return fd;
        const int sig = stopped();
        if (sig != 0) {
            *stopSignal = sig;
            errno = EINTR;
            return -1;
        }
    }
}

int OutputFile::Open(const std::string& given, StopCheck stopped, int* stopSignal)
{
    std::string path = given;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // A link that another account planted in a shared folder would
        // send the backup wherever it points: only ours and root's are
        // followed. The file it leads to is the one replaced, not the
        // link (/dev/stdout must stay a link).
        if (st.st_uid != geteuid() && st.st_uid != 0) {
            errno = EPERM;
            return -1;
        }
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved) != nullptr)
            path = resolved;
    }
    m_path = path;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        m_fd = OpenUnlessStopped(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC, stopped, stopSignal);
        return m_fd;
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = folder + "/." + name + ".mysqlchild-XXXXXX";
    m_fd = mkostemp(&temp[0], O_CLOEXEC);
    if (m_fd < 0)
        return -1;
    m_tempPath = temp;
    m_folder = folder;
    // mkostemp asks for 0600 but the umask may take more away; the file
    // is ours alone either way, and readable by us.
    fchmod(m_fd, 0600);
    return m_fd;
}

bool OutputFile::Commit(std::string& error)
{
    if (m_fd < 0)
        return true;
    const bool temporary = !m_tempPath.empty();
    if (temporary && fsync(m_fd) != 0) {
        error = std::string("syncing the output file failed: ") + strerror(errno);
        return false;
    }
    const int fd = m_fd;
    m_fd = -1;
    if (close(fd) != 0) {
        error = std::string("closing the output file failed: ") + strerror(errno);
        return false;
    }
    if (!temporary)
        return true;
    if (rename(m_tempPath.c_str(), m_path.c_str()) != 0) {
        error = "renaming " + m_tempPath + " to " + m_path + " failed: " + strerror(errno);
        return false;
    }
    m_tempPath.clear();
    const int dir = open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);  // best effort: the file itself is complete on disk
        close(dir);
    }
    return true;
}

void OutputFile::Discard()
{
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.empty()) {
        unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
}

}  // namespace mysqlchild
