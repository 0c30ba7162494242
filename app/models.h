// Adapter models and bit-rate tables of the tool: model name <-> type code,
// CAN FD capability, the classic adapters' timing bytes and the bit rates the
// FD-family adapters accept. All lookups are pure and stateless.
#pragma once

#include <cstddef>
#include <cstdint>

// One entry of the extended classic timing table.
struct BaudRateTiming {
    uint32_t kbps;  // bit rate in kbit/s
    uint8_t timing0;
    uint8_t timing1;
    uint8_t reserved[2];  // zero
};
static_assert(sizeof(BaudRateTiming) == 8, "BaudRateTiming is 8 bytes");

constexpr size_t kBaudRateTableSize = 14;
// Extended timing table (5 kbit/s .. 1000 kbit/s), searched in order.
extern const BaudRateTiming g_baudrate_table[kBaudRateTableSize];

// Type code of a model name ("DUNLIN1", "ZARO3018", ...), matched exactly and
// case-sensitively; 0 for a null or unknown name.
uint32_t deviceTypeGetByName(const char* name);
// 0 when the model supports CAN FD, -1 otherwise (any type outside 41..67).
int32_t deviceFdIsSupport(uint32_t type);
// Model name of a type code; "Unknown" for a type without a model. Never null.
const char* deviceNameGetByType(uint32_t type);
// Classic adapters: BTR0/BTR1 for a bit rate in bit/s (50000 .. 1000000).
// Returns 0 and writes each non-null byte pointer, or -1 for another rate
// (nothing written).
int dunlin2GetTimingParams(uint32_t rate, uint8_t* timing0, uint8_t* timing1);
// Looks kbps up in g_baudrate_table. Returns 0 and writes each non-null byte
// pointer, or -1 when the rate is not in the table.
int get_baudrate_timing(uint32_t kbps, uint8_t* timing0, uint8_t* timing1);
// FD-family adapters: 0 when arbRate (bit/s) is an accepted arbitration rate,
// else -1. The data rate is not checked and the type does not matter.
int dunlinfd2ChkTimingParams(uint32_t type, uint32_t arbRate, uint32_t dataRate);
// Prints the supported bit rates, one log_info line each.
void hwDevBaudSupporList();
