// The simulator's libusb functions on echo devices, where the drivers rely on
// them answering as libusb does: transfer results and time-outs, unplug and
// plug, USB reset, the cut switch, reconfiguring, and the error texts.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sim_control.h"

namespace {

// One bulk transfer as "<result>:<bytes received>" (IN, up to 64 bytes) or
// "<result>:<count sent>" (OUT, the bytes of `out`).
std::string xfer(libusb_device_handle* h, uint8_t ep, const std::string& out = "",
                 unsigned timeoutMs = 500) {
    char buffer[64] = {};
    out.copy(buffer, sizeof buffer);
    int n = -1;
    const int rc =
        libusb_bulk_transfer(h, ep, reinterpret_cast<uint8_t*>(buffer),
                             ep & 0x80 ? 64 : static_cast<int>(out.size()), &n, timeoutMs);
    return std::to_string(rc) + ":" + (ep & 0x80 ? std::string(buffer, n) : std::to_string(n));
}

class Libusb : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ksim::configureDevices("ECHO*2,ECHO2"));
        ASSERT_EQ(libusb_init(&ctx_), LIBUSB_SUCCESS);
    }
    void TearDown() override { libusb_exit(ctx_); }

    // Opens list entry i; *device, when asked for, keeps a reference to it.
    libusb_device_handle* openAt(int i, libusb_device** device = nullptr) {
        libusb_device** list = nullptr;
        EXPECT_GT(libusb_get_device_list(ctx_, &list), i);
        libusb_device_handle* handle = nullptr;
        EXPECT_EQ(libusb_open(list[i], &handle), LIBUSB_SUCCESS);
        if (device != nullptr) {
            *device = libusb_ref_device(list[i]);
        }
        libusb_free_device_list(list, 1);
        return handle;
    }
    ssize_t devices() {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        libusb_free_device_list(list, 1);
        return n;
    }

    libusb_context* ctx_ = nullptr;
};

TEST_F(Libusb, TransfersUnplugPlugAndReconfiguringAsLibusbReportsThem) {
    libusb_device* device = nullptr;
    libusb_device_handle* h = openAt(1, &device);
    EXPECT_EQ(xfer(h, 0x02, "12345678"), "0:8");
    EXPECT_EQ(xfer(h, 0x82), "0:12345678");
    // Nothing queued: the read waits the whole time-out.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(xfer(h, 0x83, "", 150), "-7:");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
    EXPECT_EQ(xfer(h, 0x05, "x"), "-9:0");
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, nullptr, 8, nullptr, 100), LIBUSB_ERROR_INVALID_PARAM);

    // An unplug ends a blocked read and takes the device out of the list.
    ASSERT_EQ(ksim::controlDevice(1, {"push", "82", "ab"}), "ok");
    std::atomic<int> result{1};
    std::thread reader([&] { result = std::stoi(xfer(h, 0x83, "", 20000)); });
    EXPECT_EQ(ksim::controlDevice(1, {"wait-readers", "1", "10000"}), "ok");
    ASSERT_TRUE(ksim::unplugDevice(1));
    reader.join();
    EXPECT_EQ(result.load(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(devices(), 2);
    EXPECT_FALSE(ksim::unplugDevice(1));

    // Plugged back: a new list entry with fresh firmware; the old handle and
    // entry stay dead.
    ASSERT_TRUE(ksim::plugDevice(1));
    libusb_device_handle* newHandle = openAt(1);
    EXPECT_EQ(xfer(newHandle, 0x82, "", 20), "-7:");
    EXPECT_EQ(xfer(h, 0x02, "x"), "-4:0");
    EXPECT_EQ(xfer(h, 0x81, "", 0), "-4:");
    EXPECT_EQ(libusb_clear_halt(h, 0x81), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_reset_device(h), LIBUSB_ERROR_NOT_FOUND);
    libusb_device_handle* again = nullptr;
    EXPECT_EQ(libusb_open(device, &again), LIBUSB_ERROR_NO_DEVICE);
    // Reconfiguring retires the devices for good.
    ASSERT_TRUE(ksim::configureDevices("ECHO2"));
    EXPECT_EQ(xfer(newHandle, 0x02, "x"), "-4:0");
    EXPECT_EQ(devices(), 1);
    libusb_close(h);
    libusb_close(newHandle);
    libusb_unref_device(device);
}

TEST_F(Libusb, CutTransfersEndAfterTheirFirstBytesAndResetDropsWhatWasKeptBack) {
    libusb_device_handle* h = openAt(0);
    ASSERT_EQ(ksim::controlDevice(0, {"push", "83", "12345"}), "ok");
    ASSERT_TRUE(ksim::setTransferCut(0, {0x83, 2, 1}));
    EXPECT_EQ(xfer(h, 0x83), "-7:12");
    EXPECT_EQ(xfer(h, 0x83), "0:345");  // the rest, and that cut was the only one
    // Every OUT transfer longer than the cut: only its first bytes go through.
    ASSERT_TRUE(ksim::setTransferCut(0, {0x02, 3, 0, LIBUSB_ERROR_PIPE}));
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(xfer(h, 0x02, "abcdef"), "-9:3");
        EXPECT_EQ(xfer(h, 0x82), "0:abc");
    }
    EXPECT_EQ(xfer(h, 0x02, "xyz"), "0:3");  // not longer than the cut
    ASSERT_TRUE(ksim::clearTransferCut(0));
    EXPECT_EQ(xfer(h, 0x02, "whole"), "0:5");
    EXPECT_EQ(xfer(h, 0x82), "0:xyz");
    EXPECT_EQ(xfer(h, 0x82), "0:whole");
    // A USB reset drops what a cut kept back and what the firmware queued.
    ASSERT_EQ(ksim::controlDevice(0, {"push", "82", "abc"}), "ok");
    ASSERT_EQ(ksim::controlDevice(0, {"push", "83", "d"}), "ok");
    ASSERT_TRUE(ksim::setTransferCut(0, {0x82, 1, 1}));
    EXPECT_EQ(xfer(h, 0x82), "-7:a");
    EXPECT_EQ(libusb_reset_device(h), LIBUSB_SUCCESS);
    EXPECT_EQ(xfer(h, 0x82, "", 50), "-7:");
    EXPECT_EQ(xfer(h, 0x83, "", 50), "-7:");
    libusb_close(h);
}

// The texts end up in log lines that people compare with real systems.
TEST(LibusbTexts, ErrorTextsAndNamesMatchTheSystemLibusb) {
    void* real = dlopen("libusb-1.0.so.0", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(real, nullptr) << dlerror();
    using TextFn = const char* (*)(int);
    auto realStrerror = reinterpret_cast<TextFn>(dlsym(real, "libusb_strerror"));
    auto realName = reinterpret_cast<TextFn>(dlsym(real, "libusb_error_name"));
    ASSERT_NE(realStrerror, &libusb_strerror);  // the comparison is not with ourselves
    for (int code = -100; code <= 10; ++code) {
        EXPECT_STREQ(libusb_strerror(code), realStrerror(code)) << code;
        EXPECT_STREQ(libusb_error_name(code), realName(code)) << code;
    }
    dlclose(real);
}

}  // namespace
