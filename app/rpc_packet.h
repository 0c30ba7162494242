// The channel-sharing packet exchanged between the owner of an adapter and
// its clients over a Unix stream socket, and the stream assembler that turns
// a byte stream back into whole packets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/statistics.h"
#include "app/user_obj.h"

enum RpcCmd : uint8_t {
    RPC_SEND_REQ = 0,      // client -> owner: transmit userObj on channel
    RPC_RECV_FRAME = 1,    // owner -> clients: a frame received on channel
    RPC_STATS = 2,         // owner -> clients: statistics of channel
    RPC_INIT_REQ = 3,      // client -> owner: initialise channel
    RPC_SEND_RESULT = 11,  // owner -> clients: outcome of a send on channel
    RPC_INIT_RESULT = 12,  // owner -> requester: outcome of its init request
};

// Exactly 272 bytes in host byte order: both ends run on one machine.
struct RpcFramePkg {
    uint8_t cmd;
    uint8_t reserved0[3];  // not interpreted by the owner; echoed back with results
    uint32_t devType;
    uint32_t devIndex;
    uint32_t channel;
    _KCAN_USER_OBJ userObj;
    int32_t result;
    statistics_t stats;
    uint32_t arbRate;
    uint32_t dataRate;
    uint8_t fdMode;
    uint8_t iso;
    uint8_t reserved1[6];
};

constexpr size_t kRpcPkgSize = 272;
static_assert(sizeof(RpcFramePkg) == kRpcPkgSize, "RpcFramePkg is 272 bytes");
static_assert(offsetof(RpcFramePkg, devType) == 4, "devType at 4");
static_assert(offsetof(RpcFramePkg, devIndex) == 8, "devIndex at 8");
static_assert(offsetof(RpcFramePkg, channel) == 12, "channel at 12");
static_assert(offsetof(RpcFramePkg, userObj) == 16, "userObj at 16");
static_assert(offsetof(RpcFramePkg, result) == 124, "result at 124");
static_assert(offsetof(RpcFramePkg, stats) == 128, "stats at 128");
static_assert(offsetof(RpcFramePkg, arbRate) == 256, "arbRate at 256");
static_assert(offsetof(RpcFramePkg, dataRate) == 260, "dataRate at 260");
static_assert(offsetof(RpcFramePkg, fdMode) == 264, "fdMode at 264");
static_assert(offsetof(RpcFramePkg, iso) == 265, "iso at 265");

// Frame packets (received frames and send results) carry the owner's wall
// clock stamp of the frame, in microseconds, in the first 8 bytes of the
// otherwise unused statistics area, so that every process logs the same
// stamp for one frame. 0: not given (an owner that does not stamp).
void rpcPkgSetStampUs(RpcFramePkg* pkg, uint64_t stampUs);
uint64_t rpcPkgStampUs(const RpcFramePkg& pkg);

// Collects stream bytes into whole packets: a read may end anywhere inside a
// packet, and the rest arrives with the next read.
class RpcPkgAssembler {
  public:
    // Takes up to `length` bytes; returns how many were taken. When a packet
    // completes, taking stops there and ready() becomes true.
    size_t feed(const uint8_t* data, size_t length);
    bool ready() const { return filled_ == kRpcPkgSize; }
    // The completed packet; only valid while ready(). Taking it starts the next.
    RpcFramePkg take();
    size_t pending() const { return filled_; }

  private:
    uint8_t bytes_[kRpcPkgSize] = {};
    size_t filled_ = 0;
};
