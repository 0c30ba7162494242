#include "drivers/record/QDeviceCanRecord.h"

#include <libusb.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "QErrMgr.h"
#include "drivers/record/record_protocol.h"
#include "platform/usertime.h"

using namespace recorder;

namespace {
// A read that fails at once (adapter gone) is retried after this pause, so
// the exchange does not spin until its time-out.
constexpr auto kRetryPause = std::chrono::milliseconds(10);
}  // namespace

QDeviceCanRecord::~QDeviceCanRecord() {
    closeDevice();
}

int32_t QDeviceCanRecord::openDevice(uint32_t type, uint32_t index, uint32_t /*reserved*/) {
    if (isOpen) {
        return 1;
    }
    usbIndex = index;
    const uint32_t product = productIdOf(type);
    const uint32_t vendor = product != 0 ? kVendorId : 0;
    if (usbDev.OpenUSBDevice(vendor, product, static_cast<int32_t>(usbIndex)) != 1) {
        return 0;
    }
    isOpen = true;
    return 1;
}

int32_t QDeviceCanRecord::closeDevice() {
    if (isOpen) {
        usbDev.CloseUSBDevice();
        isOpen = false;
    }
    return 1;
}

int32_t QDeviceCanRecord::initCAN(uint32_t, _KCAN_INIT_CONFIG*) {
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_TYPE_NOT_SUPPORTED);
    return 0;
}

int32_t QDeviceCanRecord::initCANFD(uint32_t, _KCAN_INITFD_CONFIG*) {
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_TYPE_NOT_SUPPORTED);
    return 0;
}

int QDeviceCanRecord::usbCmdSend(uint8_t* cmd, int32_t cmdLen, uint8_t* reply, int32_t* replyLen,
                                 uint8_t epOut, uint8_t epIn, uint32_t timeoutMs) {
    // A write cut short left half a command at the recorder: not written.
    const int written = usbDev.bulkWriteUSBDevice(cmd, cmdLen, epOut, timeoutMs);
    if (written <= 0 || written != cmdLen) {
        return -1;
    }
    if (timeoutMs == 0) {
        return 0;
    }
    const uint64_t start = getCurMicroSec();
    const uint64_t limit = static_cast<uint64_t>(timeoutMs) * 1000;
    while (getCurMicroSec() - start < limit) {
        memset(reply, 0, static_cast<size_t>(*replyLen));
        int got = usbDev.bulkReadUSBDevice(reply, *replyLen, epIn, timeoutMs);
        if (got > 0 && replyMatches(cmd, reply, static_cast<size_t>(got))) {
            *replyLen = got;
            return got;
        }
        if (got <= 0 && got != LIBUSB_ERROR_TIMEOUT) {
            std::this_thread::sleep_for(kRetryPause);
        }
        // Anything else is not the answer to this command: dropped.
    }
    memset(reply, 0, static_cast<size_t>(*replyLen));
    return -1;
}

int QDeviceCanRecord::exchange(uint8_t* cmd, size_t cmdLen, uint8_t* reply) {
    int32_t replyLen = static_cast<int32_t>(kReplyCapacity);
    memset(reply, 0, kReplyCapacity);
    if (usbCmdSend(cmd, static_cast<int32_t>(cmdLen), reply, &replyLen, kEpOut, kEpIn, kTimeoutMs) <
        0) {
        return -1;
    }
    return replyLen;
}

int32_t QDeviceCanRecord::getBoardInf(_KCAN_BOARD_INFO* info) {
    if (info == nullptr) {
        return 0;
    }
    uint8_t cmd[kBoardQueryLength];
    uint8_t reply[kReplyCapacity];

    buildBoardQuery(kCmdBoardQuery1, cmd);
    if (exchange(cmd, sizeof cmd, reply) < 0) {
        return 0;
    }
    info->hwVersion = static_cast<uint16_t>(reply[4] + 256 * reply[5]);

    buildBoardQuery(kCmdBoardQuery18, cmd);
    if (exchange(cmd, sizeof cmd, reply) < 0) {
        return 0;
    }
    info->fwVersion = static_cast<uint16_t>(reply[4] + 256 * reply[5]);

    buildBoardQuery(kCmdBoardQuery19, cmd);
    if (exchange(cmd, sizeof cmd, reply) < 0) {
        return 0;
    }
    info->chNum = reply[4];
    info->ifVersion = 0x0100;
    return 1;
}

int32_t QDeviceCanRecord::isDeviceOnLine() {
    return 2;
}

int32_t QDeviceCanRecord::transmit(uint32_t, _KCAN_CAN_OBJ*, uint32_t) {
    return 0;
}

int32_t QDeviceCanRecord::transmitFD(uint32_t, _KCAN_CANFD_OBJ*, uint32_t) {
    return 0;
}

int32_t QDeviceCanRecord::receiveFD(uint32_t, _KCAN_CANFD_OBJ*, uint32_t, int32_t) {
    return 0;
}

int32_t QDeviceCanRecord::receive(uint32_t, _KCAN_CAN_OBJ*, uint32_t, int32_t) {
    return 0;
}

int32_t QDeviceCanRecord::start(uint32_t) {
    return 0;
}

int32_t QDeviceCanRecord::stop(uint32_t) {
    return 0;
}

int32_t QDeviceCanRecord::clearBuffer(uint32_t) {
    return 0;
}

int32_t QDeviceCanRecord::getReceiveNum(uint32_t, uint8_t) {
    return 0;
}

int32_t QDeviceCanRecord::setFliter(uint32_t, _KCAN_FLITER_CONFIG*) {
    return 0;
}

int32_t QDeviceCanRecord::transmitData(uint8_t* bytes, uint32_t length) {
    if (bytes == nullptr) {
        return 0;
    }
    uint8_t cmd[kCmdBufferSize];
    uint8_t reply[kReplyCapacity];
    size_t cmdLen = buildDataTransfer(bytes, length, cmd);
    int got = exchange(cmd, cmdLen, reply);
    if (got < 2) {
        return 0;
    }
    // The reply holds at most 64 bytes: at most 62 come back.
    const size_t count = static_cast<size_t>(got) - 2;
    memcpy(bytes, reply + 2, count);
    return static_cast<int32_t>(count);
}

int32_t QDeviceCanRecord::RecordSettingSet(uint32_t channel, _KCAN_RECORD_CONFIG* cfg) {
    if (channel >= kChannelCount || cfg == nullptr) {
        return 0;
    }
    uint8_t cmd[kSettingsWriteLength];
    uint8_t reply[kReplyCapacity];
    size_t cmdLen = buildSettingsWrite(channel, *cfg, cmd);
    int got = exchange(cmd, cmdLen, reply);
    return got >= 0 && replyAccepted(reply, static_cast<size_t>(got), kSettingsWriteReplyMin) ? 1
                                                                                              : 0;
}

int32_t QDeviceCanRecord::RecordSettingGet(uint32_t channel, _KCAN_RECORD_CONFIG* cfg) {
    if (channel >= kChannelCount || cfg == nullptr) {
        return 0;
    }
    uint8_t cmd[kSettingsReadLength];
    uint8_t reply[kReplyCapacity];
    size_t cmdLen = buildSettingsRead(channel, cmd);
    int got = exchange(cmd, cmdLen, reply);
    if (got < 0) {
        return 0;
    }
    return parseSettings(reply, sizeof reply, static_cast<size_t>(got), cfg) ? 1 : 0;
}

int32_t QDeviceCanRecord::fliterSimpleSetCmdSend(uint32_t channel, uint8_t op) {
    uint8_t cmd[kFilterCmdLength];
    uint8_t reply[kReplyCapacity];
    size_t cmdLen = buildFilterCommand(op, channel, nullptr, cmd);
    int got = exchange(cmd, cmdLen, reply);
    return got >= 0 && replyAccepted(reply, static_cast<size_t>(got), kFilterReplyMin) ? 1 : 0;
}

int32_t QDeviceCanRecord::fliterAdd(uint32_t channel, _KCAN_FLITER_CONFIG* filter) {
    if (filter == nullptr) {
        return 0;
    }
    uint8_t cmd[kFilterCmdLength];
    uint8_t reply[kReplyCapacity];
    size_t cmdLen = buildFilterCommand(kFilterOpAdd, channel, filter, cmd);
    int got = exchange(cmd, cmdLen, reply);
    return got >= 0 && replyAccepted(reply, static_cast<size_t>(got), kFilterReplyMin) ? 1 : 0;
}

int32_t QDeviceCanRecord::fliterInfoGet(uint32_t channel, _KCAN_FLITER_INFO* info) {
    if (info == nullptr) {
        return 0;
    }
    uint8_t cmd[kFilterQueryLength];
    uint8_t reply[kReplyCapacity];
    size_t cmdLen = buildFilterSummaryQuery(channel, cmd);
    int got = exchange(cmd, cmdLen, reply);
    return got >= 0 && parseFilterSummary(reply, static_cast<size_t>(got), info) ? 1 : 0;
}

int32_t QDeviceCanRecord::fliterSettingGet(uint32_t channel, _KCAN_FLITER_CONFIG* filter) {
    if (filter == nullptr) {
        return 0;
    }
    uint8_t cmd[kFilterQueryLength];
    uint8_t reply[kReplyCapacity];
    size_t cmdLen = buildFilterEntryQuery(channel, filter->filterIndex, cmd);
    int got = exchange(cmd, cmdLen, reply);
    return got >= 0 && parseFilterEntry(reply, static_cast<size_t>(got), filter) ? 1 : 0;
}

int32_t QDeviceCanRecord::RecordCmdExecute(uint32_t channel, uint32_t command,
                                           _KCAN_FLITER_INFO* info, _KCAN_FLITER_CONFIG* cfg) {
    switch (command) {
        case 0:
            return fliterSimpleSetCmdSend(channel, kFilterOpClear);
        case 1:
            return fliterAdd(channel, cfg);
        case 2:
            return fliterSimpleSetCmdSend(channel, kFilterOpEnable);
        case 3:
            return fliterSimpleSetCmdSend(channel, kFilterOpDisable);
        case 4:
            return fliterInfoGet(channel, info);
        case 5:
            return fliterSettingGet(channel, cfg);
        default:
            return 0;
    }
}
