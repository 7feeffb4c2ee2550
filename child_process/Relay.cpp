#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "child_process/LogTexts.h"
#include "child_process/Log.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"

namespace LibMySqlProcess {

namespace {

// One splice asks for at most this much: the pipes bound what one call moves
// anyway (it returns once the source pipe is empty or the destination pipe
// full), and every count fits the int the kernel's own limit allows.
constexpr size_t kMaxSplice = size_t{1} << 30;

// The read/write fallback moves at most this much per call: the kernel's
// default pipe size, small enough for a heap block of the allocator's own
// arena rather than a mapping of its own.
constexpr size_t kCopyBuffer = size_t{64} << 10;

enum class Step { Spliced, Copied };

struct RelayResult {
    long long moved = 0;
    int err = 0;          // errno of the failure, 0 on success
    bool writing = false; // the failure came from the destination (fallback only)
    Step step = Step::Spliced;
};

// Blocks until fd is ready for events, or reports a state (hang-up, error)
// that the next read, write or splice turns into its result. A descriptor the
// caller hands in may be non-blocking: its "not now" is waited out here, never
// passed on as a failure. 0 or the errno of the poll.
int AwaitReady(int fd, short events)
{
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = poll(&p, 1, -1);
        if (n > 0)
            return 0;
        if (n < 0 && errno != EINTR)
            return errno;
    }
}

bool WouldBlock(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK;
}

// Writes all of data to fd. A destination that is non-blocking and full is
// waited for: these bytes have left the source already and have nowhere else
// to go.
int WriteAll(int fd, const char* data, size_t length, long long* written)
{
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0) {
            int err = errno;
            if (WouldBlock(err))
                err = AwaitReady(fd, POLLOUT);
            if (err == 0 || err == EINTR)
                continue;
            return err;
        }
        data += n;
        length -= static_cast<size_t>(n);
        *written += n;
    }
    return 0;
}

struct Free {
    void operator()(char* p) const { free(p); }
};

// One read and the write of everything it got, for a pair of descriptors the
// kernel will not splice. The buffer is freed however the call is left: a
// host thread cancelled in the read or the write unwinds through here.
RelayResult Copy(int from, int to, size_t limit)
{
    RelayResult out;
    out.step = Step::Copied;
    const size_t want = limit < kCopyBuffer ? limit : kCopyBuffer;
    const std::unique_ptr<char, Free> buffer(static_cast<char*>(malloc(want)));
    if (buffer == nullptr) {
        out.err = ENOMEM;
        return out;
    }
    ssize_t n;
    for (;;) {
        n = read(from, buffer.get(), want);
        if (n >= 0)
            break;
        int err = errno;
        if (WouldBlock(err))
            err = AwaitReady(from, POLLIN);
        if (err != 0 && err != EINTR) {
            out.err = err;
            return out;
        }
    }
    if (n > 0 && (out.err = WriteAll(to, buffer.get(), static_cast<size_t>(n), &out.moved)) != 0)
        out.writing = true;
    return out;
}

// Moves at most limit bytes from one descriptor to the other, one of them a
// pipe: in the kernel where it accepts the pair, else through a buffer. The
// call returns as soon as something has moved; 0 bytes means the source has
// ended.
RelayResult Move(int from, int to, long long limit)
{
    const size_t want = static_cast<unsigned long long>(limit) < kMaxSplice ? static_cast<size_t>(limit) : kMaxSplice;
    for (;;) {
        const ssize_t n = splice(from, nullptr, to, nullptr, want, 0);
        if (n >= 0) {
            RelayResult out;
            out.moved = n;
            return out;
        }
        int err = errno;
        // A non-blocking descriptor of the caller's makes the kernel's whole
        // splice non-blocking: an empty source or a full destination is
        // waited for, both in turn, and the splice tried again.
        if (WouldBlock(err) && (err = AwaitReady(from, POLLIN)) == 0)
            err = AwaitReady(to, POLLOUT);
        if (err == 0 || err == EINTR)
            continue;
        // EINVAL: a descriptor type that cannot be spliced (an eventfd, a
        // file opened O_APPEND); nothing has moved.
        if (err == EINVAL)
            return Copy(from, to, want);
        RelayResult out;
        out.err = err;
        return out;
    }
}

}  // namespace

int MySqlChildProcess::RelayOutputTo(int fd, long long maxBytes, long long* moved)
{
    return RelayBetween("MySqlChildProcess::RelayOutputTo", m_filedesCW[0], fd, maxBytes, moved);
}

int MySqlChildProcess::RelayInputFrom(int fd, long long maxBytes, long long* moved)
{
    return RelayBetween("MySqlChildProcess::RelayInputFrom", fd, m_filedesPW[1], maxBytes, moved);
}

// One relay call from one descriptor to the other, logged under tag.
int MySqlChildProcess::RelayBetween(const char* tag, int from, int to, long long maxBytes, long long* moved)
{
    if (moved == nullptr || maxBytes < 1) {
        MSCP_LOG_TAG(m_event, tag, "relay failed: at least 1 byte and a count are required");
        m_lastErr = EINVAL;
        return -1;
    }
    const RelayResult out = Move(from, to, maxBytes);
    *moved = out.moved;
    if (out.err != 0) {
        m_lastErr = out.err;
        MSCP_LOG_TAG(m_event, tag, "%s failed: errno=%d",
                     out.step == Step::Spliced ? "splice" : out.writing ? "write" : "read", out.err);
        // As after a failed WriteBuf.
        if (to == m_filedesPW[1])
            LogToolsLastWords(tag, out.err);
        errno = out.err;
        return -1;
    }
    if (m_event == nullptr)
        return 0;
    if (out.moved == 0)
        m_event->Debug(tag, frozen::kNoDataLeft);
    else
        m_event->DebugLvl(tag, 8, "%s %lld bytes", out.step == Step::Spliced ? "moved" : "copied", out.moved);
    return 0;
}

}  // namespace LibMySqlProcess
