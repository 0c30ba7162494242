#include "app/models.h"

#include <array>
#include <cstring>

#include "app/console.h"
#include "kcan.h"

namespace {

struct ModelInfo {
    uint32_t type;
    const char* name;
    bool fd;
};

constexpr ModelInfo kModels[] = {
    {KCAN_TYPE_DUNLIN1, "DUNLIN1", false},
    {KCAN_TYPE_DUNLIN2, "DUNLIN2", false},
    {KCAN_TYPE_DUNLINFD2, "DUNLINFD2", true},
    {KCAN_TYPE_DUNLINFD1, "DUNLINFD1", true},
    {KCAN_TYPE_DUNLINFD_MINI, "DUNLINFD-Mini", true},
    {KCAN_TYPE_ZARO3014, "ZARO3014", true},
    {KCAN_TYPE_ZARO2014, "ZARO2014", false},
    {KCAN_TYPE_ZARO2018, "ZARO2018", false},
    {KCAN_TYPE_ZARO3018, "ZARO3018", true},
};

constexpr const char kUnknownName[] = "Unknown";

// Name table indexed by type - kFirstNamedType, built from kModels.
constexpr uint32_t kFirstNamedType = 3;
constexpr uint32_t kLastNamedType = 67;
constexpr size_t kNameTableSize = kLastNamedType - kFirstNamedType + 1;

constexpr std::array<const char*, kNameTableSize> makeNameTable() {
    std::array<const char*, kNameTableSize> table{};
    for (auto& name : table) {
        name = kUnknownName;
    }
    for (const ModelInfo& m : kModels) {
        table[m.type - kFirstNamedType] = m.name;
    }
    return table;
}
constexpr auto kNameTable = makeNameTable();
static_assert(kNameTable.size() == 65, "name table covers types 3..67");

// CAN FD capability indexed by type - kFirstFdTableType: 0 supported, -1 not.
constexpr uint32_t kFirstFdTableType = 41;
constexpr uint32_t kLastFdTableType = 67;
constexpr size_t kFdTableSize = kLastFdTableType - kFirstFdTableType + 1;

constexpr std::array<int32_t, kFdTableSize> makeFdTable() {
    std::array<int32_t, kFdTableSize> table{};
    for (auto& entry : table) {
        entry = -1;
    }
    for (const ModelInfo& m : kModels) {
        if (m.fd) {
            table[m.type - kFirstFdTableType] = 0;
        }
    }
    return table;
}
constexpr auto kFdTable = makeFdTable();
static_assert(kFdTable.size() == 27, "FD table covers types 41..67");

// SJA1000-compatible BTR0/BTR1 at 16 MHz for the classic adapters.
struct ClassicTiming {
    uint32_t rate;  // bit/s
    uint8_t timing0;
    uint8_t timing1;
};
constexpr ClassicTiming kClassicTimings[] = {
    {50000, 0x09, 0x1C},  {100000, 0x04, 0x1C}, {125000, 0x03, 0x1C},  {250000, 0x01, 0x1C},
    {500000, 0x00, 0x1C}, {800000, 0x00, 0x16}, {1000000, 0x00, 0x14},
};

constexpr uint32_t kFdArbitrationRates[] = {50000, 100000, 125000, 250000, 500000, 800000, 1000000};

constexpr const char* kBaudListLines[] = {
    "DUNLIN1/DUNLIN2/ZARO2014/ZARO2018支持波特率(arb-rate):",
    "50000/100000/125000/250000/500000/800000/1000000Hz",
    "DUNLINFD-Mini/DUNLINFD1/DUNLINFD2/ZARO3014/ZAR3018支持波特率如下:",
    "仲裁域(arb-rate)->",
    "50000/100000/125000/250000/500000/800000/1000000Hz",
    "数据域(data-rate)->",
    "50000/100000/125000/250000/500000/800000/1000000/2000000/4000000/5000000Hz",
};

}  // namespace

const BaudRateTiming g_baudrate_table[kBaudRateTableSize] = {
    {5, 0xBF, 0xFF, {0, 0}},   {10, 0x31, 0x1C, {0, 0}},   {20, 0x18, 0x1C, {0, 0}},
    {40, 0x87, 0xFF, {0, 0}},  {50, 0x09, 0x1C, {0, 0}},   {80, 0x83, 0xFF, {0, 0}},
    {100, 0x04, 0x1C, {0, 0}}, {125, 0x03, 0x1C, {0, 0}},  {250, 0x01, 0x1C, {0, 0}},
    {400, 0x80, 0xFA, {0, 0}}, {500, 0x00, 0x1C, {0, 0}},  {666, 0x80, 0xB6, {0, 0}},
    {800, 0x00, 0x16, {0, 0}}, {1000, 0x00, 0x14, {0, 0}},
};

uint32_t deviceTypeGetByName(const char* name) {
    if (name == nullptr) {
        return 0;
    }
    for (const ModelInfo& m : kModels) {
        if (strcmp(name, m.name) == 0) {
            return m.type;
        }
    }
    return 0;
}

int32_t deviceFdIsSupport(uint32_t type) {
    if (type < kFirstFdTableType || type > kLastFdTableType) {
        return -1;
    }
    return kFdTable[type - kFirstFdTableType];
}

const char* deviceNameGetByType(uint32_t type) {
    if (type < kFirstNamedType || type > kLastNamedType) {
        return kUnknownName;
    }
    return kNameTable[type - kFirstNamedType];
}

int dunlin2GetTimingParams(uint32_t rate, uint8_t* timing0, uint8_t* timing1) {
    for (const ClassicTiming& t : kClassicTimings) {
        if (t.rate == rate) {
            if (timing0 != nullptr) {
                *timing0 = t.timing0;
            }
            if (timing1 != nullptr) {
                *timing1 = t.timing1;
            }
            return 0;
        }
    }
    return -1;
}

int get_baudrate_timing(uint32_t kbps, uint8_t* timing0, uint8_t* timing1) {
    for (const BaudRateTiming& t : g_baudrate_table) {
        if (t.kbps == kbps) {
            if (timing0 != nullptr) {
                *timing0 = t.timing0;
            }
            if (timing1 != nullptr) {
                *timing1 = t.timing1;
            }
            return 0;
        }
    }
    return -1;
}

int dunlinfd2ChkTimingParams(uint32_t /*type*/, uint32_t arbRate, uint32_t /*dataRate*/) {
    for (uint32_t rate : kFdArbitrationRates) {
        if (rate == arbRate) {
            return 0;
        }
    }
    return -1;
}

void hwDevBaudSupporList() {
    for (const char* line : kBaudListLines) {
        log_info("%s", line);
    }
}
