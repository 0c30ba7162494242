// A scripted adapter (0471:1200, 0471:2601, 0471:2602) behind the simulator's
// device seam: each OUT transfer is logged and handed to the test's
// responder, whose answers are queued on IN endpoints, one per IN transfer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "hex_text.h"
#include "virtual_device.h"

namespace scripted {

using Bytes = std::vector<uint8_t>;
using hextext::hex;

struct Reply {
    uint8_t endpoint;
    Bytes bytes;
};

// Given an OUT transfer, the messages the adapter answers with.
using Responder = std::function<std::vector<Reply>(uint8_t endpoint, const Bytes& bytes)>;

class ScriptedDevice : public ksim::VirtualDevice {
  public:
    explicit ScriptedDevice(uint16_t productId) : productId_(productId) {}

    uint16_t vendorId() const override { return 0x0471; }
    uint16_t productId() const override { return productId_; }
    std::string modelName() const override { return "SCRIPTED"; }
    int transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned timeoutMs,
                    int* transferred) override;
    int transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                   int* transferred) override;
    void usbReset() override { dropQueued(); }
    void setAttached(bool attached) override;
    std::string control(const std::vector<std::string>&) override { return "error: scripted"; }

    void setResponder(Responder responder);
    void push(uint8_t endpoint, Bytes bytes);  // queues a message on an IN endpoint
    // OUT transfers so far as hex text (on one endpoint, or all with 0).
    std::vector<std::string> sentHex(uint8_t endpoint = 0);
    void clearSent();

  private:
    // Empties the queues but keeps them: a waiting read holds a reference.
    void dropQueued() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [endpoint, queue] : queues_) {
            queue.clear();
        }
    }

    const uint16_t productId_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool attached_ = true;
    uint64_t power_ = 0;  // counts changes of attachment, which end waiting reads
    Responder responder_;
    std::map<uint8_t, std::deque<Bytes>> queues_;
    std::vector<Reply> sent_;
};

// The device the simulator made for an identity and ordinal (latest
// configuration), or null.
ScriptedDevice* device(uint16_t productId, int ordinal = 0);

}  // namespace scripted
