// Wire formats of the recorder adapters (USB 0471:2601 and 0471:2602).
//
// Every exchange is a bulk write on 0x01 answered on bulk 0x81. Commands are
// "55 <code> <bytes...>"; a reply belongs to a command when it has at least
// 3 bytes and repeats the command's first two. In replies to setting and
// filter commands byte 3 is a status byte, 0 meaning accepted. The direct
// data transfer is "12 A7 <0..62 bytes>", answered in the same way.
//
// Recording settings, bytes 2..27 of the write command and of the read
// reply (16-bit values little-endian; A and D are timing words, bits 31..22
// prescaler, 21..15 SJW, 14..8 TSEG2, 7..0 TSEG1):
//
//   2      channel (bit 0)          15..16 dbitClock
//   3      bit 0 = fdEnable         17..18 D bits 31..22
//   4      isoMode                  19     D bits 21..15
//   5      mode                     20..21 D bits 7..0
//   6..7   abitClock                22..23 D bits 14..8
//   8..9   A bits 31..22            24     bit 0 recordFlagA, bit 1 recordFlagB
//   10     A bits 21..15            25..27 recordParamA, B, C
//   11..12 A bits 7..0
//   13..14 A bits 14..8
#pragma once

#include <cstddef>
#include <cstdint>

#include "kcan.h"

namespace recorder {

constexpr uint32_t kVendorId = 0x0471;
constexpr uint32_t kProductId2601 = 0x2601;  // type 61
constexpr uint32_t kProductId2602 = 0x2602;  // type 62
constexpr uint32_t kChannelCount = 2;

constexpr uint8_t kEpOut = 0x01;
constexpr uint8_t kEpIn = 0x81;
constexpr uint32_t kTimeoutMs = 1000;
constexpr size_t kReplyCapacity = 64;

constexpr uint8_t kPrefix = 0x55;
constexpr uint8_t kCmdBoardQuery1 = 0x01;
constexpr uint8_t kCmdBoardQuery18 = 0x12;
constexpr uint8_t kCmdBoardQuery19 = 0x13;
constexpr uint8_t kCmdSettingsWrite = 0x03;
constexpr uint8_t kCmdSettingsRead = 0xA4;
constexpr uint8_t kCmdFilter = 0x04;
constexpr uint8_t kCmdFilterQuery = 0x05;
constexpr uint8_t kFilterQuerySummary = 0x00;
constexpr uint8_t kFilterQueryEntry = 0x01;
constexpr uint8_t kDataPrefix = 0x12;
constexpr uint8_t kCmdDataTransfer = 0xA7;

// Filter operations of command 0x04.
constexpr uint8_t kFilterOpClear = 0;
constexpr uint8_t kFilterOpAdd = 1;
constexpr uint8_t kFilterOpEnable = 2;
constexpr uint8_t kFilterOpDisable = 3;

constexpr size_t kBoardQueryLength = 4;
constexpr size_t kSettingsWriteLength = 28;
constexpr size_t kSettingsReadLength = 3;
constexpr size_t kFilterCmdLength = 13;
constexpr size_t kFilterQueryLength = 6;
constexpr size_t kDataTransferMax = 62;
constexpr size_t kCmdBufferSize = 64;

constexpr size_t kReplyMatchMin = 3;
constexpr size_t kSettingsWriteReplyMin = 5;
constexpr size_t kSettingsReadReplyMin = 26;
constexpr size_t kFilterReplyMin = 4;
constexpr size_t kFilterSummaryReplyMin = 7;
constexpr size_t kFilterEntryReplyMin = 13;
constexpr size_t kStatusByte = 3;
constexpr uint8_t kStatusAccepted = 0;

// USB product id of a type code; 0 (no device) for any other type.
uint32_t productIdOf(uint32_t type);

// Whether a reply of length bytes answers cmd.
bool replyMatches(const uint8_t* cmd, const uint8_t* reply, size_t length);
// Whether a matching reply of length bytes has at least minLength bytes and
// the accepted status.
bool replyAccepted(const uint8_t* reply, size_t length, size_t minLength);

// "55 <code> 01 01" (board queries).
size_t buildBoardQuery(uint8_t code, uint8_t* out);

// The 28-byte settings write for channel into out.
size_t buildSettingsWrite(uint32_t channel, const _KCAN_RECORD_CONFIG& settings, uint8_t* out);
// "55 A4 <channel bit 0>".
size_t buildSettingsRead(uint32_t channel, uint8_t* out);
// Fills settings (all but its first byte) from a read reply. buffer holds at
// least 28 bytes, of which replyLength came from the recorder; false (settings
// untouched) when fewer than 26 came.
bool parseSettings(const uint8_t* buffer, size_t bufferSize, size_t replyLength,
                   _KCAN_RECORD_CONFIG* settings);

// The four wire fields of a timing word, in wire order, and back.
struct TimingFields {
    uint16_t prescaler;  // bits 31..22
    uint8_t sjw;         // bits 21..15
    uint16_t tseg1;      // bits 7..0
    uint16_t tseg2;      // bits 14..8
};
TimingFields splitTiming(uint32_t word);
uint32_t joinTiming(const TimingFields& fields);

// Filter channel byte: 1 for any nonzero channel.
uint8_t filterChannelByte(uint32_t channel);
// "55 04 op c t s0..s3 e0..e3"; filter may be null (operations 0, 2, 3 send
// zeros).
size_t buildFilterCommand(uint8_t op, uint32_t channel, const _KCAN_FLITER_CONFIG* filter,
                          uint8_t* out);
// "55 05 00 c 00 00" and "55 05 01 c i0 i1".
size_t buildFilterSummaryQuery(uint32_t channel, uint8_t* out);
size_t buildFilterEntryQuery(uint32_t channel, uint16_t filterIndex, uint8_t* out);
// Decoders of the two filter queries; false (output untouched) when the reply
// is short or refused.
bool parseFilterSummary(const uint8_t* reply, size_t length, _KCAN_FLITER_INFO* info);
bool parseFilterEntry(const uint8_t* reply, size_t length, _KCAN_FLITER_CONFIG* filter);

// "12 A7" and the first min(length, 62) bytes of data.
size_t buildDataTransfer(const uint8_t* data, uint32_t length, uint8_t* out);

}  // namespace recorder
