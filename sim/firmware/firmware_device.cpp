#include "firmware/firmware_device.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cstdio>

#include "firmware/control_words.h"

namespace ksim::fwkit {

FirmwareDevice::FirmwareDevice(const FirmwareModel& model, int ordinal,
                               const CommandChannel& channel)
    : model_(model),
      ordinal_(ordinal),
      powerOn_(Clock::now()),
      replies_(channel.replyLimit),
      channel_(channel) {}

uint32_t FirmwareDevice::microsAt(Clock::time_point t) const {
    if (t <= powerOn_) {
        return 0;
    }
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(t - powerOn_).count());
}

uint32_t FirmwareDevice::adapterMicros() const {
    std::lock_guard lock(mu_);
    return microsAt(Clock::now());
}

// ---- Power ---------------------------------------------------------------------

void FirmwareDevice::powerOnAllLocked(Clock::time_point now) {
    replies_.clear();
    powerOn_ = now;
    powerOnLocked(now);
}

void FirmwareDevice::wakeAllLocked() {
    replies_.waiters().notify_all();
    wakeLocked();
}

void FirmwareDevice::usbReset() {
    std::lock_guard lock(mu_);
    powerOnAllLocked(Clock::now());
    wakeAllLocked();
}

void FirmwareDevice::setAttached(bool attached) {
    std::lock_guard lock(mu_);
    if (attached && !attached_) {
        powerOnAllLocked(Clock::now());
    }
    if (!attached) {
        unpluggedLocked();
    }
    attached_ = attached;
    wakeAllLocked();
}

// ---- Transfers -----------------------------------------------------------------

int FirmwareDevice::transferOut(uint8_t endpoint, const uint8_t* data, int length,
                                unsigned timeoutMs, int* transferred) {
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (length < 0 || (data == nullptr && length > 0)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const bool request = endpoint == channel_.requestEndpoint;
    if (!request && (channel_.dataEndpoint == 0 || endpoint != channel_.dataEndpoint)) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    const auto len = static_cast<size_t>(length);
    if (request) {
        std::lock_guard lock(mu_);
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        handleCommand(data, len, Clock::now());
    } else {
        {
            std::lock_guard lock(mu_);
            if (!attached_) {
                return LIBUSB_ERROR_NO_DEVICE;
            }
        }
        size_t taken = 0;
        const int rc = writeData(data, len, timeoutMs, &taken);
        if (transferred != nullptr) {
            *transferred = static_cast<int>(std::min(taken, len));
        }
        return rc;
    }
    if (transferred != nullptr) {
        *transferred = length;
    }
    return LIBUSB_SUCCESS;
}

int FirmwareDevice::transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                               int* transferred) {
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (length < 0 || (data == nullptr && length > 0) || transferred == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (endpoint == channel_.replyEndpoint) {
        return readQueue(replies_, data, length, timeoutMs, transferred);
    }
    return readData(endpoint, data, length, timeoutMs, transferred);
}

int FirmwareDevice::readQueue(ReplyQueue& queue, uint8_t* data, int length, unsigned timeoutMs,
                              int* transferred) {
    std::unique_lock lock(mu_);
    return waitLocked(
        lock, queue.waiters(), timeoutMs,
        [&](Clock::time_point now) { return queue.take(now, data, length, transferred); },
        [&](Clock::time_point) { return queue.nextReady(); });
}

// ---- Commands ------------------------------------------------------------------

void FirmwareDevice::handleCommand(const uint8_t* req, size_t len, Clock::time_point now) {
    CommandCounters& k = commandCounters();
    ++k.commands;
    if (channel_.requestDropsUnread) {
        replies_.clear();  // the endpoint holds the answer to the latest request only
    }
    if (len == 0) {
        ++k.malformed;
        return;  // an empty write carries no request to answer
    }
    const int code = len > 1 ? req[1] : -1;
    if (faults_.dropsReply(code)) {
        ++k.suppressedReplies;
        return;
    }
    Message m = answer(req, len, !faults_.blocksExecution(code), now);
    if (const std::optional<uint8_t> status = faults_.forcedStatus(code)) {
        forceStatus(req, len, code, *status, &m);
    }
    faults_.reshape(code, &m);
    replyShaped(code, m);
    m.ready = now + std::chrono::microseconds(faults_.latencyUs);
    replies_.push(m);
    ++k.replies;
}

Message FirmwareDevice::answer(const uint8_t* req, size_t len, bool apply, Clock::time_point now) {
    if (len > kCommandPacket) {
        return malformedReply(req, len, kStatusBadLength);
    }
    if (len >= 2 && req[0] == kDirectTag0 && req[1] == kDirectTag1) {
        // The payload comes back as it went out, as long as the transfer carried it.
        Message m;
        std::copy(req, req + len, m.bytes.begin());
        m.length = len;
        return m;
    }
    return executeCommand(req, len, apply, now);
}

void FirmwareDevice::forceStatus(const uint8_t*, size_t, int, uint8_t status, Message* m) {
    putStatus(3, status, m);
}

// ---- Replies -------------------------------------------------------------------

Message FirmwareDevice::shortReply(const uint8_t* req, size_t len, uint8_t status) {
    return bytesReply({len > 0 ? req[0] : uint8_t{0}, len > 1 ? req[1] : uint8_t{0}, 0x01, status});
}

Message FirmwareDevice::malformedReply(const uint8_t* req, size_t len, uint8_t status) {
    ++commandCounters().malformed;
    return shortReply(req, len, status);
}

Message FirmwareDevice::statusReply(uint8_t prefix, uint8_t code, uint8_t status,
                                    const uint8_t* payload, size_t n) {
    Message m;
    m.bytes[0] = prefix;
    m.bytes[1] = code;
    m.bytes[2] = static_cast<uint8_t>(1 + n);
    m.bytes[3] = status;
    std::copy(payload, payload + n, m.bytes.begin() + 4);
    m.length = 4 + n;
    return m;
}

Message FirmwareDevice::bytesReply(std::initializer_list<uint8_t> bytes) {
    Message m;
    std::copy(bytes.begin(), bytes.end(), m.bytes.begin());
    m.length = bytes.size();
    return m;
}

std::optional<Message> FirmwareDevice::boardQueryReply(uint8_t prefix, uint8_t code) const {
    if (code == kCmdChannelCount) {
        return statusReply(prefix, code, kStatusOk, {static_cast<uint8_t>(channelCount())});
    }
    if (code != kCmdHwVersion && code != kCmdFwVersion) {
        return std::nullopt;
    }
    const uint16_t v = code == kCmdHwVersion ? model_.hwVersion : model_.fwVersion;
    const auto lo = static_cast<uint8_t>(v);
    const auto hi = static_cast<uint8_t>(v >> 8);
    return channel_.versionsBigEndian ? statusReply(prefix, code, kStatusOk, {hi, lo})
                                      : statusReply(prefix, code, kStatusOk, {lo, hi});
}

// ---- Fault switches ------------------------------------------------------------

void FirmwareDevice::setNoReply(uint8_t code, bool on) {
    std::lock_guard lock(mu_);
    faults_.noReply[code] = on;
}

void FirmwareDevice::setReplyStatus(uint8_t code, std::optional<uint8_t> status) {
    std::lock_guard lock(mu_);
    faults_.status[code] = status ? *status : -1;
}

void FirmwareDevice::setForeignReply(uint8_t code, std::optional<uint8_t> replyCode) {
    std::lock_guard lock(mu_);
    faults_.foreign[code] = replyCode ? *replyCode : -1;
}

void FirmwareDevice::setReplyTruncate(uint8_t code, std::optional<uint8_t> length) {
    std::lock_guard lock(mu_);
    faults_.truncate[code] = length ? *length : -1;
}

void FirmwareDevice::setReplyLatencyUs(uint32_t us) {
    std::lock_guard lock(mu_);
    faults_.latencyUs = us;
}

void FirmwareDevice::clearFaults() {
    std::lock_guard lock(mu_);
    faults_.reset();
    clearFamilyFaultsLocked();
}

// ---- Control -------------------------------------------------------------------

std::string FirmwareDevice::control(const std::vector<std::string>& args) {
    if (args.empty()) {
        return error("empty command; try 'help'");
    }
    const std::string cmd = lower(args[0]);
    if (cmd == "help") {
        return helpText();
    }
    if (cmd == "reset" && args.size() == 1) {
        usbReset();
        return "ok";
    }
    if (cmd == "fault") {
        return controlFault(args);
    }
    if (std::optional<std::string> reply = controlUnlocked(args)) {
        return *reply;
    }
    std::lock_guard lock(mu_);
    if (cmd == "info" && args.size() == 1) {
        return infoText();
    }
    if (cmd == "state" && args.size() == 2) {
        uint64_t ch = 0;
        if (!parseNumber(args[1], 10, 255, &ch) || ch >= static_cast<uint64_t>(channelCount())) {
            return error("channel '" + args[1] + "' out of range (0.." +
                         std::to_string(channelCount() - 1) + ")");
        }
        return stateText(static_cast<int>(ch));
    }
    if (cmd == "counters" && args.size() == 1) {
        return countersText();
    }
    if (cmd == "faults" && args.size() == 1) {
        return faultsText();
    }
    if (std::optional<std::string> reply = controlLocked(args)) {
        return *reply;
    }
    return error("unknown command '" + args[0] + "'; try 'help'");
}

std::string FirmwareDevice::controlFault(const std::vector<std::string>& args) {
    if (args.size() == 2 && lower(args[1]) == "clear") {
        clearFaults();
        return "ok";
    }
    if (std::optional<std::string> reply = controlFamilyFault(args)) {
        return *reply;
    }
    std::lock_guard lock(mu_);
    const std::string reply = faults_.control(args);
    return reply.empty() ? error("unknown or malformed fault command; try 'help'") : reply;
}

std::string FirmwareDevice::infoText() const {
    char head[160];
    std::snprintf(head, sizeof head, "model=%s vid=%04x pid=%04x ordinal=%d channels=%d",
                  model_.name, model_.vendorId, model_.productId, ordinal_, channelCount());
    char tail[64];
    std::snprintf(tail, sizeof tail, " attached=%d uptime_us=%u", attached_ ? 1 : 0,
                  microsAt(Clock::now()));
    return head + infoDetails() + tail;
}

std::string FirmwareDevice::faultsText() const {
    return faults_.text(channel_.truncateInDecimal);
}

void preciseWakeups() {
    thread_local bool done = false;
    if (!done) {
        done = true;
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
}

}  // namespace ksim::fwkit
