// QUserLibUsb - the USB transport: the only code that touches libusb.
//
// Finds an adapter by vendor id, product id and index among the attached
// devices of that identity, opens (and resets) it, and runs synchronous
// interrupt and bulk transfers on the endpoints the drivers name. It tracks
// whether the adapter is still attached so that a driver can reopen it.
#pragma once

#include <pthread.h>

#include <cstdint>

struct libusb_context;
struct libusb_device_handle;

class QUserLibUsb {
public:
    QUserLibUsb();
    virtual ~QUserLibUsb();
    QUserLibUsb(const QUserLibUsb&) = delete;
    QUserLibUsb& operator=(const QUserLibUsb&) = delete;

    // 1 = opened; 0 = not found or not opened; a negative libusb code when the
    // device list cannot be obtained. A negative index selects the first match.
    int OpenUSBDevice(uint32_t vid, uint32_t pid, int32_t index);
    // Clears halts on the endpoints used, resets and closes. Always 1.
    int CloseUSBDevice();
    // 1 while the adapter is attached, 0 after it was found detached.
    uint32_t GetUSBDeviceLinkStatus();
    // Closes, reopens with the remembered ids and index, waits 100 ms. Always 1.
    int RestartUSBDevice();
    // Notes LIBUSB_ERROR_NO_DEVICE: the adapter is gone (link status 0).
    void ProcessUSBDeviceErrCode(int32_t err);

    // Interrupt OUT: bytes transferred, a negative libusb code, -1 when closed.
    int WriteUSBDevice(uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs);
    // Bulk OUT, serialised by the transport's lock; results as WriteUSBDevice.
    int bulkWriteUSBDevice(uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs);
    // Interrupt IN: bytes received, a negative libusb code, 0 when closed.
    int ReadUSBDevice(uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs);
    // Bulk IN; results as ReadUSBDevice.
    int bulkReadUSBDevice(uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs);

private:
    libusb_device_handle* handle_ = nullptr;
    libusb_context* context_ = nullptr;
    uint32_t vid_ = 0;
    uint32_t pid_ = 0;
    int32_t index_ = 0;
    uint8_t lastFailedWriteEp_ = 0xFF;
    uint8_t inEndpoints_[8] = {};
    uint8_t outEndpoints_[8] = {};
    uint32_t linkStatus_ = 0;  // accessed atomically: read by driver threads
    int32_t lastRxError_ = 0;  // accessed atomically
    pthread_mutex_t lock_;
};
