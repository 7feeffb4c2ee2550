#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

// Gathering a small writer's pieces: the longest a relay call waits for more,
// and its first look at the writer's pace (then it sleeps until the pace
// says the pipe is half full, never less than the shortest pause).
constexpr int64_t kGatherMaxNs = 5'000'000;
constexpr int64_t kGatherFirstNs = 100'000;
constexpr int64_t kGatherMinNs = 50'000;

// A relay that meets a writer of small pieces in the tool's output pipe
// enlarges that pipe, once: half of it is what a call gathers (at 4 KiB
// writes, a quarter of the calls per GiB of a 256 KiB pipe). Only then: a
// writer of large pieces fills any pipe at once and is best served by the
// launch's size, as is a caller reading with ReadBuf. Pages are taken only as
// data arrives. Best effort, as at the launch.
constexpr int kGatherPipeSize = 1024 * 1024;

// The rate limit's bucket: a tenth of a second's worth, within these bounds;
// a relay waiting for its turn looks at the limit again this often.
constexpr double kBurstSeconds = 0.1;
constexpr double kMinBurst = 64.0 * 1024;
constexpr double kMaxBurst = 4.0 * 1024 * 1024;
constexpr int64_t kTurnRecheckNs = 100'000'000;

int64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void SleepNs(int64_t ns)
{
    const timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    nanosleep(&ts, nullptr);  // a signal only shortens the pause
}

enum class Step { Spliced, Copied };

struct RelayResult {
    long long moved = 0;
    int err = 0;          // errno of the failure, 0 on success
    bool writing = false; // the failure came from the destination (fallback only)
    bool teeing = false;  // the failure came from the copy pipe
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

// Sleeps for ns, or less when the writer of pipe fd goes (a poll for no
// event reports only a hang-up). True when it has gone.
bool SleepUnlessHungUp(int fd, int64_t ns)
{
    pollfd p{fd, 0, 0};
    const timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    return ppoll(&p, 1, &ts, nullptr) > 0;
}

long long Level(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// A writer of small pieces wakes a relay per write: each wake moves a few KiB
// for the price of a pipe-full. So a relay waits, before it moves anything,
// until its source pipe holds half its capacity or want: first for the first
// byte (as the move itself would), then for as long as the writer's pace says
// the rest takes (the pace of the last call, then of this one), never longer
// than kGatherMaxNs in all, so that the pipe never fills (the writer would
// stall) and a writer that pauses is not held up for long. Not at all for a
// source that is no pipe (a file gives all it has), nor once the writer has
// closed its end. A source of the object's own (ours) may be enlarged.
void Gather(int from, size_t want, detail::RelayState& memory, bool ours)
{
    if (memory.sourceFd != from) {
        memory.sourceFd = from;
        memory.sourceCapacity = fcntl(from, F_GETPIPE_SZ);
        memory.enlargeTried = !ours;
        memory.pace = 0;
    }
    if (memory.sourceCapacity <= 0)
        return;
    long long target = std::min<long long>(static_cast<long long>(want), memory.sourceCapacity / 2);
    long long level = Level(from);
    if (level == 0) {
        pollfd p{from, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 || (p.revents & POLLIN) == 0)
            return;
        level = Level(from);
    }
    const long long first = level;
    const int64_t start = NowNs();
    int64_t pause = memory.pace > 0 ? static_cast<int64_t>(static_cast<double>(target - level) / memory.pace)
                                    : kGatherFirstNs;
    while (level >= 0 && level < target) {
        if (!memory.enlargeTried) {
            memory.enlargeTried = true;
            const int saved = errno;
            if (fcntl(from, F_SETPIPE_SZ, kGatherPipeSize) > 0) {
                memory.sourceCapacity = fcntl(from, F_GETPIPE_SZ);
                target = std::min<long long>(static_cast<long long>(want), memory.sourceCapacity / 2);
            }
            errno = saved;
        }
        if (SleepUnlessHungUp(from, std::clamp<int64_t>(pause, kGatherMinNs, kGatherMaxNs)))
            return;
        level = Level(from);
        const int64_t waited = NowNs() - start;
        const long long gained = level - first;
        if (gained > 0)
            memory.pace = static_cast<double>(gained) / static_cast<double>(waited);
        if (waited >= kGatherMaxNs)
            return;
        pause = gained > 0 ? (target - level) * waited / gained : pause * 2;
        pause = std::min(pause, kGatherMaxNs - waited);
    }
}

// Duplicates up to want bytes at the head of pipe from into pipe copy,
// consuming nothing. Waits as Move does for a non-blocking end. The count
// (0: the source has ended) or -errno.
long long Tee(int from, int copy, size_t want)
{
    for (;;) {
        const ssize_t n = tee(from, copy, want, 0);
        if (n >= 0)
            return n;
        int err = errno;
        if (WouldBlock(err) && (err = AwaitReady(from, POLLIN)) == 0)
            err = AwaitReady(copy, POLLOUT);
        if (err != 0 && err != EINTR)
            return -err;
    }
}

// Moves at most limit bytes from one descriptor to the other, one of them a
// pipe: in the kernel where it accepts the pair, else through a buffer. The
// call returns as soon as something has moved; 0 bytes means the source has
// ended. With a copy pipe, what moves is first duplicated into it; bytes
// duplicated but not moved yet (*copiedAhead) move first, and are not
// duplicated again.
RelayResult Move(int from, int to, long long limit, int copy, detail::RelayState& state, bool ours)
{
    long long* const copiedAhead = &state.copiedAhead;
    size_t want = static_cast<unsigned long long>(limit) < kMaxSplice ? static_cast<size_t>(limit) : kMaxSplice;
    if (*copiedAhead > 0) {
        want = std::min<size_t>(want, static_cast<size_t>(*copiedAhead));
    } else {
        Gather(from, want, state, ours);
        if (copy >= 0) {
            const long long n = Tee(from, copy, want);
            RelayResult out;
            if (n <= 0) {
                out.err = static_cast<int>(-n);
                out.step = Step::Copied;
                out.teeing = true;
                return out;
            }
            *copiedAhead = n;
            want = static_cast<size_t>(n);
        }
    }
    for (;;) {
        const ssize_t n = splice(from, nullptr, to, nullptr, want, 0);
        if (n >= 0) {
            RelayResult out;
            out.moved = n;
            *copiedAhead = std::max<long long>(0, *copiedAhead - n);
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
        if (err == EINVAL) {
            RelayResult out = Copy(from, to, want);
            *copiedAhead = std::max<long long>(0, *copiedAhead - out.moved);
            return out;
        }
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

// How much this relay call may move under the rate limit: at most want,
// after a wait until the bucket holds enough for a useful piece (want, or
// half the bucket). The bucket starts full, and fills at the limit read
// anew each time round.
long long MySqlChildProcess::TakeTurn(detail::RelayState& state, long long want)
{
    for (;;) {
        const long long rate = m_rateLimit.load(std::memory_order_relaxed);
        if (rate <= 0) {
            state.refilledNs = 0;
            return want;
        }
        const double burst = std::clamp(static_cast<double>(rate) * kBurstSeconds, kMinBurst, kMaxBurst);
        const int64_t now = NowNs();
        state.tokens = state.refilledNs == 0
                           ? burst
                           : std::min(burst, state.tokens + static_cast<double>(rate) *
                                                                static_cast<double>(now - state.refilledNs) * 1e-9);
        state.refilledNs = now;
        const double enough = std::min(static_cast<double>(want), burst / 2);
        if (state.tokens >= enough)
            return std::min(want, static_cast<long long>(state.tokens));
        const double ns = (enough - state.tokens) / static_cast<double>(rate) * 1e9;
        SleepNs(std::min<int64_t>(static_cast<int64_t>(ns) + 1, kTurnRecheckNs));
    }
}

// One relay call from one descriptor to the other, logged under tag.
int MySqlChildProcess::RelayBetween(const char* tag, int from, int to, long long maxBytes, long long* moved)
{
    if (moved == nullptr || maxBytes < 1) {
        MSCP_LOG_TAG(m_event, tag, "relay failed: at least 1 byte and a count are required");
        m_lastErr = EINVAL;
        return -1;
    }
    const bool output = from == m_filedesCW[0];
    detail::RelayState& state = output ? m_relayOut : m_relayIn;
    const long long allowed = state.copiedAhead > 0 ? maxBytes : TakeTurn(state, maxBytes);
    const int copy = output ? m_outputCopy.load() : -1;
    const RelayResult out = Move(from, to, allowed, copy, state, output);
    if (output && state.sourceCapacity > m_outputPipeSize)
        m_outputPipeSize = state.sourceCapacity;
    *moved = out.moved;
    if (state.refilledNs != 0)
        state.tokens -= static_cast<double>(out.moved);
    (output ? m_bytesOut : m_bytesIn) += out.moved;
    if (out.moved > 0)
        ++(out.step == Step::Spliced ? m_splices : m_copies);
    if (out.err != 0) {
        m_lastErr = out.err;
        MSCP_LOG_TAG(m_event, tag, "%s failed: errno=%d",
                     out.teeing                  ? "tee"
                     : out.step == Step::Spliced ? "splice"
                     : out.writing               ? "write"
                                                 : "read",
                     out.err);
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

int MySqlChildProcess::SetRateLimit(long long bytesPerSecond)
{
    if (bytesPerSecond < 0) {
        m_lastErr = EINVAL;
        errno = EINVAL;
        return -1;
    }
    if (m_rateLimit.exchange(bytesPerSecond) != bytesPerSecond && m_event != nullptr)
        m_event->Debug("MySqlChildProcess::SetRateLimit", "relays limited to %lld bytes per second (0: none)",
                       bytesPerSecond);
    return 0;
}

long long MySqlChildProcess::GetRateLimit() const
{
    return m_rateLimit.load();
}

int MySqlChildProcess::SetOutputCopy(int pipeFd)
{
    if (pipeFd != -1 && fcntl(pipeFd, F_GETPIPE_SZ) <= 0) {
        m_lastErr = EINVAL;
        errno = EINVAL;
        return -1;
    }
    m_outputCopy = pipeFd;
    return 0;
}

MySqlChildProcess::RelayCounters MySqlChildProcess::GetRelayCounters() const
{
    RelayCounters counters;
    counters.bytesIn = m_bytesIn.load();
    counters.bytesOut = m_bytesOut.load();
    counters.splices = m_splices.load();
    counters.copies = m_copies.load();
    counters.inputPipeSize = m_inputPipeSize.load();
    counters.outputPipeSize = m_outputPipeSize.load();
    return counters;
}

}  // namespace LibMySqlProcess
