// Wire protocol of the DUNLINFD / ZARO adapter family.
//
// Everything that travels over USB is declared here once: endpoints, command
// codes and their request bytes, the frame packet and its records, the
// bit-timing tables, and the pure functions that turn records into bytes and
// bytes into records. Multi-byte request and packet fields are little-endian;
// the version words in replies are big-endian. Nothing here touches USB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kcan.h"

namespace dunlinfd {

// ---- Endpoints ----------------------------------------------------------------
inline constexpr uint8_t kEpCmdOut = 0x01;    // interrupt: command requests
inline constexpr uint8_t kEpCmdIn = 0x81;     // interrupt: command replies
inline constexpr uint8_t kEpFrameOut = 0x02;  // bulk: transmitted frame packets
inline constexpr uint8_t kEpAckIn = 0x82;     // bulk: acknowledgement per packet
inline constexpr uint8_t kEpStreamIn = 0x83;  // bulk: stream of received frames

// ---- Command exchange -----------------------------------------------------------
inline constexpr uint8_t kCmdPrefix = 0x55;
inline constexpr uint8_t kCmdHwVersion = 0x01;
inline constexpr uint8_t kCmdBitTiming = 0x03;
inline constexpr uint8_t kCmdFilter = 0x04;
inline constexpr uint8_t kCmdStart = 0x0E;
inline constexpr uint8_t kCmdStop = 0x0F;
inline constexpr uint8_t kCmdFwVersion = 0x12;
inline constexpr uint8_t kCmdChannelCount = 0x13;

// The direct transfer has its own two-byte tag instead of 0x55 + code.
inline constexpr uint8_t kDirectTag0 = 0x12;
inline constexpr uint8_t kDirectTag1 = 0xA7;
inline constexpr size_t kDirectPayloadMax = 62;

inline constexpr size_t kReplyCapacity = 64;  // every reply is read into 64 bytes
inline constexpr size_t kMinReplyLength = 3;  // shorter replies never match
inline constexpr size_t kQueryCmdSize = 4;    // 55 cc 01 01
inline constexpr size_t kChannelCmdSize = 5;  // 55 cc 02 00 ch<<4
inline constexpr size_t kFilterCmdSize = 13;
inline constexpr size_t kBitTimingCmdSize = 24;
inline constexpr size_t kDirectCmdSize = 2 + kDirectPayloadMax;  // tag + payload

inline constexpr uint32_t kCmdTimeoutMs = 1500;
inline constexpr uint32_t kInitTimeoutMs = 2000;
inline constexpr uint32_t kPacketTimeoutMs = 2000;
inline constexpr uint32_t kTransferAttemptMs = 1000;  // one write or read inside an exchange
inline constexpr uint32_t kStreamReadTimeoutMs = 500;

// Reply offsets.
inline constexpr size_t kReplyVersionOffset = 4;  // big-endian version word
inline constexpr size_t kReplyChannelCountOffset = 4;
inline constexpr size_t kReplyStatusOffset = 3;  // 0 = accepted (init, filters)
inline constexpr size_t kInitReplyMinLength = 5;
inline constexpr size_t kFilterReplyMinLength = 4;
inline constexpr size_t kDirectReplyPayloadOffset = 2;

// Filter command operations.
inline constexpr uint8_t kFilterOpClear = 1;
inline constexpr uint8_t kFilterOpStandardRange = 2;
inline constexpr uint8_t kFilterOpExtendedRange = 3;
inline constexpr uint8_t kFilterOpEnable = 4;
inline constexpr uint8_t kFilterOpOtherMode = 5;

// ---- Frame packets ----------------------------------------------------------------
// Header: 55 F2 00 00, body length (u16, total minus 7), record count (u8).
inline constexpr uint8_t kPacketMagic0 = 0x55;
inline constexpr uint8_t kPacketMagic1 = 0xF2;
inline constexpr size_t kPacketHeaderSize = 7;
inline constexpr size_t kPacketBodyLengthOffset = 4;
inline constexpr size_t kPacketRecordCountOffset = 6;

// Record: channel<<4 | txOption, flags, time stamp (u32), id (u32), length, data.
inline constexpr size_t kClassicRecordSize = 19;
inline constexpr size_t kFdRecordSize = 75;
inline constexpr size_t kClassicDataSlot = 8;
inline constexpr size_t kFdDataSlot = 64;
inline constexpr size_t kRecordFlagsOffset = 1;

inline constexpr uint8_t kRecFlagFd = 0x01;
inline constexpr uint8_t kRecFlagRemote = 0x02;
inline constexpr uint8_t kRecFlagExtended = 0x04;
inline constexpr uint8_t kRecFlagExtra = 0x08;  // frameFlags bit 4 on transmit
inline constexpr uint8_t kRecFlagBrs = 0x10;

inline constexpr uint32_t kIdMask = 0x1FFFFFFF;
inline constexpr size_t kMaxFramesPerPacket = 10;
inline constexpr size_t kMaxClassicPacket = kPacketHeaderSize + 10 * kClassicRecordSize;  // 197
inline constexpr size_t kMaxFdPacket = kPacketHeaderSize + 10 * kFdRecordSize;            // 757
static_assert(kMaxClassicPacket == 197 && kMaxFdPacket == 757);

// The reassembly buffer of the received stream; a packet larger than this can
// never complete.
inline constexpr size_t kRxBufferSize = 4096;
inline constexpr size_t kMaxBodyLength = kRxBufferSize - kPacketHeaderSize;

// Per-channel arrays of the driver; channel numbers 8..15 from the adapter
// land on the last queue.
inline constexpr uint32_t kMaxChannels = 8;
inline constexpr uint32_t kLastQueue = kMaxChannels - 1;

// ---- Models ------------------------------------------------------------------------
struct FdModel {
    uint32_t type;
    const char* name;
    uint16_t vendorId;
    uint16_t productId;
    uint32_t channels;
    uint16_t clockMhz;  // CAN clock the timing words refer to
};

// The model for a type code; any type not in the table is served as a
// DUNLINFD2 (the DUNLINFD family shares its USB ids).
const FdModel& modelForType(uint32_t type);
// True for the type codes this driver serves (41..43, 64..67).
bool isFdFamilyType(uint32_t type);

// ---- Bit timing --------------------------------------------------------------------
// A timing word: bits 31..22 brp, 21..15 sjw, 14..8 tseg2, 7..0 tseg1, each
// holding its value minus one; the fields are sent as stored.
struct TimingFields {
    uint16_t brp;
    uint8_t sjw;
    uint16_t tseg1;
    uint16_t tseg2;
};

TimingFields unpackTimingWord(uint32_t word);
// Table look-ups for the adapter's clock (60 or 80 MHz). False for a rate of
// 0 or a rate not in the table.
bool arbitrationTimingWord(uint32_t bitRate, uint16_t clockMhz, uint32_t* word);
bool dataTimingWord(uint32_t bitRate, uint16_t clockMhz, uint32_t* word);

struct BitTimingRequest {
    uint8_t channel;
    uint8_t isoMode;
    uint8_t mode;
    uint16_t arbitrationClockMhz;
    uint16_t dataClockMhz;
    uint32_t arbitrationWord;
    uint32_t dataWord;
};

// ---- Command builders (return the request length, 0 when `out` is too small) ----
// 55 cc 01 01: the version and channel-count queries.
size_t buildQueryCommand(uint8_t code, std::span<uint8_t> out);
// 55 cc 02 00 ch<<4: start and stop.
size_t buildChannelCommand(uint8_t code, uint8_t channel, std::span<uint8_t> out);
// 55 04 0A op ch<<4 start end.
size_t buildFilterCommand(uint8_t op, uint8_t channel, uint32_t startId, uint32_t endId,
                          std::span<uint8_t> out);
// 55 03 ch 01 iso mode, then clock, brp, sjw, tseg1, tseg2 for each phase.
size_t buildBitTimingCommand(const BitTimingRequest& req, std::span<uint8_t> out);
// 12 A7 and the first min(length, 62) payload bytes, nothing after them: the
// adapter takes the payload length from the transfer length.
size_t buildDirectTransfer(const uint8_t* payload, size_t length, std::span<uint8_t> out);

// A reply belongs to a request when it has at least 3 bytes and starts with
// the request's first two bytes.
bool replyMatches(std::span<const uint8_t> request, std::span<const uint8_t> reply);
// Reply byte `offset` when present.
bool replyByte(std::span<const uint8_t> reply, size_t offset, uint8_t* out);
// Big-endian version word at bytes 4..5.
bool replyVersionWord(std::span<const uint8_t> reply, uint16_t* out);

// ---- Frame packets -------------------------------------------------------------------
// One packet of 1..10 frames for `channel` (taken modulo 16). Remote frames go
// out with length 0; data beyond the length is zero. Returns the packet
// length, 0 for a count outside 1..10 or an `out` too small.
size_t encodeClassicPacket(uint32_t channel, const _KCAN_CAN_OBJ* frames, size_t count,
                           std::span<uint8_t> out);
size_t encodeFdPacket(uint32_t channel, const _KCAN_CANFD_OBJ* frames, size_t count,
                      std::span<uint8_t> out);

// The queue a record's channel nibble lands on (8..15 -> 7).
constexpr uint32_t queueForChannel(uint32_t channel) {
    return channel > kLastQueue ? kLastQueue : channel;
}

// Converts one received record. `record` must hold the record's full size
// (19 or 75 bytes); false otherwise. `queue` gets the channel's queue.
bool decodeClassicRecord(std::span<const uint8_t> record, _KCAN_CAN_OBJ* out, uint32_t* queue);
bool decodeFdRecord(std::span<const uint8_t> record, _KCAN_CANFD_OBJ* out, uint32_t* queue);

// Receives the records that parseFramePackets finds, in stream order.
class RecordSink {
  public:
    virtual ~RecordSink() = default;
    virtual void onClassic(uint32_t queue, const _KCAN_CAN_OBJ& frame) = 0;
    virtual void onFd(uint32_t queue, const _KCAN_CANFD_OBJ& frame) = 0;
};

// Parses the whole packets at the front of `held` and hands their records to
// `sink`. Returns the number of bytes consumed: garbage is skipped a byte at a
// time, an incomplete packet or a tail under 7 bytes stays unconsumed. A
// header whose body could never fit the reassembly buffer is treated as
// garbage, so the stream resynchronises on the next header.
size_t parseFramePackets(std::span<const uint8_t> held, RecordSink& sink);

}  // namespace dunlinfd
