/* An init/transmit/receive loop through the installed library: a virtual
 * ZARO3018 (the simulator preloaded in place of libusb), channel 0 sends CAN
 * FD frames that the bench cable carries to channel 1. */
#include <kcan.h>
#include <stdio.h>
#include <string.h>

enum { kType = 67, kFrames = 50 };

static int initChannel(uint32_t channel) {
    _KCAN_INITFD_CONFIG cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.abitBaudRate = 500000;
    cfg.dbitBaudRate = 2000000;
    cfg.fdEnable = 1;
    return KCAN_InitCANFD(kType, 0, channel, &cfg) == 1;
}

int main(void) {
    if (KCAN_OpenDevice(kType, 0) != 1) {
        printf("open: %s\n", KCAN_GetLastErrorStr());
        return 1;
    }
    if (!initChannel(0) || !initChannel(1)) {
        printf("init: %s\n", KCAN_GetLastErrorStr());
        return 1;
    }
    uint32_t received = 0;
    for (uint32_t i = 0; i < kFrames; ++i) {
        _KCAN_CANFD_OBJ out;
        memset(&out, 0, sizeof out);
        out.id = 0x100 + i;
        out.frameFlags = KCAN_FRAME_FLAG_BRS;
        out.len = 16;
        for (int b = 0; b < 16; ++b) {
            out.data[b] = (uint8_t)(i + b);
        }
        if (KCAN_TransmitFD(kType, 0, 0, &out, 1) != 1) {
            printf("transmit %u: %s\n", i, KCAN_GetLastErrorStr());
            return 1;
        }
        _KCAN_CANFD_OBJ in[4];
        uint32_t n = KCAN_ReceiveFD(kType, 0, 1, in, 4, 2000);
        if (n != 1 || in[0].id != out.id || in[0].len != 16 ||
            memcmp(in[0].data, out.data, 16) != 0 ||
            (in[0].frameFlags & KCAN_FRAME_FLAG_BRS) == 0) {
            printf("frame %u: got %u frames\n", i, n);
            return 1;
        }
        ++received;
    }
    KCAN_CloseDevice(kType, 0);
    printf("%u frames\n", received);
    return 0;
}
