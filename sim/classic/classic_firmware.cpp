#include "classic/classic_firmware.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ksim::classic {

std::unique_ptr<VirtualDevice> createClassicFirmware(const FirmwareModel& model, int ordinal) {
    return std::make_unique<ClassicFirmware>(model, ordinal);
}

namespace {

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

// One answer slot, which a new request empties.
constexpr fwkit::CommandChannel kCommandChannel{.requestEndpoint = kEpCommandOut,
                                                .replyEndpoint = kEpCommandIn,
                                                .dataEndpoint = kEpFramesOut,
                                                .replyLimit = 1,
                                                .requestDropsUnread = true,
                                                .truncateInDecimal = false,
                                                .versionsBigEndian = false};
constexpr fwkit::BusLayout kBusLayout{
    .streamEndpoint = kEpStreamIn,
    .genUsage = "usage: gen start <ch> C <S|E> <len> <fps|wire|max> [count] [id=<hex>]",
    .genMaxWords = 9,
    .genOptions = "count, id=<hex>"};

std::string defaultSerial(const FirmwareModel& model, int ordinal) {
    char serial[24];
    std::snprintf(serial, sizeof serial, "%04X%06d", model.productId, ordinal % 1000000);
    return serial;
}

}  // namespace

ClassicFirmware::ClassicFirmware(const FirmwareModel& model, int ordinal)
    : BusFirmware(model, ordinal, kCommandChannel, kBusLayout),
      channels_(kChannels),
      serialText_(defaultSerial(model, ordinal)),
      hwTypeText_(std::string(model.name).substr(0, 10) + " CAN") {}

void ClassicFirmware::powerOnLocked(Clock::time_point now) {
    BusFirmware::powerOnLocked(now);
    fwkit::powerOnChannels(&channels_);
    txQueued_.clear();
    relayA_ = relayB_ = 0;
}

void ClassicFirmware::wakeLocked() {
    BusFirmware::wakeLocked();
    txCv_.notify_all();
}

fwkit::BusChannel& ClassicFirmware::busChannel(int ch) {
    return channels_[static_cast<size_t>(ch)];
}

BusTiming ClassicFirmware::timingOf(int ch) const {
    return BusTiming{channels_[static_cast<size_t>(ch)].bitRate, 0, false, false};
}

// ---- Commands ----------------------------------------------------------------

void ClassicFirmware::forceStatus(const uint8_t* req, size_t len, int code, uint8_t status,
                                  Message* m) {
    // The channel init answer carries its status (accepted or refused) in byte 2.
    const bool init = code == kCmdInit && len >= kInitLength && req[0] == kPrefix;
    fwkit::putStatus(init ? 2 : 3, status, m);
}

Message ClassicFirmware::executeCommand(const uint8_t* req, size_t len, bool apply,
                                        Clock::time_point now) {
    if (len < 2 || req[0] != kPrefix) {
        return malformedReply(req, len, kStatusMalformed);
    }
    const uint8_t code = req[1];
    if (len < 3 || len < 3u + req[2]) {
        return malformedReply(req, len, kStatusBadLength);
    }
    if (std::optional<Message> board = boardQueryReply(kPrefix, code)) {
        return *board;
    }
    switch (code) {
        case kCmdSerial:
        case kCmdHwType: {
            const std::string& text = code == kCmdSerial ? serialText_ : hwTypeText_;
            return statusReply(kPrefix, code, kStatusOk,
                               reinterpret_cast<const uint8_t*>(text.data()), text.size());
        }
        case kCmdInit:
            if (len < kInitLength || req[2] < kInitLength - 3) {
                return malformedReply(req, len, kStatusBadLength);
            }
            // Byte 2 says whether the init was accepted; M T0 T1 come back.
            return bytesReply({kPrefix, code, applyInit(req, apply), req[4], req[5], req[6]});
        case kCmdStart:
        case kCmdReset:
            return startStopReply(req, len, apply, now);
        case kCmdChannelState:
            return channelStateReply(req[3], now);
        case kCmdTimingQuery: {
            const uint8_t ch = req[3];
            if (ch >= kChannels) {
                return statusReply(kPrefix, code, kStatusBadChannel, {ch, 0, 0, 0, 0});
            }
            // Each register in a 16-bit big-endian slot.
            const Channel& c = channels_[ch];
            return statusReply(kPrefix, code, kStatusOk, {ch, 0, c.btr0, 0, c.btr1});
        }
        case kCmdRelaySet:
        case kCmdRelayGet:
            if (req[2] < 2) {
                return malformedReply(req, len, kStatusBadLength);
            }
            if (code == kCmdRelaySet && apply) {
                relayA_ = req[3];
                relayB_ = req[4];
            }
            // The relay bytes stand where other answers have their status.
            return code == kCmdRelaySet ? bytesReply({kPrefix, code, 0x02, req[3], req[4]})
                                        : bytesReply({kPrefix, code, 0x02, relayA_, relayB_});
        default:
            return shortReply(req, len, kStatusUnknown);
    }
}

Message ClassicFirmware::channelStateReply(uint8_t ch, Clock::time_point now) const {
    if (ch >= kChannels) {
        return statusReply(kPrefix, kCmdChannelState, kStatusBadChannel, {ch, 0, 0, 0, 0, 0, 0, 0});
    }
    const Channel& c = channels_[ch];
    bool pending = false;
    for (const RxEntry& e : rx_) {
        pending = pending || (e.channel == ch && e.ready <= now);
    }
    const auto sr = static_cast<uint8_t>(
        (txRoomLocked(now) > 0 ? kSrTransmitBuffer : 0) |
        (c.txEnd <= now ? kSrTransmitComplete : 0) | (pending ? kSrReceiveBuffer : 0) |
        (c.txErrors >= kErrorWarning || c.rxErrors >= kErrorWarning ? kSrErrorStatus : 0));
    const auto flags = static_cast<uint8_t>((c.initialised ? 0x01 : 0) | (c.started ? 0x02 : 0) |
                                            (c.modeFlag ? kInitModeBit : 0));
    return statusReply(kPrefix, kCmdChannelState, kStatusOk,
                       {ch, sr, flags, c.btr0, c.btr1, c.txErrors, c.rxErrors, 0});
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

void ClassicFirmware::stoppedLocked(int ch) {
    // Reset mode keeps the bit timing but leaves the bus and drops what the
    // channel had received.
    Channel& c = channels_[static_cast<size_t>(ch)];
    c.txErrors = c.rxErrors = 0;
    dropPendingLocked(ch);
}

void ClassicFirmware::dropPendingLocked(int ch) {
    rx_.erase(
        std::remove_if(rx_.begin(), rx_.end(), [ch](const RxEntry& e) { return e.channel == ch; }),
        rx_.end());
}

// ---- Frame records from the host --------------------------------------------

int ClassicFirmware::writeData(const uint8_t* data, size_t len, unsigned timeoutMs, size_t* taken) {
    // Records enter the transmit buffer in order and the transfer ends once
    // the last is in. A full buffer holds the transfer until the bus has sent
    // enough frames; records taken in after such a wait arrive when the room
    // opened, so a host that keeps the buffer filled keeps the bus busy.
    const size_t whole = len / kRecordSize;
    Clock::time_point arrival = Clock::now();
    const Clock::time_point deadline = fwkit::deadlineAfter(arrival, timeoutMs);
    std::unique_lock lock(mu_);
    if (len % kRecordSize != 0) {
        ++counters_.malformed;  // a partial record is dropped
    }
    size_t next = 0;
    while (next < whole) {
        Clock::time_point roomAt{};
        const int rc = waitUntilLocked(
            lock, txCv_, deadline,
            [&](Clock::time_point now) -> std::optional<int> {
                if (txRoomLocked(now) == 0) {
                    return std::nullopt;
                }
                return LIBUSB_SUCCESS;
            },
            [&](Clock::time_point now) { return roomAt = txRoomAtLocked(now); });
        if (rc != LIBUSB_SUCCESS) {
            *taken = next * kRecordSize;
            return rc;
        }
        const Clock::time_point now = Clock::now();
        if (roomAt != Clock::time_point{}) {
            arrival = std::max(arrival, std::min(roomAt, now));
        }
        txQueued_.erase(txQueued_.begin(), txQueued_.upper_bound(now));
        std::vector<Outgoing> frames;
        for (const size_t room = txRoomLocked(now); next < whole && frames.size() < room; ++next) {
            HostRecord r;
            if (decodeHostRecord(data + next * kRecordSize, &r) != RecordCheck::Ok ||
                !channels_[static_cast<size_t>(r.channel)].started) {
                ++counters_.refusedRecords;
                continue;
            }
            ++counters_.records;
            frames.push_back(Outgoing{r.channel, r.frame, timingOf(r.channel)});
        }
        txPutting_ += frames.size();
        lock.unlock();
        const std::vector<Sent> sent = transmit(frames, arrival);
        lock.lock();
        txPutting_ -= frames.size();
        countSentLocked(frames, sent);
        noteSentLocked(frames, sent);
        txCv_.notify_all();
    }
    *taken = len;
    return LIBUSB_SUCCESS;
}

size_t ClassicFirmware::txRoomLocked(Clock::time_point now) const {
    const auto inBuffer =
        static_cast<size_t>(std::distance(txQueued_.upper_bound(now), txQueued_.end()));
    const size_t used = inBuffer + txPutting_;
    return used < kTxBuffer ? kTxBuffer - used : 0;
}

ClassicFirmware::Clock::time_point ClassicFirmware::txRoomAtLocked(Clock::time_point now) const {
    auto it = txQueued_.upper_bound(now);
    const auto queued = static_cast<size_t>(std::distance(it, txQueued_.end()));
    const size_t used = queued + txPutting_;
    if (used < kTxBuffer) {
        return now;
    }
    const size_t leave = used - kTxBuffer + 1;  // frames that must leave the bus first
    if (leave > queued) {
        return Clock::time_point::max();  // frames still being put on the bus hold the room
    }
    std::advance(it, static_cast<std::ptrdiff_t>(leave - 1));
    return *it;
}

void ClassicFirmware::noteSentLocked(const std::vector<Outgoing>& frames,
                                     const std::vector<Sent>& sent) {
    for (size_t i = 0; i < frames.size(); ++i) {
        Channel& c = channels_[static_cast<size_t>(frames[i].channel)];
        txQueued_.insert(sent[i].end);
        c.txEnd = std::max(c.txEnd, sent[i].end);
        if (sent[i].heard == 0) {
            if (c.txErrors < kErrorPassive) {
                c.txErrors = static_cast<uint8_t>(std::min<int>(c.txErrors + 8, kErrorPassive));
            }
        } else if (c.txErrors > 0) {
            --c.txErrors;
        }
    }
}

// ---- Receiving ---------------------------------------------------------------

ClassicInject ClassicFirmware::receiveLocked(int ch, const BusFrame& frame,
                                             const BusTiming& sender) {
    Channel& c = channels_[static_cast<size_t>(ch)];
    // A classic controller takes part in classic frames only.
    if (frame.fd || frame.len > 8 || !frameReaches(frame, sender, timingOf(ch))) {
        return ClassicInject::Incompatible;
    }
    if (c.rxErrors > 0) {
        --c.rxErrors;
    }
    return ClassicInject::Delivered;
}

// ---- Stream ------------------------------------------------------------------

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
    if (const RxEntry* ready = readyRx(now)) {
        const RxEntry& e = *ready;
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

// ---- Generators, state -------------------------------------------------------

std::string ClassicFirmware::generatorRefusal(int ch, const GeneratorConfig& config) const {
    if (config.fd) {
        return "a classic channel receives no CAN FD frames";
    }
    if (config.len > 8) {
        return "length " + std::to_string(config.len) + " is not a classic data length";
    }
    if (config.pace == GeneratorConfig::Pace::Wire &&
        !channels_[static_cast<size_t>(ch)].initialised) {
        return "channel " + std::to_string(ch) + " has no bit rate yet";
    }
    return "";
}

ClassicChannelSnapshot ClassicFirmware::channel(int ch) const {
    std::lock_guard lock(mu_);
    return hasChannel(ch) ? snapshotOf(channels_[static_cast<size_t>(ch)])
                          : ClassicChannelSnapshot{};
}

ClassicChannelSnapshot ClassicFirmware::snapshotOf(const Channel& c) {
    return {.initialised = c.initialised,
            .started = c.started,
            .modeFlag = c.modeFlag,
            .btr0 = c.btr0,
            .btr1 = c.btr1,
            .bitRate = c.bitRate,
            .txErrors = c.txErrors,
            .rxErrors = c.rxErrors,
            .txFrames = c.txFrames,
            .rxFrames = c.rxFrames,
            .overruns = c.overruns};
}

ClassicCounters ClassicFirmware::countersLocked() const {
    ClassicCounters k = counters_;
    k.unreadReplies = replies_.discarded();
    return k;
}

ClassicCounters ClassicFirmware::counters() const {
    std::lock_guard lock(mu_);
    return countersLocked();
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

}  // namespace ksim::classic
