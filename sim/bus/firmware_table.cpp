#include "bus/firmware_table.h"

#include <cctype>
#include <string>

#include "classic/classic_firmware.h"
#include "fd/fd_firmware.h"
#include "record/record_firmware.h"

namespace ksim {

namespace {

// Rows in the order of the default device list.
const FirmwareModel kModels[] = {
    {0x3068, 0x0009, "DUNLINFD2", 2, 60, 0x0110, 0x0205, &fd::createFdFirmware},
    {0x0471, 0x3014, "ZARO3014", 4, 60, 0x0120, 0x0301, &fd::createFdFirmware},
    {0x0471, 0x2014, "ZARO2014", 4, 60, 0x0120, 0x0301, &fd::createFdFirmware},
    {0x0471, 0x2018, "ZARO2018", 8, 80, 0x0130, 0x0302, &fd::createFdFirmware},
    {0x0471, 0x3018, "ZARO3018", 8, 80, 0x0130, 0x0302, &fd::createFdFirmware},
    {0x0471, 0x1200, "DUNLIN2", 2, 16, 0x0200, 0x0104, &classic::createClassicFirmware},
    {0x0471, 0x2601, "CANRECORD1", 2, 80, 0x0100, 0x0102, &record::createRecordFirmware},
    {0x0471, 0x2602, "CANRECORD2", 2, 80, 0x0110, 0x0102, &record::createRecordFirmware},
};

// Models that share another model's USB identity.
struct Alias {
    const char* name;
    uint16_t vendorId;
    uint16_t productId;
};
const Alias kAliases[] = {
    {"DUNLINFD1", 0x3068, 0x0009},
    {"DUNLINFD-Mini", 0x3068, 0x0009},
    {"DUNLINFD", 0x3068, 0x0009},
    {"DUNLIN1", 0x0471, 0x1200},
};

bool sameName(std::string_view a, const char* b) {
    const std::string_view bv(b);
    if (a.size() != bv.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(bv[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

const FirmwareModel* findFirmwareModel(uint16_t vendorId, uint16_t productId) {
    for (const FirmwareModel& m : kModels) {
        if (m.vendorId == vendorId && m.productId == productId) {
            return &m;
        }
    }
    return nullptr;
}

const FirmwareModel* findFirmwareModelByName(std::string_view name) {
    for (const FirmwareModel& m : kModels) {
        if (sameName(name, m.name)) {
            return &m;
        }
    }
    for (const Alias& a : kAliases) {
        if (sameName(name, a.name)) {
            return findFirmwareModel(a.vendorId, a.productId);
        }
    }
    return nullptr;
}

std::unique_ptr<VirtualDevice> createVirtualDevice(uint16_t vendorId, uint16_t productId,
                                                   int ordinal) {
    const FirmwareModel* model = findFirmwareModel(vendorId, productId);
    if (model == nullptr || ordinal < 0) {
        return nullptr;
    }
    return model->create(*model, ordinal);
}

const std::vector<UsbIdentity>& emulatedIdentities() {
    static const std::vector<UsbIdentity> identities = [] {
        std::vector<UsbIdentity> list;
        for (const FirmwareModel& m : kModels) {
            list.push_back(UsbIdentity{m.vendorId, m.productId, m.name});
        }
        return list;
    }();
    return identities;
}

}  // namespace ksim
