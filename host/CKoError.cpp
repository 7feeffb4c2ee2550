#include "host/CKoError.h"

#include <cstring>

CKoError::CKoError() : m_code(0) {}

CKoError::CKoError(int32_t code, std::string text) : m_code(code), m_text(std::move(text)) {}

std::string CKoError::AsString() const
{
    if (!m_text.empty())
        return m_text;
    return m_code < 0 ? "error " + std::to_string(m_code) : "success";
}

CKoError CKoError::FromErrno(int errnum, const std::string& what)
{
    char buf[128];
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return CKoError(-(errnum != 0 ? errnum : 1), what + ": " + text);
}
