#include "tools/OutputFile.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace mysqlchild {

namespace {

// As the kernel's own limit on links in one resolution.
constexpr int kMaxLinks = 40;

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

int Fail(int err, std::string& why, const std::string& detail = std::string())
{
    why = strerror(err);
    if (!detail.empty())
        why += ": " + detail;
    errno = err;
    return -1;
}

std::string Join(const std::string& folder, const std::string& name)
{
    if (folder.empty())
        return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool OursOrRoots(uid_t uid)
{
    return uid == geteuid() || uid == 0;
}

const char* KindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "device";
    if (S_ISSOCK(mode))
        return "socket";
    return "file";
}

// Where a path leads: the folder that holds its final name, opened, and
// what that name holds, opened without following it (-1 when it holds
// nothing).
struct Resolved {
    Fd folder;
    std::string folderShown;
    std::string name;
    Fd node;
    struct stat st {};
    bool throughProc = false;  // reached through a /proc link: no name to replace
};

// True when text ends in a way that names a folder ("x/", "x/.", "..").
bool NamesFolder(const std::string& text)
{
    if (text.empty())
        return false;
    if (text.back() == '/')
        return true;
    const size_t slash = text.rfind('/');
    const std::string last = slash == std::string::npos ? text : text.substr(slash + 1);
    return last == "." || last == "..";
}

// Pushes the components of text onto pending, so that the first is taken
// next (pending is a stack).
void PushComponents(const std::string& text, std::vector<std::string>& pending)
{
    std::vector<std::string> parts;
    for (size_t i = 0; i < text.size();) {
        const size_t end = text.find('/', i) == std::string::npos ? text.size() : text.find('/', i);
        const std::string part = text.substr(i, end - i);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        i = end + 1;
    }
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

// Walks path one component at a time from the root or the working folder,
// as the kernel would, but checking the owner of every link on the way and
// reading it here, relative to the folder already opened.
int Resolve(const std::string& path, Resolved& out, std::string& why)
{
    if (path.empty())
        return Fail(ENOENT, why);
    const bool absolute = path[0] == '/';
    Fd dir(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return Fail(errno, why);
    std::string shown = absolute ? "/" : "";
    bool mustBeFolder = NamesFolder(path);
    std::vector<std::string> pending;
    PushComponents(path, pending);
    int links = 0;
    while (!pending.empty()) {
        const std::string name = pending.back();
        pending.pop_back();
        const bool last = pending.empty();
        if (name == "..") {
            const int up = openat(dir.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (up < 0)
                return Fail(errno, why, Join(shown, name));
            dir.reset(up);
            shown = Join(shown, name);
            continue;
        }
        Fd node(openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (node.get() < 0) {
            const int err = errno;
            if (err == ENOENT && last && !mustBeFolder) {
                out.folder.reset(dir.release());
                out.folderShown = shown;
                out.name = name;
                return 0;
            }
            return Fail(err, why, err == ENOENT ? std::string() : Join(shown, name));
        }
        if (fstat(node.get(), &st) != 0)
            return Fail(errno, why, Join(shown, name));
        if (S_ISLNK(st.st_mode)) {
            if (!OursOrRoots(st.st_uid))
                return Fail(EPERM, why,
                            "the link " + Join(shown, name) + " belongs to another account (uid " +
                                std::to_string(st.st_uid) + ") and is not followed");
            if (++links > kMaxLinks)
                return Fail(ELOOP, why);
            struct statfs fs {};
            if (fstatfs(node.get(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC) {
                // /proc/self/fd/N and its kind name an open file, not a
                // path: the kernel follows them. They are the kernel's, and
                // this one is ours or root's.
                node.reset(openat(dir.get(), name.c_str(), O_PATH | O_CLOEXEC));
                if (node.get() < 0 || fstat(node.get(), &st) != 0)
                    return Fail(errno, why, Join(shown, name));
                out.throughProc = last;
            } else {
                char text[PATH_MAX];
                const ssize_t n = readlinkat(node.get(), "", text, sizeof text);
                if (n < 0)
                    return Fail(errno, why, Join(shown, name));
                if (n == 0)
                    return Fail(ENOENT, why, Join(shown, name));
                if (static_cast<size_t>(n) == sizeof text)
                    return Fail(ENAMETOOLONG, why, Join(shown, name));
                const std::string target(text, static_cast<size_t>(n));
                if (last && NamesFolder(target))
                    mustBeFolder = true;
                if (target[0] == '/') {
                    dir.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                    if (dir.get() < 0)
                        return Fail(errno, why);
                    shown = "/";
                }
                PushComponents(target, pending);
                continue;
            }
        }
        if (S_ISDIR(st.st_mode) && !last) {
            dir.reset(node.release());
            shown = Join(shown, name);
            continue;
        }
        if (!last)
            return Fail(ENOTDIR, why, Join(shown, name));
        if (S_ISDIR(st.st_mode))
            return Fail(EISDIR, why);
        if (mustBeFolder)
            return Fail(ENOTDIR, why);
        out.folder.reset(dir.release());
        out.folderShown = shown;
        out.name = name;
        out.node.reset(node.release());
        out.st = st;
        return 0;
    }
    // Nothing left to name a file: the path names a folder ("/", "x/..").
    return Fail(EISDIR, why);
}

// Opens what r.node holds for reading or writing, through that descriptor:
// the file checked is the file opened. Without /proc it opens the name
// again, never following a link nor waiting for a FIFO, and compares.
int Reopen(const Resolved& r, int flags, StopCheck stopped, int* stopSignal, std::string& why)
{
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", r.node.get());
    Fd fd(OpenUnlessStopped(self, flags, stopped, stopSignal));
    if (fd.get() < 0 && errno == ENOENT && !r.throughProc) {
        fd.reset(openat(r.folder.get(), r.name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK));
        if (fd.get() >= 0 && fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0)
            return Fail(errno, why);
    }
    if (fd.get() < 0)
        return Fail(errno, why);
    struct stat st {};
    if (fstat(fd.get(), &st) != 0)
        return Fail(errno, why);
    if (st.st_dev != r.st.st_dev || st.st_ino != r.st.st_ino)
        return Fail(EAGAIN, why, Join(r.folderShown, r.name) + " was replaced while it was opened");
    return fd.release();
}

// A file that is not regular (or that cannot be replaced) is read or written
// in place only when it is the caller's or root's.
int CheckOwner(const Resolved& r, std::string& why)
{
    if (OursOrRoots(r.st.st_uid))
        return 0;
    return Fail(EPERM, why,
                std::string("the ") + KindOf(r.st.st_mode) + " " + Join(r.folderShown, r.name) +
                    " belongs to another account (uid " + std::to_string(r.st.st_uid) + ") and is not used");
}

// Letters for a temporary name no other run picks.
std::string RandomLetters(size_t count)
{
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::vector<unsigned char> bytes(count);
    if (getrandom(bytes.data(), count, GRND_NONBLOCK) != static_cast<ssize_t>(count)) {
        // Unique enough among the runs of this moment; O_EXCL decides.
        timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        unsigned long long x = static_cast<unsigned long long>(now.tv_nsec) * 2654435761ULL ^
                               static_cast<unsigned long long>(getpid()) << 20 ^
                               static_cast<unsigned long long>(now.tv_sec);
        for (auto& b : bytes) {
            x = x * 6364136223846793005ULL + 1442695040888963407ULL;
            b = static_cast<unsigned char>(x >> 56);
        }
    }
    std::string out;
    for (unsigned char b : bytes)
        out += kLetters[b % (sizeof kLetters - 1)];
    return out;
}

// ".NAME.mysqlchild-XXXXXXXX", NAME cut so that the whole fits NAME_MAX (and
// not inside a UTF-8 character).
std::string TemporaryName(const std::string& name)
{
    static const char kTag[] = ".mysqlchild-";
    constexpr size_t kRandom = 8;
    const size_t room = NAME_MAX - 1 - (sizeof kTag - 1) - kRandom;
    size_t keep = name.size();
    if (keep > room) {
        keep = room;
        while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
            --keep;
    }
    return "." + name.substr(0, keep) + kTag + RandomLetters(kRandom);
}

}  // namespace

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

int OpenInputFile(const std::string& path, StopCheck stopped, int* stopSignal, std::string& why)
{
    Resolved r;
    if (Resolve(path, r, why) != 0)
        return -1;
    if (r.node.get() < 0)
        return Fail(ENOENT, why);
    if (!S_ISREG(r.st.st_mode) && CheckOwner(r, why) != 0)
        return -1;
    return Reopen(r, O_RDONLY | O_NOCTTY | O_CLOEXEC, stopped, stopSignal, why);
}

OutputFile::~OutputFile()
{
    Discard();
    if (m_fd >= 0 && !m_borrowed)
        close(m_fd);
    if (m_folder >= 0)
        close(m_folder);
}

int OutputFile::Open(const std::string& path, StopCheck stopped, int* stopSignal, std::string& why)
{
    Resolved r;
    if (Resolve(path, r, why) != 0)
        return -1;
    // Our own standard output, by whatever name: replacing it would throw
    // away what the caller's redirection holds (>> log), and a new
    // description would not append. Only where the path leads by the links
    // the walk accepts: another account's link to it is refused like any
    // other.
    struct stat out {};
    if (r.node.get() >= 0 && fstat(1, &out) == 0 && r.st.st_dev == out.st_dev && r.st.st_ino == out.st_ino) {
        m_fd = 1;
        m_borrowed = true;
        return m_fd;
    }
    if (r.node.get() >= 0 && (r.throughProc || !S_ISREG(r.st.st_mode))) {
        if (CheckOwner(r, why) != 0)
            return -1;
        const int append = S_ISREG(r.st.st_mode) ? O_APPEND : 0;
        m_fd = Reopen(r, O_WRONLY | O_NOCTTY | O_CLOEXEC | append, stopped, stopSignal, why);
        return m_fd;
    }

    // A new file, or a regular one replaced: the temporary goes beside it,
    // in the folder already opened, which the rename also uses.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = TemporaryName(r.name);
        const int fd = openat(r.folder.get(), temp.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return Fail(errno, why);
        // Asked 0600, but the umask may have taken more away.
        struct stat st {};
        if (fchmod(fd, 0600) != 0 || fstat(fd, &st) != 0) {
            const int err = errno;
            unlinkat(r.folder.get(), temp.c_str(), 0);
            close(fd);
            return Fail(err, why);
        }
        m_fd = fd;
        m_folder = r.folder.release();
        m_folderShown = r.folderShown;
        m_name = r.name;
        m_tempName = temp;
        m_tempDev = st.st_dev;
        m_tempIno = st.st_ino;
        return m_fd;
    }
    return Fail(EEXIST, why);
}

bool OutputFile::Commit(std::string& error, StopCheck stopped, int* stopSignal)
{
    if (m_fd < 0 || m_borrowed)
        return true;
    const bool temporary = !m_tempName.empty();
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
    const std::string tempShown = Join(m_folderShown, m_tempName);
    struct stat st {};
    if (fstatat(m_folder, m_tempName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != m_tempDev ||
        st.st_ino != m_tempIno) {
        // Not ours to rename, nor to remove.
        m_tempName.clear();
        error = "the temporary file " + tempShown + " was removed or replaced before it could be renamed";
        return false;
    }
    const std::string companion = m_companionSuffix.empty() ? std::string() : m_name + m_companionSuffix;
    std::string companionTemp;
    if (!companion.empty() && !WriteCompanion(companion, companionTemp, error)) {
        Discard();
        return false;
    }
    auto dropCompanion = [&] {
        if (!companionTemp.empty())
            unlinkat(m_folder, companionTemp.c_str(), 0);
    };
    if (const int sig = stopped()) {
        *stopSignal = sig;
        dropCompanion();
        Discard();
        error = "stopped before it replaced " + Join(m_folderShown, m_name);
        return false;
    }
    // An earlier companion belongs to the FILE about to be replaced.
    if (!companion.empty() && unlinkat(m_folder, companion.c_str(), 0) != 0 && errno != ENOENT) {
        error = "cannot remove the earlier " + Join(m_folderShown, companion) + ": " + strerror(errno);
        dropCompanion();
        Discard();
        return false;
    }
    if (renameat(m_folder, m_tempName.c_str(), m_folder, m_name.c_str()) != 0) {
        // The output is whole and on disk; throwing it away would make
        // such a FILE impossible to write.
        error = "cannot replace " + Join(m_folderShown, m_name) + ": " + strerror(errno) +
                "; the finished output is kept as " + tempShown;
        dropCompanion();
        m_tempName.clear();
        return false;
    }
    m_tempName.clear();
    if (!companionTemp.empty() && renameat(m_folder, companionTemp.c_str(), m_folder, companion.c_str()) != 0) {
        m_companionError = "cannot put " + Join(m_folderShown, companion) + " in place: " + strerror(errno);
        dropCompanion();
    }
    const int dir = openat(m_folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);  // best effort: the file itself is complete on disk
        close(dir);
    }
    return true;
}

void OutputFile::AddCompanion(const std::string& suffix, const std::string& content)
{
    m_companionSuffix = suffix;
    m_companionContent = content;
}

// The companion's content under a temporary name of its own beside FILE,
// synced. False with the reason, nothing left behind.
bool OutputFile::WriteCompanion(const std::string& name, std::string& temp, std::string& error)
{
    if (name.size() > NAME_MAX) {
        error = "cannot write " + Join(m_folderShown, name) + ": " + strerror(ENAMETOOLONG);
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = TemporaryName(name);
        Fd fd(openat(m_folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
        if (fd.get() < 0 && errno == EEXIST)
            continue;
        const bool created = fd.get() >= 0;
        int err = created ? 0 : errno;
        const char* data = m_companionContent.data();
        for (size_t left = m_companionContent.size(); err == 0 && left > 0;) {
            const ssize_t n = write(fd.get(), data, left);
            if (n > 0) {
                data += n;
                left -= static_cast<size_t>(n);
            } else if (n == 0 || errno != EINTR) {
                err = n == 0 ? EIO : errno;
            }
        }
        if (err == 0 && fsync(fd.get()) != 0)
            err = errno;
        if (err == 0 && close(fd.release()) != 0)
            err = errno;
        if (err == 0)
            return true;
        if (created)
            unlinkat(m_folder, temp.c_str(), 0);
        error = "cannot write " + Join(m_folderShown, name) + ": " + strerror(err);
        temp.clear();
        return false;
    }
    error = "cannot write " + Join(m_folderShown, name) + ": " + strerror(EEXIST);
    temp.clear();
    return false;
}

void OutputFile::Discard()
{
    if (m_tempName.empty())
        return;
    struct stat st {};
    if (fstatat(m_folder, m_tempName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == m_tempDev &&
        st.st_ino == m_tempIno)
        unlinkat(m_folder, m_tempName.c_str(), 0);
    m_tempName.clear();
}

}  // namespace mysqlchild
