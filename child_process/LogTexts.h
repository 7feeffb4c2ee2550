#pragma once

// The library's log texts, frozen.
//
// The agent's operators, its support tools and the maker's peers find the
// library's steps in the debug log by these texts, and the log writer's
// reports of ReadLastErr by the function signature and the two source line
// numbers. Misspellings included ("Waititng", "commmand", the missing space
// in "dup2-STDOUT failed,errno"): correcting one makes every search for it
// miss from then on. So each text stands here once, code and tests use the
// name, and each carries its own hash: changing a text, even to fix a
// "typo", fails the build at that line and leads here. Only change one
// together with everything that parses it, and the hash with it.

#include <stdint.h>

namespace LibMySqlProcess {
namespace frozen {

constexpr uint64_t Fnv1a(const char* text, uint64_t hash = 0xcbf29ce484222325ull)
{
    return *text == '\0' ? hash : Fnv1a(text + 1, (hash ^ static_cast<unsigned char>(*text)) * 0x100000001b3ull);
}

#define MYSQLPROCESS_FROZEN(name, text, hash) \
    inline constexpr char name[] = text;       \
    static_assert(Fnv1a(name) == (hash), "frozen log text " #name " was changed: read the top of LogTexts.h")

// The source lines ReadLastErr reports to the log writer with its two texts.
inline constexpr int kStderrReadFailedLine = 780;
inline constexpr int kErrorLineNotFoundLine = 797;

// MySqlChildProcess::Initialize
MYSQLPROCESS_FROZEN(kImpersonating, "Impersonating User [ %s ]", 0x0f48cdb948722200ull);
MYSQLPROCESS_FROZEN(kNoImpersonation, "No Impersonation for this Child Process", 0x41524d3a9a2bd868ull);
MYSQLPROCESS_FROZEN(kFolderFailed, "Unable to create log folder [%s], error=[%s]", 0x3f856a98cc8ce1eaull);
MYSQLPROCESS_FROZEN(kErrorFileIs, "Error file [%s]", 0x46981db50373ef57ull);

// MySqlChildProcess::Finalize
MYSQLPROCESS_FROZEN(kFinalizeStart, "start", 0xee5d97ad45ad251full);

// MySqlChildProcess::HX_CreateProcess
MYSQLPROCESS_FROZEN(kSignalFailed, "signal failed: errno=%d", 0x051fd444b63fdbe6ull);
MYSQLPROCESS_FROZEN(kPipeCwFailed,
                    "pipe(m_filedesCW) call failed when creating m_phpipecw : errno=%d",
                    0x052de0d26628f7ccull);
MYSQLPROCESS_FROZEN(kPipePwFailed,
                    "pipe(m_filedesPW) call failed when creating m_phpipecw : errno=%d",
                    0xf24d0aefcc80891dull);
MYSQLPROCESS_FROZEN(kNewHxProcessFailed, "new HxProcess failed ", 0xe9248fbd6753ed0full);
MYSQLPROCESS_FROZEN(kSettingParameters, "Setting Post Fork Parameters...", 0x1f2a62e7b57262a3ull);
MYSQLPROCESS_FROZEN(kCommandToRun, "Command to run [%s]", 0x72fc77a822860c1aull);
MYSQLPROCESS_FROZEN(kForkFailed, "fork failed: errno=%d", 0x2d5377117dc34a6eull);
MYSQLPROCESS_FROZEN(kChildPid, "Parent: child process pid= %d", 0x69e0f35050f9b7e3ull);

// MySqlChildProcess::PostFork
MYSQLPROCESS_FROZEN(kInitgroupsFailed, "Child initgroups failed, errno %d", 0x438853cc078aab7full);
MYSQLPROCESS_FROZEN(kSetgidFailed, "Child setgid failed, errno %d", 0x86eefbfb60992dc9ull);
MYSQLPROCESS_FROZEN(kSetuidFailed, "Child setuid failed, errno %d", 0x5b861a271d3b260bull);
MYSQLPROCESS_FROZEN(kDupStdinFailed, "Child dup2-STDIN failed errno: %d", 0x6bed8cff232367d5ull);
MYSQLPROCESS_FROZEN(kDupStdoutFailed, "Child dup2-STDOUT failed,errno: %d", 0x91e9a1e3534962e8ull);
MYSQLPROCESS_FROZEN(kErrorFileFailed, "Failed to create a MySqlErrors file [%s], errno [%d]", 0x44cd85ecd47cd304ull);
MYSQLPROCESS_FROZEN(kDupStderrFailed, "Child dup2-STDERR failed,errno: %d", 0x37dff1825d057e21ull);
MYSQLPROCESS_FROZEN(kChildExecFailed, "Child exec failed, errno: %d", 0xae5c7afb8cd4779eull);
MYSQLPROCESS_FROZEN(kArgument, "Arg [%d] = %s", 0x351a4f1e13ed26e3ull);
MYSQLPROCESS_FROZEN(kEnvironment, "Environment %s", 0x0a1fe104e397a5c6ull);

// MySqlChildProcess::WriteBuf
MYSQLPROCESS_FROZEN(kWriteFailed, "write failed: errno=%d", 0xbe39a5fc7907b501ull);
MYSQLPROCESS_FROZEN(kErrorStream, "Error Stream: %s", 0x2da0d591d0f583a5ull);
MYSQLPROCESS_FROZEN(kWrote, "wrote %d bytes", 0x3f81e013fc26c520ull);

// MySqlChildProcess::ReadBuf
MYSQLPROCESS_FROZEN(kReadFailed, "read failed: errno=%d", 0xfc1c5e6f2826e28aull);
MYSQLPROCESS_FROZEN(kNoDataLeft, "no data left to read", 0x397fdde59a19b460ull);

// MySqlChildProcess::ReadErrBuf
MYSQLPROCESS_FROZEN(kPreviousErrno, "Previous errno = [%d].", 0x02d9bf5d41fd8ec8ull);
MYSQLPROCESS_FROZEN(kOpenFailed, "failed to open the file [%s] errno [%d]", 0x63e6773ca5827a25ull);
MYSQLPROCESS_FROZEN(kShortRead, "fread Failed to read [%s]", 0xc5a3ee11067c7cdfull);

// MySqlChildProcess::ReadLastErr
MYSQLPROCESS_FROZEN(kReadLastErrSignature,
                    "int LibMySqlProcess::MySqlChildProcess::ReadLastErr(std::string&, std::string)",
                    0xa70a28ece30ec377ull);
MYSQLPROCESS_FROZEN(kStderrReadFailed, "Reading from STDERR of commmand failed", 0xf615b70e78479265ull);
MYSQLPROCESS_FROZEN(kErrorLineNotFound, "Error line with [%s] not found.", 0x4701d0b0b7eda3d2ull);

// MySqlChildProcess::logBufferContent
MYSQLPROCESS_FROZEN(kThirdParty, "<<THIRD PARTY>> %s", 0x0c3e88680a5a371eull);

// MySqlChildProcess::Wait
MYSQLPROCESS_FROZEN(kNoHxProcess, "m_hxProcess is null, Child Process may not be Created....", 0xcd14f8a6a4aa06b7ull);
MYSQLPROCESS_FROZEN(kWaiting, "Waititng for Child process...", 0xc020d16438af56a0ull);
MYSQLPROCESS_FROZEN(kWaitFailed, "WaitForProcessToEnd failed,errorMsg=%s", 0x42c56041647087e9ull);
MYSQLPROCESS_FROZEN(kChildOk, "Child OK", 0x18e9ecd4577f5ec9ull);
MYSQLPROCESS_FROZEN(kExitStatus, "Exit status 0x%X (return %d 0x%X)", 0xb100c5c30dd5026dull);
MYSQLPROCESS_FROZEN(kDupFailed, "Dup failed", 0x0ab614fb573ddea3ull);
MYSQLPROCESS_FROZEN(kExecFailed, "Exec failed", 0x4d704ed35cb7d5c9ull);
MYSQLPROCESS_FROZEN(kEnvFailed, "Env failed", 0xf2e102e3ecf7d071ull);
MYSQLPROCESS_FROZEN(kExitedWithError, "Child exited with error: %d", 0xf8e68ba8d9776af7ull);
MYSQLPROCESS_FROZEN(kDiedOfSignal, "Child died after receiving signal %d%s", 0x35c324bb57aea4a4ull);
MYSQLPROCESS_FROZEN(kCoreGenerated, " (core file generated)", 0xe5836172bf0c6da4ull);
MYSQLPROCESS_FROZEN(kStoppedBySignal, "Child stopped with signal %d", 0xfa3ec0681c863da9ull);
MYSQLPROCESS_FROZEN(kUnknownEnd, "Child unknown error", 0xfc1abd2edf56e329ull);

// MySqlChildProcess::BeginWait
MYSQLPROCESS_FROZEN(kNewHxThreadFailed, "new HxThread failed", 0x2010ba976b892438ull);
MYSQLPROCESS_FROZEN(kCreateThreadFailed, "CreateThread failed", 0xed6a29e2a6612cf6ull);

// MySqlChildProcess::WaitThread
MYSQLPROCESS_FROZEN(kThreadStart, "start: thread Id=%d", 0x43ec649b6ba0c798ull);
MYSQLPROCESS_FROZEN(kThreadWaitFailed, "Wait failed; lastErr=%d", 0xb65b825a6c67e7f9ull);
MYSQLPROCESS_FROZEN(kThreadComplete, "WaitThread complete.", 0x87418149deea6d8bull);

// The error file's folder and name
MYSQLPROCESS_FROZEN(kJobFolderFormat, "%s/HX_JobResults/2/0/%lld", 0xf658b9bc9057c012ull);
MYSQLPROCESS_FROZEN(kErrorFileFormat, "%s/MySqlErrors_%ld.txt", 0x2a3f3b9c1dc57909ull);

#undef MYSQLPROCESS_FROZEN

}  // namespace frozen
}  // namespace LibMySqlProcess
