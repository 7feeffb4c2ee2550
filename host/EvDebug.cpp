#include "host/EvDebug.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <atomic>
#include <new>
#include <string>

#include "host/HostEnv.h"

namespace {

// Room for the longest line the library writes (a 2999-character command with
// its text); longer lines are cut and marked, never split across writes.
constexpr size_t kLineMax = 8192;

// Civil date from days since the epoch (Howard Hinnant's algorithm). gmtime_r
// and localtime_r take glibc's time-zone lock, which a forked child may find
// held forever; this takes none.
void CivilFromDays(int64_t days, int& year, unsigned& month, unsigned& day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

// The open log. Writers share one descriptor without a lock: each holds a
// use count while it writes, and a descriptor replaced because the path
// changed is closed by whoever is last to stop using it. A forked child keeps
// using the inherited descriptor, which matters when it has switched to a
// user who could not open the log itself.
struct LogTarget {
    std::string path;
    int fd = -1;
    // What fd was opened on: a child that closed its inherited descriptors
    // and opened others may hold an unrelated file under the same number.
    dev_t dev = 0;
    ino_t ino = 0;
    std::atomic<int> users{0};
    // The second (of the lines' own clock) in which the path was last seen
    // to name fd's file. A rotated log (renamed or deleted) is noticed by
    // the first line of a later second, so the check costs one lstat a
    // second, not one a line.
    std::atomic<int64_t> checkedSecond{0};
    std::atomic<bool> retired{false};
    std::atomic<bool> closed{false};
    LogTarget* nextRetired = nullptr;
};

std::atomic<LogTarget*> g_target{nullptr};
// Retired targets are kept, never freed: a writer may still hold a pointer it
// loaded before the swap. One small record per change of path.
std::atomic<LogTarget*> g_retired{nullptr};

void CloseOnce(LogTarget* t)
{
    if (!t->closed.exchange(true))
        close(t->fd);
}

void Release(LogTarget* t)
{
    if (t->users.fetch_sub(1) == 1 && t->retired.load())
        CloseOnce(t);
}

// t must already be unpublished; it is closed once nobody uses it.
void Retire(LogTarget* t)
{
    if (t->retired.exchange(true))
        return;
    t->nextRetired = g_retired.load();
    while (!g_retired.compare_exchange_weak(t->nextRetired, t)) {
    }
    if (t->users.load() == 0)
        CloseOnce(t);
}

void Unpublish(LogTarget* t)
{
    LogTarget* expected = t;
    if (g_target.compare_exchange_strong(expected, nullptr))
        Retire(t);
}

// Opens the log for appending. The log sits where anyone may plant a link or a
// FIFO (/tmp by default) and the host often runs as root: a final link is
// never followed, a FIFO never waited on, and only a regular file accepted.
// It is created readable by its owner alone, since lines name users, paths and
// commands. The descriptor is kept above 2: a daemon started with 0-2 closed
// would otherwise get 0, which a child's redirection of its standard input
// replaces, silencing the child's own lines.
int OpenLog(const char* path, struct stat& st)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0)
        return -1;
    // A log another account made (in a sticky folder such as /tmp, before
    // the host first wrote) is that account's to read and to write lines
    // into: only the caller's or root's own is used.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_uid != geteuid() && st.st_uid != 0)) {
        close(fd);
        return -1;
    }
    if (fd < 3) {
        const int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        fd = high;
    }
    return fd;
}

// The target for path with a use held, or null when the log cannot be opened.
LogTarget* AcquireTarget(const char* path, int64_t second)
{
    for (;;) {
        LogTarget* t = g_target.load();
        if (t != nullptr && t->path == path) {
            t->users.fetch_add(1);
            if (g_target.load() == t && !t->retired.load())
                return t;
            Release(t);
            continue;
        }
        struct stat st {};
        const int fd = OpenLog(path, st);
        if (fd < 0)
            return nullptr;
        // A line that cannot be written for want of memory is lost, but
        // logging never throws into its caller.
        LogTarget* fresh = new (std::nothrow) LogTarget;
        if (fresh != nullptr) {
            try {
                fresh->path = path;
            } catch (const std::bad_alloc&) {
                delete fresh;
                fresh = nullptr;
            }
        }
        if (fresh == nullptr) {
            close(fd);
            return nullptr;
        }
        fresh->fd = fd;
        fresh->dev = st.st_dev;
        fresh->ino = st.st_ino;
        fresh->checkedSecond.store(second);
        if (g_target.compare_exchange_strong(t, fresh)) {
            if (t != nullptr)
                Retire(t);
        } else {
            close(fd);
            delete fresh;
        }
    }
}

// True when the path no longer names t's file: it was renamed away or
// deleted (and perhaps made anew), as a log rotation does. Looked at once a
// second, by whichever writer comes first in it.
bool PathMovedAway(LogTarget* t, const char* path, int64_t second)
{
    int64_t checked = t->checkedSecond.load(std::memory_order_relaxed);
    if (checked == second || !t->checkedSecond.compare_exchange_strong(checked, second))
        return false;
    struct stat st {};
    if (lstat(path, &st) != 0)
        return errno == ENOENT || errno == ENOTDIR;
    return st.st_dev != t->dev || st.st_ino != t->ino;
}

bool WriteAll(int fd, const char* line, size_t len)
{
    ssize_t n;
    do {
        n = write(fd, line, len);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(len);
}

// The process whose memory is its own: the one that loaded the host, or a
// fork() copy of it (fork runs the handler below). Any other pid is a child
// made by a clone that shares this memory, where lines must be written
// without touching the shared state above: no allocation, no publishing, no
// use counts (the parent's threads go on with them). Such a child has its own
// descriptor table, so the inherited log descriptor stays open for it even if
// the parent closes its own.
std::atomic<pid_t> g_ownerPid{getpid()};
const bool g_ownerFollowsFork = pthread_atfork(nullptr, nullptr, [] { g_ownerPid.store(getpid()); }) == 0;

bool WriteLineAsChild(const char* path, const char* line, size_t len)
{
    const LogTarget* t = g_target.load();
    struct stat st {};
    if (t != nullptr && t->path == path && fstat(t->fd, &st) == 0 && st.st_dev == t->dev && st.st_ino == t->ino)
        return WriteAll(t->fd, line, len);
    const int fd = OpenLog(path, st);
    if (fd < 0)
        return false;
    const bool written = WriteAll(fd, line, len);
    close(fd);
    return written;
}

bool LevelEnabled(int level)
{
    return level <= hxhost::EnvInt("HX_DEBUG_LEVEL", hxhost::kDefaultDebugLevel);
}

bool WriteLine(const char* tag, int level, const char* format, va_list args)
{
    const int savedErrno = errno;  // logging must never change what the caller sees in errno
    char line[kLineMax];

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const int64_t secs = now.tv_sec;
    int year;
    unsigned month, day;
    CivilFromDays(secs / 86400, year, month, day);
    const int64_t sod = secs % 86400;
    int used = snprintf(line, sizeof line, "%04d-%02u-%02u %02d:%02d:%02d.%06ld pid=%d tid=%ld L%d %s ", year, month,
                        day, static_cast<int>(sod / 3600), static_cast<int>(sod / 60 % 60), static_cast<int>(sod % 60),
                        now.tv_nsec / 1000, static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)), level,
                        tag != nullptr ? tag : "");
    if (used < 0)
        used = 0;
    size_t len = static_cast<size_t>(used) < sizeof line ? static_cast<size_t>(used) : sizeof line - 1;
    static const char kCut[] = "...[cut]";
    const size_t room = sizeof line - len;
    int body = vsnprintf(line + len, room, format != nullptr ? format : "", args);
    if (body > 0 && static_cast<size_t>(body) < room - 1) {
        len += static_cast<size_t>(body);
    } else if (body > 0) {
        // Too long: keep what fits, mark the cut, and still end with a line feed.
        len = sizeof line - sizeof kCut;
        for (size_t i = 0; i + 1 < sizeof kCut; ++i)
            line[len++] = kCut[i];
    }
    line[len++] = '\n';

    const char* path = hxhost::EnvOr("HX_DEBUG_LOG", hxhost::kDefaultDebugLog);
    if (getpid() != g_ownerPid.load(std::memory_order_relaxed)) {
        const bool written = WriteLineAsChild(path, line, len);
        errno = savedErrno;
        return written;
    }
    // write(2) and open(2) are cancellation points: a host thread cancelled
    // in one would leave its use of the target held for ever, and a retired
    // descriptor never closed. Only here, in the process that owns this
    // memory: a child sharing it shares the calling thread's control block,
    // whose cancellation state is the parent thread's to keep.
    int cancelState = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    bool written = false;
    for (int attempt = 0; attempt < 2 && !written; ++attempt) {
        LogTarget* target = AcquireTarget(path, secs);
        if (target == nullptr)
            break;
        struct stat st {};
        // Only a closed number, or one that names another file now, makes the
        // target not ours; a look that failed for another reason (no memory)
        // proves nothing, and the line is written.
        const bool looked = fstat(target->fd, &st) == 0;
        if ((!looked && errno == EBADF) || (looked && (st.st_dev != target->dev || st.st_ino != target->ino))) {
            // The number was closed, or now names another file: drop it
            // without closing (it is not ours any more) and open afresh.
            target->closed.store(true);
            Unpublish(target);
            Release(target);
            continue;
        }
        if (PathMovedAway(target, path, secs)) {
            // Rotated: the file stays open for the lines still being
            // written to it, and the next one opens the path again.
            Unpublish(target);
            Release(target);
            continue;
        }
        written = WriteAll(target->fd, line, len);
        if (!written && errno == EBADF)
            Unpublish(target);  // someone closed our descriptor: open afresh
        Release(target);
    }
    pthread_setcancelstate(cancelState, nullptr);
    errno = savedErrno;
    return written;
}

}  // namespace

void EvDebug::Debug(const char* tag, const char* format, ...)
{
    if (!LevelEnabled(1))
        return;
    va_list args;
    va_start(args, format);
    WriteLine(tag, 1, format, args);
    va_end(args);
}

void EvDebug::DebugLvl(const char* tag, int level, const char* format, ...)
{
    if (!LevelEnabled(level))
        return;
    va_list args;
    va_start(args, format);
    WriteLine(tag, level, format, args);
    va_end(args);
}

int64_t EvEvent::getJobId() const
{
    return hxhost::EnvInt("HX_JOB_ID", 0);
}

bool HxDebugWrite(const char* tag, int level, const char* format, ...)
{
    if (!LevelEnabled(level))
        return false;
    va_list args;
    va_start(args, format);
    bool written = WriteLine(tag, level, format, args);
    va_end(args);
    return written;
}
