#pragma once

#include <string>
#include <vector>

#include "host/HostExport.h"

class HX_HOST_API FXString {
public:
    static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // Cuts text at every occurrence of separator and appends the pieces, in
    // order, to pieces. Empty pieces are kept: k separators give k + 1 pieces.
    // flags is reserved and ignored.
    static void Split(const std::string& text, const std::string& separator, std::vector<std::string>& pieces,
                      unsigned int flags);

    // The first occurrence of key in text, or null. ignoreCase compares ASCII
    // letters without case.
    static const char* FindString(const char* text, const char* key, bool ignoreCase);

    static const char* FindString(const std::string& text, const char* key, bool ignoreCase)
    {
        return FindString(text.c_str(), key, ignoreCase);
    }
};
