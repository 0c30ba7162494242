// A QDevice that records the calls it gets and answers with set results.
#pragma once

#include <atomic>

#include "QDevice.h"

struct FakeDevice : QDevice {
    static inline std::atomic<int> destroyed{0};
    ~FakeDevice() override { ++destroyed; }

    int closes = 0;
    int starts = 0;
    int inits = 0;
    int32_t initResult = 1;
    int32_t startResult = 1;
    int32_t frameResult = 0;
    uint32_t lastChannel = 0xFFFFFFFF;
    uint32_t lastCount = 0;
    int32_t lastWait = 0;

    int32_t openDevice(uint32_t, uint32_t, uint32_t) override { return 1; }
    int32_t closeDevice() override {
        ++closes;
        return 1;
    }
    int32_t initCAN(uint32_t, _KCAN_INIT_CONFIG*) override { return 0; }
    int32_t initCANFD(uint32_t channel, _KCAN_INITFD_CONFIG*) override {
        ++inits;
        lastChannel = channel;
        return initResult;
    }
    int32_t getBoardInf(_KCAN_BOARD_INFO*) override { return 1; }
    int32_t isDeviceOnLine() override { return 2; }
    int32_t transmit(uint32_t channel, _KCAN_CAN_OBJ*, uint32_t count) override {
        lastChannel = channel;
        lastCount = count;
        return frameResult;
    }
    int32_t transmitFD(uint32_t channel, _KCAN_CANFD_OBJ*, uint32_t count) override {
        lastChannel = channel;
        lastCount = count;
        return frameResult;
    }
    int32_t receiveFD(uint32_t channel, _KCAN_CANFD_OBJ*, uint32_t count, int32_t wait) override {
        lastChannel = channel;
        lastCount = count;
        lastWait = wait;
        return frameResult;
    }
    int32_t receive(uint32_t channel, _KCAN_CAN_OBJ*, uint32_t count, int32_t wait) override {
        lastChannel = channel;
        lastCount = count;
        lastWait = wait;
        return frameResult;
    }
    int32_t start(uint32_t channel) override {
        ++starts;
        lastChannel = channel;
        return startResult;
    }
    int32_t stop(uint32_t) override { return 1; }
    int32_t clearBuffer(uint32_t) override { return 1; }
    int32_t getReceiveNum(uint32_t, uint8_t kind) override { return 40 + kind; }
    int32_t transmitData(uint8_t*, uint32_t length) override {
        return static_cast<int32_t>(length);
    }
    int32_t setFliter(uint32_t, _KCAN_FLITER_CONFIG*) override { return 1; }
};
