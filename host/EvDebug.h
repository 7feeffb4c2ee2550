#pragma once

#include <cstdint>

#include "host/HostExport.h"

// A debug context. Every line goes to the debug log file named by HX_DEBUG_LOG
// (default /tmp/hx_debug.log), never to the process's standard error: in a
// forked child standard error is the tool's error file.
//
// A line is written when its level is at most HX_DEBUG_LEVEL (default 5; lines
// from Debug count as level 1, so 0 silences the log and 8 shows the detail
// lines). Both variables are read afresh at every call.
//
// Writing takes no lock: each line is formatted on the stack and appended with
// one write(2) on a descriptor opened with O_APPEND, so lines from threads and
// children never interleave. The log is opened without following a final
// link, only when it is a regular file of the caller's or root's, created
// 0600 and kept on descriptor 3 or above. A log rotated away (the path renamed
// or deleted) is noticed within about a second and the path opened again, as
// safely. Writing a line is no
// cancellation point. A child (made by fork, or by a clone sharing the parent's memory)
// writes through the descriptor it inherited, or opens the log for one line,
// and changes nothing the parent shares: it still logs when it has closed its
// inherited descriptors or switched to a user who may not open the log.
class HX_HOST_API EvDebug {
public:
    EvDebug() = default;
    virtual ~EvDebug() = default;

    void Debug(const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void DebugLvl(const char* tag, int level, const char* format, ...) __attribute__((format(printf, 4, 5)));
};

// The debug context of one job step. HX_JOB_ID (a signed 64-bit number,
// default 0) is the job it belongs to.
class HX_HOST_API EvEvent : public EvDebug {
public:
    EvEvent() = default;
    ~EvEvent() override = default;

    int64_t getJobId() const;
};

// The writer behind EvDebug, usable without an object (the log-writer default
// instance appends through it too). Returns true when the line was written.
HX_HOST_API bool HxDebugWrite(const char* tag, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
