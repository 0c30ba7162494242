#include "drivers/classic/dunlin2_protocol.h"

#include <cstring>

#include "platform/le_bytes.h"

namespace dunlin2 {

bool initModeByte(uint32_t channel, uint8_t mode, uint8_t* modeByte) {
    uint8_t m = kInitModeNormal;
    if (mode == 1) {
        m |= kInitModeBit;
    } else if (mode != 0) {
        return false;
    }
    *modeByte = static_cast<uint8_t>(m | (channel << 4));
    return true;
}

size_t buildInitCommand(uint32_t channel, const _KCAN_INIT_CONFIG& config, uint8_t* out) {
    uint8_t m = 0;
    if (!initModeByte(channel, config.mode, &m)) {
        return 0;
    }
    ByteWriter w(out, kInitCmdLength);
    w.u8(kCmdPrefix);
    w.u8(kCmdChannelInit);
    w.u8(0x06);
    w.u8(0x00);
    w.u8(m);
    w.u8(config.timing0);
    w.u8(config.timing1);
    w.u8(kInitTail0);
    w.u8(kInitTail1);
    return w.position();
}

size_t buildChannelCommand(uint8_t code, uint32_t channel, uint8_t* out) {
    ByteWriter w(out, 5);
    w.u8(kCmdPrefix);
    w.u8(code);
    w.u8(0x02);
    w.u8(0x00);
    w.u8(static_cast<uint8_t>(channel << 4));
    return w.position();
}

size_t buildDataTransferCommand(const uint8_t* data, int32_t len, uint8_t* out) {
    size_t count = len > 0 ? static_cast<size_t>(len) : 0;
    if (count > kDataTransferMax) {
        count = kDataTransferMax;
    }
    if (data == nullptr) {
        count = 0;
    }
    ByteWriter w(out, kCmdBufferSize);
    w.u8(kCmdPrefix);
    w.u8(kCmdDataTransfer);
    w.bytes(data, count);
    return w.position();
}

bool initAccepted(const uint8_t* reply, size_t replyLength) {
    return replyLength > 2 && (reply[2] == kInitAccepted1 || reply[2] == kInitAccepted2);
}

size_t copyInfoText(const uint8_t* reply, size_t replySize, char* dest, size_t destSize) {
    if (replySize < 3) {
        return 0;
    }
    const int announced = (reply[2] & 0x0F) - 1;
    if (announced < 1 || replySize <= 4) {
        return 0;
    }
    size_t n = static_cast<size_t>(announced);
    n = n < replySize - 4 ? n : replySize - 4;
    n = n < destSize ? n : destSize;
    memcpy(dest, reply + 4, n);
    return n;
}

uint32_t encodeIdField(uint32_t id, bool ext) {
    return (id & kIdMask) << (ext ? 3 : 5);
}

uint32_t decodeIdField(uint32_t field, bool ext) {
    return (field >> (ext ? 3 : 5)) & kIdMask;
}

bool frameFormatValid(const _KCAN_CAN_OBJ& frame) {
    return frame.rtr <= 1 && frame.ext <= 1 && frame.len <= kMaxDataLength;
}

bool encodeFrame(uint32_t channel, const _KCAN_CAN_OBJ& frame, uint8_t* out) {
    if (!frameFormatValid(frame)) {
        return false;
    }
    ByteWriter w(out, kRecordSize);
    // The time stamp goes most significant byte first.
    w.u8(static_cast<uint8_t>(frame.timeStamp >> 24));
    w.u8(static_cast<uint8_t>(frame.timeStamp >> 16));
    w.u8(static_cast<uint8_t>(frame.timeStamp >> 8));
    w.u8(static_cast<uint8_t>(frame.timeStamp));
    w.u8(frame.frameFlags);
    w.u8(frame.txOption);
    uint8_t info = static_cast<uint8_t>((channel << 4) | frame.len);
    if (frame.ext != 0) {
        info |= kInfoExt;
    }
    if (frame.rtr != 0) {
        info |= kInfoRtr;
    }
    w.u8(info);
    w.u32le(encodeIdField(frame.id, frame.ext != 0));
    w.bytes(frame.data, frame.len);
    w.fill(0, w.remaining());
    return true;
}

bool isRecordStart(const uint8_t* p) {
    return p[3] == kRecordMarker && p[4] == 0x00 && p[5] == 0x00;
}

uint32_t decodeFrame(const uint8_t* p, _KCAN_CAN_OBJ* frame) {
    *frame = _KCAN_CAN_OBJ{};
    ByteReader r(p, kRecordSize);
    uint8_t info = 0;
    uint32_t field = 0;
    r.u32le(frame->timeStamp);
    r.u8(frame->frameFlags);
    r.u8(frame->txOption);
    r.u8(info);
    r.u32le(field);
    frame->ext = (info & kInfoExt) != 0 ? 1 : 0;
    frame->rtr = (info & kInfoRtr) != 0 ? 1 : 0;
    uint8_t len = info & kInfoLength;
    frame->len = len > kMaxDataLength ? kMaxDataLength : len;
    frame->id = decodeIdField(field, frame->ext != 0);
    r.bytes(frame->data, frame->len);
    return (info & kInfoChannel) != 0 ? 1 : 0;
}

size_t StreamAssembler::feed(const uint8_t* data, size_t length, ReceivedFrame* out) {
    size_t room = kReassemblySize - fill_;
    size_t take = length < room ? length : room;
    if (take > 0) {
        memcpy(buffer_ + fill_, data, take);
        fill_ += take;
    }
    size_t count = 0;
    size_t p = 0;
    while (fill_ - p >= kRecordSize) {
        if (isRecordStart(buffer_ + p)) {
            out[count].channel = decodeFrame(buffer_ + p, &out[count].frame);
            ++count;
            p += kRecordSize;
        } else {
            ++p;
        }
    }
    memmove(buffer_, buffer_ + p, fill_ - p);
    fill_ -= p;
    return count;
}

}  // namespace dunlin2
