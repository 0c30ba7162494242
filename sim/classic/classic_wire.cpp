#include "classic/classic_wire.h"

#include <cstring>

namespace ksim::classic {

bool decodeBusTiming(uint8_t btr0, uint8_t btr1, BusTimingRegisters* out, const char** why) {
    BusTimingRegisters r;
    r.brp = static_cast<uint8_t>((btr0 & 0x3F) + 1);
    r.sjw = static_cast<uint8_t>((btr0 >> 6) + 1);
    r.tseg1 = static_cast<uint8_t>((btr1 & 0x0F) + 1);
    r.tseg2 = static_cast<uint8_t>(((btr1 >> 4) & 0x07) + 1);
    r.tripleSample = (btr1 & 0x80) != 0;
    const uint32_t quanta = 1u + r.tseg1 + r.tseg2;
    if (quanta < 8) {
        *why = "fewer than 8 time quanta per bit";
        return false;
    }
    if (r.sjw > r.tseg2) {
        *why = "jump width above phase segment 2";
        return false;
    }
    // With at least 8 quanta a 16 MHz controller cannot exceed 1 Mbit/s.
    const uint32_t divisor = 2u * r.brp * quanta;
    r.bitRate = (kControllerClockHz + divisor / 2) / divisor;
    *out = r;
    return true;
}

RecordCheck decodeHostRecord(const uint8_t* rec, HostRecord* out) {
    const uint8_t info = rec[6];
    const int channel = (info >> 4) & 0x03;
    const uint8_t len = info & 0x0F;
    if (channel >= kChannels) {
        return RecordCheck::BadChannel;
    }
    if (len > 8) {
        return RecordCheck::BadLength;
    }
    HostRecord r;
    r.channel = channel;
    r.frame.ext = (info & 0x80) != 0;
    r.frame.rtr = (info & 0x40) != 0;
    r.frame.len = len;
    const uint32_t field = static_cast<uint32_t>(rec[7]) | static_cast<uint32_t>(rec[8]) << 8 |
                           static_cast<uint32_t>(rec[9]) << 16 |
                           static_cast<uint32_t>(rec[10]) << 24;
    // The controller ignores the unused low bits of the identifier registers.
    r.frame.id = r.frame.ext ? (field >> 3) & 0x1FFFFFFF : (field >> 5) & 0x7FF;
    if (!r.frame.rtr) {
        std::memcpy(r.frame.data, rec + 11, len);
    }
    *out = r;
    return RecordCheck::Ok;
}

void encodeStreamRecord(uint8_t* out, int channel, uint32_t micros, const BusFrame& frame) {
    std::memset(out, 0, kRecordSize);
    out[0] = static_cast<uint8_t>(micros);
    out[1] = static_cast<uint8_t>(micros >> 8);
    out[2] = static_cast<uint8_t>(micros >> 16);
    out[3] = kStampMarker;
    const uint8_t len = frame.len > 8 ? 8 : frame.len;
    out[6] = static_cast<uint8_t>((frame.ext ? 0x80 : 0) | (frame.rtr ? 0x40 : 0) |
                                  ((channel & 0x01) << 4) | len);
    const uint32_t field = frame.ext ? (frame.id & 0x1FFFFFFF) << 3 : (frame.id & 0x7FF) << 5;
    out[7] = static_cast<uint8_t>(field);
    out[8] = static_cast<uint8_t>(field >> 8);
    out[9] = static_cast<uint8_t>(field >> 16);
    out[10] = static_cast<uint8_t>(field >> 24);
    if (!frame.rtr) {
        std::memcpy(out + 11, frame.data, len);
    }
}

}  // namespace ksim::classic
