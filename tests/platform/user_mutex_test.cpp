// The scoped pthread lock and the recursive priority-inheritance mutex.
#include "platform/QUserMutex.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Whether another thread could take the mutex right now.
bool freeForOthers(pthread_mutex_t& mutex) {
    int rc = -1;
    std::thread t([&] {
        rc = pthread_mutex_trylock(&mutex);
        if (rc == 0) {
            pthread_mutex_unlock(&mutex);
        }
    });
    t.join();
    return rc == 0;
}

TEST(UserMutex, ScopedLockOfARecursiveMutexHoldsItUntilTheOuterScopeEnds) {
    pthread_mutex_t mutex;
    ASSERT_EQ(initRecursivePiMutex(&mutex), 0);
    {
        QUserMutex outer(mutex);
        {
            QUserMutex inner(mutex);  // would deadlock on a plain mutex
            EXPECT_FALSE(freeForOthers(mutex));
        }
        EXPECT_FALSE(freeForOthers(mutex)) << "one level released, one still held";
    }
    EXPECT_TRUE(freeForOthers(mutex));
    EXPECT_EQ(pthread_mutex_destroy(&mutex), 0);
}

}  // namespace
