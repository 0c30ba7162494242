// The simulator's state behind the libusb functions: the device list (one
// Slot per configured adapter), the plug state of each adapter, and the
// libusb objects handed out to programs.
//
// Unplug and plug. Each adapter has a generation number that an unplug
// advances. A libusb_device and every handle opened from it carry the
// generation they were made in; a handle of an older generation is dead for
// good, even after the adapter is plugged back, which gives it a new
// libusb_device. Transfers pass a gate that counts them in and out, so plug
// can wait until the transfers of the old generation have left the firmware
// before powering it on afresh.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device_list.h"
#include "sim_control.h"
#include "transcript.h"
#include "virtual_device.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

namespace ksim::core {

struct Counters {
    std::atomic<uint64_t> opens{0};
    std::atomic<uint64_t> resets{0};
    std::atomic<uint64_t> clearHalts{0};
    std::atomic<uint64_t> transfersOut{0};
    std::atomic<uint64_t> transfersIn{0};
    std::atomic<uint64_t> bytesOut{0};
    std::atomic<uint64_t> bytesIn{0};
    std::atomic<uint64_t> timeouts{0};
    std::atomic<uint64_t> failures{0};  // failed transfers other than time-outs
};

class Slot : public std::enable_shared_from_this<Slot> {
  public:
    Slot(int position, const DeviceListEntry& entry, std::unique_ptr<VirtualDevice> firmware);
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    const DeviceTag& tag() const { return tag_; }
    const std::string& model() const { return model_; }
    VirtualDevice& firmware() { return *firmware_; }
    Counters& counters() { return counters_; }

    // Creates the first libusb_device; called once right after construction.
    void powerOn();
    bool attached() const;
    // The present libusb_device with a reference for the caller, or null
    // while unplugged.
    libusb_device* referenceDevice();
    // False when the handle or device of that generation is dead.
    bool isCurrent(uint64_t generation) const;

    // Transfer gate: enter() succeeds only for the present generation of an
    // attached adapter; every successful enter() is paired with leave().
    bool enter(uint64_t generation);
    void leave();

    // False with a reason when already in that state.
    bool unplug(std::string* error);
    bool plug(std::string* error);

    // The cut switch (see TransferCut); nullopt clears it.
    void setCut(const std::optional<TransferCut>& cut);
    // Whether a transfer on `endpoint` that would move `length` bytes is cut;
    // if so it counts against the switch and *cut tells how.
    bool takeCut(uint8_t endpoint, int length, TransferCut* cut);
    // IN bytes a cut kept back: copies up to `length` of them for `endpoint`
    // and returns how many; holdBack puts bytes in front of those kept.
    int takeHeld(uint8_t endpoint, uint8_t* data, int length);
    void holdBack(uint8_t endpoint, const uint8_t* data, int length);
    // The device lost its queues (USB reset, power-on after a plug).
    void dropHeld();

  private:
    libusb_device* makeDevice();  // mutex_ held

    const DeviceTag tag_;
    const std::string model_;
    std::unique_ptr<VirtualDevice> firmware_;
    Counters counters_;

    // Held over a whole unplug or plug, so that the firmware hears of them
    // in the order the slot's state changed. Transfers never take it.
    std::mutex plugMutex_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;  // inflight_ dropped to 0
    bool attached_ = false;
    uint64_t generation_ = 1;
    int inflight_ = 0;
    libusb_device* device_ = nullptr;  // holds one reference while attached

    // One reader per IN endpoint is assumed: two threads reading one
    // endpoint at once could see its bytes out of order around a cut.
    std::mutex cutMutex_;
    std::optional<TransferCut> cut_;
    std::map<uint8_t, std::vector<uint8_t>> held_;
};

class Simulator {
  public:
    // The process-wide simulator. Made on first use from KESTRUN_SIM and
    // KESTRUN_SIM_TRANSCRIPT (problems are reported on standard error) and
    // never destroyed, so that libusb calls from other libraries' exit code
    // still find it.
    static Simulator& instance();

    // Replaces every adapter by those of a device list; the old ones are
    // unplugged for good. False (nothing changed) on a bad list.
    bool configure(std::string_view list, std::string* error);
    std::vector<std::shared_ptr<Slot>> slots() const;
    std::shared_ptr<Slot> slot(int position) const;

    // libusb contexts: explicit ones and the shared default one, which is
    // null and counts its users (libusb_init(NULL) / libusb_exit(NULL)).
    libusb_context* createContext(bool defaultContext);
    bool destroyContext(libusb_context* context);
    bool isValidContext(libusb_context* context) const;

  private:
    Simulator();

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Slot>> slots_;
    std::set<libusb_context*> contexts_;
    int defaultContextUsers_ = 0;
};

// Drops one reference of a libusb_device; the last one frees it.
void unreferenceDevice(libusb_device* device);

}  // namespace ksim::core

// The libusb objects. Their layout is private to the simulator; programs only
// see pointers.
struct libusb_context {
    int unused;
};

struct libusb_device {
    std::atomic<int> references{1};
    std::shared_ptr<ksim::core::Slot> slot;
    uint64_t generation = 0;
    uint8_t address = 0;
};

struct libusb_device_handle {
    libusb_device* device = nullptr;  // holds a reference
    uint64_t generation = 0;
};
