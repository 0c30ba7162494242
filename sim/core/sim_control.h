// Control of the virtual adapters from inside the process (tests), and the
// text commands that the control socket and kestrun-simctl carry.
//
// Devices are addressed by their position in the device list (0-based, in
// KESTRUN_SIM order), which stays the same while devices come and go.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ksim {

// The simulator's own counts for one device (the firmware keeps its own).
struct TransferCounters {
    uint64_t opens = 0;
    uint64_t resets = 0;
    uint64_t clearHalts = 0;
    uint64_t transfersOut = 0;  // interrupt and bulk, failed ones included
    uint64_t transfersIn = 0;
    uint64_t bytesOut = 0;  // bytes the firmware accepted
    uint64_t bytesIn = 0;   // bytes the firmware delivered
    uint64_t timeouts = 0;
    uint64_t failures = 0;  // failed transfers other than time-outs
};

struct DeviceStatus {
    int position = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string model;
    int ordinal = 0;  // index among devices with the same USB ids
    bool attached = false;
    TransferCounters counters;
};

// Replaces all devices by a device list in KESTRUN_SIM syntax (see
// docs/SIMULATOR.md). Old devices are unplugged for good. On a bad list returns
// false with the reason in *error and changes nothing.
bool configureDevices(const std::string& list, std::string* error = nullptr);

std::vector<DeviceStatus> listDevices();

// False with a reason (no such device, already in that state).
bool unplugDevice(int position, std::string* error = nullptr);
bool plugDevice(int position, std::string* error = nullptr);

// A fault switch between the program and a device's firmware, as a libusb
// transfer that ends with an error after some of its packets moved (libusb
// reports the error and sets *transferred). A transfer on `endpoint` that
// would move more than `bytes` bytes moves only the first `bytes` and returns
// `result`; the switch returns at once instead of waiting out a time-out.
// IN: the rest stays in the device and comes first in the next reads of that
// endpoint (a USB reset or an unplug drops it, as it does the device's own
// queues). OUT: only the first `bytes` reach the firmware.
struct TransferCut {
    uint8_t endpoint = 0;
    int bytes = 0;
    int times = 1;    // transfers to cut; 0 = every one until cleared
    int result = -7;  // a negative libusb code; LIBUSB_ERROR_TIMEOUT by default
};

// One switch per device: setting one replaces the last. False with a reason
// (no such device, negative bytes or times, a result that is not negative).
bool setTransferCut(int position, const TransferCut& cut, std::string* error = nullptr);
bool clearTransferCut(int position, std::string* error = nullptr);

// Passes words to the device's firmware and returns its reply; a reply that
// starts with "error:" is a refusal.
std::string controlDevice(int position, const std::vector<std::string>& words);

// Appends the transcript to path from now on; "" stops it.
bool setTranscript(const std::string& path, std::string* error = nullptr);

// Runs one command line of the control protocol and returns the reply lines
// (joined by '\n', without a final line end). Commands:
//   help                    the command list
//   list                    one line per device: "<pos> <model> <vvvv:pppp> #<ordinal>
//                           plugged|unplugged", or "no devices"
//   counters <pos>          the simulator's counts for the device
//   unplug <pos>            "ok"
//   plug <pos>              "ok"
//   dev <pos> <words...>    the device firmware's reply to the words
//   cut <pos> <ep> <bytes> [<times>] [rc=<code>]
//                           "ok"; a TransferCut (ep in hex, the rest decimal)
//   cut <pos> off           "ok"; clears it
//   transcript <path>|off   "ok"
// Failures reply with a single line starting "error:".
std::string executeControlCommand(const std::string& line);

}  // namespace ksim
