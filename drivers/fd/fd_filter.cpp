// Acceptance filters: a range is set in three steps (mode, start, end) and
// sent with the last one; clear and enable are single commands.
#include "QDeviceDunlinFd2.h"
#include "QErrMgr.h"
#include "platform/QUserMutex.h"

using namespace dunlinfd;

namespace {

void setError(int code) {
    QErrInfoMgr::getinstance()->setLastError(code);
}

[[maybe_unused]] constexpr uint8_t kFilterStateNone = 0;  // the state before any mode is set
constexpr uint8_t kFilterStateMode = 1;
constexpr uint8_t kFilterStateStart = 2;

constexpr uint8_t kFilterModeStandard = 0;
constexpr uint8_t kFilterModeExtended = 1;
constexpr uint8_t kFilterModeOther = 2;

constexpr uint32_t kStandardIdRange = 2048;
constexpr uint32_t kExtendedIdRange = 0x20000000;

}  // namespace

int32_t QDeviceDunlinFd2::setFliter(uint32_t channel, _KCAN_FLITER_CONFIG* cfg) {
    if (cfg == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    // The steps of one range must not interleave with another thread's.
    QUserMutex lock(cmdMutex_);
    // Channel numbers above 255 must not wrap onto a valid channel.
    const uint8_t ch = static_cast<uint8_t>(channel > 0xFF ? 0xFF : channel);
    switch (cfg->filterOp) {
        case 0:
            return canFilterClear(ch, 0);
        case 1:
            // Only the last step's result counts; the first two prepare it.
            canFilterModeSet(ch, cfg->filterMode);
            canFilterStartIdSet(ch, cfg->startId);
            return canFilterEndIdSet(ch, cfg->endId);
        case 2:
            return canFilterEnable(ch, 0);
        default:
            setError(KCAN_ERR_PARAMETER);
            return 0;
    }
}

int32_t QDeviceDunlinFd2::filterCommand(uint8_t op, uint8_t channel, uint32_t startId,
                                        uint32_t endId) {
    uint8_t request[kFilterCmdSize];
    size_t n = buildFilterCommand(op, channel, startId, endId, request);
    uint8_t reply[kReplyCapacity] = {};
    uint32_t length = kReplyCapacity;
    if (usbCmdSend(request, static_cast<uint32_t>(n), reply, &length, kEpCmdOut, kEpCmdIn,
                   kCmdTimeoutMs) != 0) {
        return 0;
    }
    uint8_t status = 0xFF;
    return length >= kFilterReplyMinLength &&
                   replyByte({reply, length}, kReplyStatusOffset, &status) && status == 0
               ? 1
               : 0;
}

int32_t QDeviceDunlinFd2::canFilterModeSet(uint8_t channel, uint8_t mode) {
    if (channel >= kMaxChannels) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    QUserMutex lock(cmdMutex_);
    chFilterState_[channel] = kFilterStateMode;
    if (mode == kFilterModeStandard || mode == kFilterModeExtended) {
        chFilterMode_[channel] = mode;
        return 1;
    }
    // Any other mode is announced to the adapter at once.
    chFilterMode_[channel] = kFilterModeOther;
    return filterCommand(kFilterOpOtherMode, channel, 0, 0);
}

int32_t QDeviceDunlinFd2::canFilterStartIdSet(uint8_t channel, uint32_t id) {
    if (channel >= kMaxChannels) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    QUserMutex lock(cmdMutex_);
    if (chFilterState_[channel] != kFilterStateMode)
        return 0;
    chFilterStart_[channel] = id;
    chFilterState_[channel] = kFilterStateStart;
    return 1;
}

int32_t QDeviceDunlinFd2::canFilterEndIdSet(uint8_t channel, uint32_t id) {
    if (channel >= kMaxChannels) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    QUserMutex lock(cmdMutex_);
    if (chFilterState_[channel] != kFilterStateStart) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    uint8_t op = kFilterOpOtherMode;
    uint32_t endId = id;
    switch (chFilterMode_[channel]) {
        case kFilterModeStandard:
            op = kFilterOpStandardRange;
            chFilterStart_[channel] %= kStandardIdRange;
            endId %= kStandardIdRange;
            break;
        case kFilterModeExtended:
            op = kFilterOpExtendedRange;
            chFilterStart_[channel] %= kExtendedIdRange;
            endId %= kExtendedIdRange;
            break;
        default:
            break;
    }
    // The state stays at "start stored": a further end identifier sends
    // another range with the same start.
    return filterCommand(op, channel, chFilterStart_[channel], endId);
}

int32_t QDeviceDunlinFd2::canFilterClear(uint8_t channel, int /*unused*/) {
    if (channel >= kMaxChannels)
        return 0;
    return filterCommand(kFilterOpClear, channel, 0, 0);
}

int32_t QDeviceDunlinFd2::canFilterEnable(uint8_t channel, int /*unused*/) {
    if (channel >= kMaxChannels) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    return filterCommand(kFilterOpEnable, channel, 0, 0);
}
