// Scoped lock over a pthread mutex.
#pragma once

#include <pthread.h>

class QUserMutex {
public:
    explicit QUserMutex(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~QUserMutex() { pthread_mutex_unlock(&mutex_); }
    QUserMutex(const QUserMutex&) = delete;
    QUserMutex& operator=(const QUserMutex&) = delete;

private:
    pthread_mutex_t& mutex_;
};

// Initialises a recursive mutex with the priority-inheritance protocol, the
// kind every driver and the transport use.
inline int initRecursivePiMutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    int rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}
