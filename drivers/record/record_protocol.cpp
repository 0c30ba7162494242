#include "drivers/record/record_protocol.h"

#include "platform/le_bytes.h"

namespace recorder {

uint32_t productIdOf(uint32_t type) {
    switch (type) {
        case KCAN_TYPE_RECORD_2601:
            return kProductId2601;
        case KCAN_TYPE_RECORD_2602:
            return kProductId2602;
        default:
            return 0;
    }
}

bool replyMatches(const uint8_t* cmd, const uint8_t* reply, size_t length) {
    return length >= kReplyMatchMin && reply[0] == cmd[0] && reply[1] == cmd[1];
}

bool replyAccepted(const uint8_t* reply, size_t length, size_t minLength) {
    return length >= minLength && length > kStatusByte && reply[kStatusByte] == kStatusAccepted;
}

size_t buildBoardQuery(uint8_t code, uint8_t* out) {
    ByteWriter w(out, kBoardQueryLength);
    w.u8(kPrefix);
    w.u8(code);
    w.u8(0x01);
    w.u8(0x01);
    return w.position();
}

TimingFields splitTiming(uint32_t word) {
    TimingFields f;
    f.prescaler = static_cast<uint16_t>(word >> 22);
    f.sjw = static_cast<uint8_t>((word >> 15) & 0x7F);
    f.tseg1 = static_cast<uint16_t>(word & 0xFF);
    f.tseg2 = static_cast<uint16_t>((word >> 8) & 0x7F);
    return f;
}

uint32_t joinTiming(const TimingFields& f) {
    return (static_cast<uint32_t>(f.prescaler) << 22) | (static_cast<uint32_t>(f.sjw) << 15) |
           (static_cast<uint32_t>(f.tseg2) << 8) | f.tseg1;
}

namespace {

void writeTimingGroup(ByteWriter& w, uint8_t clock, uint32_t word) {
    TimingFields f = splitTiming(word);
    w.u16le(clock);
    w.u16le(f.prescaler);
    w.u8(f.sjw);
    w.u16le(f.tseg1);  // the lowest 8 bits come before bits 14..8
    w.u16le(f.tseg2);
}

void readTimingGroup(ByteReader& r, uint8_t* clock, uint32_t* word) {
    uint16_t clock16 = 0;
    TimingFields f{};
    r.u16le(clock16);
    r.u16le(f.prescaler);
    r.u8(f.sjw);
    r.u16le(f.tseg1);
    r.u16le(f.tseg2);
    *clock = static_cast<uint8_t>(clock16);
    *word = joinTiming(f);
}

}  // namespace

size_t buildSettingsWrite(uint32_t channel, const _KCAN_RECORD_CONFIG& s, uint8_t* out) {
    ByteWriter w(out, kSettingsWriteLength);
    w.u8(kPrefix);
    w.u8(kCmdSettingsWrite);
    w.u8(static_cast<uint8_t>(channel & 1));
    w.u8(s.fdEnable != 0 ? 1 : 0);
    w.u8(s.isoMode);
    w.u8(s.mode);
    writeTimingGroup(w, s.abitClock, s.abitTiming);
    writeTimingGroup(w, s.dbitClock, s.dbitTiming);
    w.u8(static_cast<uint8_t>((s.recordFlagA != 0 ? 0x01 : 0) | (s.recordFlagB != 0 ? 0x02 : 0)));
    w.u8(s.recordParamA);
    w.u8(s.recordParamB);
    w.u8(s.recordParamC);
    return w.position();
}

size_t buildSettingsRead(uint32_t channel, uint8_t* out) {
    ByteWriter w(out, kSettingsReadLength);
    w.u8(kPrefix);
    w.u8(kCmdSettingsRead);
    w.u8(static_cast<uint8_t>(channel & 1));
    return w.position();
}

bool parseSettings(const uint8_t* buffer, size_t bufferSize, size_t replyLength,
                   _KCAN_RECORD_CONFIG* settings) {
    if (replyLength < kSettingsReadReplyMin || bufferSize < kSettingsWriteLength) {
        return false;
    }
    // Bytes past replyLength are read from the caller's zeroed buffer.
    ByteReader r(buffer, kSettingsWriteLength);
    _KCAN_RECORD_CONFIG s = *settings;
    uint8_t options = 0;
    uint8_t iso = 0;
    uint8_t mode = 0;
    uint8_t flags = 0;
    r.skip(3);  // prefix, code, channel
    r.u8(options);
    r.u8(iso);
    r.u8(mode);
    s.fdEnable = options & 1;
    s.isoMode = iso & 1;
    s.mode = mode & 1;
    readTimingGroup(r, &s.abitClock, &s.abitTiming);
    readTimingGroup(r, &s.dbitClock, &s.dbitTiming);
    r.u8(flags);
    s.recordFlagA = (flags & 0x01) != 0 ? 1 : 0;
    s.recordFlagB = (flags & 0x02) != 0 ? 1 : 0;
    r.u8(s.recordParamA);
    r.u8(s.recordParamB);
    r.u8(s.recordParamC);
    *settings = s;
    return true;
}

uint8_t filterChannelByte(uint32_t channel) {
    return channel != 0 ? 1 : 0;
}

size_t buildFilterCommand(uint8_t op, uint32_t channel, const _KCAN_FLITER_CONFIG* filter,
                          uint8_t* out) {
    ByteWriter w(out, kFilterCmdLength);
    w.u8(kPrefix);
    w.u8(kCmdFilter);
    w.u8(op);
    w.u8(filterChannelByte(channel));
    if (filter != nullptr) {
        w.u8(filter->filterType);
        w.u32le(filter->startId);
        w.u32le(filter->endId);
    } else {
        w.fill(0, 9);
    }
    return w.position();
}

size_t buildFilterSummaryQuery(uint32_t channel, uint8_t* out) {
    ByteWriter w(out, kFilterQueryLength);
    w.u8(kPrefix);
    w.u8(kCmdFilterQuery);
    w.u8(kFilterQuerySummary);
    w.u8(filterChannelByte(channel));
    w.u16le(0);
    return w.position();
}

size_t buildFilterEntryQuery(uint32_t channel, uint16_t filterIndex, uint8_t* out) {
    ByteWriter w(out, kFilterQueryLength);
    w.u8(kPrefix);
    w.u8(kCmdFilterQuery);
    w.u8(kFilterQueryEntry);
    w.u8(filterChannelByte(channel));
    w.u16le(filterIndex);
    return w.position();
}

bool parseFilterSummary(const uint8_t* reply, size_t length, _KCAN_FLITER_INFO* info) {
    if (!replyAccepted(reply, length, kFilterSummaryReplyMin)) {
        return false;
    }
    info->filterCount = get_le16(reply + 4);
    info->filterState = reply[6];
    return true;
}

bool parseFilterEntry(const uint8_t* reply, size_t length, _KCAN_FLITER_CONFIG* filter) {
    if (!replyAccepted(reply, length, kFilterEntryReplyMin)) {
        return false;
    }
    filter->filterType = reply[4];
    filter->startId = get_le32(reply + 5);
    filter->endId = get_le32(reply + 9);
    return true;
}

size_t buildDataTransfer(const uint8_t* data, uint32_t length, uint8_t* out) {
    size_t count = length < kDataTransferMax ? length : kDataTransferMax;
    if (data == nullptr) {
        count = 0;
    }
    ByteWriter w(out, kCmdBufferSize);
    w.u8(kDataPrefix);
    w.u8(kCmdDataTransfer);
    w.bytes(data, count);
    return w.position();
}

}  // namespace recorder
