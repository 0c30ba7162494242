// Firmware of the recorder adapters (0x0471:0x2601 and 0x0471:0x2602).
//
// A recorder is configured over USB and logs on its own; it takes no part in
// the bus traffic of the virtual adapters. Commands and answers travel on
// the bulk pair 0x01/0x81 (answers queue in order). It keeps per channel the
// recording settings (the 25 bytes after the channel byte of the settings
// command, exactly as written) and a list of identifier filter entries with
// an enable flag. Settings and filters live in the recorder's non-volatile
// memory: a USB reset or a power cycle keeps them; "erase" wipes them.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bus/firmware_table.h"
#include "bus/fw_common.h"
#include "virtual_device.h"

namespace ksim::record {

std::unique_ptr<VirtualDevice> createRecordFirmware(const FirmwareModel& model, int ordinal);

constexpr uint8_t kEpCommandOut = 0x01;
constexpr uint8_t kEpCommandIn = 0x81;
constexpr int kChannels = 2;

// Requests: 0x55, code, then the command's bytes; answers repeat the first
// two bytes and carry a status byte at offset 3 (the settings read answer,
// which has none, excepted). The direct transfer is 0x12 0xA7 and payload.
constexpr uint8_t kPrefix = 0x55;
constexpr uint8_t kCmdHwVersion = 0x01;
constexpr uint8_t kCmdWriteSettings = 0x03;
constexpr uint8_t kCmdFilter = 0x04;
constexpr uint8_t kCmdFilterRead = 0x05;
constexpr uint8_t kCmdFwVersion = 0x12;
constexpr uint8_t kCmdChannelCount = 0x13;
constexpr uint8_t kCmdReadSettings = 0xA4;
constexpr uint8_t kDirectTag0 = 0x12;
constexpr uint8_t kDirectTag1 = 0xA7;

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

struct RecordCounters {
    uint64_t commands = 0;
    uint64_t replies = 0;
    uint64_t suppressedReplies = 0;
    uint64_t malformed = 0;
    uint64_t refused = 0;  // answered with a status other than 0
};

class RecordFirmware final : public VirtualDevice {
  public:
    using Clock = fwkit::Clock;

    // Unread answers kept; older ones are dropped.
    static constexpr size_t kReplyQueueLimit = 16;

    RecordFirmware(const FirmwareModel& model, int ordinal);

    uint16_t vendorId() const override { return model_.vendorId; }
    uint16_t productId() const override { return model_.productId; }
    std::string modelName() const override { return model_.name; }
    int transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned timeoutMs,
                    int* transferred) override;
    int transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                   int* transferred) override;
    void usbReset() override;
    void setAttached(bool attached) override;
    std::string control(const std::vector<std::string>& args) override;

    RecordChannelSnapshot channel(int ch) const;
    RecordCounters counters() const;
    // Wipes settings and filters of both channels.
    void erase();

    void setNoReply(uint8_t code, bool on);
    void setReplyStatus(uint8_t code, std::optional<uint8_t> status);
    void setForeignReply(uint8_t code, std::optional<uint8_t> replyCode);
    void setReplyTruncate(uint8_t code, std::optional<uint8_t> length);
    void setReplyLatencyUs(uint32_t us);
    void clearFaults();

  private:
    struct Channel {
        std::array<uint8_t, kSettingBytes> settings{};
        bool filterEnabled = false;
        std::vector<FilterEntry> filters;
    };

    void handleCommand(const uint8_t* req, size_t len, Clock::time_point now);
    fwkit::Message executeCommand(const uint8_t* req, size_t len, bool apply);
    uint8_t checkSettings(const uint8_t* req) const;
    uint8_t applyFilter(const uint8_t* req, bool apply);
    std::string stateText(int ch) const;

    const FirmwareModel& model_;
    const int ordinal_;

    mutable std::mutex mu_;
    std::condition_variable replyCv_;
    bool attached_ = true;
    Clock::time_point powerOn_;
    std::array<Channel, kChannels> channels_;
    std::deque<fwkit::Message> replies_;
    fwkit::CommandFaults faults_;
    RecordCounters counters_;
};

}  // namespace ksim::record
