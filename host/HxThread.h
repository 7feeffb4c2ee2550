#pragma once

#include "host/HostExport.h"

// Starts detached threads; nothing ever joins them. The running thread never
// refers to its HxThread, so the object may be destroyed while it runs.
class HX_HOST_API HxThread {
public:
    HxThread();
    ~HxThread();

    // 0 when a new thread runs fn(arg); otherwise the pthread error code.
    int createThread(void* (*fn)(void*), void* arg);
};
