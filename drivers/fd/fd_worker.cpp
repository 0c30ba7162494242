// The data-receive worker: reads the adapter's frame stream, reassembles it
// into packets, queues the records, and runs the reconnect handler.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

#include "QDeviceDunlinFd2.h"
#include "platform/QUserLog.h"
#include "platform/usertime.h"

using namespace dunlinfd;

namespace {

constexpr uint32_t kStopWaitMicros = 2000000;  // then the worker is cancelled
constexpr uint32_t kRetryIntervalMicros = 50000;
constexpr uint32_t kEmptyReadPauseMicros = 100;
constexpr uint32_t kFaultPassPauseMicros = 10000;  // between passes while restoring
constexpr uint32_t kErrorPauseMicros = 1000;
// At high frame rates a read returns one or two frames and wakes a reader
// for each; pausing this long after such a read lets the next one carry
// several. The pauses start when two reads bring data less than
// kBusyGapMicros apart (over 3,000 frames/s) and go on while data keeps
// coming within kBusyGapMicros of a pause's end, so a frame at a low rate is
// queued as soon as it comes. A read that left no room for another packet
// is not followed by a pause: more is waiting.
constexpr uint32_t kCoalesceMicros = 500;
constexpr uint64_t kBusyGapMicros = 300;
constexpr int kLibusbTimeout = -7;

}  // namespace

// ---- Thread management ---------------------------------------------------------

void QDeviceDunlinFd2::taskThreadCreate() {
    taskThreadStart(&dataRxThread_, &dataRxThreadTask);
}

void QDeviceDunlinFd2::taskThreadStart(QUserThreadObj* thread, void* (*entry)(void*)) {
    if (thread->running)
        return;
    {
        std::lock_guard<std::mutex> lock(thread->threadMutex);
        thread->threadStop = false;
        thread->threadExited = false;
    }
    if (pthread_create(&thread->threadId, nullptr, entry, this) == 0) {
        thread->running = true;
    } else {
        QUserLog::GetInstance().Error("VORM Tip:DUNLINFD worker thread create fail...");
    }
}

void QDeviceDunlinFd2::taskThreadStop(QUserThreadObj* thread) {
    if (!thread->running)
        return;
    bool exited = false;
    {
        std::unique_lock<std::mutex> lock(thread->threadMutex);
        thread->threadStop = true;
        thread->threadCond.notify_all();
        exited = thread->threadCond.wait_for(lock, std::chrono::microseconds(kStopWaitMicros),
                                             [thread] { return thread->threadExited; });
    }
    if (!exited) {
        QUserLog::GetInstance().Error("Thread Exit Fail...");
        pthread_cancel(thread->threadId);
    }
    pthread_join(thread->threadId, nullptr);
    thread->running = false;
    thread->threadId = pthread_t{};
}

void QDeviceDunlinFd2::taskThreadShutdown() {
    taskThreadStop(&dataRxThread_);
}

void* QDeviceDunlinFd2::dataRxThreadTask(void* driver) {
    auto* self = static_cast<QDeviceDunlinFd2*>(driver);
    QUserThreadObj& thread = self->dataRxThread_;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(thread.threadMutex);
            if (thread.threadStop)
                break;
        }
        try {
            self->dataReceiveTask();
        } catch (const std::exception& e) {
            // Out of memory for the queues: the chunk is lost, the worker goes on.
            QUserLog::GetInstance().Error("VORM Tip:DUNLINFD receive fail: %s", e.what());
        }
    }
    std::lock_guard<std::mutex> lock(thread.threadMutex);
    thread.threadExited = true;
    thread.threadCond.notify_all();
    return nullptr;
}

// Waits up to `micros` or until a stop is requested; true when stopping.
bool QDeviceDunlinFd2::workerPause(uint32_t micros) {
    std::unique_lock<std::mutex> lock(dataRxThread_.threadMutex);
    return dataRxThread_.threadCond.wait_for(lock, std::chrono::microseconds(micros),
                                             [this] { return dataRxThread_.threadStop; });
}

// ---- One pass ---------------------------------------------------------------------

void QDeviceDunlinFd2::dataReceiveTask() {
    if (cmdIdle())
        faultTimeHandle();
    if (faultState_.load() != 0) {
        // Nothing to read while the adapter is lost; the handler re-checks
        // its 50 ms interval on the next pass.
        workerPause(kFaultPassPauseMicros);
        return;
    }
    uint8_t chunk[kRxBufferSize];
    int got = usb_.bulkReadUSBDevice(chunk, static_cast<int32_t>(sizeof chunk), kEpStreamIn,
                                     kStreamReadTimeoutMs);
    if (got > 0) {
        usbRxDataProcess(chunk, static_cast<uint32_t>(got));
        const uint64_t now = getCurMicroSec();
        coalescing_ = now - lastStreamData_ < kBusyGapMicros + (coalescing_ ? kCoalesceMicros : 0);
        lastStreamData_ = now;
        const bool roomLeft =
            sizeof chunk - static_cast<size_t>(got) >= kPacketHeaderSize + kFdRecordSize;
        if (coalescing_ && roomLeft)
            workerPause(kCoalesceMicros);
    } else if (got == 0) {
        workerPause(kEmptyReadPauseMicros);
    } else if (got != kLibusbTimeout) {
        // A failing endpoint answers at once; do not hammer it.
        workerPause(kErrorPauseMicros);
    }
}

// ---- Reassembly -------------------------------------------------------------------

void QDeviceDunlinFd2::usbRxDataProcess(const uint8_t* bytes, uint32_t count) {
    std::lock_guard<std::mutex> lock(rxMutex_);
    while (count > 0) {
        uint32_t room = static_cast<uint32_t>(kRxBufferSize) - rxLength_;
        uint32_t take = std::min(count, room);
        std::memcpy(rxBuffer_ + rxLength_, bytes, take);
        rxLength_ += take;
        bytes += take;
        count -= take;

        size_t consumed = 0;
        {
            FdRxQueues::Appender appender(queues_);
            consumed = parseFramePackets({rxBuffer_, rxLength_}, appender);
        }
        // The parser never leaves a full buffer unconsumed (oversize headers
        // are garbage to it); dropping a byte here keeps the loop finite.
        if (consumed == 0 && rxLength_ == kRxBufferSize)
            consumed = 1;
        std::memmove(rxBuffer_, rxBuffer_ + consumed, rxLength_ - consumed);
        rxLength_ -= static_cast<uint32_t>(consumed);
    }
}

void QDeviceDunlinFd2::usbRxDataBufferClr(uint32_t channel) {
    std::lock_guard<std::mutex> lock(rxMutex_);
    queues_.clear(channel);
    rxLength_ = 0;
}

uint32_t QDeviceDunlinFd2::rxLength() {
    std::lock_guard<std::mutex> lock(rxMutex_);
    return rxLength_;
}

// ---- Reconnect handler ------------------------------------------------------------

// Reopens the USB device unless an application exchange is still running on
// it: faultState is already -1, so new exchanges are refused and the next
// attempt (50 ms later) finds the transport quiet.
void QDeviceDunlinFd2::restartUsbIfQuiet() {
    if (exchangesInProgress_.load() != 0)
        return;
    restarts_.fetch_add(1);
    usb_.RestartUSBDevice();
}

void QDeviceDunlinFd2::faultTimeHandle() {
    if (opened_.load() != 1)
        return;
    if (faultState_.load() == 0) {
        bool anyInit = false;
        {
            std::lock_guard<std::mutex> lock(configMutex_);
            anyInit = std::any_of(std::begin(chInit_), std::end(chInit_),
                                  [](uint8_t v) { return v != 0; });
        }
        if (!anyInit || usb_.GetUSBDeviceLinkStatus() == 1)
            return;
        faultState_.store(-1);
        faultTime_ = static_cast<uint32_t>(getCurMicroSec());
        restartUsbIfQuiet();
    } else {
        if (getLapseMicroSec(faultTime_) < kRetryIntervalMicros)
            return;
        faultTime_ = static_cast<uint32_t>(getCurMicroSec());
        if (usb_.GetUSBDeviceLinkStatus() != 1)
            restartUsbIfQuiet();
    }
    if (usb_.GetUSBDeviceLinkStatus() != 1)
        return;

    // The adapter is back: restore every initialised channel in order.
    _KCAN_INITFD_CONFIG configs[kMaxChannels];
    uint8_t init[kMaxChannels];
    {
        std::lock_guard<std::mutex> lock(configMutex_);
        std::copy(std::begin(chConfig_), std::end(chConfig_), configs);
        std::copy(std::begin(chInit_), std::end(chInit_), init);
    }
    for (uint32_t ch = 0; ch < kMaxChannels; ++ch) {
        if (init[ch] == 0)
            continue;
        if (initCANFD(ch, &configs[ch], true) != 1 || start(ch, true) != 1) {
            restartUsbIfQuiet();
            return;
        }
    }
    faultState_.store(0);
    QUserLog::GetInstance().Info("VORM Tip:DUNLINFD OK...");
}
