// The bit-timing command: table words, as a correct host encodes them, decode
// back to their bit rates on both CAN clocks; bad requests are refused.
#include "simfd_util.h"

using namespace simfd;

namespace {

struct TableRow {
    uint32_t rate;
    uint32_t word60;
    uint32_t word80;
};

// Arbitration table; the data table adds 5M, 4M and 2M in front.
const TableRow kArbitration[] = {
    {1000000, 0x01400106, 0x00C0030E}, {800000, 0x0100020A, 0x0100030E},
    {500000, 0x02C00106, 0x01C0030E},  {250000, 0x05C00106, 0x03C0030E},
    {125000, 0x0BC00106, 0x07C0030E},  {100000, 0x0EC00106, 0x09C0030E},
    {50000, 0x1DC00106, 0x13C0030E},
};
const TableRow kDataOnly[] = {
    {5000000, 0x00800001, 0x00400005},
    {4000000, 0x00800002, 0x00400106},
    {2000000, 0x00800106, 0x00C00106},
};

struct Model {
    uint16_t pid;
    uint16_t vid;
    uint16_t clock;
};

TEST(FdSimBitTiming, EveryTableRateDecodesOnItsClock) {
    const Model models[] = {{kPidDunlin, kVidDunlin, 60},
                            {kPid3014, kVidZaro, 60},
                            {kPid2018, kVidZaro, 80},
                            {kPid3018, kVidZaro, 80}};
    for (const Model& m : models) {
        Device d = makeDevice(m.vid, m.pid, 40);
        ASSERT_NE(d.fw, nullptr);
        for (const TableRow& a : kArbitration) {
            std::vector<TableRow> data(std::begin(kDataOnly), std::end(kDataOnly));
            data.insert(data.end(), std::begin(kArbitration), std::end(kArbitration));
            for (const TableRow& dr : data) {
                const uint32_t aw = m.clock == 60 ? a.word60 : a.word80;
                const uint32_t dw = m.clock == 60 ? dr.word60 : dr.word80;
                ASSERT_EQ(command(*d.dev, bitTiming(1, m.clock, aw, dw, 1, 0)),
                          (Bytes{0x55, 0x03, 0x02, 0x00, 0x01}));
                const ksim::fd::ChannelSnapshot s = d.fw->channel(1);
                EXPECT_EQ(s.arbRate, a.rate) << "clock " << m.clock << " word " << std::hex << aw;
                EXPECT_EQ(s.dataRate, dr.rate) << "clock " << m.clock << " word " << std::hex << dw;
                EXPECT_TRUE(s.initialised);
                EXPECT_FALSE(s.started);
                EXPECT_TRUE(s.fdMode);
                EXPECT_TRUE(s.iso);
                EXPECT_EQ(s.arbTiming.brp, Word{aw}.brp());
                EXPECT_EQ(s.arbTiming.tseg1, Word{aw}.tseg1());
                EXPECT_EQ(s.dataTiming.tseg2, Word{dw}.tseg2());
            }
        }
    }
}

TEST(FdSimBitTiming, FieldsAreReadAtTheirOffsetsLittleEndian) {
    // ZARO2018, 500k / 2M: clock 80; arbitration brp 7, tseg1 14, tseg2 3;
    // data brp 3, tseg1 6, tseg2 1 -- written out byte by byte.
    Device d = makeDevice(kVidZaro, kPid2018, 40);
    const Bytes req{0x55, 0x03, 0x05, 0x01, 0x00, 0x07, 0x50, 0x00, 0x07, 0x00, 0x00, 0x0E,
                    0x00, 0x03, 0x00, 0x50, 0x00, 0x03, 0x00, 0x00, 0x06, 0x00, 0x01, 0x00};
    EXPECT_EQ(command(*d.dev, req), (Bytes{0x55, 0x03, 0x02, 0x00, 0x05}));
    const auto s = d.fw->channel(5);
    EXPECT_EQ(s.arbRate, 500000u);
    EXPECT_EQ(s.dataRate, 2000000u);
    EXPECT_EQ(s.mode, 7);
    EXPECT_FALSE(s.iso);
    // A prescaler above 255 needs the high byte: 80 MHz / (300 * 20) = 13333.
    Bytes slow = bitTiming(0, 80, (299u << 22) | 0x0000030E, (299u << 22) | 0x0000030E);
    EXPECT_EQ(command(*d.dev, slow), (Bytes{0x55, 0x03, 0x02, 0x00, 0x00}));
    EXPECT_EQ(d.fw->channel(0).arbRate, 13333u);
}

TEST(FdSimBitTiming, ClassicOnlyFlagUsesArbitrationTimingForBothPhases) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 40);
    EXPECT_EQ(command(*d.dev, bitTiming(0, 60, k60_250k, k60_5M, 0, 0, /*fdFlag=*/0)),
              (Bytes{0x55, 0x03, 0x02, 0x00, 0x00}));
    const auto s = d.fw->channel(0);
    EXPECT_FALSE(s.fdMode);
    EXPECT_EQ(s.arbRate, 250000u);
    EXPECT_EQ(s.dataRate, 250000u);
}

struct Refusal {
    const char* what;
    Bytes request;
    Bytes reply;
};

TEST(FdSimBitTiming, BadRequestsAreRefusedAndChangeNothing) {
    Device d = makeDevice(kVidZaro, kPid3014, 40);  // 4 channels, 60 MHz
    Bytes shortReq = bitTiming(0, 60, k60_500k, k60_2M);
    shortReq.pop_back();
    Bytes badIso = bitTiming(0, 60, k60_500k, k60_2M);
    badIso[4] = 2;
    const Refusal cases[] = {
        {"channel 4 of 4", bitTiming(4, 60, k60_500k, k60_2M), {0x55, 0x03, 0x02, 0x01, 0x04}},
        {"channel 15", bitTiming(15, 60, k60_500k, k60_2M), {0x55, 0x03, 0x02, 0x01, 0x0F}},
        {"80 MHz on a 60 MHz model",
         bitTiming(0, 80, k80_500k, k80_2M),
         {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"data clock differs",
         [] {
             Bytes b = bitTiming(0, 60, k60_500k, k60_2M);
             b[15] = 80;
             return b;
         }(),
         {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"sjw above tseg2",
         bitTiming(0, 60, 0x02C00106 | (5u << 15), k60_2M),
         {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"arbitration above 1 Mbit/s",
         bitTiming(0, 60, k60_2M, k60_2M),
         {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"flag byte 2",
         bitTiming(0, 60, k60_500k, k60_2M, 0, 0, 2),
         {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"iso byte 2", badIso, {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"23 bytes", shortReq, {0x55, 0x03, 0x01, 0x03}},
    };
    for (const Refusal& c : cases) {
        EXPECT_EQ(command(*d.dev, c.request), c.reply) << c.what;
        EXPECT_FALSE(d.fw->channel(0).initialised) << c.what;
    }
}

TEST(FdSimBitTiming, ReinitialisingAStartedChannelStopsIt) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 40);
    bringUp(*d.dev, 0, 60, k60_500k, k60_2M);
    ASSERT_TRUE(d.fw->channel(0).started);
    EXPECT_EQ(command(*d.dev, bitTiming(0, 60, k60_1M, k60_5M)),
              (Bytes{0x55, 0x03, 0x02, 0x00, 0x00}));
    EXPECT_FALSE(d.fw->channel(0).started);
    EXPECT_EQ(d.fw->channel(0).arbRate, 1000000u);
    EXPECT_EQ(d.fw->channel(0).dataRate, 5000000u);
}

}  // namespace
