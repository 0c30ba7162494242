// Frame packets from the host, their acknowledgements, and the received
// stream: header, record layout, packing, time stamps.
#include "simfd_util.h"

#include <thread>

using namespace simfd;
using ksim::BusFrame;

namespace {

class FdSimStream : public ::testing::Test {
  protected:
    void SetUp() override {
        d = makeDevice(kVidZaro, kPid3018, 43);  // 8 channels, 80 MHz
        for (uint8_t ch = 0; ch < 4; ++ch) {
            bringUp(*d.dev, ch, 80, k80_500k, k80_2M);
        }
    }
    Device d;
};

TEST_F(FdSimStream, EveryPacketIsAcknowledged) {
    const Bytes one = packet({TxRecord{0, 0, 0x123, 2, {1, 2}}});
    EXPECT_EQ(sendPacket(*d.dev, one), (Bytes{0x55, 0xF2, 0x00, 0x01}));
    std::vector<TxRecord> ten(10, TxRecord{2, 0x11, 0x7FF, 64, Bytes(64, 0xEE)});
    EXPECT_EQ(sendPacket(*d.dev, packet(ten)), (Bytes{0x55, 0xF2, 0x00, 10}));
    // Two packets in one transfer: two acknowledgements, in order.
    Bytes two = packet({TxRecord{0, 0x04, 0x1ABCDE, 0, {}}});
    const Bytes second =
        packet({TxRecord{1, 0x01, 0x10, 12, Bytes(12, 1)}, TxRecord{1, 0, 0x11, 8, Bytes(8, 2)}});
    two.insert(two.end(), second.begin(), second.end());
    EXPECT_EQ(sendPacket(*d.dev, two), (Bytes{0x55, 0xF2, 0x00, 0x01}));
    Bytes ack(64);
    int n = 0;
    ASSERT_EQ(d.dev->transferIn(0x82, ack.data(), 64, 500, &n), LIBUSB_SUCCESS);
    ack.resize(static_cast<size_t>(n));
    EXPECT_EQ(ack, (Bytes{0x55, 0xF2, 0x00, 0x02}));
    EXPECT_EQ(d.dev->transferIn(0x82, ack.data(), 64, 30, &n), LIBUSB_ERROR_TIMEOUT);
    const auto k = d.fw->counters();
    EXPECT_EQ(k.packets, 4u);
    EXPECT_EQ(k.acks, 4u);
    EXPECT_EQ(k.framesTx, 14u);
    EXPECT_EQ(d.fw->channel(2).txFrames, 10u);
}

TEST_F(FdSimStream, RecordLayoutOfClassicAndFdFramesIsByteExact) {
    // Channel 0 sends to channel 1: a classic extended frame and an FD frame
    // with BRS, as separate packets.
    ASSERT_EQ(sendPacket(*d.dev, packet({TxRecord{0, 0x04, 0x1ABCDE01, 3, {0x11, 0x22, 0x33}}})),
              (Bytes{0x55, 0xF2, 0x00, 0x01}));
    Bytes fdData(20);
    for (size_t i = 0; i < fdData.size(); ++i) {
        fdData[i] = static_cast<uint8_t>(i + 1);
    }
    ASSERT_EQ(sendPacket(*d.dev, packet({TxRecord{0, 0x11, 0x7A5, 20, fdData}})),
              (Bytes{0x55, 0xF2, 0x00, 0x01}));
    const uint32_t before = d.fw->adapterMicros();
    const Bytes s = readStream(*d.dev, 1000);
    // One packet: header, a 19-byte and a 75-byte record.
    ASSERT_EQ(s.size(), 7u + 19 + 75);
    EXPECT_EQ(Bytes(s.begin(), s.begin() + 7), (Bytes{0x55, 0xF2, 0x00, 0x00, 94, 0x00, 2}));
    const uint8_t* c = &s[7];
    EXPECT_EQ(c[0], 0x10);  // channel 1 in the high nibble
    EXPECT_EQ(c[1], 0x04);  // extended, classic
    const uint32_t ts1 = le32(c + 2);
    EXPECT_LE(ts1, before);
    EXPECT_EQ(Bytes(c + 6, c + 19),
              (Bytes{0x01, 0xDE, 0xBC, 0x1A, 3, 0x11, 0x22, 0x33, 0, 0, 0, 0, 0}));
    const uint8_t* f = &s[26];
    EXPECT_EQ(f[0], 0x10);
    EXPECT_EQ(f[1], 0x11);  // FD + BRS
    EXPECT_GE(le32(f + 2), ts1);
    EXPECT_EQ(le32(f + 6), 0x7A5u);
    EXPECT_EQ(f[10], 20);
    EXPECT_EQ(Bytes(f + 11, f + 31), fdData);
    EXPECT_EQ(Bytes(f + 31, f + 75), Bytes(44, 0));
}

TEST_F(FdSimStream, HostValuesAreReducedTheWayTheControllerHoldsThem) {
    // Standard identifiers keep 11 bits, extended ones 29; an FD length of 9
    // goes out as 12 with zero padding; a remote frame carries no data.
    std::vector<TxRecord> recs = {
        {0, 0x00, 0xFFFFFFFF, 1, {0x5A}},
        {0, 0x04, 0xFFFFFFFF, 0, {}},
        {0, 0x02, 0x321, 8, Bytes(8, 0x77)},
    };
    ASSERT_EQ(sendPacket(*d.dev, packet(recs)), (Bytes{0x55, 0xF2, 0x00, 3}));
    ASSERT_EQ(sendPacket(*d.dev, packet({TxRecord{0, 0x09, 0x42, 9, Bytes(9, 0x99)}})),
              (Bytes{0x55, 0xF2, 0x00, 1}));
    const auto got = collect(*d.dev, 4, 1000);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].id, 0x7FFu);
    EXPECT_EQ(got[1].id, 0x1FFFFFFFu);
    EXPECT_EQ(got[1].flags, 0x04);
    EXPECT_EQ(got[2].flags, 0x02);
    EXPECT_EQ(got[2].len, 8);  // the requested length of the remote frame
    EXPECT_EQ(got[2].data, Bytes(8, 0));
    EXPECT_EQ(got[3].flags, 0x01);  // the host-only flag 0x08 does not travel
    EXPECT_EQ(got[3].len, 12);
    Bytes want(9, 0x99);
    want.resize(12, 0);
    EXPECT_EQ(got[3].data, want);
}

TEST_F(FdSimStream, ManyFramesArePackedIntoWholePacketsPerRead) {
    // 300 frames from channel 2 to channel 3, in packets of 10.
    for (int p = 0; p < 30; ++p) {
        std::vector<TxRecord> recs;
        for (int i = 0; i < 10; ++i) {
            const uint32_t id = static_cast<uint32_t>(p * 10 + i);
            recs.push_back(TxRecord{2, static_cast<uint8_t>((id % 3 == 0) ? 0x01 : 0x00), id, 8,
                                    Bytes(8, static_cast<uint8_t>(id))});
        }
        ASSERT_EQ(sendPacket(*d.dev, packet(recs)), (Bytes{0x55, 0xF2, 0x00, 10}));
    }
    std::vector<RxRecord> all;
    size_t reads = 0;
    while (all.size() < 300) {
        const Bytes b = readStream(*d.dev, 500);
        ASSERT_FALSE(b.empty());
        ASSERT_LE(b.size(), 4096u);
        ++reads;
        for (const RxRecord& r : parsePackets(b)) {
            all.push_back(r);
        }
    }
    // 100 FD and 200 classic records need 11,300 bytes: at least 3 reads,
    // and full reads leave less than one FD record unused.
    EXPECT_GE(reads, 3u);
    EXPECT_LE(reads, 4u);
    uint32_t lastTs = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].id, i);
        EXPECT_EQ(all[i].ch, 3);
        EXPECT_EQ(all[i].flags & 0x01, i % 3 == 0 ? 1 : 0);
        EXPECT_GE(all[i].timeStamp, lastTs);
        lastTs = all[i].timeStamp;
    }
    EXPECT_EQ(readStream(*d.dev, 20), Bytes{});
}

TEST_F(FdSimStream, SmallReadsReceiveThePacketInPieces) {
    ASSERT_EQ(d.fw->inject(3,
                           [] {
                               BusFrame f;
                               f.fd = true;
                               f.len = 64;
                               f.id = 0x55;
                               return f;
                           }()),
              ksim::fd::InjectResult::Delivered);
    Bytes all;
    for (int i = 0; i < 20 && all.size() < 82; ++i) {
        const Bytes piece = readStream(*d.dev, 500, 10);
        ASSERT_LE(piece.size(), 10u);
        all.insert(all.end(), piece.begin(), piece.end());
    }
    const auto recs = parsePackets(all);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].id, 0x55u);
    EXPECT_EQ(recs[0].len, 64);
}

TEST_F(FdSimStream, ReadWaitsForAFrameWithoutSpinningAndTimesOut) {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(readStream(*d.dev, 100), Bytes{});
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(95));
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sendPacket(*d.dev, packet({TxRecord{0, 0, 0x1, 0, {}}}));
    });
    const Bytes b = readStream(*d.dev, 5000);
    sender.join();
    ASSERT_EQ(parsePackets(b).size(), 1u);
}

TEST_F(FdSimStream, TimeStampsAreMicrosecondsSincePowerOn) {
    d.dev->usbReset();
    bringUp(*d.dev, 0, 80, k80_500k, k80_2M);
    bringUp(*d.dev, 1, 80, k80_500k, k80_2M);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const uint32_t lo = d.fw->adapterMicros();
    sendPacket(*d.dev, packet({TxRecord{0, 0, 0x1, 0, {}}}));
    const uint32_t hi = d.fw->adapterMicros();
    const auto recs = collect(*d.dev, 1, 1000);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_GE(lo, 30000u);
    EXPECT_GE(recs[0].timeStamp, lo);
    EXPECT_LE(recs[0].timeStamp, hi);
}

}  // namespace
