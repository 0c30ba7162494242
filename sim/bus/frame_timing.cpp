#include "bus/frame_timing.h"

namespace ksim {

bool isFdLength(unsigned len) {
    return len <= 8 || len == 12 || len == 16 || len == 20 || len == 24 || len == 32 || len == 48 ||
           len == 64;
}

uint8_t roundUpFdLength(unsigned len) {
    static const uint8_t kSteps[] = {12, 16, 20, 24, 32, 48, 64};
    if (len <= 8) {
        return static_cast<uint8_t>(len);
    }
    for (uint8_t step : kSteps) {
        if (len <= step) {
            return step;
        }
    }
    return 64;
}

FrameBits frameBits(const FrameShape& shape, Stuffing stuffing) {
    FrameBits bits;
    if (!shape.fd) {
        // SOF..DLC (34 or 54 bits), data, CRC + delimiters + EOF + intermission.
        const uint32_t header = shape.ext ? 54 : 34;
        const uint32_t dataBits = shape.rtr ? 0 : 8u * (shape.len > 8 ? 8 : shape.len);
        bits.nominal = header + dataBits + 13;
        if (stuffing == Stuffing::WorstCase) {
            bits.nominal += (header + dataBits - 1) / 4;
        }
        return bits;
    }
    const uint32_t n = roundUpFdLength(shape.len);
    const uint32_t arbitration = shape.ext ? 36 : 17;  // SOF .. BRS
    const uint32_t crc = n <= 16 ? 17 : 21;
    const uint32_t fixedStuff = 1 + (4 + crc) / 4;
    bits.nominal = arbitration + 13;
    bits.data = 5 + 8 * n + 4 + crc + fixedStuff;
    if (stuffing == Stuffing::WorstCase) {
        const uint32_t total = (arbitration + 5 + 8 * n - 1) / 4;
        const uint32_t inNominal = shape.ext ? 8 : 3;
        bits.nominal += inNominal;
        bits.data += total - inNominal;
    }
    return bits;
}

double frameWireSeconds(const FrameShape& shape, uint32_t arbRate, uint32_t dataRate) {
    const FrameBits bits = frameBits(shape, Stuffing::None);
    if (arbRate == 0) {
        return 0.0;
    }
    if (!shape.fd || !shape.brs) {
        return static_cast<double>(bits.nominal + bits.data) / arbRate;
    }
    if (dataRate == 0) {
        return 0.0;
    }
    return static_cast<double>(bits.nominal) / arbRate + static_cast<double>(bits.data) / dataRate;
}

}  // namespace ksim
