/* An init/transmit/receive loop through the installed library: a virtual
 * ZARO3018 (the simulator preloaded in place of libusb), channel 0 sends CAN
 * FD frames that the bench cable carries to channel 1. */
#include <kcan.h>
#include <stdio.h>
#include <string.h>

enum { kType = 67, kFrames = 50 };

static int failed(const char* step, uint32_t i) {
    printf("%s %u: %s\n", step, i, KCAN_GetLastErrorStr());
    return 1;
}

int main(void) {
    _KCAN_INITFD_CONFIG cfg;
    uint32_t i, b;
    memset(&cfg, 0, sizeof cfg);
    cfg.abitBaudRate = 500000;
    cfg.dbitBaudRate = 2000000;
    cfg.fdEnable = 1;
    if (KCAN_OpenDevice(kType, 0) != 1 || KCAN_InitCANFD(kType, 0, 0, &cfg) != 1 ||
        KCAN_InitCANFD(kType, 0, 1, &cfg) != 1) {
        return failed("open and init", 0);
    }
    for (i = 0; i < kFrames; ++i) {
        _KCAN_CANFD_OBJ out, in[4];
        memset(&out, 0, sizeof out);
        out.id = 0x100 + i;
        out.frameFlags = KCAN_FRAME_FLAG_BRS;
        out.len = 16;
        for (b = 0; b < 16; ++b) {
            out.data[b] = (uint8_t)(i + b);
        }
        if (KCAN_TransmitFD(kType, 0, 0, &out, 1) != 1) {
            return failed("transmit", i);
        }
        if (KCAN_ReceiveFD(kType, 0, 1, in, 4, 2000) != 1 || in[0].id != out.id ||
            in[0].len != 16 || memcmp(in[0].data, out.data, 16) != 0 ||
            (in[0].frameFlags & KCAN_FRAME_FLAG_BRS) == 0) {
            return failed("receive", i);
        }
    }
    KCAN_CloseDevice(kType, 0);
    printf("%u frames\n", i);
    return 0;
}
