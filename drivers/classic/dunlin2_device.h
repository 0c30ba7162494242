// The classic driver's device table, exchange routines and service thread.
// Internal to the driver (and its tests); the facade uses dunlin2.h.
//
// One devInfo per device index lives in the table devInfoList. The table is
// made on first use and never destroyed, so that a call from any static
// constructor or destructor finds working records; the static object
// dunlin2LibUsb (class QLIBUSB) prepares it before main (dunlin2Init) and
// closes every open adapter after main (dunlin2Exit).
//
// Locks, none held while another is taken:
//   cmdMutex     serialises command exchanges (usbCmdSend) of one adapter
//   rxMutex      guards both receive queues
//   threadMutex  guards the service thread's stop test
//   configMutex  guards the saved channel configurations
//   waitMutex    pairs with rxCond (frames arrived) and threadCond (stop
//                requested, thread left)
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "drivers/classic/dunlin2_protocol.h"
#include "kcan.h"

class QUserLibUsb;

struct devInfo {
    devInfo();
    devInfo(const devInfo&) = delete;
    devInfo& operator=(const devInfo&) = delete;

    pthread_t threadId{};  // valid while threadRunning
    std::atomic<bool> threadRunning{false};
    std::atomic<uint8_t> threadStop{0};
    std::atomic<uint8_t> threadExited{0};
    pthread_mutex_t threadMutex;
    pthread_mutex_t rxMutex;
    pthread_mutex_t cmdMutex;
    std::atomic<uint32_t> chInitFlag[dunlin2::kChannelCount] = {};
    std::deque<_KCAN_CAN_OBJ> rxQueue[dunlin2::kChannelCount];
    std::atomic<QUserLibUsb*> usbDev{nullptr};  // owned; null while closed
    uint32_t devIndex = 0;
    std::mutex configMutex;
    _KCAN_INIT_CONFIG chInitConfig[dunlin2::kChannelCount] = {};
    std::atomic<int32_t> faultState{0};  // 0 healthy, -1 adapter lost
    uint32_t faultTime = 0;              // service thread only
    // Exchanges in progress on any thread (commands and frame writes overlap:
    // a transmit takes no command lock). Idle is this being 0.
    std::atomic<int32_t> exchangesInProgress{0};
    bool cmdIdle() const { return exchangesInProgress.load() == 0; }

    std::mutex waitMutex;
    std::condition_variable rxCond;
    uint64_t rxSeq = 0;  // counts appends to the queues; guarded by waitMutex
    std::condition_variable threadCond;
};

// The table of kDeviceCount records, made on first call.
devInfo* dunlin2DevTable();
// The record of a device index, or null for an index of 32 or more.
devInfo* dunlin2Record(uint32_t index);

// Prepares every record (closed, healthy, no channel initialised).
void dunlin2Init();
// Stops every service thread and releases every adapter; returns 1. No
// command is sent to the adapters.
int dunlin2Exit();

// 1 when type is 3 or 4, index below 32 and channel below 2; else 0 with
// error 6 (type, checked first) or 8.
int dunlin2DevParaIsValid(uint32_t type, uint32_t index, uint32_t channel);
int dunlin2IsOpen(uint32_t type, uint32_t index);
int dunlin2IsInit(uint32_t type, uint32_t index, uint32_t channel);
// 0 while healthy, -1 in the fault state.
int dunlin2IsReady(devInfo* record);

// One command exchange under cmdMutex. *replyLen: capacity on entry, the
// reply's length on success. 0 = answered (or, with timeoutMs 0, written);
// -1 = could not be written or the adapter is being recovered; -2 = written
// but not answered. Errors: 12 for -1 and -2, none in the fault state.
int usbCmdSend(devInfo* record, uint8_t* cmd, int32_t cmdLen, uint8_t* reply, int32_t* replyLen,
               uint8_t epOut, uint8_t epIn, uint32_t timeoutMs);
// The same exchange without cmdMutex and without the fault-state test: the
// fault handler re-initialises channels with it.
int usbCmdSendDirect(devInfo* record, uint8_t* cmd, int32_t cmdLen, uint8_t* reply,
                     int32_t* replyLen, uint8_t epOut, uint8_t epIn, uint32_t timeoutMs);
// One bulk write of frame records: 0 when the whole buffer was written; -1
// with error 12 when it was not, or -1 without an error in the fault state.
int usbDataSend(devInfo* record, uint8_t* data, int32_t len, uint8_t epOut, uint32_t timeoutMs);

int dunlin2ThreadStart(devInfo* record);
int dunlin2ThreadStop(devInfo* record);
void* dunlin2ThreadMainLoop(void* arg);
// One step of fault detection and recovery; service thread only.
void dunlin2FaultTimeHandle(devInfo* record);

// Channel init and start; direct selects usbCmdSendDirect.
uint32_t dunlin2CmdInitSend(uint32_t type, uint32_t index, uint32_t channel,
                            _KCAN_INIT_CONFIG* config, bool direct);
uint32_t dunlin2Start(uint32_t type, uint32_t index, uint32_t channel, bool direct);

// The device-level services on a record.
uint32_t dunlin2DevRelayStatusSetExcute(devInfo* record, uint8_t a, uint8_t b);
uint32_t dunlin2DevRelayStatusGetExcute(devInfo* record, uint8_t* a, uint8_t* b);
uint32_t dunlin2DevBaudParaGetExcute(devInfo* record, uint8_t channel, uint8_t* p1, uint8_t* p2);
uint32_t dunlin2DevChStateGetExcute(devInfo* record, uint8_t channel, uint8_t* s1, uint8_t* s2,
                                    uint8_t* s3);
uint32_t dunlin2DevDataTransferExcute(devInfo* record, uint8_t* data, int32_t len);

// Static object whose construction prepares the table and whose destruction
// shuts it down.
class QLIBUSB {
  public:
    QLIBUSB();
    ~QLIBUSB();
    QLIBUSB(const QLIBUSB&) = delete;
    QLIBUSB& operator=(const QLIBUSB&) = delete;
};
