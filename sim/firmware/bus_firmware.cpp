#include "firmware/bus_firmware.h"

#include "bus/frame_timing.h"

namespace ksim::fwkit {

void BusChannel::keepBenchOf(const BusChannel& before) {
    txFrames = before.txFrames;
    rxFrames = before.rxFrames;
    overruns = before.overruns;
    gen = before.gen;
}

BusFirmware::BusFirmware(const FirmwareModel& model, int ordinal, const CommandChannel& channel,
                         const BusLayout& layout)
    : FirmwareDevice(model, ordinal, channel), layout_(layout) {}

void BusFirmware::attachToBus() {
    std::vector<BusPort*> ports;
    for (int ch = 0; ch < channelCount(); ++ch) {
        ports_.push_back(std::make_unique<Port>(this, ch));
        ports.push_back(ports_.back().get());
    }
    busHandle_ = VirtualBus::instance().attachAdapter(model_.vendorId, model_.productId, ordinal_,
                                                      std::move(ports));
}

void BusFirmware::detachFromBus() {
    VirtualBus::instance().detachAdapter(busHandle_);
}

// ---- Power ---------------------------------------------------------------------

void BusFirmware::powerOnLocked(Clock::time_point) {
    rx_.clear();
    out_.clear();
    outPos_ = 0;
}

void BusFirmware::unpluggedLocked() {
    // Without power the controllers leave the bus at once.
    for (int ch = 0; ch < channelCount(); ++ch) {
        busChannel(ch).started = false;
    }
}

void BusFirmware::wakeLocked() {
    streamCv_.notify_all();
}

Message BusFirmware::startStopReply(const uint8_t* req, size_t len, bool apply,
                                    Clock::time_point now) {
    if (req[2] < 2) {
        return malformedReply(req, len, kStatusBadLength);
    }
    const int ch = req[4] >> 4;
    const bool start = req[1] == kCmdStart;
    const auto reply = [&](uint8_t status) {
        return statusReply(req[0], req[1], status, {req[4]});
    };
    if (ch >= channelCount()) {
        return reply(kStatusBadChannel);
    }
    BusChannel& c = busChannel(ch);
    if (start && !c.initialised) {
        return reply(kStatusNotReady);
    }
    if (!apply) {
        return reply(kStatusOk);
    }
    if (start && !c.started) {
        // Generator frames that passed while the channel was off are gone.
        if (c.gen.config().pace != GeneratorConfig::Pace::Max) {
            c.gen.drop(c.gen.available(now));
        }
        streamCv_.notify_all();
    }
    if (!start) {
        stoppedLocked(ch);
    }
    c.started = start;
    return reply(kStatusOk);
}

// ---- Sending -------------------------------------------------------------------

std::vector<BusFirmware::Sent> BusFirmware::transmit(const std::vector<Outgoing>& frames,
                                                     Clock::time_point arrival) {
    std::vector<Sent> sent(frames.size(), Sent{0, arrival});
    for (size_t i = 0; i < frames.size(); ++i) {
        sent[i].heard =
            VirtualBus::instance().transmit(busHandle_, frames[i].channel, frames[i].frame,
                                            frames[i].timing, arrival, &sent[i].end);
    }
    return sent;
}

void BusFirmware::countSentLocked(const std::vector<Outgoing>& frames,
                                  const std::vector<Sent>& sent) {
    BusCounters& k = busCounters();
    for (size_t i = 0; i < frames.size(); ++i) {
        ++busChannel(frames[i].channel).txFrames;
        ++k.framesTx;
        if (sent[i].heard == 0) {
            ++k.framesUnheard;
        }
    }
}

// ---- Receiving -----------------------------------------------------------------

bool BusFirmware::Port::busDeliver(const BusFrame& frame, const BusTiming& sender,
                                   Clock::time_point end) {
    std::lock_guard lock(fw_->mu_);
    const InjectResult r = fw_->deliverLocked(ch_, frame, sender, end);
    return r == InjectResult::Delivered || r == InjectResult::Filtered ||
           r == InjectResult::Overrun;
}

InjectResult BusFirmware::deliverLocked(int ch, const BusFrame& frame, const BusTiming& sender,
                                        Clock::time_point end) {
    if (!hasChannel(ch)) {
        return InjectResult::BadChannel;
    }
    if (!attached_) {
        return InjectResult::NotStarted;
    }
    BusChannel& c = busChannel(ch);
    if (!c.started) {
        return InjectResult::NotStarted;
    }
    // The family's controller decides whether it takes the frame; from then
    // on only a full receive buffer keeps it from the host.
    const InjectResult taken = receiveLocked(ch, frame, sender);
    if (taken != InjectResult::Delivered) {
        return taken;
    }
    if (rx_.size() >= kRxCapacity) {
        ++c.overruns;
        ++busCounters().overruns;
        return InjectResult::Overrun;
    }
    // Taken now, seen from the frame's end on: frames from the bus come in
    // bus order, so the queue stays in time order.
    rx_.push_back(RxEntry{static_cast<uint8_t>(ch), microsAt(end), end, frame});
    ++c.rxFrames;
    ++busCounters().framesRx;
    streamCv_.notify_all();
    return InjectResult::Delivered;
}

InjectResult BusFirmware::inject(int ch, const BusFrame& frame) {
    std::lock_guard lock(mu_);
    if (!hasChannel(ch)) {
        return InjectResult::BadChannel;
    }
    // A node on the channel's own bus: it runs the channel's bit rates.
    return deliverLocked(ch, frame, timingOf(ch), Clock::now());
}

const BusFirmware::RxEntry* BusFirmware::readyRx(Clock::time_point now) const {
    return !rx_.empty() && rx_.front().ready <= now ? &rx_.front() : nullptr;
}

// ---- Stream --------------------------------------------------------------------

int BusFirmware::readData(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                          int* transferred) {
    if (endpoint != layout_.streamEndpoint) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    std::unique_lock lock(mu_);
    auto poll = [&](Clock::time_point now) -> std::optional<int> {
        const size_t n = length > 0 ? streamRead(data, static_cast<size_t>(length), now) : 0;
        if (n == 0) {
            return std::nullopt;
        }
        *transferred = static_cast<int>(n);
        busCounters().streamBytes += n;
        return LIBUSB_SUCCESS;
    };
    // Besides generator frames, wake for a received frame still on the bus.
    auto nextWake = [&](Clock::time_point now) {
        const Clock::time_point due = nextGeneratorDue(now);
        return !rx_.empty() && rx_.front().ready > now ? std::min(due, rx_.front().ready) : due;
    };
    return waitLocked(lock, streamCv_, timeoutMs, poll, nextWake);
}

void BusFirmware::injectGarbage(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mu_);
    garbage_.insert(garbage_.end(), bytes.begin(), bytes.end());
    streamCv_.notify_all();
}

void BusFirmware::setStreamSplit(size_t at) {
    std::lock_guard lock(mu_);
    splitAt_ = at;
}

void BusFirmware::clearFamilyFaultsLocked() {
    splitAt_ = 0;
    garbage_.clear();
}

// ---- Generators ----------------------------------------------------------------

void BusFirmware::settleGenerators(Clock::time_point now) {
    for (int ch = 0; ch < channelCount(); ++ch) {
        BusChannel& c = busChannel(ch);
        TrafficGenerator& g = c.gen;
        if (!g.configured() || g.config().pace == GeneratorConfig::Pace::Max) {
            continue;
        }
        const uint64_t avail = g.available(now);
        if (!c.started || !hearsGenerator(ch)) {
            g.drop(avail);  // the channel is not there to receive them
        } else if (avail > kGeneratorBacklog) {
            g.drop(avail - kGeneratorBacklog);
        }
    }
}

BusFirmware::Clock::time_point BusFirmware::nextGeneratorDue(Clock::time_point now) const {
    Clock::time_point next = Clock::time_point::max();
    for (int ch = 0; ch < channelCount(); ++ch) {
        const BusChannel& c = busChannel(ch);
        if (!c.started || !c.gen.configured()) {
            continue;
        }
        Clock::time_point due = c.gen.nextDue(now);
        if (c.gen.config().pace == GeneratorConfig::Pace::Max && due != Clock::time_point::max()) {
            due = std::max(due, maxPaceIdleUntil_);
        }
        next = std::min(next, due);
    }
    return next;
}

bool BusFirmware::startGenerator(int ch, const GeneratorConfig& config, std::string* error) {
    std::lock_guard lock(mu_);
    if (!hasChannel(ch)) {
        *error = "channel " + std::to_string(ch) + " out of range (0.." +
                 std::to_string(channelCount() - 1) + ")";
        return false;
    }
    const std::string refusal = generatorRefusal(ch, config);
    if (!refusal.empty()) {
        *error = refusal;
        return false;
    }
    double period = 0;
    switch (config.pace) {
        case GeneratorConfig::Pace::Rate:
            if (!(config.framesPerSecond > 0) || config.framesPerSecond > 1e8) {
                *error = "rate must be between 0 and 100000000 frames/s";
                return false;
            }
            period = 1.0 / config.framesPerSecond;
            break;
        case GeneratorConfig::Pace::Wire: {
            const BusTiming timing = timingOf(ch);
            FrameShape shape;
            shape.fd = config.fd;
            shape.ext = config.ext;
            shape.brs = config.fd && config.brs;
            shape.len = config.len;
            period = frameWireSeconds(shape, timing.arbRate, timing.dataRate);
            break;
        }
        case GeneratorConfig::Pace::Max:
            break;
    }
    busChannel(ch).gen.start(config, period, Clock::now());
    streamCv_.notify_all();
    return true;
}

bool BusFirmware::stopGenerator(int ch) {
    std::lock_guard lock(mu_);
    if (!hasChannel(ch)) {
        return false;
    }
    busChannel(ch).gen.stop(Clock::now());
    return true;
}

GeneratorStats BusFirmware::generatorStats(int ch) const {
    std::lock_guard lock(mu_);
    GeneratorStats s;
    if (!hasChannel(ch)) {
        return s;
    }
    const TrafficGenerator& g = busChannel(ch).gen;
    const Clock::time_point now = Clock::now();
    s.running = g.running(now);
    s.produced = g.produced(now);
    s.delivered = g.delivered();
    s.filtered = g.filtered();
    s.lost = g.lost();
    s.framesPerSecond = g.periodSeconds() > 0 ? 1.0 / g.periodSeconds() : 0;
    return s;
}

}  // namespace ksim::fwkit
