// The plumbing every virtual adapter firmware shares: transfer dispatch, the
// command exchange (reply queue, reply waiting, the command fault switches),
// USB reset, unplug and plug, and the control commands common to all
// families. A family derives from it (or from BusFirmware) and keeps only its
// own commands, records and timing, supplied through the hooks below.
//
// Command exchange: a request on the command OUT endpoint is counted, checked
// against the fault switches, carried out by executeCommand() (unless a
// status or foreign switch holds it back), shaped by the switches and queued
// for the reply endpoint, readable after the reply latency.
//
// Locking: mu_ guards the whole firmware state, the family's too. Hooks named
// ...Locked, executeCommand() and the text hooks run with it held.
#pragma once

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bus/firmware_table.h"
#include "firmware/command_faults.h"
#include "firmware/reply_queue.h"
#include "virtual_device.h"

namespace ksim::fwkit {

// What the families' command sets have in common: status bytes that mean
// the same in every family, and the direct transfer (these two bytes and up
// to 62 payload bytes), which every family echoes.
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusBadChannel = 0x01;
constexpr uint8_t kStatusBadLength = 0x03;  // too short, or longer than a packet
constexpr uint8_t kStatusNotReady = 0x04;   // start of a channel without bit timing
constexpr uint8_t kDirectTag0 = 0x12;
constexpr uint8_t kDirectTag1 = 0xA7;
// The board queries every family answers alike.
constexpr uint8_t kCmdHwVersion = 0x01;
constexpr uint8_t kCmdFwVersion = 0x12;
constexpr uint8_t kCmdChannelCount = 0x13;

// Counters of the command exchange.
struct CommandCounters {
    uint64_t commands = 0;           // requests on the command endpoint
    uint64_t replies = 0;            // replies queued for the host
    uint64_t suppressedReplies = 0;  // requests left unanswered by a fault switch
    uint64_t malformed = 0;          // requests (or data) that did not parse
};

// How a family's command channel differs from the others'.
struct CommandChannel {
    uint8_t requestEndpoint;  // OUT: requests
    uint8_t replyEndpoint;    // IN: replies
    uint8_t dataEndpoint;     // OUT: data for writeData(); 0 when there is none
    size_t replyLimit;        // unread replies kept; a newer one drops the oldest
    bool requestDropsUnread;  // a new request discards the unread reply (one answer slot)
    bool truncateInDecimal;   // "faults" lists truncate lengths in decimal, else in hex
    bool versionsBigEndian;   // version replies carry the high byte first
};

// Deadline of a transfer: timeoutMs 0 means no limit.
inline Clock::time_point deadlineAfter(Clock::time_point now, unsigned timeoutMs) {
    return timeoutMs == 0 ? Clock::time_point::max() : now + std::chrono::milliseconds(timeoutMs);
}

class FirmwareDevice : public VirtualDevice {
  public:
    using Clock = fwkit::Clock;

    uint16_t vendorId() const final { return model_.vendorId; }
    uint16_t productId() const final { return model_.productId; }
    std::string modelName() const final { return model_.name; }
    int transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned timeoutMs,
                    int* transferred) final;
    int transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                   int* transferred) final;
    void usbReset() final;
    void setAttached(bool attached) final;
    std::string control(const std::vector<std::string>& args) final;

    int ordinal() const { return ordinal_; }
    int channelCount() const { return model_.channels; }
    bool hasChannel(int ch) const { return ch >= 0 && ch < channelCount(); }
    // Microseconds since power-on, the adapter's time stamp clock.
    uint32_t adapterMicros() const;

    // Command fault switches, keyed by byte 1 of the request (0xA7 for the
    // direct transfer). A request hit by a status or foreign switch is
    // answered but not carried out.
    void setNoReply(uint8_t code, bool on);
    void setReplyStatus(uint8_t code, std::optional<uint8_t> status);
    void setForeignReply(uint8_t code, std::optional<uint8_t> replyCode);
    // Cuts the reply to `length` bytes; the request is carried out.
    void setReplyTruncate(uint8_t code, std::optional<uint8_t> length);
    // Every reply becomes readable that many microseconds after its request.
    void setReplyLatencyUs(uint32_t us);
    // Turns every fault switch off, the family's own too.
    void clearFaults();

  protected:
    FirmwareDevice(const FirmwareModel& model, int ordinal, const CommandChannel& channel);

    // ---- Hooks of the command exchange.
    virtual CommandCounters& commandCounters() = 0;
    // Carries out a request (only checks it unless `apply`) and returns its
    // reply. Requests longer than a packet and the direct transfer never
    // come here: every family answers them alike.
    virtual Message executeCommand(const uint8_t* req, size_t len, bool apply,
                                   Clock::time_point now) = 0;
    // Puts the status a fault switch forces into the reply to request `code`;
    // by default at offset 3, lengthening a shorter reply.
    virtual void forceStatus(const uint8_t* req, size_t len, int code, uint8_t status, Message* m);
    // Sees each reply after the fault switches, before it is queued.
    virtual void replyShaped(int /*code*/, const Message& /*m*/) {}

    // ---- Replies. Most follow the layout every family uses: prefix, code, a
    // count of the bytes after it, status, payload.
    // The short answer to a refused request: its first two bytes, 1, status.
    static Message shortReply(const uint8_t* req, size_t len, uint8_t status);
    // prefix, code, 1 + n, status, then the n payload bytes (n <= 60).
    static Message statusReply(uint8_t prefix, uint8_t code, uint8_t status, const uint8_t* payload,
                               size_t n);
    static Message statusReply(uint8_t prefix, uint8_t code, uint8_t status,
                               std::initializer_list<uint8_t> payload) {
        return statusReply(prefix, code, status, payload.begin(), payload.size());
    }
    // Counts a malformed request and gives its short answer.
    Message malformedReply(const uint8_t* req, size_t len, uint8_t status);
    // A reply of exactly these bytes (at most 64).
    static Message bytesReply(std::initializer_list<uint8_t> bytes);
    // The reply to a board query (hardware or firmware version, channel
    // count); nothing for other codes.
    std::optional<Message> boardQueryReply(uint8_t prefix, uint8_t code) const;

    // ---- Hooks of the other endpoints.
    // Bytes written to the data endpoint, called without the lock (frames go
    // onto the bus, which may call back into this adapter's ports). Returns
    // the libusb result and sets *taken to the bytes the adapter accepted; a
    // family may hold the transfer (up to timeoutMs, 0: no limit) until its
    // transmit buffer has room.
    virtual int writeData(const uint8_t* /*data*/, size_t len, unsigned /*timeoutMs*/,
                          size_t* taken) {
        *taken = len;
        return LIBUSB_SUCCESS;
    }
    // A read of an IN endpoint other than the reply endpoint.
    virtual int readData(uint8_t /*endpoint*/, uint8_t* /*data*/, int /*length*/,
                         unsigned /*timeoutMs*/, int* /*transferred*/) {
        return LIBUSB_ERROR_NOT_FOUND;
    }

    // ---- Hooks of power and faults (under the lock).
    // Puts the family's parts in their power-on state (USB reset, plug).
    virtual void powerOnLocked(Clock::time_point /*now*/) {}
    // The adapter has just lost power.
    virtual void unpluggedLocked() {}
    // Wakes the family's own waiting transfers after a power change.
    virtual void wakeLocked() {}
    virtual void clearFamilyFaultsLocked() {}

    // ---- Hooks of control(). Text hooks run under the lock.
    virtual const char* helpText() const = 0;
    // What "info" says of the model between the channel count and the
    // attached state, e.g. " hw=0102 fw=0104".
    virtual std::string infoDetails() const = 0;
    // ch is within the channel count.
    virtual std::string stateText(int ch) const = 0;
    virtual std::string countersText() const = 0;
    virtual std::string faultsText() const;
    // Family commands that take the lock themselves; nothing when args[0]
    // names none of them.
    virtual std::optional<std::string> controlUnlocked(const std::vector<std::string>& /*args*/) {
        return std::nullopt;
    }
    // Family commands run under the lock.
    virtual std::optional<std::string> controlLocked(const std::vector<std::string>& /*args*/) {
        return std::nullopt;
    }
    // The family's own "fault ..." switches (args[1] names one), unlocked.
    virtual std::optional<std::string> controlFamilyFault(
        const std::vector<std::string>& /*args*/) {
        return std::nullopt;
    }

    // Waits, holding `lock` on mu_ except while asleep on cv, until poll(now)
    // gives the transfer's libusb result. Ends with LIBUSB_ERROR_TIMEOUT after
    // timeoutMs (0: no limit) and LIBUSB_ERROR_NO_DEVICE when the adapter is
    // unplugged. nextWake(now) says when data may next become due by itself.
    template <class Poll, class Wake>
    int waitLocked(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   unsigned timeoutMs, Poll poll, Wake nextWake) {
        return waitUntilLocked(lock, cv, deadlineAfter(Clock::now(), timeoutMs), poll, nextWake);
    }
    // The same with a deadline (Clock::time_point::max(): no limit).
    template <class Poll, class Wake>
    int waitUntilLocked(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                        Clock::time_point deadline, Poll poll, Wake nextWake);
    // Reads one reply of a queue, waiting for it.
    int readQueue(ReplyQueue& queue, uint8_t* data, int length, unsigned timeoutMs,
                  int* transferred);
    uint32_t microsAt(Clock::time_point t) const;

    const FirmwareModel& model_;
    const int ordinal_;

    mutable std::mutex mu_;
    bool attached_ = true;
    Clock::time_point powerOn_;
    CommandFaults faults_;
    ReplyQueue replies_;

  private:
    void handleCommand(const uint8_t* req, size_t len, Clock::time_point now);
    Message answer(const uint8_t* req, size_t len, bool apply, Clock::time_point now);
    void powerOnAllLocked(Clock::time_point now);
    void wakeAllLocked();
    std::string controlFault(const std::vector<std::string>& args);
    std::string infoText() const;

    const CommandChannel channel_;
};

// A real adapter's transfer completes by interrupt; a timed wait here would
// add the kernel's default timer slack (50 us) to every transfer.
void preciseWakeups();

template <class Poll, class Wake>
int FirmwareDevice::waitUntilLocked(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                                    Clock::time_point deadline, Poll poll, Wake nextWake) {
    preciseWakeups();
    for (;;) {
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        const Clock::time_point now = Clock::now();
        if (const std::optional<int> rc = poll(now)) {
            return *rc;
        }
        if (now >= deadline) {
            return LIBUSB_ERROR_TIMEOUT;
        }
        const Clock::time_point wake = std::min(deadline, nextWake(now));
        if (wake == Clock::time_point::max()) {
            cv.wait(lock);
        } else {
            cv.wait_until(lock, wake);
        }
    }
}

}  // namespace ksim::fwkit
