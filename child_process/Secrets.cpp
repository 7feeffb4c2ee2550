#include "child_process/Secrets.h"

#include <cstring>

namespace LibMySqlProcess {

namespace {

constexpr char kMask[] = "*****";

// The tools read '_' and '-' in option names alike.
bool SameNameChars(const char* a, const char* b, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        const char x = a[i] == '_' ? '-' : a[i];
        const char y = b[i] == '_' ? '-' : b[i];
        if (x != y)
            return false;
    }
    return true;
}

// A long option name the tools read as the password: "password",
// "password1" to "password3", or any prefix of "password" of two letters or
// more. "pa" is ambiguous in the client (--pager), which then refuses to
// run, but it is the password in the dump tool; "p" alone is ambiguous
// everywhere.
bool IsPasswordOption(const char* name, size_t size)
{
    static const char kPassword[] = "password";
    const size_t full = sizeof kPassword - 1;
    if (size >= 2 && size <= full && memcmp(name, kPassword, size) == 0)
        return true;
    return size == full + 1 && memcmp(name, kPassword, full) == 0 && name[full] >= '1' && name[full] <= '3';
}

// Where the password's value starts in a word of size bytes (no space in
// it), or 0 when the word gives no password.
size_t SecretValueAt(const char* word, size_t size)
{
    if (size < 2 || word[0] != '-')
        return 0;
    if (word[1] != '-') {
        // Short options group (-Bps3cret): whatever follows the first p is
        // its value. A letter before it that itself takes a value (-hmyp)
        // would have taken the rest instead; masking that too costs the log
        // a few letters, guessing wrong would cost a password.
        const void* p = memchr(word + 1, 'p', size - 1);
        if (p == nullptr)
            return 0;
        const size_t at = static_cast<size_t>(static_cast<const char*>(p) - word) + 1;
        return at < size ? at : 0;
    }
    size_t name = 2;
    if (size - name >= 6 && SameNameChars(word + name, "loose-", 6))
        name += 6;
    const void* equals = memchr(word + name, '=', size - name);
    if (equals == nullptr)
        return 0;
    const size_t at = static_cast<size_t>(static_cast<const char*>(equals) - word);
    if (at + 1 == size || !IsPasswordOption(word + name, at - name))
        return 0;
    return at + 1;
}

// The first word of arg that gives a password: its index among the words
// that single spaces separate, and where in arg its value starts. The
// splitter joins words into one argument with one space each (a date and
// what follows it, a quoted group), so a password may stand in any of them;
// the tool takes the rest of the argument with it.
bool FindSecret(const char* arg, size_t* wordIndex, size_t* valueAt)
{
    size_t index = 0;
    for (const char* word = arg;; ++index) {
        const char* space = strchr(word, ' ');
        const size_t size = space != nullptr ? static_cast<size_t>(space - word) : strlen(word);
        const size_t at = SecretValueAt(word, size);
        if (at != 0) {
            *wordIndex = index;
            *valueAt = static_cast<size_t>(word - arg) + at;
            return true;
        }
        if (space == nullptr)
            return false;
        word = space + 1;
    }
}

}  // namespace

bool MaskSecret(const char* arg, std::string& masked)
{
    size_t wordIndex = 0;
    size_t valueAt = 0;
    if (!FindSecret(arg, &wordIndex, &valueAt))
        return false;
    masked.assign(arg, valueAt);
    masked += kMask;
    return true;
}

std::string MaskSecrets(const std::string& line, char* const* argv, const ArgSpan* spans, int argc)
{
    std::string out;
    size_t copied = 0;
    for (int i = 0; i < argc; ++i) {
        size_t wordIndex = 0;
        size_t valueAt = 0;
        if (!FindSecret(argv[i], &wordIndex, &valueAt))
            continue;
        // The argument's words are the line's words of its span, one for
        // one, less the quotes the splitter deleted: the line is kept up to
        // the word that gives the password, which is then logged as the
        // argument has it, up to its value.
        size_t at = spans[i].begin;
        for (size_t w = 0; w < wordIndex; ++w) {
            while (at < spans[i].end && line[at] != ' ')
                ++at;
            while (at < spans[i].end && line[at] == ' ')
                ++at;
        }
        const char* word = argv[i] + valueAt;
        while (word > argv[i] && word[-1] != ' ')
            --word;
        out.append(line, copied, at - copied);
        out.append(word, static_cast<size_t>(argv[i] + valueAt - word));
        out += kMask;
        copied = spans[i].end;
    }
    out.append(line, copied, std::string::npos);
    return out;
}

}  // namespace LibMySqlProcess
