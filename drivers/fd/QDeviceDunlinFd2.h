// QDeviceDunlinFd2 - the driver of the DUNLINFD / ZARO adapter family
// (type codes 41..43 and 64..67).
//
// One object per opened adapter. It owns the USB transport, one worker thread
// that reads the received-frame stream into per-channel queues and reopens an
// adapter that dropped off the bus, and the per-channel state needed to
// restore the channels afterwards. The code is split by job:
//   fd_device.cpp    open, close, board information, start, stop, counts,
//                    direct transfer
//   fd_exchange.cpp  command and frame-packet exchanges with the adapter
//   fd_worker.cpp    worker thread, stream reassembly, reconnect handler
//   fd_init.cpp      bit timing and channel initialisation
//   fd_frames.cpp    transmit and receive
//   fd_filter.cpp    acceptance filters
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "QDevice.h"
#include "fd_protocol.h"
#include "fd_rx_queues.h"
#include "platform/QUserLibUsb.h"

// The worker thread's record: the stop request and the exit report, guarded by
// threadMutex; threadCond wakes the worker's pauses and the stopper's wait.
struct QUserThreadObj {
    bool threadStop = false;
    bool threadExited = false;
    std::mutex threadMutex;
    std::condition_variable threadCond;
    pthread_t threadId{};
    bool running = false;  // a thread was created and not yet joined
};

class QDeviceDunlinFd2 : public QDevice {
  public:
    QDeviceDunlinFd2();
    ~QDeviceDunlinFd2() override;

    int32_t openDevice(uint32_t type, uint32_t index, uint32_t reserved) override;
    int32_t closeDevice() override;
    // This driver has no classic-only init: always 0 with error 6.
    int32_t initCAN(uint32_t channel, _KCAN_INIT_CONFIG* cfg) override;
    int32_t initCANFD(uint32_t channel, _KCAN_INITFD_CONFIG* cfg) override;
    int32_t getBoardInf(_KCAN_BOARD_INFO* info) override;
    // Always 2.
    int32_t isDeviceOnLine() override;
    int32_t transmit(uint32_t channel, _KCAN_CAN_OBJ* frames, uint32_t count) override;
    int32_t transmitFD(uint32_t channel, _KCAN_CANFD_OBJ* frames, uint32_t count) override;
    int32_t receiveFD(uint32_t channel, _KCAN_CANFD_OBJ* buffer, uint32_t maxCount,
                      int32_t waitMs) override;
    int32_t receive(uint32_t channel, _KCAN_CAN_OBJ* buffer, uint32_t maxCount,
                    int32_t waitMs) override;
    int32_t start(uint32_t channel) override;
    // Stops an initialised channel (it is then no longer restored after a
    // reconnect) and empties its queues; the result is that of clearBuffer.
    int32_t stop(uint32_t channel) override;
    int32_t clearBuffer(uint32_t channel) override;
    // kind 0: classic frames waiting, 1: CAN FD frames, 2: both.
    int32_t getReceiveNum(uint32_t channel, uint8_t kind) override;
    // Number of reply payload bytes copied back into bytes (which must hold
    // 62), 0 on failure.
    int32_t transmitData(uint8_t* bytes, uint32_t length) override;
    int32_t setFliter(uint32_t channel, _KCAN_FLITER_CONFIG* cfg) override;

    // `recovery` marks the reconnect handler's own calls: they skip the
    // readiness test and cmdMutex.
    int32_t initCANFD(uint32_t channel, const _KCAN_INITFD_CONFIG* cfg, bool recovery);
    int32_t start(uint32_t channel, bool recovery);
    int32_t transmitData(uint8_t* bytes, uint32_t length, bool recovery);

    // ---- Filter steps (setFliter runs them; 1 = success) ----
    // Chooses the mode (0 standard, 1 extended, other: announced at once).
    int32_t canFilterModeSet(uint8_t channel, uint8_t mode);
    // Stores the start; 0 without an error unless a mode was chosen.
    int32_t canFilterStartIdSet(uint8_t channel, uint32_t id);
    // Sends the range; error 8 unless a start was stored.
    int32_t canFilterEndIdSet(uint8_t channel, uint32_t id);
    int32_t canFilterClear(uint8_t channel, int unused);
    int32_t canFilterEnable(uint8_t channel, int unused);

    // ---- Adapter exchanges (0 = success, -1/-2 = failure) ----
    // Writes the request on the interrupt pair until a matching reply comes or
    // timeoutMs runs out (error 12). replyLength: capacity in, bytes out.
    int32_t usbCmdSend(const uint8_t* request, uint32_t requestLength, uint8_t* reply,
                       uint32_t* replyLength, uint8_t outEndpoint, uint8_t inEndpoint,
                       uint32_t timeoutMs, bool recovery = false);
    // Writes one frame packet on bulk OUT and waits for its acknowledgement.
    int32_t usbCmdExtSendByBulk(const uint8_t* request, uint32_t requestLength, uint8_t* reply,
                                uint32_t* replyLength, uint8_t outEndpoint, uint8_t inEndpoint,
                                uint32_t timeoutMs);
    // -1 while the adapter is being restored after a reconnect, else 0.
    int32_t isDeviceReady() const;
    // True only while no exchange at all is in progress.
    bool cmdIdle() const { return exchangesInProgress_.load() == 0; }

    // ---- Receive path ----
    // Appends stream bytes to the reassembly buffer and queues every record
    // of the whole packets found.
    void usbRxDataProcess(const uint8_t* bytes, uint32_t count);
    // Empties the channel's two queues and drops any partly received packet.
    void usbRxDataBufferClr(uint32_t channel);

    // ---- State, for callers and tests ----
    bool isOpened() const { return opened_.load() == 1; }
    uint32_t channelCount() const { return channelCount_; }
    int32_t faultState() const { return faultState_.load(); }
    uint16_t hwVersion() const { return hwVersion_; }
    uint16_t fwVersion() const { return fwVersion_; }
    uint32_t rxLength();
    bool channelInitialised(uint32_t channel) const;
    // Number of USB restarts the reconnect handler made since open.
    uint32_t restartCount() const { return restarts_.load(); }

  private:
    // Tests mark the adapter lost in the middle of an exchange, a moment the
    // worker's own detection reaches only by chance.
    friend struct FdDriverProbe;

    // fd_device.cpp
    bool canGetDeviceVer();
    int32_t canStart(uint32_t channel, bool recovery);
    int32_t canStop(uint32_t channel);
    int32_t queryCommand(uint8_t code, uint8_t* reply, uint32_t* replyLength);
    // The big-endian word at reply bytes 4..5 of a query; false when the
    // exchange failed.
    bool queryVersion(uint8_t code, uint16_t* word);

    // fd_init.cpp
    int32_t initCANFDCmdSend(uint32_t channel, const _KCAN_INITFD_CONFIG* cfg, bool recovery);
    int32_t canFdBaudInit(uint32_t channel, uint8_t isoMode, uint8_t mode, uint16_t abitClock,
                          uint16_t dbitClock, uint32_t abitWord, uint32_t dbitWord, bool recovery);

    // fd_frames.cpp
    int32_t transmitSingle(uint32_t channel, _KCAN_CAN_OBJ* frames, uint32_t count);
    int32_t transmitSingleFD(uint32_t channel, _KCAN_CANFD_OBJ* frames, uint32_t count);

    int32_t filterCommand(uint8_t op, uint8_t channel, uint32_t startId, uint32_t endId);

    // fd_worker.cpp
    void taskThreadCreate();
    void taskThreadStart(QUserThreadObj* thread, void* (*entry)(void*));
    void taskThreadStop(QUserThreadObj* thread);
    void taskThreadShutdown();
    static void* dataRxThreadTask(void* driver);
    void dataReceiveTask();
    bool workerPause(uint32_t micros);
    void faultTimeHandle();
    void restartUsbIfQuiet();

    QUserThreadObj dataRxThread_;
    uint64_t lastStreamData_ = 0;  // worker only: when a stream read last brought data
    bool coalescing_ = false;      // worker only: pausing after reads, the rate being high
    uint32_t deviceType_ = 0;
    uint32_t deviceIndex_ = 0;
    uint32_t channelCount_ = 0;
    uint16_t clockMhz_ = 60;
    std::atomic<uint32_t> opened_{0};
    uint32_t faultTime_ = 0;  // worker only
    uint16_t hwVersion_ = 0;
    uint16_t fwVersion_ = 0;
    std::atomic<int32_t> faultState_{0};
    std::atomic<uint32_t> restarts_{0};

    // The reassembly buffer belongs to the worker; rxMutex_ orders a clear
    // from an application thread with the worker's use of it.
    std::mutex rxMutex_;
    uint8_t rxBuffer_[dunlinfd::kRxBufferSize] = {};
    uint32_t rxLength_ = 0;

    dunlinfd::FdRxQueues queues_;
    pthread_mutex_t cmdMutex_;  // recursive, priority inheritance
    QUserLibUsb usb_;
    // Exchanges in progress on any thread; cmdIdle() is its being 0.
    std::atomic<int32_t> exchangesInProgress_{0};

    // Per-channel init state; configMutex_ guards chConfig_ and chInit_
    // (the worker restores channels from them while application threads
    // initialise and stop).
    mutable std::mutex configMutex_;
    _KCAN_INITFD_CONFIG chConfig_[dunlinfd::kMaxChannels] = {};
    uint8_t chInit_[dunlinfd::kMaxChannels] = {};
    std::atomic<uint8_t> chMode_[dunlinfd::kMaxChannels] = {};

    // Filter set-up steps, guarded by cmdMutex_.
    uint8_t chFilterState_[dunlinfd::kMaxChannels] = {};
    uint8_t chFilterMode_[dunlinfd::kMaxChannels] = {};
    uint32_t chFilterStart_[dunlinfd::kMaxChannels] = {};
};
