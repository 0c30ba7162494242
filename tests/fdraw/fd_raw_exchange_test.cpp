// A virtual DUNLINFD2 driven byte by byte through QUserLibUsb and the libusb
// stand-in: commands, a frame packet with its acknowledgement, the frame on
// the stream of the wired channel, and the reset that closing performs.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/QUserLibUsb.h"
#include "sim_control.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(FdRawExchange, CommandsPacketStreamAndResetOnClose) {
    ASSERT_TRUE(ksim::configureDevices("DUNLINFD2"));
    QUserLibUsb usb;
    ASSERT_EQ(usb.OpenUSBDevice(0x3068, 0x0009, 0), 1);
    auto write = [&](uint8_t ep, Bytes out) {
        const auto size = static_cast<int32_t>(out.size());
        EXPECT_EQ(ep == 0x01 ? usb.WriteUSBDevice(out.data(), size, ep, 1000)
                             : usb.bulkWriteUSBDevice(out.data(), size, ep, 1000),
                  size);
    };
    auto read = [&](uint8_t ep) {
        Bytes in(4096);
        const int n = ep == 0x81 ? usb.ReadUSBDevice(in.data(), 64, ep, 1000)
                                 : usb.bulkReadUSBDevice(in.data(), 4096, ep, 1000);
        in.resize(n > 0 ? n : 0);
        return in;
    };
    for (uint8_t ch : {0, 1}) {  // 500 kbit/s / 2 Mbit/s on the 60 MHz clock, then start
        write(0x01,
              {0x55, 0x03, ch, 1, 0, 0, 60, 0, 11, 0, 0, 6, 0, 1, 0, 60, 0, 2, 0, 0, 6, 0, 1, 0});
        EXPECT_EQ(read(0x81), (Bytes{0x55, 0x03, 0x02, 0x00, ch}));
        write(0x01, {0x55, 0x0E, 0x02, 0x00, uint8_t(ch << 4)});
        EXPECT_EQ(read(0x81), (Bytes{0x55, 0x0E, 0x02, 0x00, uint8_t(ch << 4)}));
    }
    // One classic record on channel 0: identifier 0x123, two data bytes.
    Bytes packet = {0x55, 0xF2, 0, 0,    19,   0, 1, 0x00, 0x00, 0,
                    0,    0,    0, 0x23, 0x01, 0, 0, 2,    0x11, 0x22};
    packet.resize(7 + 19, 0);
    write(0x02, packet);
    EXPECT_EQ(read(0x82), (Bytes{0x55, 0xF2, 0x00, 0x01}));
    // The bench cable takes it to channel 1, which streams it back.
    const Bytes stream = read(0x83);
    ASSERT_EQ(stream.size(), packet.size());
    packet[7] = 0x10;
    std::copy(stream.begin() + 9, stream.begin() + 13, packet.begin() + 9);  // its time stamp
    EXPECT_EQ(stream, packet);

    usb.CloseUSBDevice();
    ASSERT_EQ(usb.OpenUSBDevice(0x3068, 0x0009, 0), 1);
    EXPECT_EQ(ksim::controlDevice(0, {"state", "1"}).substr(0, 21), "ch=1 init=0 started=0");
}

}  // namespace
