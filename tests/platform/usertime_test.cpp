// The monotonic microsecond clock (the elapsed time built on it is checked
// through the FD driver's exchange time-outs).
#include "platform/usertime.h"

#include <gtest/gtest.h>
#include <time.h>

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

}  // namespace
