// Open, close, board information, channel start and stop, queue control and
// the direct transfer.
#include <algorithm>
#include <cstring>

#include "QDeviceDunlinFd2.h"
#include "QErrMgr.h"
#include "platform/QUserLog.h"
#include "platform/QUserMutex.h"

using namespace dunlinfd;

namespace {

void setError(int code) {
    QErrInfoMgr::getinstance()->setLastError(code);
}

}  // namespace

QDeviceDunlinFd2::QDeviceDunlinFd2() {
    initRecursivePiMutex(&cmdMutex_);
}

QDeviceDunlinFd2::~QDeviceDunlinFd2() {
    taskThreadShutdown();
    queues_.abortWaits();
    pthread_mutex_destroy(&cmdMutex_);
    // usb_ closes the USB device when it is destroyed.
}

int32_t QDeviceDunlinFd2::queryCommand(uint8_t code, uint8_t* reply, uint32_t* replyLength) {
    uint8_t request[kQueryCmdSize];
    size_t n = buildQueryCommand(code, request);
    *replyLength = kReplyCapacity;
    return usbCmdSend(request, static_cast<uint32_t>(n), reply, replyLength, kEpCmdOut, kEpCmdIn,
                      kCmdTimeoutMs);
}

bool QDeviceDunlinFd2::queryVersion(uint8_t code, uint16_t* word) {
    uint8_t reply[kReplyCapacity] = {};
    uint32_t length = 0;
    if (queryCommand(code, reply, &length) != 0)
        return false;
    // Any matching reply will do: bytes 4..5 that a short one lacks read as 0
    // from the cleared buffer.
    return replyVersionWord(reply, word);
}

bool QDeviceDunlinFd2::canGetDeviceVer() {
    return queryVersion(kCmdHwVersion, &hwVersion_) && queryVersion(kCmdFwVersion, &fwVersion_);
}

int32_t QDeviceDunlinFd2::openDevice(uint32_t type, uint32_t index, uint32_t /*reserved*/) {
    if (opened_.load() == 1)
        return 1;
    const FdModel& model = modelForType(type);
    deviceType_ = type;
    deviceIndex_ = index;
    channelCount_ = model.channels;
    clockMhz_ = model.clockMhz;
    faultState_.store(0);
    restarts_.store(0);

    if (usb_.OpenUSBDevice(model.vendorId, model.productId, static_cast<int32_t>(index)) != 1) {
        setError(KCAN_ERR_DEVICE_NOT_EXIST);
        return 0;
    }
    if (!canGetDeviceVer()) {
        usb_.CloseUSBDevice();
        setError(KCAN_ERR_DEVICE_INFO);
        return 0;
    }
    opened_.store(1);
    taskThreadCreate();
    return 1;
}

int32_t QDeviceDunlinFd2::closeDevice() {
    if (opened_.load() != 1)
        return 1;
    for (uint32_t ch = 0; ch < channelCount_ && ch < kMaxChannels; ++ch) {
        if (!channelInitialised(ch))
            continue;
        canStop(ch);
        usbRxDataBufferClr(ch);
        std::lock_guard<std::mutex> lock(configMutex_);
        chInit_[ch] = 0;
    }
    taskThreadShutdown();
    usb_.CloseUSBDevice();
    opened_.store(0);
    {
        std::lock_guard<std::mutex> lock(configMutex_);
        std::fill(std::begin(chInit_), std::end(chInit_), 0);
    }
    // A later open starts healthy, and no reader stays blocked on a closed
    // device (the registry closes devices at exit without deleting them).
    faultState_.store(0);
    queues_.abortWaits();
    return 1;
}

int32_t QDeviceDunlinFd2::getBoardInf(_KCAN_BOARD_INFO* info) {
    if (info == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    uint16_t word = 0;
    if (!queryVersion(kCmdHwVersion, &word))
        return 0;
    info->hwVersion = word;
    if (!queryVersion(kCmdFwVersion, &word))
        return 0;
    info->fwVersion = word;
    uint8_t reply[kReplyCapacity] = {};
    uint32_t length = 0;
    if (queryCommand(kCmdChannelCount, reply, &length) != 0)
        return 0;
    info->chNum = reply[kReplyChannelCountOffset];
    info->ifVersion = 0x0100;
    return 1;
}

int32_t QDeviceDunlinFd2::isDeviceOnLine() {
    return 2;
}

int32_t QDeviceDunlinFd2::start(uint32_t channel) {
    return start(channel, false);
}

int32_t QDeviceDunlinFd2::start(uint32_t channel, bool recovery) {
    return canStart(channel, recovery);
}

int32_t QDeviceDunlinFd2::canStart(uint32_t channel, bool recovery) {
    if (channel >= kMaxChannels) {
        setError(KCAN_ERR_PARAMETER);
        QUserLog::GetInstance().Error("DUNLINFD Start Fail!...");
        return 0;
    }
    uint8_t request[kChannelCmdSize];
    size_t n = buildChannelCommand(kCmdStart, static_cast<uint8_t>(channel), request);
    uint8_t reply[kReplyCapacity] = {};
    uint32_t length = kReplyCapacity;
    if (usbCmdSend(request, static_cast<uint32_t>(n), reply, &length, kEpCmdOut, kEpCmdIn,
                   kCmdTimeoutMs, recovery) == 0 &&
        length >= kMinReplyLength && reply[1] == kCmdStart) {
        QUserLog::GetInstance().Info("VORM Tip:DUNLINFD Start Success...");
        return 1;
    }
    QUserLog::GetInstance().Error("ERROR:DUNLINFD Start Fail...");
    return 0;
}

int32_t QDeviceDunlinFd2::canStop(uint32_t channel) {
    if (channel >= kMaxChannels) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    uint8_t request[kChannelCmdSize];
    size_t n = buildChannelCommand(kCmdStop, static_cast<uint8_t>(channel), request);
    uint8_t reply[kReplyCapacity] = {};
    uint32_t length = kReplyCapacity;
    return usbCmdSend(request, static_cast<uint32_t>(n), reply, &length, kEpCmdOut, kEpCmdIn,
                      kCmdTimeoutMs) == 0
               ? 1
               : 0;
}

int32_t QDeviceDunlinFd2::stop(uint32_t channel) {
    if (channelInitialised(channel)) {
        canStop(channel);
        std::lock_guard<std::mutex> lock(configMutex_);
        chInit_[channel] = 0;
    }
    return clearBuffer(channel);
}

int32_t QDeviceDunlinFd2::clearBuffer(uint32_t channel) {
    if (channel >= kMaxChannels) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    usbRxDataBufferClr(channel);
    return 1;
}

int32_t QDeviceDunlinFd2::getReceiveNum(uint32_t channel, uint8_t kind) {
    if (channel >= kMaxChannels) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    return static_cast<int32_t>(queues_.count(channel, kind));
}

int32_t QDeviceDunlinFd2::transmitData(uint8_t* bytes, uint32_t length) {
    return transmitData(bytes, length, false);
}

int32_t QDeviceDunlinFd2::transmitData(uint8_t* bytes, uint32_t length, bool recovery) {
    if (bytes == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    uint8_t request[kDirectCmdSize] = {};
    size_t n = buildDirectTransfer(bytes, length, request);
    uint8_t reply[kReplyCapacity] = {};
    uint32_t replyLength = kReplyCapacity;
    if (usbCmdSend(request, static_cast<uint32_t>(n), reply, &replyLength, kEpCmdOut, kEpCmdIn,
                   kCmdTimeoutMs, recovery) != 0) {
        return 0;
    }
    uint32_t payload = std::min<uint32_t>(replyLength - kDirectReplyPayloadOffset,
                                          static_cast<uint32_t>(kDirectPayloadMax));
    std::memcpy(bytes, reply + kDirectReplyPayloadOffset, payload);
    return static_cast<int32_t>(payload);
}

bool QDeviceDunlinFd2::channelInitialised(uint32_t channel) const {
    if (channel >= kMaxChannels)
        return false;
    std::lock_guard<std::mutex> lock(configMutex_);
    return chInit_[channel] != 0;
}
