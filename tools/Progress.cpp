#include "tools/Progress.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace mysqlchild {

namespace {

std::chrono::milliseconds IntervalOf(Options::Progress mode)
{
    switch (mode) {
    case Options::Progress::Plain:
        return std::chrono::seconds(10);
    case Options::Progress::Json:
        return std::chrono::seconds(1);
    default:
        return std::chrono::milliseconds(500);
    }
}

}  // namespace

ProgressShow::ProgressShow(const Chain& chain, Options::Progress mode, long long total, bool countInput,
                           Clock::time_point start)
    : m_chain(chain), m_mode(mode), m_total(total), m_countInput(countInput), m_start(start)
{
    m_thread = std::thread([this] { Run(); });
}

ProgressShow::~ProgressShow()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
    if (m_shown && m_mode == Options::Progress::Terminal) {
        fputs("\r\033[K", stderr);
        fflush(stderr);
    }
}

void ProgressShow::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, IntervalOf(m_mode), [this] { return m_stop; }))
        Show();
}

// Bytes done, the rate since the last line, elapsed time; the percent and
// the time left (at the average rate so far) when the total is known.
void ProgressShow::Show()
{
    const auto& stages = m_chain.stages;
    const double seconds = SecondsSince(m_start);
    const uint64_t done = m_countInput ? stages.front()->bytesIn.load() : BytesMoved(stages);
    const double interval = seconds - m_lastSeconds;
    const double rate = interval > 0 ? static_cast<double>(done - m_lastDone) / interval : 0.0;
    m_lastDone = done;
    m_lastSeconds = seconds;
    const bool known = m_total > 0;
    const double fraction = known ? std::min(1.0, static_cast<double>(done) / static_cast<double>(m_total)) : 0.0;
    const double average = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    const double left =
        known && average > 0 ? std::max(0.0, static_cast<double>(m_total) - static_cast<double>(done)) / average : -1;

    if (m_mode == Options::Progress::Json) {
        nlohmann::json tools = nlohmann::json::array();
        for (const auto& stage : stages)
            tools.push_back({{"program", stage->program},
                             {"bytes_in", stage->bytesIn.load()},
                             {"bytes_out", stage->bytesOut.load()}});
        nlohmann::json line = {{"progress",
                                {{"seconds", Rounded(seconds, 1e-3)},
                                 {"bytes", done},
                                 {"bytes_per_second", std::llround(rate)},
                                 {"expected_bytes", known ? nlohmann::json(m_total) : nlohmann::json(nullptr)},
                                 {"percent", known ? nlohmann::json(Rounded(fraction * 100, 0.01)) : nlohmann::json(nullptr)},
                                 {"seconds_left", left >= 0 ? nlohmann::json(Rounded(left, 0.1)) : nlohmann::json(nullptr)},
                                 {"tools", tools}}}};
        fprintf(stderr, "%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        fflush(stderr);
        return;
    }
    std::string text = HumanBytes(static_cast<double>(done)) + ", " + HumanBytes(rate) + "/s, " +
                       HumanDuration(seconds);
    if (known) {
        char percent[32];
        snprintf(percent, sizeof percent, ", %.0f%%", fraction * 100);
        text += percent;
        if (left >= 0)
            text += ", " + HumanDuration(left) + " left";
    }
    if (m_mode == Options::Progress::Terminal)
        fprintf(stderr, "\r\033[K%s: %s", kProgram, text.c_str());
    else
        fprintf(stderr, "%s: progress: %s\n", kProgram, text.c_str());
    fflush(stderr);
    m_shown = true;
}

}  // namespace mysqlchild
