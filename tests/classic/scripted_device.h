// A scripted adapter behind the simulator's device seam, for driver tests
// that must see the exact bytes a driver writes and control every reply.
//
// Each OUT transfer is logged and handed to the test's responder, whose
// answer (zero or more messages) is queued on IN endpoints; one IN transfer
// delivers one queued message. Identities: 0471:1200 (classic adapter),
// 0471:2601 and 0471:2602 (recorders).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "virtual_device.h"

namespace scripted {

using Bytes = std::vector<uint8_t>;

struct Transfer {
    uint8_t endpoint;
    Bytes bytes;
};

struct Reply {
    uint8_t endpoint;
    Bytes bytes;
};

// Given an OUT transfer, the messages the adapter answers with.
using Responder = std::function<std::vector<Reply>(uint8_t endpoint, const Bytes& bytes)>;

class ScriptedDevice : public ksim::VirtualDevice {
  public:
    ScriptedDevice(uint16_t productId, int ordinal);
    ~ScriptedDevice() override;

    uint16_t vendorId() const override { return 0x0471; }
    uint16_t productId() const override { return productId_; }
    std::string modelName() const override;
    int transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned timeoutMs,
                    int* transferred) override;
    int transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                   int* transferred) override;
    void usbReset() override;
    void setAttached(bool attached) override;
    std::string control(const std::vector<std::string>& args) override;

    void setResponder(Responder responder);
    // The next OUT transfer on endpoint takes only its first `accepted` bytes
    // and reports that short count, as a transfer cut short by a time-out.
    // The responder sees the bytes that got through.
    void cutNextWrite(uint8_t endpoint, int accepted);
    // Queues a message on an IN endpoint.
    void push(uint8_t endpoint, Bytes bytes);
    size_t pending(uint8_t endpoint);
    // OUT transfers so far (on one endpoint, or all with endpoint 0).
    std::vector<Transfer> sent(uint8_t endpoint = 0);
    void clearSent();
    // Waits (on a condition variable) until count OUT transfers on endpoint
    // were logged; false when timeoutMs passed first.
    bool waitSent(uint8_t endpoint, size_t count, unsigned timeoutMs);

  private:
    size_t countLocked(uint8_t endpoint) const;

    const uint16_t productId_;
    const int ordinal_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool attached_ = true;
    uint64_t power_ = 0;
    Responder responder_;
    std::map<uint8_t, std::deque<Bytes>> queues_;
    std::map<uint8_t, int> cuts_;  // endpoint -> bytes the next write takes
    std::vector<Transfer> sent_;
};

// The device the simulator made for an identity and ordinal (latest
// configuration), or null.
ScriptedDevice* device(uint16_t productId, int ordinal = 0);

// Hex text of bytes, "12 03 06".
std::string hex(const Bytes& bytes);

}  // namespace scripted
