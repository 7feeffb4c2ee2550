#pragma once

#include <boost/shared_ptr.hpp>

#include "host/HostExport.h"

// The process-wide log writer. A host (or a test) may install its own
// subclass in g_ptrLogWriter; the slot order below is part of the contract.
class HX_HOST_API CLogWriterInterface {
public:
    virtual void WriteLog(int kind, const char* function, int line, int arg1, int arg2, const char* format, ...) = 0;
    // Negative: the writer is not accepting lines.
    virtual int GetWriterStatus() = 0;
    virtual ~CLogWriterInterface();
};

// Filled when libHxLib loads with a writer that appends to the debug log,
// each line carrying the function signature and source line it is given.
HX_HOST_API extern boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;
