// The monotonic microsecond clock and the wrapping elapsed time.
#include "platform/usertime.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

namespace {

uint64_t monotonicMicros() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

TEST(UserTime, ReadsTheMonotonicClockInMicroseconds) {
    const uint64_t before = monotonicMicros();
    const uint64_t now = getCurMicroSec();
    const uint64_t after = monotonicMicros();
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

TEST(UserTime, NeverRunsBackwards) {
    uint64_t last = getCurMicroSec();
    for (int i = 0; i < 10000; ++i) {
        const uint64_t now = getCurMicroSec();
        ASSERT_GE(now, last);
        last = now;
    }
}

TEST(UserTime, LapseOfNowIsAboutZero) {
    const uint32_t start = static_cast<uint32_t>(getCurMicroSec());
    // Generous upper bound: a loaded machine may preempt between the calls.
    EXPECT_LT(getLapseMicroSec(start), 2000000u);
}

TEST(UserTime, LapseCoversASleep) {
    const uint32_t start = static_cast<uint32_t>(getCurMicroSec());
    usleep(20000);
    const uint32_t lapse = getLapseMicroSec(start);
    EXPECT_GE(lapse, 20000u);
    EXPECT_LT(lapse, 20000u + 5000000u);
}

TEST(UserTime, LapseIsTrueAcrossTheThirtyTwoBitWrap) {
    // A start just below 2^32 lies "before" any current low-32-bit value; the
    // elapsed time is the distance up to the wrap plus the current value.
    for (uint32_t belowWrap : {1u, 1000u, 65536u}) {
        SCOPED_TRACE(belowWrap);
        const uint32_t start = static_cast<uint32_t>(0u - belowWrap);  // 2^32 - belowWrap
        const uint32_t before = static_cast<uint32_t>(getCurMicroSec());
        const uint32_t lapse = getLapseMicroSec(start);
        const uint32_t after = static_cast<uint32_t>(getCurMicroSec());
        if (after < before || static_cast<uint64_t>(after) + belowWrap > 0xFFFFFFFFu) {
            GTEST_SKIP() << "the real 32-bit counter is itself at its wrap";
        }
        EXPECT_GE(static_cast<uint64_t>(lapse), static_cast<uint64_t>(before) + belowWrap);
        EXPECT_LE(static_cast<uint64_t>(lapse), static_cast<uint64_t>(after) + belowWrap);
    }
}

}  // namespace
