// QUserLibUsb on virtual echo adapters: device choice by index, the missing
// and the 64th device, reset on open and halt clearing on close, unplug during
// a blocked read, time-outs, write failures, the closed object, restart after
// plug-back, and the lock that bulk writes share with close. Log lines are
// read from the captured standard output.
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "echo_device.h"
#include "platform/QUserLibUsb.h"
#include "platform/QUserLog.h"
#include "sim_control.h"
#include "stdout_capture.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::countOf;

constexpr uint32_t kVid = echo::kVendorId;
constexpr uint32_t kPid = echo::kProductId;
const char kNoDevice[] = "No such device (it may have been disconnected)";

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Transport : public ::testing::Test {
  protected:
    void SetUp() override {
        QUserLog::GetInstance();  // its configuration notes stay out of the capture
        capture_ = std::make_unique<StdoutCapture>();
    }
    void TearDown() override { ksim::setTranscript(""); }

    void useDevices(const char* list) {
        std::string error;
        ASSERT_TRUE(ksim::configureDevices(list, &error)) << error;
    }
    std::string log() const { return capture_->text(); }
    std::vector<std::string> transcript() const {
        return testsupport::splitLines(testsupport::readFile(transcriptPath_));
    }
    void recordTranscript() { ASSERT_TRUE(ksim::setTranscript(transcriptPath_)); }

    // One message out on 0x01 and back on 0x81 through the transport.
    static bool echoes(QUserLibUsb& usb, const char* text) {
        uint8_t out[16] = {};
        const int length = static_cast<int>(strlen(text));
        memcpy(out, text, static_cast<size_t>(length));
        uint8_t back[16] = {};
        return usb.WriteUSBDevice(out, length, 0x01, 500) == length &&
               usb.ReadUSBDevice(back, sizeof(back), 0x81, 500) == length &&
               memcmp(out, back, static_cast<size_t>(length)) == 0;
    }

    testsupport::TempDir dir_;
    std::string transcriptPath_ = dir_.file("transcript.txt");
    std::unique_ptr<StdoutCapture> capture_;
};

TEST_F(Transport, IndexCountsDevicesOfOneIdentityInListOrder) {
    useDevices("ECHO2,ECHO*2");
    QUserLibUsb second;
    ASSERT_EQ(second.OpenUSBDevice(kVid, kPid, 1), 1);
    EXPECT_EQ(second.GetUSBDeviceLinkStatus(), 1u);
    EXPECT_TRUE(echoes(second, "one"));
    std::vector<ksim::DeviceStatus> devices = ksim::listDevices();
    EXPECT_EQ(devices[1].counters.opens, 0u);
    EXPECT_EQ(devices[2].counters.opens, 1u);
    EXPECT_EQ(devices[2].counters.resets, 1u);  // reset right after the open
    EXPECT_EQ(devices[2].counters.transfersOut, 1u);

    QUserLibUsb first;
    ASSERT_EQ(first.OpenUSBDevice(kVid, kPid, 0), 1);
    EXPECT_TRUE(echoes(first, "zero"));
    QUserLibUsb any;
    ASSERT_EQ(any.OpenUSBDevice(kVid, kPid, -1), 1);  // a negative index takes the first
    devices = ksim::listDevices();
    EXPECT_EQ(devices[0].counters.opens, 0u);
    EXPECT_EQ(devices[1].counters.opens, 2u);
    EXPECT_EQ(devices[1].counters.transfersOut, 1u);

    const std::string text = log();
    EXPECT_EQ(countOf(text, "[INFO ] VORM Tip:USB Device<1> Link...\n"), 1u) << text;
    EXPECT_EQ(countOf(text, "[INFO ] VORM Tip:USB Device<0> Link...\n"), 1u) << text;
    EXPECT_EQ(countOf(text, "[INFO ] VORM Tip:USB Device<-1> Link...\n"), 1u) << text;
}

TEST_F(Transport, MissingIndexIsLoggedOnceUntilAReadSucceeds) {
    useDevices("ECHO*2");
    QUserLibUsb usb;
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(usb.OpenUSBDevice(kVid, kPid, 2), 0);
    }
    EXPECT_EQ(usb.OpenUSBDevice(kVid, 0x0003, 0), 0);  // another missing device: still silent
    EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), 0u);
    EXPECT_EQ(usb.WriteUSBDevice(nullptr, 0, 0x01, 10), -1);  // still closed
    std::string text = log();
    EXPECT_EQ(countOf(text, "[ERROR] VORM Tip:USB Device<1209:0001:2> Not Exist...\n"), 1u) << text;
    EXPECT_EQ(countOf(text, "Not Exist"), 1u) << text;

    // A successful read re-arms the message.
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    EXPECT_TRUE(echoes(usb, "x"));
    usb.CloseUSBDevice();
    EXPECT_EQ(usb.OpenUSBDevice(kVid, kPid, 7), 0);
    text = log();
    EXPECT_EQ(countOf(text, "[ERROR] VORM Tip:USB Device<1209:0001:7> Not Exist...\n"), 1u) << text;
}

TEST_F(Transport, OnlyTheFirst63MatchingDevicesCanBeOpened) {
    useDevices("ECHO*64");
    QUserLibUsb last;
    ASSERT_EQ(last.OpenUSBDevice(kVid, kPid, 62), 1);
    EXPECT_EQ(ksim::listDevices()[62].counters.opens, 1u);
    QUserLibUsb beyond;
    EXPECT_EQ(beyond.OpenUSBDevice(kVid, kPid, 63), 0);
    EXPECT_EQ(ksim::listDevices()[63].counters.opens, 0u);
    EXPECT_EQ(countOf(log(), "VORM Tip:USB Device<1209:0001:63> Not Exist..."), 1u);
}

TEST_F(Transport, UnplugDuringABlockedReadEndsItWithNoDeviceLoggedOnce) {
    useDevices("ECHO");
    QUserLibUsb usb;
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    std::atomic<int> result{1};
    std::atomic<long long> waited{0};
    std::thread reader([&] {
        uint8_t buffer[4096];
        const auto start = Clock::now();
        result = usb.bulkReadUSBDevice(buffer, sizeof(buffer), 0x83, 20000);
        waited = msSince(start);
    });
    ASSERT_EQ(ksim::controlDevice(0, {"wait-readers", "1", "10000"}), "ok");
    ASSERT_TRUE(ksim::unplugDevice(0));
    reader.join();
    EXPECT_EQ(result.load(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(waited.load(), 10000);
    EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), 0u);

    // Further failures with the same error add no lines.
    uint8_t buffer[64];
    EXPECT_EQ(usb.bulkReadUSBDevice(buffer, sizeof(buffer), 0x83, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(usb.ReadUSBDevice(buffer, sizeof(buffer), 0x81, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), 0u);
    const std::string text = log();
    EXPECT_EQ(countOf(text, "[WARN ] USB Device<0> DisLink...\n"), 1u) << text;
    EXPECT_EQ(countOf(text, std::string("[WARN ] line:487 ep:83 bulk read fail,ret=-4 ") +
                                kNoDevice + "\n"),
              1u)
        << text;
    EXPECT_EQ(countOf(text, "read fail"), 1u) << text;
}

TEST_F(Transport, TimeOutsReturnMinus7AndAreNeverLogged) {
    useDevices("ECHO");
    QUserLibUsb usb;
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    uint8_t buffer[64];
    const auto start = Clock::now();
    EXPECT_EQ(usb.ReadUSBDevice(buffer, sizeof(buffer), 0x81, 60), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(msSince(start), 55);
    EXPECT_EQ(usb.bulkReadUSBDevice(buffer, sizeof(buffer), 0x83, 20), LIBUSB_ERROR_TIMEOUT);
    EXPECT_LT(msSince(start), 5000);
    // A failure after time-outs is logged; a time-out after it is not.
    EXPECT_EQ(usb.ReadUSBDevice(buffer, sizeof(buffer), 0x84, 20), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(usb.ReadUSBDevice(buffer, sizeof(buffer), 0x81, 20), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), 1u);
    const std::string text = log();
    EXPECT_EQ(countOf(text, "[WARN ] line:441 ep:84 read fail,ret=-9 Pipe error\n"), 1u) << text;
    EXPECT_EQ(countOf(text, "read fail"), 1u) << text;
}

TEST_F(Transport, WriteFailuresAreLoggedOncePerChangeOfEndpoint) {
    useDevices("ECHO");
    QUserLibUsb usb;
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    uint8_t data[4] = {1, 2, 3, 4};
    ASSERT_EQ(ksim::controlDevice(0, {"delay", "300"}), "ok");
    EXPECT_EQ(usb.WriteUSBDevice(data, 4, 0x01, 30), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(usb.WriteUSBDevice(data, 4, 0x01, 30), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(usb.bulkWriteUSBDevice(data, 4, 0x02, 30), LIBUSB_ERROR_TIMEOUT);
    // A success in between does not re-arm the line for the same endpoint.
    ASSERT_EQ(ksim::controlDevice(0, {"delay", "0"}), "ok");
    EXPECT_EQ(usb.bulkWriteUSBDevice(data, 3, 0x02, 300), 3);
    ASSERT_EQ(ksim::controlDevice(0, {"delay", "300"}), "ok");
    EXPECT_EQ(usb.bulkWriteUSBDevice(data, 4, 0x02, 30), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(usb.WriteUSBDevice(data, 2, 0x05, 30), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), 1u);

    const std::string text = log();
    EXPECT_EQ(
        countOf(text, "[WARN ] line:361 ep:01 write 4byte fail,ret=-7 Operation timed out \n"), 1u)
        << text;
    EXPECT_EQ(
        countOf(text, "[WARN ] line:401 ep:02 bulk write 4byte fail,ret=-7 Operation timed out \n"),
        1u)
        << text;
    EXPECT_EQ(countOf(text, "[WARN ] line:361 ep:05 write 2byte fail,ret=-9 Pipe error \n"), 1u)
        << text;
    EXPECT_EQ(countOf(text, "fail,ret="), 3u) << text;
}

// libusb can end a transfer with an error after part of it moved: those
// bytes are returned, the error still counts for the link and the log.
TEST_F(Transport, TransferThatFailsAfterSomeBytesReturnsThoseBytes) {
    enum Op { Read, BulkRead, Write, BulkWrite };
    const struct {
        Op op;
        uint8_t ep;
        int movedBeforeFailure;
        int libusbResult;
        int returned;
        uint32_t link;
        const char* logged;  // the line of the failure, or nullptr for none
    } cases[] = {
        {Read, 0x81, 3, LIBUSB_ERROR_TIMEOUT, 3, 1, nullptr},
        {BulkRead, 0x83, 0, LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_TIMEOUT, 1, nullptr},
        {BulkRead, 0x83, 5, LIBUSB_ERROR_NO_DEVICE, 5, 0, "line:487 ep:83 bulk read fail,ret=-4"},
        {Read, 0x81, 2, LIBUSB_ERROR_PIPE, 2, 1, "line:441 ep:81 read fail,ret=-9 Pipe error"},
        {Write, 0x01, 3, LIBUSB_ERROR_TIMEOUT, 3, 1, "line:361 ep:01 write 8byte fail,ret=-7"},
        {BulkWrite, 0x02, 0, LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_TIMEOUT, 1,
         "line:401 ep:02 bulk write 8byte fail,ret=-7"},
        {BulkWrite, 0x02, 6, LIBUSB_ERROR_NO_DEVICE, 6, 0,
         "line:401 ep:02 bulk write 8byte fail,ret=-4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "ep " << std::hex << int{c.ep} << std::dec << " after "
                                          << c.movedBeforeFailure << " rc " << c.libusbResult);
        useDevices("ECHO");
        QUserLibUsb usb;
        ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
        ASSERT_TRUE(ksim::setTransferCut(0, {c.ep, c.movedBeforeFailure, 1, c.libusbResult}));
        uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        uint8_t buffer[64];
        if (c.op == Read || c.op == BulkRead) {
            ASSERT_EQ(ksim::controlDevice(0, {"push", "81", "0102030405060708"}), "ok");
            ASSERT_EQ(ksim::controlDevice(0, {"push", "83", "0102030405060708"}), "ok");
        }
        const size_t logBefore = log().size();
        const int got = c.op == Read       ? usb.ReadUSBDevice(buffer, 64, c.ep, 500)
                        : c.op == BulkRead ? usb.bulkReadUSBDevice(buffer, 64, c.ep, 500)
                        : c.op == Write    ? usb.WriteUSBDevice(data, 8, c.ep, 500)
                                           : usb.bulkWriteUSBDevice(data, 8, c.ep, 500);
        EXPECT_EQ(got, c.returned);
        EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), c.link);
        const std::string text = log().substr(logBefore);
        if (c.logged != nullptr) {
            EXPECT_EQ(countOf(text, c.logged), 1u) << text;
        } else {
            EXPECT_EQ(countOf(text, "fail"), 0u) << text;
        }
    }
}

TEST_F(Transport, ClosedObjectRefusesTransfersAndCloseIsIdempotent) {
    useDevices("ECHO");
    QUserLibUsb usb;
    uint8_t data[8] = {};
    EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), 0u);
    EXPECT_EQ(usb.WriteUSBDevice(data, 8, 0x01, 10), -1);
    EXPECT_EQ(usb.bulkWriteUSBDevice(data, 8, 0x02, 10), -1);
    EXPECT_EQ(usb.ReadUSBDevice(data, 8, 0x81, 10), 0);
    EXPECT_EQ(usb.bulkReadUSBDevice(data, 8, 0x83, 10), 0);
    EXPECT_EQ(usb.CloseUSBDevice(), 1);
    EXPECT_EQ(usb.CloseUSBDevice(), 1);

    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    EXPECT_EQ(usb.CloseUSBDevice(), 1);
    EXPECT_EQ(usb.CloseUSBDevice(), 1);
    EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), 1u);  // close leaves the link status alone
    EXPECT_EQ(usb.WriteUSBDevice(data, 8, 0x01, 10), -1);
    EXPECT_EQ(usb.ReadUSBDevice(data, 8, 0x81, 10), 0);
    EXPECT_EQ(ksim::listDevices()[0].counters.transfersOut, 0u);
    EXPECT_EQ(log().find("fail"), std::string::npos);
}

TEST_F(Transport, CloseClearsHaltsOnTheEndpointsUsedThenResets) {
    useDevices("ECHO");
    recordTranscript();
    QUserLibUsb usb;
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    uint8_t data[4] = {9, 8, 7, 6};
    ASSERT_EQ(usb.bulkWriteUSBDevice(data, 4, 0x02, 100), 4);
    ASSERT_EQ(usb.bulkReadUSBDevice(data, 4, 0x82, 100), 4);
    ASSERT_EQ(usb.ReadUSBDevice(data, 4, 0x81, 10), LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(usb.bulkReadUSBDevice(data, 4, 0x8F, 10), LIBUSB_ERROR_PIPE);  // outside the table
    usb.CloseUSBDevice();
    // A second open and close: only endpoints used since that open are cleared.
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    usb.CloseUSBDevice();

    const std::vector<std::string> expected = {
        "dev=0 1209:0001#0 open rc=0",
        "dev=0 1209:0001#0 reset rc=0",
        "dev=0 1209:0001#0 bulk out ep=02 len=4 rc=0 xfer=4 data=09080706",
        "dev=0 1209:0001#0 bulk in ep=82 len=4 rc=0 xfer=4 data=09080706",
        "dev=0 1209:0001#0 interrupt in ep=81 len=4 rc=-7 xfer=0 data=",
        "dev=0 1209:0001#0 bulk in ep=8f len=4 rc=-9 xfer=0 data=",
        "dev=0 1209:0001#0 clear_halt ep=81 rc=0",
        "dev=0 1209:0001#0 clear_halt ep=82 rc=0",
        "dev=0 1209:0001#0 clear_halt ep=02 rc=0",
        "dev=0 1209:0001#0 reset rc=0",
        "dev=0 1209:0001#0 close",
        "dev=0 1209:0001#0 open rc=0",
        "dev=0 1209:0001#0 reset rc=0",
        "dev=0 1209:0001#0 reset rc=0",
        "dev=0 1209:0001#0 close",
    };
    EXPECT_EQ(transcript(), expected);
}

TEST_F(Transport, OpeningAgainReleasesThePreviousHandle) {
    useDevices("ECHO*2");
    recordTranscript();
    QUserLibUsb usb;
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 1), 1);
    EXPECT_TRUE(echoes(usb, "b"));
    const std::vector<std::string> lines = transcript();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[2], "dev=0 1209:0001#0 reset rc=0");
    EXPECT_EQ(lines[3], "dev=0 1209:0001#0 close");
    EXPECT_EQ(lines[4], "dev=1 1209:0001#1 open rc=0");
}

TEST_F(Transport, RestartReopensTheSameDeviceOnceItIsBack) {
    useDevices("ECHO2,ECHO");
    QUserLibUsb usb;
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    ASSERT_TRUE(ksim::unplugDevice(1));
    uint8_t byte = 'a';
    EXPECT_EQ(usb.WriteUSBDevice(&byte, 1, 0x01, 50), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), 0u);

    // Still unplugged: the restart closes, fails to reopen, and waits anyway.
    auto start = Clock::now();
    EXPECT_EQ(usb.RestartUSBDevice(), 1);
    EXPECT_GE(msSince(start), 100);
    EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), 0u);
    uint8_t data[4] = {};
    EXPECT_EQ(usb.WriteUSBDevice(data, 4, 0x01, 10), -1);  // closed now
    EXPECT_EQ(usb.ReadUSBDevice(data, 4, 0x81, 10), 0);

    ASSERT_TRUE(ksim::plugDevice(1));
    start = Clock::now();
    EXPECT_EQ(usb.RestartUSBDevice(), 1);
    EXPECT_GE(msSince(start), 100);
    EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), 1u);
    EXPECT_TRUE(echoes(usb, "back"));
    EXPECT_EQ(ksim::listDevices()[1].counters.opens, 2u);
    EXPECT_EQ(ksim::listDevices()[0].counters.opens, 0u);

    const std::string text = log();
    EXPECT_EQ(countOf(text, "[INFO ] VORM Tip:USB Device<0> Link...\n"), 2u) << text;
    EXPECT_EQ(countOf(text, "[WARN ] USB Device<0> DisLink...\n"), 1u) << text;
    EXPECT_EQ(countOf(text, "[WARN ] line:361 ep:01 write 1byte fail,ret=-4 "), 1u) << text;
    EXPECT_EQ(countOf(text, "[ERROR] VORM Tip:USB Device<1209:0001:0> Not Exist...\n"), 1u) << text;
}

TEST_F(Transport, CloseWaitsForABulkWriteInProgress) {
    useDevices("ECHO");
    QUserLibUsb usb;
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    recordTranscript();
    ASSERT_EQ(ksim::controlDevice(0, {"delay", "300"}), "ok");
    std::atomic<int> written{0};
    std::thread writer([&] {
        uint8_t data[4] = {1, 2, 3, 4};
        written = usb.bulkWriteUSBDevice(data, 4, 0x02, 5000);
    });
    ASSERT_EQ(ksim::controlDevice(0, {"wait-writers", "1", "10000"}), "ok");
    EXPECT_EQ(usb.CloseUSBDevice(), 1);
    writer.join();
    EXPECT_EQ(written.load(), 4);
    // The write's line is made when it completes, inside the lock; the
    // close could only begin after it.
    const std::vector<std::string> expected = {
        "dev=0 1209:0001#0 bulk out ep=02 len=4 rc=0 xfer=4 data=01020304",
        "dev=0 1209:0001#0 clear_halt ep=02 rc=0",
        "dev=0 1209:0001#0 reset rc=0",
        "dev=0 1209:0001#0 close",
    };
    EXPECT_EQ(transcript(), expected);
}

}  // namespace
