// Monotonic microsecond clock and wrapping elapsed time.
#pragma once

#include <cstdint>

extern "C" {
// CLOCK_MONOTONIC in microseconds.
uint64_t getCurMicroSec(void);
// Microseconds since start, an earlier getCurMicroSec() cut to 32 bits;
// correct across one wrap of the 32-bit counter (about 71.6 minutes).
uint32_t getLapseMicroSec(uint32_t start);
}
