// Turns an adapter's free-running time stamps into wall-clock time, so that
// the intervals in a log are the bus's intervals and not those of threads
// and sockets.
#pragma once

#include <cstdint>

class AdapterClock {
  public:
    // `bits`: the width of the adapter's microsecond counter (24 for the
    // classic adapters, 32 for the FD family); it wraps at 2^bits.
    explicit AdapterClock(unsigned bits) : bits_(bits) {}
    // Wall-clock microseconds of a frame the adapter stamped `adapterStamp`
    // and the host received at `hostNowUs`. The first frame, and any frame
    // whose stamp strays from the host clock by more than a resync bound,
    // takes the host time; the others follow the adapter's intervals, wraps
    // included (a gap longer than a wrap is resolved by the host clock). A
    // stamp a little behind the newest one seen (a frame handled late) gets
    // its own, earlier time.
    uint64_t stamp(uint32_t adapterStamp, uint64_t hostNowUs);

  private:
    unsigned bits_;
    bool started_ = false;
    uint32_t lastAdapter_ = 0;
    uint64_t lastStamp_ = 0;
    uint64_t lastHost_ = 0;
};
