// Reading the child's error file back: the tail (ReadErrBuf), the last line
// holding a key (ReadLastErr, which reports its failures to the process-wide
// log writer) and the whole file into the debug log (logBufferContent). The
// files are real files at the path Initialize fixed.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "child_process/LogTexts.h"
#include "child_process/MySqlChildProcess.h"
#include "host/LogWriter.h"
#include "support/TestSupport.h"

using LibMySqlProcess::MySqlChildProcess;
using testsupport::HostEnv;
using testsupport::RecordingWriter;

namespace {

namespace frozen = LibMySqlProcess::frozen;

constexpr const char* kSignature = frozen::kReadLastErrSignature;
constexpr const char* kNotFound = frozen::kErrorLineNotFound;
const char kReadErrBufTag[] = "MySqlChildProcess::ReadErrBuf";
const char kLogBufferTag[] = "MySqlChildProcess::logBufferContent";

class ErrorCaptureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_savedWriter = g_ptrLogWriter;
        m_writer = new RecordingWriter;
        g_ptrLogWriter.reset(m_writer);
        ASSERT_EQ(m_child.Initialize(std::string(testsupport::ProbePath()) + " exit 0", "", ""), 0);
        ASSERT_FALSE(m_child.m_errFilePath.empty());
    }

    void TearDown() override { g_ptrLogWriter = m_savedWriter; }

    void WriteErrorFile(const std::string& content) { testsupport::WriteFile(m_child.m_errFilePath, content); }

    // The one report expected from a failed ReadLastErr.
    void ExpectOneReport(int line, const std::string& format, const std::string& text)
    {
        ASSERT_EQ(m_writer->calls.size(), 1u);
        const RecordingWriter::Call& call = m_writer->calls[0];
        EXPECT_EQ(call.kind, 0);
        EXPECT_EQ(call.function, kSignature);
        EXPECT_EQ(call.line, line);
        EXPECT_EQ(call.arg1, 0);
        EXPECT_EQ(call.arg2, 0);
        EXPECT_EQ(call.format, format);
        EXPECT_EQ(call.text, text);
    }

    HostEnv m_env;
    MySqlChildProcess m_child;
    RecordingWriter* m_writer = nullptr;  // owned by g_ptrLogWriter

private:
    boost::shared_ptr<CLogWriterInterface> m_savedWriter;
};

std::string Repeat(char c, size_t n)
{
    return std::string(n, c);
}

// ---------------------------------------------------------------------------
// ReadLastErr

struct LastErrCase {
    const char* name;
    std::string content;
    const char* key;
    bool found;
    std::string line;
};

// The tail ReadLastErr examines is the last 4093 bytes. A file no longer than
// that is read whole, so its first piece is a real line; beyond that the
// first piece may be a fragment and is skipped.
std::vector<LastErrCase> LastErrCases()
{
    std::vector<LastErrCase> cases = {
        {"single line with the key", "ERROR 1045 (28000): Access denied\n", "ERROR", true,
         "ERROR 1045 (28000): Access denied"},
        {"second of two lines", "mysql: [Warning] Using a password\nERROR 2002: Can't connect\n", "ERROR", true,
         "ERROR 2002: Can't connect"},
        {"last of several matches wins", "ERROR first\nmiddle\nERROR third\n", "ERROR", true, "ERROR third"},
        {"only the first of two lines", "ERROR first\nsecond line\n", "ERROR", true, "ERROR first"},
        {"no line feed at all", "ERROR without a line feed", "ERROR", true, "ERROR without a line feed"},
        {"key nowhere", "first\nsecond\n", "ERROR", false, ""},
        {"empty file", "", "ERROR", false, ""},
        {"key is matched inside a line", "a\nmysqldump: Got error: 1044\n", "Got error", true,
         "mysqldump: Got error: 1044"},
        // A zero byte is an ordinary byte of the line it stands in.
        {"zero byte before a later match", std::string("first\nERROR before\nab\0ERROR after\n", 34), "ERROR", true,
         std::string("ab\0ERROR after", 14)},
        {"zero byte before the only match", std::string("first\nsecond\0\nERROR after\n", 26), "ERROR", true,
         "ERROR after"},
        {"zero bytes around the key", std::string("\0\0\nx\0ERROR\0y\n\0", 14), "ERROR", true,
         std::string("x\0ERROR\0y", 9)},
    };

    // 5000 bytes whose key stands only in the piece before the tail's first
    // line feed: that piece is a cut line and is not examined.
    std::string cut = Repeat('a', 950) + "ERROR in the first piece" + Repeat('a', 25) + "\n";
    while (cut.size() < 5000)
        cut += Repeat('x', 99) + "\n";
    cut.resize(5000);
    cut.back() = '\n';
    cases.push_back({"5000 bytes, key only in the cut first piece", cut, "ERROR", false, ""});

    // The same file with the key moved into a later line is found.
    std::string later = cut;
    later.replace(950, 5, "aaaaa");
    later.replace(2000, 5, "ERROR");
    const size_t start = later.rfind('\n', 2000) + 1;
    cases.push_back({"5000 bytes, key in a later line", later, "ERROR", true,
                     later.substr(start, later.find('\n', 2000) - start)});

    // Exactly 4093 bytes is the whole file; one byte more cuts the first
    // byte off, and the first piece is no longer examined.
    for (size_t size : {size_t{4093}, size_t{4094}}) {
        std::string text = "abcdeERROR in line one\n";
        while (text.size() < size)
            text += "filler\n";
        text.resize(size);
        text.back() = '\n';
        cases.push_back({size == 4093 ? "4093 bytes: whole file" : "4094 bytes: cut by one byte", text, "ERROR",
                         size == 4093, "abcdeERROR in line one"});
    }
    return cases;
}

TEST_F(ErrorCaptureTest, ReadLastErrFindsTheLastExaminedLineWithTheKey)
{
    for (const LastErrCase& c : LastErrCases()) {
        SCOPED_TRACE(c.name);
        m_writer->calls.clear();
        WriteErrorFile(c.content);
        std::string line = "unchanged";

        const int rc = m_child.ReadLastErr(line, c.key);

        if (c.found) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(line, c.line);
            EXPECT_TRUE(m_writer->calls.empty());
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(line, "unchanged");
            ExpectOneReport(797, kNotFound, "Error line with [" + std::string(c.key) + "] not found.");
        }
    }
}

TEST_F(ErrorCaptureTest, ReadLastErrWithoutErrorFileReportsTheReadFailure)
{
    std::string line = "unchanged";

    EXPECT_EQ(m_child.ReadLastErr(line, "ERROR"), -1);

    EXPECT_EQ(line, "unchanged");
    ExpectOneReport(780, frozen::kStderrReadFailed, frozen::kStderrReadFailed);
    const std::vector<std::string> messages = m_env.Messages(kReadErrBufTag);
    ASSERT_EQ(messages.size(), 2u) << testing::PrintToString(messages);
    EXPECT_EQ(messages[0].compare(0, 17, "Previous errno = "), 0) << messages[0];
    EXPECT_EQ(messages[1], "failed to open the file [" + m_child.m_errFilePath + "] errno [2]");
}

TEST_F(ErrorCaptureTest, NegativeWriterStatusSuppressesEveryReport)
{
    m_writer->status = -1;
    std::string line = "unchanged";

    // No error file yet: the read failure.
    EXPECT_EQ(m_child.ReadLastErr(line, "ERROR"), -1);
    EXPECT_EQ(m_writer->statusQueries, 1);
    // A file without the key: the missing line.
    WriteErrorFile("one\ntwo\n");
    EXPECT_EQ(m_child.ReadLastErr(line, "ERROR"), -1);
    EXPECT_EQ(m_writer->statusQueries, 2);
    EXPECT_TRUE(m_writer->calls.empty());
    EXPECT_EQ(line, "unchanged");

    // The status is asked afresh for each report, and the result never
    // depends on it.
    m_writer->status = 0;
    EXPECT_EQ(m_child.ReadLastErr(line, "ERROR"), -1);
    EXPECT_EQ(m_writer->statusQueries, 3);
    ExpectOneReport(797, kNotFound, "Error line with [ERROR] not found.");

    m_writer->status = -5;
    WriteErrorFile("one\nERROR two\n");
    EXPECT_EQ(m_child.ReadLastErr(line, "ERROR"), 0);
    EXPECT_EQ(line, "ERROR two");
}

TEST_F(ErrorCaptureTest, ReadLastErrFindsTheErrorLineOfARealTool)
{
    const std::string text = "ERROR 1045 (28000): Access denied for user";
    MySqlChildProcess child;
    ASSERT_EQ(child.Initialize(std::string(testsupport::ProbePath()) + " stderr 1 \"" + text + "\"", "", ""), 0);
    ASSERT_EQ(child.HX_CreateProcess(false, false, false, false), 0);
    child.Finalize();
    ASSERT_EQ(child.Wait(0), -1);
    ASSERT_EQ(child.m_lastErr.load(), 1);

    std::string line;
    EXPECT_EQ(child.ReadLastErr(line, "ERROR"), 0);
    EXPECT_EQ(line, text);
    EXPECT_TRUE(m_writer->calls.empty());
}

// ---------------------------------------------------------------------------
// ReadErrBuf

TEST_F(ErrorCaptureTest, ReadErrBufCopiesAShortFileAndZeroesTheRest)
{
    WriteErrorFile("0123456789");
    std::vector<char> buffer(1024, 'X');
    long length = 1024;
    errno = 7;

    EXPECT_EQ(m_child.ReadErrBuf(buffer.data(), &length), 0);

    EXPECT_EQ(length, 1024);
    EXPECT_EQ(std::string(buffer.data(), 10), "0123456789");
    for (size_t i = 10; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], '\0') << "at " << i;
    // The errno found on entry is logged and kept.
    EXPECT_EQ(m_child.m_lastErr.load(), 7);
    const std::vector<std::string> messages = {"Previous errno = [7]."};
    EXPECT_EQ(m_env.Messages(kReadErrBufTag), messages);
}

TEST_F(ErrorCaptureTest, ReadErrBufTakesTheTailOfALongFile)
{
    std::string content;
    for (int i = 0; content.size() < 3000; ++i)
        content += "line " + std::to_string(i) + "\n";
    WriteErrorFile(content);
    std::vector<char> buffer(1024, 'X');
    long length = 1024;

    EXPECT_EQ(m_child.ReadErrBuf(buffer.data(), &length), 0);

    EXPECT_EQ(std::string(buffer.data(), 1023), content.substr(content.size() - 1023));
    EXPECT_EQ(buffer[1023], '\0');
}

TEST_F(ErrorCaptureTest, ReadErrBufOfLengthOneReadsNothing)
{
    WriteErrorFile("some text\n");
    char buffer[2] = {'X', 'Y'};
    long length = 1;

    EXPECT_EQ(m_child.ReadErrBuf(buffer, &length), 0);

    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'Y') << "wrote past the length";
    EXPECT_EQ(length, 1);
}

TEST_F(ErrorCaptureTest, ReadErrBufRefusesALengthBelowOne)
{
    WriteErrorFile("some text\n");
    for (long given : {0L, -1L}) {
        SCOPED_TRACE(given);
        char buffer[1] = {'X'};
        long length = given;
        m_child.m_lastErr = 0;

        EXPECT_EQ(m_child.ReadErrBuf(buffer, &length), -1);

        EXPECT_EQ(m_child.m_lastErr.load(), EINVAL);
        EXPECT_EQ(buffer[0], 'X');
        EXPECT_EQ(length, given);
    }
}

TEST_F(ErrorCaptureTest, ReadErrBufWithoutErrorFileLeavesTheBufferZero)
{
    std::vector<char> buffer(64, 'X');
    long length = 64;

    EXPECT_EQ(m_child.ReadErrBuf(buffer.data(), &length), -1);

    EXPECT_EQ(std::string(buffer.data(), buffer.size()), std::string(64, '\0'));
    EXPECT_TRUE(m_env.LogHas("failed to open the file [" + m_child.m_errFilePath + "] errno [2]"));
}

// ---------------------------------------------------------------------------
// logBufferContent

TEST_F(ErrorCaptureTest, LogBufferContentLogsEveryLine)
{
    struct Case {
        const char* name;
        std::string content;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"a line, an empty line, a last line without line feed", "first line\n\nlast without line feed",
         {"first line", "", "last without line feed"}},
        {"final line feed adds no line", "one\ntwo\n", {"one", "two"}},
        {"zero byte ends the logged text of its line", std::string("ab\0cd\nnext\n", 11), {"ab", "next"}},
        {"empty file", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_env.ClearLog();
        WriteErrorFile(c.content);

        m_child.logBufferContent();

        std::vector<std::string> expected;
        for (const std::string& line : c.lines)
            expected.push_back("<<THIRD PARTY>> " + line);
        EXPECT_EQ(m_env.Messages(kLogBufferTag), expected);
    }
    EXPECT_TRUE(m_writer->calls.empty());
}

// The error file is the tool's user's to fill: one endless line must not
// become as much of the agent's memory, nor be read to its end.
TEST_F(ErrorCaptureTest, LogBufferContentKeepsOnlyTheStartOfAnEndlessLine)
{
    const size_t mib = 1 << 20;
    {
        FILE* file = fopen(m_child.m_errFilePath.c_str(), "w");
        ASSERT_NE(file, nullptr);
        const std::string chunk(mib, 'x');
        for (int i = 0; i < 64; ++i)
            ASSERT_EQ(fwrite(chunk.data(), 1, chunk.size(), file), chunk.size());
        fputs("\nnext\n", file);
        fclose(file);
    }
    rusage before {}, after {};
    getrusage(RUSAGE_SELF, &before);
    m_child.logBufferContent();
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(static_cast<size_t>(after.ru_maxrss - before.ru_maxrss) * 1024, 16 * mib);
    const auto lines = m_env.Messages(kLogBufferTag);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("<<THIRD PARTY>> xxxx", 0), 0u);
    EXPECT_EQ(lines[1].rfind("Left out the last [", 0), 0u) << lines[1];
}

// Whatever size the file claims (its user may truncate it to terabytes of
// holes after the tool ended), each reader reads at most about what it may
// log or return: counted in bytes this process read, not in seconds.
TEST_F(ErrorCaptureTest, AHugeSparseErrorFileIsReadOnlyAsFarAsTheCapsReach)
{
    WriteErrorFile("ERROR at the start\n");
    ASSERT_EQ(truncate(m_child.m_errFilePath.c_str(), 2LL << 30), 0);
    auto bytesRead = [] {
        const std::string io = testsupport::ReadFile("/proc/self/io");
        const size_t at = io.find("rchar: ");
        return at == std::string::npos ? -1LL : std::stoll(io.substr(at + 7));
    };
    const long long before = bytesRead();
    ASSERT_GE(before, 0);
    m_child.logBufferContent();
    std::string line;
    EXPECT_EQ(m_child.ReadLastErr(line, "ERROR"), -1) << "the key is far before the tail";
    const long long read = bytesRead() - before;
    EXPECT_LT(read, 4LL << 20) << "read " << read << " bytes of a 2 GiB file";
    const auto lines = m_env.Messages(kLogBufferTag);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "<<THIRD PARTY>> ERROR at the start");
    EXPECT_EQ(lines[2].rfind("Left out the last [", 0), 0u) << lines[2];
}

// Nor may endless short lines become as much of the debug log: at most
// 10,000 lines and 1 MiB of a file are logged, then one line says how many
// bytes were left out (a last line without a line feed counts too).
TEST_F(ErrorCaptureTest, LogBufferContentStopsAtTenThousandLinesOrOneMebibyte)
{
    const std::string kilo16(16 * 1024, 'x');
    std::string longLines;
    for (int i = 0; i < 100; ++i)
        longLines += kilo16 + "\n";
    std::string tenThousand;
    for (int i = 0; i < 10000; ++i)
        tenThousand += "a\n";
    struct Case {
        const char* name;
        std::string content;
        size_t logged;        // lines of the file logged
        std::string leftOut;  // the closing line, empty when there is none
    };
    const Case cases[] = {
        {"4 MiB of line feeds", std::string(4 << 20, '\n'), 10000, "[4184304] bytes"},
        {"16 KiB lines", longLines, 64, "[589860] bytes"},
        {"exactly 10,000 lines", tenThousand, 10000, ""},
        {"one more and one without a line feed", tenThousand + "b\nc", 10000, "[3] bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_env.ClearLog();
        WriteErrorFile(c.content);

        m_child.logBufferContent();

        const std::vector<std::string> lines = m_env.Messages(kLogBufferTag);
        ASSERT_EQ(lines.size(), c.logged + (c.leftOut.empty() ? 0 : 1));
        EXPECT_EQ(lines[c.logged - 1].rfind("<<THIRD PARTY>> ", 0), 0u);
        if (!c.leftOut.empty()) {
            EXPECT_EQ(lines.back(), "Left out the last " + c.leftOut + " of [" + m_child.m_errFilePath +
                                        "]: at most 10000 lines and 1048576 bytes of an error file are logged");
        }
    }
}

TEST_F(ErrorCaptureTest, LogBufferContentWithoutErrorFileLogsNothing)
{
    m_child.logBufferContent();

    EXPECT_TRUE(m_env.Messages(kLogBufferTag).empty());
    EXPECT_EQ(m_writer->statusQueries, 0);
    EXPECT_TRUE(m_writer->calls.empty());
}

}  // namespace
