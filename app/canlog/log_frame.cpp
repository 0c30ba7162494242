#include "app/canlog/log_frame.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kStandardIdMask = 0x7FF;
constexpr uint32_t kExtendedIdMask = 0x1FFFFFFF;
constexpr uint8_t kFdLengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

}  // namespace

uint8_t canFdLength(uint8_t len) {
    for (uint8_t valid : kFdLengths) {
        if (len <= valid) {
            return valid;
        }
    }
    return 64;
}

uint32_t channelOfInterface(std::string_view name) {
    if (name.size() < 4 || name.size() > 6 || name.substr(0, 3) != "can") {
        return 0;
    }
    uint32_t n = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9') {
            return 0;
        }
        n = n * 10 + static_cast<uint32_t>(c - '0');
    }
    return n <= 255 ? n : 0;
}

LogFrame logFrameFromUserObj(const _KCAN_USER_OBJ& obj, uint32_t channel, uint64_t stampUs,
                             bool outbound) {
    LogFrame f;
    f.stampUs = stampUs;
    f.channel = channel;
    f.outbound = outbound;
    if (obj.isFd) {
        const _KCAN_CANFD_OBJ& c = obj.canfdObj;
        f.fd = true;
        f.ext = c.ext != 0;
        f.brs = (c.frameFlags & KCAN_FRAME_FLAG_BRS) != 0;
        f.id = c.id & (f.ext ? kExtendedIdMask : kStandardIdMask);
        // The bus carries only FD lengths: a record of 13 bytes went out as
        // 16, the padding being zero.
        uint8_t n = std::min<uint8_t>(c.len, 64);
        memcpy(f.data, c.data, n);
        f.len = canFdLength(n);
    } else {
        const _KCAN_CAN_OBJ& c = obj.canObj;
        f.ext = c.ext != 0;
        f.rtr = c.rtr != 0;
        f.id = c.id & (f.ext ? kExtendedIdMask : kStandardIdMask);
        f.len = std::min<uint8_t>(c.len, 8);
        if (!f.rtr) {
            memcpy(f.data, c.data, f.len);
        }
    }
    return f;
}

_KCAN_USER_OBJ userObjFromLogFrame(const LogFrame& frame) {
    _KCAN_USER_OBJ obj;
    memset(&obj, 0, sizeof obj);
    obj.isFd = frame.fd ? 1 : 0;
    if (frame.fd) {
        _KCAN_CANFD_OBJ& c = obj.canfdObj;
        c.id = frame.id;
        c.ext = frame.ext ? 1 : 0;
        c.frameFlags = frame.brs ? KCAN_FRAME_FLAG_BRS : 0;
        c.len = std::min<uint8_t>(frame.len, 64);
        memcpy(c.data, frame.data, c.len);
    } else {
        _KCAN_CAN_OBJ& c = obj.canObj;
        c.id = frame.id;
        c.ext = frame.ext ? 1 : 0;
        c.rtr = frame.rtr ? 1 : 0;
        c.len = std::min<uint8_t>(frame.len, 8);
        if (!frame.rtr) {
            memcpy(c.data, frame.data, c.len);
        }
    }
    return obj;
}
