// QUserLibUsb - the USB transport: the only code that touches libusb.
//
// Finds an adapter by vendor id, product id and index among the attached
// devices of that identity, opens (and resets) it, and runs synchronous
// interrupt and bulk transfers on the endpoints the drivers name. It tracks
// whether the adapter is still attached so that a driver can reopen it.
//
// Threads: open, close and bulk writes are serialised by the object's
// recursive lock; interrupt writes and all reads take no lock, so a receive
// thread may wait in a read while another thread writes. Closing while
// another thread is inside a transfer on the same object is not allowed.
//
// Log lines (QUserLog), each limited so that a steady failure logs once:
//   Error "VORM Tip:USB Device<vid:pid:index> Not Exist..."  until a read succeeds
//   Warn  "USB Device<index> DisLink..."                      once per loss of the link
//   Warn  "line:361 ep:.. write ..." / "line:401 ep:.. bulk write ..."
//                                       once per change of the failing write endpoint
//   Warn  "line:441 ep:.. read fail..." / "line:487 ep:.. bulk read fail..."
//                                       once per change of the read error; time-outs never
#pragma once

#include <pthread.h>

#include <atomic>
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
    // Only the first 63 devices with the given ids can be chosen.
    int OpenUSBDevice(uint32_t vid, uint32_t pid, int32_t index);
    // Clears halts on the endpoints used, resets and closes. Always 1.
    int CloseUSBDevice();
    // 1 while the adapter is attached, 0 after it was found detached.
    uint32_t GetUSBDeviceLinkStatus();
    // Closes, reopens with the remembered ids and index, waits 100 ms. Always 1.
    int RestartUSBDevice();
    // Notes LIBUSB_ERROR_NO_DEVICE: the adapter is gone (link status 0).
    void ProcessUSBDeviceErrCode(int32_t err);

    // A transfer that fails after some bytes moved (libusb may end one with a
    // time-out between packets) returns those bytes as a success would; the
    // failure still counts for the link status and the log. A write may
    // therefore return less than len: callers that need the whole request
    // treat that as a failure.
    //
    // Interrupt OUT: bytes transferred, a negative libusb code, -1 when closed.
    int WriteUSBDevice(uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs);
    // Bulk OUT, serialised by the transport's lock; results as WriteUSBDevice.
    int bulkWriteUSBDevice(uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs);
    // Interrupt IN: bytes received, a negative libusb code when none were, 0
    // when closed.
    int ReadUSBDevice(uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs);
    // Bulk IN; results as ReadUSBDevice.
    int bulkReadUSBDevice(uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs);

  private:
    enum class Transfer { Interrupt, Bulk };
    int write(Transfer kind, uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs);
    int read(Transfer kind, uint8_t* buf, int32_t len, uint8_t ep, uint32_t timeoutMs);
    static void recordEndpoint(std::atomic<uint8_t>* table, uint8_t ep);

    // Transfers read the handle without the lock while open and close change
    // it under the lock; atomic so that the closed state is seen cleanly.
    std::atomic<libusb_device_handle*> handle_{nullptr};
    libusb_context* context_ = nullptr;
    int initResult_ = 0;  // libusb_init's result; the context is null when it failed
    uint32_t vid_ = 0;
    uint32_t pid_ = 0;
    std::atomic<int32_t> index_{0};  // also read by reader threads for the DisLink line
    std::atomic<uint8_t> lastFailedWriteEp_{0xFF};
    // Indexed by endpoint number: the address of each endpoint used since the open.
    std::atomic<uint8_t> inEndpoints_[8] = {};
    std::atomic<uint8_t> outEndpoints_[8] = {};
    std::atomic<uint32_t> linkStatus_{0};
    std::atomic<int32_t> lastRxError_{0};
    pthread_mutex_t lock_;
};
