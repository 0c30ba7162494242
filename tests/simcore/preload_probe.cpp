// An ordinary libusb program, linked with the system's libusb-1.0: it prints
// which library answered and the devices it sees. Run with the simulator
// preloaded, it must see the virtual adapters.
#include <libusb.h>

#include <cstdio>

int main() {
    libusb_context* ctx = nullptr;
    const int init = libusb_init(&ctx);
    printf("init=%d describe=%s\n", init, libusb_get_version()->describe);
    if (init != LIBUSB_SUCCESS) {
        return 1;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    printf("devices=%zd\n", count);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor desc;
        libusb_get_device_descriptor(list[i], &desc);
        printf("%04x:%04x\n", desc.idVendor, desc.idProduct);
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    libusb_exit(ctx);
    return 0;
}
