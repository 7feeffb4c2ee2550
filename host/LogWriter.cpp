#include "host/LogWriter.h"

#include <cstdarg>
#include <cstdio>

#include "host/EvDebug.h"

CLogWriterInterface::~CLogWriterInterface() = default;

namespace {

// Appends the writer's lines to the debug log, each with the function and
// source line that the caller names.
class DebugLogWriter final : public CLogWriterInterface {
public:
    void WriteLog(int kind, const char* function, int line, int, int, const char* format, ...) override
        __attribute__((format(printf, 7, 8)))
    {
        char text[4096] = "";
        if (format != nullptr) {
            va_list args;
            va_start(args, format);
            vsnprintf(text, sizeof text, format, args);
            va_end(args);
        }
        HxDebugWrite("LogWriter", 1, "[%d] %s:%d %s", kind, function != nullptr ? function : "", line, text);
    }

    int GetWriterStatus() override { return 0; }
};

}  // namespace

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter(new DebugLogWriter);
