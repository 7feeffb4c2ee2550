#include "child_process/JobFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "child_process/ErrorFile.h"

namespace LibMySqlProcess {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit in one resolution

class Dir {
public:
    explicit Dir(int fd = -1) : m_fd(fd) {}
    ~Dir()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd)
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

bool RootsOrOurs(uid_t uid)
{
    return uid == 0 || uid == geteuid();
}

// A folder no account but root and the caller can change.
bool Safe(const struct stat& st)
{
    if (!RootsOrOurs(st.st_uid))
        return false;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    // Others may make entries in root's sticky folder, not replace ours.
    return (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0;
}

int Fail(int err, std::string& why, const std::string& text)
{
    why = text;
    errno = err;
    return -1;
}

void Push(const std::string& text, std::vector<std::string>& pending)
{
    std::vector<std::string> parts;
    for (size_t i = 0; i <= text.size();) {
        size_t end = text.find('/', i);
        if (end == std::string::npos)
            end = text.size();
        const std::string part = text.substr(i, end - i);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        i = end + 1;
    }
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

}  // namespace

int OpenJobFolder(const std::string& path, std::string& why)
{
    const bool absolute = !path.empty() && path[0] == '/';
    Dir dir(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return Fail(errno, why, strerror(errno));
    std::string shown = absolute ? "" : ".";
    struct stat st {};
    if (fstat(dir.get(), &st) != 0)
        return Fail(errno, why, strerror(errno));
    if (!Safe(st))
        return Fail(EPERM, why, "the folder " + (absolute ? std::string("/") : shown) +
                                    " can be changed by another account than root and the caller");
    std::vector<std::string> pending;
    Push(path, pending);
    int links = 0;
    while (!pending.empty()) {
        const std::string name = pending.back();
        pending.pop_back();
        const std::string here = shown + "/" + name;
        int fd = openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT && name != "..") {
            if (mkdirat(dir.get(), name.c_str(), 0755) != 0 && errno != EEXIST)
                return Fail(errno, why, "mkdir [" + here + "]: " + strerror(errno));
            fd = openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        }
        if (fd < 0)
            return Fail(errno, why, here + ": " + strerror(errno));
        Dir node(fd);
        if (fstat(node.get(), &st) != 0)
            return Fail(errno, why, here + ": " + strerror(errno));
        if (S_ISLNK(st.st_mode)) {
            if (!RootsOrOurs(st.st_uid))
                return Fail(EPERM, why, "the link " + here + " belongs to another account (uid " +
                                            std::to_string(st.st_uid) + ") and is not followed");
            if (++links > kMaxLinks)
                return Fail(ELOOP, why, here + ": " + strerror(ELOOP));
            char target[PATH_MAX];
            const ssize_t n = readlinkat(node.get(), "", target, sizeof target);
            if (n <= 0 || static_cast<size_t>(n) == sizeof target)
                return Fail(n < 0 ? errno : ENAMETOOLONG, why, here + ": the link cannot be read");
            const std::string text(target, static_cast<size_t>(n));
            if (text[0] == '/') {
                dir.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (dir.get() < 0)
                    return Fail(errno, why, strerror(errno));
                shown = "";
            }
            Push(text, pending);
            continue;
        }
        if (!S_ISDIR(st.st_mode))
            return Fail(ENOTDIR, why, here + ": " + strerror(ENOTDIR));
        if (!Safe(st)) {
            char mode[8];
            snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            return Fail(EPERM, why, "the folder " + here + " can be changed by another account than root and the " +
                                        "caller (uid " + std::to_string(st.st_uid) + ", mode " + mode + ")");
        }
        dir.reset(node.release());
        shown = here;
    }
    const int folder = KeepOffStandardStreams(dir.release());
    if (folder < 0)
        return Fail(errno, why, strerror(errno));
    return folder;
}

}  // namespace LibMySqlProcess
