#include "record/record_firmware.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "firmware/control_words.h"

namespace ksim::record {

std::unique_ptr<VirtualDevice> createRecordFirmware(const FirmwareModel& model, int ordinal) {
    return std::make_unique<RecordFirmware>(model, ordinal);
}

namespace {

using fwkit::error;
using fwkit::lower;
using fwkit::Message;

const char kHelp[] =
    "commands: info | state <ch> | counters | reset | erase"
    " | fault noreply <code> [on|off] | fault noreply off"
    " | fault status <code> <byte|off> | fault status off"
    " | fault foreign <code> <code|off> | fault foreign off"
    " | fault truncate <code> <len|off> | fault truncate off"
    " | fault latency <us> | fault clear | faults";

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// No data endpoint: a recorder takes no part in the bus traffic.
constexpr fwkit::CommandChannel kCommandChannel{.requestEndpoint = kEpCommandOut,
                                                .replyEndpoint = kEpCommandIn,
                                                .dataEndpoint = 0,
                                                .replyLimit = 16,
                                                .requestDropsUnread = false,
                                                .truncateInDecimal = false,
                                                .versionsBigEndian = false};

}  // namespace

RecordFirmware::RecordFirmware(const FirmwareModel& model, int ordinal)
    : FirmwareDevice(model, ordinal, kCommandChannel) {}

void RecordFirmware::replyShaped(int code, const Message& m) {
    if (m.length > 3 && m.bytes[3] != kStatusOk && code != kCmdReadSettings) {
        ++counters_.refused;
    }
}

Message RecordFirmware::executeCommand(const uint8_t* req, size_t len, bool apply,
                                       Clock::time_point) {
    if (len < 3 || req[0] != kPrefix) {
        return malformedReply(req, len, kStatusMalformed);
    }
    const uint8_t code = req[1];
    if (std::optional<Message> board = boardQueryReply(kPrefix, code)) {
        return *board;
    }
    switch (code) {
        case kCmdWriteSettings: {
            if (len < kSettingsLength) {
                return malformedReply(req, len, kStatusBadLength);
            }
            const uint8_t status = checkSettings(req);
            if (status == kStatusOk && apply) {
                std::memcpy(channels_[req[2]].settings.data(), req + 3, kSettingBytes);
            }
            return statusReply(kPrefix, code, status, {req[2]});
        }
        case kCmdReadSettings: {
            const uint8_t ch = req[2];
            if (ch >= kChannels) {
                return shortReply(req, len, kStatusBadChannel);
            }
            // No status: the channel, then the settings as they were written.
            Message m = bytesReply({kPrefix, code, ch});
            std::memcpy(m.bytes.data() + 3, channels_[ch].settings.data(), kSettingBytes);
            m.length = kSettingsLength;
            return m;
        }
        case kCmdFilter:
            if (len < kFilterLength) {
                return malformedReply(req, len, kStatusBadLength);
            }
            return statusReply(kPrefix, code, applyFilter(req, apply), {req[2], req[3]});
        case kCmdFilterRead:
            if (len < 6) {
                return malformedReply(req, len, kStatusBadLength);
            }
            return filterReadReply(req, len);
        default:
            return shortReply(req, len, kStatusUnknown);
    }
}

Message RecordFirmware::filterReadReply(const uint8_t* req, size_t len) const {
    const uint8_t ch = req[3];
    if (ch >= kChannels) {
        return shortReply(req, len, kStatusBadChannel);
    }
    const Channel& c = channels_[ch];
    if (req[2] == 0) {
        const size_t n = c.filters.size();
        return statusReply(kPrefix, kCmdFilterRead, kStatusOk,
                           {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                            static_cast<uint8_t>(c.filterEnabled ? 1 : 0)});
    }
    if (req[2] == 1) {
        const uint16_t index = le16(req + 4);
        if (index >= c.filters.size()) {
            return shortReply(req, len, kStatusBadParameter);
        }
        const FilterEntry& e = c.filters[index];
        uint8_t entry[9] = {e.type};
        putLe32(entry + 1, e.start);
        putLe32(entry + 5, e.end);
        return statusReply(kPrefix, kCmdFilterRead, kStatusOk, entry, sizeof entry);
    }
    return shortReply(req, len, kStatusBadParameter);
}

uint8_t RecordFirmware::checkSettings(const uint8_t* req) const {
    if (req[2] >= kChannels) {
        return kStatusBadChannel;
    }
    // Clock words carry 8-bit values; each timing field must fit its width:
    // prescaler 10 bits, jump width 7, segment 1 8, segment 2 7.
    for (size_t base : {size_t{6}, size_t{15}}) {
        const uint8_t* p = req + base;
        if (p[1] != 0 || le16(p + 2) > 0x3FF || p[4] > 0x7F || le16(p + 5) > 0xFF ||
            le16(p + 7) > 0x7F) {
            return kStatusBadParameter;
        }
    }
    return kStatusOk;
}

uint8_t RecordFirmware::applyFilter(const uint8_t* req, bool apply) {
    const uint8_t op = req[2];
    const uint8_t ch = req[3];
    if (ch >= kChannels) {
        return kStatusBadChannel;
    }
    Channel& c = channels_[ch];
    switch (op) {
        case kFilterClear:
            if (apply) {
                c.filters.clear();
                c.filterEnabled = false;
            }
            return kStatusOk;
        case kFilterEnable:
        case kFilterDisable:
            if (apply) {
                c.filterEnabled = op == kFilterEnable;
            }
            return kStatusOk;
        case kFilterAdd: {
            FilterEntry e;
            e.type = req[4];
            e.start = le32(req + 5);
            e.end = le32(req + 9);
            if (e.start > e.end || e.end > 0x1FFFFFFF) {
                return kStatusBadParameter;
            }
            if (c.filters.size() >= kFilterEntries) {
                return kStatusFilterFull;
            }
            if (apply) {
                c.filters.push_back(e);
            }
            return kStatusOk;
        }
        default:
            return kStatusBadParameter;
    }
}

RecordChannelSnapshot RecordFirmware::channel(int ch) const {
    std::lock_guard lock(mu_);
    if (!hasChannel(ch)) {
        return {};
    }
    const Channel& c = channels_[static_cast<size_t>(ch)];
    return {.settings = c.settings, .filterEnabled = c.filterEnabled, .filters = c.filters};
}

RecordCounters RecordFirmware::counters() const {
    std::lock_guard lock(mu_);
    return counters_;
}

void RecordFirmware::erase() {
    std::lock_guard lock(mu_);
    for (Channel& c : channels_) {
        c = Channel{};
    }
}

// ---- Control -------------------------------------------------------------------

std::string RecordFirmware::stateText(int ch) const {
    const Channel& c = channels_[static_cast<size_t>(ch)];
    std::string filters;
    char buf[64];
    for (const FilterEntry& e : c.filters) {
        std::snprintf(buf, sizeof buf, "%s%02x:%" PRIx32 "-%" PRIx32, filters.empty() ? "" : ",",
                      e.type, e.start, e.end);
        filters += buf;
    }
    return "ch=" + std::to_string(ch) +
           " settings=" + fwkit::hexText(c.settings.data(), c.settings.size()) +
           " filter=" + (c.filterEnabled ? "on" : "off") +
           " entries=" + std::to_string(c.filters.size()) +
           " list=" + (filters.empty() ? "-" : filters);
}

const char* RecordFirmware::helpText() const {
    return kHelp;
}

std::optional<std::string> RecordFirmware::controlUnlocked(const std::vector<std::string>& args) {
    const std::string cmd = lower(args[0]);
    if (cmd == "erase" && args.size() == 1) {
        erase();
        return "ok";
    }
    if (cmd == "inject" || cmd == "gen" || cmd == "wire") {
        return error("a recorder takes no part in the bus traffic of the virtual adapters");
    }
    return std::nullopt;
}

std::string RecordFirmware::infoDetails() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, " hw=%04x fw=%04x", model_.hwVersion, model_.fwVersion);
    return buf;
}

std::string RecordFirmware::countersText() const {
    const RecordCounters& k = counters_;
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "commands=%" PRIu64 " replies=%" PRIu64 " suppressed=%" PRIu64
                  " malformed=%" PRIu64 " refused=%" PRIu64,
                  k.commands, k.replies, k.suppressedReplies, k.malformed, k.refused);
    return buf;
}

}  // namespace ksim::record
