// Wire length of CAN and CAN FD frames, for the traffic generators' wire-speed
// pace and for bus-load figures.
//
// Bit counts include the 3-bit intermission. Without stuffing they are the
// exact fixed frame length; the worst case adds the largest number of dynamic
// stuff bits the frame's content can cause.
#pragma once

#include <cstdint>

namespace ksim {

struct FrameShape {
    bool fd = false;   // CAN FD frame format (FDF)
    bool ext = false;  // 29-bit identifier
    bool rtr = false;  // remote frame (classic only; carries no data bits)
    bool brs = false;  // FD data phase at the data bit rate
    uint8_t len = 0;   // data bytes; an FD length is rounded up to a valid one
};

struct FrameBits {
    uint32_t nominal = 0;  // bits sent at the arbitration bit rate
    uint32_t data = 0;     // FD data-phase bits (0 for classic frames)
};

enum class Stuffing { None, WorstCase };

// Bits of one frame, split into the arbitration and data phases. For an FD
// frame the split is the same with or without BRS; only the bit rate of the
// data phase differs.
FrameBits frameBits(const FrameShape& shape, Stuffing stuffing);

// Seconds the frame occupies the bus at the given bit rates (no stuffing).
// Without BRS (or for classic frames) every bit runs at arbRate. Returns 0 when
// a rate that is needed is 0.
double frameWireSeconds(const FrameShape& shape, uint32_t arbRate, uint32_t dataRate);

// The CAN FD data lengths: 0..8, 12, 16, 20, 24, 32, 48, 64.
bool isFdLength(unsigned len);
// The smallest valid FD length not below len (64 for len above 64).
uint8_t roundUpFdLength(unsigned len);

}  // namespace ksim
