#include "QKCANDevMgr.h"

#include <vector>

#include "QErrMgr.h"

QKCANDevMgr kcanDevMgr;

namespace {

// Devices closed by the destructor at exit are not deleted: a thread the
// application did not join may still hold one while the process ends. They
// stay reachable from here until the end.
std::vector<QDevice*>* const retiredAtExit = new std::vector<QDevice*>;

}  // namespace

QKCANDevice* QKCANType::find(uint32_t index) const {
    auto it = devices.find(index);
    return it == devices.end() ? nullptr : it->second.get();
}

QKCANDevMgr::QKCANDevMgr() {
    // The destructor closes devices whose drivers record error codes: creating
    // the record first makes it outlive this object. The logger is not created
    // here (that would read its ini file before main, in every process linked
    // with the library); it is never destroyed, so it outlives this object too.
    QErrInfoMgr::getinstance();
}

QKCANDevMgr::~QKCANDevMgr() {
    for (auto& [type, typeEntry] : types_) {
        for (auto& [index, entry] : typeEntry->devices) {
            if (entry->device != nullptr) {
                entry->device->closeDevice();
                retiredAtExit->push_back(entry->device);
                entry->device = nullptr;
            }
        }
        typeEntry->devices.clear();
    }
    types_.clear();
}

QKCANDevice* QKCANDevMgr::devFind(uint32_t type, uint32_t index) const {
    auto it = types_.find(type);
    return it == types_.end() ? nullptr : it->second->find(index);
}

QDevice* QKCANDevMgr::deviceFind(uint32_t type, uint32_t index) const {
    QKCANDevice* entry = devFind(type, index);
    return entry == nullptr ? nullptr : entry->device;
}

int32_t QKCANDevMgr::deviceAdd(uint32_t type, uint32_t index, QDevice* device) {
    std::unique_ptr<QKCANType>& typeEntry = types_[type];
    if (!typeEntry)
        typeEntry = std::make_unique<QKCANType>();
    if (typeEntry->find(index) == nullptr) {
        typeEntry->devices.emplace(index, std::make_unique<QKCANDevice>(device));
    }
    return 1;
}

int32_t QKCANDevMgr::deviceDel(uint32_t type, uint32_t index) {
    if (QDevice* device = deviceFind(type, index))
        device->closeDevice();
    auto it = types_.find(type);
    if (it != types_.end())
        it->second->devices.erase(index);
    return 1;
}
