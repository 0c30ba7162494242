// An ordinary libusb program, linked with the system's libusb-1.0, that shows
// what it was started with and which library answered: the tests run it with
// the simulator preloaded, and as the kestrun that kestrun-sim starts.
// Prints "describe=<libusb's description>", "LD_PRELOAD=<value>" and
// "devices=<vvvv:pppp ...>", then handles its arguments in order:
//   sh:CMD    runs CMD with the shell, the preload removed
//   other     printed as "arg=<argument>"
#include <libusb.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    libusb_context* ctx = nullptr;
    libusb_init(&ctx);
    const char* preload = getenv("LD_PRELOAD");
    printf("describe=%s\nLD_PRELOAD=%s\ndevices=", libusb_get_version()->describe,
           preload != nullptr ? preload : "");
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor desc;
        libusb_get_device_descriptor(list[i], &desc);
        printf("%s%04x:%04x", i > 0 ? " " : "", desc.idVendor, desc.idProduct);
    }
    libusb_free_device_list(list, 1);
    printf("\n");
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        fflush(stdout);
        if (arg.rfind("sh:", 0) == 0) {
            unsetenv("LD_PRELOAD");
            printf("status=%d\n", WEXITSTATUS(system(arg.c_str() + 3)));
        } else {
            printf("arg=%s\n", arg.c_str());
        }
    }
    libusb_exit(ctx);
    return 0;
}
