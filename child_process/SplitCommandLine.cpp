#include "child_process/SplitCommandLine.h"

#include <cstring>
#include <vector>

namespace LibMySqlProcess {

namespace {

constexpr char kKeyword[] = "--stop-datetime";

struct Word {
    const char* begin;
    size_t size;
};

bool Holds(const Word& w, char c)
{
    return memchr(w.begin, c, w.size) != nullptr;
}

size_t Count(const Word& w, char c)
{
    size_t n = 0;
    for (size_t i = 0; i < w.size; ++i)
        n += w.begin[i] == c ? 1 : 0;
    return n;
}

bool HoldsKeyword(const Word& w)
{
    constexpr size_t k = sizeof kKeyword - 1;
    for (size_t i = 0; i + k <= w.size; ++i)
        if (memcmp(w.begin + i, kKeyword, k) == 0)
            return true;
    return false;
}

}  // namespace

int SplitCommandLine(const char* commandLine, char* argv[kArgvEntries], std::unique_ptr<char[]>& storage,
                     ArgSpan* spans, size_t* unclosedAt)
{
    if (unclosedAt != nullptr)
        *unclosedAt = static_cast<size_t>(-1);
    const char* line = commandLine != nullptr ? commandLine : "";
    const size_t length = strlen(line);

    std::vector<Word> words;
    for (size_t i = 0; i < length;) {
        if (line[i] == ' ') {
            ++i;
            continue;
        }
        size_t start = i;
        while (i < length && line[i] != ' ')
            ++i;
        words.push_back(Word{line + start, i - start});
    }

    // Arguments only join words with single spaces and delete characters, so
    // their text never exceeds the line; each needs one terminating NUL more.
    storage.reset(new char[length + kArgvEntries]);
    char* out = storage.get();

    int total = 0;
    int stored = 0;
    for (size_t w = 0; w < words.size(); ++total) {
        const Word& head = words[w++];
        std::vector<const Word*> parts{&head};
        char quote = '\0';
        if (Holds(head, '"'))
            quote = '"';
        else if (Holds(head, '\''))
            quote = '\'';

        if (quote != '\0') {
            if (Count(head, quote) % 2 == 1) {
                bool closed = false;
                while (w < words.size() && !closed) {
                    const Word& next = words[w++];
                    parts.push_back(&next);
                    closed = Holds(next, quote);
                }
                if (!closed && unclosedAt != nullptr && *unclosedAt == static_cast<size_t>(-1))
                    *unclosedAt = static_cast<size_t>(
                        static_cast<const char*>(memchr(head.begin, quote, head.size)) - line);
            }
        } else if (HoldsKeyword(head) && w < words.size()) {
            // With no word left the head stands alone, without a dangling space.
            parts.push_back(&words[w++]);
        }

        if (stored == kMaxArguments)
            continue;  // counted, not stored: the caller refuses such a line
        if (spans != nullptr) {
            const Word* last = parts.back();
            spans[stored] = ArgSpan{static_cast<size_t>(head.begin - line),
                                    static_cast<size_t>(last->begin + last->size - line)};
        }
        argv[stored++] = out;
        for (size_t p = 0; p < parts.size(); ++p) {
            if (p > 0)
                *out++ = ' ';
            for (size_t i = 0; i < parts[p]->size; ++i) {
                char c = parts[p]->begin[i];
                if (quote == '\0' || c != quote)
                    *out++ = c;
            }
        }
        *out++ = '\0';
    }
    argv[stored] = nullptr;
    return total;
}

}  // namespace LibMySqlProcess
