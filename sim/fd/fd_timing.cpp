#include "fd/fd_timing.h"

#include "fd/fd_wire.h"

namespace ksim::fd {

bool decodeBitTiming(const uint8_t* r, size_t length, BitTimingRequest* out) {
    if (length < kBitTimingLength) {
        return false;
    }
    out->channel = r[2];
    out->fdFlag = r[3];
    out->iso = r[4];
    out->mode = r[5];
    out->arb = PhaseTiming{getLe16(r + 6), getLe16(r + 8), r[10], getLe16(r + 11), getLe16(r + 13)};
    out->data =
        PhaseTiming{getLe16(r + 15), getLe16(r + 17), r[19], getLe16(r + 20), getLe16(r + 22)};
    return true;
}

uint32_t phaseBitRate(const PhaseTiming& t) {
    const uint64_t quanta = 1u + (t.tseg1 + 1u) + (t.tseg2 + 1u);
    const uint64_t divisor = (t.brp + 1u) * quanta;
    const uint64_t clock = static_cast<uint64_t>(t.clockMhz) * 1000000u;
    return static_cast<uint32_t>((clock + divisor / 2) / divisor);
}

namespace {

// The controller's register widths: prescaler 10 bits, sjw and tseg2 7 bits,
// tseg1 8 bits; sjw may not exceed tseg2.
bool phaseFits(const PhaseTiming& t, uint16_t clockMhz) {
    return t.clockMhz == clockMhz && t.brp <= 1023 && t.sjw <= 127 && t.tseg1 <= 255 &&
           t.tseg2 <= 127 && t.sjw <= t.tseg2;
}

}  // namespace

uint8_t checkBitTiming(const BitTimingRequest& request, int channels, uint16_t clockMhz,
                       uint32_t* arbRate, uint32_t* dataRate) {
    if (request.channel >= channels) {
        return kStatusBadChannel;
    }
    if (request.fdFlag > 1 || request.iso > 1 || !phaseFits(request.arb, clockMhz)) {
        return kStatusBadParameter;
    }
    const uint32_t arb = phaseBitRate(request.arb);
    if (arb > kMaxArbitrationRate) {
        return kStatusBadParameter;
    }
    uint32_t data = arb;
    if (request.fdFlag == 1) {
        if (!phaseFits(request.data, clockMhz)) {
            return kStatusBadParameter;
        }
        data = phaseBitRate(request.data);
        if (data > kMaxDataRate) {
            return kStatusBadParameter;
        }
    }
    *arbRate = arb;
    *dataRate = data;
    return kStatusOk;
}

}  // namespace ksim::fd
