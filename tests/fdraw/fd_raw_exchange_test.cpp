// A virtual DUNLINFD2 driven byte by byte through QUserLibUsb: version query,
// bit timing, start, a frame packet with its acknowledgement, and the frame
// coming back on the received stream of the wired channel.
#include <gtest/gtest.h>

#include <vector>

#include "platform/QUserLibUsb.h"
#include "sim_control.h"

namespace {

using Bytes = std::vector<uint8_t>;

class FdRawExchange : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(ksim::configureDevices("DUNLINFD2", &error)) << error;
        ASSERT_EQ(usb_.OpenUSBDevice(0x3068, 0x0009, 0), 1);
    }
    void TearDown() override { usb_.CloseUSBDevice(); }

    // One command on the interrupt pair; returns the reply.
    Bytes command(Bytes request) {
        int written =
            usb_.WriteUSBDevice(request.data(), static_cast<int32_t>(request.size()), 0x01, 1000);
        EXPECT_EQ(written, static_cast<int>(request.size()));
        uint8_t reply[64] = {};
        int n = usb_.ReadUSBDevice(reply, sizeof reply, 0x81, 1000);
        EXPECT_GT(n, 0);
        return Bytes(reply, reply + (n > 0 ? n : 0));
    }

    QUserLibUsb usb_;
};

// 500 kbit/s / 2 Mbit/s on the 60 MHz clock: brp 11, tseg1 6, tseg2 1 for the
// arbitration phase; brp 2, tseg1 6, tseg2 1 for the data phase.
Bytes bitTiming(uint8_t channel) {
    return {0x55, 0x03, channel, 0x01, 0x00, 0x00, 60,   0x00, 11, 0x00, 0x00, 6,
            0x00, 1,    0x00,    60,   0x00, 2,    0x00, 0x00, 6,  0x00, 1,    0x00};
}

TEST_F(FdRawExchange, CommandsPacketAndStream) {
    Bytes version = command({0x55, 0x01, 0x01, 0x01});
    ASSERT_GE(version.size(), 6u);
    EXPECT_EQ(version[0], 0x55);
    EXPECT_EQ(version[1], 0x01);

    for (uint8_t ch : {0, 1}) {
        Bytes timing = command(bitTiming(ch));
        ASSERT_GE(timing.size(), 5u);
        EXPECT_EQ(timing[1], 0x03);
        EXPECT_EQ(timing[3], 0x00) << "bit timing refused on channel " << int(ch);
        Bytes start = command({0x55, 0x0E, 0x02, 0x00, static_cast<uint8_t>(ch << 4)});
        ASSERT_GE(start.size(), 3u);
        EXPECT_EQ(start[1], 0x0E);
    }

    // One classic record on channel 0: identifier 0x123, two data bytes.
    Bytes packet = {0x55, 0xF2, 0x00, 0x00, 19, 0x00, 1,    0x00, 0x00, 0, 0, 0, 0,
                    0x23, 0x01, 0x00, 0x00, 2,  0x11, 0x22, 0,    0,    0, 0, 0, 0};
    ASSERT_EQ(packet.size(), 7u + 19u);
    ASSERT_EQ(
        usb_.bulkWriteUSBDevice(packet.data(), static_cast<int32_t>(packet.size()), 0x02, 1000),
        static_cast<int>(packet.size()));
    uint8_t ack[64] = {};
    int n = usb_.bulkReadUSBDevice(ack, sizeof ack, 0x82, 1000);
    ASSERT_GE(n, 3);
    EXPECT_EQ(ack[0], 0x55);
    EXPECT_EQ(ack[1], 0xF2);

    // The bench cable takes it to channel 1, which streams it back.
    uint8_t stream[4096] = {};
    n = usb_.bulkReadUSBDevice(stream, sizeof stream, 0x83, 2000);
    ASSERT_GE(n, 7 + 19);
    EXPECT_EQ(stream[0], 0x55);
    EXPECT_EQ(stream[1], 0xF2);
    EXPECT_EQ(stream[4] | stream[5] << 8, n - 7);
    EXPECT_EQ(stream[6], 1);  // one record
    const uint8_t* rec = stream + 7;
    EXPECT_EQ(rec[0] >> 4, 1);       // channel 1
    EXPECT_EQ(rec[1] & 0x07, 0x00);  // classic data frame, standard identifier
    EXPECT_EQ(rec[6] | rec[7] << 8 | rec[8] << 16 | rec[9] << 24, 0x123);
    EXPECT_EQ(rec[10], 2);
    EXPECT_EQ(rec[11], 0x11);
    EXPECT_EQ(rec[12], 0x22);
}

TEST_F(FdRawExchange, UsbResetReturnsTheAdapterToItsPowerOnState) {
    command(bitTiming(0));
    command({0x55, 0x0E, 0x02, 0x00, 0x00});
    std::string before = ksim::controlDevice(0, {"state", "0"});
    EXPECT_NE(before.find("init=1 started=1"), std::string::npos) << before;
    usb_.CloseUSBDevice();  // closing resets the device
    ASSERT_EQ(usb_.OpenUSBDevice(0x3068, 0x0009, 0), 1);
    std::string state = ksim::controlDevice(0, {"state", "0"});
    EXPECT_NE(state.find("init=0 started=0"), std::string::npos) << state;
}

}  // namespace
