// The classic driver's device table, its command and data exchanges, the
// service thread that splits the received stream into queued frames, and
// the fault handler that brings a lost adapter back.
#include <libusb.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "QErrMgr.h"
#include "drivers/classic/dunlin2_device.h"
#include "platform/QUserLibUsb.h"
#include "platform/QUserLog.h"
#include "platform/QUserMutex.h"
#include "platform/usertime.h"

using namespace dunlin2;

namespace {

constexpr uint32_t kCmdWriteTimeoutMs = 100;     // usbCmdSend write
constexpr uint32_t kCmdReadTimeoutMs = 500;      // usbCmdSend read
constexpr uint32_t kDirectWriteTimeoutMs = 500;  // usbCmdSendDirect write
constexpr uint32_t kDirectReadTimeoutMs = 100;   // usbCmdSendDirect read
constexpr uint32_t kStreamReadTimeoutMs = 500;
constexpr uint32_t kFaultStepMicros = 50000;  // recovery steps at most every 50 ms
constexpr auto kThreadStopLimit = std::chrono::seconds(2);
// Pauses that keep loops from spinning against an adapter that fails at once.
constexpr auto kRetryPause = std::chrono::milliseconds(10);
constexpr auto kFaultPassPause = std::chrono::milliseconds(10);
constexpr auto kEmptyReadPause = std::chrono::microseconds(100);

void setError(int code) {
    QErrInfoMgr::getinstance()->setLastError(code);
}

// Sleeps for at most pause, never past the exchange's end.
void retryPause(uint64_t startMicros, uint64_t limitMicros) {
    uint64_t passed = getCurMicroSec() - startMicros;
    if (passed >= limitMicros) {
        return;
    }
    auto left = std::chrono::microseconds(limitMicros - passed);
    std::this_thread::sleep_for(left < kRetryPause ? left : kRetryPause);
}

// Waits on the record's thread condition until the pause has passed or a stop
// is requested.
template <typename Duration>
void servicePause(devInfo* record, Duration pause) {
    std::unique_lock<std::mutex> lock(record->waitMutex);
    record->threadCond.wait_for(lock, pause, [record] { return record->threadStop.load() != 0; });
}

// Counts an exchange in progress for the span of a scope, so that the fault
// handler does not restart the adapter in the middle of it. A count, not a
// flag: a transmit and a command overlap, and the first to end must not mark
// the driver idle under the other.
class CmdBusy {
  public:
    explicit CmdBusy(devInfo* record) : record_(record) {
        record_->exchangesInProgress.fetch_add(1);
    }
    ~CmdBusy() { record_->exchangesInProgress.fetch_sub(1); }
    CmdBusy(const CmdBusy&) = delete;
    CmdBusy& operator=(const CmdBusy&) = delete;

  private:
    devInfo* record_;
};

// A transfer cut short left half a message at the adapter: it counts as not
// written, and a retry sends the whole message again.
bool wroteAll(int written, int32_t len) {
    return written > 0 && written == len;
}

// Restarts the adapter unless an exchange is still in progress on it. The
// fault state is already set, so no new exchange starts; the next recovery
// step (50 ms later) finds the transport quiet.
void restartIfQuiet(devInfo* record, QUserLibUsb* usb) {
    if (record->cmdIdle()) {
        usb->RestartUSBDevice();
    }
}

// The exchange loop shared by usbCmdSend and usbCmdSendDirect.
int exchange(devInfo* record, uint8_t* cmd, int32_t cmdLen, uint8_t* reply, int32_t* replyLen,
             uint8_t epOut, uint8_t epIn, uint32_t timeoutMs, uint32_t writeTimeoutMs,
             uint32_t readTimeoutMs) {
    QUserLibUsb* usb = record->usbDev.load();
    if (timeoutMs == 0) {
        // Write only: the caller does not want a reply.
        int written =
            usb != nullptr ? usb->WriteUSBDevice(cmd, cmdLen, epOut, kCmdWriteTimeoutMs) : -1;
        return wroteAll(written, cmdLen) ? 0 : -1;
    }
    bool writeFailed = false;
    bool readFailed = false;
    const uint64_t start = getCurMicroSec();
    const uint64_t limit = static_cast<uint64_t>(timeoutMs) * 1000;
    while (getCurMicroSec() - start < limit) {
        int written = usb != nullptr ? usb->WriteUSBDevice(cmd, cmdLen, epOut, writeTimeoutMs) : -1;
        if (!wroteAll(written, cmdLen)) {
            writeFailed = true;
            retryPause(start, limit);
            continue;
        }
        writeFailed = false;
        int got = usb->ReadUSBDevice(reply, *replyLen, epIn, readTimeoutMs);
        if (got > 0) {
            *replyLen = got;
            readFailed = false;
            break;
        }
        readFailed = true;
        if (got != LIBUSB_ERROR_TIMEOUT) {
            retryPause(start, limit);  // failed at once: do not hammer the adapter
        }
    }
    if (writeFailed) {
        setError(KCAN_ERR_USB_COMMAND);
        return -1;
    }
    if (readFailed) {
        setError(KCAN_ERR_USB_COMMAND);
        return -2;
    }
    return 0;
}

// Appends the frames of one read to the queues and wakes waiting receivers.
void queueFrames(devInfo* record, const ReceivedFrame* frames, size_t count) {
    if (count == 0) {
        return;
    }
    {
        QUserMutex guard(record->rxMutex);
        for (size_t i = 0; i < count; ++i) {
            record->rxQueue[frames[i].channel].push_back(frames[i].frame);
        }
    }
    {
        std::lock_guard<std::mutex> lock(record->waitMutex);
        ++record->rxSeq;
    }
    record->rxCond.notify_all();
}

}  // namespace

// ---- Device table ------------------------------------------------------------

devInfo::devInfo() {
    initRecursivePiMutex(&threadMutex);
    initRecursivePiMutex(&rxMutex);
    initRecursivePiMutex(&cmdMutex);
}

devInfo* dunlin2DevTable() {
    // Never destroyed: drivers and facade may still be called from static
    // destructors after dunlin2Exit, and find closed records then.
    static devInfo* const devInfoList = [] {
        void* storage = ::operator new(sizeof(devInfo) * kDeviceCount);
        devInfo* table = static_cast<devInfo*>(storage);
        for (uint32_t i = 0; i < kDeviceCount; ++i) {
            new (&table[i]) devInfo();
            table[i].devIndex = i;
        }
        return table;
    }();
    return devInfoList;
}

devInfo* dunlin2Record(uint32_t index) {
    return index < kDeviceCount ? &dunlin2DevTable()[index] : nullptr;
}

void dunlin2Init() {
    devInfo* table = dunlin2DevTable();
    for (uint32_t i = 0; i < kDeviceCount; ++i) {
        devInfo& d = table[i];
        if (d.usbDev.load() != nullptr) {
            continue;  // opened by an earlier static constructor: keep it
        }
        d.devIndex = i;
        d.threadRunning = false;
        d.threadStop = 0;
        d.threadExited = 0;
        for (auto& flag : d.chInitFlag) {
            flag = 0;
        }
        d.faultState = 0;
        d.faultTime = 0;
    }
}

int dunlin2Exit() {
    devInfo* table = dunlin2DevTable();
    for (uint32_t i = 0; i < kDeviceCount; ++i) {
        devInfo& d = table[i];
        QUserLibUsb* usb = d.usbDev.load();
        if (usb != nullptr) {
            dunlin2ThreadStop(&d);
            d.usbDev = nullptr;
            delete usb;
        }
        for (auto& flag : d.chInitFlag) {
            flag = 0;
        }
        d.faultState = 0;
        // The mutexes stay: the records remain usable (as closed devices)
        // from static destructors that run after this one.
    }
    return 1;
}

QLIBUSB::QLIBUSB() {
    dunlin2Init();
}

QLIBUSB::~QLIBUSB() {
    dunlin2Exit();
}

namespace {
QLIBUSB dunlin2LibUsb;
}

// ---- Checks ------------------------------------------------------------------

int dunlin2DevParaIsValid(uint32_t type, uint32_t index, uint32_t channel) {
    if (type != KCAN_TYPE_DUNLIN1 && type != KCAN_TYPE_DUNLIN2) {
        setError(KCAN_ERR_TYPE_NOT_SUPPORTED);
        return 0;
    }
    if (index >= kDeviceCount || channel >= kChannelCount) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    return 1;
}

int dunlin2IsOpen(uint32_t type, uint32_t index) {
    if (dunlin2DevParaIsValid(type, index, 0) == 0) {
        return 0;
    }
    return dunlin2Record(index)->usbDev.load() != nullptr ? 1 : 0;
}

int dunlin2IsInit(uint32_t type, uint32_t index, uint32_t channel) {
    if (dunlin2IsOpen(type, index) == 0) {
        return 0;
    }
    if (channel >= kChannelCount) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    return dunlin2Record(index)->chInitFlag[channel].load() != 0 ? 1 : 0;
}

int dunlin2IsReady(devInfo* record) {
    return record->faultState.load() == 0 ? 0 : -1;
}

// ---- Exchanges -----------------------------------------------------------------

int usbCmdSend(devInfo* record, uint8_t* cmd, int32_t cmdLen, uint8_t* reply, int32_t* replyLen,
               uint8_t epOut, uint8_t epIn, uint32_t timeoutMs) {
    QUserMutex guard(record->cmdMutex);
    // Counted before the readiness test: the fault handler sets the fault
    // state before it looks at the count, so one of the two sees the other.
    CmdBusy busy(record);
    if (dunlin2IsReady(record) < 0) {
        return -1;  // the service thread is bringing the adapter back
    }
    return exchange(record, cmd, cmdLen, reply, replyLen, epOut, epIn, timeoutMs,
                    kCmdWriteTimeoutMs, kCmdReadTimeoutMs);
}

int usbCmdSendDirect(devInfo* record, uint8_t* cmd, int32_t cmdLen, uint8_t* reply,
                     int32_t* replyLen, uint8_t epOut, uint8_t epIn, uint32_t timeoutMs) {
    CmdBusy busy(record);
    return exchange(record, cmd, cmdLen, reply, replyLen, epOut, epIn, timeoutMs,
                    kDirectWriteTimeoutMs, kDirectReadTimeoutMs);
}

int usbDataSend(devInfo* record, uint8_t* data, int32_t len, uint8_t epOut, uint32_t timeoutMs) {
    CmdBusy busy(record);  // before the readiness test, as in usbCmdSend
    if (dunlin2IsReady(record) < 0) {
        return -1;
    }
    QUserLibUsb* usb = record->usbDev.load();
    if (timeoutMs != 0 && usb != nullptr) {
        if (wroteAll(usb->bulkWriteUSBDevice(data, len, epOut, timeoutMs), len)) {
            return 0;
        }
    }
    setError(KCAN_ERR_USB_COMMAND);
    return -1;
}

// ---- Service thread ------------------------------------------------------------

int dunlin2ThreadStart(devInfo* record) {
    record->threadStop = 0;
    record->threadExited = 0;
    if (pthread_create(&record->threadId, nullptr, dunlin2ThreadMainLoop, &record->devIndex) != 0) {
        QUserLog::GetInstance().Error("DUNLIN<%u> service thread not started", record->devIndex);
        return 0;
    }
    record->threadRunning = true;
    return 1;
}

int dunlin2ThreadStop(devInfo* record) {
    if (!record->threadRunning.load()) {
        return 1;
    }
    {
        QUserMutex guard(record->threadMutex);
        record->threadExited = 0;
        record->threadStop = 1;
    }
    bool exited = false;
    {
        std::unique_lock<std::mutex> lock(record->waitMutex);
        record->threadCond.notify_all();  // cut short a pause of the loop
        exited = record->threadCond.wait_for(lock, kThreadStopLimit,
                                             [record] { return record->threadExited.load() != 0; });
    }
    if (!exited) {
        QUserLog::GetInstance().Error("Thread Exit Fail...");
        pthread_cancel(record->threadId);
    }
    pthread_join(record->threadId, nullptr);
    record->threadRunning = false;
    return 1;
}

void* dunlin2ThreadMainLoop(void* arg) {
    const uint32_t index = *static_cast<const uint32_t*>(arg);
    devInfo* record = dunlin2Record(index);
    if (record == nullptr) {
        return nullptr;
    }
    uint8_t readBuffer[kStreamReadSize];
    // Large (2 KiB buffer and the decoded frames): kept off the stack.
    auto assembler = std::make_unique<StreamAssembler>();
    auto frames = std::make_unique<ReceivedFrame[]>(StreamAssembler::kMaxFramesPerFeed);
    for (;;) {
        {
            QUserMutex guard(record->threadMutex);
            if (record->threadStop.load() != 0 || record->usbDev.load() == nullptr) {
                record->threadExited = 1;
                break;
            }
        }
        if (record->cmdIdle()) {
            dunlin2FaultTimeHandle(record);
        }
        if (record->faultState.load() != 0) {
            servicePause(record, kFaultPassPause);
            continue;
        }
        memset(readBuffer, 0, sizeof readBuffer);
        int n = record->usbDev.load()->bulkReadUSBDevice(readBuffer, sizeof readBuffer, kEpDataIn,
                                                         kStreamReadTimeoutMs);
        if (n == 0) {
            servicePause(record, kEmptyReadPause);
            continue;
        }
        if (n < 0) {
            if (n != LIBUSB_ERROR_TIMEOUT) {
                servicePause(record, kRetryPause);  // failed at once (adapter gone)
            }
            continue;
        }
        size_t count = assembler->feed(readBuffer, static_cast<size_t>(n), frames.get());
        queueFrames(record, frames.get(), count);
    }
    { std::lock_guard<std::mutex> lock(record->waitMutex); }
    record->threadCond.notify_all();
    return nullptr;
}

void dunlin2FaultTimeHandle(devInfo* record) {
    QUserLibUsb* usb = record->usbDev.load();
    if (usb == nullptr) {
        return;
    }
    if (record->faultState.load() == 0) {
        if (record->chInitFlag[0].load() == 0 && record->chInitFlag[1].load() == 0) {
            return;  // nothing to restore: a lost adapter of this kind is left alone
        }
        if (usb->GetUSBDeviceLinkStatus() != 0) {
            return;
        }
        record->faultState = -1;
        record->faultTime = static_cast<uint32_t>(getCurMicroSec());
        restartIfQuiet(record, usb);
    } else {
        if (getLapseMicroSec(record->faultTime) < kFaultStepMicros) {
            return;
        }
        record->faultTime = static_cast<uint32_t>(getCurMicroSec());
        if (usb->GetUSBDeviceLinkStatus() == 0) {
            restartIfQuiet(record, usb);
        }
    }
    if (usb->GetUSBDeviceLinkStatus() == 0) {
        return;
    }
    // The adapter is back: replay every initialised channel's settings.
    bool failed = false;
    for (uint32_t ch = 0; ch < kChannelCount && !failed; ++ch) {
        if (record->chInitFlag[ch].load() == 0) {
            continue;
        }
        _KCAN_INIT_CONFIG config;
        {
            std::lock_guard<std::mutex> lock(record->configMutex);
            config = record->chInitConfig[ch];
        }
        if (dunlin2CmdInitSend(KCAN_TYPE_DUNLIN2, record->devIndex, ch, &config, true) != 1 ||
            dunlin2Start(KCAN_TYPE_DUNLIN2, record->devIndex, ch, true) != 1) {
            failed = true;
        }
    }
    if (!failed) {
        record->faultState = 0;
        QUserLog::GetInstance().Info("VORM Tip:DUNLIN OK...");
    } else {
        restartIfQuiet(record, usb);
    }
}
