#include "fd/fd_wire.h"

#include <cstring>

namespace ksim::fd {

size_t putStreamRecord(uint8_t* out, int channel, uint32_t timeStamp, const BusFrame& frame) {
    const size_t size = recordSize(frame.fd);
    const size_t slot = size - kRecordDataOffset;
    out[0] = static_cast<uint8_t>((channel & 0x0F) << 4);
    out[1] = static_cast<uint8_t>((frame.fd ? kFlagFd : 0) | (frame.rtr ? kFlagRtr : 0) |
                                  (frame.ext ? kFlagExt : 0) | (frame.brs ? kFlagBrs : 0));
    putLe32(out + 2, timeStamp);
    putLe32(out + 6, frame.id & 0x1FFFFFFFu);
    const size_t len = frame.len > slot ? slot : frame.len;
    out[10] = static_cast<uint8_t>(len);
    std::memcpy(out + kRecordDataOffset, frame.data, len);
    std::memset(out + kRecordDataOffset + len, 0, slot - len);
    return size;
}

void putPacketHeader(uint8_t* out, size_t body, size_t records) {
    out[0] = kPacketTag0;
    out[1] = kPacketTag1;
    out[2] = 0;
    out[3] = 0;
    putLe16(out + 4, static_cast<uint16_t>(body));
    out[6] = static_cast<uint8_t>(records);
}

size_t readHostRecord(const uint8_t* p, size_t avail, HostRecord* record) {
    if (avail < 2) {
        return 0;
    }
    const size_t size = recordSize((p[1] & kFlagFd) != 0);
    if (avail < size) {
        return 0;
    }
    record->channel = p[0] >> 4;
    record->flags = p[1];
    record->id = getLe32(p + 6);
    record->len = p[10];
    record->data = p + kRecordDataOffset;
    return size;
}

}  // namespace ksim::fd
