// QUserLibUsb on virtual echo adapters (tests/simcore's test firmware), its
// results and its log lines (read from the captured standard output).
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/QUserLibUsb.h"
#include "platform/QUserLog.h"
#include "sim_control.h"
#include "stdout_capture.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;
constexpr uint32_t kVid = 0x1209;  // the echo adapters
constexpr uint32_t kPid = 0x0001;

class Transport : public ::testing::Test {
  protected:
    void SetUp() override {
        QUserLog::GetInstance();  // its configuration notes stay out of the capture
        capture_ = std::make_unique<StdoutCapture>();
    }
    void TearDown() override { ksim::setTranscript(""); }

    void useDevices(const char* list) { ASSERT_TRUE(ksim::configureDevices(list)); }
    // The log lines since the last call, without their time stamps.
    Lines newLog() {
        const std::string all = capture_->text();
        Lines lines = testsupport::splitLines(all.substr(logSeen_));
        logSeen_ = all.size();
        for (std::string& line : lines) {
            line.erase(0, line.find("] ") + 2);
        }
        return lines;
    }
    // The transcript's lines, the device tag shortened to the device's position.
    Lines transcript() const {
        Lines lines = testsupport::splitLines(testsupport::readFile(dir_.file("t")));
        for (std::string& line : lines) {
            line = line.substr(4, 1) + ":" + line.substr(line.find(' ', 6) + 1);
        }
        return lines;
    }

    // One message out on 0x01 and back on 0x81.
    static bool echoes(QUserLibUsb& usb) {
        uint8_t out[4] = {'p', 'i', 'n', 'g'};
        uint8_t back[16] = {};
        return usb.WriteUSBDevice(out, 4, 0x01, 500) == 4 &&
               usb.ReadUSBDevice(back, sizeof back, 0x81, 500) == 4 && memcmp(out, back, 4) == 0;
    }

    testsupport::TempDir dir_;
    std::unique_ptr<StdoutCapture> capture_;
    size_t logSeen_ = 0;
};

TEST_F(Transport, IndexCountsDevicesOfTheIdentityInListOrderUpToThe63rd) {
    const struct {
        const char* list;
        int index;
        int opened;  // the device's position in the list, -1 for none
    } cases[] = {
        {"ECHO2,ECHO*2", 1, 2},  {"ECHO2,ECHO*2", 0, 1}, {"ECHO2,ECHO*2", -1, 1},
        {"ECHO2,ECHO*2", 2, -1}, {"ECHO*64", 62, 62},    {"ECHO*64", 63, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.list) + " index " + std::to_string(c.index));
        useDevices(c.list);
        QUserLibUsb usb;
        EXPECT_EQ(usb.OpenUSBDevice(kVid, kPid, c.index), c.opened >= 0 ? 1 : 0);
        EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), c.opened >= 0 ? 1u : 0u);
        for (const ksim::DeviceStatus& device : ksim::listDevices()) {
            // The chosen one is opened and reset right after; no other is touched.
            const ksim::TransferCounters& n = device.counters;
            EXPECT_EQ(n.opens * 10 + n.resets, device.position == c.opened ? 11u : 0u);
        }
        const std::string index = std::to_string(c.index);
        EXPECT_EQ(newLog(),
                  Lines{c.opened >= 0
                            ? "[INFO ] VORM Tip:USB Device<" + index + "> Link..."
                            : "[ERROR] VORM Tip:USB Device<1209:0001:" + index + "> Not Exist..."});
    }
}

// A missing adapter is logged once until a read succeeds. An object that is
// not open refuses every transfer, and closing it again changes nothing.
TEST_F(Transport, MissingDeviceAndClosedObject) {
    useDevices("ECHO*2");
    QUserLibUsb usb;
    const auto expectClosed = [&usb](uint32_t link) {
        uint8_t data[8] = {};
        EXPECT_EQ(usb.WriteUSBDevice(data, 8, 0x01, 10), -1);
        EXPECT_EQ(usb.bulkWriteUSBDevice(data, 8, 0x02, 10), -1);
        EXPECT_EQ(usb.ReadUSBDevice(data, 8, 0x81, 10), 0);
        EXPECT_EQ(usb.bulkReadUSBDevice(data, 8, 0x83, 10), 0);
        EXPECT_EQ(usb.CloseUSBDevice(), 1);
        EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), link);  // a close leaves it as it was
    };
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(usb.OpenUSBDevice(kVid, kPid, 2), 0);
    }
    EXPECT_EQ(usb.OpenUSBDevice(kVid, 0x0003, 0), 0);  // another missing device
    expectClosed(0);
    EXPECT_EQ(newLog(), Lines{"[ERROR] VORM Tip:USB Device<1209:0001:2> Not Exist..."});
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    EXPECT_EQ(usb.CloseUSBDevice(), 1);
    expectClosed(1);
    const ksim::TransferCounters n = ksim::listDevices()[0].counters;
    EXPECT_EQ(n.transfersOut + n.transfersIn + n.clearHalts, 0u);
    // An open does not re-arm the message; a successful read does.
    EXPECT_EQ(usb.OpenUSBDevice(kVid, kPid, 7), 0);
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 1), 1);
    EXPECT_TRUE(echoes(usb));
    EXPECT_EQ(usb.OpenUSBDevice(kVid, kPid, 7), 0);
    EXPECT_EQ(newLog(), (Lines{"[INFO ] VORM Tip:USB Device<0> Link...",
                               "[INFO ] VORM Tip:USB Device<1> Link...",
                               "[ERROR] VORM Tip:USB Device<1209:0001:7> Not Exist..."}));
}

// Failures come from the simulator's cut switch (a transfer that ends with
// an error after `cut` bytes), from unknown endpoints and from empty queues.
// Bytes moved before an error are returned; a read error is logged when it
// differs from the last read's result and is not a time-out; a write error
// when its endpoint differs from the last failed write's.
TEST_F(Transport, TransferResultsAndTheLogLinesOfFailures) {
    enum Op { Read, BulkRead, Write, BulkWrite };
    const struct {
        Op op;
        uint8_t ep;
        int cut;  // bytes before the cut's error (a read gets 8 bytes queued); -1: no cut
        int rc;   // the cut's error
        int returned;
        const char* log;  // the warning, "" for none
    } steps[] = {
        {Read, 0x81, -1, 0, -7, ""},
        {BulkRead, 0x83, -1, 0, -7, ""},
        {Read, 0x84, -1, 0, -9, "line:441 ep:84 read fail,ret=-9 Pipe error"},
        {Read, 0x84, -1, 0, -9, ""},
        {Read, 0x81, -1, 0, -7, ""},
        {BulkRead, 0x84, -1, 0, -9, "line:487 ep:84 bulk read fail,ret=-9 Pipe error"},
        {Read, 0x81, 3, -7, 3, ""},
        {Read, 0x81, -1, 0, 5, ""},  // the rest
        {BulkRead, 0x83, 2, -9, 2, "line:487 ep:83 bulk read fail,ret=-9 Pipe error"},
        {BulkRead, 0x83, -1, 0, 6, ""},
        {Write, 0x01, 0, -7, -7, "line:361 ep:01 write 8byte fail,ret=-7 Operation timed out "},
        {Write, 0x01, 0, -7, -7, ""},
        {BulkWrite, 0x02, 3, -7, 3,
         "line:401 ep:02 bulk write 8byte fail,ret=-7 Operation timed out "},
        {BulkWrite, 0x02, -1, 0, 8, ""},  // does not re-arm the line
        {BulkWrite, 0x02, 0, -7, -7, ""},
        {Write, 0x05, -1, 0, -9, "line:361 ep:05 write 8byte fail,ret=-9 Pipe error "},
        {Write, 0x01, 6, -4, 6,
         "line:361 ep:01 write 8byte fail,ret=-4 No such device (it may have been disconnected) "},
    };
    useDevices("ECHO");
    QUserLibUsb usb;
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    newLog();
    for (const auto& s : steps) {
        SCOPED_TRACE(::testing::Message() << "step " << &s - steps);
        const bool read = s.op == Read || s.op == BulkRead;
        if (s.cut >= 0 && read) {
            const char* ep = s.ep == 0x81 ? "81" : "83";
            ASSERT_EQ(ksim::controlDevice(0, {"push", ep, "12345678"}), "ok");
        }
        if (s.cut >= 0) {
            ASSERT_TRUE(ksim::setTransferCut(0, {s.ep, s.cut, 1, s.rc}));
        }
        uint8_t data[64] = {1, 2, 3, 4, 5, 6, 7, 8};
        const unsigned ms = s.cut >= 0 ? 500 : 20;
        EXPECT_EQ(s.op == Read       ? usb.ReadUSBDevice(data, 64, s.ep, ms)
                  : s.op == BulkRead ? usb.bulkReadUSBDevice(data, 64, s.ep, ms)
                  : s.op == Write    ? usb.WriteUSBDevice(data, 8, s.ep, ms)
                                     : usb.bulkWriteUSBDevice(data, 8, s.ep, ms),
                  s.returned);
        // Only a lost device drops the link, and that is logged first.
        const bool lost = s.rc == LIBUSB_ERROR_NO_DEVICE;
        EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), lost ? 0u : 1u);
        Lines log;
        if (lost) {
            log.push_back("[WARN ] USB Device<0> DisLink...");
        }
        if (*s.log != '\0') {
            log.push_back(std::string("[WARN ] ") + s.log);
        }
        EXPECT_EQ(newLog(), log);
    }
}

TEST_F(Transport, CloseAndReopenClearHaltsOnTheEndpointsUsedSinceTheOpenThenReset) {
    useDevices("ECHO*2");
    ASSERT_TRUE(ksim::setTranscript(dir_.file("t")));
    QUserLibUsb usb;
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    uint8_t data[4] = {9, 8, 7, 6};
    ASSERT_EQ(usb.bulkWriteUSBDevice(data, 4, 0x02, 100), 4);
    ASSERT_EQ(usb.bulkReadUSBDevice(data, 4, 0x82, 100), 4);
    ASSERT_EQ(usb.ReadUSBDevice(data, 4, 0x81, 10), LIBUSB_ERROR_TIMEOUT);
    // Endpoint 8 is beyond the table; endpoint 5 is recorded although it fails.
    ASSERT_EQ(usb.bulkReadUSBDevice(data, 4, 0x88, 10), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 1), 1);  // closes the first handle
    ASSERT_EQ(usb.WriteUSBDevice(data, 1, 0x01, 100), 1);
    ASSERT_EQ(usb.WriteUSBDevice(data, 1, 0x05, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(usb.CloseUSBDevice(), 1);
    const Lines expected = {"0:open rc=0",
                            "0:reset rc=0",
                            "0:bulk out ep=02 len=4 rc=0 xfer=4 data=09080706",
                            "0:bulk in ep=82 len=4 rc=0 xfer=4 data=09080706",
                            "0:interrupt in ep=81 len=4 rc=-7 xfer=0 data=",
                            "0:bulk in ep=88 len=4 rc=-9 xfer=0 data=",
                            "0:clear_halt ep=81 rc=0",
                            "0:clear_halt ep=82 rc=0",
                            "0:clear_halt ep=02 rc=0",
                            "0:reset rc=0",
                            "0:close",
                            "1:open rc=0",
                            "1:reset rc=0",
                            "1:interrupt out ep=01 len=1 rc=0 xfer=1 data=09",
                            "1:interrupt out ep=05 len=1 rc=-9 xfer=0 data=09",
                            "1:clear_halt ep=01 rc=0",
                            "1:clear_halt ep=05 rc=0",
                            "1:reset rc=0",
                            "1:close"};
    EXPECT_EQ(transcript(), expected);
}

// A read blocked in the receive thread ends when the adapter goes; the
// driver then restarts the transport until the adapter is back.
TEST_F(Transport, UnplugEndsABlockedReadAndRestartReopensTheDeviceOnceItIsBack) {
    useDevices("ECHO2,ECHO");
    QUserLibUsb usb;
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    std::atomic<int> result{1};
    std::thread reader([&] {
        uint8_t buffer[4096];
        result = usb.bulkReadUSBDevice(buffer, sizeof buffer, 0x83, 20000);
    });
    ASSERT_EQ(ksim::controlDevice(1, {"wait-readers", "1", "10000"}), "ok");
    ASSERT_TRUE(ksim::unplugDevice(1));
    reader.join();
    EXPECT_EQ(result.load(), LIBUSB_ERROR_NO_DEVICE);
    uint8_t byte = 'a';
    EXPECT_EQ(usb.ReadUSBDevice(&byte, 1, 0x81, 100), LIBUSB_ERROR_NO_DEVICE);
    for (bool plugged : {false, true}) {
        ASSERT_TRUE(!plugged || ksim::plugDevice(1));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(usb.RestartUSBDevice(), 1);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), plugged ? 1u : 0u);
        EXPECT_EQ(echoes(usb), plugged);  // still unplugged: the object stays closed
        EXPECT_EQ(usb.WriteUSBDevice(&byte, 1, 0x01, 10), plugged ? 1 : -1);
    }
    EXPECT_EQ(ksim::listDevices()[1].counters.opens, 2u);
    EXPECT_EQ(ksim::listDevices()[0].counters.opens, 0u);
    // The failed reopen adds no "Not Exist": the lost read left that code.
    EXPECT_EQ(newLog(),
              (Lines{"[INFO ] VORM Tip:USB Device<0> Link...", "[WARN ] USB Device<0> DisLink...",
                     "[WARN ] line:487 ep:83 bulk read fail,ret=-4 No such device (it may "
                     "have been disconnected)",
                     "[INFO ] VORM Tip:USB Device<0> Link..."}));
}

TEST_F(Transport, CloseWaitsForABulkWriteInProgress) {
    useDevices("ECHO");
    QUserLibUsb usb;
    ASSERT_EQ(usb.OpenUSBDevice(kVid, kPid, 0), 1);
    ASSERT_TRUE(ksim::setTranscript(dir_.file("t")));
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
    // The write's line is made when it completes, inside the lock; the close
    // could only begin after it.
    EXPECT_EQ(transcript(), (Lines{"0:bulk out ep=02 len=4 rc=0 xfer=4 data=01020304",
                                   "0:clear_halt ep=02 rc=0", "0:reset rc=0", "0:close"}));
}

}  // namespace
