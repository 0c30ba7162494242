// The seam between the emulated libusb (sim/core) and the emulated adapter
// firmware (sim/fd, sim/classic and sim/record, on the shared plumbing of
// sim/firmware).
//
// The core owns the device list, handles, unplug/plug, the transcript and the
// control socket; a VirtualDevice only answers transfers the way its adapter's
// firmware does. Results are libusb error codes (LIBUSB_SUCCESS, LIBUSB_ERROR_*).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ksim {

class VirtualDevice {
  public:
    virtual ~VirtualDevice() = default;

    virtual uint16_t vendorId() const = 0;
    virtual uint16_t productId() const = 0;
    // Short model text for listings and the transcript, e.g. "ZARO3018".
    virtual std::string modelName() const = 0;

    // Host-to-device transfer on an OUT endpoint (interrupt or bulk, as the
    // endpoint is). Sets *transferred; returns a libusb code.
    virtual int transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned timeoutMs,
                            int* transferred) = 0;
    // Device-to-host transfer on an IN endpoint. Blocks (without spinning) up
    // to timeoutMs, 0 meaning no limit, until the firmware has data; returns
    // LIBUSB_ERROR_TIMEOUT when none came, LIBUSB_ERROR_NO_DEVICE when the
    // device was unplugged meanwhile.
    virtual int transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                           int* transferred) = 0;

    // libusb_reset_device: the firmware returns to its power-on state.
    virtual void usbReset() = 0;
    // Unplug (false) wakes every waiting transfer with LIBUSB_ERROR_NO_DEVICE
    // and refuses new ones; plug (true) powers the firmware on afresh.
    virtual void setAttached(bool attached) = 0;

    // A control command addressed to this device by kestrun-simctl or a test,
    // already split into words (e.g. {"inject", "0", ...}). Returns the reply
    // text; a reply starting with "error:" reports a refused command.
    virtual std::string control(const std::vector<std::string>& args) = 0;
};

// Creates the firmware for a USB identity; `ordinal` is the device's position
// among devices of the same identity. Returns null for identities that the
// simulator does not emulate.
std::unique_ptr<VirtualDevice> createVirtualDevice(uint16_t vendorId, uint16_t productId,
                                                   int ordinal);

// The identities createVirtualDevice knows, in the order the default device
// list uses when no configuration names any.
struct UsbIdentity {
    uint16_t vendorId;
    uint16_t productId;
    const char* name;  // e.g. "ZARO3018"
};
const std::vector<UsbIdentity>& emulatedIdentities();

}  // namespace ksim
