// Channel initialisation: choice of the timing words and command 0x03.
#include "QDeviceDunlinFd2.h"
#include "QErrMgr.h"
#include "platform/QUserLog.h"

using namespace dunlinfd;

namespace {

int32_t initFail(int code) {
    if (code >= 0)
        QErrInfoMgr::getinstance()->setLastError(code);
    QUserLog::GetInstance().Error("DUNLINFD Init Fail...");
    return 0;
}

}  // namespace

int32_t QDeviceDunlinFd2::initCAN(uint32_t /*channel*/, _KCAN_INIT_CONFIG* /*cfg*/) {
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_TYPE_NOT_SUPPORTED);
    return 0;
}

int32_t QDeviceDunlinFd2::initCANFD(uint32_t channel, _KCAN_INITFD_CONFIG* cfg) {
    return initCANFD(channel, cfg, false);
}

int32_t QDeviceDunlinFd2::initCANFD(uint32_t channel, const _KCAN_INITFD_CONFIG* cfg,
                                    bool recovery) {
    return initCANFDCmdSend(channel, cfg, recovery) == 1 ? 1 : 0;
}

int32_t QDeviceDunlinFd2::initCANFDCmdSend(uint32_t channel, const _KCAN_INITFD_CONFIG* cfg,
                                           bool recovery) {
    if (channel >= kMaxChannels || cfg == nullptr)
        return initFail(KCAN_ERR_PARAMETER);
    // The caller's record may change while the command runs; work on a copy.
    const _KCAN_INITFD_CONFIG record = *cfg;
    chMode_[channel].store(record.mode);

    uint32_t abitWord = 0;
    uint32_t dbitWord = 0;
    if (record.fdEnable != 0) {
        if (record.abitBaudRate == 0 && record.dbitBaudRate == 0) {
            abitWord = record.abitTiming;
            dbitWord = record.dbitTiming;
        } else if (!arbitrationTimingWord(record.abitBaudRate, clockMhz_, &abitWord) ||
                   !dataTimingWord(record.dbitBaudRate, clockMhz_, &dbitWord)) {
            return initFail(KCAN_ERR_BAUD_NOT_SUPPORTED);
        }
    } else {
        if (record.abitBaudRate == 0) {
            abitWord = record.abitTiming;
        } else if (!arbitrationTimingWord(record.abitBaudRate, clockMhz_, &abitWord)) {
            return initFail(KCAN_ERR_BAUD_NOT_SUPPORTED);
        }
        dbitWord = abitWord;
    }

    if (canFdBaudInit(channel, record.isoMode, chMode_[channel].load(), clockMhz_, clockMhz_,
                      abitWord, dbitWord, recovery) != 1) {
        return initFail(-1);  // the exchange recorded its own code where it had one
    }
    {
        std::lock_guard<std::mutex> lock(configMutex_);
        chConfig_[channel] = record;
        chInit_[channel] = 1;
    }
    QUserLog::GetInstance().Info("DUNLINFD Init Success...");
    return 1;
}

int32_t QDeviceDunlinFd2::canFdBaudInit(uint32_t channel, uint8_t isoMode, uint8_t mode,
                                        uint16_t abitClock, uint16_t dbitClock, uint32_t abitWord,
                                        uint32_t dbitWord, bool recovery) {
    if (channel >= kMaxChannels) {
        QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_PARAMETER);
        return 0;
    }
    BitTimingRequest req{
        static_cast<uint8_t>(channel), isoMode, mode, abitClock, dbitClock, abitWord, dbitWord};
    uint8_t request[kBitTimingCmdSize];
    size_t n = buildBitTimingCommand(req, request);
    uint8_t reply[kReplyCapacity] = {};
    uint32_t length = kReplyCapacity;
    if (usbCmdSend(request, static_cast<uint32_t>(n), reply, &length, kEpCmdOut, kEpCmdIn,
                   kInitTimeoutMs, recovery) != 0) {
        return 0;
    }
    uint8_t status = 0xFF;
    return length >= kInitReplyMinLength &&
                   replyByte({reply, length}, kReplyStatusOffset, &status) && status == 0
               ? 1
               : 0;
}
