// The relays with real children: the tool's output into a file, a pipe and a
// descriptor the kernel will not splice into, a file into the tool's input,
// one tool into another; every byte once and in order, the caller's limit
// per call, the end of the source, a reader that goes away, and a storm of
// signals on the relaying thread.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"
#include "support/TestSupport.h"

using LibMySqlProcess::MySqlChildProcess;
using testsupport::EmitPattern;
using testsupport::FdLeakCheck;
using testsupport::HostEnv;
using testsupport::ProbeCommand;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

const char kOutTag[] = "MySqlChildProcess::RelayOutputTo";
const char kInTag[] = "MySqlChildProcess::RelayInputFrom";

// Bytes with a period (251) that no limit or pipe size divides, so a lost,
// doubled or reordered piece shows.
std::string Periodic(size_t size)
{
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>(i % 251);
    return out;
}

void Launch(MySqlChildProcess& child, const std::string& command)
{
    ASSERT_EQ(child.Initialize(command, "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0) << "lastErr=" << child.m_lastErr.load();
}

// Every call of one relay until the source ends: the counts it gave, or the
// errno of a failure.
struct Moves {
    std::vector<long long> counts;
    long long total = 0;
    int failure = 0;
    long long movedAtFailure = 0;
    bool overLimit = false;
};

template <typename Call>
Moves RelayToTheEnd(long long limit, Call call)
{
    Moves m;
    for (;;) {
        long long moved = -1;
        if (call(limit, &moved) != 0) {
            m.failure = errno;
            m.movedAtFailure = moved;
            return m;
        }
        m.counts.push_back(moved);
        if (moved > limit)
            m.overLimit = true;
        if (moved == 0)
            return m;
        m.total += moved;
    }
}

// Drains a descriptor on a thread of its own, as the next tool would.
class Drain {
public:
    explicit Drain(int fd)
        : m_thread([this, fd] {
              char buffer[65536];
              for (;;) {
                  const ssize_t n = read(fd, buffer, sizeof buffer);
                  if (n < 0 && errno == EINTR)
                      continue;
                  if (n <= 0)
                      return;
                  m_data.append(buffer, static_cast<size_t>(n));
              }
          })
    {
    }
    std::string Join()
    {
        m_thread.join();
        return m_data;
    }

private:
    std::string m_data;
    std::thread m_thread;
};

// The counts of the level-8 lines under tag that start with verb.
long long LoggedBytes(const HostEnv& env, const char* tag, const char* verb, int* lines)
{
    long long sum = 0;
    *lines = 0;
    const std::string prefix = std::string(verb) + " ";
    for (const std::string& m : env.Messages(tag)) {
        long long n = 0;
        char tail = 0;
        if (m.compare(0, prefix.size(), prefix) == 0 &&
            sscanf(m.c_str() + prefix.size(), "%lld bytes%c", &n, &tail) == 1) {
            sum += n;
            ++*lines;
        }
    }
    return sum;
}

// True when the kernel refuses to splice into fd (a file or socket with
// O_APPEND set), so that it takes the read/write path. Tried with one byte on
// a pipe of its own.
bool RefusesSplice(int fd)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    const bool refused = write(p[1], "x", 1) == 1 && splice(p[0], nullptr, fd, nullptr, 1, 0) < 0 && errno == EINVAL;
    close(p[0]);
    close(p[1]);
    return refused;
}

// SIGUSR1, handled without SA_RESTART, sent to one thread as fast as it goes
// until Stop: every blocked call of that thread returns EINTR or a short
// count. The handler stays until the object goes, which must be after the
// thread has ended: a signal still pending would otherwise find the default
// action and end the test program.
class SignalStorm {
public:
    explicit SignalStorm(pthread_t target)
    {
        m_thread = std::thread([this, target] {
            while (!m_stop.load()) {
                pthread_kill(target, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        });
    }
    ~SignalStorm() { Stop(); }
    long Stop()
    {
        if (m_thread.joinable()) {
            m_stop = true;
            m_thread.join();
        }
        return testsupport::InterruptingHandler::Count();
    }

private:
    testsupport::InterruptingHandler m_handler;  // made first, gone last
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

enum class Destination { File, Pipe, AppendFile };


class RelayTest : public ::testing::Test {
protected:
    // The logger keeps the last log it wrote open until a line goes to
    // another path: point it at this test's log before descriptors are
    // counted.
    void SetUp() override { HxDebugWrite("test", 1, "test starts"); }

    HostEnv m_env;
};

// ---------------------------------------------------------------------------

// With an output copy (SetOutputCopy), the copy pipe gets the same bytes,
// whichever way they moved.
TEST_F(RelayTest, OutputReachesAFileAPipeAndAnAppendedFileWholeWithinTheLimit)
{
    FdLeakCheck leaks;
    const size_t size = (5u << 20) + 123;
    const long long limit = 100000;
    struct Case {
        const char* name;
        Destination to;
        const char* verb;  // of the detail lines: spliced or through a buffer
        bool copy;
    };
    const Case cases[] = {
        {"a regular file", Destination::File, "moved", false},
        {"a pipe", Destination::Pipe, "moved", false},
        {"a file opened for appending", Destination::AppendFile, "copied", false},
        {"a regular file, copied", Destination::File, "moved", true},
        {"a pipe, copied", Destination::Pipe, "moved", true},
        {"a file opened for appending, copied", Destination::AppendFile, "copied", true},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / "out";
        const std::string earlier = c.to == Destination::AppendFile ? "kept\n" : "";
        testsupport::WriteFile(path, earlier, 0600);
        int fd = -1;
        int p[2] = {-1, -1};
        std::unique_ptr<Drain> drain;
        if (c.to == Destination::Pipe) {
            ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
            fd = p[1];
            drain = std::make_unique<Drain>(p[0]);
        } else {
            fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | (c.to == Destination::AppendFile ? O_APPEND : O_TRUNC));
            ASSERT_GE(fd, 0);
        }
        if (c.to == Destination::AppendFile && !RefusesSplice(fd)) {
            std::cout << "[ NOTE     ] this kernel splices into appended files; their read/write path is not tried\n";
            close(fd);
            continue;
        }
        m_env.ClearLog();
        MySqlChildProcess child;
        Launch(child, ProbeCommand("emit " + std::to_string(size)));
        int copy[2] = {-1, -1};
        std::unique_ptr<Drain> copied;
        if (c.copy) {
            ASSERT_EQ(pipe2(copy, O_CLOEXEC), 0);
            ASSERT_EQ(child.SetOutputCopy(copy[1]), 0);
            copied = std::make_unique<Drain>(copy[0]);
        }

        const Moves m = RelayToTheEnd(limit, [&](long long n, long long* moved) {
            return child.RelayOutputTo(fd, n, moved);
        });
        if (c.copy) {
            EXPECT_EQ(child.SetOutputCopy(-1), 0);
            close(copy[1]);
            EXPECT_TRUE(copied->Join() == EmitPattern(size)) << "the copy is not the bytes that moved";
            close(copy[0]);
        }
        long long again = -1;
        EXPECT_EQ(child.RelayOutputTo(fd, limit, &again), 0);
        EXPECT_EQ(again, 0) << "an ended source ended for good";
        close(fd);
        const std::string got = drain ? drain->Join() : ReadFile(path);
        if (p[0] >= 0)
            close(p[0]);

        EXPECT_EQ(m.failure, 0);
        EXPECT_FALSE(m.overLimit);
        EXPECT_EQ(m.total, static_cast<long long>(size)) << "the end came early, or late";
        EXPECT_TRUE(got == earlier + EmitPattern(size)) << "not the tool's bytes, once and in order";
        int lines = 0;
        EXPECT_EQ(LoggedBytes(m_env, kOutTag, c.verb, &lines), static_cast<long long>(size));
        EXPECT_EQ(lines + 1, static_cast<int>(m.counts.size()));
        EXPECT_EQ(m_env.LogCount("RelayOutputTo no data left to read"), 2);
        const MySqlChildProcess::RelayCounters counters = child.GetRelayCounters();
        EXPECT_EQ(counters.bytesOut, static_cast<long long>(size));
        EXPECT_EQ(counters.splices + counters.copies, lines);
        EXPECT_EQ(counters.copies > 0, c.to == Destination::AppendFile);
        EXPECT_GT(counters.outputPipeSize, 0);
        child.Finalize();
        EXPECT_EQ(child.Wait(0), 0);
    }
}

TEST_F(RelayTest, InputFromAFileAndOneToolIntoAnotherArriveWhole)
{
    FdLeakCheck leaks;
    TempDir dir;
    const std::string data = Periodic((3u << 20) + 77);
    testsupport::WriteFile(dir / "in", data);
    const long long limit = 65537;
    for (const bool chain : {false, true}) {
        SCOPED_TRACE(chain ? "probe emit into probe cat" : "a file into probe cat");
        MySqlChildProcess first;
        MySqlChildProcess last;
        if (chain)
            Launch(first, ProbeCommand("emit " + std::to_string(data.size())));
        Launch(last, ProbeCommand("cat"));
        const int file = chain ? -1 : open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC);

        Moves m;
        std::thread feeder([&] {
            m = chain ? RelayToTheEnd(limit,
                                      [&](long long n, long long* moved) {
                                          return first.RelayOutputTo(last.m_filedesPW[1], n, moved);
                                      })
                      : RelayToTheEnd(limit, [&](long long n, long long* moved) {
                            return last.RelayInputFrom(file, n, moved);
                        });
            last.CloseInput();
        });
        const std::string got = testsupport::ReadAll(last, 1 << 16);
        feeder.join();
        if (file >= 0)
            close(file);

        EXPECT_EQ(m.failure, 0);
        EXPECT_FALSE(m.overLimit);
        EXPECT_EQ(m.total, static_cast<long long>(data.size()));
        EXPECT_TRUE(got == (chain ? EmitPattern(data.size()) : data)) << "not the bytes sent, once and in order";
        for (MySqlChildProcess* child : {&first, &last}) {
            child->Finalize();
            if (child == &last || chain) {
                EXPECT_EQ(child->Wait(0), 0);
            }
        }
    }
    int lines = 0;
    EXPECT_EQ(LoggedBytes(m_env, kInTag, "moved", &lines), static_cast<long long>(data.size()));
}

// A host on an event loop hands in non-blocking descriptors: an empty source
// or a full destination is waited for inside the call, never a failure, and
// a call returns only once something moved (or the source ended). The
// producers pause so that both pipes run empty and full many times over.
TEST_F(RelayTest, NonBlockingDescriptorsOfTheCallerAreWaitedOn)
{
    FdLeakCheck leaks;
    const std::string data = Periodic((4u << 20) + 11);
    auto slowly = [&](int fd) {
        for (size_t at = 0; at < data.size(); at += 300000) {
            const size_t n = std::min<size_t>(300000, data.size() - at);
            for (size_t done = 0; done < n;) {
                const ssize_t w = write(fd, data.data() + at + done, n - done);
                if (w > 0)
                    done += static_cast<size_t>(w);
                else if (errno == EAGAIN)
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                else if (errno != EINTR)
                    return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    };
    for (const bool output : {true, false}) {
        SCOPED_TRACE(output ? "RelayOutputTo a non-blocking pipe" : "RelayInputFrom a non-blocking pipe");
        m_env.ClearLog();
        int host[2];
        ASSERT_EQ(pipe2(host, O_CLOEXEC | O_NONBLOCK), 0);
        MySqlChildProcess child;
        Launch(child, ProbeCommand("cat"));
        Moves m;
        std::string got;
        if (output) {
            std::thread feeder([&] {
                slowly(child.m_filedesPW[1]);
                child.CloseInput();
            });
            std::thread drain([&] {
                char buffer[100000];
                for (;;) {
                    const ssize_t n = read(host[0], buffer, sizeof buffer);
                    if (n == 0)
                        return;
                    if (n > 0)
                        got.append(buffer, static_cast<size_t>(n));
                    std::this_thread::sleep_for(std::chrono::microseconds(n > 0 ? 500 : 100));
                }
            });
            m = RelayToTheEnd(1 << 20, [&](long long n, long long* moved) {
                return child.RelayOutputTo(host[1], n, moved);
            });
            close(host[1]);
            child.CloseOutput();  // a relay that gave up must not leave the feeder blocked
            feeder.join();
            drain.join();
            close(host[0]);
        } else {
            std::thread feeder([&] {
                slowly(host[1]);
                close(host[1]);
            });
            std::thread relay([&] {
                m = RelayToTheEnd(1 << 20, [&](long long n, long long* moved) {
                    return child.RelayInputFrom(host[0], n, moved);
                });
                child.CloseInput();
                close(host[0]);
            });
            got = testsupport::ReadAll(child, 1 << 16);
            feeder.join();
            relay.join();
        }
        EXPECT_EQ(m.failure, 0) << strerror(m.failure);
        EXPECT_EQ(std::count(m.counts.begin(), m.counts.end(), 0LL), 1) << "a call that moved nothing";
        EXPECT_TRUE(got == data) << "got " << got.size() << " of " << data.size() << " bytes";
        EXPECT_EQ(m_env.LogCount("failed"), 0);
        child.Finalize();
        EXPECT_EQ(child.Wait(0), 0);
    }
}

// The tool that reads stops, or the reader of the output goes: the relay
// fails with EPIPE instead of hanging or killing the caller, and the tools
// can still be waited for.
TEST_F(RelayTest, AReaderThatGoesAwayEndsTheRelayWithBrokenPipe)
{
    FdLeakCheck leaks;
    TempDir dir;
    testsupport::WriteFile(dir / "in", Periodic(8u << 20));
    const int rc = testsupport::RunInSubprocess([&]() -> int {
        signal(SIGPIPE, SIG_DFL);  // the launch must ignore it, or the relay kills the caller

        // The tool reads nothing and ends.
        MySqlChildProcess reader;
        if (reader.Initialize(ProbeCommand("stderr 3 \"tool said goodbye\""), "", "") != 0 ||
            reader.HX_CreateProcess(false, false, false, false) != 0)
            return 10;
        const int file = open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC);
        const Moves in = RelayToTheEnd(1 << 20, [&](long long n, long long* moved) {
            return reader.RelayInputFrom(file, n, moved);
        });
        close(file);
        SUB_CHECK(in.failure == EPIPE, 11);
        SUB_CHECK(reader.m_lastErr.load() == EPIPE, 12);
        SUB_CHECK(in.total < (8 << 20), 13);
        reader.Finalize();
        SUB_CHECK(reader.Wait(0) == -1 && reader.m_lastErr.load() == 3, 14);

        // The output's reader closes its end after taking a little.
        MySqlChildProcess writer;
        if (writer.Initialize(ProbeCommand("emit 67108864"), "", "") != 0 ||
            writer.HX_CreateProcess(false, false, false, false) != 0)
            return 20;
        int p[2];
        SUB_CHECK(pipe2(p, O_CLOEXEC) == 0, 21);
        char taken[1000];
        long long moved = 0;
        SUB_CHECK(writer.RelayOutputTo(p[1], sizeof taken, &moved) == 0 && moved > 0, 22);
        SUB_CHECK(read(p[0], taken, sizeof taken) == moved, 23);
        close(p[0]);
        const Moves out = RelayToTheEnd(1 << 20, [&](long long n, long long* m) {
            return writer.RelayOutputTo(p[1], n, m);
        });
        close(p[1]);
        SUB_CHECK(out.failure == EPIPE && out.total == 0, 24);
        SUB_CHECK(writer.m_lastErr.load() == EPIPE, 25);
        // The tool, blocked on its full pipe, fails once that is closed.
        writer.Finalize();
        SUB_CHECK(writer.Wait(0) == -1, 26);
        return 0;
    }, 120);
    ASSERT_NE(rc, 128 + SIGPIPE) << "the relay killed the caller with SIGPIPE";
    ASSERT_NE(rc, -1) << "the relay hung";
    ASSERT_EQ(rc, 0) << "see the subprocess check above";
    EXPECT_TRUE(m_env.LogHas("RelayInputFrom splice failed: errno=32"));
    EXPECT_TRUE(m_env.LogHas("RelayInputFrom Error Stream: tool said goodbye"));
    EXPECT_TRUE(m_env.LogHas("RelayOutputTo splice failed: errno=32"));
}

// Signals keep interrupting the relaying thread, in the kernel's splice and
// in the read/write path: nothing fails, nothing is lost or doubled. The
// read/write path is taken into a socket with O_APPEND set, which the kernel
// will not splice into and which, unlike a file, fills up: a signal then cuts
// a write short.
TEST_F(RelayTest, ASignalStormOnTheRelayingThreadLosesNothing)
{
    FdLeakCheck leaks;
    const size_t size = 48u << 20;
    for (const bool copied : {false, true}) {
        SCOPED_TRACE(copied ? "into a socket with O_APPEND set" : "into the next tool");
        m_env.ClearLog();
        MySqlChildProcess first;
        MySqlChildProcess last;
        Launch(first, ProbeCommand("emit " + std::to_string(size)));
        int sockets[2] = {-1, -1};
        std::unique_ptr<Drain> drain;
        if (copied) {
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
            ASSERT_EQ(fcntl(sockets[0], F_SETFL, O_APPEND), 0);
            if (!RefusesSplice(sockets[0])) {
                std::cout << "[ NOTE     ] this kernel splices into appended sockets; no read/write path to storm\n";
                close(sockets[0]);
                close(sockets[1]);
                continue;
            }
            drain = std::make_unique<Drain>(sockets[1]);
        } else {
            Launch(last, ProbeCommand("cat"));
        }
        const int fd = copied ? sockets[0] : last.m_filedesPW[1];

        // The relaying thread outlives the storm: a signal to a thread that
        // has ended is undefined.
        Moves m;
        std::atomic<bool> relayed{false};
        std::atomic<bool> calm{false};
        std::thread relaying([&] {
            m = RelayToTheEnd(1 << 20, [&](long long n, long long* moved) { return first.RelayOutputTo(fd, n, moved); });
            if (copied)
                shutdown(sockets[0], SHUT_WR);
            else
                last.CloseInput();
            relayed = true;
            while (!calm)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        SignalStorm storm(relaying.native_handle());
        const std::string got = copied ? drain->Join() : testsupport::ReadAll(last, 1 << 16);
        while (!relayed)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const long signals = storm.Stop();
        calm = true;
        relaying.join();
        if (copied) {
            close(sockets[0]);
            close(sockets[1]);
        }

        EXPECT_GT(signals, 100) << "the storm hardly blew";
        EXPECT_EQ(m.failure, 0) << strerror(m.failure);
        EXPECT_EQ(m.total, static_cast<long long>(size));
        EXPECT_TRUE(got == EmitPattern(size)) << "bytes lost, doubled or reordered";
        int lines = 0;
        EXPECT_EQ(LoggedBytes(m_env, kOutTag, copied ? "copied" : "moved", &lines), static_cast<long long>(size));
        first.Finalize();
        EXPECT_EQ(first.Wait(0), 0);
        if (!copied) {
            last.Finalize();
            EXPECT_EQ(last.Wait(0), 0);
        }
    }
}

// A tool writing 4 KiB at a time is relayed in far larger pieces, yet a tool
// that writes a little and then waits has that little relayed at once, not
// held for more.
TEST_F(RelayTest, SmallWritesAreGatheredWithoutHoldingUpAToolThatPauses)
{
    FdLeakCheck leaks;
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(devNull, 0);
    {
        const long long size = 32LL << 20;
        MySqlChildProcess child;
        Launch(child, ProbeCommand("emit " + std::to_string(size) + " 4096"));
        const Moves m = RelayToTheEnd(1LL << 20, [&](long long n, long long* moved) {
            return child.RelayOutputTo(devNull, n, moved);
        });
        EXPECT_EQ(m.total, size);
        const long long average = size / static_cast<long long>(m.counts.size());
        std::cout << "[ NOTE     ] 4 KiB writes relayed in " << m.counts.size() << " calls, " << average / 1024
                  << " KiB each\n";
        EXPECT_GE(average, 16 * 1024) << "a relay call per write or two";
        child.Finalize();
        EXPECT_EQ(child.Wait(0), 0);
    }
    {
        MySqlChildProcess child;
        Launch(child, "/bin/sh -c \"printf abc; exec /bin/sleep 60\"");
        const auto start = std::chrono::steady_clock::now();
        long long moved = 0;
        EXPECT_EQ(child.RelayOutputTo(devNull, 1LL << 20, &moved), 0);
        EXPECT_EQ(moved, 3);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "held until the tool wrote more";
        child.Terminate();
        child.Finalize();
        child.Wait(0);
    }
    close(devNull);
}

// The rate limit holds a relay back (the figure within its band is the
// benchmark's), and a change from another thread reaches a relay that is
// already waiting for its turn.
TEST_F(RelayTest, TheRateLimitHoldsAndChangesWhileTheRelayRuns)
{
    FdLeakCheck leaks;
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(devNull, 0);
    auto relayAll = [&](MySqlChildProcess& child) {
        return RelayToTheEnd(1LL << 20, [&](long long n, long long* moved) {
            return child.RelayOutputTo(devNull, n, moved);
        });
    };
    {
        // 2 MiB at 2 MiB/s, less the bucket's 0.2 MiB to start: 0.9 s at least.
        const long long size = 2LL << 20;
        MySqlChildProcess child;
        ASSERT_EQ(child.SetRateLimit(2LL << 20), 0);
        Launch(child, ProbeCommand("emit " + std::to_string(size)));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(relayAll(child).total, size);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::cout << "[ NOTE     ] 2 MiB at 2 MiB/s took " << seconds << " s\n";
        EXPECT_GE(seconds, 0.85) << "faster than the limit";
        child.Finalize();
        EXPECT_EQ(child.Wait(0), 0);
    }
    {
        // 64 MiB at 64 KiB/s would take 1000 s; lifted after a moment, it
        // is done in a fraction of the test's time.
        const long long size = 64LL << 20;
        MySqlChildProcess child;
        ASSERT_EQ(child.SetRateLimit(64 * 1024), 0);
        Launch(child, ProbeCommand("emit " + std::to_string(size)));
        const auto start = std::chrono::steady_clock::now();
        std::thread lift([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            child.SetRateLimit(0);
        });
        EXPECT_EQ(relayAll(child).total, size);
        lift.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << "the change did not reach it";
        child.Finalize();
        EXPECT_EQ(child.Wait(0), 0);
    }
    close(devNull);
}

TEST_F(RelayTest, ClosedEndsAndBadArgumentsAreRefused)
{
    FdLeakCheck leaks;
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(ProbeCommand("cat"), "", ""), 0);
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    long long moved = -1;
    // Before the launch, and after Finalize, the ends are closed.
    EXPECT_EQ(child.RelayOutputTo(devNull, 100, &moved), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBADF);
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(child.RelayInputFrom(devNull, 100, &moved), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBADF);

    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    for (const long long limit : {0LL, -1LL, LLONG_MIN}) {
        SCOPED_TRACE(limit);
        child.m_lastErr = 0;
        EXPECT_EQ(child.RelayInputFrom(devNull, limit, &moved), -1);
        EXPECT_EQ(child.m_lastErr.load(), EINVAL);
        EXPECT_EQ(child.RelayOutputTo(devNull, limit, &moved), -1);
        EXPECT_EQ(child.m_lastErr.load(), EINVAL);
    }
    EXPECT_EQ(child.RelayOutputTo(devNull, 100, nullptr), -1);
    EXPECT_EQ(child.RelayInputFrom(devNull, 100, nullptr), -1);
    child.m_lastErr = 0;
    EXPECT_EQ(child.SetRateLimit(-1), -1);
    EXPECT_EQ(child.m_lastErr.load(), EINVAL);
    EXPECT_EQ(child.GetRateLimit(), 0);
    child.m_lastErr = 0;
    EXPECT_EQ(child.SetOutputCopy(devNull), -1) << "a copy must go to a pipe";
    EXPECT_EQ(child.m_lastErr.load(), EINVAL);
    EXPECT_EQ(child.SetOutputCopy(-1), 0);

    // A source at its end right away: 0 bytes, and the tool sees no input.
    EXPECT_EQ(child.RelayInputFrom(devNull, 100, &moved), 0);
    EXPECT_EQ(moved, 0);
    child.CloseInput();
    EXPECT_EQ(testsupport::ReadAll(child), "");

    child.Finalize();
    EXPECT_EQ(child.RelayOutputTo(devNull, 100, &moved), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBADF);
    EXPECT_EQ(child.RelayInputFrom(devNull, 100, &moved), -1);
    EXPECT_EQ(child.m_lastErr.load(), EBADF);
    close(devNull);
    EXPECT_EQ(child.Wait(0), 0);
}

}  // namespace
