// The virtual bus: default loopback pairs, wiring across adapters, the rules
// that decide whether a frame arrives, acceptance filters, frame wire lengths
// and the traffic generators paced by them.
#include "simfd_util.h"

#include <tuple>

#include "bus/frame_timing.h"
#include "bus/virtual_bus.h"

using namespace simfd;
using ksim::fd::InjectResult;

namespace {

TEST(FdSimBus, DefaultPairsLoopBackBothWaysButNeverToTheSender) {
    Device d(kVidZaro, kPid3014, 44);  // channels 0-1 and 2-3 paired
    for (uint8_t ch = 0; ch < 4; ++ch) {
        d.up(ch, 60, k60_500k, k60_2M);
    }
    for (uint8_t ch : {0, 1, 3}) {
        ASSERT_EQ(d.send({{ch, 0, 0x10u + ch, 1, {0x42}}}), ack(0, 1));
    }
    const auto got = d.collect(4, 300);
    ASSERT_EQ(got.size(), 3u);
    for (const RxRecord& r : got) {
        EXPECT_EQ(r.ch, (r.id - 0x10) ^ 1) << "from channel " << r.id - 0x10;
    }
}

TEST(FdSimBus, FramesArriveOnlyWhereStateRatesAndFormatMatch) {
    const struct {
        const char* what;
        uint32_t txArb, txData, rxArb, rxData;
        uint8_t txIso, rxIso, rxFd;
        int rxState;  // 0 untouched, 1 initialised, 2 started, 3 started and stopped
        bool classicArrives, fdArrives;
    } cases[] = {
        {"same settings", k60_500k, k60_2M, k60_500k, k60_2M, 0, 0, 1, 2, true, true},
        {"arbitration differs", k60_500k, k60_2M, k60_250k, k60_2M, 0, 0, 1, 2, false, false},
        {"data rate differs", k60_500k, k60_2M, k60_500k, k60_5M, 0, 0, 1, 2, true, false},
        {"ISO against non-ISO", k60_500k, k60_2M, k60_500k, k60_2M, 1, 0, 1, 2, true, false},
        {"receiver classic only", k60_500k, k60_2M, k60_500k, k60_500k, 0, 0, 0, 2, true, false},
        {"receiver never set up", k60_500k, k60_2M, k60_500k, k60_2M, 0, 0, 1, 0, false, false},
        {"receiver not started", k60_500k, k60_2M, k60_500k, k60_2M, 0, 0, 1, 1, false, false},
        {"receiver stopped", k60_500k, k60_2M, k60_500k, k60_2M, 0, 0, 1, 3, false, false},
    };
    for (const auto& c : cases) {
        Device d(kVidDunlin, kPidDunlin, 45);
        d.up(0, 60, c.txArb, c.txData, c.txIso);
        const Bytes setup[] = {bitTiming(1, 60, c.rxArb, c.rxData, c.rxIso, c.rxFd), chCmd(0x0E, 1),
                               chCmd(0x0F, 1)};
        for (int i = 0; i < c.rxState; ++i) {
            ASSERT_EQ(d.cmd(setup[i])[3], 0) << c.what;
        }
        ASSERT_EQ(d.send({{0, 0, 0x100, 1, {0x42}}}), ack(0, 1)) << c.what;
        ASSERT_EQ(d.send({{0, 0x11, 0x200, 16, Bytes(16, 7)}}), ack(0, 1)) << c.what;
        size_t classics = 0, fds = 0;
        for (const RxRecord& r : d.collect(3, 100)) {
            (r.flags & 0x01 ? fds : classics)++;
        }
        EXPECT_EQ(classics, c.classicArrives ? 1u : 0u) << c.what;
        EXPECT_EQ(fds, c.fdArrives ? 1u : 0u) << c.what;
        EXPECT_EQ(d.fw->counters().framesUnheard, 2u - c.classicArrives - c.fdArrives) << c.what;
    }
}

TEST(FdSimBus, WiringJoinsAdaptersAndReplacesTheDefaultPair) {
    struct Reset {
        ~Reset() { ksim::VirtualBus::instance().setWiring(ksim::WiringPlan{}); }
    } reset;
    Device a(kVidZaro, kPid3018, 47);
    Device b(kVidDunlin, kPidDunlin, 47);
    EXPECT_EQ(a.ctl({"wire", "set", "ZARO3018#47/0 = DUNLINFD1#47/1 = 0471:3018#47/5"}),
              "ok default;ZARO3018#47/0=DUNLINFD2#47/1=ZARO3018#47/5");
    EXPECT_EQ(a.ctl({"wire", "set", "ZARO3018#47/0=ZARO3018#47/9"}).rfind("error:", 0), 0u);
    for (uint8_t ch : {0, 1, 5}) {
        a.up(ch, 80, k80_500k, k80_2M);
    }
    b.up(0, 60, k60_500k, k60_2M);
    b.up(1, 60, k60_500k, k60_2M);
    // 60 and 80 MHz clocks at the same bit rates hear each other; the default
    // partner (channel 1) no longer does.
    ASSERT_EQ(a.send({{0, 0x11, 0x77, 16, Bytes(16, 7)}}), ack(0, 1));
    const auto onA = a.collect(2, 300), onB = b.collect(2, 300);
    ASSERT_EQ(onA.size(), 1u);
    EXPECT_EQ(onA[0].ch, 5);
    ASSERT_EQ(onB.size(), 1u);
    EXPECT_EQ(onB[0].ch, 1);
    // ZARO3018/1 lost its partner; DUNLIN/0 too, since its partner is named.
    ASSERT_EQ(a.send({{1, 0, 0x1, 1, {0x42}}}), ack(0, 1));
    ASSERT_EQ(b.send({{0, 0, 0x2, 1, {0x42}}}), ack(0, 1));
    EXPECT_EQ(a.collect(1, 50).size() + b.collect(1, 50).size(), 0u);
    EXPECT_EQ(a.fw->counters().framesUnheard + b.fw->counters().framesUnheard, 2u);
}

TEST(FdSimFilters, RangesDecideWhichFramesReachTheHostOnceEnabled) {
    Device d(kVidDunlin, kPidDunlin, 42);
    d.up(0, 60, k60_500k, k60_2M);
    d.up(1, 60, k60_500k, k60_2M);
    auto filter = [&](uint8_t op, uint32_t start, uint32_t end) {
        return d.cmd(filterCmd(op, 1, start, end)).at(3);
    };
    auto offer = [&](uint32_t id, bool ext) {
        return d.fw->inject(1, ksim::BusFrame{.id = id, .ext = ext}) == InjectResult::Delivered;
    };
    EXPECT_EQ(d.cmd(filterCmd(2, 1, 0x100, 0x1FF)), (Bytes{0x55, 0x04, 0x03, 0x00, 0x02, 0x10}));
    EXPECT_TRUE(offer(0x050, false)) << "stored, not yet enabled";
    ASSERT_EQ(filter(4, 0, 0), 0);
    ASSERT_EQ(filter(3, 0x18DA0000, 0x18DAFFFF), 0);
    ASSERT_EQ(filter(5, 0, 0), 0);  // announces the any-kind mode, adds no range
    ASSERT_EQ(filter(5, 0x10, 0x20), 0);
    const std::tuple<uint32_t, bool, bool> cases[] = {
        {0x0FF, false, false},     {0x100, false, true}, {0x1FF, false, true},
        {0x200, false, false},     {0x150, true, false}, {0x18DA10F1, true, true},
        {0x18DB10F1, true, false}, {0x15, false, true},  {0x15, true, true},
        {0x21, false, false},
    };
    for (const auto& [id, ext, passes] : cases) {
        EXPECT_EQ(offer(id, ext), passes) << std::hex << id << " ext " << ext;
    }
    // Frames from the bus pass the same filter.
    ASSERT_EQ(d.send({{0, 0, 0x0FF, 0, {}}, {0, 0, 0x101, 0, {}}}), ack(0, 2));
    EXPECT_EQ(d.collect(8, 300).back().id, 0x101u);
    EXPECT_NE(d.ctl({"state", "1"}).find(" rx=7 filtered=6 "), std::string::npos);
    // Clearing disables the filter and forgets the ranges; enabled without a
    // range, nothing passes.
    ASSERT_EQ(filter(1, 0, 0), 0);
    EXPECT_TRUE(offer(0x21, false));
    ASSERT_EQ(filter(4, 0, 0), 0);
    EXPECT_FALSE(offer(0x21, false));
}

TEST(FdSimFrameTiming, BitCountsMatchTheReferenceTable) {
    const struct {
        ksim::FrameShape frame;
        std::vector<uint32_t> bits;  // nominal, data; the same with worst-case stuffing
    } cases[] = {
        {{.len = 8}, {111, 0, 135, 0}},
        {{.ext = true, .len = 8}, {131, 0, 160, 0}},
        {{.fd = true, .len = 64}, {30, 549, 33, 679}},
        {{.fd = true, .ext = true, .len = 64}, {49, 549, 57, 679}},
        {{.rtr = true, .len = 8}, {47, 0, 55, 0}},      // a remote frame has no data bits
        {{.fd = true, .len = 9}, {30, 128, 33, 154}},   // 9 bytes travel as 12
        {{.fd = true, .len = 16}, {30, 160, 33, 194}},  // the last length with a 17-bit CRC
    };
    for (const auto& c : cases) {
        const auto none = ksim::frameBits(c.frame, ksim::Stuffing::None);
        const auto worst = ksim::frameBits(c.frame, ksim::Stuffing::WorstCase);
        EXPECT_EQ(std::vector<uint32_t>({none.nominal, none.data, worst.nominal, worst.data}),
                  c.bits)
            << "fd " << c.frame.fd << " ext " << c.frame.ext << " rtr " << c.frame.rtr << " len "
            << int(c.frame.len);
    }
}

// Frames per second at 100 % load without stuffing, as the wire-speed
// generators pace them at their channel's bit rates.
TEST(FdSimGenerator, WireSpeedMatchesTheReferenceFrameRates) {
    Device d(kVidZaro, kPid3018, 60);
    d.up(0, 80, k80_1M, k80_5M);
    d.up(1, 80, k80_500k, k80_2M);
    const std::pair<Words, double> cases[] = {
        {{"gen", "start", "0", "C", "S", "8", "wire"}, 9009},
        {{"gen", "start", "0", "C", "E", "8", "wire"}, 7634},
        {{"gen", "start", "0", "C", "S", "0", "wire"}, 21277},
        {{"gen", "start", "1", "C", "S", "8", "wire"}, 4505},
        {{"gen", "start", "1", "F", "S", "64", "wire", "0", "brs"}, 2990},
        {{"gen", "start", "0", "F", "S", "64", "wire", "0", "brs"}, 7153},
        {{"gen", "start", "0", "F", "S", "8", "wire", "0", "brs"}, 20325},
        {{"gen", "start", "0", "F", "S", "0", "wire", "0", "brs"}, 27473},
        {{"gen", "start", "0", "F", "S", "8", "wire"}, 1e6 / 126},  // no BRS: 126 bits at 1M
    };
    for (const auto& [words, fps] : cases) {
        const std::string reply = d.ctl(words);
        ASSERT_EQ(reply.rfind("ok fps=", 0), 0u) << reply;
        EXPECT_NEAR(std::stod(reply.substr(7)), fps, 0.6) << ::testing::PrintToString(words);
    }
}

}  // namespace
