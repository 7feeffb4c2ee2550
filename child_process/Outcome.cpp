#include <sys/wait.h>

#include <cstring>
#include <string>

#include "child_process/MySqlChildProcess.h"
#include "child_process/NoMemory.h"
#include "child_process/StartupReport.h"

namespace LibMySqlProcess {

namespace {

std::string ErrnoText(int err)
{
    char buf[128];
    return strerror_r(err, buf, sizeof buf);  // GNU form: the text, in buf or not
}

// What the child could not do, for a step it reported.
std::string StartFailureText(int step, int err, const std::string& program, const char* user, const std::string& errFile)
{
    const std::string why = ": " + ErrnoText(err);
    switch (step) {
    case kStepStdin:
        return "could not take the pipe as its standard input" + why;
    case kStepStdout:
        return "could not take the pipe as its standard output" + why;
    case kStepErrorFile:
        return "could not open its error file " + errFile + why;
    case kStepStderr:
        return "could not take its error file as its standard error" + why;
    case kStepGroups:
    case kStepGid:
    case kStepUid:
        return "could not switch to user '" + std::string(user) + "'" + why;
    case kStepExec:
        return "could not execute " + program + why;
    default:
        return "failed before it started" + why;
    }
}

}  // namespace

MySqlChildProcess::Outcome MySqlChildProcess::GetOutcome() const
{
    std::lock_guard<std::mutex> lock(m_outcomeMutex);
    Outcome copy;
    copy.state = m_outcome.state;
    copy.code = m_outcome.code;
    copy.coreDumped = m_outcome.coreDumped;
    copy.stage = m_outcome.stage;
    copy.childErrno = m_outcome.childErrno;
    SetTextOrNothing(copy.text, [&] { return m_outcome.text; });
    return copy;
}

void MySqlChildProcess::SetOutcome(Outcome outcome)
{
    std::lock_guard<std::mutex> lock(m_outcomeMutex);
    m_outcome = std::move(outcome);
}

// A launch that started no child: m_lastErr says why, m_launchProblem in
// words where the launch knew more than an errno.
void MySqlChildProcess::LaunchFailed()
{
    Outcome o;
    o.childErrno = m_lastErr;
    SetTextOrNothing(o.text, [&] {
        if (!m_launchProblem.empty())
            return m_launchProblem;
        return o.childErrno != 0 ? "could not be launched: " + ErrnoText(o.childErrno) : "could not be launched";
    });
    SetOutcome(std::move(o));
}

// The child's end, from its wait status and what it reported at the launch.
void MySqlChildProcess::RecordEnd(int status)
{
    Outcome o;
    if (WIFEXITED(status)) {
        o.code = WEXITSTATUS(status);
        if (m_failedStep != kStepNone && o.code == m_failedStage) {
            o.state = Outcome::State::StartFailed;
            o.stage = static_cast<Outcome::Stage>(m_failedStage);
            o.childErrno = m_childErrno;
            SetTextOrNothing(o.text, [&] {
                return StartFailureText(m_failedStep, m_childErrno, m_program, m_userName, m_errFilePath);
            });
        } else {
            o.state = Outcome::State::Exited;
            SetTextOrNothing(o.text, [&] { return "exited with code " + std::to_string(o.code); });
        }
    } else if (WIFSIGNALED(status)) {
        o.state = Outcome::State::Signaled;
        o.code = WTERMSIG(status);
        o.coreDumped = WCOREDUMP(status);
        SetTextOrNothing(o.text, [&] {
            return "killed by signal " + std::to_string(o.code) + (o.coreDumped ? " (core dumped)" : "");
        });
    } else {
        return;  // stopped or continued: not an end
    }
    SetOutcome(std::move(o));
}

}  // namespace LibMySqlProcess
