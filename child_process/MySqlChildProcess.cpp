#include "child_process/LogTexts.h"
#include "child_process/MySqlChildProcess.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "child_process/Cancellation.h"
#include "child_process/JobFolder.h"
#include "child_process/Log.h"
#include "child_process/NoMemory.h"
#include "child_process/Reaper.h"
#include "host/EvDebug.h"
#include "host/FXString.h"
#include "host/HXPI.h"
#include "host/HxProcess.h"
#include "host/HxThread.h"

int GETCURRENTTHREADID()
{
    return static_cast<int>(getpid());
}

namespace LibMySqlProcess {

namespace {

// The error file is named after the microsecond of Initialize. Two objects
// initialized within one microsecond would share a file and read each other's
// errors, so the time handed out only ever increases within the process.
int64_t UniqueStartTimeUs()
{
    static std::atomic<int64_t> last{0};
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count() /
                        1000;
    int64_t prev = last.load(std::memory_order_relaxed);
    int64_t next;
    do {
        next = now > prev ? now : prev + 1;
    } while (!last.compare_exchange_weak(prev, next, std::memory_order_relaxed));
    return next;
}

void CloseIfOpen(int& fd)
{
    if (fd != -1) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

MySqlChildProcess::MySqlChildProcess()
    : m_filedesPW{-1, -1},
      m_filedesCW{-1, -1},
      m_startTimeUs(0),
      m_childPid(-1),
      m_userName{},
      m_lastErr(0),
      m_waitComplete(false),
      m_waitFailed(false),
      m_exitStatus(0),
      m_exitStatusKnown(false),
      m_childErrno(0),
      m_hxProcess(nullptr),
      m_event(nullptr),
      m_waitThread(nullptr),
      m_phase(Phase::Constructed),
      m_pidfd(-1),
      m_waiting(false)
{
}

MySqlChildProcess::~MySqlChildProcess()
{
    // A cancellation acted on at one of the closes or waits below would
    // unwind out of this noexcept destructor and end the agent.
    NoCancellation noCancel;
    // The pipes close before the wait for the wait thread: a tool still
    // reading its input, or blocked on a full output pipe, ends only once it
    // sees the end of its input or a broken pipe, and the thread with it.
    for (int fd : {m_filedesPW[0], m_filedesPW[1], m_filedesCW[0], m_filedesCW[1]})
        if (fd != -1)
            close(fd);
    // A running wait thread uses the object to its end.
    {
        std::unique_lock<std::mutex> lock(m_waitMutex);
        m_waitDone.wait(lock, [this] { return !m_waiting; });
    }
    // A child nobody waited for: reaped now if it has ended, otherwise as
    // soon as it has and the library next looks.
    if (m_phase == Phase::Launched && !ReapIfEnded(m_childPid, m_pidfd)) {
        AdoptRunningChild(m_adoptionSlot, m_childPid, m_pidfd);
        m_adoptionSlot = nullptr;
        m_pidfd = -1;
    }
    FreeAdoptionSlot(m_adoptionSlot);
    for (int fd : {m_pidfd, m_waitDoneFd, m_cgroupFd, m_jobFolder})
        if (fd != -1)
            close(fd);
    ReapEndedChildren();
    delete m_hxProcess;
    m_hxProcess = nullptr;
    delete m_waitThread;
    delete m_event;
}

int MySqlChildProcess::Initialize(std::string command, std::string userName, std::string)
{
    // The job folder is opened level by level: a thread that unwound midway
    // would leave a descriptor open. Nothing here blocks for long.
    NoCancellation noCancel;
    return FailingOnNoMemory(m_event, "MySqlChildProcess::Initialize", m_lastErr,
                             [&] { return InitializeObject(std::move(command), userName); });
}

int MySqlChildProcess::InitializeObject(std::string command, const std::string& userName)
{
    // The launched child's error file and command stay what they were.
    if (m_phase >= Phase::Launched) {
        MSCP_LOG(m_event, "Initialize", "A child has already been launched by this object");
        m_lastErr = EALREADY;
        return -1;
    }
    // Only a complete Initialize makes the object fit to launch; a repeated
    // call that fails leaves a folder, not a file, in m_errFilePath.
    m_phase = Phase::Constructed;
    m_command = std::move(command);
    if (m_event == nullptr)
        m_event = new (std::nothrow) EvEvent();
    m_startTimeUs = UniqueStartTimeUs();
    if (m_event == nullptr) {
        m_lastErr = ENOMEM;
        return -1;
    }

    // Shortening either would run a different command or impersonate a
    // different user, so both are refused.
    if (m_command.size() >= static_cast<size_t>(kCommandLineSize)) {
        MSCP_LOG(m_event, "Initialize", "Command line of %zu characters refused: at most %d are allowed",
                 m_command.size(), kCommandLineSize - 1);
        m_lastErr = E2BIG;
        return -1;
    }
    if (userName.size() >= static_cast<size_t>(kUserNameSize)) {
        MSCP_LOG(m_event, "Initialize", "User name of %zu characters refused: at most %d are allowed",
                 userName.size(), kUserNameSize - 1);
        m_lastErr = ENAMETOOLONG;
        return -1;
    }
    // A zero byte ends the text in the fixed-size fields: the child would run
    // a shorter command, or switch to another user, than the caller asked for.
    const bool zeroInCommand = m_command.find('\0') != std::string::npos;
    if (zeroInCommand || userName.find('\0') != std::string::npos) {
        MSCP_LOG(m_event, "Initialize", "%s holding a zero byte refused", zeroInCommand ? "Command line" : "User name");
        m_lastErr = EINVAL;
        return -1;
    }

    memset(m_userName, 0, sizeof m_userName);
    if (!userName.empty()) {
        memcpy(m_userName, userName.data(), userName.size());
        MSCP_LOG(m_event, "Initialize", frozen::kImpersonating, m_userName);
    } else {
        MSCP_LOG(m_event, "Initialize", frozen::kNoImpersonation);
    }

    {
        HXPI_CommClient client(m_event);
        const long long jobId = static_cast<long long>(m_event->getJobId());
        const char* clientName = HXPI_Focus::getFocusClientName(true);
        const char* resultsDir = client.getJobResultsDirectory(clientName);
        m_errFilePath = FXString::Format(frozen::kJobFolderFormat, resultsDir != nullptr ? resultsDir : "", jobId);
    }

    // Made and checked one folder at a time, and kept open: no folder on the
    // way may be another account's to swap (see JobFolder.h).
    std::string why;
    const int folder = OpenJobFolder(m_errFilePath, why);
    if (folder < 0) {
        const int err = errno;
        MSCP_LOG(m_event, "Initialize", frozen::kFolderFailed, m_errFilePath.c_str(), why.c_str());
        m_lastErr = err;
        return -1;
    }
    if (m_jobFolder != -1)
        close(m_jobFolder);
    m_jobFolder = folder;

    m_errFilePath = FXString::Format(frozen::kErrorFileFormat, m_errFilePath.c_str(), static_cast<long>(m_startTimeUs));
    MSCP_LOG(m_event, "Initialize", frozen::kErrorFileIs, m_errFilePath.c_str());
    m_phase = Phase::Initialized;
    return 0;
}

const char* MySqlChildProcess::ErrorFileName() const
{
    const size_t slash = m_errFilePath.rfind('/');
    return m_errFilePath.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

int MySqlChildProcess::Initialize(std::string command, GetMySqlInfo* info)
{
    NoCancellation noCancel;
    static const std::string kNoUser;
    return FailingOnNoMemory(m_event, "MySqlChildProcess::Initialize", m_lastErr, [&] {
        return InitializeObject(std::move(command), info != nullptr ? info->impersonationUser : kNoUser);
    });
}

int MySqlChildProcess::Finalize()
{
    MSCP_LOG(m_event, "Finalize", frozen::kFinalizeStart);
    CloseIfOpen(m_filedesPW[1]);
    CloseIfOpen(m_filedesCW[0]);
    return 0;
}

int MySqlChildProcess::CloseInput()
{
    MSCP_LOG(m_event, "CloseInput", "start");
    CloseIfOpen(m_filedesPW[1]);
    return 0;
}

int MySqlChildProcess::CloseOutput()
{
    MSCP_LOG(m_event, "CloseOutput", "start");
    CloseIfOpen(m_filedesCW[0]);
    return 0;
}

int MySqlChildProcess::GetLastErr()
{
    const int err = errno;
    m_lastErr = err;
    return err;
}

}  // namespace LibMySqlProcess
