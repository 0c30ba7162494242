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
//   transcript <path>|off   "ok"
// Failures reply with a single line starting "error:".
std::string executeControlCommand(const std::string& line);

}  // namespace ksim
