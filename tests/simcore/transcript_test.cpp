// The transcript: exact line forms, the lines a sequence of libusb calls
// leaves, and silence when it is off.
#include <gtest/gtest.h>
#include <libusb.h>

#include "echo_device.h"
#include "sim_control.h"
#include "test_support.h"
#include "transcript.h"

namespace {

using ksim::core::DeviceTag;
using ksim::core::formatTransferLine;
using ksim::core::TransferKind;

TEST(TranscriptFormat, TransferLinesShowOfferedOrReceivedBytes) {
    const DeviceTag tag{3, 0x0471, 0x3018, 1};
    const uint8_t bytes[] = {0x55, 0x0e, 0x02, 0x00, 0x30, 0xff};
    EXPECT_EQ(formatTransferLine(tag, TransferKind::Interrupt, 0x01, 5, 0, 5, bytes),
              "dev=3 0471:3018#1 interrupt out ep=01 len=5 rc=0 xfer=5 data=550e020030");
    // OUT: every offered byte, also when the transfer failed.
    EXPECT_EQ(formatTransferLine(tag, TransferKind::Bulk, 0x02, 2, -7, 0, bytes),
              "dev=3 0471:3018#1 bulk out ep=02 len=2 rc=-7 xfer=0 data=550e");
    // IN: only the received bytes.
    EXPECT_EQ(formatTransferLine(tag, TransferKind::Bulk, 0x83, 4096, 0, 3, bytes),
              "dev=3 0471:3018#1 bulk in ep=83 len=4096 rc=0 xfer=3 data=550e02");
    EXPECT_EQ(formatTransferLine(tag, TransferKind::Interrupt, 0x81, 64, -4, 0, bytes),
              "dev=3 0471:3018#1 interrupt in ep=81 len=64 rc=-4 xfer=0 data=");
    EXPECT_EQ(formatTransferLine(tag, TransferKind::Bulk, 0x02, 0, 0, 0, nullptr),
              "dev=3 0471:3018#1 bulk out ep=02 len=0 rc=0 xfer=0 data=");
}

TEST(TranscriptFile, RecordsEveryTransferAndEventInOrderUntilStopped) {
    testsupport::TempDir dir;
    const std::string path = dir.file("transcript.txt");
    ASSERT_TRUE(ksim::configureDevices("ECHO2,ECHO"));
    std::string error;
    ASSERT_TRUE(ksim::setTranscript(path, &error)) << error;

    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), LIBUSB_SUCCESS);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 2);
    libusb_device_handle* handle = nullptr;
    ASSERT_EQ(libusb_open(list[1], &handle), LIBUSB_SUCCESS);
    libusb_free_device_list(list, 1);

    uint8_t command[] = {0x55, 0x01};
    uint8_t reply[64];
    int n = 0;
    ASSERT_EQ(libusb_interrupt_transfer(handle, 0x01, command, 2, &n, 100), LIBUSB_SUCCESS);
    ASSERT_EQ(libusb_interrupt_transfer(handle, 0x81, reply, 64, &n, 100), LIBUSB_SUCCESS);
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x83, reply, 16, &n, 20), LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(libusb_clear_halt(handle, 0x81), LIBUSB_SUCCESS);
    ASSERT_EQ(libusb_reset_device(handle), LIBUSB_SUCCESS);
    ASSERT_TRUE(ksim::unplugDevice(1));
    uint8_t byte = 0xff;
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x02, &byte, 1, &n, 20), LIBUSB_ERROR_NO_DEVICE);
    libusb_close(handle);
    ASSERT_TRUE(ksim::plugDevice(1));
    ASSERT_TRUE(ksim::setTranscript(""));
    ASSERT_TRUE(ksim::unplugDevice(1));  // after the stop: not recorded
    libusb_exit(ctx);

    const std::vector<std::string> expected = {
        "dev=1 1209:0001#0 open rc=0",
        "dev=1 1209:0001#0 interrupt out ep=01 len=2 rc=0 xfer=2 data=5501",
        "dev=1 1209:0001#0 interrupt in ep=81 len=64 rc=0 xfer=2 data=5501",
        "dev=1 1209:0001#0 bulk in ep=83 len=16 rc=-7 xfer=0 data=",
        "dev=1 1209:0001#0 clear_halt ep=81 rc=0",
        "dev=1 1209:0001#0 reset rc=0",
        "dev=1 1209:0001#0 unplug",
        "dev=1 1209:0001#0 bulk out ep=02 len=1 rc=-4 xfer=0 data=ff",
        "dev=1 1209:0001#0 close",
        "dev=1 1209:0001#0 plug",
    };
    EXPECT_EQ(testsupport::splitLines(testsupport::readFile(path)), expected);
}

TEST(TranscriptFile, AnUnopenablePathIsRefusedAndLeavesTheTranscriptOff) {
    testsupport::TempDir dir;
    const std::string first = dir.file("first.txt");
    ASSERT_TRUE(ksim::configureDevices("ECHO"));
    ASSERT_TRUE(ksim::setTranscript(first));
    std::string error;
    EXPECT_FALSE(ksim::setTranscript(dir.file("missing/dir/t.txt"), &error));
    EXPECT_NE(error.find("cannot open transcript"), std::string::npos) << error;

    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), LIBUSB_SUCCESS);
    libusb_device_handle* handle =
        libusb_open_device_with_vid_pid(ctx, echo::kVendorId, echo::kProductId);
    ASSERT_NE(handle, nullptr);
    uint8_t byte = 1;
    int n = 0;
    EXPECT_EQ(libusb_interrupt_transfer(handle, 0x01, &byte, 1, &n, 20), LIBUSB_SUCCESS);
    libusb_close(handle);
    libusb_exit(ctx);
    EXPECT_EQ(testsupport::readFile(first), "");
}

}  // namespace
