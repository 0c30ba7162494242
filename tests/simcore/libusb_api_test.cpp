// The simulator's libusb functions as a program sees them, on echo devices:
// the device list and descriptors, contexts, transfers and their results,
// unplug and plug with blocked and later transfers, USB reset, and the error
// texts compared with the system's libusb.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "echo_device.h"
#include "sim_control.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class LibusbApi : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ksim::configureDevices("ECHO*2,ECHO2"));
        ASSERT_EQ(libusb_init(&ctx_), LIBUSB_SUCCESS);
    }
    void TearDown() override { libusb_exit(ctx_); }

    // Opens the device at list index i; the device entry is kept referenced.
    libusb_device_handle* openAt(int i, libusb_device** deviceOut = nullptr) {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        libusb_device_handle* handle = nullptr;
        if (i < n && libusb_open(list[i], &handle) != LIBUSB_SUCCESS) {
            handle = nullptr;
        }
        if (deviceOut != nullptr) {
            *deviceOut = i < n ? libusb_ref_device(list[i]) : nullptr;
        }
        libusb_free_device_list(list, 1);
        return handle;
    }

    static std::string echoOnce(libusb_device_handle* handle, uint8_t out,
                                const std::string& text) {
        std::string copy = text;
        int n = 0;
        if (libusb_interrupt_transfer(handle, out, reinterpret_cast<uint8_t*>(copy.data()),
                                      static_cast<int>(copy.size()), &n, 500) != LIBUSB_SUCCESS) {
            return "write failed";
        }
        uint8_t buffer[64] = {};
        if (libusb_interrupt_transfer(handle, out | 0x80, buffer, sizeof(buffer), &n, 500) !=
            LIBUSB_SUCCESS) {
            return "read failed";
        }
        return std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
    }

    libusb_context* ctx_ = nullptr;
};

TEST_F(LibusbApi, DeviceListFollowsTheConfigurationWithDescriptors) {
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx_, &list), 3);
    ASSERT_EQ(list[3], nullptr);
    const uint16_t products[] = {echo::kProductId, echo::kProductId, echo::kProductId2};
    for (int i = 0; i < 3; ++i) {
        libusb_device_descriptor desc;
        ASSERT_EQ(libusb_get_device_descriptor(list[i], &desc), LIBUSB_SUCCESS);
        EXPECT_EQ(desc.bLength, LIBUSB_DT_DEVICE_SIZE);
        EXPECT_EQ(desc.bDescriptorType, LIBUSB_DT_DEVICE);
        EXPECT_EQ(desc.idVendor, echo::kVendorId);
        EXPECT_EQ(desc.idProduct, products[i]);
        EXPECT_EQ(desc.bNumConfigurations, 1);
    }
    libusb_free_device_list(list, 1);

    const std::vector<ksim::DeviceStatus> devices = ksim::listDevices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[1].model, "ECHO");
    EXPECT_EQ(devices[1].ordinal, 1);
    EXPECT_EQ(devices[2].model, "ECHO2");
    EXPECT_EQ(devices[2].ordinal, 0);
}

TEST_F(LibusbApi, ContextsAreCheckedAndTheDefaultContextCountsItsUsers) {
    libusb_device** list = nullptr;
    libusb_context* bogus = reinterpret_cast<libusb_context*>(&list);
    EXPECT_EQ(libusb_get_device_list(bogus, &list), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_get_device_list(nullptr, &list), LIBUSB_ERROR_INVALID_PARAM);
    ASSERT_EQ(libusb_init(nullptr), LIBUSB_SUCCESS);
    ASSERT_EQ(libusb_init(nullptr), LIBUSB_SUCCESS);
    libusb_exit(nullptr);
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 3);
    libusb_free_device_list(list, 1);
    libusb_exit(nullptr);
    EXPECT_EQ(libusb_get_device_list(nullptr, &list), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_get_device_list(ctx_, nullptr), LIBUSB_ERROR_INVALID_PARAM);
}

TEST_F(LibusbApi, TransfersReachTheFirmwareAndReportTheirResults) {
    libusb_device_handle* handle = openAt(0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(echoOnce(handle, 0x01, "interrupt"), "interrupt");

    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x02, data, 8, nullptr, 500), LIBUSB_SUCCESS);
    uint8_t back[4] = {};
    int n = -1;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x82, back, 4, &n, 500), LIBUSB_SUCCESS);
    EXPECT_EQ(n, 4);  // a short buffer takes the first bytes
    EXPECT_EQ(back[3], 4);

    // Nothing queued: the read waits its time-out and reports it.
    const auto start = Clock::now();
    n = -1;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x83, back, 4, &n, 150), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(msSince(start), 140);
    EXPECT_LT(msSince(start), 5000);
    EXPECT_EQ(n, 0);

    EXPECT_EQ(libusb_bulk_transfer(handle, 0x05, data, 8, &n, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x02, nullptr, 8, &n, 100), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x02, data, -1, &n, 100), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_bulk_transfer(nullptr, 0x02, data, 8, &n, 100), LIBUSB_ERROR_INVALID_PARAM);

    const ksim::TransferCounters c = ksim::listDevices()[0].counters;
    EXPECT_EQ(c.opens, 1u);
    EXPECT_EQ(c.transfersOut, 3u);  // the PIPE failure counts; refused parameters do not
    EXPECT_EQ(c.transfersIn, 3u);
    EXPECT_EQ(c.bytesOut, 9u + 8u);
    EXPECT_EQ(c.bytesIn, 9u + 4u);
    EXPECT_EQ(c.timeouts, 1u);
    EXPECT_EQ(c.failures, 1u);
    libusb_close(handle);
}

TEST_F(LibusbApi, UnplugWakesABlockedReadAndKillsTheHandle) {
    libusb_device* device = nullptr;
    libusb_device_handle* handle = openAt(1, &device);
    ASSERT_NE(handle, nullptr);

    std::atomic<int> result{1};
    std::atomic<long long> waited{0};
    std::thread reader([&] {
        uint8_t buffer[64];
        int n = 0;
        const auto start = Clock::now();
        result = libusb_bulk_transfer(handle, 0x83, buffer, sizeof(buffer), &n, 20000);
        waited = msSince(start);
    });
    EXPECT_EQ(ksim::controlDevice(1, {"wait-readers", "1", "10000"}), "ok");
    std::string error;
    ASSERT_TRUE(ksim::unplugDevice(1, &error)) << error;
    reader.join();
    EXPECT_EQ(result.load(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(waited.load(), 10000);

    // Gone from the list; everything on the old handle and entry fails.
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx_, &list), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(list[i], device);
    }
    libusb_free_device_list(list, 1);
    uint8_t byte = 0;
    int n = 0;
    EXPECT_EQ(libusb_interrupt_transfer(handle, 0x01, &byte, 1, &n, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_interrupt_transfer(handle, 0x81, &byte, 1, &n, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_clear_halt(handle, 0x81), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_reset_device(handle), LIBUSB_ERROR_NOT_FOUND);
    libusb_device_handle* again = nullptr;
    EXPECT_EQ(libusb_open(device, &again), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(ksim::listDevices()[1].attached);

    EXPECT_FALSE(ksim::unplugDevice(1, &error));
    EXPECT_EQ(error, "device 1 is already unplugged");
    libusb_close(handle);
    libusb_unref_device(device);
}

TEST_F(LibusbApi, PlugBackGivesANewEntryAndFreshFirmwareWhileOldHandlesStayDead) {
    libusb_device* oldDevice = nullptr;
    libusb_device_handle* oldHandle = openAt(0, &oldDevice);
    ASSERT_NE(oldHandle, nullptr);
    ASSERT_EQ(ksim::controlDevice(0, {"push", "83", "a1a2"}), "ok");
    ASSERT_EQ(ksim::controlDevice(0, {"delay", "50"}), "ok");
    ASSERT_TRUE(ksim::unplugDevice(0));
    std::string error;
    ASSERT_TRUE(ksim::plugDevice(0, &error)) << error;
    EXPECT_FALSE(ksim::plugDevice(0, &error));
    EXPECT_EQ(error, "device 0 is already plugged in");

    libusb_device* newDevice = nullptr;
    libusb_device_handle* newHandle = openAt(0, &newDevice);
    ASSERT_NE(newHandle, nullptr);
    EXPECT_NE(newDevice, oldDevice);
    EXPECT_EQ(ksim::controlDevice(0, {"pending", "83"}), "0");
    EXPECT_EQ(echoOnce(newHandle, 0x01, "fresh"), "fresh");
    EXPECT_EQ(echoOnce(oldHandle, 0x01, "stale"), "write failed");
    libusb_device_handle* viaOld = nullptr;
    EXPECT_EQ(libusb_open(oldDevice, &viaOld), LIBUSB_ERROR_NO_DEVICE);

    libusb_close(oldHandle);
    libusb_close(newHandle);
    libusb_unref_device(oldDevice);
    libusb_unref_device(newDevice);
}

TEST_F(LibusbApi, UsbResetReachesTheFirmware) {
    libusb_device_handle* handle = openAt(2);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(ksim::controlDevice(2, {"push", "82", "0102"}), "ok");
    EXPECT_EQ(libusb_reset_device(handle), LIBUSB_SUCCESS);
    EXPECT_EQ(ksim::controlDevice(2, {"resets"}), "1");
    EXPECT_EQ(ksim::controlDevice(2, {"pending", "82"}), "0");
    EXPECT_EQ(ksim::listDevices()[2].counters.resets, 1u);
    EXPECT_EQ(libusb_clear_halt(handle, 0x82), LIBUSB_SUCCESS);
    EXPECT_EQ(ksim::listDevices()[2].counters.clearHalts, 1u);
    libusb_close(handle);
}

TEST_F(LibusbApi, CutTransfersEndAfterTheirFirstBytesAndKeepTheRestForTheNextRead) {
    libusb_device_handle* handle = openAt(0);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(ksim::controlDevice(0, {"push", "83", "0102030405"}), "ok");
    ASSERT_TRUE(ksim::setTransferCut(0, {0x83, 2, 1}));
    uint8_t in[64] = {};
    int n = -1;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x83, in, 64, &n, 500), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(std::vector<uint8_t>(in, in + n), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x83, in, 64, &n, 500), LIBUSB_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(in, in + n), (std::vector<uint8_t>{3, 4, 5}));
    ASSERT_EQ(ksim::controlDevice(0, {"push", "83", "0607"}), "ok");  // that cut was the only one
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x83, in, 64, &n, 500), LIBUSB_SUCCESS);
    EXPECT_EQ(n, 2);

    // Every OUT transfer longer than the cut: only its first bytes reach the firmware.
    ASSERT_TRUE(ksim::setTransferCut(0, {0x01, 3, 0, LIBUSB_ERROR_PIPE}));
    uint8_t out[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(libusb_interrupt_transfer(handle, 0x01, out, 6, &n, 500), LIBUSB_ERROR_PIPE);
        EXPECT_EQ(n, 3);
        EXPECT_EQ(libusb_interrupt_transfer(handle, 0x81, in, 64, &n, 500), LIBUSB_SUCCESS);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(in), static_cast<size_t>(n)), "abc");
    }
    EXPECT_EQ(echoOnce(handle, 0x01, "xyz"), "xyz");  // not longer than the cut
    ASSERT_TRUE(ksim::clearTransferCut(0));
    EXPECT_EQ(echoOnce(handle, 0x01, "whole"), "whole");

    // A USB reset drops what a cut kept back, as it drops the device's queues.
    ASSERT_EQ(ksim::controlDevice(0, {"push", "82", "a1a2a3"}), "ok");
    ASSERT_TRUE(ksim::setTransferCut(0, {0x82, 1, 1}));
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x82, in, 64, &n, 500), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(n, 1);
    ASSERT_EQ(libusb_reset_device(handle), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x82, in, 64, &n, 50), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(n, 0);
    libusb_close(handle);
}

TEST_F(LibusbApi, ControlOfMissingDevicesAndBadListsIsRefused) {
    std::string error;
    EXPECT_FALSE(ksim::unplugDevice(3, &error));
    EXPECT_EQ(error, "no device 3 (devices 0..2)");
    EXPECT_FALSE(ksim::plugDevice(-1, &error));
    EXPECT_EQ(ksim::controlDevice(7, {"ordinal"}), "error: no device 7 (devices 0..2)");
    EXPECT_EQ(ksim::controlDevice(0, {}), "error: no command for device 0");
    EXPECT_EQ(ksim::controlDevice(1, {"ordinal"}), "1");

    EXPECT_FALSE(ksim::configureDevices("ECHO*2,NOPE", &error));
    EXPECT_NE(error.find("unknown adapter \"NOPE\""), std::string::npos) << error;
    EXPECT_EQ(ksim::listDevices().size(), 3u);  // unchanged
}

TEST_F(LibusbApi, ReconfiguringRetiresOldDevicesForGood) {
    libusb_device_handle* handle = openAt(0);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(ksim::configureDevices("ECHO2"));
    EXPECT_EQ(echoOnce(handle, 0x01, "x"), "write failed");
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx_, &list), 1);
    libusb_free_device_list(list, 1);
    libusb_close(handle);

    ASSERT_TRUE(ksim::configureDevices(""));
    EXPECT_TRUE(ksim::listDevices().empty());
    EXPECT_EQ(ksim::executeControlCommand("list"), "no devices");
}

TEST_F(LibusbApi, TransfersRacingUnplugAndPlugEndCleanly) {
    // One device, so that list index 0 is always it or nothing.
    ASSERT_TRUE(ksim::configureDevices("ECHO"));
    std::atomic<bool> stop{false};
    std::atomic<int> odd{0};
    std::atomic<int> echoed{0};
    std::thread worker([&] {
        while (!stop) {
            libusb_device_handle* handle = openAt(0);
            if (handle == nullptr) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            for (int rc = LIBUSB_SUCCESS; rc != LIBUSB_ERROR_NO_DEVICE && !stop;) {
                uint8_t data[4] = {1, 2, 3, 4};
                int n = 0;
                rc = libusb_interrupt_transfer(handle, 0x01, data, 4, &n, 50);
                if (rc == LIBUSB_SUCCESS) {
                    rc = libusb_interrupt_transfer(handle, 0x81, data, 4, &n, 50);
                    echoed += rc == LIBUSB_SUCCESS ? 1 : 0;
                }
                if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_NO_DEVICE &&
                    rc != LIBUSB_ERROR_TIMEOUT) {
                    ++odd;
                }
            }
            libusb_close(handle);
        }
    });
    for (int cycle = 0; cycle < 40; ++cycle) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(ksim::unplugDevice(0));
        ASSERT_TRUE(ksim::plugDevice(0));
    }
    stop = true;
    worker.join();
    EXPECT_EQ(odd.load(), 0);
    EXPECT_GT(echoed.load(), 0);
    libusb_device_handle* handle = openAt(0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(echoOnce(handle, 0x01, "after"), "after");
    libusb_close(handle);
}

// The texts are part of log lines that people compare with real systems.
TEST(LibusbTexts, ErrorTextsAndNamesMatchTheSystemLibusb) {
    void* real = dlopen("libusb-1.0.so.0", RTLD_NOW | RTLD_LOCAL);
    if (real == nullptr) {
        GTEST_SKIP() << "system libusb-1.0 not installed: " << dlerror();
    }
    using TextFn = const char* (*)(int);
    auto realStrerror = reinterpret_cast<TextFn>(dlsym(real, "libusb_strerror"));
    auto realName = reinterpret_cast<TextFn>(dlsym(real, "libusb_error_name"));
    ASSERT_NE(realStrerror, nullptr);
    ASSERT_NE(realName, nullptr);
    ASSERT_NE(realStrerror, &libusb_strerror);  // the comparison is not with ourselves
    for (int code = -15; code <= 9; ++code) {
        EXPECT_STREQ(libusb_strerror(code), realStrerror(code)) << code;
        EXPECT_STREQ(libusb_error_name(code), realName(code)) << code;
    }
    for (int code : {static_cast<int>(LIBUSB_ERROR_OTHER), -100, 1000}) {
        EXPECT_STREQ(libusb_strerror(code), realStrerror(code)) << code;
        EXPECT_STREQ(libusb_error_name(code), realName(code)) << code;
    }
    dlclose(real);
}

}  // namespace
