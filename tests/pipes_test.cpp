// Pipe traffic with real children: reads in pieces of the caller's capacity,
// the end of the output, writes and reads on closed or unopened ends, a child
// that has gone, signals that interrupt blocked calls, partial writes, and
// large volumes in both directions at once.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "child_process/LogTexts.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "support/TestSupport.h"

using LibMySqlProcess::MySqlChildProcess;
using testsupport::AwaitWaitThread;
using testsupport::EmitPattern;
using testsupport::FdLeakCheck;
using testsupport::HostEnv;
using testsupport::InterruptingHandler;
using testsupport::IsOpen;
using testsupport::ProbeCommand;

namespace {

namespace frozen = LibMySqlProcess::frozen;

const char kWriteTag[] = "MySqlChildProcess::WriteBuf";
const char kReadTag[] = "MySqlChildProcess::ReadBuf";

// Bytes whose value depends on their offset with a period (251) that no
// chunk or pipe size divides, so a lost, doubled or reordered piece shows.
constexpr size_t kPeriod = 251;

std::vector<char> PeriodicBuffer(size_t size)
{
    std::vector<char> out(size + kPeriod);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(i % kPeriod);
    return out;
}

void Launch(MySqlChildProcess& child, const std::string& command)
{
    ASSERT_EQ(child.Initialize(command, "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0) << "lastErr=" << child.m_lastErr.load();
}

pid_t CurrentTid()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// The scheduler state letter of a thread of this process ('S' while it
// sleeps in a blocking call).
char ThreadState(pid_t tid)
{
    const std::string stat = testsupport::ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

// Waits (with a deadline that only catches a hang) until the thread sleeps.
bool AwaitSleeping(pid_t tid)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ThreadState(tid) != 'S') {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Sends SIGUSR1 to a thread once it sleeps, and waits until its handler ran
// and it sleeps again (back in the retried call).
bool InterruptWhileBlocked(pthread_t thread, pid_t tid)
{
    if (!AwaitSleeping(tid))
        return false;
    const long before = InterruptingHandler::Count();
    pthread_kill(thread, SIGUSR1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (InterruptingHandler::Count() == before) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return AwaitSleeping(tid);
}

// The counts of the level-8 frozen::kWrote lines.
std::vector<long long> WroteCounts(const HostEnv& env)
{
    std::vector<long long> out;
    for (const std::string& m : env.Messages(kWriteTag)) {
        long long n = 0;
        char tail = 0;
        if (sscanf(m.c_str(), "wrote %lld bytes%c", &n, &tail) == 1)
            out.push_back(n);
    }
    return out;
}

bool LevelEight(const HostEnv& env, const std::string& message)
{
    for (const std::string& line : env.LogLines())
        if (line.find(" L8 ") != std::string::npos && line.find(message) != std::string::npos)
            return true;
    return false;
}

// Makes the pipe into the child full: the child (which copies its input to
// an output nobody reads) no longer takes anything. Returns the bytes put in.
size_t FillInputPipe(MySqlChildProcess& child, const std::vector<char>& pattern)
{
    const int fd = child.m_filedesPW[1];
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    size_t total = 0;
    int quiet = 0;
    // Full once nothing more fits twice in a row with a pause between, in
    // which the child could have taken more.
    while (quiet < 2) {
        const ssize_t n = write(fd, pattern.data() + total % kPeriod, 4096);
        if (n > 0) {
            total += static_cast<size_t>(n);
            quiet = 0;
        } else {
            ++quiet;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    fcntl(fd, F_SETFL, flags);
    return total;
}

// Reads until the end of the output and checks each byte against the
// periodic pattern, the first byte read being at offset. Returns the offset
// reached, or -1 when a read failed; the first wrong offset lands in
// *mismatchAt. A wrong byte does not stop the reading, so that the writer
// never blocks on a reader that gave up.
long long ReadPeriodic(MySqlChildProcess& child, long long offset, long long* mismatchAt)
{
    static const std::vector<char> reference = PeriodicBuffer(1 << 16);
    std::vector<char> buffer((1 << 16) + 1);
    for (;;) {
        long length = static_cast<long>(buffer.size());
        if (child.ReadBuf(buffer.data(), &length) != 0)
            return -1;
        if (length == 0)
            return offset;
        if (*mismatchAt == -1 && memcmp(buffer.data(), reference.data() + offset % static_cast<long long>(kPeriod),
                                        static_cast<size_t>(length)) != 0)
            *mismatchAt = offset;
        offset += length;
    }
}

class PipeTest : public ::testing::Test {
protected:
    HostEnv m_env;
};

// ---------------------------------------------------------------------------
// ReadBuf

TEST_F(PipeTest, ReadTakesAtMostCapacityLessOneBytesInOrder)
{
    MySqlChildProcess child;
    Launch(child, ProbeCommand("emit 250"));
    // Once the child has ended, all 250 bytes wait in the pipe.
    ASSERT_EQ(child.Wait(0), 0);
    const std::string expected = EmitPattern(250);

    size_t offset = 0;
    for (long want : {99L, 99L, 52L}) {
        SCOPED_TRACE("at offset " + std::to_string(offset));
        char buffer[100];
        memset(buffer, 'X', sizeof buffer);
        long length = 100;

        ASSERT_EQ(child.ReadBuf(buffer, &length), 0);

        ASSERT_EQ(length, want);
        EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), expected.substr(offset, static_cast<size_t>(want)));
        for (size_t i = static_cast<size_t>(length); i < sizeof buffer; ++i)
            ASSERT_EQ(buffer[i], '\0') << "at " << i;
        offset += static_cast<size_t>(length);
    }
    // A successful read logs nothing.
    EXPECT_TRUE(m_env.Messages(kReadTag).empty());

    char buffer[100];
    memset(buffer, 'X', sizeof buffer);
    long length = 100;
    EXPECT_EQ(child.ReadBuf(buffer, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));
    const std::vector<std::string> messages = {frozen::kNoDataLeft};
    EXPECT_EQ(m_env.Messages(kReadTag), messages);
}

// A capacity of 1 holds only the zero byte: reading nothing would look like
// the end of the output, so it is refused too.
TEST_F(PipeTest, CapacityBelowTwoIsRefused)
{
    MySqlChildProcess child;
    Launch(child, ProbeCommand("emit 10"));
    ASSERT_EQ(child.Wait(0), 0);

    for (long given : {1L, 0L, -1L, LONG_MIN}) {
        SCOPED_TRACE(given);
        char buffer[1] = {'X'};
        long length = given;
        child.m_lastErr = 0;

        EXPECT_EQ(child.ReadBuf(buffer, &length), -1);

        EXPECT_EQ(child.m_lastErr.load(), EINVAL);
        EXPECT_EQ(length, given);
    }
    // Nothing was taken from the pipe.
    EXPECT_EQ(testsupport::ReadAll(child), EmitPattern(10));
}

// ---------------------------------------------------------------------------
// Closed, unopened and abandoned ends

TEST_F(PipeTest, WriteOfNothingSendsAndLogsNothing)
{
    MySqlChildProcess child;
    Launch(child, ProbeCommand("cat"));
    char data[] = "never sent";
    child.m_lastErr = 0;

    for (long count : {0L, -1L, -4096L, LONG_MIN}) {
        SCOPED_TRACE(count);
        EXPECT_EQ(child.WriteBuf(data, count), 0);
    }

    EXPECT_TRUE(m_env.Messages(kWriteTag).empty());
    EXPECT_EQ(child.m_lastErr.load(), 0);
    child.CloseInput();
    EXPECT_EQ(testsupport::ReadAll(child), "");
    child.Finalize();
    EXPECT_EQ(child.Wait(0), 0);
}

TEST_F(PipeTest, WriteAndReadAfterFinalizeFailWithBadDescriptor)
{
    MySqlChildProcess child;
    Launch(child, ProbeCommand("cat"));
    child.Finalize();
    m_env.ClearLog();
    char data[] = "abc";

    EXPECT_EQ(child.WriteBuf(data, 3), -1);

    EXPECT_EQ(child.m_lastErr.load(), EBADF);
    // The error file exists (the child made it) and is empty.
    const std::vector<std::string> written = {"write failed: errno=9", "Error Stream: "};
    EXPECT_EQ(m_env.Messages(kWriteTag), written);
    // The error file's tail is read between the two lines.
    std::vector<std::string> order;
    for (const std::string& line : m_env.LogLines()) {
        for (const char* step : {"WriteBuf write failed", "ReadErrBuf Previous errno = [", "WriteBuf Error Stream"})
            if (line.find(step) != std::string::npos)
                order.push_back(step);
    }
    const std::vector<std::string> steps = {"WriteBuf write failed", "ReadErrBuf Previous errno = [",
                                            "WriteBuf Error Stream"};
    EXPECT_EQ(order, steps);

    m_env.ClearLog();
    char buffer[16];
    memset(buffer, 'X', sizeof buffer);
    long length = 16;
    child.m_lastErr = 0;

    EXPECT_EQ(child.ReadBuf(buffer, &length), -1);

    EXPECT_EQ(length, 16);
    EXPECT_EQ(child.m_lastErr.load(), EBADF);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));
    const std::vector<std::string> read = {"read failed: errno=9"};
    EXPECT_EQ(m_env.Messages(kReadTag), read);

    EXPECT_EQ(child.Wait(0), 0);
}

TEST_F(PipeTest, WriteAndReadBeforeTheLaunchFailWithBadDescriptor)
{
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("cat"), "", ""), 0);
    char data[] = "abc";

    EXPECT_EQ(child.WriteBuf(data, 3), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBADF);
    // No child has made the error file yet: the stream is empty.
    const std::vector<std::string> written = {"write failed: errno=9", "Error Stream: "};
    EXPECT_EQ(m_env.Messages(kWriteTag), written);
    EXPECT_TRUE(m_env.LogHas("failed to open the file [" + child.m_errFilePath + "] errno [2]"));

    char buffer[8];
    long length = 8;
    child.m_lastErr = 0;
    EXPECT_EQ(child.ReadBuf(buffer, &length), -1);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(child.m_lastErr.load(), EBADF);
}

TEST_F(PipeTest, WriteToAChildThatHasEndedFailsWithBrokenPipeAndTheCallerLives)
{
    // In a test process whose SIGPIPE has its default action (death): the
    // launch must have ignored it, or the write would kill the process.
    const int rc = testsupport::RunInSubprocess([&]() -> int {
        signal(SIGPIPE, SIG_DFL);
        MySqlChildProcess child;
        if (child.Initialize(ProbeCommand("stderr 0 \"tool said goodbye\""), "", "") != 0 ||
            child.HX_CreateProcess(false, false, false, false) != 0)
            return 10;
        if (child.Wait(0) != 0)
            return 11;
        char data[] = "too late";
        if (child.WriteBuf(data, 8) != -1)
            return 12;
        if (child.m_lastErr.load() != EPIPE)
            return 13;
        // The child's output ended; reading still works and says so.
        char buffer[16];
        long length = 16;
        if (child.ReadBuf(buffer, &length) != 0 || length != 0)
            return 14;
        return 0;
    });
    ASSERT_NE(rc, 128 + SIGPIPE) << "the write killed the caller with SIGPIPE";
    ASSERT_EQ(rc, 0) << "10 launch, 11 wait, 12 WriteBuf result, 13 m_lastErr not EPIPE, 14 ReadBuf";

    EXPECT_TRUE(m_env.LogHas("write failed: errno=32"));
    // The tool's last words are logged with the failure.
    EXPECT_TRUE(m_env.LogHas("Error Stream: tool said goodbye"));
}

TEST_F(PipeTest, WriteToAChildThatStoppedReadingFailsWithBrokenPipe)
{
    // head takes the first 100 bytes and ends while the rest is being sent.
    MySqlChildProcess child;
    Launch(child, "/usr/bin/head -c 100");
    const std::vector<char> data = PeriodicBuffer(4 << 20);

    EXPECT_EQ(child.WriteBuf(const_cast<char*>(data.data()), 4 << 20), -1);

    EXPECT_EQ(child.m_lastErr.load(), EPIPE);
    EXPECT_EQ(child.GetLastErr(), EPIPE) << "errno no longer tells the failure";
    EXPECT_EQ(testsupport::ReadAll(child), std::string(data.data(), 100));
    EXPECT_EQ(child.Wait(0), 0);
}

// ---------------------------------------------------------------------------
// Interrupted calls

TEST_F(PipeTest, SignalsInterruptingABlockedReadAreRetriedSilently)
{
    InterruptingHandler handler;
    MySqlChildProcess child;
    Launch(child, ProbeCommand("cat"));
    const pthread_t self = pthread_self();
    const pid_t tid = CurrentTid();
    std::atomic<bool> interrupted{true};

    std::thread signaller([&] {
        for (int i = 0; i < 10; ++i)
            if (!InterruptWhileBlocked(self, tid))
                interrupted = false;
        // Only now does the data arrive.
        char data[] = "hello after signals";
        if (child.WriteBuf(data, 19) != 0)
            interrupted = false;
    });
    char buffer[64];
    long length = sizeof buffer;
    const int rc = child.ReadBuf(buffer, &length);
    signaller.join();

    ASSERT_TRUE(interrupted.load()) << "could not interrupt the blocked read";
    EXPECT_EQ(InterruptingHandler::Count(), 10);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), "hello after signals");
    EXPECT_TRUE(m_env.Messages(kReadTag).empty()) << "an interruption was logged";
    child.Finalize();
    EXPECT_EQ(child.Wait(0), 0);
}

TEST_F(PipeTest, SignalsInterruptingABlockedWriteAreRetriedSilently)
{
    InterruptingHandler handler;
    MySqlChildProcess child;
    Launch(child, ProbeCommand("cat"));
    const std::vector<char> pattern = PeriodicBuffer(1 << 16);
    // With the pipe full, the next write blocks before a byte has gone out,
    // so an interruption gives EINTR rather than a partial count.
    const size_t prefilled = FillInputPipe(child, pattern);
    ASSERT_GT(prefilled, 0u);
    const pthread_t self = pthread_self();
    const pid_t tid = CurrentTid();
    std::atomic<bool> interrupted{true};
    long long received = -1;
    long long mismatch = -1;

    std::thread other([&] {
        for (int i = 0; i < 10; ++i)
            if (!InterruptWhileBlocked(self, tid))
                interrupted = false;
        received = ReadPeriodic(child, 0, &mismatch);
    });
    const int rc = child.WriteBuf(const_cast<char*>(pattern.data() + prefilled % kPeriod), 4096);
    child.CloseInput();
    other.join();

    ASSERT_TRUE(interrupted.load()) << "could not interrupt the blocked write";
    EXPECT_EQ(InterruptingHandler::Count(), 10);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(mismatch, -1) << "wrong byte at offset " << mismatch;
    EXPECT_EQ(received, static_cast<long long>(prefilled + 4096));
    // One write moved everything once the reader drained the pipe.
    const std::vector<std::string> messages = {"wrote 4096 bytes"};
    EXPECT_EQ(m_env.Messages(kWriteTag), messages);
    child.Finalize();
    EXPECT_EQ(child.Wait(0), 0);
}

TEST_F(PipeTest, PartialWritesAreCompletedFromTheFirstUnwrittenByte)
{
    InterruptingHandler handler;
    MySqlChildProcess child;
    Launch(child, ProbeCommand("cat"));
    constexpr size_t kSize = 4 << 20;
    const std::vector<char> data = PeriodicBuffer(kSize);
    const pthread_t self = pthread_self();
    const pid_t tid = CurrentTid();
    std::atomic<bool> interrupted{true};
    long long received = -1;
    long long mismatch = -1;

    // A slow reader: between interruptions it takes a little, so that the
    // blocked write moves some bytes and is then cut short by the signal.
    std::thread reader([&] {
        long long offset = 0;
        std::vector<char> buffer(20000);
        static const std::vector<char> reference = PeriodicBuffer(20000);
        for (int i = 0; i < 8; ++i) {
            if (!InterruptWhileBlocked(self, tid)) {
                interrupted = false;
                break;
            }
            long length = static_cast<long>(buffer.size());
            if (child.ReadBuf(buffer.data(), &length) != 0 || length == 0) {
                mismatch = offset;
                break;
            }
            if (mismatch == -1 && memcmp(buffer.data(), reference.data() + offset % static_cast<long long>(kPeriod),
                                         static_cast<size_t>(length)) != 0)
                mismatch = offset;
            offset += length;
        }
        received = ReadPeriodic(child, offset, &mismatch);
    });
    const int rc = child.WriteBuf(const_cast<char*>(data.data()), static_cast<long>(kSize));
    child.CloseInput();
    reader.join();

    ASSERT_TRUE(interrupted.load()) << "could not interrupt the blocked write";
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(mismatch, -1) << "wrong byte at offset " << mismatch;
    EXPECT_EQ(received, static_cast<long long>(kSize)) << "bytes lost or sent twice";
    const std::vector<long long> counts = WroteCounts(m_env);
    long long sum = 0;
    for (long long n : counts) {
        EXPECT_GT(n, 0);
        sum += n;
    }
    // Each interruption splits the write only when it lands after the writer
    // moved some bytes in its current call; on a loaded machine several land
    // before, so one split is what can be required.
    EXPECT_GE(counts.size(), 2u) << "the interrupted write was not split";
    EXPECT_EQ(sum, static_cast<long long>(kSize));
    ASSERT_FALSE(counts.empty());
    EXPECT_TRUE(LevelEight(m_env, "wrote " + std::to_string(counts[0]) + " bytes"));
    EXPECT_EQ(m_env.LogCount("write failed"), 0);
    child.Finalize();
    EXPECT_EQ(child.Wait(0), 0);
}

// ---------------------------------------------------------------------------
// Half close

// The writer closes the input end on its own thread while this one reads:
// cat must see the end of its input, pass on every byte and end by itself,
// with the output end still open. Then each end is closed once more: the
// second call closes nothing, not even the file that took the freed number.
TEST_F(PipeTest, CloseInputWhileTheOutputIsReadBringsEveryByteBack)
{
    HxDebugWrite("test", 1, "test starts");  // the logger lets go of the last test's log before the count
    FdLeakCheck leaks;
    testsupport::SetEnv("HX_DEBUG_LEVEL", "5");
    constexpr size_t kChunk = 1 << 20;
    const long long total = 8 * static_cast<long long>(kChunk);  // far more than both pipes hold
    MySqlChildProcess child;
    Launch(child, ProbeCommand("cat"));
    const int inputEnd = child.m_filedesPW[1];
    const std::vector<char> pattern = PeriodicBuffer(kChunk);
    int writeResult = 0;
    std::thread writer([&] {
        for (long long sent = 0; sent < total && writeResult == 0; sent += static_cast<long long>(kChunk))
            writeResult = child.WriteBuf(const_cast<char*>(pattern.data() + sent % static_cast<long long>(kPeriod)),
                                         static_cast<long>(kChunk));
        child.CloseInput();
    });
    long long mismatch = -1;
    const long long received = ReadPeriodic(child, 0, &mismatch);
    writer.join();
    EXPECT_EQ(writeResult, 0) << "lastErr=" << child.m_lastErr.load();
    EXPECT_EQ(received, total);
    EXPECT_EQ(mismatch, -1) << "wrong byte at offset " << mismatch;
    EXPECT_EQ(child.m_filedesPW[1], -1);
    EXPECT_FALSE(IsOpen(inputEnd));
    ASSERT_TRUE(IsOpen(child.m_filedesCW[0])) << "CloseInput closed the output end too";

    ASSERT_EQ(child.BeginWait(), 0);
    ASSERT_TRUE(AwaitWaitThread(child)) << "cat did not end after the end of its input";
    EXPECT_TRUE(child.m_waitComplete.load());

    const int reuse = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reuse, 0);
    EXPECT_EQ(child.CloseInput(), 0);
    EXPECT_TRUE(IsOpen(reuse));
    const int outputEnd = child.m_filedesCW[0];
    EXPECT_EQ(child.CloseOutput(), 0);
    EXPECT_EQ(child.CloseOutput(), 0);
    EXPECT_EQ(child.m_filedesCW[0], -1);
    EXPECT_FALSE(IsOpen(outputEnd));
    EXPECT_TRUE(IsOpen(reuse));
    close(reuse);
    const std::vector<std::string> twice = {"start", "start"};
    EXPECT_EQ(m_env.Messages("MySqlChildProcess::CloseInput"), twice);
    EXPECT_EQ(m_env.Messages("MySqlChildProcess::CloseOutput"), twice);
}

// A tool that writes far more than the pipe holds, whose output nobody will
// read: once the output end is closed its next write fails (EPIPE, or
// SIGPIPE where it is not ignored) and it ends instead of blocking for ever.
TEST_F(PipeTest, CloseOutputFirstMakesAWritingToolEndInsteadOfBlocking)
{
    HxDebugWrite("test", 1, "test starts");
    FdLeakCheck leaks;
    MySqlChildProcess child;
    Launch(child, ProbeCommand("emit 1073741824"));
    const int outputEnd = child.m_filedesCW[0];
    ASSERT_EQ(child.BeginWait(), 0);
    EXPECT_EQ(child.CloseOutput(), 0);
    EXPECT_EQ(child.m_filedesCW[0], -1);
    EXPECT_FALSE(IsOpen(outputEnd));
    EXPECT_TRUE(IsOpen(child.m_filedesPW[1])) << "CloseOutput closed the input end too";
    const int reuse = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reuse, 0);
    EXPECT_EQ(child.CloseOutput(), 0);
    EXPECT_TRUE(IsOpen(reuse));
    close(reuse);

    if (!AwaitWaitThread(child)) {
        child.Terminate();
        AwaitWaitThread(child);
        FAIL() << "the writing tool was still blocked a minute after its output was closed";
    }
    ASSERT_TRUE(child.m_exitStatusKnown.load());
    const int status = child.m_exitStatus.load();
    // The probe's code for a failed write.
    EXPECT_TRUE((WIFEXITED(status) && WEXITSTATUS(status) == 5) || (WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE))
        << "status 0x" << std::hex << status;
    EXPECT_EQ(child.CloseInput(), 0);
    EXPECT_EQ(child.m_filedesPW[1], -1);
    EXPECT_EQ(m_env.Messages("MySqlChildProcess::CloseOutput"), (std::vector<std::string>{"start", "start"}));
}

// ---------------------------------------------------------------------------
// Volume

TEST_F(PipeTest, StreamsManyMegabytesThroughCatBothWaysAtOnce)
{
    // The detail lines would fill the log with one line per write.
    testsupport::SetEnv("HX_DEBUG_LEVEL", "5");
    const long long total = 256LL << 20;
    constexpr size_t kChunk = 1 << 20;
    MySqlChildProcess child;
    Launch(child, ProbeCommand("cat"));
    const std::vector<char> pattern = PeriodicBuffer(kChunk);
    int writeResult = 0;
    long long received = -1;
    long long mismatch = -1;

    std::thread writer([&] {
        for (long long sent = 0; sent < total && writeResult == 0;) {
            const long long n = total - sent < static_cast<long long>(kChunk) ? total - sent : kChunk;
            writeResult = child.WriteBuf(const_cast<char*>(pattern.data() + sent % static_cast<long long>(kPeriod)),
                                         static_cast<long>(n));
            sent += n;
        }
        child.CloseInput();
    });
    std::thread reader([&] { received = ReadPeriodic(child, 0, &mismatch); });
    writer.join();
    reader.join();

    EXPECT_EQ(writeResult, 0) << "lastErr=" << child.m_lastErr.load();
    EXPECT_EQ(mismatch, -1) << "wrong byte at offset " << mismatch;
    EXPECT_EQ(received, total);
    child.Finalize();
    EXPECT_EQ(child.Wait(0), 0);
}

TEST_F(PipeTest, CountAboveFourGibibytesIsWrittenWhole)
{
    if (testsupport::Sanitizer() == "tsan")
        GTEST_SKIP() << "ThreadSanitizer checks every byte that write reads, which makes 4 GiB take about a minute; "
                        "the plain and asan builds cover it";
    if (testsupport::ForkPath())
        GTEST_SKIP() << "writing does not depend on how the host made the child; the clone path covers it";
    // 4 GiB + 10 bytes of zeros that cost no memory: a read-only anonymous
    // mapping is backed by the shared zero page.
    const size_t size = (size_t{4} << 30) + 10;
    void* region = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED)
        GTEST_SKIP() << "cannot map 4 GiB of address space: " << strerror(errno);
    // Read through the huge zero page where the kernel has one: a fault per
    // 2 MiB instead of per 4 KiB, most of what the write would otherwise cost.
    madvise(region, size, MADV_HUGEPAGE);
    MySqlChildProcess child;
    Launch(child, "/usr/bin/wc -c");

    const int rc = child.WriteBuf(static_cast<char*>(region), static_cast<long>(size));
    child.CloseInput();
    const std::string counted = testsupport::ReadAll(child);
    munmap(region, size);

    EXPECT_EQ(rc, 0) << "lastErr=" << child.m_lastErr.load();
    EXPECT_EQ(counted, std::to_string(size) + "\n");
    const std::vector<long long> counts = WroteCounts(m_env);
    long long sum = 0;
    for (long long n : counts) {
        EXPECT_GT(n, 0);
        EXPECT_LE(n, INT_MAX);
        sum += n;
    }
    EXPECT_EQ(sum, static_cast<long long>(size));
    child.Finalize();
    EXPECT_EQ(child.Wait(0), 0);
}

}  // namespace
