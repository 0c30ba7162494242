// QDevice - the abstract adapter device behind the exported KCAN_* functions.
//
// The FD-family driver and the recorder driver derive from it; the registry
// (QKCANDevMgr) holds one object per opened adapter. Operations return 1 for
// success and 0 for failure (or a frame count); the cause of a failure is left
// in the last-error record. The operations keep this order.
#pragma once

#include <cstdint>

#include "kcan.h"

class QDevice {
  public:
    QDevice() = default;
    virtual ~QDevice() = default;
    QDevice(const QDevice&) = delete;
    QDevice& operator=(const QDevice&) = delete;

    // 1 = opened or already open. `reserved` is always 0.
    virtual int32_t openDevice(uint32_t type, uint32_t index, uint32_t reserved) = 0;
    // 1, also when the device was not open.
    virtual int32_t closeDevice() = 0;
    virtual int32_t initCAN(uint32_t channel, _KCAN_INIT_CONFIG* cfg) = 0;
    virtual int32_t initCANFD(uint32_t channel, _KCAN_INITFD_CONFIG* cfg) = 0;
    virtual int32_t getBoardInf(_KCAN_BOARD_INFO* info) = 0;
    // Driver-defined state.
    virtual int32_t isDeviceOnLine() = 0;
    // Number of frames sent.
    virtual int32_t transmit(uint32_t channel, _KCAN_CAN_OBJ* frames, uint32_t count) = 0;
    virtual int32_t transmitFD(uint32_t channel, _KCAN_CANFD_OBJ* frames, uint32_t count) = 0;
    // Number of frames stored; waits up to waitMs for the first (-1: no limit).
    virtual int32_t receiveFD(uint32_t channel, _KCAN_CANFD_OBJ* buffer, uint32_t capacity,
                              int32_t waitMs) = 0;
    virtual int32_t receive(uint32_t channel, _KCAN_CAN_OBJ* buffer, uint32_t capacity,
                            int32_t waitMs) = 0;
    virtual int32_t start(uint32_t channel) = 0;
    virtual int32_t stop(uint32_t channel) = 0;
    virtual int32_t clearBuffer(uint32_t channel) = 0;
    // Frames waiting; the meaning of `kind` is the driver's.
    virtual int32_t getReceiveNum(uint32_t channel, uint8_t kind) = 0;
    // Driver-defined result.
    virtual int32_t transmitData(uint8_t* bytes, uint32_t length) = 0;
    virtual int32_t setFliter(uint32_t channel, _KCAN_FLITER_CONFIG* cfg) = 0;

    // Recorder operations: only the recorder driver serves them. Elsewhere they
    // fail with 0 and leave the last error as it is.
    virtual int32_t RecordSettingSet(uint32_t /*channel*/, _KCAN_RECORD_CONFIG* /*cfg*/) {
        return 0;
    }
    virtual int32_t RecordSettingGet(uint32_t /*channel*/, _KCAN_RECORD_CONFIG* /*cfg*/) {
        return 0;
    }
    virtual int32_t RecordCmdExecute(uint32_t /*channel*/, uint32_t /*command*/,
                                     _KCAN_FLITER_INFO* /*info*/, _KCAN_FLITER_CONFIG* /*cfg*/) {
        return 0;
    }

    uint32_t devType = 0;
    uint32_t devIndex = 0;
};
