#pragma once

#include <atomic>
#include <cerrno>
#include <new>
#include <string>

#include "child_process/Log.h"

namespace LibMySqlProcess {

// The library throws nothing at its caller, whose thread may be the wait
// thread or a C caller's. An allocation that fails inside an operation ends
// that operation with -1 and ENOMEM in m_lastErr and errno, and a line under
// tag. Each operation leaves its state whole at every allocation, so that the
// object is still fit for the calls that follow (a reaped child's status,
// for one, is stored before any text about it is made).
template <typename F>
int FailingOnNoMemory(EvEvent* event, const char* tag, std::atomic<int>& lastErr, F&& f)
{
    try {
        return f();
    } catch (const std::bad_alloc&) {
        MSCP_LOG_TAG(event, tag, "out of memory; errno=%d", ENOMEM);
        lastErr = ENOMEM;
        errno = ENOMEM;
        return -1;
    }
}

// text = build(), or empty when memory runs out: words about an outcome are
// never worth losing the outcome.
template <typename F>
void SetTextOrNothing(std::string& text, F&& build)
{
    try {
        text = build();
    } catch (const std::bad_alloc&) {
        text.clear();
    }
}

}  // namespace LibMySqlProcess
