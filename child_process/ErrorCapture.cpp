#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "child_process/LogTexts.h"
#include "child_process/Cancellation.h"
#include "child_process/ErrorFile.h"
#include "child_process/Log.h"
#include "child_process/NoMemory.h"
#include "child_process/MySqlChildProcess.h"
#include "host/FXString.h"
#include "host/LogWriter.h"

namespace LibMySqlProcess {

namespace {


template <typename... Args>
void ReportToLogWriter(int sourceLine, const char* format, Args... args)
{
    CLogWriterInterface* writer = g_ptrLogWriter.get();
    if (writer != nullptr && writer->GetWriterStatus() >= 0)
        writer->WriteLog(0, frozen::kReadLastErrSignature, sourceLine, 0, 0, format, args...);
}

// The host's search stops at a zero byte, and no key holds one, so each run
// between zero bytes is searched on its own.
bool HoldsKey(const std::string& piece, const std::string& key)
{
    for (size_t start = 0; start <= piece.size();) {
        const size_t zero = piece.find('\0', start);
        const size_t end = zero == std::string::npos ? piece.size() : zero;
        if (end - start >= key.size() && FXString::FindString(piece.c_str() + start, key.c_str(), false) != nullptr)
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

int MySqlChildProcess::ReadErrBuf(char* buffer, long* length)
{
    if (buffer == nullptr || length == nullptr || *length < 1) {
        MSCP_LOG(m_event, "ReadErrBuf", "a buffer of at least 1 byte is required");
        m_lastErr = EINVAL;
        return -1;
    }
    return ReadErrTail(buffer, *length, nullptr, nullptr);
}

// ReadErrBuf, also telling whether the tail holds the file from its start and
// how many bytes of it arrived (the text may hold zero bytes of its own).
int MySqlChildProcess::ReadErrTail(char* buffer, long length, bool* wholeFile, size_t* got)
{
    // The file's descriptor must not be left open by a cancelled thread;
    // reading a regular file never blocks for long.
    NoCancellation noCancel;
    const long want = length - 1;
    memset(buffer, 0, static_cast<size_t>(length));
    MSCP_LOG(m_event, "ReadErrBuf", frozen::kPreviousErrno, GetLastErr());
    errno = 0;

    off_t size = 0;
    const int fd = OpenErrorFileForReading(m_jobFolder, ErrorFileName(), &size);
    if (fd < 0) {
        MSCP_LOG(m_event, "ReadErrBuf", frozen::kOpenFailed, m_errFilePath.c_str(), errno);
        return -1;
    }
    const off_t from = size >= want ? size - want : 0;
    const size_t toRead = static_cast<size_t>(size - from);
    if (wholeFile != nullptr)
        *wholeFile = from == 0;
    size_t done = 0;
    int readErrno = 0;
    while (done < toRead) {
        const ssize_t n = pread(fd, buffer + done, toRead - done, from + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            readErrno = errno;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (got != nullptr)
        *got = done;
    if (done < toRead)
        MSCP_LOG(m_event, "ReadErrBuf", frozen::kShortRead, m_errFilePath.c_str());
    close(fd);
    // A file that ended sooner than its size said (it shrank) gives what
    // arrived; one that could not be read is a failure, not an empty text.
    if (readErrno != 0) {
        memset(buffer, 0, static_cast<size_t>(length));
        errno = readErrno;
        return -1;
    }
    return 0;
}

int MySqlChildProcess::ReadLastErr(std::string& line, std::string key)
{
    return FailingOnNoMemory(m_event, "MySqlChildProcess::ReadLastErr", m_lastErr,
                             [&] { return FindLastErr(line, key); });
}

// ReadLastErr's work: the line is assigned only once it has been found.
int MySqlChildProcess::FindLastErr(std::string& line, const std::string& key)
{
    char buffer[4096];
    bool wholeFile = false;
    size_t got = 0;
    if (ReadErrTail(buffer, 4094, &wholeFile, &got) != 0) {
        ReportToLogWriter(frozen::kStderrReadFailedLine, frozen::kStderrReadFailed);
        return -1;
    }
    // A zero byte is the tool's like any other: it must not hide the lines
    // after it, so the text is all that arrived, not up to its first zero.
    std::vector<std::string> pieces;
    FXString::Split(std::string(buffer, got), "\n", pieces, 0);
    // The first piece of a tail cut from the middle of the file may be a
    // fragment of a line, so it is skipped; when the tail is the whole file
    // it is a real line (often the only one) and is examined too.
    const int lowest = wholeFile ? 0 : 1;
    for (int k = static_cast<int>(pieces.size()) - 1; k >= lowest; --k) {
        if (HoldsKey(pieces[static_cast<size_t>(k)], key)) {
            line = pieces[static_cast<size_t>(k)];
            return 0;
        }
    }
    ReportToLogWriter(frozen::kErrorLineNotFoundLine, frozen::kErrorLineNotFound, key.c_str());
    return -1;
}

void MySqlChildProcess::logBufferContent()
{
    NoCancellation noCancel;
    off_t size = 0;
    const int fd = OpenErrorFileForReading(m_jobFolder, ErrorFileName(), &size);
    if (fd < 0)
        return;
    // At most kLoggedLineMax bytes of each line are kept: the file is the
    // tool's user's to fill, and one endless line must not become as much of
    // the agent's memory. A debug line holds less than that anyway.
    constexpr size_t kLoggedLineMax = 16 * 1024;
    // Nor may a file of endless short lines become as much of the debug log:
    // past these, one line says what was left out.
    constexpr long long kLoggedLinesMax = 10000;
    constexpr long long kLoggedBytesMax = 1 << 20;
    // And the file is read no further than the logged bytes can reach: its
    // size is whatever its user made it (a sparse file may claim terabytes,
    // each read at the speed of memory), and this runs with cancellation off.
    constexpr long long kReadMax = kLoggedBytesMax + 2 * static_cast<long long>(kLoggedLineMax);
    constexpr size_t kBlock = 64 * 1024;
    std::unique_ptr<char[]> memory(new (std::nothrow) char[kBlock + kLoggedLineMax + 1]);
    if (memory == nullptr) {
        close(fd);
        return;
    }
    char* const block = memory.get();
    char* const line = block + kBlock;
    const long long end = std::min<long long>(size, kReadMax);  // a tool still writing must not keep this going
    long long offset = 0;     // bytes of the file read so far
    long long lineStart = 0;  // where the line being gathered starts
    size_t length = 0;
    bool open = false;  // a line is being gathered
    long long linesLogged = 0;
    long long bytesLogged = 0;
    bool capped = false;
    // Logs the gathered line; false, logging nothing, once the caps are reached.
    auto logLine = [&] {
        if (linesLogged == kLoggedLinesMax || bytesLogged + static_cast<long long>(length) > kLoggedBytesMax)
            return false;
        line[length] = '\0';
        MSCP_LOG(m_event, "logBufferContent", frozen::kThirdParty, line);
        ++linesLogged;
        bytesLogged += static_cast<long long>(length);
        return true;
    };
    while (!capped && offset < end) {
        const size_t want = static_cast<size_t>(std::min<long long>(static_cast<long long>(kBlock), end - offset));
        const ssize_t n = pread(fd, block, want, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n && !capped; ++i) {
            ++offset;
            if (block[i] != '\n') {
                open = true;
                if (length < kLoggedLineMax)
                    line[length++] = block[i];
                continue;
            }
            capped = !logLine();
            if (!capped) {
                lineStart = offset;
                length = 0;
                open = false;
            }
        }
    }
    // A last line without its line feed, or one the reading limit cut.
    if (!capped && open) {
        capped = !logLine();
        if (!capped)
            lineStart = offset;
    }
    close(fd);
    if (capped || offset < size) {
        MSCP_LOG(m_event, "logBufferContent",
                 "Left out the last [%lld] bytes of [%s]: at most %lld lines and %lld bytes of an error file are "
                 "logged",
                 static_cast<long long>(size) - lineStart, m_errFilePath.c_str(), kLoggedLinesMax, kLoggedBytesMax);
    }
}

}  // namespace LibMySqlProcess
