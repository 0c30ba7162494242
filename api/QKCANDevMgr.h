// QKCANDevMgr - the registry of opened driver objects, keyed by adapter type
// code and device index.
//
// The registry takes no lock: entries are added and removed only while no
// other thread uses the API (open at start-up, close at shut-down), and
// lookups from many threads meanwhile only read the maps.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "QDevice.h"

// One opened adapter; `device` is null once closed.
class QKCANDevice {
  public:
    explicit QKCANDevice(QDevice* dev) : device(dev) {}
    QDevice* device = nullptr;
};

// The devices of one type code, by device index. Once created for a type code,
// the entry stays until the process ends.
class QKCANType {
  public:
    QKCANDevice* find(uint32_t index) const;
    std::map<uint32_t, std::unique_ptr<QKCANDevice>> devices;
};

class QKCANDevMgr {
  public:
    QKCANDevMgr();
    // Closes every registered device; the QDevice objects are not deleted.
    ~QKCANDevMgr();
    QKCANDevMgr(const QKCANDevMgr&) = delete;
    QKCANDevMgr& operator=(const QKCANDevMgr&) = delete;

    // The entry for (type, index), or null.
    QKCANDevice* devFind(uint32_t type, uint32_t index) const;
    // The entry's device, or null.
    QDevice* deviceFind(uint32_t type, uint32_t index) const;
    // Registers `device`; an already registered key keeps its first device. Always 1.
    int32_t deviceAdd(uint32_t type, uint32_t index, QDevice* device);
    // Closes the registered device (without deleting it) and forgets the key. Always 1.
    int32_t deviceDel(uint32_t type, uint32_t index);

  private:
    std::map<uint32_t, std::unique_ptr<QKCANType>> types_;
};

// The process-wide registry, constructed before main and destroyed at exit.
extern QKCANDevMgr kcanDevMgr;
