#include "child_process/Secrets.h"

#include <cstring>

namespace LibMySqlProcess {

namespace {

constexpr char kMask[] = "*****";

// A long option name the tools read as the password: "password",
// "password1" to "password3", or a prefix of "password" long enough not to
// be taken for --port, --pager, --pipe or --plugin-dir.
bool IsPasswordOption(const char* name, size_t size)
{
    static const char kPassword[] = "password";
    const size_t full = sizeof kPassword - 1;
    if (size >= 4 && size <= full && memcmp(name, kPassword, size) == 0)
        return true;
    return size == full + 1 && memcmp(name, kPassword, full) == 0 && name[full] >= '1' && name[full] <= '3';
}

}  // namespace

bool MaskSecret(const char* arg, std::string& masked)
{
    if (arg[0] != '-')
        return false;
    if (arg[1] == 'p' && arg[2] != '\0') {
        masked = std::string("-p") + kMask;
        return true;
    }
    if (arg[1] != '-')
        return false;
    const char* name = arg + 2;
    if (strncmp(name, "loose-", 6) == 0)
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
