#include "host/FXString.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

std::string FXString::Format(const char* format, ...)
{
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int needed = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string out;
    if (needed < 0) {
        va_end(again);
        return out;
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        out.assign(small, static_cast<size_t>(needed));
    } else {
        out.resize(static_cast<size_t>(needed));
        vsnprintf(&out[0], static_cast<size_t>(needed) + 1, format, again);
    }
    va_end(again);
    return out;
}

void FXString::Split(const std::string& text, const std::string& separator, std::vector<std::string>& pieces,
                     unsigned int)
{
    if (separator.empty()) {
        pieces.push_back(text);
        return;
    }
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        if (at == std::string::npos) {
            pieces.push_back(text.substr(start));
            return;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

const char* FXString::FindString(const char* text, const char* key, bool ignoreCase)
{
    if (text == nullptr || key == nullptr)
        return nullptr;
    return ignoreCase ? strcasestr(text, key) : strstr(text, key);
}
