#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "child_process/Log.h"
#include "child_process/MySqlChildProcess.h"
#include "host/FXString.h"
#include "host/LogWriter.h"

namespace LibMySqlProcess {

namespace {

constexpr char kReadLastErrSignature[] = "int LibMySqlProcess::MySqlChildProcess::ReadLastErr(std::string&, std::string)";
constexpr int kReadFailedLine = 780;
constexpr int kNotFoundLine = 797;

template <typename... Args>
void ReportToLogWriter(int sourceLine, const char* format, Args... args)
{
    CLogWriterInterface* writer = g_ptrLogWriter.get();
    if (writer != nullptr && writer->GetWriterStatus() >= 0)
        writer->WriteLog(0, kReadLastErrSignature, sourceLine, 0, 0, format, args...);
}

}  // namespace

int MySqlChildProcess::ReadErrBuf(char* buffer, long* length)
{
    if (buffer == nullptr || length == nullptr || *length < 1) {
        MSCP_LOG(m_event, "ReadErrBuf", "a buffer of at least 1 byte is required");
        m_lastErr = EINVAL;
        return -1;
    }
    return ReadErrTail(buffer, *length, nullptr);
}

// ReadErrBuf, also telling whether the tail holds the file from its start.
int MySqlChildProcess::ReadErrTail(char* buffer, long length, bool* wholeFile)
{
    const long want = length - 1;
    memset(buffer, 0, static_cast<size_t>(length));
    MSCP_LOG(m_event, "ReadErrBuf", "Previous errno = [%d].", GetLastErr());
    errno = 0;

    FILE* file = fopen(m_errFilePath.c_str(), "rb");
    if (file == nullptr) {
        MSCP_LOG(m_event, "ReadErrBuf", "failed to open the file [%s] errno [%d]", m_errFilePath.c_str(), errno);
        return -1;
    }
    fseek(file, 0, SEEK_END);
    long size = ftell(file);
    if (size < 0)
        size = 0;
    fseek(file, 0, SEEK_SET);
    long toRead = size;
    if (size >= want) {
        fseek(file, -want, SEEK_END);
        toRead = want;
    }
    if (wholeFile != nullptr)
        *wholeFile = size <= want;
    const size_t got = fread(buffer, 1, static_cast<size_t>(toRead), file);
    if (got < static_cast<size_t>(toRead))
        MSCP_LOG(m_event, "ReadErrBuf", "fread Failed to read [%s]", m_errFilePath.c_str());
    fclose(file);
    return 0;
}

int MySqlChildProcess::ReadLastErr(std::string& line, std::string key)
{
    char buffer[4096];
    bool wholeFile = false;
    if (ReadErrTail(buffer, 4094, &wholeFile) != 0) {
        ReportToLogWriter(kReadFailedLine, "Reading from STDERR of commmand failed");
        return -1;
    }
    std::vector<std::string> pieces;
    FXString::Split(std::string(buffer), "\n", pieces, 0);
    // The first piece of a tail cut from the middle of the file may be a
    // fragment of a line, so it is skipped; when the tail is the whole file
    // it is a real line (often the only one) and is examined too.
    const int lowest = wholeFile ? 0 : 1;
    for (int k = static_cast<int>(pieces.size()) - 1; k >= lowest; --k) {
        if (FXString::FindString(pieces[static_cast<size_t>(k)], key.c_str(), false) != nullptr) {
            line = pieces[static_cast<size_t>(k)];
            return 0;
        }
    }
    ReportToLogWriter(kNotFoundLine, "Error line with [%s] not found.", key.c_str());
    return -1;
}

void MySqlChildProcess::logBufferContent()
{
    std::ifstream file(m_errFilePath);
    std::string text;
    while (std::getline(file, text))
        MSCP_LOG(m_event, "logBufferContent", "<<THIRD PARTY>> %s", text.c_str());
}

}  // namespace LibMySqlProcess
