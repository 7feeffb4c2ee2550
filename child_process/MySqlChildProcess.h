#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "child_process/Export.h"

class EvEvent;
class HxProcess;
class HxThread;

// The process id of the caller (the wait thread prints it).
MYSQLPROCESS_API int GETCURRENTTHREADID();

namespace LibMySqlProcess {

// Limits of the fixed-size fields. Longer input is refused, never shortened.
constexpr int kCommandLineSize = 3000;  // at most 2999 characters
constexpr int kUserNameSize = 104;      // at most 103 characters
constexpr int kMaxArguments = 49;       // the argument vector holds 50 entries

// Child exit codes that tell the parent which start-up stage failed.
constexpr int kExitRedirectFailed = 77;
constexpr int kExitExecFailed = 79;
constexpr int kExitUserSwitchFailed = 81;
constexpr int kExitEnvFailed = 83;

// The caller's record about the MySQL instance; the library reads only the
// impersonation user.
struct GetMySqlInfo {
    std::string impersonationUser;
};

// Everything the forked child needs, filled in the parent before the fork.
// The child reads its own copy of it: nothing crosses a pipe or a file.
struct MySqlChildParam {
    char cmdLine[kCommandLineSize];
    int filedesPW[2];
    int filedesCW[2];
    char userName[kUserNameSize];
    std::string errFilePath;
    bool useSystemLibPath;
    bool useBaseLibPath;

    // Prepared by the launch so that the child neither parses the command
    // line nor reads the user database (whose locks another thread of the
    // parent may hold at the fork). The pointed-to memory belongs to the
    // launch and lives until the fork has returned.
    char* argv[kMaxArguments + 1];
    bool switchUser;
    uid_t uid;
    gid_t gid;
    const gid_t* groups;
    int groupCount;

    // The child's debug context and texts, made in the parent too: an
    // allocator need not be usable after a fork (ASan's is not), so the
    // child allocates nothing. It works on its copies; the parent's are
    // released once the fork has returned.
    EvEvent* childEvent;
    std::string childErrFilePath;  // capacity reserved: the child's copy fits without allocating
    std::string baseLibPathEnv;    // "LD_LIBRARY_PATH=<base home>" for the base home mode
};

// One child process running a MySQL command-line tool, from Initialize to
// destruction. Not for use from two caller threads at once; the object must
// outlive the wait thread that BeginWait starts.
class MYSQLPROCESS_API MySqlChildProcess {
public:
    MySqlChildProcess();
    ~MySqlChildProcess();

    MySqlChildProcess(const MySqlChildProcess&) = delete;
    MySqlChildProcess& operator=(const MySqlChildProcess&) = delete;

    // Stores the command line and the user, fixes the error file path and
    // creates its folder. 0 or -1.
    int Initialize(std::string command, std::string userName, std::string unused);
    int Initialize(std::string command, GetMySqlInfo* info);

    // Starts the child. The first two flags are not used. 0 or -1.
    int HX_CreateProcess(bool unused1, bool unused2, bool useSystemLibPath, bool useBaseLibPath);

    void SetPostForkParam(MySqlChildParam* param, char* command, char* userName, int* filedesPW, int* filedesCW,
                          bool useSystemLibPath, const std::string& errFilePath, bool useBaseLibPath);
    static void GetPostForkParam(MySqlChildParam* param, char* command, char* userName, int* filedesPW,
                                 int* filedesCW, EvEvent* event, bool& useSystemLibPath, std::string& errFilePath,
                                 bool& useBaseLibPath);
    // The child's start-up between fork and exec; never returns.
    [[noreturn]] static void PostFork(void* param);

    // Pipe traffic with the child, on blocking descriptors. 0 or -1.
    int WriteBuf(char* data, long length);
    int ReadBuf(char* buffer, long* length);

    // The error file read back.
    int ReadErrBuf(char* buffer, long* length);
    int ReadLastErr(std::string& line, std::string key);
    void logBufferContent();

    // SIGKILL to the live child; -1 with errno ESRCH when there is none.
    int Terminate();
    int GetLastErr();

    // Waits without time limit (the argument is ignored) and decodes the
    // child's end. 0 when it exited with 0, else -1.
    int Wait(unsigned int ignored);
    int BeginWait();
    static void* WaitThreadFunction(void* obj);
    void WaitThread();

    // Closes the parent's pipe ends so that the child sees the end of its input.
    int Finalize();
    // Half of Finalize each, for a host that feeds the tool on one thread and
    // reads it on another: CloseInput lets the tool see the end of its input
    // while its output is still read; CloseOutput makes a tool that keeps
    // writing fail on a closed pipe instead of blocking on a full one.
    // Closing an end that is already closed does nothing. 0.
    int CloseInput();
    int CloseOutput();

    std::string m_command;
    int m_filedesPW[2];
    int m_filedesCW[2];
    std::string m_errFilePath;
    int64_t m_startTimeUs;
    int m_childPid;
    HxProcess* m_hxProcess;
    char m_userName[kUserNameSize];
    EvEvent* m_event;
    std::atomic<int> m_lastErr;
    HxThread* m_waitThread;
    std::atomic<bool> m_waitComplete;
    std::atomic<bool> m_waitFailed;

    // How the child ended, kept for callers of BeginWait (whose m_lastErr
    // holds the wait thread's errno instead): the raw waitpid status, valid
    // once m_exitStatusKnown is true. Stored before the wait flags are set.
    std::atomic<int> m_exitStatus;
    std::atomic<bool> m_exitStatusKnown;

private:
    int ReadErrTail(char* buffer, long length, bool* wholeFile);

    bool m_initialized;
    // True from a successful launch until the child has been waited for: the
    // only window in which m_childPid may be signalled.
    std::atomic<bool> m_childLive;
};

}  // namespace LibMySqlProcess
