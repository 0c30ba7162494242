// One frame as the log formats see it: what was on the bus, on which
// channel, in which direction and when (wall clock).
#pragma once

#include <cstdint>
#include <string_view>

#include "app/user_obj.h"

struct LogFrame {
    uint64_t stampUs = 0;   // microseconds since the Unix epoch
    uint32_t channel = 0;   // the tool's channel number (interface "can<channel>")
    bool outbound = false;  // sent by this process (false: received from the bus)
    uint32_t id = 0;        // 11 or 29 bits
    bool ext = false;
    bool rtr = false;  // classic remote frame; len is the requested length
    bool fd = false;
    bool brs = false;
    bool esi = false;
    uint8_t len = 0;  // data bytes: 0..8 classic, a valid FD length up to 64
    uint8_t data[64] = {};
};

// The tool's frame record as a log frame (the direction is the caller's).
LogFrame logFrameFromUserObj(const _KCAN_USER_OBJ& obj, uint32_t channel, uint64_t stampUs,
                             bool outbound);
// A log frame as the tool's frame record to transmit (direction 0, time
// stamp 0). FD frames keep BRS in frameFlags; ESI cannot be sent and is dropped.
_KCAN_USER_OBJ userObjFromLogFrame(const LogFrame& frame);

// The CAN FD length that holds `len` bytes (0..8, 12, 16, 20, 24, 32, 48, 64;
// 64 for anything longer).
uint8_t canFdLength(uint8_t len);
// The channel of an interface name: N for "can<N>" (N up to 255), else 0.
uint32_t channelOfInterface(std::string_view name);
