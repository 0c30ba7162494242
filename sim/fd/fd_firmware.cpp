#include "fd/fd_firmware.h"

#include <libusb.h>

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

constexpr size_t kReplyQueueLimit = 16;  // unread replies kept; older ones are dropped

using Clock = FdFirmware::Clock;

Clock::time_point deadlineAfter(Clock::time_point now, unsigned timeoutMs) {
    return timeoutMs == 0 ? Clock::time_point::max() : now + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

void FdFirmware::Faults::reset() {
    noReply.fill(false);
    status.fill(-1);
    foreign.fill(-1);
    truncate.fill(-1);
    replyLatencyUs = 0;
    ackWithheld = false;
    ackLatencyUs = 0;
    splitAt = 0;
}

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

bool FdFirmware::Port::busDeliver(const BusFrame& frame, const BusTiming& sender) {
    return fw_->deliver(ch_, frame, sender);
}

FdFirmware::FdFirmware(const FirmwareModel& model, int ordinal)
    : model_(model), ordinal_(ordinal), channels_(static_cast<size_t>(model.channels)) {
    powerOnLocked(Clock::now());
    std::vector<BusPort*> ports;
    for (int ch = 0; ch < model_.channels; ++ch) {
        ports_.push_back(std::make_unique<Port>(this, ch));
        ports.push_back(ports_.back().get());
    }
    busHandle_ = VirtualBus::instance().attachAdapter(model_.vendorId, model_.productId, ordinal_,
                                                      std::move(ports));
}

FdFirmware::~FdFirmware() {
    // After this no other adapter's transmission can reach our ports.
    VirtualBus::instance().detachAdapter(busHandle_);
}

void FdFirmware::powerOnLocked(Clock::time_point now) {
    for (Channel& c : channels_) {
        TrafficGenerator gen = c.gen;  // bench equipment, not adapter state
        const uint64_t tx = c.txFrames, rx = c.rxFrames, filtered = c.filtered,
                       overruns = c.overruns;
        c = Channel{};
        c.gen = gen;
        c.txFrames = tx, c.rxFrames = rx, c.filtered = filtered, c.overruns = overruns;
    }
    rx_.clear();
    replies_.clear();
    acks_.clear();
    out_.clear();
    outPos_ = 0;
    powerOn_ = now;
}

uint32_t FdFirmware::microsAt(Clock::time_point t) const {
    if (t <= powerOn_) {
        return 0;
    }
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(t - powerOn_).count());
}

uint32_t FdFirmware::adapterMicros() const {
    std::lock_guard lock(mu_);
    return microsAt(Clock::now());
}

void FdFirmware::usbReset() {
    std::lock_guard lock(mu_);
    powerOnLocked(Clock::now());
    commandCv_.notify_all();
    ackCv_.notify_all();
    streamCv_.notify_all();
}

void FdFirmware::setAttached(bool attached) {
    std::lock_guard lock(mu_);
    if (attached && !attached_) {
        powerOnLocked(Clock::now());
    }
    if (!attached) {
        // Without power the channels leave the bus at once.
        for (Channel& c : channels_) {
            c.started = false;
        }
    }
    attached_ = attached;
    commandCv_.notify_all();
    ackCv_.notify_all();
    streamCv_.notify_all();
}

// ---- Transfers ---------------------------------------------------------------

int FdFirmware::transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned,
                            int* transferred) {
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (length < 0 || (data == nullptr && length > 0)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (endpoint != kEpCommandOut && endpoint != kEpFramesOut) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    const size_t len = static_cast<size_t>(length);
    if (endpoint == kEpCommandOut) {
        std::lock_guard lock(mu_);
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        handleCommand(data, len, Clock::now());
    } else {
        {
            std::lock_guard lock(mu_);
            if (!attached_) {
                return LIBUSB_ERROR_NO_DEVICE;
            }
        }
        handleFramePackets(data, len);
    }
    if (transferred != nullptr) {
        *transferred = length;
    }
    return LIBUSB_SUCCESS;
}

int FdFirmware::transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                           int* transferred) {
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (length < 0 || (data == nullptr && length > 0) || transferred == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    switch (endpoint) {
        case kEpCommandIn:
            return readQueue(replies_, data, length, timeoutMs, transferred);
        case kEpAckIn:
            return readQueue(acks_, data, length, timeoutMs, transferred);
        case kEpStreamIn:
            return readStream(data, length, timeoutMs, transferred);
        default:
            return LIBUSB_ERROR_NOT_FOUND;
    }
}

int FdFirmware::readQueue(std::deque<Message>& q, uint8_t* data, int length, unsigned timeoutMs,
                          int* transferred) {
    std::condition_variable& cv = &q == &replies_ ? commandCv_ : ackCv_;
    std::unique_lock lock(mu_);
    const Clock::time_point deadline = deadlineAfter(Clock::now(), timeoutMs);
    for (;;) {
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        const Clock::time_point now = Clock::now();
        if (!q.empty() && q.front().ready <= now) {
            const Message m = q.front();
            q.pop_front();
            const size_t n = std::min(m.length, static_cast<size_t>(length));
            std::memcpy(data, m.bytes.data(), n);
            *transferred = static_cast<int>(n);
            // Like a device packet larger than the host's buffer.
            return n < m.length ? LIBUSB_ERROR_OVERFLOW : LIBUSB_SUCCESS;
        }
        if (now >= deadline) {
            return LIBUSB_ERROR_TIMEOUT;
        }
        Clock::time_point wake = deadline;
        if (!q.empty()) {
            wake = std::min(wake, q.front().ready);
        }
        if (wake == Clock::time_point::max()) {
            cv.wait(lock);
        } else {
            cv.wait_until(lock, wake);
        }
    }
}

// ---- Commands ----------------------------------------------------------------

namespace {

// A reply in the short error form: the request's first two bytes, 0x01, status.
void errorReply(const uint8_t* req, size_t len, uint8_t status, uint8_t* out, size_t* outLen) {
    out[0] = len > 0 ? req[0] : 0;
    out[1] = len > 1 ? req[1] : 0;
    out[2] = 0x01;
    out[3] = status;
    *outLen = 4;
}

}  // namespace

void FdFirmware::handleCommand(const uint8_t* req, size_t len, Clock::time_point now) {
    ++counters_.commands;
    if (len == 0) {
        ++counters_.malformed;
        return;  // an empty write carries no request to answer
    }
    const int code = len > 1 ? req[1] : -1;
    if (code >= 0 && faults_.noReply[static_cast<size_t>(code)]) {
        ++counters_.suppressedReplies;
        return;
    }
    const bool statusFault = code >= 0 && faults_.status[static_cast<size_t>(code)] >= 0;
    const bool foreignFault = code >= 0 && faults_.foreign[static_cast<size_t>(code)] >= 0;
    Message m = executeCommand(req, len, !statusFault && !foreignFault, now);
    if (statusFault) {
        const auto status = static_cast<uint8_t>(faults_.status[static_cast<size_t>(code)]);
        const bool direct = req[0] == kDirectTag0 && code == kDirectTag1;
        if (direct || m.length < 4) {
            errorReply(req, len, status, m.bytes.data(), &m.length);
        } else {
            m.bytes[3] = status;
        }
    }
    if (foreignFault) {
        m.bytes[1] = static_cast<uint8_t>(faults_.foreign[static_cast<size_t>(code)]);
    }
    const int16_t cut = code >= 0 ? faults_.truncate[static_cast<size_t>(code)] : -1;
    if (cut >= 0 && static_cast<size_t>(cut) < m.length) {
        m.length = static_cast<size_t>(cut);
    }
    m.ready = now + std::chrono::microseconds(faults_.replyLatencyUs);
    if (replies_.size() >= kReplyQueueLimit) {
        replies_.pop_front();
    }
    replies_.push_back(m);
    ++counters_.replies;
    commandCv_.notify_all();
}

FdFirmware::Message FdFirmware::executeCommand(const uint8_t* req, size_t len, bool apply,
                                               Clock::time_point now) {
    Message m;
    uint8_t* out = m.bytes.data();
    if (len > kInterruptPacket) {
        ++counters_.malformed;
        errorReply(req, len, kStatusBadLength, out, &m.length);
        return m;
    }
    if (len >= 2 && req[0] == kDirectTag0 && req[1] == kDirectTag1) {
        // Direct transfer: the payload, as long as the transfer carried it,
        // comes back.
        std::memcpy(out, req, len);
        m.length = len;
        return m;
    }
    if (len < 3 || req[0] != kPrefix) {
        ++counters_.malformed;
        errorReply(req, len, kStatusMalformed, out, &m.length);
        return m;
    }
    const uint8_t code = req[1];
    out[0] = kPrefix;
    out[1] = code;
    if (code == kCmdBitTiming) {
        if (len < kBitTimingLength) {
            ++counters_.malformed;
            errorReply(req, len, kStatusBadLength, out, &m.length);
            return m;
        }
        uint8_t channel = 0;
        out[3] = applyBitTiming(req, len, apply, &channel);
        out[2] = 0x02;
        out[4] = channel;
        m.length = 5;
        return m;
    }
    // Every other request says in byte 2 how many bytes follow.
    if (len < 3u + req[2]) {
        ++counters_.malformed;
        errorReply(req, len, kStatusBadLength, out, &m.length);
        return m;
    }
    switch (code) {
        case kCmdHwVersion:
        case kCmdFwVersion: {
            const uint16_t v = code == kCmdHwVersion ? model_.hwVersion : model_.fwVersion;
            out[2] = 0x03;
            out[3] = kStatusOk;
            out[4] = static_cast<uint8_t>(v >> 8);
            out[5] = static_cast<uint8_t>(v);
            m.length = 6;
            return m;
        }
        case kCmdChannelCount:
            out[2] = 0x02;
            out[3] = kStatusOk;
            out[4] = static_cast<uint8_t>(model_.channels);
            m.length = 5;
            return m;
        case kCmdStart:
        case kCmdStop:
            if (req[2] < 2) {
                ++counters_.malformed;
                errorReply(req, len, kStatusBadLength, out, &m.length);
                return m;
            }
            out[2] = 0x02;
            out[3] = applyStartStop(req[4] >> 4, code == kCmdStart, apply, now);
            out[4] = req[4];
            m.length = 5;
            return m;
        case kCmdFilter:
            if (req[2] < kFilterLength - 3) {
                ++counters_.malformed;
                errorReply(req, len, kStatusBadLength, out, &m.length);
                return m;
            }
            out[2] = 0x03;
            out[3] = applyFilter(req[4] >> 4, req[3], getLe32(req + 5), getLe32(req + 9), apply);
            out[4] = req[3];
            out[5] = req[4];
            m.length = 6;
            return m;
        default:
            errorReply(req, len, kStatusUnknown, out, &m.length);
            return m;
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

uint8_t FdFirmware::applyStartStop(int ch, bool start, bool apply, Clock::time_point now) {
    if (ch >= model_.channels) {
        return kStatusBadChannel;
    }
    Channel& c = channels_[static_cast<size_t>(ch)];
    if (start && !c.initialised) {
        return kStatusNotReady;
    }
    if (!apply) {
        return kStatusOk;
    }
    if (start && !c.started) {
        // Generator frames that passed while the channel was off are gone.
        if (c.gen.config().pace != GeneratorConfig::Pace::Max) {
            c.gen.drop(c.gen.available(now));
        }
        streamCv_.notify_all();
    }
    c.started = start;
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
        o.timing = c.timing();
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

void FdFirmware::handleFramePackets(const uint8_t* data, size_t len) {
    // Each packet is validated under the lock, sent onto the bus without it,
    // and acknowledged after that: an acknowledged frame has reached its peers.
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
        int sent = 0;
        std::vector<int> heard(frames.size(), 0);
        for (size_t i = 0; i < frames.size(); ++i) {
            heard[i] = VirtualBus::instance().transmit(busHandle_, frames[i].channel,
                                                       frames[i].frame, frames[i].timing);
            ++sent;
        }
        {
            std::lock_guard lock(mu_);
            for (size_t i = 0; i < frames.size(); ++i) {
                ++channels_[static_cast<size_t>(frames[i].channel)].txFrames;
                ++counters_.framesTx;
                if (heard[i] == 0) {
                    ++counters_.framesUnheard;
                }
            }
            queueAck(status, static_cast<size_t>(sent), received);
        }
        pos += consumed;
    }
}

void FdFirmware::queueAck(uint8_t status, size_t records, Clock::time_point received) {
    if (faults_.ackWithheld) {
        ++counters_.withheldAcks;
        return;
    }
    Message m;
    m.bytes[0] = kPacketTag0;
    m.bytes[1] = kPacketTag1;
    m.bytes[2] = status;
    m.bytes[3] = static_cast<uint8_t>(records);
    m.length = kAckSize;
    m.ready = received + std::chrono::microseconds(faults_.ackLatencyUs);
    acks_.push_back(m);
    ++counters_.acks;
    ackCv_.notify_all();
}

// ---- Receiving ---------------------------------------------------------------

InjectResult FdFirmware::deliverLocked(int ch, const BusFrame& frame, const BusTiming& sender) {
    if (ch < 0 || ch >= model_.channels) {
        return InjectResult::BadChannel;
    }
    if (!attached_) {
        return InjectResult::NotStarted;
    }
    Channel& c = channels_[static_cast<size_t>(ch)];
    if (!c.started) {
        return InjectResult::NotStarted;
    }
    if (!frameReaches(frame, sender, c.timing())) {
        return InjectResult::Incompatible;
    }
    // From here the controller has received the frame (and acknowledged it
    // on the bus); the filter and the buffer decide whether the host sees it.
    if (!c.passes(frame)) {
        ++c.filtered;
        ++counters_.filtered;
        return InjectResult::Filtered;
    }
    if (rx_.size() >= kRxCapacity) {
        ++c.overruns;
        ++counters_.overruns;
        return InjectResult::Overrun;
    }
    rx_.push_back(RxEntry{static_cast<uint8_t>(ch), microsAt(Clock::now()), frame});
    ++c.rxFrames;
    ++counters_.framesRx;
    streamCv_.notify_all();
    return InjectResult::Delivered;
}

bool FdFirmware::deliver(int ch, const BusFrame& frame, const BusTiming& sender) {
    std::lock_guard lock(mu_);
    const InjectResult r = deliverLocked(ch, frame, sender);
    return r == InjectResult::Delivered || r == InjectResult::Filtered ||
           r == InjectResult::Overrun;
}

InjectResult FdFirmware::inject(int ch, const BusFrame& frame) {
    std::lock_guard lock(mu_);
    if (ch < 0 || ch >= model_.channels) {
        return InjectResult::BadChannel;
    }
    // A node on the channel's own bus: it runs the channel's bit rates.
    const BusTiming sender = channels_[static_cast<size_t>(ch)].timing();
    return deliverLocked(ch, frame, sender);
}

// ---- Stream ----------------------------------------------------------------

int FdFirmware::readStream(uint8_t* data, int length, unsigned timeoutMs, int* transferred) {
    std::unique_lock lock(mu_);
    const Clock::time_point deadline = deadlineAfter(Clock::now(), timeoutMs);
    for (;;) {
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        const Clock::time_point now = Clock::now();
        const size_t n = length > 0 ? streamRead(data, static_cast<size_t>(length), now) : 0;
        if (n > 0) {
            *transferred = static_cast<int>(n);
            counters_.streamBytes += n;
            return LIBUSB_SUCCESS;
        }
        if (now >= deadline) {
            return LIBUSB_ERROR_TIMEOUT;
        }
        const Clock::time_point wake = std::min(deadline, nextGeneratorDue(now));
        if (wake == Clock::time_point::max()) {
            streamCv_.wait(lock);
        } else {
            streamCv_.wait_until(lock, wake);
        }
    }
}

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
    const size_t split = faults_.splitAt;
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
    if (!rx_.empty()) {
        const RxEntry& e = rx_.front();
        if (recordSize(e.frame.fd) > room) {
            return 0;
        }
        const size_t used = putStreamRecord(out, e.channel, e.timeStamp, e.frame);
        rx_.pop_front();
        return used;
    }
    const size_t n = channels_.size();
    for (size_t tried = 0; tried < n; ++tried) {
        const size_t ch = (genCursor_ + tried) % n;
        Channel& c = channels_[ch];
        TrafficGenerator& g = c.gen;
        if (!g.configured() || !c.started || (g.config().fd && !c.fdMode)) {
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

void FdFirmware::settleGenerators(Clock::time_point now) {
    for (Channel& c : channels_) {
        TrafficGenerator& g = c.gen;
        if (!g.configured() || g.config().pace == GeneratorConfig::Pace::Max) {
            continue;
        }
        const uint64_t avail = g.available(now);
        if (!c.started || (g.config().fd && !c.fdMode)) {
            g.drop(avail);  // the channel is not there to receive them
        } else if (avail > kGeneratorBacklog) {
            g.drop(avail - kGeneratorBacklog);
        }
    }
}

Clock::time_point FdFirmware::nextGeneratorDue(Clock::time_point now) const {
    Clock::time_point next = Clock::time_point::max();
    for (const Channel& c : channels_) {
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

// ---- Generators, faults, state -----------------------------------------------

bool FdFirmware::startGenerator(int ch, const GeneratorConfig& config, std::string* error) {
    std::lock_guard lock(mu_);
    if (ch < 0 || ch >= model_.channels) {
        *error = "channel " + std::to_string(ch) + " out of range (0.." +
                 std::to_string(model_.channels - 1) + ")";
        return false;
    }
    Channel& c = channels_[static_cast<size_t>(ch)];
    if (config.fd ? !isFdLength(config.len) : config.len > 8) {
        *error = "length " + std::to_string(config.len) + " is not a valid " +
                 (config.fd ? "FD" : "classic") + " data length";
        return false;
    }
    if (config.fd && c.initialised && !c.fdMode) {
        *error = "channel " + std::to_string(ch) + " runs classic CAN only";
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
            if (!c.initialised) {
                *error = "channel " + std::to_string(ch) + " has no bit rates yet";
                return false;
            }
            FrameShape shape;
            shape.fd = config.fd;
            shape.ext = config.ext;
            shape.brs = config.fd && config.brs;
            shape.len = config.len;
            period = frameWireSeconds(shape, c.arbRate, c.dataRate);
            break;
        }
        case GeneratorConfig::Pace::Max:
            break;
    }
    const Clock::time_point now = Clock::now();
    c.gen.start(config, period, now);
    streamCv_.notify_all();
    return true;
}

bool FdFirmware::stopGenerator(int ch) {
    std::lock_guard lock(mu_);
    if (ch < 0 || ch >= model_.channels) {
        return false;
    }
    channels_[static_cast<size_t>(ch)].gen.stop(Clock::now());
    return true;
}

GeneratorStats FdFirmware::generatorStats(int ch) const {
    std::lock_guard lock(mu_);
    GeneratorStats s;
    if (ch < 0 || ch >= model_.channels) {
        return s;
    }
    const TrafficGenerator& g = channels_[static_cast<size_t>(ch)].gen;
    const Clock::time_point now = Clock::now();
    s.running = g.running(now);
    s.produced = g.produced(now);
    s.delivered = g.delivered();
    s.filtered = g.filtered();
    s.lost = g.lost();
    s.framesPerSecond = g.periodSeconds() > 0 ? 1.0 / g.periodSeconds() : 0;
    return s;
}

ChannelSnapshot FdFirmware::channel(int ch) const {
    std::lock_guard lock(mu_);
    ChannelSnapshot s;
    if (ch < 0 || ch >= model_.channels) {
        return s;
    }
    const Channel& c = channels_[static_cast<size_t>(ch)];
    s.initialised = c.initialised;
    s.started = c.started;
    s.fdMode = c.fdMode;
    s.iso = c.iso;
    s.mode = c.mode;
    s.arbTiming = c.arbTiming;
    s.dataTiming = c.dataTiming;
    s.arbRate = c.arbRate;
    s.dataRate = c.dataRate;
    s.filterEnabled = c.filterEnabled;
    s.ranges = c.ranges;
    s.txFrames = c.txFrames;
    s.rxFrames = c.rxFrames;
    s.filtered = c.filtered;
    s.overruns = c.overruns;
    return s;
}

FirmwareCounters FdFirmware::counters() const {
    std::lock_guard lock(mu_);
    return counters_;
}

void FdFirmware::setNoReply(uint8_t code, bool on) {
    std::lock_guard lock(mu_);
    faults_.noReply[code] = on;
}

void FdFirmware::setReplyStatus(uint8_t code, std::optional<uint8_t> status) {
    std::lock_guard lock(mu_);
    faults_.status[code] = status ? *status : -1;
}

void FdFirmware::setForeignReply(uint8_t code, std::optional<uint8_t> replyCode) {
    std::lock_guard lock(mu_);
    faults_.foreign[code] = replyCode ? *replyCode : -1;
}

void FdFirmware::setReplyTruncate(uint8_t code, std::optional<uint8_t> length) {
    std::lock_guard lock(mu_);
    faults_.truncate[code] = length ? *length : -1;
}

void FdFirmware::setReplyLatencyUs(uint32_t us) {
    std::lock_guard lock(mu_);
    faults_.replyLatencyUs = us;
}

void FdFirmware::setAckWithheld(bool withheld) {
    std::lock_guard lock(mu_);
    faults_.ackWithheld = withheld;
}

void FdFirmware::setAckLatencyUs(uint32_t us) {
    std::lock_guard lock(mu_);
    faults_.ackLatencyUs = us;
}

void FdFirmware::injectGarbage(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mu_);
    garbage_.insert(garbage_.end(), bytes.begin(), bytes.end());
    streamCv_.notify_all();
}

void FdFirmware::setStreamSplit(size_t at) {
    std::lock_guard lock(mu_);
    faults_.splitAt = at;
}

void FdFirmware::clearFaults() {
    std::lock_guard lock(mu_);
    faults_.reset();
    garbage_.clear();
}

}  // namespace ksim::fd
