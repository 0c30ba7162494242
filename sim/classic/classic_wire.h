// Wire layouts of the classic two-channel adapter, seen from the adapter's
// side: endpoints, command codes, reply bytes, the 19-byte frame record and
// the bus-timing registers of its SJA1000-compatible CAN controllers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bus/virtual_bus.h"

namespace ksim::classic {

// Endpoints.
constexpr uint8_t kEpCommandOut = 0x01;  // interrupt: command requests
constexpr uint8_t kEpCommandIn = 0x81;   // interrupt: the answer to the latest request
constexpr uint8_t kEpFramesOut = 0x02;   // bulk: frame records to transmit
constexpr uint8_t kEpStreamIn = 0x82;    // bulk: received frame records, a byte stream

constexpr int kChannels = 2;

// Commands: 0x12, code, then a byte counting the bytes that follow it (the
// firmware ignores anything beyond them). Replies start with 0x12 and the
// code and, except for channel init and the relay commands, carry a status
// byte at offset 3.
constexpr uint8_t kPrefix = 0x12;
constexpr uint8_t kCmdHwVersion = 0x01;
constexpr uint8_t kCmdInit = 0x03;
constexpr uint8_t kCmdStart = 0x0E;
constexpr uint8_t kCmdReset = 0x0F;
constexpr uint8_t kCmdFwVersion = 0x12;
constexpr uint8_t kCmdChannelCount = 0x13;
constexpr uint8_t kCmdSerial = 0x14;
constexpr uint8_t kCmdHwType = 0x15;
constexpr uint8_t kCmdChannelState = 0x80;
constexpr uint8_t kCmdTimingQuery = 0xA4;
constexpr uint8_t kCmdDirect = 0xA7;  // no count byte: up to 62 payload bytes
constexpr uint8_t kCmdRelaySet = 0xB1;
constexpr uint8_t kCmdRelayGet = 0xB2;
constexpr size_t kDirectPayload = 62;

// Channel init: 12 03 06 00 M T0 T1 02 57. M holds the channel in bits 4..6
// and the mode flag in bit 7; T0, T1 are the BTR0 and BTR1 register values.
constexpr size_t kInitLength = 9;
constexpr uint8_t kInitTail0 = 0x02;
constexpr uint8_t kInitTail1 = 0x57;
constexpr uint8_t kInitModeBit = 0x80;
// Byte 2 of the init reply: 0x81 + channel when accepted, 0x80 when refused.
constexpr uint8_t kInitAccepted = 0x81;
constexpr uint8_t kInitRefused = 0x80;

// Status byte of the other replies.
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusBadChannel = 0x01;
constexpr uint8_t kStatusBadLength = 0x03;  // shorter than its count byte says, or above 64
constexpr uint8_t kStatusNotReady = 0x04;   // start of a channel without bit timing
constexpr uint8_t kStatusMalformed = 0x7E;  // not a request at all
constexpr uint8_t kStatusUnknown = 0x7F;    // unknown command code

// Texts of the board queries 20 and 21 fit the 4-bit count of byte 2.
constexpr size_t kMaxBoardText = 14;

// Frame record, both directions: 19 bytes.
//   0..3   time stamp. Host to adapter: big-endian, ignored. Adapter to host:
//          bytes 0..2 the microseconds since power-on (low 24 bits,
//          little-endian), byte 3 the marker 0x01.
//   4, 5   0x00 from the adapter; the host's frame flags and transmit option.
//   6      bit 7 extended, bit 6 remote, bits 4..5 channel, bits 0..3 length
//   7..10  identifier field, little-endian: id << 3 (extended), id << 5 (standard)
//   11..18 data bytes, zero beyond the length
constexpr size_t kRecordSize = 19;
constexpr uint8_t kStampMarker = 0x01;

// SJA1000 bus timing: BTR0 = SJW-1 (bits 7..6) | BRP-1 (bits 5..0);
// BTR1 = SAM (bit 7) | TSEG2-1 (bits 6..4) | TSEG1-1 (bits 3..0). One time
// quantum is 2 * BRP controller clock periods; a bit is 1 + TSEG1 + TSEG2
// quanta.
constexpr uint32_t kControllerClockHz = 16000000;

struct BusTimingRegisters {
    uint8_t brp = 0;    // prescaler, 1..64
    uint8_t sjw = 0;    // synchronisation jump width in quanta, 1..4
    uint8_t tseg1 = 0;  // quanta before the sample point (after sync), 1..16
    uint8_t tseg2 = 0;  // quanta after the sample point, 1..8
    bool tripleSample = false;
    uint32_t bitRate = 0;  // rounded to the nearest bit/s
};

// Decodes BTR0/BTR1. Refuses (false, with a reason) timings a CAN controller
// cannot run: fewer than 8 quanta per bit (CAN's minimum; it also keeps the
// rate at or below 1 Mbit/s) or a jump width above phase segment 2.
bool decodeBusTiming(uint8_t btr0, uint8_t btr1, BusTimingRegisters* out, const char** why);

// A frame record from the host, decoded.
struct HostRecord {
    int channel = 0;
    BusFrame frame;
};
enum class RecordCheck { Ok, BadChannel, BadLength };
// Decodes one 19-byte record; BadLength for a length above 8.
RecordCheck decodeHostRecord(const uint8_t* rec, HostRecord* out);

// Encodes a received frame as the adapter sends it; writes kRecordSize bytes.
void encodeStreamRecord(uint8_t* out, int channel, uint32_t micros, const BusFrame& frame);

}  // namespace ksim::classic
