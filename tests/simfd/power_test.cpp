// USB reset and unplug/plug: back to the power-on state.
#include "simfd_util.h"

#include <thread>

using namespace simfd;

namespace {

TEST(FdSimPower, ResetReturnsEveryChannelToPowerOnState) {
    Device d = makeDevice(kVidZaro, kPid2018, 50);
    for (uint8_t ch = 0; ch < 8; ++ch) {
        bringUp(*d.dev, ch, 80, k80_500k, k80_2M);
    }
    ASSERT_EQ(command(*d.dev, filterCmd(2, 1, 0, 0x7FF)),
              (Bytes{0x55, 0x04, 0x03, 0x00, 0x02, 0x10}));
    ASSERT_EQ(command(*d.dev, filterCmd(4, 1, 0, 0)), (Bytes{0x55, 0x04, 0x03, 0x00, 0x04, 0x10}));
    // Leave a frame in the stream, an unread reply and an unread ack behind.
    ASSERT_EQ(sendPacket(*d.dev, packet({TxRecord{0, 0, 0x5, 0, {}}})),
              (Bytes{0x55, 0xF2, 0x00, 1}));
    int n = 0;
    const Bytes q{0x55, 0x13, 0x01, 0x01};
    ASSERT_EQ(d.dev->transferOut(0x01, q.data(), 4, 100, &n), LIBUSB_SUCCESS);
    const Bytes p = packet({TxRecord{2, 0, 0x6, 0, {}}});
    ASSERT_EQ(d.dev->transferOut(0x02, p.data(), static_cast<int>(p.size()), 100, &n),
              LIBUSB_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    const auto resetAt = std::chrono::steady_clock::now();
    d.dev->usbReset();
    const uint32_t sinceReset = d.fw->adapterMicros();
    EXPECT_LE(sinceReset, std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - resetAt)
                              .count());
    for (int ch = 0; ch < 8; ++ch) {
        const auto s = d.fw->channel(ch);
        EXPECT_FALSE(s.initialised) << ch;
        EXPECT_FALSE(s.started) << ch;
        EXPECT_EQ(s.arbRate, 0u) << ch;
        EXPECT_FALSE(s.filterEnabled) << ch;
        EXPECT_TRUE(s.ranges.empty()) << ch;
    }
    uint8_t buf[4096];
    EXPECT_EQ(d.dev->transferIn(0x83, buf, sizeof buf, 30, &n), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(d.dev->transferIn(0x81, buf, 64, 30, &n), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(d.dev->transferIn(0x82, buf, 64, 30, &n), LIBUSB_ERROR_TIMEOUT);
    // Channels must be initialised again before they start or transmit.
    EXPECT_EQ(command(*d.dev, startCmd(0)), (Bytes{0x55, 0x0E, 0x02, 0x04, 0x00}));
    EXPECT_EQ(sendPacket(*d.dev, packet({TxRecord{0, 0, 0x5, 0, {}}})),
              (Bytes{0x55, 0xF2, 0x04, 0}));
    bringUp(*d.dev, 0, 80, k80_500k, k80_2M);
    bringUp(*d.dev, 1, 80, k80_500k, k80_2M);
    ASSERT_EQ(sendPacket(*d.dev, packet({TxRecord{0, 0, 0x9, 0, {}}})),
              (Bytes{0x55, 0xF2, 0x00, 1}));
    const auto got = collect(*d.dev, 1, 1000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 0x9u);  // the filter is gone
}

TEST(FdSimPower, UnplugWakesWaitingTransfersAndPlugPowersOnAfresh) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 51);
    bringUp(*d.dev, 0, 60, k60_500k, k60_2M);
    int rcStream = 0, rcCmd = 0, rcAck = 0;
    auto reader = [&](uint8_t ep, int* rc) {
        uint8_t buf[4096];
        int n = 0;
        *rc = d.dev->transferIn(ep, buf, sizeof buf, 0, &n);  // no time limit
    };
    const auto t0 = std::chrono::steady_clock::now();
    std::thread a(reader, 0x83, &rcStream), b(reader, 0x81, &rcCmd), c(reader, 0x82, &rcAck);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    d.dev->setAttached(false);
    a.join();
    b.join();
    c.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(rcStream, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(rcCmd, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(rcAck, LIBUSB_ERROR_NO_DEVICE);
    const Bytes q{0x55, 0x13, 0x01, 0x01};
    int n = 0;
    EXPECT_EQ(d.dev->transferOut(0x01, q.data(), 4, 100, &n), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(d.dev->transferOut(0x02, q.data(), 4, 100, &n), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(d.fw->inject(0, ksim::BusFrame{}), ksim::fd::InjectResult::NotStarted);

    d.dev->setAttached(true);
    EXPECT_FALSE(d.fw->channel(0).initialised);
    EXPECT_EQ(command(*d.dev, q), (Bytes{0x55, 0x13, 0x02, 0x00, 0x02}));
}

}  // namespace
