// Command and frame-packet exchanges with the adapter.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "QDeviceDunlinFd2.h"
#include "QErrMgr.h"
#include "platform/usertime.h"

using namespace dunlinfd;

namespace {

constexpr int kLibusbTimeout = -7;  // LIBUSB_ERROR_TIMEOUT

// Counts an exchange in progress for its whole duration, so that the worker's
// reconnect handler sees cmdIdle() false while any thread is exchanging.
class ExchangeScope {
  public:
    explicit ExchangeScope(std::atomic<int32_t>& count) : count_(count) { count_.fetch_add(1); }
    ~ExchangeScope() { count_.fetch_sub(1); }
    ExchangeScope(const ExchangeScope&) = delete;
    ExchangeScope& operator=(const ExchangeScope&) = delete;

  private:
    std::atomic<int32_t>& count_;
};

// A transfer that failed without waiting (closed device, unplugged adapter)
// would otherwise be retried back to back until the time-out.
void backOffAfterFastFailure() {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

uint32_t remainingMs(uint32_t start, uint32_t timeoutMs) {
    uint64_t elapsed = getLapseMicroSec(start) / 1000u;
    return elapsed >= timeoutMs ? 0 : static_cast<uint32_t>(timeoutMs - elapsed);
}

}  // namespace

int32_t QDeviceDunlinFd2::isDeviceReady() const {
    return faultState_.load() != 0 ? -1 : 0;
}

int32_t QDeviceDunlinFd2::usbCmdSend(const uint8_t* request, uint32_t requestLength, uint8_t* reply,
                                     uint32_t* replyLength, uint8_t outEndpoint, uint8_t inEndpoint,
                                     uint32_t timeoutMs, bool recovery) {
    // Counted before the readiness test: the reconnect handler marks the
    // adapter lost before it checks the count, so one of the two always sees
    // the other and the USB device is never reopened under this exchange.
    ExchangeScope scope(exchangesInProgress_);
    if (!recovery && isDeviceReady() < 0)
        return -1;
    if (!recovery)
        pthread_mutex_lock(&cmdMutex_);

    const uint32_t capacity = *replyLength;
    const uint32_t start = static_cast<uint32_t>(getCurMicroSec());
    bool writeFailed = false;
    int32_t result = 0;
    bool matched = false;
    bool lost = false;
    while (getLapseMicroSec(start) < timeoutMs * 1000u) {
        if (!recovery && isDeviceReady() < 0) {
            lost = true;  // the adapter dropped off meanwhile: give up at once
            break;
        }
        int written =
            usb_.WriteUSBDevice(const_cast<uint8_t*>(request), static_cast<int32_t>(requestLength),
                                outEndpoint, kTransferAttemptMs);
        // A short write is a failed one: the adapter never got the whole
        // request, and the next pass writes it again from its start.
        if (written < static_cast<int>(requestLength)) {
            writeFailed = true;
            backOffAfterFastFailure();
            continue;
        }
        writeFailed = false;
        // Bytes a short reply lacks read as 0, never as a former reply's.
        std::memset(reply, 0, capacity);
        int got = usb_.ReadUSBDevice(reply, static_cast<int32_t>(capacity), inEndpoint,
                                     kTransferAttemptMs);
        if (got <= 0) {
            if (got != kLibusbTimeout)
                backOffAfterFastFailure();
            continue;
        }
        if (!replyMatches({request, requestLength}, {reply, static_cast<size_t>(got)})) {
            continue;  // short or foreign reply: write the request again
        }
        *replyLength = static_cast<uint32_t>(got);
        matched = true;
        break;
    }
    if (!matched) {
        // An exchange given up for a lost adapter got no reply either: the
        // last error must name it, not an older failure.
        QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_USB_COMMAND);
        result = (lost || writeFailed) ? -1 : -2;
    }
    if (!recovery)
        pthread_mutex_unlock(&cmdMutex_);
    return result;
}

int32_t QDeviceDunlinFd2::usbCmdExtSendByBulk(const uint8_t* request, uint32_t requestLength,
                                              uint8_t* reply, uint32_t* replyLength,
                                              uint8_t outEndpoint, uint8_t inEndpoint,
                                              uint32_t timeoutMs) {
    ExchangeScope scope(exchangesInProgress_);
    if (isDeviceReady() < 0)
        return -1;
    int written =
        usb_.bulkWriteUSBDevice(const_cast<uint8_t*>(request), static_cast<int32_t>(requestLength),
                                outEndpoint, kTransferAttemptMs);
    if (written < static_cast<int>(requestLength))
        return -1;  // part of a packet is no packet sent

    const uint32_t capacity = *replyLength;
    const uint32_t start = static_cast<uint32_t>(getCurMicroSec());
    for (;;) {
        uint32_t left = remainingMs(start, timeoutMs);
        if (left == 0)
            return -1;
        // A libusb time-out of 0 would mean no limit.
        uint32_t attempt = std::max<uint32_t>(1, std::min(left, kTransferAttemptMs));
        int got =
            usb_.bulkReadUSBDevice(reply, static_cast<int32_t>(capacity), inEndpoint, attempt);
        if (got >= static_cast<int>(kMinReplyLength) && reply[0] == request[0] &&
            reply[1] == request[1]) {
            *replyLength = static_cast<uint32_t>(got);
            return 0;
        }
        if (got < 0 && got != kLibusbTimeout) {
            if (isDeviceReady() < 0)
                return -1;
            backOffAfterFastFailure();
        } else if (got == 0) {
            backOffAfterFastFailure();
        }
    }
}
