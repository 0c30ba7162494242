// QDeviceCanRecord - the driver of the recorder adapters (type codes 61 and
// 62, USB 0471:2601 and 0471:2602).
//
// A recorder is only configured through this driver: board information, the
// per-channel recording settings, the identifier filters it applies while
// recording, and a raw direct transfer. It sends and receives no CAN frames,
// so the frame, channel and buffer operations are empty (0, no error code).
//
// No thread and no lock of its own: every operation runs on the caller's
// thread, one exchange at a time. Since a reply is matched only by its first
// two bytes, one recorder must not be used from two threads at once.
//
// Failures return 0 without an error code; only initCAN and initCANFD set
// one (6).
#pragma once

#include <cstdint>

#include "QDevice.h"
#include "platform/QUserLibUsb.h"

class QDeviceCanRecord : public QDevice {
  public:
    QDeviceCanRecord() = default;
    // Closes the device if it is still open.
    ~QDeviceCanRecord() override;

    // Opens the recorder of the type's USB identity with the given index. 1
    // when open (also when it already was); 0 when it cannot be opened.
    int32_t openDevice(uint32_t type, uint32_t index, uint32_t reserved) override;
    // Always 1.
    int32_t closeDevice() override;
    // Not served by recorders: 0 with error 6.
    int32_t initCAN(uint32_t channel, _KCAN_INIT_CONFIG* cfg) override;
    int32_t initCANFD(uint32_t channel, _KCAN_INITFD_CONFIG* cfg) override;
    // hwVersion, fwVersion, chNum and ifVersion (0x0100). 1 or 0.
    int32_t getBoardInf(_KCAN_BOARD_INFO* info) override;
    // Always 2.
    int32_t isDeviceOnLine() override;
    // Empty: 0 at once, no error code.
    int32_t transmit(uint32_t channel, _KCAN_CAN_OBJ* frames, uint32_t count) override;
    int32_t transmitFD(uint32_t channel, _KCAN_CANFD_OBJ* frames, uint32_t count) override;
    int32_t receiveFD(uint32_t channel, _KCAN_CANFD_OBJ* buffer, uint32_t capacity,
                      int32_t waitMs) override;
    int32_t receive(uint32_t channel, _KCAN_CAN_OBJ* buffer, uint32_t capacity,
                    int32_t waitMs) override;
    int32_t start(uint32_t channel) override;
    int32_t stop(uint32_t channel) override;
    int32_t clearBuffer(uint32_t channel) override;
    int32_t getReceiveNum(uint32_t channel, uint8_t kind) override;
    // Sends "12 A7" and the first min(length, 62) bytes; copies the reply
    // after its two leading bytes back into bytes (room for 62 needed).
    // Returns that count, 0 on failure.
    int32_t transmitData(uint8_t* bytes, uint32_t length) override;
    // Recorder filters go through RecordCmdExecute: 0.
    int32_t setFliter(uint32_t channel, _KCAN_FLITER_CONFIG* cfg) override;

    // Channel 0 or 1. 1 when the recorder accepted (or delivered) them.
    int32_t RecordSettingSet(uint32_t channel, _KCAN_RECORD_CONFIG* cfg) override;
    int32_t RecordSettingGet(uint32_t channel, _KCAN_RECORD_CONFIG* cfg) override;
    // 0 clear filters, 1 add cfg, 2 enable, 3 disable, 4 summary into info,
    // 5 read entry cfg->filterIndex into cfg; other commands send nothing.
    int32_t RecordCmdExecute(uint32_t channel, uint32_t command, _KCAN_FLITER_INFO* info,
                             _KCAN_FLITER_CONFIG* cfg) override;

    // One exchange: a bulk write, then reads until a reply repeating the
    // command's first two bytes comes (others are dropped) or timeoutMs has
    // passed. Returns the reply's length (also left in *replyLen), 0 when
    // timeoutMs is 0 and the whole command went out, -1 on failure (a write
    // cut short included).
    int usbCmdSend(uint8_t* cmd, int32_t cmdLen, uint8_t* reply, int32_t* replyLen, uint8_t epOut,
                   uint8_t epIn, uint32_t timeoutMs);
    // Filter operation 0, 2 or 3 on a channel. 1 when accepted.
    int32_t fliterSimpleSetCmdSend(uint32_t channel, uint8_t op);
    int32_t fliterAdd(uint32_t channel, _KCAN_FLITER_CONFIG* filter);
    int32_t fliterInfoGet(uint32_t channel, _KCAN_FLITER_INFO* info);
    int32_t fliterSettingGet(uint32_t channel, _KCAN_FLITER_CONFIG* filter);

  private:
    // The standard exchange (endpoints 0x01/0x81, 64-byte reply, 1 s); the
    // reply length, or -1.
    int exchange(uint8_t* cmd, size_t cmdLen, uint8_t* reply);

    uint32_t usbIndex = 0;
    bool isOpen = false;
    QUserLibUsb usbDev;
};
