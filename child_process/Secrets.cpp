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

}  // namespace

bool MaskSecret(const char* arg, std::string& masked)
{
    if (arg[0] != '-')
        return false;
    if (arg[1] != '-') {
        // Short options group (-Bps3cret): whatever follows the first p is
        // its value. A letter before it that itself takes a value (-hmyp)
        // would have taken the rest instead; masking that too costs the log
        // a few letters, guessing wrong would cost a password.
        const char* p = strchr(arg + 1, 'p');
        if (p == nullptr || p[1] == '\0')
            return false;
        masked.assign(arg, static_cast<size_t>(p + 1 - arg));
        masked += kMask;
        return true;
    }
    const char* name = arg + 2;
    if (SameNameChars(name, "loose-", 6))
        name += 6;
    const char* equals = strchr(name, '=');
    if (equals == nullptr || equals[1] == '\0' || !IsPasswordOption(name, static_cast<size_t>(equals - name)))
        return false;
    masked.assign(arg, static_cast<size_t>(equals + 1 - arg));
    masked += kMask;
    return true;
}

std::string MaskSecrets(const std::string& line, char* const* argv, const ArgSpan* spans, int argc)
{
    std::string out;
    std::string masked;
    size_t copied = 0;
    for (int i = 0; i < argc; ++i) {
        if (!MaskSecret(argv[i], masked))
            continue;
        out.append(line, copied, spans[i].begin - copied);
        out += masked;
        copied = spans[i].end;
    }
    out.append(line, copied, std::string::npos);
    return out;
}

}  // namespace LibMySqlProcess
