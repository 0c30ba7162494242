#include "record/record_firmware.h"

#include <libusb.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace ksim::record {

std::unique_ptr<VirtualDevice> createRecordFirmware(const FirmwareModel& model, int ordinal) {
    return std::make_unique<RecordFirmware>(model, ordinal);
}

namespace {

using fwkit::error;
using fwkit::lower;
using fwkit::Message;
using fwkit::parseNumber;

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

Message shortReply(const uint8_t* req, size_t len, uint8_t status) {
    Message m;
    m.bytes[0] = len > 0 ? req[0] : 0;
    m.bytes[1] = len > 1 ? req[1] : 0;
    m.bytes[2] = 0x01;
    m.bytes[3] = status;
    m.length = 4;
    return m;
}

}  // namespace

RecordFirmware::RecordFirmware(const FirmwareModel& model, int ordinal)
    : model_(model), ordinal_(ordinal), powerOn_(Clock::now()) {}

void RecordFirmware::usbReset() {
    std::lock_guard lock(mu_);
    replies_.clear();
    powerOn_ = Clock::now();
    replyCv_.notify_all();
}

void RecordFirmware::setAttached(bool attached) {
    std::lock_guard lock(mu_);
    if (attached && !attached_) {
        replies_.clear();
        powerOn_ = Clock::now();
    }
    attached_ = attached;
    replyCv_.notify_all();
}

int RecordFirmware::transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned,
                                int* transferred) {
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (length < 0 || (data == nullptr && length > 0)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (endpoint != kEpCommandOut) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    std::lock_guard lock(mu_);
    if (!attached_) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    handleCommand(data, static_cast<size_t>(length), Clock::now());
    if (transferred != nullptr) {
        *transferred = length;
    }
    return LIBUSB_SUCCESS;
}

int RecordFirmware::transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                               int* transferred) {
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (length < 0 || (data == nullptr && length > 0) || transferred == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (endpoint != kEpCommandIn) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    std::unique_lock lock(mu_);
    const Clock::time_point deadline = fwkit::deadlineAfter(Clock::now(), timeoutMs);
    for (;;) {
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        const Clock::time_point now = Clock::now();
        if (!replies_.empty() && replies_.front().ready <= now) {
            const Message m = replies_.front();
            replies_.pop_front();
            const size_t n = std::min(m.length, static_cast<size_t>(length));
            std::memcpy(data, m.bytes.data(), n);
            *transferred = static_cast<int>(n);
            return n < m.length ? LIBUSB_ERROR_OVERFLOW : LIBUSB_SUCCESS;
        }
        if (now >= deadline) {
            return LIBUSB_ERROR_TIMEOUT;
        }
        const Clock::time_point wake =
            replies_.empty() ? deadline : std::min(deadline, replies_.front().ready);
        if (wake == Clock::time_point::max()) {
            replyCv_.wait(lock);
        } else {
            replyCv_.wait_until(lock, wake);
        }
    }
}

void RecordFirmware::handleCommand(const uint8_t* req, size_t len, Clock::time_point now) {
    ++counters_.commands;
    if (len == 0) {
        ++counters_.malformed;
        return;
    }
    const int code = len > 1 ? req[1] : -1;
    if (code >= 0 && faults_.noReply[static_cast<size_t>(code)]) {
        ++counters_.suppressedReplies;
        return;
    }
    Message m = executeCommand(req, len, !faults_.blocksExecution(code));
    faults_.shape(code, 3, &m);
    if (m.length > 3 && m.bytes[3] != kStatusOk && code != kCmdReadSettings) {
        ++counters_.refused;
    }
    m.ready = now + std::chrono::microseconds(faults_.latencyUs);
    if (replies_.size() >= kReplyQueueLimit) {
        replies_.pop_front();
    }
    replies_.push_back(m);
    ++counters_.replies;
    replyCv_.notify_all();
}

Message RecordFirmware::executeCommand(const uint8_t* req, size_t len, bool apply) {
    if (len > fwkit::kCommandPacket) {
        ++counters_.malformed;
        return shortReply(req, len, kStatusBadLength);
    }
    if (len >= 2 && req[0] == kDirectTag0 && req[1] == kDirectTag1) {
        Message m;
        std::memcpy(m.bytes.data(), req, len);  // the payload comes back as it went out
        m.length = len;
        return m;
    }
    if (len < 3 || req[0] != kPrefix) {
        ++counters_.malformed;
        return shortReply(req, len, kStatusMalformed);
    }
    const uint8_t code = req[1];
    Message m;
    uint8_t* out = m.bytes.data();
    out[0] = kPrefix;
    out[1] = code;
    switch (code) {
        case kCmdHwVersion:
        case kCmdFwVersion: {
            const uint16_t v = code == kCmdHwVersion ? model_.hwVersion : model_.fwVersion;
            out[2] = 0x03;
            out[3] = kStatusOk;
            out[4] = static_cast<uint8_t>(v);
            out[5] = static_cast<uint8_t>(v >> 8);
            m.length = 6;
            return m;
        }
        case kCmdChannelCount:
            out[2] = 0x02;
            out[3] = kStatusOk;
            out[4] = kChannels;
            m.length = 5;
            return m;
        case kCmdWriteSettings: {
            if (len < kSettingsLength) {
                ++counters_.malformed;
                return shortReply(req, len, kStatusBadLength);
            }
            const uint8_t status = checkSettings(req);
            if (status == kStatusOk && apply) {
                std::memcpy(channels_[req[2]].settings.data(), req + 3, kSettingBytes);
            }
            out[2] = 0x02;
            out[3] = status;
            out[4] = req[2];
            m.length = 5;
            return m;
        }
        case kCmdReadSettings: {
            const uint8_t ch = req[2];
            if (ch >= kChannels) {
                return shortReply(req, len, kStatusBadChannel);
            }
            out[2] = ch;
            std::memcpy(out + 3, channels_[ch].settings.data(), kSettingBytes);
            m.length = kSettingsLength;
            return m;
        }
        case kCmdFilter: {
            if (len < kFilterLength) {
                ++counters_.malformed;
                return shortReply(req, len, kStatusBadLength);
            }
            out[2] = 0x03;
            out[3] = applyFilter(req, apply);
            out[4] = req[2];
            out[5] = req[3];
            m.length = 6;
            return m;
        }
        case kCmdFilterRead: {
            if (len < 6) {
                ++counters_.malformed;
                return shortReply(req, len, kStatusBadLength);
            }
            const uint8_t ch = req[3];
            if (ch >= kChannels) {
                return shortReply(req, len, kStatusBadChannel);
            }
            const Channel& c = channels_[ch];
            if (req[2] == 0) {
                out[2] = 0x04;
                out[3] = kStatusOk;
                out[4] = static_cast<uint8_t>(c.filters.size());
                out[5] = static_cast<uint8_t>(c.filters.size() >> 8);
                out[6] = c.filterEnabled ? 1 : 0;
                m.length = 7;
                return m;
            }
            if (req[2] == 1) {
                const uint16_t index = le16(req + 4);
                if (index >= c.filters.size()) {
                    return shortReply(req, len, kStatusBadParameter);
                }
                const FilterEntry& e = c.filters[index];
                out[2] = 0x0A;
                out[3] = kStatusOk;
                out[4] = e.type;
                putLe32(out + 5, e.start);
                putLe32(out + 9, e.end);
                m.length = 13;
                return m;
            }
            return shortReply(req, len, kStatusBadParameter);
        }
        default:
            return shortReply(req, len, kStatusUnknown);
    }
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
    RecordChannelSnapshot s;
    if (ch < 0 || ch >= kChannels) {
        return s;
    }
    const Channel& c = channels_[static_cast<size_t>(ch)];
    s.settings = c.settings;
    s.filterEnabled = c.filterEnabled;
    s.filters = c.filters;
    return s;
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

void RecordFirmware::setNoReply(uint8_t code, bool on) {
    std::lock_guard lock(mu_);
    faults_.noReply[code] = on;
}

void RecordFirmware::setReplyStatus(uint8_t code, std::optional<uint8_t> status) {
    std::lock_guard lock(mu_);
    faults_.status[code] = status ? *status : -1;
}

void RecordFirmware::setForeignReply(uint8_t code, std::optional<uint8_t> replyCode) {
    std::lock_guard lock(mu_);
    faults_.foreign[code] = replyCode ? *replyCode : -1;
}

void RecordFirmware::setReplyTruncate(uint8_t code, std::optional<uint8_t> length) {
    std::lock_guard lock(mu_);
    faults_.truncate[code] = length ? *length : -1;
}

void RecordFirmware::setReplyLatencyUs(uint32_t us) {
    std::lock_guard lock(mu_);
    faults_.latencyUs = us;
}

void RecordFirmware::clearFaults() {
    std::lock_guard lock(mu_);
    faults_.reset();
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

std::string RecordFirmware::control(const std::vector<std::string>& args) {
    if (args.empty()) {
        return error("empty command; try 'help'");
    }
    const std::string cmd = lower(args[0]);
    if (cmd == "help") {
        return kHelp;
    }
    if (cmd == "reset" && args.size() == 1) {
        usbReset();
        return "ok";
    }
    if (cmd == "erase" && args.size() == 1) {
        erase();
        return "ok";
    }
    if (cmd == "inject" || cmd == "gen" || cmd == "wire") {
        return error("a recorder takes no part in the bus traffic of the virtual adapters");
    }
    if (cmd == "fault" && args.size() == 2 && lower(args[1]) == "clear") {
        clearFaults();
        return "ok";
    }
    std::lock_guard lock(mu_);
    if (cmd == "fault") {
        const std::string reply = faults_.control(args);
        return reply.empty() ? error("unknown or malformed fault command; try 'help'") : reply;
    }
    if (cmd == "faults" && args.size() == 1) {
        return faults_.text();
    }
    if (cmd == "info" && args.size() == 1) {
        char buf[200];
        const auto up =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - powerOn_);
        std::snprintf(buf, sizeof buf,
                      "model=%s vid=%04x pid=%04x ordinal=%d channels=%d hw=%04x fw=%04x "
                      "attached=%d uptime_us=%u",
                      model_.name, model_.vendorId, model_.productId, ordinal_, kChannels,
                      model_.hwVersion, model_.fwVersion, attached_ ? 1 : 0,
                      static_cast<uint32_t>(up.count()));
        return buf;
    }
    if (cmd == "state" && args.size() == 2) {
        uint64_t ch = 0;
        if (!parseNumber(args[1], 10, 255, &ch) || ch >= static_cast<uint64_t>(kChannels)) {
            return error("channel '" + args[1] + "' out of range (0..1)");
        }
        return stateText(static_cast<int>(ch));
    }
    if (cmd == "counters" && args.size() == 1) {
        const RecordCounters& k = counters_;
        char buf[200];
        std::snprintf(buf, sizeof buf,
                      "commands=%" PRIu64 " replies=%" PRIu64 " suppressed=%" PRIu64
                      " malformed=%" PRIu64 " refused=%" PRIu64,
                      k.commands, k.replies, k.suppressedReplies, k.malformed, k.refused);
        return buf;
    }
    return error("unknown command '" + args[0] + "'; try 'help'");
}

}  // namespace ksim::record
