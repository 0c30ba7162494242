// A program on the simulator (linked with the echo firmware) for tests of
// the environment variables: it starts libusb like any program, then runs
// each argument as a control command and prints the reply. The argument
// "echo:N" instead opens list entry N and exchanges one message with it;
// "wait" prints "ready" and waits for the end of standard input.
#include <libusb.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sim_control.h"

namespace {

bool echoWith(libusb_context* ctx, int index) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* handle = nullptr;
    const bool opened = index < n && libusb_open(list[index], &handle) == LIBUSB_SUCCESS;
    libusb_free_device_list(list, 1);
    if (!opened) {
        return false;
    }
    uint8_t data[4] = {'p', 'i', 'n', 'g'};
    uint8_t back[4] = {};
    int moved = 0;
    const bool ok =
        libusb_interrupt_transfer(handle, 0x01, data, 4, &moved, 500) == LIBUSB_SUCCESS &&
        libusb_interrupt_transfer(handle, 0x81, back, 4, &moved, 500) == LIBUSB_SUCCESS &&
        memcmp(data, back, 4) == 0;
    libusb_close(handle);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != LIBUSB_SUCCESS) {
        puts("init failed");
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("echo:", 0) == 0) {
            const int index = atoi(arg.c_str() + 5);
            printf("echo %d %s\n", index, echoWith(ctx, index) ? "ok" : "failed");
        } else if (arg == "wait") {
            printf("ready\n");
            fflush(stdout);
            char buffer[64];
            while (read(0, buffer, sizeof(buffer)) > 0) {
            }
        } else {
            printf("%s\n", ksim::executeControlCommand(arg).c_str());
        }
        fflush(stdout);
    }
    libusb_exit(ctx);
    return 0;
}
