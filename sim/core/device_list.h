// The device list of the virtual adapters: which adapters are attached, in
// which order. Written as in the environment variable KESTRUN_SIM:
//
//   list  := "" | item { "," item }
//   item  := identity [ "*" count ]
//   identity := model name (any case, e.g. "ZARO3018") | "vvvv:pppp" (hex USB ids)
//   count := 1..256 (decimal)
//
// Blanks around items, names and counts are ignored. An empty or blank list
// means no adapters at all. Examples:
//   "ZARO3018*2,DUNLINFD2"    two ZARO3018, then one DUNLINFD2
//   "0471:3018, 3068:0009*3"  one 0471:3018, then three 3068:0009
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "virtual_device.h"

namespace ksim::core {

// Most adapters one device list may attach.
constexpr int kMaxDevices = 256;

struct DeviceListEntry {
    uint16_t vendorId;
    uint16_t productId;
    std::string model;  // the identity's name from the known list
    int ordinal;        // position among the entries with the same USB ids
};

// Parses a device list against the identities that have firmware. On success
// fills *entries in list order and returns true. On a syntax error, an
// unknown name or id, or too many devices returns false with a one-line
// reason in *error (and *entries empty).
bool parseDeviceList(std::string_view text, const std::vector<UsbIdentity>& known,
                     std::vector<DeviceListEntry>* entries, std::string* error);

// "vvvv:pppp" of a USB identity, lower-case hex.
std::string formatUsbId(uint16_t vendorId, uint16_t productId);

}  // namespace ksim::core
