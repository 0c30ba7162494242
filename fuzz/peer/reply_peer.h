// A USB peer for the fuzz targets that answers the drivers' commands with
// bytes from the fuzzer's input, behind the simulator's libusb (sim/core).
//
// The peer is the firmware of three virtual adapters, one per family:
// 3068:0009 (FD driver), 0471:1200 (classic driver) and 0471:2601
// (recorder driver). It answers every read on a reply endpoint with the next
// entry of the input that the target hands it, at the moment the driver
// reads, so that the input interleaves the target's own choices with the
// replies:
//
//   byte K   K >> 6 == 0: no reply, the read times out
//            K >> 6 == 1: a reply of n bytes, all taken from the input
//            K >> 6 >= 2: a reply of n bytes whose first two are those of the
//                         request (the latest write on the paired endpoint);
//                         the other n - 2 come from the input
//            n is K & 0x3F, or 63 + the next byte when that is 0x3F; a reply
//            of no bytes (n 0, or the input ran out) is no reply either
//
// Once the input is used up every read times out. A reply larger than the
// driver's buffer fills the buffer and the rest is what the next read on that
// endpoint gets, as with a device whose answer spans several packets. Every
// reply is kept in a heap block of exactly its length, so a read past its end
// is an AddressSanitizer report.
//
// Time-outs cost no wall-clock time: the peer answers at once and moves the
// program's clock (getCurMicroSec, which the drivers measure their time-outs
// with) forward by the time-out the driver asked for, as if it had waited.
// The clock otherwise runs with CLOCK_MONOTONIC, so it never goes back.
//
// Stream endpoints (the received-frame streams that the drivers' worker
// threads read: FD 0x83, classic 0x82) never carry data. A read there waits
// in real time until its time-out, or, while the target has released stream
// reads, returns an empty transfer at once. The target releases them around a
// close: after an empty read a driver's worker pauses in a wait that its stop
// request ends, so the close does not wait out a read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {
class InputReader;
}

namespace fuzzpeer {

using Bytes = std::vector<uint8_t>;

// The USB identities the peer answers for.
constexpr uint16_t kFdVendor = 0x3068;
constexpr uint16_t kFdProduct = 0x0009;
constexpr uint16_t kClassicVendor = 0x0471;
constexpr uint16_t kClassicProduct = 0x1200;
constexpr uint16_t kRecorderVendor = 0x0471;
constexpr uint16_t kRecorderProduct = 0x2601;

// One transfer the driver made on a command, acknowledgement or frame
// endpoint (stream reads are not recorded).
struct Transfer {
    uint8_t endpoint;
    int result;   // libusb code
    Bytes bytes;  // written (OUT) or delivered (IN)
};

class ReplyPeer;

// Attaches one adapter of each family (positions 0, 1, 2 in the order above;
// device index 0 each) in place of any configured adapters. Safe to call
// more than once; false with a message on standard error when the simulator
// refused the device list.
bool attachPeers();
// The peer of an identity, or null before attachPeers().
ReplyPeer* peerFor(uint16_t vendorId, uint16_t productId);

class ReplyPeer {
  public:
    virtual ~ReplyPeer() = default;

    // Answers from `input` from now on (null: every read times out) and
    // forgets the transfers recorded so far and any rest of a reply.
    virtual void beginInput(fuzz::InputReader* input) = 0;
    // The transfers since beginInput() or the last takeTransfers().
    virtual std::vector<Transfer> takeTransfers() = 0;
    // While released, stream reads return an empty transfer at once.
    virtual void releaseStreamReads(bool released) = 0;
};

// Time the peer's time-outs have added to the program's clock so far, µs.
uint64_t skippedMicros();

}  // namespace fuzzpeer
