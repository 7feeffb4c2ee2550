#pragma once

#include <string>

#include "tools/Arguments.h"
#include "tools/Chain.h"

namespace mysqlchild {

// How the run ended, for --stats and --stats=json.
struct RunResult {
    int code = 0;         // this program's exit status
    double seconds = 0;   // from the first launch
    std::string digest;   // --checksum's, in hex, when the run succeeded
};

// --stats: bytes, time and this program's CPU, for people.
void PrintStats(const Chain& chain, const RunResult& run);

// --stats=json: one JSON object on a line of its own, built with a JSON
// library (names and texts from tools and users escaped as JSON needs).
void PrintStatsJson(const Chain& chain, const Options& opts, const RunResult& run);

// A command line as it may be shown: each argument that carries a password
// masked where it stands, as the library logs it.
std::string MaskedCommand(const std::string& command);

}  // namespace mysqlchild
