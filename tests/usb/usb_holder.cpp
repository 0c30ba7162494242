// Holds a virtual echo adapter open through the USB transport the way a
// driver's receive thread does, for tests that unplug and plug it from
// another process. Reports on standard output:
//   "ready"                       the adapter is open
//   "lost rc=<result> link=<0|1>" a read found the adapter gone
//   "back echo=<text>"            reopened by a restart, and a message echoed
// Ends at the end of standard input.
#include <libusb.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "echo_device.h"
#include "platform/QUserLibUsb.h"

namespace {

bool inputEnded() {
    pollfd p{0, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) {
        return false;
    }
    char buffer[64];
    return read(0, buffer, sizeof(buffer)) <= 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int index = argc > 1 ? atoi(argv[1]) : 0;
    QUserLibUsb usb;
    if (usb.OpenUSBDevice(echo::kVendorId, echo::kProductId, index) != 1) {
        printf("open failed\n");
        return 1;
    }
    printf("ready\n");
    bool linked = true;
    while (!inputEnded()) {
        if (linked) {
            uint8_t buffer[64];
            const int result = usb.bulkReadUSBDevice(buffer, sizeof(buffer), 0x82, 100);
            if (result == LIBUSB_ERROR_NO_DEVICE) {
                printf("lost rc=%d link=%u\n", result, usb.GetUSBDeviceLinkStatus());
                linked = false;
            }
            continue;
        }
        usb.RestartUSBDevice();
        if (usb.GetUSBDeviceLinkStatus() == 1) {
            uint8_t ping[4] = {'p', 'i', 'n', 'g'};
            char back[5] = {};
            const bool ok =
                usb.bulkWriteUSBDevice(ping, 4, 0x02, 500) == 4 &&
                usb.bulkReadUSBDevice(reinterpret_cast<uint8_t*>(back), 4, 0x82, 500) == 4;
            printf("back echo=%s\n", ok ? back : "(none)");
            linked = true;
        }
    }
    return 0;
}
