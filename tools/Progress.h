#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "tools/Arguments.h"
#include "tools/Chain.h"

namespace mysqlchild {

// Progress on standard error while the data moves (--progress), from a
// thread of its own that only reads the chain's counters: on a terminal one
// line redrawn twice a second, for logs a line every 10 s, for programs a
// JSON object a second. Never on the output.
class ProgressShow {
public:
    // total: the bytes the run is expected to move (0: unknown); done counts
    // the input fed to the first tool when countInput, else the most bytes
    // that passed any point of the chain.
    ProgressShow(const Chain& chain, Options::Progress mode, long long total, bool countInput,
                 Clock::time_point start);
    // Stops the thread; a terminal's line is cleared.
    ~ProgressShow();
    // Whether a line is drawn on a terminal, which a message must clear first.
    bool OnTerminal() const { return m_mode == Options::Progress::Terminal; }
    ProgressShow(const ProgressShow&) = delete;
    ProgressShow& operator=(const ProgressShow&) = delete;

private:
    void Run();
    void Show();

    const Chain& m_chain;
    const Options::Progress m_mode;
    const long long m_total;
    const bool m_countInput;
    const Clock::time_point m_start;
    uint64_t m_lastDone = 0;
    double m_lastSeconds = 0;
    bool m_shown = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace mysqlchild
