#include "fd_protocol.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/le_bytes.h"

namespace dunlinfd {

namespace {

constexpr uint16_t kClock60 = 60;
constexpr uint16_t kClock80 = 80;

// Served types, in type order; the first row doubles as the fallback.
constexpr std::array<FdModel, 7> kModels = {{
    {KCAN_TYPE_DUNLINFD2, "DUNLINFD2", 0x3068, 0x0009, 2, kClock60},
    {KCAN_TYPE_DUNLINFD1, "DUNLINFD1", 0x3068, 0x0009, 2, kClock60},
    {KCAN_TYPE_DUNLINFD_MINI, "DUNLINFD-Mini", 0x3068, 0x0009, 2, kClock60},
    {KCAN_TYPE_ZARO3014, "ZARO3014", 0x0471, 0x3014, 4, kClock60},
    {KCAN_TYPE_ZARO2014, "ZARO2014", 0x0471, 0x2014, 4, kClock60},
    {KCAN_TYPE_ZARO2018, "ZARO2018", 0x0471, 0x2018, 8, kClock80},
    {KCAN_TYPE_ZARO3018, "ZARO3018", 0x0471, 0x3018, 8, kClock80},
}};

const FdModel* findModel(uint32_t type) {
    for (const FdModel& m : kModels) {
        if (m.type == type)
            return &m;
    }
    return nullptr;
}

uint8_t channelNibble(uint32_t channel) {
    return static_cast<uint8_t>((channel & 0x0F) << 4);
}

// The part of a record shared by both kinds; the data slot follows.
bool writeRecordHead(ByteWriter& w, uint32_t channel, uint8_t txOption, uint8_t flags, uint32_t id,
                     uint8_t len) {
    return w.u8(static_cast<uint8_t>((txOption & 0x0F) | channelNibble(channel))) && w.u8(flags) &&
           w.u32le(0) && w.u32le(id & kIdMask) && w.u8(len);
}

bool writeDataSlot(ByteWriter& w, const uint8_t* data, size_t len, size_t slot) {
    size_t n = std::min(len, slot);
    return w.bytes(data, n) && w.fill(0, slot - n);
}

bool writePacketHeader(ByteWriter& w, size_t count, size_t recordSize) {
    return w.u8(kPacketMagic0) && w.u8(kPacketMagic1) && w.u8(0) && w.u8(0) &&
           w.u16le(static_cast<uint16_t>(count * recordSize)) && w.u8(static_cast<uint8_t>(count));
}

struct RecordHead {
    uint32_t queue;
    uint8_t flags;
    uint32_t timeStamp;
    uint32_t id;
    uint8_t length;
};

bool readRecordHead(ByteReader& r, RecordHead* head) {
    uint8_t chan = 0;
    if (!r.u8(chan) || !r.u8(head->flags) || !r.u32le(head->timeStamp) || !r.u32le(head->id) ||
        !r.u8(head->length)) {
        return false;
    }
    head->queue = queueForChannel(chan >> 4);
    head->id &= kIdMask;
    return true;
}

}  // namespace

const FdModel& modelForType(uint32_t type) {
    const FdModel* m = findModel(type);
    return m != nullptr ? *m : kModels[0];
}

bool isFdFamilyType(uint32_t type) {
    return findModel(type) != nullptr;
}

size_t buildQueryCommand(uint8_t code, std::span<uint8_t> out) {
    ByteWriter w(out.data(), out.size());
    bool ok = w.u8(kCmdPrefix) && w.u8(code) && w.u8(0x01) && w.u8(0x01);
    return ok ? w.position() : 0;
}

size_t buildChannelCommand(uint8_t code, uint8_t channel, std::span<uint8_t> out) {
    ByteWriter w(out.data(), out.size());
    bool ok =
        w.u8(kCmdPrefix) && w.u8(code) && w.u8(0x02) && w.u8(0x00) && w.u8(channelNibble(channel));
    return ok ? w.position() : 0;
}

size_t buildFilterCommand(uint8_t op, uint8_t channel, uint32_t startId, uint32_t endId,
                          std::span<uint8_t> out) {
    ByteWriter w(out.data(), out.size());
    bool ok = w.u8(kCmdPrefix) && w.u8(kCmdFilter) && w.u8(0x0A) && w.u8(op) &&
              w.u8(channelNibble(channel)) && w.u32le(startId) && w.u32le(endId);
    return ok ? w.position() : 0;
}

size_t buildBitTimingCommand(const BitTimingRequest& req, std::span<uint8_t> out) {
    ByteWriter w(out.data(), out.size());
    auto phase = [&w](uint16_t clock, uint32_t word) {
        TimingFields f = unpackTimingWord(word);
        return w.u16le(clock) && w.u16le(f.brp) && w.u8(f.sjw) && w.u16le(f.tseg1) &&
               w.u16le(f.tseg2);
    };
    bool ok = w.u8(kCmdPrefix) && w.u8(kCmdBitTiming) && w.u8(req.channel) && w.u8(0x01) &&
              w.u8(req.isoMode) && w.u8(req.mode) &&
              phase(req.arbitrationClockMhz, req.arbitrationWord) &&
              phase(req.dataClockMhz, req.dataWord);
    return ok ? w.position() : 0;
}

size_t buildDirectTransfer(const uint8_t* payload, size_t length, std::span<uint8_t> out) {
    ByteWriter w(out.data(), out.size());
    size_t n = payload == nullptr ? 0 : std::min(length, kDirectPayloadMax);
    bool ok = w.u8(kDirectTag0) && w.u8(kDirectTag1) && w.bytes(payload, n);
    return ok ? w.position() : 0;
}

bool replyMatches(std::span<const uint8_t> request, std::span<const uint8_t> reply) {
    return request.size() >= 2 && reply.size() >= kMinReplyLength && reply[0] == request[0] &&
           reply[1] == request[1];
}

bool replyByte(std::span<const uint8_t> reply, size_t offset, uint8_t* out) {
    if (offset >= reply.size())
        return false;
    *out = reply[offset];
    return true;
}

bool replyVersionWord(std::span<const uint8_t> reply, uint16_t* out) {
    ByteReader r(reply.data(), reply.size());
    return r.skip(kReplyVersionOffset) && r.u16be(*out);
}

size_t encodeClassicPacket(uint32_t channel, const _KCAN_CAN_OBJ* frames, size_t count,
                           std::span<uint8_t> out) {
    if (frames == nullptr || count == 0 || count > kMaxFramesPerPacket)
        return 0;
    ByteWriter w(out.data(), out.size());
    if (!writePacketHeader(w, count, kClassicRecordSize))
        return 0;
    for (size_t i = 0; i < count; ++i) {
        const _KCAN_CAN_OBJ& f = frames[i];
        uint8_t flags =
            static_cast<uint8_t>((f.rtr ? kRecFlagRemote : 0) | (f.ext ? kRecFlagExtended : 0));
        uint8_t len = f.rtr ? 0 : f.len;
        if (!writeRecordHead(w, channel, f.txOption, flags, f.id, len) ||
            !writeDataSlot(w, f.data, len, kClassicDataSlot)) {
            return 0;
        }
    }
    return w.position();
}

size_t encodeFdPacket(uint32_t channel, const _KCAN_CANFD_OBJ* frames, size_t count,
                      std::span<uint8_t> out) {
    if (frames == nullptr || count == 0 || count > kMaxFramesPerPacket)
        return 0;
    ByteWriter w(out.data(), out.size());
    if (!writePacketHeader(w, count, kFdRecordSize))
        return 0;
    for (size_t i = 0; i < count; ++i) {
        const _KCAN_CANFD_OBJ& f = frames[i];
        uint8_t flags = static_cast<uint8_t>(
            kRecFlagFd | (f.rtr ? kRecFlagRemote : 0) | (f.ext ? kRecFlagExtended : 0) |
            ((f.frameFlags & KCAN_FRAME_FLAG_EXTRA) ? kRecFlagExtra : 0) |
            ((f.frameFlags & KCAN_FRAME_FLAG_BRS) ? kRecFlagBrs : 0));
        uint8_t len = f.rtr ? 0 : f.len;
        if (!writeRecordHead(w, channel, f.txOption, flags, f.id, len) ||
            !writeDataSlot(w, f.data, len, kFdDataSlot)) {
            return 0;
        }
    }
    return w.position();
}

bool decodeClassicRecord(std::span<const uint8_t> record, _KCAN_CAN_OBJ* out, uint32_t* queue) {
    if (record.size() < kClassicRecordSize)
        return false;
    ByteReader r(record.data(), kClassicRecordSize);
    RecordHead head{};
    if (!readRecordHead(r, &head))
        return false;
    _KCAN_CAN_OBJ frame{};
    frame.id = head.id;
    frame.timeStamp = head.timeStamp;
    frame.rtr = (head.flags & kRecFlagRemote) ? 1 : 0;
    frame.ext = (head.flags & kRecFlagExtended) ? 1 : 0;
    frame.len = static_cast<uint8_t>(std::min<size_t>(head.length, kClassicDataSlot));
    if (!r.bytes(frame.data, frame.len))
        return false;
    *out = frame;
    *queue = head.queue;
    return true;
}

bool decodeFdRecord(std::span<const uint8_t> record, _KCAN_CANFD_OBJ* out, uint32_t* queue) {
    if (record.size() < kFdRecordSize)
        return false;
    ByteReader r(record.data(), kFdRecordSize);
    RecordHead head{};
    if (!readRecordHead(r, &head))
        return false;
    _KCAN_CANFD_OBJ frame{};
    frame.id = head.id;
    frame.timeStamp = head.timeStamp;
    frame.rtr = (head.flags & kRecFlagRemote) ? 1 : 0;
    frame.ext = (head.flags & kRecFlagExtended) ? 1 : 0;
    frame.frameFlags = (head.flags & kRecFlagBrs) ? KCAN_FRAME_FLAG_BRS : 0;
    frame.len = static_cast<uint8_t>(std::min<size_t>(head.length, kFdDataSlot));
    if (!r.bytes(frame.data, frame.len))
        return false;
    *out = frame;
    *queue = head.queue;
    return true;
}

size_t parseFramePackets(std::span<const uint8_t> held, RecordSink& sink) {
    size_t pos = 0;
    while (held.size() - pos >= kPacketHeaderSize) {
        ByteReader header(held.data() + pos, kPacketHeaderSize);
        uint8_t m0 = 0, m1 = 0, count = 0;
        uint16_t body = 0;
        header.u8(m0);
        header.u8(m1);
        header.skip(2);
        header.u16le(body);
        header.u8(count);
        bool isHeader =
            m0 == kPacketMagic0 && m1 == kPacketMagic1 && body != 0 && body <= kMaxBodyLength;
        if (!isHeader) {
            ++pos;  // resynchronise one byte at a time
            continue;
        }
        if (held.size() - pos < kPacketHeaderSize + body)
            break;  // wait for the rest
        pos += kPacketHeaderSize;
        // The record count, not the body length, drives the walk; it stops at
        // the end of the held bytes.
        for (unsigned i = 0; i < count; ++i) {
            std::span<const uint8_t> rest = held.subspan(pos);
            if (rest.size() <= kRecordFlagsOffset)
                break;
            if (rest[kRecordFlagsOffset] & kRecFlagFd) {
                _KCAN_CANFD_OBJ frame;
                uint32_t queue = 0;
                if (!decodeFdRecord(rest, &frame, &queue))
                    break;
                sink.onFd(queue, frame);
                pos += kFdRecordSize;
            } else {
                _KCAN_CAN_OBJ frame;
                uint32_t queue = 0;
                if (!decodeClassicRecord(rest, &frame, &queue))
                    break;
                sink.onClassic(queue, frame);
                pos += kClassicRecordSize;
            }
        }
    }
    return pos;
}

}  // namespace dunlinfd
