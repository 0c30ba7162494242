// The USB identities the simulator emulates and the firmware behind each.
//
// One row per identity; createVirtualDevice() and emulatedIdentities() read
// this table, and the wiring parser uses it to resolve model names. Classic
// and recorder firmware add their rows here with their own factories.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "virtual_device.h"

namespace ksim {

struct FirmwareModel;
using FirmwareFactory = std::unique_ptr<VirtualDevice> (*)(const FirmwareModel& model, int ordinal);

struct FirmwareModel {
    uint16_t vendorId;
    uint16_t productId;
    const char* name;        // listing name, e.g. "ZARO3018"
    int channels;            // CAN channels of the model
    uint16_t clockMhz;       // CAN controller clock
    uint16_t hwVersion;      // answered to the hardware version query
    uint16_t fwVersion;      // answered to the firmware version query
    FirmwareFactory create;  // builds the firmware for one device
};

// The row for a USB identity, or null.
const FirmwareModel* findFirmwareModel(uint16_t vendorId, uint16_t productId);
// The row for a model name (case-insensitive; the models that share one USB
// identity, e.g. DUNLINFD1 and DUNLINFD-Mini, all name that row), or null.
const FirmwareModel* findFirmwareModelByName(std::string_view name);

}  // namespace ksim
