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

TEST(UserTime, LapseCoversASleep) {
    const uint32_t start = static_cast<uint32_t>(getCurMicroSec());
    usleep(20000);
    const uint32_t lapse = getLapseMicroSec(start);
    EXPECT_GE(lapse, 20000u);
    EXPECT_LT(lapse, 20000u + 5000000u);  // a loaded machine may preempt
}

}  // namespace
