#include "echo_device.h"

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>

#include "virtual_device.h"

namespace {

using Clock = std::chrono::steady_clock;

class EchoDevice : public ksim::VirtualDevice {
  public:
    EchoDevice(uint16_t productId, int ordinal) : productId_(productId), ordinal_(ordinal) {}

    uint16_t vendorId() const override { return echo::kVendorId; }
    uint16_t productId() const override { return productId_; }
    std::string modelName() const override {
        return productId_ == echo::kProductId ? "ECHO" : "ECHO2";
    }

    int transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned timeoutMs,
                    int* transferred) override {
        std::unique_lock<std::mutex> lock(mutex_);
        *transferred = 0;
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (endpoint != 0x01 && endpoint != 0x02) {
            return LIBUSB_ERROR_PIPE;
        }
        ++writers_;
        changed_.notify_all();
        const auto delay = std::chrono::milliseconds(delayMs_);
        const bool timesOut = timeoutMs != 0 && delayMs_ > timeoutMs;
        const auto until = Clock::now() + (timesOut ? std::chrono::milliseconds(timeoutMs) : delay);
        const uint64_t power = powerCycles_;
        changed_.wait_until(lock, until, [&] { return !attached_ || power != powerCycles_; });
        --writers_;
        changed_.notify_all();
        if (!attached_ || power != powerCycles_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (timesOut) {
            return LIBUSB_ERROR_TIMEOUT;
        }
        queues_[endpoint | 0x80].emplace_back(data, data + length);
        *transferred = length;
        changed_.notify_all();
        return LIBUSB_SUCCESS;
    }

    int transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                   int* transferred) override {
        std::unique_lock<std::mutex> lock(mutex_);
        *transferred = 0;
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (endpoint < 0x81 || endpoint > 0x83) {
            return LIBUSB_ERROR_PIPE;
        }
        std::deque<std::vector<uint8_t>>& queue = queues_[endpoint];
        const uint64_t power = powerCycles_;
        auto ready = [&] { return !attached_ || power != powerCycles_ || !queue.empty(); };
        ++readers_;
        changed_.notify_all();
        bool woke = true;
        if (timeoutMs == 0) {
            changed_.wait(lock, ready);
        } else {
            woke = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
        }
        --readers_;
        changed_.notify_all();
        if (!attached_ || power != powerCycles_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (!woke) {
            return LIBUSB_ERROR_TIMEOUT;
        }
        const std::vector<uint8_t> message = std::move(queue.front());
        queue.pop_front();
        const int n = std::min<int>(length, static_cast<int>(message.size()));
        std::copy(message.begin(), message.begin() + n, data);
        *transferred = n;
        return LIBUSB_SUCCESS;
    }

    void usbReset() override {
        std::lock_guard<std::mutex> lock(mutex_);
        queues_.clear();
        ++resets_;
        changed_.notify_all();
    }

    void setAttached(bool attached) override {
        std::lock_guard<std::mutex> lock(mutex_);
        attached_ = attached;
        if (attached) {
            // Power-on: nothing of the previous session survives.
            queues_.clear();
            resets_ = 0;
            delayMs_ = 0;
        }
        ++powerCycles_;
        changed_.notify_all();
    }

    std::string control(const std::vector<std::string>& args) override {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::string& command = args[0];
        if (command == "ordinal" && args.size() == 1) {
            return std::to_string(ordinal_);
        }
        if (command == "resets" && args.size() == 1) {
            return std::to_string(resets_);
        }
        if (command == "pending" && args.size() == 2) {
            return std::to_string(
                queues_[static_cast<uint8_t>(strtoul(args[1].c_str(), nullptr, 16))].size());
        }
        if (command == "push" && args.size() == 3 && args[2].size() % 2 == 0) {
            std::vector<uint8_t> bytes;
            for (size_t i = 0; i < args[2].size(); i += 2) {
                bytes.push_back(
                    static_cast<uint8_t>(strtoul(args[2].substr(i, 2).c_str(), nullptr, 16)));
            }
            queues_[static_cast<uint8_t>(strtoul(args[1].c_str(), nullptr, 16))].push_back(bytes);
            changed_.notify_all();
            return "ok";
        }
        if (command == "delay" && args.size() == 2) {
            delayMs_ = static_cast<unsigned>(strtoul(args[1].c_str(), nullptr, 10));
            return "ok";
        }
        if ((command == "wait-readers" || command == "wait-writers") && args.size() == 3) {
            const int want = atoi(args[1].c_str());
            const int& count = command == "wait-readers" ? readers_ : writers_;
            const bool reached =
                changed_.wait_for(lock, std::chrono::milliseconds(atoi(args[2].c_str())),
                                  [&] { return count >= want; });
            return reached ? "ok" : "error: only " + std::to_string(count) + " waiting";
        }
        return "error: echo device does not know \"" + command + "\"";
    }

  private:
    const uint16_t productId_;
    const int ordinal_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool attached_ = true;
    uint64_t powerCycles_ = 0;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> queues_;
    int resets_ = 0;
    unsigned delayMs_ = 0;
    int readers_ = 0;
    int writers_ = 0;
};

}  // namespace

namespace ksim {

std::unique_ptr<VirtualDevice> createVirtualDevice(uint16_t vendorId, uint16_t productId,
                                                   int ordinal) {
    if (vendorId != echo::kVendorId ||
        (productId != echo::kProductId && productId != echo::kProductId2)) {
        return nullptr;
    }
    return std::make_unique<EchoDevice>(productId, ordinal);
}

const std::vector<UsbIdentity>& emulatedIdentities() {
    static const std::vector<UsbIdentity> identities = {
        {echo::kVendorId, echo::kProductId, "ECHO"},
        {echo::kVendorId, echo::kProductId2, "ECHO2"},
    };
    return identities;
}

}  // namespace ksim
