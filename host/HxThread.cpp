#include "host/HxThread.h"

#include <pthread.h>

HxThread::HxThread() = default;

HxThread::~HxThread() = default;

int HxThread::createThread(void* (*fn)(void*), void* arg)
{
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (rc == 0)
        rc = pthread_create(&thread, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    return rc;
}
