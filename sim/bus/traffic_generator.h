// A traffic generator: a remote node that sends a stream of frames to one
// channel at a fixed rate, at the wire-speed limit of the channel's bit rates,
// or as fast as the host reads.
//
// Frames are not produced by a thread: frame i becomes due at
// start + (i + 1) * period, and the firmware asks, whenever the host reads,
// how many are due by now. So the generator costs nothing while the host is
// not reading and never spins.
#pragma once

#include <chrono>
#include <cstdint>

#include "bus/virtual_bus.h"

namespace ksim {

struct GeneratorConfig {
    enum class Pace { Rate, Wire, Max };
    bool fd = false;
    bool ext = false;
    bool brs = false;
    uint8_t len = 0;  // data bytes (FD: a valid FD length)
    Pace pace = Pace::Rate;
    double framesPerSecond = 0;  // Pace::Rate
    uint64_t count = 0;          // frames to send; 0 = no limit
    uint32_t firstId = 0;        // identifier of frame 0; frame i has firstId + i
};

class TrafficGenerator {
  public:
    using Clock = std::chrono::steady_clock;

    // Starts afresh. periodSeconds is the time between frames (ignored for
    // Pace::Max) and must be positive otherwise.
    void start(const GeneratorConfig& config, double periodSeconds, Clock::time_point now);
    // Stops producing; frames produced before stay available to the host.
    void stop(Clock::time_point now);

    bool configured() const { return configured_; }
    // Started, not stopped, and its count not yet reached.
    bool running(Clock::time_point now) const;
    const GeneratorConfig& config() const { return config_; }
    double periodSeconds() const { return periodNs_ / 1e9; }

    // Frames put on the bus by now (for Pace::Max: frames handed out so far).
    uint64_t produced(Clock::time_point now) const;
    // Frames produced but not yet taken.
    uint64_t available(Clock::time_point now) const;
    // Index of the next frame to take.
    uint64_t nextIndex() const { return next_; }
    // When the next frame becomes due; Clock::time_point::max() when none will.
    Clock::time_point nextDue(Clock::time_point now) const;
    // When frame `index` completed on the bus (for Pace::Max: now).
    Clock::time_point dueTime(uint64_t index, Clock::time_point now) const;

    // Fills frame `index`: identifier firstId + index (wrapped to 11 or 29
    // bits); data bytes 0..3 the index little-endian, byte k >= 4 index + k.
    void makeFrame(uint64_t index, BusFrame* frame) const;

    // Takes the next frame with its outcome at the channel.
    void takeDelivered() { ++next_, ++delivered_; }
    void takeFiltered() { ++next_, ++filtered_; }
    // Drops n frames that the channel could not receive (stopped, overrun).
    void drop(uint64_t n) { next_ += n, lost_ += n; }

    uint64_t delivered() const { return delivered_; }
    uint64_t filtered() const { return filtered_; }
    uint64_t lost() const { return lost_; }

  private:
    uint64_t dueBy(Clock::time_point now) const;

    GeneratorConfig config_;
    bool configured_ = false;
    bool stopped_ = false;
    uint64_t frozen_ = 0;  // produced() at stop
    Clock::time_point start_{};
    double periodNs_ = 0;
    uint64_t next_ = 0;
    uint64_t delivered_ = 0;
    uint64_t filtered_ = 0;
    uint64_t lost_ = 0;
};

}  // namespace ksim
