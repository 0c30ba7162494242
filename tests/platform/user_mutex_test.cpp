// The scoped pthread lock and the recursive priority-inheritance mutex.
#include "platform/QUserMutex.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

// A default (non-recursive) mutex: trylock from the owning thread reports
// EBUSY while it is held, which makes "is it locked?" observable.
class ScopedLock : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(pthread_mutex_init(&mutex_, nullptr), 0); }
    void TearDown() override { pthread_mutex_destroy(&mutex_); }

    bool isLocked() {
        const int rc = pthread_mutex_trylock(&mutex_);
        if (rc == 0) {
            pthread_mutex_unlock(&mutex_);
            return false;
        }
        return rc == EBUSY;
    }

    // Returns early from inside the guarded block when asked to.
    int guardedWithEarlyReturn(bool early) {
        QUserMutex lock(mutex_);
        if (!isLocked()) {
            return -1;
        }
        if (early) {
            return 1;
        }
        return 2;
    }

    pthread_mutex_t mutex_;
};

TEST_F(ScopedLock, HoldsTheMutexForTheBlockOnly) {
    {
        QUserMutex lock(mutex_);
        EXPECT_TRUE(isLocked());
    }
    EXPECT_FALSE(isLocked());
}

TEST_F(ScopedLock, UnlocksOnEveryReturnPath) {
    EXPECT_EQ(guardedWithEarlyReturn(true), 1);
    EXPECT_FALSE(isLocked());
    EXPECT_EQ(guardedWithEarlyReturn(false), 2);
    EXPECT_FALSE(isLocked());
}

TEST_F(ScopedLock, UnlocksWhenAnExceptionLeavesTheBlock) {
    bool lockedInside = false;
    try {
        QUserMutex lock(mutex_);
        lockedInside = isLocked();
        throw std::runtime_error("leave the block");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(lockedInside);
    EXPECT_FALSE(isLocked());
}

TEST(RecursivePiMutex, SameThreadMayReenterOthersWaitUntilFullyReleased) {
    pthread_mutex_t mutex;
    ASSERT_EQ(initRecursivePiMutex(&mutex), 0);

    auto otherThreadCanLock = [&mutex] {
        int rc = -1;
        std::thread t([&] {
            rc = pthread_mutex_trylock(&mutex);
            if (rc == 0) {
                pthread_mutex_unlock(&mutex);
            }
        });
        t.join();
        return rc == 0;
    };

    {
        QUserMutex outer(mutex);
        {
            QUserMutex inner(mutex);  // would deadlock on a plain mutex
            EXPECT_FALSE(otherThreadCanLock());
        }
        // One level released, one still held.
        EXPECT_FALSE(otherThreadCanLock());
    }
    EXPECT_TRUE(otherThreadCanLock());
    EXPECT_EQ(pthread_mutex_destroy(&mutex), 0);
}

}  // namespace
