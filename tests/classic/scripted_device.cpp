#include "scripted_device.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <memory>

namespace scripted {

namespace {
std::mutex registryMutex;
std::map<std::pair<uint16_t, int>, ScriptedDevice*> registry;  // latest device per identity
}  // namespace

int ScriptedDevice::transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned,
                                int* transferred) {
    const Bytes bytes(data, data + length);
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        *transferred = attached_ ? length : 0;
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        sent_.push_back({endpoint, bytes});
        responder = responder_;
    }
    for (Reply& r : responder ? responder(endpoint, bytes) : std::vector<Reply>{}) {
        push(r.endpoint, std::move(r.bytes));
    }
    return LIBUSB_SUCCESS;
}

int ScriptedDevice::transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                               int* transferred) {
    std::unique_lock<std::mutex> lock(mutex_);
    *transferred = 0;
    std::deque<Bytes>& queue = queues_[endpoint];
    const uint64_t power = power_;
    auto ready = [&] { return !attached_ || power != power_ || !queue.empty(); };
    bool woke = true;
    if (timeoutMs == 0) {
        changed_.wait(lock, ready);
    } else {
        woke = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (!attached_ || power != power_) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (!woke) {
        return LIBUSB_ERROR_TIMEOUT;
    }
    const Bytes message = std::move(queue.front());
    queue.pop_front();
    *transferred = std::min<int>(length, static_cast<int>(message.size()));
    std::copy(message.begin(), message.begin() + *transferred, data);
    return LIBUSB_SUCCESS;
}

void ScriptedDevice::setAttached(bool attached) {
    dropQueued();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        attached_ = attached;
        ++power_;
    }
    changed_.notify_all();
}

void ScriptedDevice::setResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void ScriptedDevice::push(uint8_t endpoint, Bytes bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queues_[endpoint].push_back(std::move(bytes));
    }
    changed_.notify_all();
}

std::vector<std::string> ScriptedDevice::sentHex(uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const Reply& t : sent_) {
        if (endpoint == 0 || t.endpoint == endpoint) {
            out.push_back(hex(t.bytes));
        }
    }
    return out;
}

void ScriptedDevice::clearSent() {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.clear();
}

ScriptedDevice* device(uint16_t productId, int ordinal) {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = registry.find({productId, ordinal});
    return it != registry.end() ? it->second : nullptr;
}

}  // namespace scripted

namespace ksim {

std::unique_ptr<VirtualDevice> createVirtualDevice(uint16_t vendorId, uint16_t productId,
                                                   int ordinal) {
    if (vendorId != 0x0471 || (productId != 0x1200 && productId != 0x2601 && productId != 0x2602)) {
        return nullptr;
    }
    auto dev = std::make_unique<scripted::ScriptedDevice>(productId);
    std::lock_guard<std::mutex> lock(scripted::registryMutex);
    scripted::registry[{productId, ordinal}] = dev.get();
    return dev;
}

const std::vector<UsbIdentity>& emulatedIdentities() {
    static const std::vector<UsbIdentity> identities = {
        {0x0471, 0x1200, "DUNLIN2"}, {0x0471, 0x2601, "REC2601"}, {0x0471, 0x2602, "REC2602"}};
    return identities;
}

}  // namespace ksim
