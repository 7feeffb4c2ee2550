// Bad input to every operation: null pointers, lengths of 0, 1 and below,
// calls out of order, and the exact limits of the fixed-size fields. Each must
// give a clear error (-1 with an errno-style m_lastErr) or the documented
// harmless result, never a crash, and never a byte written outside the
// caller's buffer: buffers are heap blocks of exactly the stated size, with a
// guard after them that ASan poisons and every build checks.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// GCC says __SANITIZE_ADDRESS__, clang only __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define BADINPUT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BADINPUT_ASAN 1
#endif
#endif
#if defined(BADINPUT_ASAN)
#include <sanitizer/asan_interface.h>
#define BADINPUT_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define BADINPUT_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define BADINPUT_POISON(p, n) ((void)(p), (void)(n))
#define BADINPUT_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include "child_process/LogTexts.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "support/TestSupport.h"

namespace {

namespace frozen = LibMySqlProcess::frozen;

using LibMySqlProcess::GetMySqlInfo;
using LibMySqlProcess::MySqlChildProcess;
using testsupport::FdLeakCheck;
using testsupport::HostEnv;
using testsupport::ProbeCommand;
using testsupport::AwaitWaitThread;
using testsupport::ParseReport;
using testsupport::ProbePath;
using testsupport::ReportValues;

// A caller's buffer of exactly `size` bytes followed by a guard. Under ASan
// the guard is poisoned, so a write into it is reported where it happens; in
// every build the guard's pattern is checked afterwards.
class GuardedBuffer {
public:
    static constexpr size_t kGuard = 64;
    static constexpr unsigned char kPattern = 0xA5;

    explicit GuardedBuffer(size_t size, unsigned char fill = 0x5A)
        : m_size(size), m_block(new unsigned char[size + kGuard])
    {
        memset(m_block.get(), fill, size);
        memset(m_block.get() + size, kPattern, kGuard);
        BADINPUT_POISON(m_block.get() + size, kGuard);
    }
    ~GuardedBuffer() { BADINPUT_UNPOISON(m_block.get() + m_size, kGuard); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    char* data() { return reinterpret_cast<char*>(m_block.get()); }
    size_t size() const { return m_size; }
    unsigned char at(size_t i) const { return m_block[i]; }

    bool GuardIntact()
    {
        BADINPUT_UNPOISON(m_block.get() + m_size, kGuard);
        bool intact = true;
        for (size_t i = 0; i < kGuard; ++i)
            intact = intact && m_block[m_size + i] == kPattern;
        BADINPUT_POISON(m_block.get() + m_size, kGuard);
        return intact;
    }
    bool AllZero() const
    {
        for (size_t i = 0; i < m_size; ++i)
            if (m_block[i] != 0)
                return false;
        return true;
    }

private:
    size_t m_size;
    std::unique_ptr<unsigned char[]> m_block;
};

class BadInput : public ::testing::Test {
protected:
    // The logger keeps the last log it wrote open until a line goes to another
    // path; point it at this test's log before descriptors are counted.
    void SetUp() override { HxDebugWrite("test", 1, "test starts"); }

    // A launched child running `probe cat`, for the pipe operations.
    void LaunchCat(MySqlChildProcess& child)
    {
        ASSERT_EQ(child.Initialize(ProbeCommand("cat"), "", ""), 0);
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0) << "lastErr=" << child.m_lastErr.load();
    }

    HostEnv m_env;
};

// ---------------------------------------------------------------------------
// ReadBuf and ReadErrBuf: null pointers, capacities below 2 (ReadBuf) or 1

TEST_F(BadInput, ReadBufRefusesNullPointersAndCapacitiesBelowTwo)
{
    MySqlChildProcess child;
    LaunchCat(child);

    GuardedBuffer buffer(16);
    long length = 16;
    errno = 0;
    EXPECT_EQ(child.ReadBuf(nullptr, &length), -1);
    EXPECT_EQ(child.m_lastErr.load(), EINVAL);
    EXPECT_EQ(length, 16) << "the length of a refused call stays as it was";

    child.m_lastErr = 0;
    EXPECT_EQ(child.ReadBuf(buffer.data(), nullptr), -1);
    EXPECT_EQ(child.m_lastErr.load(), EINVAL);

    // A capacity of 1 holds only the zero byte: reading nothing there would
    // look like the end of the tool's output.
    for (long bad : {1L, 0L, -1L, -65536L, LONG_MIN}) {
        SCOPED_TRACE("capacity " + std::to_string(bad));
        child.m_lastErr = 0;
        length = bad;
        EXPECT_EQ(child.ReadBuf(buffer.data(), &length), -1);
        EXPECT_EQ(child.m_lastErr.load(), EINVAL);
        EXPECT_EQ(length, bad);
        EXPECT_EQ(buffer.at(0), 0x5A) << "a refused call writes nothing";
    }
    EXPECT_TRUE(buffer.GuardIntact());
    EXPECT_TRUE(m_env.LogHas("MySqlChildProcess::ReadBuf read failed: a buffer of at least 2 bytes is required"));

    child.Finalize();
    EXPECT_EQ(child.Wait(0), 0);
}

TEST_F(BadInput, ReadBufWithCapacityTwoReadsOneByte)
{
    MySqlChildProcess child;
    LaunchCat(child);
    char text[] = "xyz";
    ASSERT_EQ(child.WriteBuf(text, 3), 0);
    long length = 0;

    std::string got;
    for (int i = 0; i < 3; ++i) {
        GuardedBuffer two(2);
        length = 2;
        ASSERT_EQ(child.ReadBuf(two.data(), &length), 0);
        ASSERT_EQ(length, 1);
        EXPECT_EQ(two.at(1), 0) << "the byte is followed by a zero byte inside the buffer";
        EXPECT_TRUE(two.GuardIntact());
        got += two.data()[0];
    }
    EXPECT_EQ(got, "xyz");

    child.Finalize();
    EXPECT_EQ(child.Wait(0), 0);
}

TEST_F(BadInput, ReadBufIntoAnExactBufferNeverWritesPastIt)
{
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("emit 100000"), "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    long total = 0;
    for (size_t capacity : {size_t{3}, size_t{7}, size_t{4096}, size_t{4097}, size_t{65536}}) {
        GuardedBuffer buffer(capacity);
        long length = static_cast<long>(capacity);
        ASSERT_EQ(child.ReadBuf(buffer.data(), &length), 0);
        ASSERT_GT(length, 0);
        ASSERT_LE(length, static_cast<long>(capacity) - 1);
        for (size_t i = static_cast<size_t>(length); i < capacity; ++i)
            ASSERT_EQ(buffer.at(i), 0) << "byte " << i << " after the data";
        EXPECT_TRUE(buffer.GuardIntact()) << "capacity " << capacity;
        total += length;
    }
    EXPECT_GT(total, 0);
    child.Finalize();
    child.Wait(0);
}

TEST_F(BadInput, ReadErrBufRefusesNullPointersAndLengthsBelowOne)
{
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("stderr 0 some-error-text"), "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    child.Finalize();
    ASSERT_EQ(child.Wait(0), 0);

    GuardedBuffer buffer(8);
    long length = 8;
    EXPECT_EQ(child.ReadErrBuf(nullptr, &length), -1);
    EXPECT_EQ(child.m_lastErr.load(), EINVAL);
    child.m_lastErr = 0;
    EXPECT_EQ(child.ReadErrBuf(buffer.data(), nullptr), -1);
    EXPECT_EQ(child.m_lastErr.load(), EINVAL);
    for (long bad : {0L, -1L, LONG_MIN}) {
        SCOPED_TRACE("length " + std::to_string(bad));
        child.m_lastErr = 0;
        length = bad;
        EXPECT_EQ(child.ReadErrBuf(buffer.data(), &length), -1);
        EXPECT_EQ(child.m_lastErr.load(), EINVAL);
        EXPECT_EQ(length, bad);
        EXPECT_EQ(buffer.at(0), 0x5A);
    }
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST_F(BadInput, ReadErrBufFillsExactBuffersOfEveryLengthFromTheTail)
{
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("stderr 0 0123456789"), "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    child.Finalize();
    ASSERT_EQ(child.Wait(0), 0);
    const std::string file = "0123456789\n";  // what the probe wrote

    for (size_t capacity : {size_t{1}, size_t{2}, size_t{5}, size_t{11}, size_t{12}, size_t{13}, size_t{1024}}) {
        SCOPED_TRACE("length " + std::to_string(capacity));
        GuardedBuffer buffer(capacity);
        long length = static_cast<long>(capacity);
        ASSERT_EQ(child.ReadErrBuf(buffer.data(), &length), 0);
        EXPECT_EQ(length, static_cast<long>(capacity)) << "the length is never changed";
        const size_t want = std::min(capacity - 1, file.size());
        EXPECT_EQ(std::string(buffer.data()), file.substr(file.size() - want));
        for (size_t i = want; i < capacity; ++i)
            ASSERT_EQ(buffer.at(i), 0) << "byte " << i;
        EXPECT_TRUE(buffer.GuardIntact());
    }
}

// ---------------------------------------------------------------------------
// WriteBuf: null data, lengths of 0 and below

TEST_F(BadInput, WriteBufSendsNothingForLengthsBelowOneAndRefusesNullData)
{
    MySqlChildProcess child;
    LaunchCat(child);
    m_env.ClearLog();

    char byte = 'q';
    for (long nothing : {0L, -1L, LONG_MIN}) {
        SCOPED_TRACE("length " + std::to_string(nothing));
        EXPECT_EQ(child.WriteBuf(&byte, nothing), 0);
        EXPECT_EQ(child.WriteBuf(nullptr, nothing), 0);
    }
    EXPECT_TRUE(m_env.Messages("MySqlChildProcess::WriteBuf").empty()) << "nothing to write logs nothing";

    child.m_lastErr = 0;
    EXPECT_EQ(child.WriteBuf(nullptr, 10), -1);
    EXPECT_EQ(child.m_lastErr.load(), EFAULT);

    // None of it reached the child.
    ASSERT_EQ(close(child.m_filedesPW[1]), 0);
    child.m_filedesPW[1] = -1;
    EXPECT_EQ(testsupport::ReadAll(child), "");
    child.Finalize();
    EXPECT_EQ(child.Wait(0), 0);
}

// ---------------------------------------------------------------------------
// Calls out of order

TEST_F(BadInput, EveryOperationBeforeInitializeFailsCleanly)
{
    FdLeakCheck leaks;
    MySqlChildProcess child;

    EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
    EXPECT_EQ(child.m_lastErr.load(), EINVAL);
    EXPECT_EQ(child.m_hxProcess, nullptr);
    EXPECT_EQ(child.m_filedesCW[0], -1);

    char data[4] = "abc";
    EXPECT_EQ(child.WriteBuf(data, 3), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBADF);

    GuardedBuffer buffer(16);
    long length = 16;
    EXPECT_EQ(child.ReadBuf(buffer.data(), &length), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBADF);
    EXPECT_EQ(length, 16);
    EXPECT_TRUE(buffer.AllZero());

    length = 16;
    EXPECT_EQ(child.ReadErrBuf(buffer.data(), &length), -1) << "there is no error file yet";
    EXPECT_TRUE(buffer.AllZero());
    std::string line = "unchanged";
    EXPECT_EQ(child.ReadLastErr(line, "ERROR"), -1);
    EXPECT_EQ(line, "unchanged");
    child.logBufferContent();

    EXPECT_EQ(child.Wait(0), -1);
    EXPECT_EQ(child.m_lastErr.load(), ECHILD);
    errno = 0;
    EXPECT_EQ(child.Terminate(), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(child.Finalize(), 0);
    EXPECT_EQ(child.Finalize(), 0);

    // The wait thread starts and fails: there is no child to wait for.
    EXPECT_EQ(child.BeginWait(), 0);
    ASSERT_TRUE(AwaitWaitThread(child));
    EXPECT_TRUE(child.m_waitFailed.load());
    EXPECT_FALSE(child.m_waitComplete.load());
    EXPECT_TRUE(buffer.GuardIntact());
    // Without an event nothing could be logged.
    EXPECT_TRUE(m_env.Messages("MySqlChildProcess::Wait").empty());
}

TEST_F(BadInput, InitializeTwiceGivesAFreshErrorFileAndOneLaunch)
{
    FdLeakCheck leaks;
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("exit 0"), "", ""), 0);
    const std::string first = child.m_errFilePath;
    ASSERT_EQ(child.Initialize(ProbeCommand("exit 3"), "", ""), 0);
    EXPECT_NE(child.m_errFilePath, first);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    child.Finalize();
    EXPECT_EQ(child.Wait(0), -1);
    EXPECT_EQ(child.m_lastErr.load(), 3) << "the second command is the one that ran";
}

TEST_F(BadInput, SecondLaunchIsRefusedWithEalreadyAndTheFirstChildIsKept)
{
    FdLeakCheck leaks;
    MySqlChildProcess child;
    LaunchCat(child);
    const int pid = child.m_childPid;
    const int ends[2] = {child.m_filedesPW[1], child.m_filedesCW[0]};

    EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
    EXPECT_EQ(child.m_lastErr.load(), EALREADY);
    EXPECT_EQ(child.m_childPid, pid);
    EXPECT_EQ(child.m_filedesPW[1], ends[0]);
    EXPECT_EQ(child.m_filedesCW[0], ends[1]);

    // The first child still works through the ends it was given.
    char text[] = "still here";
    ASSERT_EQ(child.WriteBuf(text, 10), 0);
    GuardedBuffer buffer(64);
    long length = 64;
    ASSERT_EQ(child.ReadBuf(buffer.data(), &length), 0);
    EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(length)), "still here");

    child.Finalize();
    EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1) << "after Finalize too";
    EXPECT_EQ(child.m_lastErr.load(), EALREADY);
    EXPECT_EQ(child.Wait(0), 0);
    EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1) << "after Wait too";
    EXPECT_EQ(child.m_lastErr.load(), EALREADY);
}

TEST_F(BadInput, AfterFinalizeThePipesFailWithEbadfAndWaitStillWorks)
{
    FdLeakCheck leaks;
    MySqlChildProcess child;
    LaunchCat(child);
    EXPECT_EQ(child.Finalize(), 0);
    EXPECT_EQ(child.Finalize(), 0) << "twice";

    char data[] = "late";
    EXPECT_EQ(child.WriteBuf(data, 4), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBADF);
    GuardedBuffer buffer(32);
    long length = 32;
    EXPECT_EQ(child.ReadBuf(buffer.data(), &length), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBADF);
    EXPECT_EQ(length, 32);
    EXPECT_TRUE(buffer.AllZero());
    EXPECT_TRUE(buffer.GuardIntact());

    EXPECT_EQ(child.Wait(0), 0);
    // A second wait repeats the outcome without waiting for the reaped pid,
    // and Terminate no longer signals it.
    EXPECT_EQ(child.Wait(0), 0);
    EXPECT_EQ(child.m_lastErr.load(), 0);
    errno = 0;
    EXPECT_EQ(child.Terminate(), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(BadInput, FailedInitializeLeavesAnObjectThatRefusesToLaunch)
{
    FdLeakCheck leaks;
    // The results folder cannot be made under a regular file.
    testsupport::WriteFile(m_env.dir() + "/plainfile", "x");
    testsupport::SetEnv("HX_JOB_RESULTS_DIR", m_env.dir() + "/plainfile/results");
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("exit 0"), "", ""), -1);
    EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
    EXPECT_EQ(child.m_lastErr.load(), EINVAL);
    EXPECT_EQ(child.m_hxProcess, nullptr);
    EXPECT_EQ(child.Wait(0), -1);
    EXPECT_EQ(child.Finalize(), 0);
}

TEST_F(BadInput, NullMySqlInfoMeansNoImpersonation)
{
    MySqlChildProcess child;
    EXPECT_EQ(child.Initialize(ProbeCommand("exit 0"), static_cast<GetMySqlInfo*>(nullptr)), 0);
    EXPECT_EQ(child.m_userName[0], '\0');
    EXPECT_TRUE(m_env.LogHas(frozen::kNoImpersonation));
}

// ---------------------------------------------------------------------------
// The limits of the fixed-size fields

// A command line of exactly `size` characters: the probe reporting, with one
// long last argument making up the length.
std::string CommandOfLength(size_t size)
{
    std::string command = ProbeCommand("report ");
    if (command.size() < size)
        command += std::string(size - command.size(), 'a');
    return command;
}

TEST_F(BadInput, CommandLineOf2999CharactersRunsWholeAnd3000IsRefused)
{
    {
        FdLeakCheck leaks;
        const std::string command = CommandOfLength(2999);
        ASSERT_EQ(command.size(), 2999u);
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize(command, "", ""), 0);
        ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0) << "lastErr=" << child.m_lastErr.load();
        const auto report = ParseReport(testsupport::ReadAll(child));
        child.Finalize();
        EXPECT_EQ(child.Wait(0), 0);
        const auto args = ReportValues(report, "arg");
        ASSERT_EQ(args.size(), 3u);
        EXPECT_EQ(args[2], command.substr(command.rfind(' ') + 1)) << "the last argument arrives uncut";
    }
    {
        FdLeakCheck leaks;
        MySqlChildProcess child;
        EXPECT_EQ(child.Initialize(CommandOfLength(3000), "", ""), -1);
        EXPECT_EQ(child.m_lastErr.load(), E2BIG);
        EXPECT_TRUE(m_env.LogHas("Command line of 3000 characters refused: at most 2999 are allowed"));
        EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1) << "nothing runs, not even a part";
        EXPECT_EQ(child.m_hxProcess, nullptr);
    }
    {
        MySqlChildProcess child;
        EXPECT_EQ(child.Initialize(CommandOfLength(100000), "", ""), -1);
        EXPECT_EQ(child.m_lastErr.load(), E2BIG);
    }
}

TEST_F(BadInput, UserNameOf103CharactersIsKeptWholeAnd104IsRefused)
{
    const std::string name103(103, 'u');
    {
        FdLeakCheck leaks;
        MySqlChildProcess child;
        ASSERT_EQ(child.Initialize(ProbeCommand("report"), name103, ""), 0);
        EXPECT_EQ(std::string(child.m_userName), name103);
        EXPECT_EQ(child.m_userName[103], '\0');
        // No such user: running the tool as the caller (root) instead would
        // escalate a typo, so nothing is launched, or even created.
        EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
        EXPECT_EQ(child.m_lastErr.load(), ENOENT);
        EXPECT_EQ(child.m_hxProcess, nullptr);
        EXPECT_EQ(child.m_filedesPW[1], -1);
        EXPECT_EQ(child.m_filedesCW[0], -1);
        EXPECT_TRUE(m_env.LogHas("User [" + name103 + "] is not in the user database; no child is launched"));
    }
    for (size_t size : {size_t{104}, size_t{4096}}) {
        SCOPED_TRACE("user name of " + std::to_string(size));
        MySqlChildProcess child;
        EXPECT_EQ(child.Initialize(ProbeCommand("exit 0"), std::string(size, 'u'), ""), -1);
        EXPECT_EQ(child.m_lastErr.load(), ENAMETOOLONG);
        EXPECT_EQ(child.m_userName[0], '\0') << "nothing of the refused name is kept";
        EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
    }
    EXPECT_TRUE(m_env.LogHas("User name of 104 characters refused: at most 103 are allowed"));
}

// A zero byte inside the command or the user name would cut it short in the
// fixed-size fields and run a shorter command, or impersonate another user.
TEST_F(BadInput, ZeroByteInsideCommandOrUserNameIsRefused)
{
    {
        MySqlChildProcess child;
        EXPECT_EQ(child.Initialize(std::string("/bin/true\0 --and-more", 21), "", ""), -1);
        EXPECT_EQ(child.m_lastErr.load(), EINVAL);
        EXPECT_TRUE(m_env.LogHas("Command line holding a zero byte refused"));
        EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
    }
    {
        MySqlChildProcess child;
        EXPECT_EQ(child.Initialize(ProbeCommand("exit 0"), std::string("root\0nobody", 11), ""), -1);
        EXPECT_EQ(child.m_lastErr.load(), EINVAL);
        EXPECT_EQ(child.m_userName[0], '\0');
        EXPECT_TRUE(m_env.LogHas("User name holding a zero byte refused"));
        EXPECT_EQ(child.HX_CreateProcess(false, false, false, false), -1);
    }
}

}  // namespace
