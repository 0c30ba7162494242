#include "scripted_device.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

namespace scripted {

namespace {

std::mutex registryMutex;
std::map<std::pair<uint16_t, int>, ScriptedDevice*>& registry() {
    static auto* devices = new std::map<std::pair<uint16_t, int>, ScriptedDevice*>();
    return *devices;
}

}  // namespace

ScriptedDevice::ScriptedDevice(uint16_t productId, int ordinal)
    : productId_(productId), ordinal_(ordinal) {}

ScriptedDevice::~ScriptedDevice() {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = registry().find({productId_, ordinal_});
    if (it != registry().end() && it->second == this) {
        registry().erase(it);
    }
}

std::string ScriptedDevice::modelName() const {
    return productId_ == 0x1200 ? "DUNLIN2" : (productId_ == 0x2601 ? "REC2601" : "REC2602");
}

int ScriptedDevice::transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned,
                                int* transferred) {
    Responder responder;
    Bytes bytes(data, data + length);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        *transferred = 0;
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (auto cut = cuts_.find(endpoint); cut != cuts_.end()) {
            bytes.resize(std::min(bytes.size(), static_cast<size_t>(cut->second)));
            cuts_.erase(cut);
        }
        sent_.push_back({endpoint, bytes});
        responder = responder_;
        *transferred = static_cast<int>(bytes.size());
    }
    changed_.notify_all();
    if (responder) {
        std::vector<Reply> replies = responder(endpoint, bytes);
        std::lock_guard<std::mutex> lock(mutex_);
        for (Reply& r : replies) {
            queues_[r.endpoint].push_back(std::move(r.bytes));
        }
    }
    changed_.notify_all();
    return LIBUSB_SUCCESS;
}

int ScriptedDevice::transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                               int* transferred) {
    std::unique_lock<std::mutex> lock(mutex_);
    *transferred = 0;
    if (!attached_) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
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
    Bytes message = std::move(queue.front());
    queue.pop_front();
    const int n = std::min<int>(length, static_cast<int>(message.size()));
    std::copy(message.begin(), message.begin() + n, data);
    *transferred = n;
    return LIBUSB_SUCCESS;
}

void ScriptedDevice::usbReset() {
    std::lock_guard<std::mutex> lock(mutex_);
    queues_.clear();
    changed_.notify_all();
}

void ScriptedDevice::setAttached(bool attached) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        attached_ = attached;
        queues_.clear();
        ++power_;
    }
    changed_.notify_all();
}

std::string ScriptedDevice::control(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "ordinal") {
        return std::to_string(ordinal_);
    }
    return "error: scripted device has no control commands";
}

void ScriptedDevice::setResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void ScriptedDevice::cutNextWrite(uint8_t endpoint, int accepted) {
    std::lock_guard<std::mutex> lock(mutex_);
    cuts_[endpoint] = accepted;
}

void ScriptedDevice::push(uint8_t endpoint, Bytes bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queues_[endpoint].push_back(std::move(bytes));
    }
    changed_.notify_all();
}

size_t ScriptedDevice::pending(uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    return queues_[endpoint].size();
}

std::vector<Transfer> ScriptedDevice::sent(uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Transfer> out;
    for (const Transfer& t : sent_) {
        if (endpoint == 0 || t.endpoint == endpoint) {
            out.push_back(t);
        }
    }
    return out;
}

void ScriptedDevice::clearSent() {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.clear();
}

size_t ScriptedDevice::countLocked(uint8_t endpoint) const {
    return static_cast<size_t>(std::count_if(sent_.begin(), sent_.end(), [&](const Transfer& t) {
        return endpoint == 0 || t.endpoint == endpoint;
    }));
}

bool ScriptedDevice::waitSent(uint8_t endpoint, size_t count, unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return countLocked(endpoint) >= count; });
}

ScriptedDevice* device(uint16_t productId, int ordinal) {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = registry().find({productId, ordinal});
    return it != registry().end() ? it->second : nullptr;
}

std::string hex(const Bytes& bytes) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i == 0 ? "%02x" : " %02x", bytes[i]);
        s += b;
    }
    return s;
}

}  // namespace scripted

namespace ksim {

std::unique_ptr<VirtualDevice> createVirtualDevice(uint16_t vendorId, uint16_t productId,
                                                   int ordinal) {
    if (vendorId != 0x0471 || (productId != 0x1200 && productId != 0x2601 && productId != 0x2602)) {
        return nullptr;
    }
    auto dev = std::make_unique<scripted::ScriptedDevice>(productId, ordinal);
    std::lock_guard<std::mutex> lock(scripted::registryMutex);
    scripted::registry()[{productId, ordinal}] = dev.get();
    return dev;
}

const std::vector<UsbIdentity>& emulatedIdentities() {
    static const std::vector<UsbIdentity> identities = {
        {0x0471, 0x1200, "DUNLIN2"},
        {0x0471, 0x2601, "REC2601"},
        {0x0471, 0x2602, "REC2602"},
    };
    return identities;
}

}  // namespace ksim
