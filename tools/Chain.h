#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "child_process/MySqlChildProcess.h"

namespace mysqlchild {

using Clock = std::chrono::steady_clock;
using LibMySqlProcess::MySqlChildProcess;

// One tool of the chain and the traffic through it.
struct Stage {
    std::string command;
    std::string program;
    std::string user;
    std::string cgroup;  // the tool's own group, made for it inside --cgroup and removed after
    MySqlChildProcess child;
    bool launched = false;
    Clock::time_point launchedAt;
    Clock::time_point endedAt;  // when its end was taken
    std::atomic<uint64_t> bytesIn{0};
    std::atomic<uint64_t> bytesOut{0};
    std::atomic<int> ioError{0};  // errno of a failed pipe transfer
    std::string ioWhat;
    // CPU time of the threads that moved this tool's data, its input from
    // the file and its output onward, each written by that thread as it
    // finishes (read once the threads are joined).
    double feedCpuSeconds = 0;
    double drainCpuSeconds = 0;
};

// The tools in the order the data runs through them.
struct Chain {
    std::vector<std::unique_ptr<Stage>> stages;
    int outputError = 0;  // errno of a failed write to the output
};

double SecondsSince(Clock::time_point start);

// A measured figure to the microsecond (or to the given step), so that JSON
// shows 0.044267 and not the binary tail of 0.044266999999999994.
double Rounded(double value, double step = 1e-6);

// 1536 -> "1.5 KiB".
std::string HumanBytes(double bytes);

// Seconds as H:MM:SS (M:SS under an hour).
std::string HumanDuration(double seconds);

// The most bytes that passed any one point of the chain: the input fed, a
// relay between two tools, or the output taken. A chain with no input and no
// final output (a streamed backup piped into its extractor) moves all its
// bytes through the relay alone.
uint64_t BytesMoved(const std::vector<std::unique_ptr<Stage>>& stages);

// The CPU time this process has spent, all its threads, the tools' not
// counted: what moving the data cost the host. Of the calling thread alone
// with thread set.
void OwnCpuSeconds(double* user, double* system, bool thread = false);

}  // namespace mysqlchild
