#pragma once

#include <pthread.h>

namespace LibMySqlProcess {

// No cancellation of the calling thread is acted on while it lives. For the
// stretches where an unwinding thread would leave a child unrecorded, a
// descriptor open or a noexcept destructor (which would call terminate);
// none of them blocks for long. The caller's own state comes back at the
// end, and a blocking call inside may run with it (callerState()).
class NoCancellation {
public:
    NoCancellation() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_old); }
    ~NoCancellation() { pthread_setcancelstate(m_old, nullptr); }
    NoCancellation(const NoCancellation&) = delete;
    NoCancellation& operator=(const NoCancellation&) = delete;
    int callerState() const { return m_old; }

private:
    int m_old = PTHREAD_CANCEL_ENABLE;
};

}  // namespace LibMySqlProcess
