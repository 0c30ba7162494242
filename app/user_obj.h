// The tool's unified frame record: one classic or CAN FD frame together with
// its kind and direction. It travels byte for byte inside the channel-sharing
// packet, so its layout is pinned below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kcan.h"

struct _KCAN_USER_OBJ {
    uint8_t isFd;              // 1: the frame is in canfdObj; 0: in canObj
    uint8_t direction;         // 1: received from the bus; 0: sent or to be sent
    uint8_t reserved[2];       // zero
    _KCAN_CAN_OBJ canObj;      // classic frame
    _KCAN_CANFD_OBJ canfdObj;  // CAN FD frame
};

static_assert(sizeof(_KCAN_USER_OBJ) == 108, "_KCAN_USER_OBJ is 108 bytes");
static_assert(offsetof(_KCAN_USER_OBJ, isFd) == 0, "isFd at 0");
static_assert(offsetof(_KCAN_USER_OBJ, direction) == 1, "direction at 1");
static_assert(offsetof(_KCAN_USER_OBJ, reserved) == 2, "reserved at 2");
static_assert(offsetof(_KCAN_USER_OBJ, canObj) == 4, "canObj at 4");
static_assert(offsetof(_KCAN_USER_OBJ, canfdObj) == 28, "canfdObj at 28");
