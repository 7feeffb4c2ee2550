#include "child_process/StartupSteps.h"

#include <cstring>

#include "child_process/LogTexts.h"
#include "child_process/MySqlChildProcess.h"
#include "host/EvDebug.h"

namespace LibMySqlProcess {

static_assert(kExitRedirectFailed == kStageRedirect && kExitExecFailed == kStageExec &&
                  kExitUserSwitchFailed == kStageUserSwitch,
              "the class's exit codes are the start-up stages'");
static_assert(static_cast<int>(MySqlChildProcess::Outcome::Stage::Redirect) == kStageRedirect &&
                  static_cast<int>(MySqlChildProcess::Outcome::Stage::Exec) == kStageExec &&
                  static_cast<int>(MySqlChildProcess::Outcome::Stage::UserSwitch) == kStageUserSwitch,
              "an outcome's stage is the start-up stage's exit code");

namespace {

// What follows a step's outcome text.
enum class Object { None, ErrorFile, User, Program };

struct StepWords {
    StartupStep step;
    const char* logLine;  // frozen where it existed before; takes the error file's path before the errno where
                          // Object is ErrorFile
    const char* outcome;
    Object object;
};

constexpr StepWords kWords[] = {
    {kStepStdin, frozen::kDupStdinFailed, "could not take the pipe as its standard input", Object::None},
    {kStepStdout, frozen::kDupStdoutFailed, "could not take the pipe as its standard output", Object::None},
    {kStepErrorFile, frozen::kErrorFileFailed, "could not open its error file", Object::ErrorFile},
    {kStepStderr, frozen::kDupStderrFailed, "could not take its error file as its standard error", Object::None},
    {kStepGroups, frozen::kInitgroupsFailed, "could not switch to user", Object::User},
    {kStepGid, frozen::kSetgidFailed, "could not switch to user", Object::User},
    {kStepUid, frozen::kSetuidFailed, "could not switch to user", Object::User},
    {kStepExec, frozen::kChildExecFailed, "could not execute", Object::Program},
    {kStepCgroup, "Child could not join its control group, errno %d", "could not join its control group",
     Object::None},
    {kStepNice, "Child could not set its CPU priority, errno %d", "could not set its CPU priority (nice)",
     Object::None},
    {kStepIoPriority, "Child could not set its I/O priority, errno %d", "could not set its I/O priority",
     Object::None},
    {kStepLimit, "Child could not set a resource limit, errno %d", "could not set a resource limit",
     Object::None},
    {kStepNoNewPrivileges, "Child could not set no-new-privileges, errno %d", "could not set no-new-privileges",
     Object::None},
};

const StepWords* WordsOf(int step)
{
    for (const StepWords& w : kWords)
        if (w.step == step)
            return &w;
    return nullptr;
}

std::string ErrnoText(int err)
{
    char buf[128];
    return strerror_r(err, buf, sizeof buf);  // GNU form: the text, in buf or not
}

}  // namespace

void LogStartupFailure(EvEvent* event, const StartupReport& r, const char* errFile)
{
    const StepWords* w = WordsOf(r.step);
    if (w == nullptr || event == nullptr)
        return;
    constexpr char kTag[] = "MySqlChildProcess::PostFork";
    if (w->object == Object::ErrorFile)
        event->Debug(kTag, w->logLine, errFile, r.err);
    else
        event->Debug(kTag, w->logLine, r.err);
}

std::string StartFailureText(int step, int err, const std::string& program, const char* user,
                             const std::string& errFile)
{
    const StepWords* w = WordsOf(step);
    std::string text = w != nullptr ? w->outcome : "failed before it started";
    switch (w != nullptr ? w->object : Object::None) {
    case Object::ErrorFile:
        text += " " + errFile;
        break;
    case Object::User:
        text += " '" + std::string(user) + "'";
        break;
    case Object::Program:
        text += " " + program;
        break;
    case Object::None:
        break;
    }
    return text + ": " + ErrnoText(err);
}

}  // namespace LibMySqlProcess
