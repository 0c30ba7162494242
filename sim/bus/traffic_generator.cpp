#include "bus/traffic_generator.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace ksim {

void TrafficGenerator::start(const GeneratorConfig& config, double periodSeconds,
                             Clock::time_point now) {
    config_ = config;
    configured_ = true;
    stopped_ = false;
    frozen_ = 0;
    start_ = now;
    periodNs_ = periodSeconds * 1e9;
    next_ = delivered_ = filtered_ = lost_ = 0;
}

void TrafficGenerator::stop(Clock::time_point now) {
    if (!configured_ || stopped_) {
        return;
    }
    frozen_ = produced(now);
    stopped_ = true;
}

uint64_t TrafficGenerator::dueBy(Clock::time_point now) const {
    const uint64_t limit =
        config_.count != 0 ? config_.count : std::numeric_limits<uint64_t>::max();
    if (config_.pace == GeneratorConfig::Pace::Max) {
        return limit;
    }
    if (now <= start_ || periodNs_ <= 0) {
        return 0;
    }
    const double elapsedNs = static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count());
    const double due = std::floor(elapsedNs / periodNs_);
    if (due >= static_cast<double>(limit)) {
        return limit;
    }
    return static_cast<uint64_t>(due);
}

bool TrafficGenerator::running(Clock::time_point now) const {
    if (!configured_ || stopped_) {
        return false;
    }
    if (config_.count == 0) {
        return true;
    }
    return config_.pace == GeneratorConfig::Pace::Max ? next_ < config_.count
                                                      : dueBy(now) < config_.count;
}

uint64_t TrafficGenerator::produced(Clock::time_point now) const {
    if (!configured_) {
        return 0;
    }
    if (stopped_) {
        return frozen_;
    }
    return config_.pace == GeneratorConfig::Pace::Max ? next_ : dueBy(now);
}

uint64_t TrafficGenerator::available(Clock::time_point now) const {
    if (!configured_) {
        return 0;
    }
    const uint64_t limit = stopped_ ? frozen_ : dueBy(now);
    return limit > next_ ? limit - next_ : 0;
}

TrafficGenerator::Clock::time_point TrafficGenerator::dueTime(uint64_t index,
                                                              Clock::time_point now) const {
    if (config_.pace == GeneratorConfig::Pace::Max) {
        return now;
    }
    const double ns = (static_cast<double>(index) + 1.0) * periodNs_;
    return start_ + std::chrono::nanoseconds(static_cast<int64_t>(std::ceil(ns)));
}

TrafficGenerator::Clock::time_point TrafficGenerator::nextDue(Clock::time_point now) const {
    if (!configured_ || stopped_ || (config_.count != 0 && next_ >= config_.count)) {
        return Clock::time_point::max();
    }
    if (config_.pace == GeneratorConfig::Pace::Max) {
        return now;
    }
    return dueTime(next_, now);
}

void TrafficGenerator::makeFrame(uint64_t index, BusFrame* frame) const {
    const uint32_t mask = config_.ext ? 0x1FFFFFFFu : 0x7FFu;
    frame->id = static_cast<uint32_t>(config_.firstId + index) & mask;
    frame->ext = config_.ext;
    frame->rtr = false;
    frame->fd = config_.fd;
    frame->brs = config_.fd && config_.brs;
    frame->len = config_.len;
    for (unsigned k = 0; k < config_.len; ++k) {
        frame->data[k] =
            k < 4 ? static_cast<uint8_t>(index >> (8 * k)) : static_cast<uint8_t>(index + k);
    }
}

}  // namespace ksim
