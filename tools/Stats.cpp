#include "tools/Stats.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "child_process/Secrets.h"
#include "child_process/SplitCommandLine.h"

namespace mysqlchild {

namespace {

using Outcome = MySqlChildProcess::Outcome;
using nlohmann::json;

const char* StateName(Outcome::State state)
{
    switch (state) {
    case Outcome::State::NotLaunched:
        return "not_launched";
    case Outcome::State::Running:
        return "running";
    case Outcome::State::Exited:
        return "exited";
    case Outcome::State::Signaled:
        return "signaled";
    case Outcome::State::StartFailed:
        return "start_failed";
    }
    return "unknown";
}

// The account a tool ran as: the one asked for, else this program's own.
std::string UserOf(const Stage& stage)
{
    if (!stage.user.empty())
        return stage.user;
    passwd pw{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return pw.pw_name;
    return std::to_string(geteuid());
}

json ToolJson(const Stage& stage)
{
    const Outcome outcome = stage.child.GetOutcome();
    const MySqlChildProcess::RelayCounters relays = stage.child.GetRelayCounters();
    const bool exited = outcome.state == Outcome::State::Exited;
    const bool signaled = outcome.state == Outcome::State::Signaled;
    double seconds = 0;
    if (stage.launched && stage.endedAt > stage.launchedAt)
        seconds = std::chrono::duration<double>(stage.endedAt - stage.launchedAt).count();
    return {
        {"command", MaskedCommand(stage.command)},
        {"program", stage.program},
        {"user", UserOf(stage)},
        {"outcome", StateName(outcome.state)},
        {"outcome_text", outcome.text},
        {"exit_code", exited ? json(outcome.code) : json(nullptr)},
        {"signal", signaled ? json(outcome.code) : json(nullptr)},
        {"core_dumped", outcome.coreDumped},
        {"bytes_in", stage.bytesIn.load()},
        {"bytes_out", stage.bytesOut.load()},
        {"seconds", Rounded(seconds)},
        {"mysqlchild_cpu_seconds", Rounded(stage.feedCpuSeconds + stage.drainCpuSeconds)},
        {"pipe_size", {{"input", relays.inputPipeSize}, {"output", relays.outputPipeSize}}},
        {"splices", relays.splices},
        {"copies", relays.copies},
    };
}

}  // namespace

std::string MaskedCommand(const std::string& command)
{
    char* argv[LibMySqlProcess::kArgvEntries];
    std::unique_ptr<char[]> storage;
    LibMySqlProcess::ArgSpan spans[LibMySqlProcess::kArgvEntries];
    const int argc = LibMySqlProcess::SplitCommandLine(command.c_str(), argv, storage, spans);
    return LibMySqlProcess::MaskSecrets(command, argv, spans, std::min(argc, LibMySqlProcess::kMaxArguments));
}

void PrintStats(const Chain& chain, const RunResult& run)
{
    for (const auto& stage : chain.stages)
        fprintf(stderr, "%s: %s: in %llu bytes, out %llu bytes\n", kProgram, stage->program.c_str(),
                static_cast<unsigned long long>(stage->bytesIn.load()),
                static_cast<unsigned long long>(stage->bytesOut.load()));
    const uint64_t moved = BytesMoved(chain.stages);
    fprintf(stderr, "%s: moved %llu bytes\n", kProgram, static_cast<unsigned long long>(moved));
    fprintf(stderr, "%s: %.3f s, %s/s\n", kProgram, run.seconds,
            HumanBytes(run.seconds > 0 ? static_cast<double>(moved) / run.seconds : 0.0).c_str());
    double user = 0, system = 0;
    OwnCpuSeconds(&user, &system);
    fprintf(stderr, "%s: cpu %.3f s (user %.3f s, system %.3f s)\n", kProgram, user + system, user, system);
}

void PrintStatsJson(const Chain& chain, const Options& opts, const RunResult& run)
{
    json tools = json::array();
    for (const auto& stage : chain.stages)
        tools.push_back(ToolJson(*stage));
    double user = 0, system = 0;
    OwnCpuSeconds(&user, &system);
    const long long rate = chain.stages.front()->child.GetRateLimit();
    const json stats = {
        {"tools", tools},
        {"result",
         {
             {"exit_code", run.code},
             {"succeeded", run.code == 0},
             {"bytes", BytesMoved(chain.stages)},
             {"output_bytes", chain.stages.back()->bytesOut.load()},
             {"seconds", Rounded(run.seconds)},
             {"cpu_seconds", {{"user", Rounded(user)}, {"system", Rounded(system)}, {"total", Rounded(user + system)}}},
             {"input", opts.input.empty() ? json(nullptr) : json(opts.input)},
             {"output", opts.output},
             {"checksum", run.digest.empty() ? json(nullptr)
                                             : json({{"algorithm", opts.checksum}, {"digest", run.digest}})},
             {"rate_limit", rate > 0 ? json(rate) : json(nullptr)},
         }},
    };
    // Text that is not UTF-8 (a file name, a command line) is shown with
    // U+FFFD in its place rather than failing the whole report.
    fprintf(stderr, "%s\n", stats.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    fflush(stderr);
}

}  // namespace mysqlchild
