#include "app/canlog/adapter_clock.h"

namespace {

// Beyond this the adapter's time has parted from the host's (a restarted
// adapter, a lost wrap, drift): the host clock is trusted again.
constexpr uint64_t kResyncUs = 200000;

}  // namespace

uint64_t AdapterClock::stamp(uint32_t adapterStamp, uint64_t hostNowUs) {
    const unsigned bits = bits_ == 0 || bits_ > 32 ? 32 : bits_;
    const uint64_t period = uint64_t{1} << bits;
    const uint64_t adapter = adapterStamp & (period - 1);
    if (!started_) {
        started_ = true;
        lastAdapter_ = static_cast<uint32_t>(adapter);
        lastStamp_ = hostNowUs;
        lastHost_ = hostNowUs;
        return hostNowUs;
    }
    const uint64_t delta = (adapter - lastAdapter_) & (period - 1);
    const uint64_t hostElapsed = hostNowUs > lastHost_ ? hostNowUs - lastHost_ : 0;
    uint64_t candidate;
    if (hostElapsed > period / 2) {
        // Whole wraps went by unseen: take the count that brings the
        // adapter's interval closest to the host's.
        uint64_t wraps = hostElapsed > delta ? (hostElapsed - delta + period / 2) / period : 0;
        candidate = lastStamp_ + delta + wraps * period;
    } else if (delta > period / 2) {
        // A stamp a little behind the last one is a frame handled after a
        // later one (a channel's classic and FD frames are read apart), not
        // a wrap: it gets its own time and the clock keeps its reference.
        uint64_t back = period - delta;
        if (back <= kResyncUs && lastStamp_ > back) {
            return lastStamp_ - back;
        }
        candidate = lastStamp_ > back ? lastStamp_ - back : 0;
    } else {
        candidate = lastStamp_ + delta;
    }
    uint64_t apart = candidate > hostNowUs ? candidate - hostNowUs : hostNowUs - candidate;
    if (apart > kResyncUs) {
        candidate = hostNowUs;
    }
    if (candidate < lastStamp_) {
        candidate = lastStamp_;  // a log's time never runs backwards
    }
    lastAdapter_ = static_cast<uint32_t>(adapter);
    lastStamp_ = candidate;
    lastHost_ = hostNowUs;
    return candidate;
}
