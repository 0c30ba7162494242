// Hostile host input on the frame endpoint: every malformed packet gets an
// error acknowledgement, nothing reaches the bus, and the firmware survives.
#include "simfd_util.h"

#include <random>

using namespace simfd;

namespace {

class FdSimMalformed : public ::testing::Test {
  protected:
    void SetUp() override {
        d = makeDevice(kVidZaro, kPid3014, 70);  // 4 channels
        bringUp(*d.dev, 0, 60, k60_500k, k60_2M);
        bringUp(*d.dev, 1, 60, k60_500k, k60_2M);
        ASSERT_EQ(command(*d.dev, bitTiming(2, 60, k60_500k, k60_500k, 0, 0, 0)),
                  (Bytes{0x55, 0x03, 0x02, 0x00, 0x02}));
        ASSERT_EQ(command(*d.dev, startCmd(2)), (Bytes{0x55, 0x0E, 0x02, 0x00, 0x20}));
    }
    Device d;
};

Bytes withBody(Bytes p, int delta) {
    const size_t body = (p[4] | (p[5] << 8)) + delta;
    p[4] = static_cast<uint8_t>(body);
    p[5] = static_cast<uint8_t>(body >> 8);
    return p;
}

TEST_F(FdSimMalformed, EachBadPacketIsRefusedWithItsStatus) {
    const Bytes good = packet({TxRecord{0, 0, 0x1, 1, {9}}});
    const Bytes shortTail(good.begin(), good.begin() + static_cast<long>(good.size() - 1));
    Bytes countTooHigh = good;
    countTooHigh[6] = 2;
    Bytes countZero = good;
    countZero[6] = 0;
    Bytes fdFlagOnClassicSizedRecord = good;
    fdFlagOnClassicSizedRecord[8] = 0x01;
    const struct {
        const char* what;
        Bytes bytes;
        uint8_t status;
    } cases[] = {
        {"one byte", {0x55}, 0x7E},
        {"six bytes of header", {0x55, 0xF2, 0, 0, 19, 0}, 0x7E},
        {"wrong tag", {0x55, 0xF3, 0, 0, 0, 0, 0}, 0x7E},
        {"text", {'h', 'e', 'l', 'l', 'o', '!', '!', '!'}, 0x7E},
        {"body length 0", {0x55, 0xF2, 0, 0, 0, 0, 1}, 0x03},
        {"record count 0", countZero, 0x03},
        {"body longer than the transfer", shortTail, 0x03},
        {"body shorter than its record",
         [&] {
             Bytes b = withBody(good, -1);
             b.resize(b.size() - 1);
             return b;
         }(),
         0x03},
        {"body longer than its records",
         [&] {
             Bytes b = withBody(good, 1);
             b.push_back(0);
             return b;
         }(),
         0x03},
        {"more records than the body holds", countTooHigh, 0x03},
        {"FD flag on a 19-byte record", fdFlagOnClassicSizedRecord, 0x03},
        {"channel 4 of 4", packet({TxRecord{4, 0, 1, 0, {}}}), 0x01},
        {"channel 15", packet({TxRecord{15, 0x01, 1, 0, {}}}), 0x01},
        {"classic length 9", packet({TxRecord{0, 0, 1, 9, {}}}), 0x03},
        {"classic length 255", packet({TxRecord{0, 0, 1, 255, {}}}), 0x03},
        {"FD length 65", packet({TxRecord{0, 0x01, 1, 65, {}}}), 0x03},
        {"FD remote frame", packet({TxRecord{0, 0x03, 1, 0, {}}}), 0x02},
        {"FD on a classic-only channel", packet({TxRecord{2, 0x01, 1, 8, {}}}), 0x02},
        {"channel not started", packet({TxRecord{3, 0, 1, 0, {}}}), 0x04},
        {"good record then channel 15",
         packet({TxRecord{0, 0, 1, 0, {}}, TxRecord{15, 0, 1, 0, {}}}), 0x01},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sendPacket(*d.dev, c.bytes), (Bytes{0x55, 0xF2, c.status, 0x00})) << c.what;
    }
    EXPECT_EQ(d.fw->counters().framesTx, 0u);
    EXPECT_EQ(readStream(*d.dev, 30), Bytes{});
    // A refused packet does not disturb the next good one in the same transfer.
    Bytes mixed = packet({TxRecord{15, 0, 1, 0, {}}});
    mixed.insert(mixed.end(), good.begin(), good.end());
    EXPECT_EQ(sendPacket(*d.dev, mixed), (Bytes{0x55, 0xF2, 0x01, 0x00}));
    Bytes ack(64);
    int n = 0;
    ASSERT_EQ(d.dev->transferIn(0x82, ack.data(), 64, 500, &n), LIBUSB_SUCCESS);
    ack.resize(static_cast<size_t>(n));
    EXPECT_EQ(ack, (Bytes{0x55, 0xF2, 0x00, 0x01}));
    // Garbage after a good packet: one ack for the packet, one error ack.
    Bytes trailing = good;
    trailing.push_back(0xDE);
    trailing.push_back(0xAD);
    EXPECT_EQ(sendPacket(*d.dev, trailing), (Bytes{0x55, 0xF2, 0x00, 0x01}));
    ASSERT_EQ(d.dev->transferIn(0x82, ack.data(), 64, 500, &n), LIBUSB_SUCCESS);
    EXPECT_EQ(Bytes(ack.begin(), ack.begin() + n), (Bytes{0x55, 0xF2, 0x7E, 0x00}));
    EXPECT_EQ(collect(*d.dev, 2, 1000).size(), 2u);
}

TEST_F(FdSimMalformed, LargestPacketsPassWhole) {
    // 255 FD records: a 19,125-byte body, far beyond one stream read.
    std::vector<TxRecord> many(255, TxRecord{0, 0x01, 0x7, 64, Bytes(64, 0x3C)});
    EXPECT_EQ(sendPacket(*d.dev, packet(many)), (Bytes{0x55, 0xF2, 0x00, 0xFF}));
    std::vector<TxRecord> classics(255, TxRecord{0, 0x00, 0x8, 8, Bytes(8, 0x3C)});
    EXPECT_EQ(sendPacket(*d.dev, packet(classics)), (Bytes{0x55, 0xF2, 0x00, 0xFF}));
    const auto got = collect(*d.dev, 510, 2000);
    ASSERT_EQ(got.size(), 510u);
    EXPECT_EQ(got[254].id, 0x7u);
    EXPECT_EQ(got[254].data, Bytes(64, 0x3C));
    EXPECT_EQ(got[255].id, 0x8u);
}

TEST_F(FdSimMalformed, RandomBytesOnEveryOutEndpointNeverBreakTheFirmware) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 600; ++round) {
        Bytes junk(rng() % 100);
        for (uint8_t& b : junk) {
            b = static_cast<uint8_t>(rng());
        }
        // Make a share of them look like the real thing to get past the tags.
        if (junk.size() >= 2 && round % 3 == 0) {
            junk[0] = 0x55;
            junk[1] = round % 2 ? 0xF2 : static_cast<uint8_t>(junk[1] % 0x14);
        }
        int n = 0;
        const uint8_t ep = round % 2 ? 0x02 : 0x01;
        ASSERT_EQ(d.dev->transferOut(ep, junk.data(), static_cast<int>(junk.size()), 100, &n),
                  LIBUSB_SUCCESS);
        uint8_t buf[4096];
        while (d.dev->transferIn(0x81, buf, 64, 1, &n) == LIBUSB_SUCCESS) {
        }
        while (d.dev->transferIn(0x82, buf, 64, 1, &n) == LIBUSB_SUCCESS) {
        }
        while (d.dev->transferIn(0x83, buf, sizeof buf, 1, &n) == LIBUSB_SUCCESS) {
        }
    }
    // Still answering.
    EXPECT_EQ(command(*d.dev, {0x55, 0x13, 0x01, 0x01}), (Bytes{0x55, 0x13, 0x02, 0x00, 0x04}));
    EXPECT_GT(d.fw->counters().malformed, 0u);
}

}  // namespace
