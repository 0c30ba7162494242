#include "classic/classic_firmware.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bus/frame_timing.h"

namespace ksim::classic {

std::unique_ptr<VirtualDevice> createClassicFirmware(const FirmwareModel& model, int ordinal) {
    return std::make_unique<ClassicFirmware>(model, ordinal);
}

namespace {

using Clock = ClassicFirmware::Clock;
using fwkit::Message;

// Error counter steps of a CAN controller: +8 for a transmission nobody
// acknowledged (held at the error-passive limit, as a lone node's counter
// is), -1 for each success.
constexpr uint8_t kErrorPassive = 128;
constexpr uint8_t kErrorWarning = 96;

// SJA1000 status register bits reported by the channel state query.
constexpr uint8_t kSrReceiveBuffer = 0x01;
constexpr uint8_t kSrTransmitBuffer = 0x04;
constexpr uint8_t kSrTransmitComplete = 0x08;
constexpr uint8_t kSrErrorStatus = 0x40;

// The short answer: prefix, code, count 1, status.
Message shortReply(const uint8_t* req, size_t len, uint8_t status) {
    Message m;
    m.bytes[0] = len > 0 ? req[0] : 0;
    m.bytes[1] = len > 1 ? req[1] : 0;
    m.bytes[2] = 0x01;
    m.bytes[3] = status;
    m.length = 4;
    return m;
}

}  // namespace

bool ClassicFirmware::Port::busDeliver(const BusFrame& frame, const BusTiming& sender) {
    std::lock_guard lock(fw_->mu_);
    const ClassicInject r = fw_->deliverLocked(ch_, frame, sender);
    return r == ClassicInject::Delivered || r == ClassicInject::Overrun;
}

ClassicFirmware::ClassicFirmware(const FirmwareModel& model, int ordinal)
    : model_(model), ordinal_(ordinal), channels_(kChannels) {
    char serial[24];
    std::snprintf(serial, sizeof serial, "%04X%06d", model_.productId, ordinal_ % 1000000);
    serialText_ = serial;
    hwTypeText_ = std::string(model_.name).substr(0, 10) + " CAN";
    powerOnLocked(Clock::now());
    std::vector<BusPort*> ports;
    for (int ch = 0; ch < kChannels; ++ch) {
        ports_.push_back(std::make_unique<Port>(this, ch));
        ports.push_back(ports_.back().get());
    }
    busHandle_ = VirtualBus::instance().attachAdapter(model_.vendorId, model_.productId, ordinal_,
                                                      std::move(ports));
}

ClassicFirmware::~ClassicFirmware() {
    VirtualBus::instance().detachAdapter(busHandle_);
}

void ClassicFirmware::powerOnLocked(Clock::time_point now) {
    for (Channel& c : channels_) {
        // Counters and generators belong to the bench, not to the adapter.
        Channel fresh;
        fresh.gen = c.gen;
        fresh.txFrames = c.txFrames;
        fresh.rxFrames = c.rxFrames;
        fresh.overruns = c.overruns;
        c = fresh;
    }
    relayA_ = relayB_ = 0;
    if (reply_) {
        ++counters_.unreadReplies;
    }
    reply_.reset();
    rx_.clear();
    out_.clear();
    outPos_ = 0;
    powerOn_ = now;
}

uint32_t ClassicFirmware::microsAt(Clock::time_point t) const {
    if (t <= powerOn_) {
        return 0;
    }
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(t - powerOn_).count());
}

uint32_t ClassicFirmware::adapterMicros() const {
    std::lock_guard lock(mu_);
    return microsAt(Clock::now());
}

void ClassicFirmware::usbReset() {
    std::lock_guard lock(mu_);
    powerOnLocked(Clock::now());
    replyCv_.notify_all();
    streamCv_.notify_all();
}

void ClassicFirmware::setAttached(bool attached) {
    std::lock_guard lock(mu_);
    if (attached && !attached_) {
        powerOnLocked(Clock::now());
    }
    if (!attached) {
        for (Channel& c : channels_) {
            c.started = false;  // without power the controllers leave the bus
        }
    }
    attached_ = attached;
    replyCv_.notify_all();
    streamCv_.notify_all();
}

// ---- Transfers ---------------------------------------------------------------

int ClassicFirmware::transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned,
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
    const auto len = static_cast<size_t>(length);
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
        handleRecords(data, len);
    }
    if (transferred != nullptr) {
        *transferred = length;
    }
    return LIBUSB_SUCCESS;
}

int ClassicFirmware::transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                                int* transferred) {
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (length < 0 || (data == nullptr && length > 0) || transferred == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    switch (endpoint) {
        case kEpCommandIn:
            return readReply(data, length, timeoutMs, transferred);
        case kEpStreamIn:
            return readStream(data, length, timeoutMs, transferred);
        default:
            return LIBUSB_ERROR_NOT_FOUND;
    }
}

int ClassicFirmware::readReply(uint8_t* data, int length, unsigned timeoutMs, int* transferred) {
    std::unique_lock lock(mu_);
    const Clock::time_point deadline = fwkit::deadlineAfter(Clock::now(), timeoutMs);
    for (;;) {
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        const Clock::time_point now = Clock::now();
        if (reply_ && reply_->ready <= now) {
            const Message m = *reply_;
            reply_.reset();
            const size_t n = std::min(m.length, static_cast<size_t>(length));
            std::memcpy(data, m.bytes.data(), n);
            *transferred = static_cast<int>(n);
            return n < m.length ? LIBUSB_ERROR_OVERFLOW : LIBUSB_SUCCESS;
        }
        if (now >= deadline) {
            return LIBUSB_ERROR_TIMEOUT;
        }
        const Clock::time_point wake = reply_ ? std::min(deadline, reply_->ready) : deadline;
        if (wake == Clock::time_point::max()) {
            replyCv_.wait(lock);
        } else {
            replyCv_.wait_until(lock, wake);
        }
    }
}

// ---- Commands ----------------------------------------------------------------

void ClassicFirmware::handleCommand(const uint8_t* req, size_t len, Clock::time_point now) {
    ++counters_.commands;
    // The interrupt endpoint holds the answer to the latest request only.
    if (reply_) {
        ++counters_.unreadReplies;
        reply_.reset();
    }
    if (len == 0) {
        ++counters_.malformed;
        return;  // an empty write carries no request to answer
    }
    const int code = len > 1 ? req[1] : -1;
    if (code >= 0 && faults_.noReply[static_cast<size_t>(code)]) {
        ++counters_.suppressedReplies;
        return;
    }
    Message m = executeCommand(req, len, !faults_.blocksExecution(code), now);
    const bool initForm = code == kCmdInit && len >= kInitLength && req[0] == kPrefix;
    faults_.shape(code, initForm ? 2 : 3, &m);
    m.ready = now + std::chrono::microseconds(faults_.latencyUs);
    reply_ = m;
    ++counters_.replies;
    replyCv_.notify_all();
}

Message ClassicFirmware::executeCommand(const uint8_t* req, size_t len, bool apply,
                                        Clock::time_point now) {
    if (len > fwkit::kCommandPacket) {
        ++counters_.malformed;
        return shortReply(req, len, kStatusBadLength);
    }
    if (len < 2 || req[0] != kPrefix) {
        ++counters_.malformed;
        return shortReply(req, len, kStatusMalformed);
    }
    const uint8_t code = req[1];
    Message m;
    uint8_t* out = m.bytes.data();
    out[0] = kPrefix;
    out[1] = code;
    if (code == kCmdDirect) {
        // The direct transfer comes back as it went out.
        std::memcpy(out + 2, req + 2, len - 2);
        m.length = len;
        return m;
    }
    if (len < 3 || len < 3u + req[2]) {
        ++counters_.malformed;
        return shortReply(req, len, kStatusBadLength);
    }
    switch (code) {
        case kCmdHwVersion:
        case kCmdFwVersion: {
            const uint16_t v = code == kCmdHwVersion ? model_.hwVersion : model_.fwVersion;
            out[2] = 0x03;
            out[3] = kStatusOk;
            out[4] = static_cast<uint8_t>(v);
            out[5] = static_cast<uint8_t>(v >> 8);
            m.length = 6;
            return m;
        }
        case kCmdChannelCount:
            out[2] = 0x02;
            out[3] = kStatusOk;
            out[4] = kChannels;
            m.length = 5;
            return m;
        case kCmdSerial:
        case kCmdHwType: {
            const std::string& text = code == kCmdSerial ? serialText_ : hwTypeText_;
            out[2] = static_cast<uint8_t>(1 + text.size());
            out[3] = kStatusOk;
            std::memcpy(out + 4, text.data(), text.size());
            m.length = 4 + text.size();
            return m;
        }
        case kCmdInit: {
            if (len < kInitLength || req[2] < kInitLength - 3) {
                ++counters_.malformed;
                return shortReply(req, len, kStatusBadLength);
            }
            out[2] = applyInit(req, apply);
            std::memcpy(out + 3, req + 4, 3);  // M T0 T1
            m.length = 6;
            return m;
        }
        case kCmdStart:
        case kCmdReset: {
            if (req[2] < 2) {
                ++counters_.malformed;
                return shortReply(req, len, kStatusBadLength);
            }
            out[2] = 0x02;
            out[3] = applyStartReset(req[4] >> 4, code == kCmdStart, apply, now);
            out[4] = req[4];
            m.length = 5;
            return m;
        }
        case kCmdChannelState: {
            const uint8_t ch = req[3];
            out[2] = 0x09;
            out[4] = ch;
            m.length = 12;
            if (ch >= kChannels) {
                out[3] = kStatusBadChannel;
                return m;
            }
            const Channel& c = channels_[ch];
            bool pending = false;
            for (const RxEntry& e : rx_) {
                pending = pending || e.channel == ch;
            }
            out[3] = kStatusOk;
            out[5] = static_cast<uint8_t>(
                kSrTransmitBuffer | kSrTransmitComplete | (pending ? kSrReceiveBuffer : 0) |
                (c.txErrors >= kErrorWarning || c.rxErrors >= kErrorWarning ? kSrErrorStatus : 0));
            out[6] = static_cast<uint8_t>((c.initialised ? 0x01 : 0) | (c.started ? 0x02 : 0) |
                                          (c.modeFlag ? kInitModeBit : 0));
            out[7] = c.btr0;
            out[8] = c.btr1;
            out[9] = c.txErrors;
            out[10] = c.rxErrors;
            return m;
        }
        case kCmdTimingQuery: {
            const uint8_t ch = req[3];
            out[2] = 0x06;
            out[4] = ch;
            m.length = 9;
            if (ch >= kChannels) {
                out[3] = kStatusBadChannel;
                return m;
            }
            out[3] = kStatusOk;
            out[6] = channels_[ch].btr0;  // each register in a 16-bit big-endian slot
            out[8] = channels_[ch].btr1;
            return m;
        }
        case kCmdRelaySet:
        case kCmdRelayGet:
            if (req[2] < 2) {
                ++counters_.malformed;
                return shortReply(req, len, kStatusBadLength);
            }
            if (code == kCmdRelaySet && apply) {
                relayA_ = req[3];
                relayB_ = req[4];
            }
            out[2] = 0x02;
            out[3] = code == kCmdRelaySet ? req[3] : relayA_;
            out[4] = code == kCmdRelaySet ? req[4] : relayB_;
            m.length = 5;
            return m;
        default:
            return shortReply(req, len, kStatusUnknown);
    }
}

uint8_t ClassicFirmware::applyInit(const uint8_t* req, bool apply) {
    const uint8_t modeByte = req[4];
    const int ch = (modeByte >> 4) & 0x07;
    if (ch >= kChannels || req[7] != kInitTail0 || req[8] != kInitTail1) {
        return kInitRefused;
    }
    BusTimingRegisters regs;
    const char* why = nullptr;
    if (!decodeBusTiming(req[5], req[6], &regs, &why)) {
        return kInitRefused;
    }
    if (apply) {
        // Reset mode while the registers are written: the controller leaves
        // the bus and its receive buffer empties.
        Channel& c = channels_[static_cast<size_t>(ch)];
        c.initialised = true;
        c.started = false;
        c.modeFlag = (modeByte & kInitModeBit) != 0;
        c.btr0 = req[5];
        c.btr1 = req[6];
        c.bitRate = regs.bitRate;
        c.txErrors = c.rxErrors = 0;
        dropPendingLocked(ch);
    }
    return static_cast<uint8_t>(kInitAccepted + ch);
}

uint8_t ClassicFirmware::applyStartReset(int ch, bool start, bool apply, Clock::time_point now) {
    if (ch >= kChannels) {
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
    if (!start) {
        // Reset mode keeps the bit timing but leaves the bus and drops what
        // the channel had received.
        c.txErrors = c.rxErrors = 0;
        dropPendingLocked(ch);
    }
    c.started = start;
    return kStatusOk;
}

void ClassicFirmware::dropPendingLocked(int ch) {
    rx_.erase(
        std::remove_if(rx_.begin(), rx_.end(), [ch](const RxEntry& e) { return e.channel == ch; }),
        rx_.end());
}

// ---- Frame records from the host --------------------------------------------

void ClassicFirmware::handleRecords(const uint8_t* data, size_t len) {
    std::vector<Outgoing> frames;
    {
        std::lock_guard lock(mu_);
        const size_t whole = len / kRecordSize;
        if (len % kRecordSize != 0) {
            ++counters_.malformed;  // a partial record is dropped
        }
        for (size_t i = 0; i < whole; ++i) {
            HostRecord r;
            if (decodeHostRecord(data + i * kRecordSize, &r) != RecordCheck::Ok) {
                ++counters_.refusedRecords;
                continue;
            }
            const Channel& c = channels_[static_cast<size_t>(r.channel)];
            if (!c.started) {
                ++counters_.refusedRecords;
                continue;
            }
            ++counters_.records;
            frames.push_back(Outgoing{r.channel, r.frame, c.timing()});
        }
    }
    std::vector<int> heard(frames.size(), 0);
    for (size_t i = 0; i < frames.size(); ++i) {
        heard[i] = VirtualBus::instance().transmit(busHandle_, frames[i].channel, frames[i].frame,
                                                   frames[i].timing);
    }
    std::lock_guard lock(mu_);
    for (size_t i = 0; i < frames.size(); ++i) {
        Channel& c = channels_[static_cast<size_t>(frames[i].channel)];
        ++c.txFrames;
        ++counters_.framesTx;
        if (heard[i] == 0) {
            ++counters_.framesUnheard;
            if (c.txErrors < kErrorPassive) {
                c.txErrors = static_cast<uint8_t>(std::min<int>(c.txErrors + 8, kErrorPassive));
            }
        } else if (c.txErrors > 0) {
            --c.txErrors;
        }
    }
}

// ---- Receiving ---------------------------------------------------------------

ClassicInject ClassicFirmware::deliverLocked(int ch, const BusFrame& frame,
                                             const BusTiming& sender) {
    if (ch < 0 || ch >= kChannels) {
        return ClassicInject::BadChannel;
    }
    if (!attached_) {
        return ClassicInject::NotStarted;
    }
    Channel& c = channels_[static_cast<size_t>(ch)];
    if (!c.started) {
        return ClassicInject::NotStarted;
    }
    // A classic controller takes part in classic frames only.
    if (frame.fd || frame.len > 8 || !frameReaches(frame, sender, c.timing())) {
        return ClassicInject::Incompatible;
    }
    if (c.rxErrors > 0) {
        --c.rxErrors;
    }
    if (rx_.size() >= kRxCapacity) {
        ++c.overruns;
        ++counters_.overruns;
        return ClassicInject::Overrun;
    }
    rx_.push_back(RxEntry{static_cast<uint8_t>(ch), microsAt(Clock::now()), frame});
    ++c.rxFrames;
    ++counters_.framesRx;
    streamCv_.notify_all();
    return ClassicInject::Delivered;
}

ClassicInject ClassicFirmware::inject(int ch, const BusFrame& frame) {
    std::lock_guard lock(mu_);
    if (ch < 0 || ch >= kChannels) {
        return ClassicInject::BadChannel;
    }
    // A node on the channel's own bus runs the channel's bit rate.
    const BusTiming sender = channels_[static_cast<size_t>(ch)].timing();
    return deliverLocked(ch, frame, sender);
}

// ---- Stream ------------------------------------------------------------------

int ClassicFirmware::readStream(uint8_t* data, int length, unsigned timeoutMs, int* transferred) {
    std::unique_lock lock(mu_);
    const Clock::time_point deadline = fwkit::deadlineAfter(Clock::now(), timeoutMs);
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

size_t ClassicFirmware::streamRead(uint8_t* data, size_t length, Clock::time_point now) {
    const size_t limit = splitAt_ > 0 ? std::min(length, splitAt_) : length;
    settleGenerators(now);
    size_t pos = 0;
    while (pos < limit) {
        if (outPos_ < out_.size()) {
            const size_t n = std::min(limit - pos, out_.size() - outPos_);
            std::memcpy(data + pos, out_.data() + outPos_, n);
            outPos_ += n;
            pos += n;
            continue;
        }
        out_.clear();
        outPos_ = 0;
        if (!garbage_.empty()) {
            out_.swap(garbage_);
            continue;
        }
        if (!nextRecord(now)) {
            break;
        }
    }
    return pos;
}

bool ClassicFirmware::nextRecord(Clock::time_point now) {
    out_.resize(kRecordSize);
    if (!rx_.empty()) {
        const RxEntry& e = rx_.front();
        encodeStreamRecord(out_.data(), e.channel, e.micros, e.frame);
        rx_.pop_front();
        return true;
    }
    for (size_t tried = 0; tried < channels_.size(); ++tried) {
        const size_t ch = (genCursor_ + tried) % channels_.size();
        Channel& c = channels_[ch];
        TrafficGenerator& g = c.gen;
        if (!g.configured() || !c.started || g.available(now) == 0) {
            continue;
        }
        const uint64_t index = g.nextIndex();
        BusFrame f;
        g.makeFrame(index, &f);
        encodeStreamRecord(out_.data(), static_cast<int>(ch), microsAt(g.dueTime(index, now)), f);
        g.takeDelivered();
        ++c.rxFrames;
        ++counters_.framesRx;
        genCursor_ = (ch + 1) % channels_.size();
        return true;
    }
    out_.clear();
    return false;
}

void ClassicFirmware::settleGenerators(Clock::time_point now) {
    for (Channel& c : channels_) {
        TrafficGenerator& g = c.gen;
        if (!g.configured() || g.config().pace == GeneratorConfig::Pace::Max) {
            continue;
        }
        const uint64_t avail = g.available(now);
        if (!c.started) {
            g.drop(avail);  // the channel is not on the bus to receive them
        } else if (avail > kGeneratorBacklog) {
            g.drop(avail - kGeneratorBacklog);
        }
    }
}

Clock::time_point ClassicFirmware::nextGeneratorDue(Clock::time_point now) const {
    Clock::time_point next = Clock::time_point::max();
    for (const Channel& c : channels_) {
        if (c.started && c.gen.configured()) {
            next = std::min(next, c.gen.nextDue(now));
        }
    }
    return next;
}

// ---- Generators, faults, state -----------------------------------------------

bool ClassicFirmware::startGenerator(int ch, const GeneratorConfig& config, std::string* error) {
    std::lock_guard lock(mu_);
    if (ch < 0 || ch >= kChannels) {
        *error = "channel " + std::to_string(ch) + " out of range (0..1)";
        return false;
    }
    if (config.fd) {
        *error = "a classic channel receives no CAN FD frames";
        return false;
    }
    if (config.len > 8) {
        *error = "length " + std::to_string(config.len) + " is not a classic data length";
        return false;
    }
    Channel& c = channels_[static_cast<size_t>(ch)];
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
                *error = "channel " + std::to_string(ch) + " has no bit rate yet";
                return false;
            }
            FrameShape shape;
            shape.ext = config.ext;
            shape.len = config.len;
            period = frameWireSeconds(shape, c.bitRate, 0);
            break;
        }
        case GeneratorConfig::Pace::Max:
            break;
    }
    c.gen.start(config, period, Clock::now());
    streamCv_.notify_all();
    return true;
}

bool ClassicFirmware::stopGenerator(int ch) {
    std::lock_guard lock(mu_);
    if (ch < 0 || ch >= kChannels) {
        return false;
    }
    channels_[static_cast<size_t>(ch)].gen.stop(Clock::now());
    return true;
}

ClassicGeneratorStats ClassicFirmware::generatorStats(int ch) const {
    std::lock_guard lock(mu_);
    ClassicGeneratorStats s;
    if (ch < 0 || ch >= kChannels) {
        return s;
    }
    const TrafficGenerator& g = channels_[static_cast<size_t>(ch)].gen;
    const Clock::time_point now = Clock::now();
    s.running = g.running(now);
    s.produced = g.produced(now);
    s.delivered = g.delivered();
    s.lost = g.lost();
    s.framesPerSecond = g.periodSeconds() > 0 ? 1.0 / g.periodSeconds() : 0;
    return s;
}

ClassicChannelSnapshot ClassicFirmware::channel(int ch) const {
    std::lock_guard lock(mu_);
    ClassicChannelSnapshot s;
    if (ch < 0 || ch >= kChannels) {
        return s;
    }
    const Channel& c = channels_[static_cast<size_t>(ch)];
    s.initialised = c.initialised;
    s.started = c.started;
    s.modeFlag = c.modeFlag;
    s.btr0 = c.btr0;
    s.btr1 = c.btr1;
    s.bitRate = c.bitRate;
    s.txErrors = c.txErrors;
    s.rxErrors = c.rxErrors;
    s.txFrames = c.txFrames;
    s.rxFrames = c.rxFrames;
    s.overruns = c.overruns;
    return s;
}

ClassicCounters ClassicFirmware::counters() const {
    std::lock_guard lock(mu_);
    return counters_;
}

std::pair<uint8_t, uint8_t> ClassicFirmware::relays() const {
    std::lock_guard lock(mu_);
    return {relayA_, relayB_};
}

bool ClassicFirmware::setBoardText(uint8_t query, const std::string& text) {
    if (text.size() > kMaxBoardText || (query != kCmdSerial && query != kCmdHwType)) {
        return false;
    }
    std::lock_guard lock(mu_);
    (query == kCmdSerial ? serialText_ : hwTypeText_) = text;
    return true;
}

void ClassicFirmware::setNoReply(uint8_t code, bool on) {
    std::lock_guard lock(mu_);
    faults_.noReply[code] = on;
}

void ClassicFirmware::setReplyStatus(uint8_t code, std::optional<uint8_t> status) {
    std::lock_guard lock(mu_);
    faults_.status[code] = status ? *status : -1;
}

void ClassicFirmware::setForeignReply(uint8_t code, std::optional<uint8_t> replyCode) {
    std::lock_guard lock(mu_);
    faults_.foreign[code] = replyCode ? *replyCode : -1;
}

void ClassicFirmware::setReplyTruncate(uint8_t code, std::optional<uint8_t> length) {
    std::lock_guard lock(mu_);
    faults_.truncate[code] = length ? *length : -1;
}

void ClassicFirmware::setReplyLatencyUs(uint32_t us) {
    std::lock_guard lock(mu_);
    faults_.latencyUs = us;
}

void ClassicFirmware::injectGarbage(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mu_);
    garbage_.insert(garbage_.end(), bytes.begin(), bytes.end());
    streamCv_.notify_all();
}

void ClassicFirmware::setStreamSplit(size_t at) {
    std::lock_guard lock(mu_);
    splitAt_ = at;
}

void ClassicFirmware::clearFaults() {
    std::lock_guard lock(mu_);
    faults_.reset();
    splitAt_ = 0;
    garbage_.clear();
}

}  // namespace ksim::classic
