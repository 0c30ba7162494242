// Apart from fuzz_support.h: only programs with the simulator's libusb link it.
#include <string>

#include "core/sim_control.h"
#include "fuzz/targets/fuzz_support.h"

bool fuzz::attachDevices(const char* list) {
    std::string error;
    const bool ok = ksim::configureDevices(list, &error);
    if (!ok)
        std::fprintf(stderr, "fuzz: devices %s: %s\n", list, error.c_str());
    return ok;
}
