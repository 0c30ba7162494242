// Wire formats of the classic adapters (DUNLIN1 and DUNLIN2, USB 0471:1200).
//
// Commands go out on interrupt endpoint 0x01 as "12 <code> <bytes...>" and
// are answered on interrupt endpoint 0x81. Frames travel as 19-byte records
// on the bulk endpoints, up to three per transfer towards the adapter and in
// a continuous byte stream (read 64 bytes at a time) from it:
//
//   bytes 0..3   time stamp: big-endian towards the adapter; little-endian
//                from it, where byte 3 is always 0x01
//   byte  4      frameFlags (0x00 from the adapter)
//   byte  5      txOption   (0x00 from the adapter)
//   byte  6      bit 7 ext, bit 6 rtr, bit 4 channel, bits 0..3 data length
//   bytes 7..10  identifier field, little-endian: id << 3 (extended) or
//                id << 5 (standard)
//   bytes 11..18 data, unused bytes 0
//
// Everything here is a pure function of its arguments so that the codecs can
// be tested without an adapter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kcan.h"

namespace dunlin2 {

// ---- Identity and limits ---------------------------------------------------
constexpr uint32_t kVendorId = 0x0471;
constexpr uint32_t kProductId = 0x1200;
constexpr uint32_t kDeviceCount = 32;  // device indexes 0..31
constexpr uint32_t kChannelCount = 2;  // channels 0 and 1

// ---- Endpoints ---------------------------------------------------------------
constexpr uint8_t kEpCmdOut = 0x01;   // interrupt, command frames
constexpr uint8_t kEpCmdIn = 0x81;    // interrupt, command replies
constexpr uint8_t kEpDataOut = 0x02;  // bulk, frame records to send
constexpr uint8_t kEpDataIn = 0x82;   // bulk, received frame records

// ---- Command frames ------------------------------------------------------------
constexpr uint8_t kCmdPrefix = 0x12;
constexpr uint8_t kCmdBoardQuery1 = 0x01;
constexpr uint8_t kCmdChannelInit = 0x03;
constexpr uint8_t kCmdChannelStart = 0x0E;
constexpr uint8_t kCmdChannelReset = 0x0F;
constexpr uint8_t kCmdBoardQuery18 = 0x12;
constexpr uint8_t kCmdBoardQuery19 = 0x13;
constexpr uint8_t kCmdBoardQuery20 = 0x14;
constexpr uint8_t kCmdBoardQuery21 = 0x15;
constexpr uint8_t kCmdChannelState = 0x80;
constexpr uint8_t kCmdBaudParam = 0xA4;
constexpr uint8_t kCmdDataTransfer = 0xA7;
constexpr uint8_t kCmdRelaySet = 0xB1;
constexpr uint8_t kCmdRelayGet = 0xB2;

constexpr size_t kInitCmdLength = 9;       // 12 03 06 00 M T0 T1 02 57
constexpr uint8_t kInitModeNormal = 0x00;  // M for mode 0
constexpr uint8_t kInitModeBit = 0x80;     // M bit 7 for mode 1
constexpr uint8_t kInitTail0 = 0x02;       // constant closing bytes of channel init
constexpr uint8_t kInitTail1 = 0x57;
constexpr uint8_t kInitAccepted1 = 0x81;  // reply byte 2 of an accepted channel init
constexpr uint8_t kInitAccepted2 = 0x82;
constexpr size_t kBoardQuery1ReplyLength = 6;
constexpr size_t kDataTransferMax = 62;  // data bytes after "12 A7"
constexpr size_t kCmdBufferSize = 64;    // the largest command: 12 A7 + 62 bytes

// Reply checks of the device-level services.
constexpr size_t kRelayReplyMin = 5;
constexpr size_t kBaudParamReplyMin = 9;
constexpr size_t kChannelStateReplyMin = 12;
constexpr size_t kDataTransferReplyMin = 2;

// ---- Frame records -----------------------------------------------------------
constexpr size_t kRecordSize = 19;
constexpr size_t kBatchFrames = 3;  // records per bulk transfer towards the adapter
constexpr size_t kBatchBytes = kRecordSize * kBatchFrames;
constexpr size_t kStreamReadSize = 64;    // bytes per bulk read of the received stream
constexpr size_t kReassemblySize = 2048;  // reassembly buffer of the received stream

constexpr uint8_t kInfoExt = 0x80;
constexpr uint8_t kInfoRtr = 0x40;
constexpr uint8_t kInfoChannel = 0x10;
constexpr uint8_t kInfoLength = 0x0F;
constexpr uint8_t kRecordMarker = 0x01;  // byte 3 of every received record
constexpr uint32_t kIdMask = 0x1FFFFFFF;
constexpr uint8_t kMaxDataLength = 8;

// ---- Commands ------------------------------------------------------------------

// Mode byte M of channel init: bit 7 for mode 1, the channel in bits 4..7.
// False for a mode other than 0 or 1.
bool initModeByte(uint32_t channel, uint8_t mode, uint8_t* modeByte);

// The 9-byte channel-init command into out (room for kInitCmdLength bytes).
// 0 for an unknown mode, else kInitCmdLength.
size_t buildInitCommand(uint32_t channel, const _KCAN_INIT_CONFIG& config, uint8_t* out);

// "12 <code> 02 00 C" with C the channel shifted left by 4 (start and reset).
size_t buildChannelCommand(uint8_t code, uint32_t channel, uint8_t* out);

// "12 A7" and the first min(len, 62) bytes of data (a negative len as 0) into
// out (room for kCmdBufferSize bytes). Returns the command length.
size_t buildDataTransferCommand(const uint8_t* data, int32_t len, uint8_t* out);

// Reply byte 2 of channel init: whether the adapter accepted the settings.
bool initAccepted(const uint8_t* reply, size_t replyLength);

// Text of board queries 20 and 21: (byte 2 & 0x0F) - 1 bytes from byte 4 on,
// copied into dest (at most destSize bytes). Returns the count copied; 0 when
// the reply announces none. reply must hold replySize bytes.
size_t copyInfoText(const uint8_t* reply, size_t replySize, char* dest, size_t destSize);

// ---- Frame records ---------------------------------------------------------------

// Identifier field of a frame record.
uint32_t encodeIdField(uint32_t id, bool ext);
uint32_t decodeIdField(uint32_t field, bool ext);

// True when frame has rtr and ext of 0 or 1 and len of 0..8.
bool frameFormatValid(const _KCAN_CAN_OBJ& frame);

// The record sending frame on channel into out (kRecordSize bytes). False
// (out untouched) when the frame's format is invalid.
bool encodeFrame(uint32_t channel, const _KCAN_CAN_OBJ& frame, uint8_t* out);

// Whether a received record starts at p (at least kRecordSize bytes there):
// byte 3 is 0x01, bytes 4 and 5 are 0.
bool isRecordStart(const uint8_t* p);

// Decodes a received record (kRecordSize bytes at p, already checked with
// isRecordStart) into a zeroed frame; returns the channel (0 or 1) it names.
uint32_t decodeFrame(const uint8_t* p, _KCAN_CAN_OBJ* frame);

// One frame taken out of the received stream.
struct ReceivedFrame {
    uint32_t channel;
    _KCAN_CAN_OBJ frame;
};

// Reassembles the received byte stream into frame records. Bytes that do not
// start an accepted record are skipped one at a time (resynchronisation); a
// partial record at the end is kept for the next read.
class StreamAssembler {
  public:
    // The most frames one feed() can yield: a full reassembly buffer.
    static constexpr size_t kMaxFramesPerFeed = kReassemblySize / kRecordSize;

    // Appends up to the free room of the buffer from data, then decodes every
    // whole record into out (room for kMaxFramesPerFeed). Returns the count.
    size_t feed(const uint8_t* data, size_t length, ReceivedFrame* out);

    // Unscanned bytes kept for the next read (always below kRecordSize).
    size_t pending() const { return fill_; }
    void reset() { fill_ = 0; }

  private:
    uint8_t buffer_[kReassemblySize] = {};
    size_t fill_ = 0;
};

}  // namespace dunlin2
