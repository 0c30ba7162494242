#include "usertime.h"

#include <time.h>

extern "C" {

uint64_t getCurMicroSec(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint32_t getLapseMicroSec(uint32_t start) {
    // Unsigned 32-bit subtraction: correct across one wrap of the counter.
    const uint32_t now = static_cast<uint32_t>(getCurMicroSec());
    return now - start;
}

}  // extern "C"
