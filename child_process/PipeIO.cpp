#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "child_process/LogTexts.h"
#include "child_process/Log.h"
#include "child_process/MySqlChildProcess.h"

namespace LibMySqlProcess {

namespace {

// One write call moves at most this much, so that every count fits the int
// of the frozen::kWrote line; the loop carries on with the rest.
constexpr size_t kMaxWriteChunk = size_t{1} << 30;

}  // namespace

// After a failed write into the tool: the tail of its error output, which
// usually tells why it stopped reading, goes to the log under tag. The
// write's err stays what the caller sees, in m_lastErr and errno, although
// ReadErrBuf sets the one and clears the other.
void MySqlChildProcess::LogToolsLastWords(const char* tag, int err)
{
    char errorStream[3000];
    long errorLength = 1024;
    ReadErrBuf(errorStream, &errorLength);
    m_lastErr = err;
    MSCP_LOG_TAG(m_event, tag, frozen::kErrorStream, errorStream);
    errno = err;
}

int MySqlChildProcess::WriteBuf(char* data, long length)
{
    if (length <= 0)
        return 0;
    if (data == nullptr) {
        MSCP_LOG(m_event, "WriteBuf", "write failed: no data for %ld bytes", length);
        m_lastErr = EFAULT;
        return -1;
    }

    // The whole count is written, however large: never cut to 32 bits.
    const char* position = data;
    size_t remaining = static_cast<size_t>(length);
    while (remaining > 0) {
        const size_t chunk = remaining < kMaxWriteChunk ? remaining : kMaxWriteChunk;
        const ssize_t n = write(m_filedesPW[1], position, chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            m_lastErr = err;
            MSCP_LOG(m_event, "WriteBuf", frozen::kWriteFailed, err);
            LogToolsLastWords("MySqlChildProcess::WriteBuf", err);
            return -1;
        }
        MSCP_LOG_LVL(m_event, "WriteBuf", 8, frozen::kWrote, static_cast<int>(n));
        position += n;
        remaining -= static_cast<size_t>(n);
    }
    return 0;
}

int MySqlChildProcess::ReadBuf(char* buffer, long* length)
{
    // Room for one byte and the terminating zero at least: a buffer of one
    // would read nothing and report 0 bytes, which says the output ended.
    if (buffer == nullptr || length == nullptr || *length < 2) {
        MSCP_LOG(m_event, "ReadBuf", "read failed: a buffer of at least 2 bytes is required");
        m_lastErr = EINVAL;
        return -1;
    }
    const size_t capacity = static_cast<size_t>(*length);
    ssize_t n;
    do {
        n = read(m_filedesCW[0], buffer, capacity - 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        m_lastErr = errno;
        memset(buffer, 0, capacity);
        MSCP_LOG(m_event, "ReadBuf", frozen::kReadFailed, m_lastErr.load());
        return -1;
    }
    // Everything after the data is zero, as if the whole buffer had been
    // cleared first; clearing only the unused tail keeps large buffers cheap.
    memset(buffer + n, 0, capacity - static_cast<size_t>(n));
    if (n == 0) {
        MSCP_LOG(m_event, "ReadBuf", frozen::kNoDataLeft);
        *length = 0;
        return 0;
    }
    *length = static_cast<long>(n);
    return 0;
}

}  // namespace LibMySqlProcess
