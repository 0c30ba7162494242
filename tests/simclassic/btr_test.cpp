// The init command's two timing bytes read as SJA1000 BTR0/BTR1 at 16 MHz:
// every rate of the classic table, a few others, and timings a controller
// cannot run.
#include "simclassic_util.h"

using namespace simcl;

namespace {

struct Row {
    uint8_t t0, t1;
    uint32_t rate;
};

TEST(BusTiming, TableAndOtherRatesDecodeOnBothChannels) {
    const Row rows[] = {
        // The classic rate table.
        {0x09, 0x1C, 50000},
        {0x04, 0x1C, 100000},
        {0x03, 0x1C, 125000},
        {0x01, 0x1C, 250000},
        {0x00, 0x1C, 500000},
        {0x00, 0x16, 800000},
        {0x00, 0x14, 1000000},
        // Others: 10k and 20k, triple sampling, jump width 2, 25 quanta, and a
        // rate that is not a whole number of bit/s (166666.7).
        {0x31, 0x1C, 10000},
        {0x18, 0x1C, 20000},
        {0x01, 0x9C, 250000},
        {0x41, 0x1C, 250000},
        {0x00, 0x7F, 320000},
        {0x02, 0x1C, 166667},
        {0x3F, 0x7F, 5000},
    };
    Classic d = makeClassic(20);
    ASSERT_NE(d.fw, nullptr);
    for (const Row& r : rows) {
        for (uint8_t ch = 0; ch < 2; ++ch) {
            const Bytes reply = command(*d.dev, initCmd(ch, 0, r.t0, r.t1));
            ASSERT_EQ(reply, (Bytes{0x12, 0x03, static_cast<uint8_t>(0x81 + ch),
                                    static_cast<uint8_t>(ch << 4), r.t0, r.t1}))
                << std::hex << int(r.t0) << "/" << int(r.t1);
            const auto s = d.fw->channel(ch);
            EXPECT_EQ(s.bitRate, r.rate) << std::hex << int(r.t0) << "/" << int(r.t1);
            EXPECT_TRUE(s.initialised);
            EXPECT_FALSE(s.started);
            // The bit-rate parameter query reports the registers back.
            EXPECT_EQ(command(*d.dev, {0x12, 0xA4, 0x01, ch}),
                      (Bytes{0x12, 0xA4, 0x06, 0x00, ch, 0x00, r.t0, 0x00, r.t1}));
        }
    }
}

TEST(BusTiming, UnrunnableTimingsAreRefusedAndLeaveTheChannelAsItWas) {
    const Row refused[] = {
        {0x00, 0x00, 0},  // 3 quanta per bit
        {0x00, 0x12, 0},  // 6 quanta
        {0x00, 0x13, 0},  // 7 quanta: 8 is the least a bit may have
        {0xC0, 0x14, 0},  // jump width 4 above phase segment 2 (2 quanta)
        {0x40, 0x05, 0},  // jump width 2 above phase segment 2 (1 quantum), 8 quanta
        {0x00, 0x03, 0},  // 6 quanta
    };
    Classic d = makeClassic(21);
    bringUp(*d.dev, 1, k250k);
    for (const Row& r : refused) {
        EXPECT_EQ(command(*d.dev, initCmd(1, 0, r.t0, r.t1)),
                  (Bytes{0x12, 0x03, 0x80, 0x10, r.t0, r.t1}))
            << std::hex << int(r.t0) << "/" << int(r.t1);
        const auto s = d.fw->channel(1);
        EXPECT_EQ(s.bitRate, 250000u);
        EXPECT_TRUE(s.started);
    }
    // A refused init leaves an uninitialised channel uninitialised.
    EXPECT_EQ(command(*d.dev, initCmd(0, 0, 0x00, 0x00))[2], 0x80);
    EXPECT_FALSE(d.fw->channel(0).initialised);
    EXPECT_EQ(command(*d.dev, startCmd(0)), (Bytes{0x12, 0x0E, 0x02, 0x04, 0x00}));
}

}  // namespace
