// The firmware behind the simulator's libusb that answers the drivers' reads
// with entries of the input, and the program's clock (fuzz/README.md).
#pragma once

#include "fuzz/targets/fuzz_support.h"

namespace fuzzpeer {

enum Family { kFd, kClassic, kRecorder };
inline constexpr const char* kDeviceList = "3068:0009,0471:1200,0471:2601";

// One transfer; a read (IN) names the latest write it answers.
struct Transfer {
    uint8_t endpoint;
    bool ok;              // LIBUSB_SUCCESS, else a time-out
    fuzz::Bytes bytes;    // written (OUT) or delivered (IN)
    fuzz::Bytes request;  // IN: the latest write on the OUT endpoint of its number

    // 0 past the reply's end: the drivers clear their buffers.
    uint8_t at(size_t i) const { return ok && i < bytes.size() ? bytes[i] : 0; }
    uint16_t le16(size_t i) const { return static_cast<uint16_t>(at(i) | at(i + 1) << 8); }
    uint16_t be16(size_t i) const { return static_cast<uint16_t>(at(i) << 8 | at(i + 1)); }
    bool belongs() const {
        return ok && bytes.size() >= 3 && request.size() >= 2 && bytes[0] == request[0] &&
               bytes[1] == request[1];
    }
};

class ReplyPeer {
  public:
    virtual ~ReplyPeer() = default;
    // Null: every read times out.
    virtual void beginInput(fuzz::InputReader* input) = 0;
    virtual std::vector<Transfer> takeTransfers() = 0;
    virtual void releaseStreamReads(bool released) = 0;
};

// The peer of a family once fuzz::attachDevices(kDeviceList) ran, else null.
ReplyPeer* peerOf(Family family);
// µs the peer's time-outs have added to the program's clock.
uint64_t skippedMicros();

}  // namespace fuzzpeer
