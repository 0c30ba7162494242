// The libusb-1.0 functions, with libusb's names, signatures and result codes,
// answered by the virtual adapters. Loaded ahead of the real library (or
// linked in its place) they make a program talk to the simulator.
#include <libusb.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control_server.h"
#include "simulator.h"
#include "transcript.h"

using ksim::core::Counters;
using ksim::core::Simulator;
using ksim::core::Slot;
using ksim::core::transcript;
using ksim::core::TransferKind;

namespace {

// libusb's texts, indexed by -code for 0..-12; table size follows the codes.
constexpr int kLastErrorCode = -LIBUSB_ERROR_NOT_SUPPORTED;
const char* const kErrorTexts[kLastErrorCode + 1] = {
    "Success",
    "Input/Output Error",
    "Invalid parameter",
    "Access denied (insufficient permissions)",
    "No such device (it may have been disconnected)",
    "Entity not found",
    "Resource busy",
    "Operation timed out",
    "Overflow",
    "Pipe error",
    "System call interrupted (perhaps due to signal)",
    "Insufficient memory",
    "Operation not supported or unimplemented on this platform",
};
const char* const kErrorNames[kLastErrorCode + 1] = {
    "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED",
    "LIBUSB_ERROR_IO",
    "LIBUSB_ERROR_INVALID_PARAM",
    "LIBUSB_ERROR_ACCESS",
    "LIBUSB_ERROR_NO_DEVICE",
    "LIBUSB_ERROR_NOT_FOUND",
    "LIBUSB_ERROR_BUSY",
    "LIBUSB_ERROR_TIMEOUT",
    "LIBUSB_ERROR_OVERFLOW",
    "LIBUSB_ERROR_PIPE",
    "LIBUSB_ERROR_INTERRUPTED",
    "LIBUSB_ERROR_NO_MEM",
    "LIBUSB_ERROR_NOT_SUPPORTED",
};
// Transfer status names for the positive codes libusb_error_name accepts.
const char* const kTransferStatusNames[] = {
    "LIBUSB_TRANSFER_COMPLETED", "LIBUSB_TRANSFER_ERROR", "LIBUSB_TRANSFER_TIMED_OUT",
    "LIBUSB_TRANSFER_CANCELLED", "LIBUSB_TRANSFER_STALL", "LIBUSB_TRANSFER_NO_DEVICE",
    "LIBUSB_TRANSFER_OVERFLOW",
};

Slot& slotOf(libusb_device_handle* handle) {
    return *handle->device->slot;
}

// Counts a transfer in and out of the firmware (see Slot::enter).
class Gate {
  public:
    Gate(Slot& slot, uint64_t generation) : slot_(slot), open_(slot.enter(generation)) {}
    ~Gate() {
        if (open_) {
            slot_.leave();
        }
    }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
    explicit operator bool() const { return open_; }

  private:
    Slot& slot_;
    bool open_;
};

// An IN transfer through the cut switch: bytes an earlier cut kept back come
// first, without asking the firmware; a cut keeps back what goes past it.
int transferIn(Slot& slot, uint8_t endpoint, uint8_t* data, int length, unsigned timeout,
               int* moved) {
    int result = LIBUSB_SUCCESS;
    *moved = slot.takeHeld(endpoint, data, length);
    if (*moved == 0) {
        result = slot.firmware().transferIn(endpoint, data, length, timeout, moved);
        *moved = std::clamp(*moved, 0, length);  // a firmware fault must not reach the caller
    }
    ksim::TransferCut cut;
    if (result == LIBUSB_SUCCESS && slot.takeCut(endpoint, *moved, &cut)) {
        slot.holdBack(endpoint, data + cut.bytes, *moved - cut.bytes);
        *moved = cut.bytes;
        result = cut.result;
    }
    return result;
}

// An OUT transfer through the cut switch: only the first part of a cut one
// reaches the firmware.
int transferOut(Slot& slot, uint8_t endpoint, const uint8_t* data, int length, unsigned timeout,
                int* moved) {
    ksim::TransferCut cut;
    if (!slot.takeCut(endpoint, length, &cut)) {
        const int result = slot.firmware().transferOut(endpoint, data, length, timeout, moved);
        *moved = std::clamp(*moved, 0, length);
        return result;
    }
    int result = LIBUSB_SUCCESS;
    if (cut.bytes > 0) {
        result = slot.firmware().transferOut(endpoint, data, cut.bytes, timeout, moved);
        *moved = std::clamp(*moved, 0, cut.bytes);
    }
    return result == LIBUSB_SUCCESS ? cut.result : result;
}

int transfer(TransferKind kind, libusb_device_handle* handle, unsigned char endpoint,
             unsigned char* data, int length, int* transferred, unsigned int timeout) {
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (handle == nullptr || length < 0 || (length > 0 && data == nullptr)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    Slot& slot = slotOf(handle);
    const bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    int moved = 0;
    int result = LIBUSB_ERROR_NO_DEVICE;
    {
        Gate gate(slot, handle->generation);
        if (gate) {
            result = in ? transferIn(slot, endpoint, data, length, timeout, &moved)
                        : transferOut(slot, endpoint, data, length, timeout, &moved);
        }
    }

    Counters& counters = slot.counters();
    (in ? counters.transfersIn : counters.transfersOut).fetch_add(1, std::memory_order_relaxed);
    (in ? counters.bytesIn : counters.bytesOut)
        .fetch_add(static_cast<uint64_t>(moved), std::memory_order_relaxed);
    if (result == LIBUSB_ERROR_TIMEOUT) {
        counters.timeouts.fetch_add(1, std::memory_order_relaxed);
    } else if (result != LIBUSB_SUCCESS) {
        counters.failures.fetch_add(1, std::memory_order_relaxed);
    }
    if (transcript().enabled()) {
        transcript().write(ksim::core::formatTransferLine(slot.tag(), kind, endpoint, length,
                                                          result, moved, data));
    }
    if (transferred != nullptr) {
        *transferred = moved;
    }
    return result;
}

void writeEvent(Slot& slot, const char* event, int endpoint, bool hasResult, int result) {
    if (transcript().enabled()) {
        transcript().write(
            ksim::core::formatEventLine(slot.tag(), event, endpoint, hasResult, result));
    }
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    Simulator& simulator = Simulator::instance();
    ksim::core::startControlServerFromEnvironment();
    if (ctx == nullptr) {
        simulator.createContext(true);
    } else {
        *ctx = simulator.createContext(false);
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
    Simulator::instance().destroyContext(ctx);
}

void LIBUSB_CALL libusb_set_debug(libusb_context* /*ctx*/, int /*level*/) {}

int LIBUSB_CALL libusb_set_option(libusb_context* /*ctx*/, enum libusb_option option, ...) {
    switch (option) {
        case LIBUSB_OPTION_LOG_LEVEL:
        case LIBUSB_OPTION_NO_DEVICE_DISCOVERY:
            return LIBUSB_SUCCESS;
        case LIBUSB_OPTION_USE_USBDK:
            return LIBUSB_ERROR_NOT_SUPPORTED;  // a Windows option
        default:
            return LIBUSB_ERROR_INVALID_PARAM;
    }
}

const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
    // The libusb release whose interface this follows; "describe" tells a
    // program (or a person debugging one) that the simulator answered.
    static const libusb_version kVersion = {1, 0, 26, 0, "", "kestrun-usbsim virtual adapters"};
    return &kVersion;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
    return capability == LIBUSB_CAP_HAS_CAPABILITY ? 1 : 0;
}

const char* LIBUSB_CALL libusb_error_name(int errcode) {
    if (errcode <= 0 && errcode >= -kLastErrorCode) {
        return kErrorNames[-errcode];
    }
    if (errcode == LIBUSB_ERROR_OTHER) {
        return "LIBUSB_ERROR_OTHER";
    }
    if (errcode > 0 && errcode <= LIBUSB_TRANSFER_OVERFLOW) {
        return kTransferStatusNames[errcode];
    }
    return "**UNKNOWN**";
}

int LIBUSB_CALL libusb_setlocale(const char* locale) {
    // Only the English texts exist here.
    if (locale == nullptr || strncmp(locale, "en", 2) != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return LIBUSB_SUCCESS;
}

const char* LIBUSB_CALL libusb_strerror(int errcode) {
    if (errcode <= 0 && errcode >= -kLastErrorCode) {
        return kErrorTexts[-errcode];
    }
    return "Other error";
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    if (list == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    Simulator& simulator = Simulator::instance();
    if (!simulator.isValidContext(ctx)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const auto slots = simulator.slots();
    auto** devices = static_cast<libusb_device**>(calloc(slots.size() + 1, sizeof(libusb_device*)));
    if (devices == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    ssize_t count = 0;
    for (const auto& slot : slots) {
        if (libusb_device* device = slot->referenceDevice()) {
            devices[count++] = device;
        }
    }
    *list = devices;
    return count;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (list == nullptr) {
        return;
    }
    if (unref_devices != 0) {
        for (libusb_device** p = list; *p != nullptr; ++p) {
            ksim::core::unreferenceDevice(*p);
        }
    }
    free(list);
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
    if (dev != nullptr) {
        dev->references.fetch_add(1, std::memory_order_relaxed);
    }
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
    ksim::core::unreferenceDevice(dev);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev,
                                             struct libusb_device_descriptor* desc) {
    if (dev == nullptr || desc == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const ksim::core::DeviceTag& tag = dev->slot->tag();
    memset(desc, 0, sizeof(*desc));
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bDeviceClass = LIBUSB_CLASS_VENDOR_SPEC;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = tag.vendorId;
    desc->idProduct = tag.productId;
    desc->bcdDevice = 0x0100;
    desc->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* /*dev*/) {
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) {
    return dev == nullptr ? 0 : static_cast<uint8_t>(1 + dev->slot->tag().position % 255);
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
    return dev == nullptr ? 0 : dev->address;
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    if (dev == nullptr || dev_handle == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    Slot& slot = *dev->slot;
    if (!slot.isCurrent(dev->generation)) {
        writeEvent(slot, "open", -1, true, LIBUSB_ERROR_NO_DEVICE);
        return LIBUSB_ERROR_NO_DEVICE;
    }
    auto* handle = new libusb_device_handle;
    handle->device = libusb_ref_device(dev);
    handle->generation = dev->generation;
    slot.counters().opens.fetch_add(1, std::memory_order_relaxed);
    writeEvent(slot, "open", -1, true, LIBUSB_SUCCESS);
    *dev_handle = handle;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle) {
    if (dev_handle == nullptr) {
        return;
    }
    writeEvent(slotOf(dev_handle), "close", -1, false, 0);
    ksim::core::unreferenceDevice(dev_handle->device);
    delete dev_handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* dev_handle) {
    return dev_handle == nullptr ? nullptr : dev_handle->device;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx,
                                                                  uint16_t vendor_id,
                                                                  uint16_t product_id) {
    libusb_device** list = nullptr;
    if (libusb_get_device_list(ctx, &list) < 0) {
        return nullptr;
    }
    libusb_device_handle* handle = nullptr;
    for (libusb_device** p = list; *p != nullptr; ++p) {
        const ksim::core::DeviceTag& tag = (*p)->slot->tag();
        if (tag.vendorId == vendor_id && tag.productId == product_id) {
            if (libusb_open(*p, &handle) != LIBUSB_SUCCESS) {
                handle = nullptr;
            }
            break;
        }
    }
    libusb_free_device_list(list, 1);
    return handle;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    if (dev_handle == nullptr || interface_number < 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    return slotOf(dev_handle).isCurrent(dev_handle->generation) ? LIBUSB_SUCCESS
                                                                : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    return libusb_claim_interface(dev_handle, interface_number);
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* dev_handle, unsigned char endpoint) {
    if (dev_handle == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    Slot& slot = slotOf(dev_handle);
    const int result =
        slot.isCurrent(dev_handle->generation) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
    if (result == LIBUSB_SUCCESS) {
        slot.counters().clearHalts.fetch_add(1, std::memory_order_relaxed);
    }
    writeEvent(slot, "clear_halt", endpoint, true, result);
    return result;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* dev_handle) {
    if (dev_handle == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    Slot& slot = slotOf(dev_handle);
    // libusb reports a device that has gone as NOT_FOUND here.
    int result = LIBUSB_ERROR_NOT_FOUND;
    {
        Gate gate(slot, dev_handle->generation);
        if (gate) {
            slot.dropHeld();
            slot.firmware().usbReset();
            slot.counters().resets.fetch_add(1, std::memory_order_relaxed);
            result = LIBUSB_SUCCESS;
        }
    }
    writeEvent(slot, "reset", -1, true, result);
    return result;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* actual_length,
                                     unsigned int timeout) {
    return transfer(TransferKind::Bulk, dev_handle, endpoint, data, length, actual_length, timeout);
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                          unsigned char* data, int length, int* actual_length,
                                          unsigned int timeout) {
    return transfer(TransferKind::Interrupt, dev_handle, endpoint, data, length, actual_length,
                    timeout);
}

}  // extern "C"
