/* A C99 program on the exported interface alone: open a virtual ZARO3018,
 * initialise two wired channels for CAN FD, send on one and receive on the
 * other. Exit status 0 on success. */
#include <stdio.h>
#include <string.h>

#include "kcan.h"

static int check(int ok, const char* what) {
    if (!ok) {
        printf("FAIL %s: %s\n", what, KCAN_GetLastErrorStr());
    }
    return ok;
}

int main(void) {
    _KCAN_INITFD_CONFIG cfg;
    _KCAN_CANFD_OBJ tx[3];
    _KCAN_CANFD_OBJ rx[8];
    uint32_t got = 0;
    uint32_t i;

    memset(&cfg, 0, sizeof cfg);
    cfg.abitBaudRate = 500000;
    cfg.dbitBaudRate = 2000000;
    cfg.fdEnable = 1;
    if (!check(KCAN_OpenDevice(KCAN_TYPE_ZARO3018, 0) == 1, "open") ||
        !check(KCAN_InitCANFD(KCAN_TYPE_ZARO3018, 0, 0, &cfg) == 1, "init 0") ||
        !check(KCAN_InitCANFD(KCAN_TYPE_ZARO3018, 0, 1, &cfg) == 1, "init 1")) {
        return 1;
    }
    memset(tx, 0, sizeof tx);
    for (i = 0; i < 3; ++i) {
        tx[i].id = 0x100 + i;
        tx[i].len = 16;
        tx[i].frameFlags = KCAN_FRAME_FLAG_BRS;
        tx[i].data[0] = (uint8_t)i;
    }
    if (!check(KCAN_TransmitFD(KCAN_TYPE_ZARO3018, 0, 0, tx, 3) == 3, "transmit")) {
        return 1;
    }
    for (i = 0; i < 50 && got < 3; ++i) {
        got += KCAN_ReceiveFD(KCAN_TYPE_ZARO3018, 0, 1, rx + got, 8 - got, 100);
    }
    if (!check(got == 3, "receive") || !check(rx[2].id == 0x102 && rx[2].len == 16, "frame")) {
        return 1;
    }
    if (!check(KCAN_CloseDevice(KCAN_TYPE_ZARO3018, 0) == 1, "close")) {
        return 1;
    }
    printf("1 passed, 0 failed\n");
    return 0;
}
