// A test firmware behind the simulator's device seam, so that the simulator
// core and the USB transport are tested without any adapter's protocol.
// ECHO (1209:0001) and ECHO2 (1209:0002): what is written to OUT endpoint
// 0x01 or 0x02 comes back on IN endpoint 0x81 or 0x82, one message per read;
// IN endpoint 0x83 gives only what "push" queued. Control words:
//   push EP TEXT         queue TEXT as one message on IN endpoint EP (hex)
//   delay MS             every OUT transfer takes MS milliseconds, time-out or not
//   wait-readers N MS    wait up to MS ms until N reads are waiting
//   wait-writers N MS    the same for OUT transfers in progress
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "virtual_device.h"

namespace {

class EchoDevice : public ksim::VirtualDevice {
  public:
    explicit EchoDevice(uint16_t productId) : productId_(productId) {}
    uint16_t vendorId() const override { return 0x1209; }
    uint16_t productId() const override { return productId_; }
    std::string modelName() const override { return productId_ == 1 ? "ECHO" : "ECHO2"; }

    int transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned /*timeoutMs*/,
                    int* transferred) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (endpoint != 0x01 && endpoint != 0x02) {
            return attached_ ? LIBUSB_ERROR_PIPE : LIBUSB_ERROR_NO_DEVICE;
        }
        if (await(lock, writers_, delayMs_, [] { return false; }) == LIBUSB_ERROR_NO_DEVICE) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        queues_[endpoint].emplace_back(data, data + length);
        *transferred = length;
        changed_.notify_all();
        return LIBUSB_SUCCESS;
    }

    int transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                   int* transferred) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (endpoint < 0x81 || endpoint > 0x83) {
            return attached_ ? LIBUSB_ERROR_PIPE : LIBUSB_ERROR_NO_DEVICE;
        }
        Queue& queue = queues_[endpoint & 0x03];
        const int result = await(lock, readers_, timeoutMs == 0 ? 86400000u : timeoutMs,
                                 [&] { return !queue.empty(); });
        if (result == LIBUSB_SUCCESS) {
            *transferred = std::min<int>(length, static_cast<int>(queue.front().size()));
            std::copy_n(queue.front().begin(), *transferred, data);
            queue.pop_front();
        }
        return result;
    }

    void usbReset() override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::fill(std::begin(queues_), std::end(queues_), Queue());
    }

    void setAttached(bool attached) override {
        std::lock_guard<std::mutex> lock(mutex_);
        attached_ = attached;
        std::fill(std::begin(queues_), std::end(queues_), Queue());  // a new power-on
        delayMs_ = 0;
        ++powerCycles_;
        changed_.notify_all();
    }

    std::string control(const std::vector<std::string>& args) override {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto number = [&](size_t i, int base) {
            return static_cast<unsigned>(strtoul(args[i].c_str(), nullptr, base));
        };
        if (args[0] == "push" && args.size() == 3) {
            queues_[number(1, 16) & 0x03].emplace_back(args[2].begin(), args[2].end());
            changed_.notify_all();
            return "ok";
        }
        if (args[0] == "delay" && args.size() == 2) {
            delayMs_ = number(1, 10);
            return "ok";
        }
        if ((args[0] == "wait-readers" || args[0] == "wait-writers") && args.size() == 3) {
            const int& count = args[0] == "wait-readers" ? readers_ : writers_;
            const bool reached = changed_.wait_for(lock, std::chrono::milliseconds(number(2, 10)),
                                                   [&] { return count >= int(number(1, 10)); });
            return reached ? "ok" : "error: only " + std::to_string(count) + " waiting";
        }
        return "error: echo device does not know \"" + args[0] + "\"";
    }

  private:
    // Waits as one of `waiting` until ready() or for `ms`; an unplug, or a
    // plug that powers the device anew, ends the wait with NO_DEVICE.
    template <typename Ready>
    int await(std::unique_lock<std::mutex>& lock, int& waiting, unsigned ms, Ready ready) {
        const uint64_t power = powerCycles_;
        const auto gone = [&] { return !attached_ || power != powerCycles_; };
        ++waiting;
        changed_.notify_all();
        const bool woke = changed_.wait_for(lock, std::chrono::milliseconds(ms),
                                            [&] { return gone() || ready(); });
        --waiting;
        changed_.notify_all();
        return gone() ? LIBUSB_ERROR_NO_DEVICE : woke ? LIBUSB_SUCCESS : LIBUSB_ERROR_TIMEOUT;
    }

    const uint16_t productId_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool attached_ = true;
    uint64_t powerCycles_ = 0;
    using Queue = std::deque<std::vector<uint8_t>>;
    Queue queues_[4];  // by IN endpoint number
    unsigned delayMs_ = 0;
    int readers_ = 0;
    int writers_ = 0;
};

}  // namespace

namespace ksim {

std::unique_ptr<VirtualDevice> createVirtualDevice(uint16_t vendorId, uint16_t productId,
                                                   int /*ordinal*/) {
    return vendorId == 0x1209 && (productId == 1 || productId == 2)
               ? std::make_unique<EchoDevice>(productId)
               : nullptr;
}

const std::vector<UsbIdentity>& emulatedIdentities() {
    static const std::vector<UsbIdentity> identities = {{0x1209, 0x0001, "ECHO"},
                                                        {0x1209, 0x0002, "ECHO2"}};
    return identities;
}

}  // namespace ksim
