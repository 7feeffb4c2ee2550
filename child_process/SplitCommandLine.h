#pragma once

#include <cstddef>
#include <memory>

#include "child_process/MySqlChildProcess.h"

namespace LibMySqlProcess {

constexpr int kArgvEntries = kMaxArguments + 1;

// Where a stored argument stands in the command line: from the first
// character of its head word to the end of the last word it took.
struct ArgSpan {
    size_t begin;
    size_t end;
};

// Splits a command line by the library's own rules: words are separated by
// the space character alone; a head word holding an odd number of double (or,
// failing that, single) quotes joins the following words up to the first one
// holding that quote, and every quote of that kind is deleted from the whole
// argument; a head holding "--stop-datetime" (and no quote) takes the next
// word with it unchanged. No escapes, no expansion.
//
// Fills argv with at most kMaxArguments arguments followed by a null entry;
// their text lives in storage, which is (re)allocated once. Returns how many
// arguments the line holds, which exceeds kMaxArguments when it does not fit.
// spans, when given, receives the place of each stored argument; unclosedAt,
// the place of the first quote whose group ran to the end of the line
// without its closing quote (size_t(-1) when every group closed).
int SplitCommandLine(const char* commandLine, char* argv[kArgvEntries], std::unique_ptr<char[]>& storage,
                     ArgSpan* spans = nullptr, size_t* unclosedAt = nullptr);

}  // namespace LibMySqlProcess
