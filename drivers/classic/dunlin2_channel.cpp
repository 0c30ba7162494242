// The classic driver's operations: open and close, channel init, start and
// reset, board information, transmit, receive, count and clear, and the
// device-level services.
#include <chrono>
#include <cstring>
#include <mutex>

#include "QErrMgr.h"
#include "drivers/classic/dunlin2.h"
#include "drivers/classic/dunlin2_device.h"
#include "platform/QUserLibUsb.h"
#include "platform/QUserLog.h"
#include "platform/QUserMutex.h"

using namespace dunlin2;

namespace {

constexpr uint32_t kInitTimeoutMs = 1000;
constexpr uint32_t kStartTimeoutMs = 200;
constexpr uint32_t kCloseResetTimeoutMs = 100;
constexpr uint32_t kBoardQueryTimeoutMs = 500;
constexpr uint32_t kServiceTimeoutMs = 1000;
constexpr uint32_t kDataTransferTimeoutMs = 3000;
constexpr uint32_t kTransmitTimeoutMs = 1000;
constexpr int32_t kInitReplyCapacity = 128;
constexpr int32_t kReplyCapacity = 100;        // start, reset and board queries
constexpr int32_t kServiceReplyCapacity = 64;  // device-level services

void setError(int code) {
    QErrInfoMgr::getinstance()->setLastError(code);
}

// The open check: the record, or null with error 7 (replacing 6 or 8).
devInfo* openRecord(uint32_t type, uint32_t index) {
    if (dunlin2IsOpen(type, index) == 0) {
        setError(KCAN_ERR_DEVICE_NOT_OPENED);
        return nullptr;
    }
    return dunlin2Record(index);
}

// The initialised check: the record, or null with error 13 (replacing 6, 7
// or 8).
devInfo* initRecord(uint32_t type, uint32_t index, uint32_t channel) {
    if (dunlin2IsInit(type, index, channel) == 0) {
        setError(KCAN_ERR_CAN_NOT_INIT);
        return nullptr;
    }
    return dunlin2Record(index);
}

int sendCommand(devInfo* record, bool direct, uint8_t* cmd, size_t cmdLen, uint8_t* reply,
                int32_t* replyLen, uint32_t timeoutMs) {
    const int32_t len = static_cast<int32_t>(cmdLen);
    return direct
               ? usbCmdSendDirect(record, cmd, len, reply, replyLen, kEpCmdOut, kEpCmdIn, timeoutMs)
               : usbCmdSend(record, cmd, len, reply, replyLen, kEpCmdOut, kEpCmdIn, timeoutMs);
}

// A device-level service exchange: true when answered with at least minLength
// bytes echoing the command code.
bool serviceExchange(devInfo* record, uint8_t* cmd, size_t cmdLen, uint8_t* reply,
                     size_t minLength) {
    int32_t replyLen = kServiceReplyCapacity;
    memset(reply, 0, static_cast<size_t>(kServiceReplyCapacity));
    if (sendCommand(record, false, cmd, cmdLen, reply, &replyLen, kServiceTimeoutMs) < 0) {
        return false;
    }
    return static_cast<size_t>(replyLen) >= minLength && reply[1] == cmd[1];
}

// Board queries 18..21: one exchange, the reply buffer cleared first. The
// outcome is not examined; a silent adapter leaves zeros. Returns the reply
// length (the capacity when nothing came).
int32_t boardQuery(devInfo* record, uint8_t code, uint8_t* reply) {
    uint8_t cmd[] = {kCmdPrefix, code, 0x01, 0x00};
    memset(reply, 0, static_cast<size_t>(kReplyCapacity));
    int32_t replyLen = kReplyCapacity;
    sendCommand(record, false, cmd, sizeof cmd, reply, &replyLen, kBoardQueryTimeoutMs);
    return replyLen;
}

}  // namespace

// ---- Open and close ----------------------------------------------------------

uint32_t dunlin2OpenDevice(uint32_t type, uint32_t index, uint32_t /*reserved*/) {
    if (dunlin2DevParaIsValid(type, index, 0) == 0) {
        return 0;
    }
    devInfo* record = dunlin2Record(index);
    if (record->usbDev.load() != nullptr) {
        return 1;
    }
    auto* usb = new QUserLibUsb();
    record->usbDev = usb;
    if (usb->OpenUSBDevice(kVendorId, kProductId, static_cast<int32_t>(index)) == 1) {
        record->faultState = 0;
        dunlin2ThreadStart(record);
        return 1;
    }
    QUserLog::GetInstance().Error("DUNLIN Open Fail...");
    record->usbDev = nullptr;
    delete usb;
    return 0;
}

uint32_t dunlin2CloseDevice(uint32_t type, uint32_t index) {
    if (dunlin2DevParaIsValid(type, index, 0) == 0) {
        return 0;
    }
    devInfo* record = dunlin2Record(index);
    QUserLibUsb* usb = record->usbDev.load();
    if (usb == nullptr) {
        return 1;
    }
    for (uint32_t ch = 0; ch < kChannelCount; ++ch) {
        uint8_t cmd[5];
        uint8_t reply[kReplyCapacity] = {};
        int32_t replyLen = kReplyCapacity;
        size_t len = buildChannelCommand(kCmdChannelReset, ch, cmd);
        sendCommand(record, false, cmd, len, reply, &replyLen, kCloseResetTimeoutMs);
    }
    dunlin2ThreadStop(record);
    usb->CloseUSBDevice();
    record->usbDev = nullptr;
    delete usb;
    for (auto& flag : record->chInitFlag) {
        flag = 0;
    }
    return 1;
}

// ---- Channel init, start, reset ---------------------------------------------

uint32_t dunlin2CmdInitSend(uint32_t type, uint32_t index, uint32_t channel,
                            _KCAN_INIT_CONFIG* config, bool direct) {
    devInfo* record = openRecord(type, index);
    if (record == nullptr) {
        return 0;
    }
    if (channel >= kChannelCount || config == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    uint8_t cmd[kInitCmdLength];
    size_t cmdLen = buildInitCommand(channel, *config, cmd);
    if (cmdLen == 0) {
        QUserLog::GetInstance().Error(
            "Warning:DUNLIN <ch:%d> Init Fail->Para Err,Unkown Mode:%d \n",
            static_cast<int>(channel), static_cast<int>(config->mode));
        return 0;
    }
    uint8_t reply[kInitReplyCapacity] = {};
    int32_t replyLen = kInitReplyCapacity;
    int rc = sendCommand(record, direct, cmd, cmdLen, reply, &replyLen, kInitTimeoutMs);
    if (rc >= 0 && initAccepted(reply, static_cast<size_t>(replyLen))) {
        QUserLog::GetInstance().Info("VORM Tip:DUNLIN <ch:%d> Init Success",
                                     static_cast<int>(channel));
        return 1;
    }
    QUserLog::GetInstance().Error("VORM Tip:DUNLIN <ch:%d> Init Fail", static_cast<int>(channel));
    setError(KCAN_ERR_USB_COMMAND);
    return 0;
}

uint32_t dunlin2InitCAN(uint32_t type, uint32_t index, uint32_t channel,
                        _KCAN_INIT_CONFIG* config) {
    uint32_t result = dunlin2CmdInitSend(type, index, channel, config, false);
    if (result == 1) {
        devInfo* record = dunlin2Record(index);
        {
            std::lock_guard<std::mutex> lock(record->configMutex);
            record->chInitConfig[channel] = *config;
        }
        record->chInitFlag[channel] = 1;
        dunlin2ClearBuffer(type, index, channel);
    }
    return result;
}

uint32_t dunlin2Start(uint32_t type, uint32_t index, uint32_t channel, bool direct) {
    devInfo* record = initRecord(type, index, channel);
    if (record == nullptr) {
        return 0;
    }
    uint8_t cmd[5];
    size_t cmdLen = buildChannelCommand(kCmdChannelStart, channel, cmd);
    uint8_t reply[kReplyCapacity] = {};
    int32_t replyLen = kReplyCapacity;
    // Adapters take the start without always answering: only a command that
    // could not be written is a failure.
    if (sendCommand(record, direct, cmd, cmdLen, reply, &replyLen, kStartTimeoutMs) == -1) {
        QUserLog::GetInstance().Error("DUNLIN <ch:%d> 启动失败", static_cast<int>(channel));
        return 0;
    }
    return 1;
}

uint32_t dunlin2StartCAN(uint32_t type, uint32_t index, uint32_t channel) {
    return dunlin2Start(type, index, channel, false);
}

uint32_t dunlin2ResetCAN(uint32_t type, uint32_t index, uint32_t channel) {
    if (dunlin2IsOpen(type, index) == 0) {
        return 0;
    }
    if (channel >= kChannelCount) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    devInfo* record = dunlin2Record(index);
    uint8_t cmd[5];
    size_t cmdLen = buildChannelCommand(kCmdChannelReset, channel, cmd);
    uint8_t reply[kReplyCapacity] = {};
    int32_t replyLen = kReplyCapacity;
    sendCommand(record, false, cmd, cmdLen, reply, &replyLen, 0);  // write only
    dunlin2ClearBuffer(type, index, channel);
    return 1;
}

// ---- Board information ---------------------------------------------------------

uint32_t dunlin2ReadBoardInfo(uint32_t type, uint32_t index, _KCAN_BOARD_INFO* info) {
    devInfo* record = openRecord(type, index);
    if (record == nullptr) {
        return 0;
    }
    if (info == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    uint8_t reply[kReplyCapacity];
    {
        uint8_t cmd[] = {kCmdPrefix, kCmdBoardQuery1, 0x01, 0x00};
        memset(reply, 0, sizeof reply);
        int32_t replyLen = kReplyCapacity;
        int rc =
            sendCommand(record, false, cmd, sizeof cmd, reply, &replyLen, kBoardQueryTimeoutMs);
        if (rc < 0 || replyLen != static_cast<int32_t>(kBoardQuery1ReplyLength)) {
            QUserLog::GetInstance().Error("DUNLIN 获取板卡信息失败");
            return 0;
        }
        info->hwVersion = static_cast<uint16_t>(reply[4] + 256 * reply[5]);
    }
    boardQuery(record, kCmdBoardQuery18, reply);
    info->fwVersion = static_cast<uint16_t>(reply[4] + 256 * reply[5]);

    int32_t len = boardQuery(record, kCmdBoardQuery19, reply);
    if (len < 1 || len > kReplyCapacity) {
        len = kReplyCapacity;
    }
    info->chNum = reply[len - 1];

    boardQuery(record, kCmdBoardQuery20, reply);
    copyInfoText(reply, sizeof reply, info->serialNum, sizeof info->serialNum);
    boardQuery(record, kCmdBoardQuery21, reply);
    copyInfoText(reply, sizeof reply, info->hwType, sizeof info->hwType);
    return 1;
}

// ---- Queues ------------------------------------------------------------------------

uint32_t dunlin2GetReceiveNum(uint32_t type, uint32_t index, uint32_t channel) {
    devInfo* record = initRecord(type, index, channel);
    if (record == nullptr) {
        return 0;
    }
    QUserMutex guard(record->rxMutex);
    return static_cast<uint32_t>(record->rxQueue[channel].size());
}

uint32_t dunlin2ClearBuffer(uint32_t type, uint32_t index, uint32_t channel) {
    devInfo* record = initRecord(type, index, channel);
    if (record == nullptr) {
        return 0;
    }
    QUserMutex guard(record->rxMutex);
    record->rxQueue[channel].clear();
    return 1;
}

// ---- Frames ----------------------------------------------------------------------

uint32_t dunlin2Transmit(uint32_t type, uint32_t index, uint32_t channel, _KCAN_CAN_OBJ* frames,
                         uint64_t count) {
    devInfo* record = initRecord(type, index, channel);
    if (record == nullptr) {
        return 0;
    }
    if (record->faultState.load() != 0) {
        return 0;  // the adapter is being brought back
    }
    const uint16_t total = static_cast<uint16_t>(count & 0xFFFF);
    if (total > 0 && frames == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    uint16_t sent = 0;
    uint8_t batch[kBatchBytes];
    while (sent < total) {
        const size_t left = static_cast<size_t>(total - sent);
        const size_t size = left < kBatchFrames ? left : kBatchFrames;
        for (size_t i = 0; i < size; ++i) {
            if (!encodeFrame(channel, frames[sent + i], batch + i * kRecordSize)) {
                setError(KCAN_ERR_CAN_FORMAT);
                return 0;
            }
        }
        if (usbDataSend(record, batch, static_cast<int32_t>(size * kRecordSize), kEpDataOut,
                        kTransmitTimeoutMs) != 0) {
            setError(KCAN_ERR_USB_TRANSPORT);
            return sent;
        }
        sent = static_cast<uint16_t>(sent + size);
    }
    return sent;
}

uint32_t dunlin2Receive(uint32_t /*type*/, uint32_t index, uint32_t channel, _KCAN_CAN_OBJ* frames,
                        uint32_t capacity, int32_t waitMs) {
    devInfo* record = dunlin2Record(index);
    if (record == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    if (frames == nullptr || capacity == 0) {
        return 0;
    }
    std::deque<_KCAN_CAN_OBJ>& queue = record->rxQueue[channel == 0 ? 0 : 1];
    const bool forever = waitMs == -1;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs > 0 ? waitMs : 0);
    uint32_t moved = 0;
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(record->waitMutex);
            seen = record->rxSeq;
        }
        {
            QUserMutex guard(record->rxMutex);
            while (moved < capacity && !queue.empty()) {
                frames[moved++] = queue.front();
                queue.pop_front();
            }
        }
        if (moved > 0) {
            break;
        }
        // Sleep until the service thread appends frames (or the wait ends).
        std::unique_lock<std::mutex> lock(record->waitMutex);
        auto arrived = [&] { return record->rxSeq != seen; };
        if (forever) {
            record->rxCond.wait(lock, arrived);
        } else if (!record->rxCond.wait_until(lock, deadline, arrived)) {
            break;
        }
    }
    if (moved == 0 && !forever) {
        // Frames may have arrived just at the end of the wait.
        QUserMutex guard(record->rxMutex);
        while (moved < capacity && !queue.empty()) {
            frames[moved++] = queue.front();
            queue.pop_front();
        }
    }
    return moved;
}

// ---- Device-level services -----------------------------------------------------------

uint32_t dunlin2DevRelayStatusSetExcute(devInfo* record, uint8_t a, uint8_t b) {
    uint8_t cmd[] = {kCmdPrefix, kCmdRelaySet, 0x02, a, b};
    uint8_t reply[kServiceReplyCapacity];
    return serviceExchange(record, cmd, sizeof cmd, reply, kRelayReplyMin) ? 1 : 0;
}

uint32_t dunlin2DevRelayStatusGetExcute(devInfo* record, uint8_t* a, uint8_t* b) {
    uint8_t cmd[] = {kCmdPrefix, kCmdRelayGet, 0x02, 0x00, 0x00};
    uint8_t reply[kServiceReplyCapacity];
    if (!serviceExchange(record, cmd, sizeof cmd, reply, kRelayReplyMin)) {
        return 0;
    }
    *a = reply[3];
    *b = reply[4];
    return 1;
}

uint32_t dunlin2DevBaudParaGetExcute(devInfo* record, uint8_t channel, uint8_t* p1, uint8_t* p2) {
    uint8_t cmd[] = {kCmdPrefix, kCmdBaudParam, 0x01, channel};
    uint8_t reply[kServiceReplyCapacity];
    if (!serviceExchange(record, cmd, sizeof cmd, reply, kBaudParamReplyMin)) {
        return 0;
    }
    *p1 = reply[6];
    *p2 = reply[8];
    return 1;
}

uint32_t dunlin2DevChStateGetExcute(devInfo* record, uint8_t channel, uint8_t* s1, uint8_t* s2,
                                    uint8_t* s3) {
    uint8_t cmd[] = {kCmdPrefix, kCmdChannelState, 0x01, channel, 0x00, 0x00};
    uint8_t reply[kServiceReplyCapacity];
    if (!serviceExchange(record, cmd, sizeof cmd, reply, kChannelStateReplyMin)) {
        return 0;
    }
    *s1 = reply[5];
    *s2 = reply[10];
    *s3 = reply[9];
    return 1;
}

uint32_t dunlin2DevDataTransferExcute(devInfo* record, uint8_t* data, int32_t len) {
    uint8_t cmd[kCmdBufferSize];
    size_t cmdLen = buildDataTransferCommand(data, len, cmd);
    uint8_t reply[kServiceReplyCapacity] = {};
    int32_t replyLen = kServiceReplyCapacity;
    if (sendCommand(record, false, cmd, cmdLen, reply, &replyLen, kDataTransferTimeoutMs) < 0 ||
        replyLen < static_cast<int32_t>(kDataTransferReplyMin)) {
        return 0;
    }
    // replyLen is at most the capacity, so at most 62 bytes come back.
    const size_t count = static_cast<size_t>(replyLen) - kDataTransferReplyMin;
    memcpy(data, reply + kDataTransferReplyMin, count);
    return static_cast<uint32_t>(count);
}

uint32_t dunlin2DevRelayStatusSet(uint32_t type, uint32_t index, uint8_t a, uint8_t b) {
    devInfo* record = openRecord(type, index);
    return record != nullptr ? dunlin2DevRelayStatusSetExcute(record, a, b) : 0;
}

uint32_t dunlin2DevRelayStatusGet(uint32_t type, uint32_t index, uint8_t* a, uint8_t* b) {
    devInfo* record = openRecord(type, index);
    if (record == nullptr) {
        return 0;
    }
    if (a == nullptr || b == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    return dunlin2DevRelayStatusGetExcute(record, a, b);
}

uint32_t dunlin2DevBaudParaGet(uint32_t type, uint32_t index, uint8_t channel, uint8_t* p1,
                               uint8_t* p2) {
    devInfo* record = openRecord(type, index);
    if (record == nullptr) {
        return 0;
    }
    if (p1 == nullptr || p2 == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    return dunlin2DevBaudParaGetExcute(record, channel, p1, p2);
}

uint32_t dunlin2DevChStateGet(uint32_t type, uint32_t index, uint8_t channel, uint8_t* s1,
                              uint8_t* s2, uint8_t* s3) {
    devInfo* record = openRecord(type, index);
    if (record == nullptr) {
        return 0;
    }
    if (s1 == nullptr || s2 == nullptr || s3 == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    return dunlin2DevChStateGetExcute(record, channel, s1, s2, s3);
}

uint32_t dunlin2DevDataTransfer(uint32_t type, uint32_t index, uint8_t* data, int32_t len) {
    devInfo* record = openRecord(type, index);
    if (record == nullptr) {
        return 0;
    }
    if (data == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    return dunlin2DevDataTransferExcute(record, data, len);
}
