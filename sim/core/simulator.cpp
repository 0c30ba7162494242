#include "simulator.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace ksim::core {

void unreferenceDevice(libusb_device* device) {
    if (device != nullptr && device->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete device;
    }
}

Slot::Slot(int position, const DeviceListEntry& entry, std::unique_ptr<VirtualDevice> firmware)
    : tag_{position, entry.vendorId, entry.productId, entry.ordinal},
      model_(entry.model),
      firmware_(std::move(firmware)) {}

Slot::~Slot() = default;

libusb_device* Slot::makeDevice() {
    auto* device = new libusb_device;
    device->slot = shared_from_this();
    device->generation = generation_;
    // Like a real bus, a device gets a new address each time it enumerates.
    static std::atomic<unsigned> nextAddress{0};
    device->address = static_cast<uint8_t>(1 + nextAddress.fetch_add(1) % 127);
    return device;
}

void Slot::powerOn() {
    std::lock_guard<std::mutex> lock(mutex_);
    attached_ = true;
    device_ = makeDevice();
}

bool Slot::attached() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return attached_;
}

libusb_device* Slot::referenceDevice() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (device_ == nullptr) {
        return nullptr;
    }
    device_->references.fetch_add(1, std::memory_order_relaxed);
    return device_;
}

bool Slot::isCurrent(uint64_t generation) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return attached_ && generation == generation_;
}

bool Slot::enter(uint64_t generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!attached_ || generation != generation_) {
        return false;
    }
    ++inflight_;
    return true;
}

void Slot::leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--inflight_ == 0) {
        idle_.notify_all();
    }
}

bool Slot::unplug(std::string* error) {
    // Keeps this object alive until the end, also if the last device
    // reference that goes below was the last owner.
    const std::shared_ptr<Slot> self = shared_from_this();
    std::lock_guard<std::mutex> serial(plugMutex_);
    libusb_device* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!attached_) {
            *error = "device " + std::to_string(tag_.position) + " is already unplugged";
            return false;
        }
        attached_ = false;
        ++generation_;  // every handle and device entry made so far is dead now
        old = std::exchange(device_, nullptr);
    }
    // Recorded before any transfer can fail because of it.
    if (transcript().enabled()) {
        transcript().write(formatEventLine(tag_, "unplug", -1, false, 0));
    }
    // Wakes transfers waiting inside the firmware; they return NO_DEVICE.
    firmware_->setAttached(false);
    unreferenceDevice(old);
    return true;
}

bool Slot::plug(std::string* error) {
    std::lock_guard<std::mutex> serial(plugMutex_);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (attached_) {
            *error = "device " + std::to_string(tag_.position) + " is already plugged in";
            return false;
        }
        // Transfers of the old generation are on their way out (the firmware
        // was told to fail them); none may still be inside when it powers on.
        idle_.wait(lock, [this] { return inflight_ == 0; });
        dropHeld();  // the bytes of the old power-on die with it
        firmware_->setAttached(true);
        // Recorded before the new device entry can be opened.
        if (transcript().enabled()) {
            transcript().write(formatEventLine(tag_, "plug", -1, false, 0));
        }
        attached_ = true;
        device_ = makeDevice();
    }
    return true;
}

void Slot::setCut(const std::optional<TransferCut>& cut) {
    std::lock_guard<std::mutex> lock(cutMutex_);
    cut_ = cut;
}

bool Slot::takeCut(uint8_t endpoint, int length, TransferCut* cut) {
    std::lock_guard<std::mutex> lock(cutMutex_);
    if (!cut_ || cut_->endpoint != endpoint || length <= cut_->bytes) {
        return false;
    }
    *cut = *cut_;
    if (cut_->times > 0 && --cut_->times == 0) {
        cut_.reset();
    }
    return true;
}

int Slot::takeHeld(uint8_t endpoint, uint8_t* data, int length) {
    std::lock_guard<std::mutex> lock(cutMutex_);
    auto it = held_.find(endpoint);
    if (it == held_.end() || length <= 0) {
        return 0;
    }
    std::vector<uint8_t>& bytes = it->second;
    const size_t n = std::min(bytes.size(), static_cast<size_t>(length));
    std::copy_n(bytes.begin(), n, data);
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    if (bytes.empty()) {
        held_.erase(it);
    }
    return static_cast<int>(n);
}

void Slot::holdBack(uint8_t endpoint, const uint8_t* data, int length) {
    if (length <= 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(cutMutex_);
    std::vector<uint8_t>& bytes = held_[endpoint];
    bytes.insert(bytes.begin(), data, data + length);
}

void Slot::dropHeld() {
    std::lock_guard<std::mutex> lock(cutMutex_);
    held_.clear();
}

Simulator& Simulator::instance() {
    // Never destroyed (see the header); made thread-safely on first use.
    static Simulator* simulator = new Simulator;
    return *simulator;
}

Simulator::Simulator() {
    std::string error;
    if (const char* path = getenv("KESTRUN_SIM_TRANSCRIPT"); path != nullptr && *path != '\0') {
        if (!transcript().open(path, &error)) {
            fprintf(stderr, "kestrun-usbsim: KESTRUN_SIM_TRANSCRIPT: %s\n", error.c_str());
        }
    }
    const char* list = getenv("KESTRUN_SIM");
    if (list == nullptr) {
        // One adapter of each USB identity (names that share ids count once).
        std::string defaults;
        std::set<std::pair<uint16_t, uint16_t>> seen;
        for (const UsbIdentity& id : emulatedIdentities()) {
            if (seen.insert({id.vendorId, id.productId}).second) {
                defaults += (defaults.empty() ? "" : ",") + std::string(id.name);
            }
        }
        if (!configure(defaults, &error)) {
            fprintf(stderr, "kestrun-usbsim: default adapters: %s\n", error.c_str());
        }
    } else if (!configure(list, &error)) {
        fprintf(stderr, "kestrun-usbsim: KESTRUN_SIM=\"%s\": %s; no adapters attached\n", list,
                error.c_str());
    }
}

bool Simulator::configure(std::string_view list, std::string* error) {
    std::vector<DeviceListEntry> entries;
    // A blank list attaches nothing and needs no firmware table.
    static const std::vector<UsbIdentity> kNone;
    const bool blank = list.find_first_not_of(" \t\r\n") == std::string_view::npos;
    if (!parseDeviceList(list, blank ? kNone : emulatedIdentities(), &entries, error)) {
        return false;
    }
    std::vector<std::shared_ptr<Slot>> fresh;
    fresh.reserve(entries.size());
    for (const DeviceListEntry& entry : entries) {
        std::unique_ptr<VirtualDevice> firmware =
            createVirtualDevice(entry.vendorId, entry.productId, entry.ordinal);
        if (firmware == nullptr) {
            *error = "no firmware for " + formatUsbId(entry.vendorId, entry.productId);
            return false;
        }
        fresh.push_back(
            std::make_shared<Slot>(static_cast<int>(fresh.size()), entry, std::move(firmware)));
        fresh.back()->powerOn();
    }
    std::vector<std::shared_ptr<Slot>> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old = std::exchange(slots_, std::move(fresh));
    }
    std::string ignored;
    for (const std::shared_ptr<Slot>& slot : old) {
        slot->unplug(&ignored);
    }
    return true;
}

std::vector<std::shared_ptr<Slot>> Simulator::slots() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_;
}

std::shared_ptr<Slot> Simulator::slot(int position) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (position < 0 || position >= static_cast<int>(slots_.size())) {
        return nullptr;
    }
    return slots_[static_cast<size_t>(position)];
}

libusb_context* Simulator::createContext(bool defaultContext) {
    if (defaultContext) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++defaultContextUsers_;
        return nullptr;
    }
    auto* context = new libusb_context{0};
    std::lock_guard<std::mutex> lock(mutex_);
    contexts_.insert(context);
    return context;
}

bool Simulator::destroyContext(libusb_context* context) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (context == nullptr) {
            if (defaultContextUsers_ == 0) {
                return false;
            }
            --defaultContextUsers_;
            return true;
        }
        if (contexts_.erase(context) == 0) {
            return false;
        }
    }
    delete context;
    return true;
}

bool Simulator::isValidContext(libusb_context* context) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return context == nullptr ? defaultContextUsers_ > 0 : contexts_.count(context) != 0;
}

}  // namespace ksim::core
