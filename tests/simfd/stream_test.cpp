// The received stream: record layout, what the bus makes of host values,
// packing, time stamps; and USB reset, unplug and plug.
#include "simfd_util.h"

#include <algorithm>
#include <numeric>
#include <thread>

using namespace simfd;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

namespace {

class FdSimStream : public ::testing::Test {
  protected:
    void SetUp() override {
        for (uint8_t ch = 0; ch < 4; ++ch) {
            d.up(ch, 80, k80_500k, k80_2M);
        }
    }
    Device d{kVidZaro, kPid3018, 43};  // 8 channels, 80 MHz
};

TEST_F(FdSimStream, RecordLayoutOfClassicAndFdFramesIsByteExact) {
    // Channel 0 sends to channel 1 a classic extended frame and an FD frame
    // with BRS, in separate packets; they come back in one.
    ASSERT_EQ(d.send({{0, 0x04, 0x1ABCDE01, 3, {0x11, 0x22, 0x33}}}), ack(0, 1));
    Bytes fdData(20);
    std::iota(fdData.begin(), fdData.end(), 1);
    ASSERT_EQ(d.send({{0, 0x11, 0x7A5, 20, fdData}}), ack(0, 1));
    const Bytes s = d.read(0x83, 1000);
    ASSERT_EQ(s.size(), 7u + 19 + 75);
    EXPECT_EQ(Bytes(s.begin(), s.begin() + 7), (Bytes{0x55, 0xF2, 0x00, 0x00, 94, 0x00, 2}));
    const uint8_t *c = &s[7], *f = &s[26];
    EXPECT_EQ(Bytes(c, c + 2), (Bytes{0x10, 0x04}));  // channel 1, extended classic
    EXPECT_EQ(Bytes(c + 6, c + 19),
              (Bytes{0x01, 0xDE, 0xBC, 0x1A, 3, 0x11, 0x22, 0x33, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(f, f + 2), (Bytes{0x10, 0x11}));  // channel 1, FD with BRS
    EXPECT_GE(le32(f + 2), le32(c + 2));
    EXPECT_EQ(Bytes(f + 6, f + 11), (Bytes{0xA5, 0x07, 0, 0, 20}));
    EXPECT_EQ(Bytes(f + 11, f + 31), fdData);
    EXPECT_EQ(Bytes(f + 31, f + 75), Bytes(44, 0));
}

TEST_F(FdSimStream, HostValuesAreReducedTheWayTheControllerHoldsThem) {
    // Standard identifiers keep 11 bits, extended ones 29; an FD length of 9
    // goes out as 12 with zero padding, and the host-only flag 0x08 stays home.
    ASSERT_EQ(
        d.send({{0, 0, 0xFFFFFFFF, 0, {}}, {0, 4, 0xFFFFFFFF, 0, {}}, {0, 9, 0x42, 9, {9, 9}}}),
        ack(0, 3));
    const auto got = d.collect(3, 1000);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].id, 0x7FFu);
    EXPECT_EQ(got[1].id, 0x1FFFFFFFu);
    EXPECT_EQ(got[2].flags, 0x01);
    EXPECT_EQ(got[2].data, (Bytes{9, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(FdSimStream, ManyFramesArePackedIntoWholePacketsPerRead) {
    // 300 frames from channel 2 to channel 3, in packets of 10, every third FD.
    for (uint32_t p = 0; p < 30; ++p) {
        std::vector<TxRecord> recs;
        for (uint32_t id = p * 10; id < p * 10 + 10; ++id) {
            recs.push_back({2, static_cast<uint8_t>(id % 3 == 0), id, 8, Bytes(8, uint8_t(id))});
        }
        ASSERT_EQ(d.send(recs), ack(0, 10));
    }
    // 100 FD and 200 classic records take 11,300 bytes: reads of 4,096 filled
    // with whole packets need no more than 4.
    std::vector<RxRecord> all;
    for (int reads = 0; reads < 4 && all.size() < 300; ++reads) {
        const auto got = parsePackets(d.read(0x83, 500));
        all.insert(all.end(), got.begin(), got.end());
    }
    ASSERT_EQ(all.size(), 300u);
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].id, i);
        EXPECT_EQ(all[i].ch, 3);
        EXPECT_EQ(all[i].flags & 0x01, i % 3 == 0 ? 1 : 0);
        EXPECT_GE(all[i].timeStamp, i ? all[i - 1].timeStamp : 0);
    }
    EXPECT_EQ(d.read(0x83, 20), Bytes{});
}

TEST_F(FdSimStream, ResetAndPowerCycleReturnToThePowerOnState) {
    ASSERT_EQ(d.cmd(filterCmd(2, 1, 0, 0x7)).at(3), 0);
    ASSERT_EQ(d.cmd(filterCmd(4, 1, 0, 0)).at(3), 0);
    // Leave a frame in the stream, an unread reply and an unread ack behind.
    ASSERT_EQ(d.send({{0, 0, 0x5, 0, {}}}), ack(0, 1));
    int n = 0;
    const Bytes q{0x55, 0x13, 0x01, 0x01}, p = packet({{2, 0, 0x6, 0, {}}});
    ASSERT_EQ(d.dev->transferOut(0x01, q.data(), 4, 100, &n), LIBUSB_SUCCESS);
    ASSERT_EQ(d.dev->transferOut(0x02, p.data(), int(p.size()), 100, &n), LIBUSB_SUCCESS);
    std::this_thread::sleep_for(Ms(20));
    const auto resetAt = Clock::now();
    d.dev->usbReset();
    const int64_t sinceReset = d.fw->adapterMicros();  // the clock starts again
    EXPECT_LE(sinceReset, (Clock::now() - resetAt) / std::chrono::microseconds(1));
    for (int ch = 0; ch < 4; ++ch) {
        const std::string state = d.ctl({"state", std::to_string(ch)});
        EXPECT_EQ(
            state.find(" init=0 started=0 fd=0 iso=0 mode=0 arb=0 data=0 filter=off ranges=- "),
            state.find(' '))
            << state;
    }
    const auto t0 = Clock::now();
    for (uint8_t in : {0x81, 0x82, 0x83}) {
        EXPECT_EQ(d.read(in, 30), Bytes{}) << std::hex << int(in);
    }
    EXPECT_GE(Clock::now() - t0, Ms(89)) << "each read waits out its time-out";
    // Time stamps count microseconds since that reset.
    d.up(0, 80, k80_500k, k80_2M);
    d.up(1, 80, k80_500k, k80_2M);
    const uint32_t lo = d.fw->adapterMicros();
    ASSERT_EQ(d.send({{0, 0, 0x1, 0, {}}}), ack(0, 1));
    const auto recs = d.collect(1, 1000);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_GE(recs[0].timeStamp, std::max(lo, 89000u));
    EXPECT_LE(recs[0].timeStamp, d.fw->adapterMicros());
    // Unplugging wakes a read waiting without limit and refuses transfers;
    // plugging in powers on afresh.
    int rc = 0;
    std::thread reader([&] {
        uint8_t buf[64];
        int got = 0;
        rc = d.dev->transferIn(0x83, buf, sizeof buf, 0, &got);  // no time limit
    });
    std::this_thread::sleep_for(Ms(50));
    d.dev->setAttached(false);
    reader.join();
    EXPECT_EQ(rc, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(d.dev->transferOut(0x01, q.data(), 4, 100, &n), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(d.dev->transferOut(0x02, p.data(), int(p.size()), 100, &n), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(d.fw->inject(0, ksim::BusFrame{}), ksim::fd::InjectResult::NotStarted);
    d.dev->setAttached(true);
    EXPECT_FALSE(d.fw->channel(0).initialised);
    EXPECT_EQ(d.cmd(q), (Bytes{0x55, 0x13, 0x02, 0x00, 0x08}));
}

}  // namespace
