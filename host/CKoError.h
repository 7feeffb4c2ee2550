#pragma once

#include <cstdint>
#include <string>

#include "host/HostExport.h"

// A result code: negative is an error.
class HX_HOST_API CKoError {
public:
    CKoError();
    explicit CKoError(int32_t code, std::string text = std::string());

    int32_t Code() const { return m_code; }
    bool IsError() const { return m_code < 0; }
    std::string AsString() const;

    // An error made from an errno value: code -errnum, text naming the cause.
    static CKoError FromErrno(int errnum, const std::string& what);

private:
    int32_t m_code;
    std::string m_text;
};
