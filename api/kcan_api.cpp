// The exported KCAN_* functions: each decides from the type code which driver
// serves the call, checks what the facade checks, forwards, and records the
// cause of a failure in the last-error record. KCAN_GetLastError and
// KCAN_GetLastErrorStr live in kcan_error.cpp.
#include <array>
#include <memory>
#include <new>

#include "QDevice.h"
#include "QErrMgr.h"
#include "QKCANDevMgr.h"
#include "drivers/classic/dunlin2.h"
#include "drivers/fd/QDeviceDunlinFd2.h"
#include "drivers/record/QDeviceCanRecord.h"
#include "kcan.h"

namespace {

// Who serves a type code.
enum class Family {
    Classic,     // 3, 4: the classic driver's own device table
    Fd,          // 41..43, 64..67: QDeviceDunlinFd2
    Recorder,    // 61, 62: QDeviceCanRecord
    Reserved,    // 63, 68..73: no model; each function says what they do
    Unsupported  // everything else: error 6
};

struct TypeRow {
    uint32_t type;
    Family family;
};

constexpr std::array<TypeRow, 18> kTypeTable = {{
    {KCAN_TYPE_DUNLIN1, Family::Classic},
    {KCAN_TYPE_DUNLIN2, Family::Classic},
    {KCAN_TYPE_DUNLINFD2, Family::Fd},
    {KCAN_TYPE_DUNLINFD1, Family::Fd},
    {KCAN_TYPE_DUNLINFD_MINI, Family::Fd},
    {KCAN_TYPE_RECORD_2601, Family::Recorder},
    {KCAN_TYPE_RECORD_2602, Family::Recorder},
    {63, Family::Reserved},
    {KCAN_TYPE_ZARO3014, Family::Fd},
    {KCAN_TYPE_ZARO2014, Family::Fd},
    {KCAN_TYPE_ZARO2018, Family::Fd},
    {KCAN_TYPE_ZARO3018, Family::Fd},
    {68, Family::Reserved},
    {69, Family::Reserved},
    {70, Family::Reserved},
    {71, Family::Reserved},
    {72, Family::Reserved},
    {73, Family::Reserved},
}};

Family familyOf(uint32_t type) {
    for (const TypeRow& row : kTypeTable) {
        if (row.type == type)
            return row.family;
    }
    return Family::Unsupported;
}

uint32_t fail(int code) {
    QErrInfoMgr::getinstance()->setLastError(code);
    return 0;
}

// Classic cells pass everything on to the classic driver, which checks
// index, channel, open and initialised state itself.
std::unique_ptr<QDevice> createRecorderDevice() {
    return std::make_unique<QDeviceCanRecord>();
}

// Cells reading "device op": the registered object, or error 7.
template <typename Op>
uint32_t withDevice(uint32_t devType, uint32_t devIndex, Op op) {
    QDevice* dev = kcanDevMgr.deviceFind(devType, devIndex);
    if (dev == nullptr)
        return fail(KCAN_ERR_DEVICE_NOT_OPENED);
    return static_cast<uint32_t>(op(*dev));
}

// Cells that return 0 without an error when nothing is registered.
template <typename Op>
uint32_t withDeviceQuiet(uint32_t devType, uint32_t devIndex, Op op) {
    QDevice* dev = kcanDevMgr.deviceFind(devType, devIndex);
    if (dev == nullptr)
        return 0;
    return static_cast<uint32_t>(op(*dev));
}

bool isDeviceFamily(Family f) {
    return f == Family::Fd || f == Family::Recorder;
}

}  // namespace

extern "C" {

KCAN_API uint32_t KCAN_OpenDevice(uint32_t devType, uint32_t devIndex) {
    Family f = familyOf(devType);
    if (f == Family::Classic)
        return dunlin2OpenDevice(devType, devIndex, 0);
    if (!isDeviceFamily(f))
        return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    if (kcanDevMgr.deviceFind(devType, devIndex) != nullptr)
        return 1;

    try {
        std::unique_ptr<QDevice> dev;
        if (f == Family::Fd) {
            dev = std::make_unique<QDeviceDunlinFd2>();
        } else {
            dev = createRecorderDevice();
        }
        if (dev->openDevice(devType, devIndex, 0) != 1)
            return 0;  // the driver set the cause
        dev->devType = devType;
        dev->devIndex = devIndex;
        kcanDevMgr.deviceAdd(devType, devIndex, dev.get());
        dev.release();  // owned through the registry until KCAN_CloseDevice
    } catch (const std::bad_alloc&) {
        return fail(KCAN_ERR_MALLOC);  // nothing may unwind into a C caller
    }
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
    return 1;
}

KCAN_API uint32_t KCAN_CloseDevice(uint32_t devType, uint32_t devIndex) {
    Family f = familyOf(devType);
    if (f == Family::Classic)
        return dunlin2CloseDevice(devType, devIndex);
    if (!isDeviceFamily(f))
        return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    QDevice* dev = kcanDevMgr.deviceFind(devType, devIndex);
    if (dev == nullptr)
        return 1;
    int32_t result = dev->closeDevice();
    kcanDevMgr.deviceDel(devType, devIndex);
    delete dev;
    return static_cast<uint32_t>(result);
}

KCAN_API uint32_t KCAN_BoardInfoGet(uint32_t devType, uint32_t devIndex, _KCAN_BOARD_INFO* info) {
    Family f = familyOf(devType);
    if (f == Family::Classic)
        return dunlin2ReadBoardInfo(devType, devIndex, info);
    if (!isDeviceFamily(f))
        return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    return withDevice(devType, devIndex, [&](QDevice& d) { return d.getBoardInf(info); });
}

KCAN_API uint32_t KCAN_DataDirectTransfer(uint32_t devType, uint32_t devIndex, uint8_t* data,
                                          uint32_t length) {
    Family f = familyOf(devType);
    if (f == Family::Classic) {
        int32_t len = length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
        return dunlin2DevDataTransfer(devType, devIndex, data, len);
    }
    if (!isDeviceFamily(f))
        return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    return withDevice(devType, devIndex, [&](QDevice& d) { return d.transmitData(data, length); });
}

KCAN_API uint32_t KCAN_InitCAN(uint32_t devType, uint32_t devIndex, uint32_t channel,
                               _KCAN_INIT_CONFIG* cfg) {
    // Classic: init, then start whatever the init result, returning the init result.
    if (familyOf(devType) == Family::Classic) {
        uint32_t init = dunlin2InitCAN(devType, devIndex, channel, cfg);
        dunlin2StartCAN(devType, devIndex, channel);
        return init;
    }
    return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
}

KCAN_API uint32_t KCAN_InitCANFD(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                 _KCAN_INITFD_CONFIG* cfg) {
    switch (familyOf(devType)) {
        case Family::Fd:
            return withDevice(devType, devIndex, [&](QDevice& d) {
                int32_t init = d.initCANFD(channel, cfg);
                return init == 1 ? d.start(channel) : init;
            });
        case Family::Reserved:
            return 0;
        default:
            return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    }
}

KCAN_API uint32_t KCAN_Start(uint32_t devType, uint32_t devIndex, uint32_t channel) {
    switch (familyOf(devType)) {
        case Family::Classic:
            return dunlin2StartCAN(devType, devIndex, channel);
        case Family::Fd:
            return withDevice(devType, devIndex, [&](QDevice& d) { return d.start(channel); });
        default:
            return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    }
}

KCAN_API uint32_t KCAN_Stop(uint32_t devType, uint32_t devIndex, uint32_t channel) {
    switch (familyOf(devType)) {
        case Family::Classic:
            return dunlin2ResetCAN(devType, devIndex, channel);
        case Family::Fd:
            return withDevice(devType, devIndex, [&](QDevice& d) { return d.stop(channel); });
        default:
            return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    }
}

KCAN_API uint32_t KCAN_ClearBuffer(uint32_t devType, uint32_t devIndex, uint32_t channel) {
    switch (familyOf(devType)) {
        case Family::Classic:
            return dunlin2ClearBuffer(devType, devIndex, channel);
        case Family::Fd:
            return withDeviceQuiet(devType, devIndex,
                                   [&](QDevice& d) { return d.clearBuffer(channel); });
        default:
            return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    }
}

KCAN_API uint32_t KCAN_GetReceiveNum(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                     uint8_t kind) {
    switch (familyOf(devType)) {
        case Family::Classic:
        case Family::Reserved:
            // The reserved codes take the classic path too: the classic
            // driver refuses them itself.
            return kind != 0 ? 0 : dunlin2GetReceiveNum(devType, devIndex, channel);
        case Family::Fd:
            return withDevice(devType, devIndex,
                              [&](QDevice& d) { return d.getReceiveNum(channel, kind); });
        default:
            return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    }
}

KCAN_API uint32_t KCAN_SetFliter(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                 _KCAN_FLITER_CONFIG* cfg) {
    if (familyOf(devType) != Family::Fd)
        return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    return withDevice(devType, devIndex, [&](QDevice& d) { return d.setFliter(channel, cfg); });
}

KCAN_API uint32_t KCAN_Transmit(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                _KCAN_CAN_OBJ* frames, uint32_t count) {
    switch (familyOf(devType)) {
        case Family::Classic:
            return count == 0 ? fail(KCAN_ERR_PARAMETER)
                              : dunlin2Transmit(devType, devIndex, channel, frames, count);
        case Family::Fd:
            return withDevice(devType, devIndex,
                              [&](QDevice& d) { return d.transmit(channel, frames, count); });
        case Family::Reserved:
            return 0;
        default:
            return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    }
}

KCAN_API uint32_t KCAN_TransmitFD(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                  _KCAN_CANFD_OBJ* frames, uint32_t count) {
    if (familyOf(devType) != Family::Fd)
        return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    return withDevice(devType, devIndex,
                      [&](QDevice& d) { return d.transmitFD(channel, frames, count); });
}

KCAN_API uint32_t KCAN_Receive(uint32_t devType, uint32_t devIndex, uint32_t channel,
                               _KCAN_CAN_OBJ* buffer, uint32_t capacity, int32_t waitMs) {
    switch (familyOf(devType)) {
        case Family::Classic:
            return capacity == 0
                       ? fail(KCAN_ERR_PARAMETER)
                       : dunlin2Receive(devType, devIndex, channel, buffer, capacity, waitMs);
        case Family::Fd:
            return withDevice(devType, devIndex, [&](QDevice& d) {
                return d.receive(channel, buffer, capacity, waitMs);
            });
        case Family::Reserved:
            return 0;
        default:
            return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    }
}

KCAN_API uint32_t KCAN_ReceiveFD(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                 _KCAN_CANFD_OBJ* buffer, uint32_t capacity, int32_t waitMs) {
    if (familyOf(devType) != Family::Fd)
        return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
    return withDevice(devType, devIndex,
                      [&](QDevice& d) { return d.receiveFD(channel, buffer, capacity, waitMs); });
}

KCAN_API uint32_t KCAN_RecordSettingSet(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                        _KCAN_RECORD_CONFIG* cfg) {
    if (familyOf(devType) != Family::Recorder)
        return 0;
    return withDevice(devType, devIndex,
                      [&](QDevice& d) { return d.RecordSettingSet(channel, cfg); });
}

KCAN_API uint32_t KCAN_RecordSettingGet(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                        _KCAN_RECORD_CONFIG* cfg) {
    if (familyOf(devType) != Family::Recorder)
        return 0;
    return withDeviceQuiet(devType, devIndex,
                           [&](QDevice& d) { return d.RecordSettingGet(channel, cfg); });
}

KCAN_API uint32_t KCAN_RecordCmdExecute(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                        uint32_t command, _KCAN_FLITER_INFO* info,
                                        _KCAN_FLITER_CONFIG* cfg) {
    if (familyOf(devType) != Family::Recorder)
        return 0;
    return withDeviceQuiet(devType, devIndex, [&](QDevice& d) {
        return d.RecordCmdExecute(channel, command, info, cfg);
    });
}

KCAN_API uint32_t KCAN_RecordFliterClr(uint32_t devType, uint32_t devIndex, uint32_t channel) {
    return KCAN_RecordCmdExecute(devType, devIndex, channel, 0, nullptr, nullptr);
}

KCAN_API uint32_t KCAN_RecordFliterAdd(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                       _KCAN_FLITER_CONFIG* cfg) {
    return KCAN_RecordCmdExecute(devType, devIndex, channel, 1, nullptr, cfg);
}

KCAN_API uint32_t KCAN_RecordFliterEnable(uint32_t devType, uint32_t devIndex, uint32_t channel) {
    return KCAN_RecordCmdExecute(devType, devIndex, channel, 2, nullptr, nullptr);
}

KCAN_API uint32_t KCAN_RecordFliterDisable(uint32_t devType, uint32_t devIndex, uint32_t channel) {
    return KCAN_RecordCmdExecute(devType, devIndex, channel, 3, nullptr, nullptr);
}

KCAN_API uint32_t KCAN_RecordFliterInfoGet(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                           _KCAN_FLITER_INFO* info) {
    return KCAN_RecordCmdExecute(devType, devIndex, channel, 4, info, nullptr);
}

KCAN_API uint32_t KCAN_RecordFliterSettingGet(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                              uint16_t filterIndex, _KCAN_FLITER_CONFIG* cfg) {
    if (cfg != nullptr)
        cfg->filterIndex = filterIndex;
    return KCAN_RecordCmdExecute(devType, devIndex, channel, 5, nullptr, cfg);
}

KCAN_API uint32_t KCAN_DevRelayStatusSet(uint32_t devType, uint32_t devIndex, uint8_t a,
                                         uint8_t b) {
    if (familyOf(devType) == Family::Classic)
        return dunlin2DevRelayStatusSet(devType, devIndex, a, b);
    return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
}

KCAN_API uint32_t KCAN_DevRelayStatusGet(uint32_t devType, uint32_t devIndex, uint8_t* a,
                                         uint8_t* b) {
    if (familyOf(devType) == Family::Classic)
        return dunlin2DevRelayStatusGet(devType, devIndex, a, b);
    return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
}

KCAN_API uint32_t KCAN_DevBaudParaGet(uint32_t devType, uint32_t devIndex, uint8_t channel,
                                      uint8_t* p1, uint8_t* p2) {
    if (familyOf(devType) == Family::Classic)
        return dunlin2DevBaudParaGet(devType, devIndex, channel, p1, p2);
    return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
}

KCAN_API uint32_t KCAN_DevChStateGet(uint32_t devType, uint32_t devIndex, uint8_t channel,
                                     uint8_t* s1, uint8_t* s2, uint8_t* s3) {
    if (familyOf(devType) == Family::Classic)
        return dunlin2DevChStateGet(devType, devIndex, channel, s1, s2, s3);
    return fail(KCAN_ERR_TYPE_NOT_SUPPORTED);
}

}  // extern "C"
