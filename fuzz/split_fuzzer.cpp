// libFuzzer target for the command-line splitter. Beyond the sanitizers'
// checks (every buffer is an exact-size heap block), it checks what must hold
// for any input: at most 49 arguments stored and the vector closed by a null
// entry, no argument longer than the line, no argument holding the quote
// character that governs it, and the same vector as the reference model of
// the rules in tests/support/SplitModel.h.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "child_process/SplitCommandLine.h"
#include "tests/support/SplitModel.h"

namespace {

using LibMySqlProcess::kArgvEntries;
using LibMySqlProcess::kMaxArguments;

using splitmodel::Model;
using splitmodel::ModelArg;

[[noreturn]] void Fail(const std::string& line, const std::string& what)
{
    fprintf(stderr, "split_fuzzer: %s\nline (%zu chars): [%s]\n", what.c_str(), line.size(), line.c_str());
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The splitter takes a C string: the line ends at the first zero byte.
    const size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    const std::string line(reinterpret_cast<const char*>(data), length);

    std::unique_ptr<char[]> text(new char[length + 1]);
    memcpy(text.get(), line.c_str(), length + 1);
    std::unique_ptr<char*[]> argv(new char*[kArgvEntries]);
    char* const sentinel = reinterpret_cast<char*>(&argv);  // anything but null
    for (int i = 0; i < kArgvEntries; ++i)
        argv[i] = sentinel;
    std::unique_ptr<char[]> storage;

    const int total = LibMySqlProcess::SplitCommandLine(text.get(), argv.get(), storage);

    if (memcmp(text.get(), line.c_str(), length + 1) != 0)
        Fail(line, "the caller's line was changed");
    int stored = 0;
    while (stored < kArgvEntries && argv[stored] != nullptr) {
        if (argv[stored] == sentinel)
            Fail(line, "entry " + std::to_string(stored) + " was never written");
        ++stored;
    }
    if (stored == kArgvEntries)
        Fail(line, "the vector has no null entry");
    if (stored > kMaxArguments)
        Fail(line, "more than 49 arguments stored");
    if (total < stored || (total <= kMaxArguments && total != stored) ||
        (total > kMaxArguments && stored != kMaxArguments))
        Fail(line, "count " + std::to_string(total) + " does not match " + std::to_string(stored) + " stored");

    const std::vector<ModelArg> model = Model(line);
    if (static_cast<size_t>(total) != model.size())
        Fail(line, "count " + std::to_string(total) + ", the rules give " + std::to_string(model.size()));
    for (int i = 0; i < stored; ++i) {
        const std::string arg(argv[i]);
        if (arg.size() > length)
            Fail(line, "argument " + std::to_string(i) + " is longer than the line");
        const char quote = model[static_cast<size_t>(i)].quote;
        if (quote != 0 && arg.find(quote) != std::string::npos)
            Fail(line, "argument " + std::to_string(i) + " still holds its governing quote: [" + arg + "]");
        if (arg != model[static_cast<size_t>(i)].text)
            Fail(line, "argument " + std::to_string(i) + " is [" + arg + "], the rules give [" +
                           model[static_cast<size_t>(i)].text + "]");
    }
    return 0;
}
