// Firmware of the recorder adapters (0x0471:0x2601 and 0x0471:0x2602).
//
// A recorder is configured over USB and logs on its own; it takes no part in
// the bus traffic of the virtual adapters. Commands and answers travel on
// the bulk pair 0x01/0x81 (answers queue in order, the 16 newest kept). It keeps per channel the
// recording settings (the 25 bytes after the channel byte of the settings
// command, exactly as written) and a list of identifier filter entries with
// an enable flag. Settings and filters live in the recorder's non-volatile
// memory: a USB reset or a power cycle keeps them; "erase" wipes them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus/firmware_table.h"
#include "firmware/firmware_device.h"
#include "virtual_device.h"

namespace ksim::record {

std::unique_ptr<VirtualDevice> createRecordFirmware(const FirmwareModel& model, int ordinal);

constexpr uint8_t kEpCommandOut = 0x01;
constexpr uint8_t kEpCommandIn = 0x81;
constexpr int kChannels = 2;

// Requests: 0x55, code, then the command's bytes; answers repeat the first
// two bytes and carry a status byte at offset 3 (the settings read answer,
// which has none, excepted). The board queries (0x01, 0x12, 0x13) and the
// direct transfer (0x12 0xA7 and payload) are those of every family (see
// firmware/firmware_device.h).
constexpr uint8_t kPrefix = 0x55;
constexpr uint8_t kCmdWriteSettings = 0x03;
constexpr uint8_t kCmdFilter = 0x04;
constexpr uint8_t kCmdFilterRead = 0x05;
constexpr uint8_t kCmdReadSettings = 0xA4;

constexpr size_t kSettingsLength = 28;  // 55 03, channel, 25 setting bytes
constexpr size_t kSettingBytes = 25;    // bytes 3..27
constexpr size_t kFilterLength = 13;    // 55 04 op c t s0..s3 e0..e3
constexpr size_t kFilterEntries = 32;   // entries a channel holds

// Filter operations (byte 2 of command 0x04).
constexpr uint8_t kFilterClear = 0;
constexpr uint8_t kFilterAdd = 1;
constexpr uint8_t kFilterEnable = 2;
constexpr uint8_t kFilterDisable = 3;

constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusBadChannel = 0x01;
constexpr uint8_t kStatusBadParameter = 0x02;
constexpr uint8_t kStatusBadLength = 0x03;
constexpr uint8_t kStatusFilterFull = 0x05;
constexpr uint8_t kStatusMalformed = 0x7E;
constexpr uint8_t kStatusUnknown = 0x7F;

struct FilterEntry {
    uint8_t type = 0;  // carried as given
    uint32_t start = 0;
    uint32_t end = 0;
};

struct RecordChannelSnapshot {
    std::array<uint8_t, kSettingBytes> settings{};
    bool filterEnabled = false;
    std::vector<FilterEntry> filters;
};

struct RecordCounters : fwkit::CommandCounters {
    uint64_t refused = 0;  // answered with a status other than 0
};

class RecordFirmware final : public fwkit::FirmwareDevice {
  public:
    RecordFirmware(const FirmwareModel& model, int ordinal);

    RecordChannelSnapshot channel(int ch) const;
    RecordCounters counters() const;
    // Wipes settings and filters of both channels.
    void erase();

  private:
    struct Channel {
        std::array<uint8_t, kSettingBytes> settings{};
        bool filterEnabled = false;
        std::vector<FilterEntry> filters;
    };

    fwkit::CommandCounters& commandCounters() override { return counters_; }
    fwkit::Message executeCommand(const uint8_t* req, size_t len, bool apply,
                                  Clock::time_point now) override;
    void replyShaped(int code, const fwkit::Message& m) override;
    fwkit::Message filterReadReply(const uint8_t* req, size_t len) const;
    uint8_t checkSettings(const uint8_t* req) const;
    uint8_t applyFilter(const uint8_t* req, bool apply);

    const char* helpText() const override;
    std::string infoDetails() const override;
    std::string stateText(int ch) const override;
    std::string countersText() const override;
    std::optional<std::string> controlUnlocked(const std::vector<std::string>& args) override;

    std::array<Channel, kChannels> channels_;
    RecordCounters counters_;
};

}  // namespace ksim::record
