// Wire layouts of the FD-family adapters, seen from the adapter's side:
// endpoints, command codes, reply status bytes, frame packets and records.
// All multi-byte fields on the wire are little-endian except the version
// words of the version replies, which are sent high byte first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bus/virtual_bus.h"

namespace ksim::fd {

// Endpoints.
constexpr uint8_t kEpCommandOut = 0x01;  // interrupt: command requests
constexpr uint8_t kEpCommandIn = 0x81;   // interrupt: command replies
constexpr uint8_t kEpFramesOut = 0x02;   // bulk: frame packets to transmit
constexpr uint8_t kEpAckIn = 0x82;       // bulk: one acknowledgement per packet
constexpr uint8_t kEpStreamIn = 0x83;    // bulk: received frames

constexpr size_t kInterruptPacket = 64;  // largest command request and reply

// Commands: 0x55, code, then code-specific bytes. Byte 2 counts the bytes
// that follow it, except in the bit-timing command where it is the channel.
constexpr uint8_t kPrefix = 0x55;
constexpr uint8_t kCmdHwVersion = 0x01;
constexpr uint8_t kCmdBitTiming = 0x03;
constexpr uint8_t kCmdFilter = 0x04;
constexpr uint8_t kCmdStart = 0x0E;
constexpr uint8_t kCmdStop = 0x0F;
constexpr uint8_t kCmdFwVersion = 0x12;
constexpr uint8_t kCmdChannelCount = 0x13;
// The direct transfer has no prefix: 0x12 0xA7 and up to 62 payload bytes,
// as many as the transfer carries.
constexpr uint8_t kDirectTag0 = 0x12;
constexpr uint8_t kDirectTag1 = 0xA7;
constexpr size_t kBitTimingLength = 24;
constexpr size_t kFilterLength = 13;

// Status byte of replies (byte 3) and acknowledgements (byte 2).
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusBadChannel = 0x01;    // channel beyond the model's count
constexpr uint8_t kStatusBadParameter = 0x02;  // a field value the firmware refuses
constexpr uint8_t kStatusBadLength = 0x03;     // too short, or lengths that disagree
constexpr uint8_t kStatusNotReady = 0x04;      // channel not initialised / not started
constexpr uint8_t kStatusFilterFull = 0x05;    // no room for another filter range
constexpr uint8_t kStatusMalformed = 0x7E;     // not a request or packet at all
constexpr uint8_t kStatusUnknown = 0x7F;       // unknown command code

// Filter operations (byte 3 of command 0x04).
constexpr uint8_t kFilterClear = 1;
constexpr uint8_t kFilterStandard = 2;
constexpr uint8_t kFilterExtended = 3;
constexpr uint8_t kFilterEnable = 4;
constexpr uint8_t kFilterAny = 5;
constexpr size_t kFilterRanges = 8;  // ranges a channel holds

// Frame packets: 7-byte header, then 19-byte classic or 75-byte FD records.
constexpr uint8_t kPacketTag0 = 0x55;
constexpr uint8_t kPacketTag1 = 0xF2;
constexpr size_t kHeaderSize = 7;
constexpr size_t kClassicRecord = 19;
constexpr size_t kFdRecord = 75;
constexpr size_t kRecordDataOffset = 11;
// A stream packet never exceeds what a 4,096-byte read can hold.
constexpr size_t kMaxStreamPacket = 4096;
constexpr size_t kMaxRecordsPerPacket = 255;
constexpr size_t kAckSize = 4;  // 0x55 0xF2 status records-sent

// Record flag bits (record byte 1).
constexpr uint8_t kFlagFd = 0x01;
constexpr uint8_t kFlagRtr = 0x02;
constexpr uint8_t kFlagExt = 0x04;
constexpr uint8_t kFlagTxExtra = 0x08;  // host-side transmit flag; no effect on the bus
constexpr uint8_t kFlagBrs = 0x10;

inline uint16_t getLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t getLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void putLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline size_t recordSize(bool fd) {
    return fd ? kFdRecord : kClassicRecord;
}

// Writes the stream record of a received frame; returns its size (19 or 75).
// The caller guarantees the room.
size_t putStreamRecord(uint8_t* out, int channel, uint32_t timeStamp, const BusFrame& frame);

// Writes a packet header for `records` records holding `body` bytes.
void putPacketHeader(uint8_t* out, size_t body, size_t records);

// One record of a host frame packet, as received.
struct HostRecord {
    int channel = 0;
    uint8_t flags = 0;
    uint32_t id = 0;
    uint8_t len = 0;
    const uint8_t* data = nullptr;  // the record's data slot (8 or 64 bytes)
};

// Reads the record at p with `avail` bytes left in the packet body. Returns
// the record size, or 0 when the record does not fit.
size_t readHostRecord(const uint8_t* p, size_t avail, HostRecord* record);

}  // namespace ksim::fd
