#include "QUserLibUsb.h"

#include <libusb.h>
#include <unistd.h>

#include "QUserLog.h"
#include "QUserMutex.h"
#include "usertime.h"

namespace {

// Only the first 63 devices with the wanted ids take part in the choice.
constexpr int kMaxMatches = 63;
// Endpoint tables cover endpoint numbers 0..7.
constexpr int kEndpointSlots = 8;
// Time a reopened adapter is given to come up before the caller goes on.
constexpr uint32_t kRestartSettleMicros = 100000;

// The numbers at the front of the transfer failure lines. They are part of the
// log texts that people search for, so they stay fixed whatever the code
// around them looks like.
constexpr int kWriteLogLine = 361;
constexpr int kBulkWriteLogLine = 401;
constexpr int kReadLogLine = 441;
constexpr int kBulkReadLogLine = 487;

// libusb splits a transfer into packets and may end it with an error (a
// time-out, most often) after some of them moved; it then reports the bytes
// that did move, and those belong to the caller: dropping received ones loses
// frames, and hiding sent ones hides a half-sent packet.
int partialOr(int transferred, int result) {
    return transferred > 0 ? transferred : result;
}

}  // namespace

QUserLibUsb::QUserLibUsb() {
    initRecursivePiMutex(&lock_);
    initResult_ = libusb_init(&context_);
    if (initResult_ != LIBUSB_SUCCESS) {
        context_ = nullptr;
    }
}

QUserLibUsb::~QUserLibUsb() {
    CloseUSBDevice();
    if (context_ != nullptr) {
        libusb_exit(context_);
        context_ = nullptr;
    }
    pthread_mutex_destroy(&lock_);
}

int QUserLibUsb::OpenUSBDevice(uint32_t vid, uint32_t pid, int32_t index) {
    QUserMutex guard(lock_);
    if (context_ == nullptr) {
        return initResult_ < 0 ? initResult_ : LIBUSB_ERROR_OTHER;
    }
    // A second open replaces the first; without this the old handle would leak.
    if (handle_.load() != nullptr) {
        CloseUSBDevice();
    }

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    if (count < 0) {
        return static_cast<int>(count);
    }

    libusb_device* chosen = nullptr;
    bool descriptorFailed = false;
    int match = 0;
    for (ssize_t i = 0; i < count && list[i] != nullptr; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) != LIBUSB_SUCCESS) {
            QUserLog::GetInstance().Error(
                "VORM Tip:USB Device<%04x:%04x:%d> Open Fail, Device Descriptor Get Fail...", vid,
                pid, index);
            descriptorFailed = true;
            break;
        }
        if (desc.idVendor != vid || desc.idProduct != pid) {
            continue;
        }
        if (match >= kMaxMatches) {
            continue;
        }
        if (match == index || index < 0) {
            chosen = list[i];
            break;
        }
        ++match;
    }

    int result = 0;
    if (!descriptorFailed) {
        libusb_device_handle* handle = nullptr;
        if (chosen == nullptr) {
            // Logged once: a driver retrying a missing adapter every 50 ms must
            // not flood the log. A successful read re-arms the message.
            if (lastRxError_.exchange(LIBUSB_ERROR_NO_DEVICE) != LIBUSB_ERROR_NO_DEVICE) {
                QUserLog::GetInstance().Error("VORM Tip:USB Device<%04x:%04x:%d> Not Exist...", vid,
                                              pid, index);
            }
        } else if (libusb_open(chosen, &handle) != LIBUSB_SUCCESS) {
            QUserLog::GetInstance().Error(
                "设备打开失败,检测设备是否已连接，程序是否管理员权限运行!");
        } else {
            libusb_free_device_list(list, 1);
            list = nullptr;
            // The adapter re-enumerates on the bus; the handle stays valid.
            libusb_reset_device(handle);
            handle_.store(handle);
            vid_ = vid;
            pid_ = pid;
            index_.store(index);
            QUserLog::GetInstance().Info("VORM Tip:USB Device<%d> Link...", index);
            linkStatus_.store(1);
            result = 1;
        }
    }

    if (list != nullptr) {
        libusb_free_device_list(list, 1);
    }
    if (result != 1) {
        libusb_device_handle* stale = handle_.exchange(nullptr);
        if (stale != nullptr) {
            libusb_close(stale);
        }
    }
    return result;
}

int QUserLibUsb::CloseUSBDevice() {
    QUserMutex guard(lock_);
    libusb_device_handle* handle = handle_.load();
    if (handle == nullptr) {
        return 1;
    }
    for (int i = 0; i < kEndpointSlots; ++i) {
        const uint8_t in = inEndpoints_[i].exchange(0);
        if (in != 0) {
            libusb_clear_halt(handle, in);
        }
        const uint8_t out = outEndpoints_[i].exchange(0);
        if (out != 0) {
            libusb_clear_halt(handle, out);
        }
    }
    libusb_reset_device(handle);
    handle_.store(nullptr);
    libusb_close(handle);
    return 1;
}

uint32_t QUserLibUsb::GetUSBDeviceLinkStatus() {
    return linkStatus_.load();
}

int QUserLibUsb::RestartUSBDevice() {
    uint32_t reopened = 0;
    {
        // Held over both steps so that no bulk write slips in between.
        QUserMutex guard(lock_);
        CloseUSBDevice();
        OpenUSBDevice(vid_, pid_, index_.load());
        reopened = static_cast<uint32_t>(getCurMicroSec());
    }
    for (uint32_t passed = getLapseMicroSec(reopened); passed < kRestartSettleMicros;
         passed = getLapseMicroSec(reopened)) {
        usleep(kRestartSettleMicros - passed);
    }
    return 1;
}

void QUserLibUsb::ProcessUSBDeviceErrCode(int32_t err) {
    if (err != LIBUSB_ERROR_NO_DEVICE) {
        return;
    }
    // exchange: of several threads that see the loss at once, one logs it.
    if (linkStatus_.exchange(0) == 1) {
        QUserLog::GetInstance().Warn("USB Device<%d> DisLink...", index_.load());
    }
}

void QUserLibUsb::recordEndpoint(std::atomic<uint8_t>* table, uint8_t ep) {
    const int number = ep & 0x7F;
    // Endpoint numbers come from the drivers' constants; a wrong one must not
    // write past the table.
    if (number < kEndpointSlots) {
        table[number].store(ep, std::memory_order_relaxed);
    }
}

int QUserLibUsb::write(Transfer kind, uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs) {
    libusb_device_handle* handle = handle_.load();
    if (handle == nullptr) {
        return -1;
    }
    recordEndpoint(outEndpoints_, ep);
    int transferred = 0;
    const int result =
        kind == Transfer::Bulk
            ? libusb_bulk_transfer(handle, ep, buf, len, &transferred, timeoutMs)
            : libusb_interrupt_transfer(handle, ep, buf, len, &transferred, timeoutMs);
    if (result == LIBUSB_SUCCESS) {
        return transferred;
    }
    ProcessUSBDeviceErrCode(result);
    // Only a change of the failing endpoint is logged; a success in between
    // does not re-arm the line. A failure after part of the request went out
    // is still logged.
    if (lastFailedWriteEp_.exchange(ep) != ep) {
        if (kind == Transfer::Bulk) {
            QUserLog::GetInstance().Warn("line:%d ep:%02x bulk write %dbyte fail,ret=%d %s ",
                                         kBulkWriteLogLine, ep, len, result,
                                         libusb_strerror(result));
        } else {
            QUserLog::GetInstance().Warn("line:%d ep:%02x write %dbyte fail,ret=%d %s ",
                                         kWriteLogLine, ep, len, result, libusb_strerror(result));
        }
    }
    return partialOr(transferred, result);
}

int QUserLibUsb::read(Transfer kind, uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs) {
    libusb_device_handle* handle = handle_.load();
    if (handle == nullptr) {
        return 0;
    }
    recordEndpoint(inEndpoints_, ep);
    int transferred = 0;
    const int result =
        kind == Transfer::Bulk
            ? libusb_bulk_transfer(handle, ep, buf, len, &transferred, timeoutMs)
            : libusb_interrupt_transfer(handle, ep, buf, len, &transferred, timeoutMs);
    if (result == LIBUSB_SUCCESS) {
        lastRxError_.store(0);
        return transferred;
    }
    ProcessUSBDeviceErrCode(result);
    // A run of one error is logged once; time-outs are the normal idle case
    // of a polling receive thread and are never logged.
    if (lastRxError_.exchange(result) != result && result != LIBUSB_ERROR_TIMEOUT) {
        if (kind == Transfer::Bulk) {
            QUserLog::GetInstance().Warn("line:%d ep:%02x bulk read fail,ret=%d %s",
                                         kBulkReadLogLine, ep, result, libusb_strerror(result));
        } else {
            QUserLog::GetInstance().Warn("line:%d ep:%02x read fail,ret=%d %s", kReadLogLine, ep,
                                         result, libusb_strerror(result));
        }
    }
    return partialOr(transferred, result);
}

int QUserLibUsb::WriteUSBDevice(uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs) {
    return write(Transfer::Interrupt, buf, len, ep, timeoutMs);
}

int QUserLibUsb::bulkWriteUSBDevice(uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs) {
    QUserMutex guard(lock_);
    return write(Transfer::Bulk, buf, len, ep, timeoutMs);
}

int QUserLibUsb::ReadUSBDevice(uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs) {
    return read(Transfer::Interrupt, buf, len, ep, timeoutMs);
}

int QUserLibUsb::bulkReadUSBDevice(uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs) {
    return read(Transfer::Bulk, buf, len, ep, timeoutMs);
}
