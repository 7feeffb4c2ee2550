#include <sys/wait.h>

#include <cstring>
#include <string>

#include "child_process/HelperProtocol.h"
#include "child_process/MySqlChildProcess.h"
#include "child_process/NoMemory.h"
#include "child_process/StartupSteps.h"

namespace LibMySqlProcess {

namespace {

std::string ErrnoText(int err)
{
    char buf[128];
    return strerror_r(err, buf, sizeof buf);  // GNU form: the text, in buf or not
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

MySqlChildProcess::Outcome MySqlChildProcess::Unlaunched(const LaunchRecord& launch)
{
    Outcome o;
    o.childErrno = launch.err;
    SetTextOrNothing(o.text, [&] {
        if (!launch.problem.empty())
            return launch.problem;
        return launch.err != 0 ? "could not be launched: " + ErrnoText(launch.err) : "could not be launched";
    });
    return o;
}

MySqlChildProcess::Outcome MySqlChildProcess::Decode(int status, const LaunchRecord& launch, const char* user,
                                                     const std::string& errFile)
{
    Outcome o;
    if (WIFEXITED(status)) {
        o.code = WEXITSTATUS(status);
        if (launch.failedStep != kStepNone && o.code == launch.failedStage) {
            o.state = Outcome::State::StartFailed;
            o.stage = static_cast<Outcome::Stage>(launch.failedStage);
            o.childErrno = launch.err;
            SetTextOrNothing(o.text, [&] {
                return StartFailureText(launch.failedStep, launch.err, launch.program, user, errFile);
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
        o.state = Outcome::State::Running;
        o.code = WIFSTOPPED(status) ? WSTOPSIG(status) : 0;
        o.text.clear();
    }
    return o;
}

}  // namespace LibMySqlProcess
