#include "fd/fd_firmware.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "bus/frame_timing.h"
#include "fd/fd_wire.h"

namespace ksim::fd {

std::unique_ptr<VirtualDevice> createFdFirmware(const FirmwareModel& model, int ordinal) {
    return std::make_unique<FdFirmware>(model, ordinal);
}

namespace {

using fwkit::Message;

constexpr fwkit::CommandChannel kCommandChannel{.requestEndpoint = kEpCommandOut,
                                                .replyEndpoint = kEpCommandIn,
                                                .dataEndpoint = kEpFramesOut,
                                                .replyLimit = 16,
                                                .requestDropsUnread = false,
                                                .truncateInDecimal = true,
                                                .versionsBigEndian = true};
constexpr fwkit::BusLayout kBusLayout{
    .streamEndpoint = kEpStreamIn,
    .genUsage = "usage: gen start <ch> <C|F> <S|E> <len> <fps|wire|max> [count] [brs] [id=<hex>]",
    .genMaxWords = 10,
    .genOptions = "count, brs for FD, id=<hex>"};

}  // namespace

bool FdFirmware::Channel::passes(const BusFrame& f) const {
    if (!filterEnabled) {
        return true;
    }
    for (const FilterRange& r : ranges) {
        const bool kindOk =
            r.kind == FilterRange::Kind::Any || (r.kind == FilterRange::Kind::Extended) == f.ext;
        if (kindOk && f.id >= r.start && f.id <= r.end) {
            return true;
        }
    }
    return false;
}

FdFirmware::FdFirmware(const FirmwareModel& model, int ordinal)
    : BusFirmware(model, ordinal, kCommandChannel, kBusLayout),
      channels_(static_cast<size_t>(model.channels)) {}

void FdFirmware::powerOnLocked(Clock::time_point now) {
    BusFirmware::powerOnLocked(now);
    fwkit::powerOnChannels(&channels_);
    acks_.clear();
}

void FdFirmware::wakeLocked() {
    BusFirmware::wakeLocked();
    acks_.waiters().notify_all();
}

fwkit::BusChannel& FdFirmware::busChannel(int ch) {
    return channels_[static_cast<size_t>(ch)];
}

BusTiming FdFirmware::timingOf(int ch) const {
    const Channel& c = channels_[static_cast<size_t>(ch)];
    return BusTiming{c.arbRate, c.dataRate, c.fdMode, c.iso};
}

int FdFirmware::readData(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                         int* transferred) {
    if (endpoint == kEpAckIn) {
        return readQueue(acks_, data, length, timeoutMs, transferred);
    }
    return BusFirmware::readData(endpoint, data, length, timeoutMs, transferred);
}

// ---- Commands ----------------------------------------------------------------

void FdFirmware::forceStatus(const uint8_t* req, size_t len, int code, uint8_t status, Message* m) {
    // The direct transfer, and a reply too short to carry a status, turn into
    // the short form.
    const bool direct = req[0] == kDirectTag0 && code == kDirectTag1;
    if (direct || m->length < 4) {
        *m = shortReply(req, len, status);
    } else {
        m->bytes[3] = status;
    }
}

Message FdFirmware::executeCommand(const uint8_t* req, size_t len, bool apply,
                                   Clock::time_point now) {
    if (len < 3 || req[0] != kPrefix) {
        return malformedReply(req, len, kStatusMalformed);
    }
    const uint8_t code = req[1];
    if (code == kCmdBitTiming) {
        if (len < kBitTimingLength) {
            return malformedReply(req, len, kStatusBadLength);
        }
        uint8_t channel = 0;
        const uint8_t status = applyBitTiming(req, len, apply, &channel);
        return statusReply(kPrefix, code, status, {channel});
    }
    // Every other request says in byte 2 how many bytes follow.
    if (len < 3u + req[2]) {
        return malformedReply(req, len, kStatusBadLength);
    }
    if (std::optional<Message> board = boardQueryReply(kPrefix, code)) {
        return *board;
    }
    switch (code) {
        case kCmdStart:
        case kCmdStop:
            return startStopReply(req, len, apply, now);
        case kCmdFilter: {
            if (req[2] < kFilterLength - 3) {
                return malformedReply(req, len, kStatusBadLength);
            }
            const uint8_t status =
                applyFilter(req[4] >> 4, req[3], getLe32(req + 5), getLe32(req + 9), apply);
            return statusReply(kPrefix, code, status, {req[3], req[4]});
        }
        default:
            return shortReply(req, len, kStatusUnknown);
    }
}

uint8_t FdFirmware::applyBitTiming(const uint8_t* req, size_t len, bool apply, uint8_t* channel) {
    BitTimingRequest r;
    decodeBitTiming(req, len, &r);
    *channel = r.channel;
    uint32_t arbRate = 0;
    uint32_t dataRate = 0;
    const uint8_t status = checkBitTiming(r, model_.channels, model_.clockMhz, &arbRate, &dataRate);
    if (status != kStatusOk || !apply) {
        return status;
    }
    // The controller goes through configuration mode: it stays off the bus
    // until it is started again.
    Channel& c = channels_[r.channel];
    c.initialised = true;
    c.started = false;
    c.fdMode = r.fdFlag == 1;
    c.iso = r.iso == 1;
    c.mode = r.mode;
    c.arbTiming = r.arb;
    c.dataTiming = c.fdMode ? r.data : r.arb;
    c.arbRate = arbRate;
    c.dataRate = dataRate;
    return kStatusOk;
}

uint8_t FdFirmware::applyFilter(int ch, uint8_t op, uint32_t start, uint32_t end, bool apply) {
    if (ch >= model_.channels) {
        return kStatusBadChannel;
    }
    Channel& c = channels_[static_cast<size_t>(ch)];
    FilterRange range;
    range.start = start;
    range.end = end;
    switch (op) {
        case kFilterClear:
            if (apply) {
                c.ranges.clear();
                c.filterEnabled = false;
            }
            return kStatusOk;
        case kFilterEnable:
            if (apply) {
                c.filterEnabled = true;
            }
            return kStatusOk;
        case kFilterStandard:
            range.kind = FilterRange::Kind::Standard;
            if (end > 0x7FF) {
                return kStatusBadParameter;
            }
            break;
        case kFilterExtended:
            range.kind = FilterRange::Kind::Extended;
            if (end > 0x1FFFFFFF) {
                return kStatusBadParameter;
            }
            break;
        case kFilterAny:
            if (start == 0 && end == 0) {
                return kStatusOk;  // announces a range of any identifier kind
            }
            range.kind = FilterRange::Kind::Any;
            if (end > 0x1FFFFFFF) {
                return kStatusBadParameter;
            }
            break;
        default:
            return kStatusBadParameter;
    }
    if (start > end) {
        return kStatusBadParameter;
    }
    if (c.ranges.size() >= kFilterRanges) {
        return kStatusFilterFull;
    }
    if (apply) {
        c.ranges.push_back(range);
    }
    return kStatusOk;
}

// ---- Frame packets from the host -------------------------------------------

uint8_t FdFirmware::parsePacket(const uint8_t* p, size_t body, size_t records,
                                std::vector<Outgoing>* out) const {
    size_t pos = 0;
    std::vector<Outgoing> frames;
    frames.reserve(records);
    for (size_t i = 0; i < records; ++i) {
        HostRecord r;
        const size_t used = readHostRecord(p + pos, body - pos, &r);
        if (used == 0) {
            return kStatusBadLength;
        }
        pos += used;
        const bool fd = (r.flags & kFlagFd) != 0;
        if (r.channel >= model_.channels) {
            return kStatusBadChannel;
        }
        const Channel& c = channels_[static_cast<size_t>(r.channel)];
        if (r.len > (fd ? 64 : 8)) {
            return kStatusBadLength;
        }
        if (fd && ((r.flags & kFlagRtr) != 0 || !c.fdMode)) {
            return kStatusBadParameter;  // FD has no remote frames; classic-only channel
        }
        if (!c.started) {
            return kStatusNotReady;
        }
        Outgoing o;
        o.channel = r.channel;
        o.timing = timingOf(r.channel);
        BusFrame& f = o.frame;
        f.ext = (r.flags & kFlagExt) != 0;
        f.rtr = !fd && (r.flags & kFlagRtr) != 0;
        f.fd = fd;
        f.brs = fd && (r.flags & kFlagBrs) != 0;
        // The controller's identifier register holds 11 or 29 bits.
        f.id = r.id & (f.ext ? 0x1FFFFFFFu : 0x7FFu);
        // An FD length between the valid ones goes out padded with zeros.
        f.len = fd ? roundUpFdLength(r.len) : r.len;
        if (!f.rtr) {
            std::memcpy(f.data, r.data, r.len);
        }
        frames.push_back(o);
    }
    if (pos != body) {
        return kStatusBadLength;  // body length and records disagree
    }
    *out = std::move(frames);
    return kStatusOk;
}

int FdFirmware::writeData(const uint8_t* data, size_t len, unsigned, size_t* taken) {
    // Each packet is validated under the lock, put on the bus without it, and
    // acknowledged when its last frame has left the bus. The host waits for
    // the acknowledgement, so the bus sets its pace.
    size_t pos = 0;
    while (pos < len) {
        const Clock::time_point received = Clock::now();
        const uint8_t* p = data + pos;
        const size_t left = len - pos;
        std::vector<Outgoing> frames;
        uint8_t status = kStatusOk;
        size_t records = 0;
        size_t consumed = left;
        {
            std::lock_guard lock(mu_);
            size_t body = 0;
            if (left >= kHeaderSize && p[0] == kPacketTag0 && p[1] == kPacketTag1) {
                body = getLe16(p + 4);
                records = p[6];
            }
            if (body == 0 || records == 0 || kHeaderSize + body > left) {
                // Nothing here delimits a packet: the rest of the transfer is refused.
                status = left >= kHeaderSize && p[0] == kPacketTag0 && p[1] == kPacketTag1
                             ? kStatusBadLength
                             : kStatusMalformed;
                records = 0;
                ++counters_.malformed;
            } else {
                consumed = kHeaderSize + body;
                status = parsePacket(p + kHeaderSize, body, records, &frames);
                if (status == kStatusOk) {
                    ++counters_.packets;
                } else {
                    ++counters_.refusedPackets;
                }
            }
        }
        const std::vector<Sent> sent = transmit(frames, received);
        // Frames for channels on different segments may end out of order.
        Clock::time_point gone = received;
        for (const Sent& f : sent) {
            gone = std::max(gone, f.end);
        }
        {
            std::lock_guard lock(mu_);
            countSentLocked(frames, sent);
            queueAck(status, frames.size(), gone);
        }
        pos += consumed;
    }
    *taken = len;
    return LIBUSB_SUCCESS;
}

void FdFirmware::queueAck(uint8_t status, size_t records, Clock::time_point left) {
    if (ackWithheld_) {
        ++counters_.withheldAcks;
        return;
    }
    Message m;
    m.bytes[0] = kPacketTag0;
    m.bytes[1] = kPacketTag1;
    m.bytes[2] = status;
    m.bytes[3] = static_cast<uint8_t>(records);
    m.length = kAckSize;
    m.ready = left + std::chrono::microseconds(ackLatencyUs_);
    acks_.push(m);
    ++counters_.acks;
}

// ---- Receiving ---------------------------------------------------------------

InjectResult FdFirmware::receiveLocked(int ch, const BusFrame& frame, const BusTiming& sender) {
    Channel& c = channels_[static_cast<size_t>(ch)];
    if (!frameReaches(frame, sender, timingOf(ch))) {
        return InjectResult::Incompatible;
    }
    // From here the controller has received the frame (and acknowledged it
    // on the bus); the filter and the buffer decide whether the host sees it.
    if (!c.passes(frame)) {
        ++c.filtered;
        ++counters_.filtered;
        return InjectResult::Filtered;
    }
    return InjectResult::Delivered;
}

// ---- Stream ----------------------------------------------------------------

size_t FdFirmware::streamRead(uint8_t* data, size_t length, Clock::time_point now) {
    if (outPos_ < out_.size()) {
        // The rest of a packet that an earlier read cut.
        const size_t n = std::min(length, out_.size() - outPos_);
        std::memcpy(data, out_.data() + outPos_, n);
        outPos_ += n;
        if (outPos_ == out_.size()) {
            out_.clear();
            outPos_ = 0;
        }
        return n;
    }
    if (!garbage_.empty()) {
        out_.swap(garbage_);
        garbage_.clear();
        outPos_ = 0;
        return streamRead(data, length, now);
    }
    settleGenerators(now);
    const size_t split = splitAt_;
    if (split == 0 && length >= kHeaderSize + kFdRecord) {
        return packPackets(data, length, std::numeric_limits<size_t>::max(), now);
    }
    // Build one packet aside and hand it out in pieces.
    out_.resize(kMaxStreamPacket);
    const size_t built = packPackets(out_.data(), kMaxStreamPacket, 1, now);
    out_.resize(built);
    outPos_ = 0;
    if (built == 0) {
        return 0;
    }
    const size_t first = std::min(length, split > 0 ? std::min(split, built) : built);
    std::memcpy(data, out_.data(), first);
    outPos_ = first;
    if (outPos_ == out_.size()) {
        out_.clear();
        outPos_ = 0;
    }
    return first;
}

size_t FdFirmware::packPackets(uint8_t* buf, size_t cap, size_t maxPackets, Clock::time_point now) {
    size_t pos = 0;
    size_t packets = 0;
    while (packets < maxPackets && cap - pos >= kHeaderSize + kClassicRecord) {
        const size_t room = std::min(cap - pos, kMaxStreamPacket) - kHeaderSize;
        uint8_t* records = buf + pos + kHeaderSize;
        size_t body = 0;
        size_t count = 0;
        while (count < kMaxRecordsPerPacket) {
            const size_t used = emitOne(records + body, room - body, now);
            if (used == 0) {
                break;
            }
            body += used;
            ++count;
        }
        if (count == 0) {
            break;
        }
        putPacketHeader(buf + pos, body, count);
        pos += kHeaderSize + body;
        ++packets;
    }
    return pos;
}

size_t FdFirmware::emitOne(uint8_t* out, size_t room, Clock::time_point now) {
    if (const RxEntry* ready = readyRx(now)) {
        const RxEntry& e = *ready;
        if (recordSize(e.frame.fd) > room) {
            return 0;
        }
        const size_t used = putStreamRecord(out, e.channel, e.micros, e.frame);
        rx_.pop_front();
        return used;
    }
    const size_t n = channels_.size();
    for (size_t tried = 0; tried < n; ++tried) {
        const size_t ch = (genCursor_ + tried) % n;
        Channel& c = channels_[ch];
        TrafficGenerator& g = c.gen;
        if (!g.configured() || !c.started || !hearsGenerator(static_cast<int>(ch))) {
            continue;
        }
        const bool maxPace = g.config().pace == GeneratorConfig::Pace::Max;
        if (maxPace && now < maxPaceIdleUntil_) {
            continue;
        }
        if (recordSize(g.config().fd) > room) {
            return 0;
        }
        // Skip frames the filter refuses; a bounded number per call so a
        // filter that refuses everything cannot hold the read for long.
        for (int skipped = 0; skipped < 256 && g.available(now) > 0; ++skipped) {
            const uint64_t index = g.nextIndex();
            BusFrame f;
            g.makeFrame(index, &f);
            if (!c.passes(f)) {
                g.takeFiltered();
                ++c.filtered;
                ++counters_.filtered;
                continue;
            }
            const size_t used =
                putStreamRecord(out, static_cast<int>(ch), microsAt(g.dueTime(index, now)), f);
            g.takeDelivered();
            ++c.rxFrames;
            ++counters_.framesRx;
            genCursor_ = (ch + 1) % n;
            return used;
        }
        if (maxPace && g.available(now) > 0) {
            // Everything was filtered: pause this pace briefly instead of
            // spinning through an endless stream of refused frames.
            maxPaceIdleUntil_ = now + std::chrono::milliseconds(1);
        }
    }
    return 0;
}

bool FdFirmware::hearsGenerator(int ch) const {
    const Channel& c = channels_[static_cast<size_t>(ch)];
    return !c.gen.config().fd || c.fdMode;
}

// ---- Generators, faults, state -----------------------------------------------

std::string FdFirmware::generatorRefusal(int ch, const GeneratorConfig& config) const {
    const Channel& c = channels_[static_cast<size_t>(ch)];
    if (config.fd ? !isFdLength(config.len) : config.len > 8) {
        return "length " + std::to_string(config.len) + " is not a valid " +
               (config.fd ? "FD" : "classic") + " data length";
    }
    if (config.fd && c.initialised && !c.fdMode) {
        return "channel " + std::to_string(ch) + " runs classic CAN only";
    }
    if (config.pace == GeneratorConfig::Pace::Wire && !c.initialised) {
        return "channel " + std::to_string(ch) + " has no bit rates yet";
    }
    return "";
}

ChannelSnapshot FdFirmware::channel(int ch) const {
    std::lock_guard lock(mu_);
    return hasChannel(ch) ? snapshotOf(channels_[static_cast<size_t>(ch)]) : ChannelSnapshot{};
}

ChannelSnapshot FdFirmware::snapshotOf(const Channel& c) {
    return {.initialised = c.initialised,
            .started = c.started,
            .fdMode = c.fdMode,
            .iso = c.iso,
            .mode = c.mode,
            .arbTiming = c.arbTiming,
            .dataTiming = c.dataTiming,
            .arbRate = c.arbRate,
            .dataRate = c.dataRate,
            .filterEnabled = c.filterEnabled,
            .ranges = c.ranges,
            .txFrames = c.txFrames,
            .rxFrames = c.rxFrames,
            .filtered = c.filtered,
            .overruns = c.overruns};
}

FirmwareCounters FdFirmware::counters() const {
    std::lock_guard lock(mu_);
    return counters_;
}

void FdFirmware::setAckWithheld(bool withheld) {
    std::lock_guard lock(mu_);
    ackWithheld_ = withheld;
}

void FdFirmware::setAckLatencyUs(uint32_t us) {
    std::lock_guard lock(mu_);
    ackLatencyUs_ = us;
}

void FdFirmware::clearFamilyFaultsLocked() {
    BusFirmware::clearFamilyFaultsLocked();
    ackWithheld_ = false;
    ackLatencyUs_ = 0;
}

}  // namespace ksim::fd
