// USB reset and unplug/plug: the classic adapter returns to its power-on
// state; the recorder keeps what it stores.
#include "simclassic_util.h"

#include <thread>

using namespace simcl;

namespace {

TEST(ClassicPower, ResetReturnsToPowerOnState) {
    Classic d = makeClassic(50);
    bringUp(*d.dev, 0, k500k);
    bringUp(*d.dev, 1, k500k);
    ASSERT_EQ(command(*d.dev, {0x12, 0xB1, 0x02, 0x01, 0x02}).size(), 5u);
    // Leave a frame in the stream, half a record read, and an unread answer.
    writeRecords(*d.dev,
                 records({Frame{0, 0x1, false, false, 0, {}}, Frame{0, 0x2, false, false, 0, {}}}));
    ASSERT_EQ(readStream(*d.dev, 100, 10).size(), 10u);
    int n = 0;
    const Bytes q{0x12, 0x13, 0x01, 0x00};
    ASSERT_EQ(d.dev->transferOut(0x01, q.data(), 4, 100, &n), LIBUSB_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    d.dev->usbReset();

    EXPECT_LT(d.fw->adapterMicros(), 15000u);
    for (int ch = 0; ch < 2; ++ch) {
        const auto s = d.fw->channel(ch);
        EXPECT_FALSE(s.initialised) << ch;
        EXPECT_FALSE(s.started) << ch;
        EXPECT_EQ(s.bitRate, 0u) << ch;
        EXPECT_EQ(s.btr0, 0) << ch;
        EXPECT_EQ(s.txErrors, 0) << ch;
    }
    EXPECT_EQ(d.fw->relays(), (std::pair<uint8_t, uint8_t>{0, 0}));
    uint8_t buf[64];
    EXPECT_EQ(d.dev->transferIn(0x82, buf, 64, 30, &n), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(d.dev->transferIn(0x81, buf, 64, 30, &n), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(command(*d.dev, startCmd(0)), (Bytes{0x12, 0x0E, 0x02, 0x04, 0x00}));
    // After init and start, frames flow again, records whole from the start.
    bringUp(*d.dev, 0, k250k);
    bringUp(*d.dev, 1, k250k);
    writeRecords(*d.dev, hostRecord(Frame{1, 0x9, false, false, 0, {}}));
    const auto got = collect(*d.dev, 1, 1000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 0x9u);
}

TEST(ClassicPower, UnplugWakesWaitingReadsAndPlugPowersOnAfresh) {
    Classic d = makeClassic(51);
    bringUp(*d.dev, 0, k500k);
    int rcStream = 0, rcCmd = 0;
    auto reader = [&](uint8_t ep, int* rc) {
        uint8_t buf[64];
        int n = 0;
        *rc = d.dev->transferIn(ep, buf, sizeof buf, 0, &n);  // no time limit
    };
    const auto t0 = std::chrono::steady_clock::now();
    std::thread a(reader, 0x82, &rcStream), b(reader, 0x81, &rcCmd);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    d.dev->setAttached(false);
    a.join();
    b.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(rcStream, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(rcCmd, LIBUSB_ERROR_NO_DEVICE);
    const Bytes q{0x12, 0x13, 0x01, 0x00};
    int n = 0;
    EXPECT_EQ(d.dev->transferOut(0x01, q.data(), 4, 100, &n), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(d.dev->transferOut(0x02, q.data(), 4, 100, &n), LIBUSB_ERROR_NO_DEVICE);
    // Unplugged, the channel is off the bus.
    EXPECT_EQ(d.fw->inject(0, ksim::BusFrame{}), ksim::classic::ClassicInject::NotStarted);
    d.dev->setAttached(true);
    EXPECT_FALSE(d.fw->channel(0).initialised);
    // What a driver's recovery does: init and start again from the saved bytes.
    bringUp(*d.dev, 0, k500k);
    EXPECT_EQ(d.fw->inject(0, ksim::BusFrame{}), ksim::classic::ClassicInject::Delivered);
}

TEST(RecorderPower, SettingsAndFiltersSurviveResetAndPowerCycle) {
    Recorder r = makeRecorder(kPidRecord1, 52);
    ASSERT_NE(r.fw, nullptr);
    Bytes settings{0x55, 0x03, 0x01};
    for (int i = 3; i < 28; ++i) {
        settings.push_back(0);
    }
    settings[4] = 0x01;
    settings[27] = 0x44;
    ASSERT_EQ(command(*r.dev, settings), (Bytes{0x55, 0x03, 0x02, 0x00, 0x01}));
    ASSERT_EQ(command(*r.dev, {0x55, 0x04, 0x01, 0x01, 0x00, 1, 0, 0, 0, 9, 0, 0, 0})[3], 0x00);
    r.dev->usbReset();
    r.dev->setAttached(false);
    r.dev->setAttached(true);
    const Bytes back = command(*r.dev, {0x55, 0xA4, 0x01});
    ASSERT_EQ(back.size(), 28u);
    EXPECT_EQ(Bytes(back.begin() + 3, back.end()), Bytes(settings.begin() + 3, settings.end()));
    EXPECT_EQ(r.fw->channel(1).filters.size(), 1u);
    r.fw->erase();
    EXPECT_EQ(r.fw->channel(1).filters.size(), 0u);
    EXPECT_EQ(command(*r.dev, {0x55, 0xA4, 0x01})[27], 0x00);
}

}  // namespace
