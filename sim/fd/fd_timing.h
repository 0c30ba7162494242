// The bit-timing command (0x03): decoding its fields and turning them into bit
// rates. Each phase carries the CAN clock in MHz and the prescaler and
// segment fields as the controller registers hold them (value minus one).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ksim::fd {

struct PhaseTiming {
    uint16_t clockMhz = 0;
    uint16_t brp = 0;  // prescaler - 1
    uint8_t sjw = 0;   // synchronisation jump width - 1
    uint16_t tseg1 = 0;
    uint16_t tseg2 = 0;
    bool operator==(const PhaseTiming&) const = default;
};

struct BitTimingRequest {
    uint8_t channel = 0;
    uint8_t fdFlag = 0;  // byte 3: 1 CAN FD operation, 0 classic CAN only
    uint8_t iso = 0;
    uint8_t mode = 0;
    PhaseTiming arb;
    PhaseTiming data;
};

// Decodes a 24-byte request; false when it is shorter.
bool decodeBitTiming(const uint8_t* request, size_t length, BitTimingRequest* out);

// clock / (prescaler * (1 + tseg1 + tseg2)) in bit/s, rounded to the nearest
// integer; 0 for a zero clock.
uint32_t phaseBitRate(const PhaseTiming& t);

// Highest bit rates the controller runs.
constexpr uint32_t kMaxArbitrationRate = 1000000;
constexpr uint32_t kMaxDataRate = 10000000;

// Checks a request against a model (channel count, CAN clock). Returns the
// reply status byte and, when it is 0, the two bit rates. With fdFlag 0 the
// data phase is not used and dataRate equals arbRate.
uint8_t checkBitTiming(const BitTimingRequest& request, int channels, uint16_t clockMhz,
                       uint32_t* arbRate, uint32_t* dataRate);

}  // namespace ksim::fd
