// Acceptance filters: replies to command 0x04 and their effect on received
// frames (injected, from the bus and from a generator).
#include "simfd_util.h"

using namespace simfd;
using ksim::BusFrame;
using ksim::fd::InjectResult;

namespace {

BusFrame frame(uint32_t id, bool ext, bool fd = false) {
    BusFrame f;
    f.id = id;
    f.ext = ext;
    f.fd = fd;
    f.len = 1;
    f.data[0] = 0xAB;
    return f;
}

Bytes ok(uint8_t op, uint8_t ch) {
    return {0x55, 0x04, 0x03, 0x00, op, static_cast<uint8_t>(ch << 4)};
}

class FdSimFilters : public ::testing::Test {
  protected:
    void SetUp() override {
        d = makeDevice(kVidDunlin, kPidDunlin, 42);
        bringUp(*d.dev, 1, 60, k60_500k, k60_2M);
    }
    InjectResult offer(uint32_t id, bool ext) { return d.fw->inject(1, frame(id, ext)); }
    Device d;
};

TEST_F(FdSimFilters, StandardRangeAppliesOnceEnabled) {
    EXPECT_EQ(command(*d.dev, filterCmd(2, 1, 0x100, 0x1FF)), ok(2, 1));
    // Stored but not yet enabled: everything passes.
    EXPECT_EQ(offer(0x050, false), InjectResult::Delivered);
    EXPECT_EQ(command(*d.dev, filterCmd(4, 1, 0, 0)), ok(4, 1));
    const struct {
        uint32_t id;
        bool ext;
        InjectResult want;
    } cases[] = {
        {0x0FF, false, InjectResult::Filtered},  {0x100, false, InjectResult::Delivered},
        {0x1FF, false, InjectResult::Delivered}, {0x200, false, InjectResult::Filtered},
        {0x150, true, InjectResult::Filtered},  // extended frame, standard range
    };
    for (const auto& c : cases) {
        EXPECT_EQ(offer(c.id, c.ext), c.want) << std::hex << c.id << " ext " << c.ext;
    }
    const auto s = d.fw->channel(1);
    EXPECT_TRUE(s.filterEnabled);
    ASSERT_EQ(s.ranges.size(), 1u);
    EXPECT_EQ(s.filtered, 3u);
    EXPECT_EQ(
        d.fw->control({"state", "1"}).find("filter=on ranges=std:100-1ff") != std::string::npos,
        true);
}

TEST_F(FdSimFilters, ExtendedAnyAndSeveralRanges) {
    EXPECT_EQ(command(*d.dev, filterCmd(3, 1, 0x18DA0000, 0x18DAFFFF)), ok(3, 1));
    // Operation 5 with zero identifiers announces the mode; no range yet.
    EXPECT_EQ(command(*d.dev, filterCmd(5, 1, 0, 0)), ok(5, 1));
    EXPECT_EQ(d.fw->channel(1).ranges.size(), 1u);
    EXPECT_EQ(command(*d.dev, filterCmd(5, 1, 0x10, 0x20)), ok(5, 1));
    EXPECT_EQ(command(*d.dev, filterCmd(4, 1, 0, 0)), ok(4, 1));
    EXPECT_EQ(offer(0x18DA10F1, true), InjectResult::Delivered);
    EXPECT_EQ(offer(0x18DB10F1, true), InjectResult::Filtered);
    EXPECT_EQ(offer(0x15, false), InjectResult::Delivered);  // any-kind range
    EXPECT_EQ(offer(0x15, true), InjectResult::Delivered);
    EXPECT_EQ(offer(0x21, false), InjectResult::Filtered);
    // Clearing disables the filter and forgets the ranges.
    EXPECT_EQ(command(*d.dev, filterCmd(1, 1, 0, 0)), ok(1, 1));
    EXPECT_EQ(offer(0x21, false), InjectResult::Delivered);
    EXPECT_TRUE(d.fw->channel(1).ranges.empty());
    // Enabled with no range: nothing is accepted.
    EXPECT_EQ(command(*d.dev, filterCmd(4, 1, 0, 0)), ok(4, 1));
    EXPECT_EQ(offer(0x21, false), InjectResult::Filtered);
}

TEST_F(FdSimFilters, BadRangesAndOperationsAreRefused) {
    const struct {
        uint8_t op;
        uint32_t start, end;
        uint8_t status;
    } cases[] = {
        {2, 0x200, 0x100, 0x02},     // start above end
        {2, 0x000, 0x800, 0x02},     // beyond 11 bits
        {3, 0x0, 0x20000000, 0x02},  // beyond 29 bits
        {5, 0x0, 0xFFFFFFFF, 0x02},
        {0, 0, 0, 0x02},  // no operation 0
        {6, 0, 0, 0x02},
        {0xFF, 1, 2, 0x02},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(command(*d.dev, filterCmd(c.op, 1, c.start, c.end)),
                  (Bytes{0x55, 0x04, 0x03, c.status, c.op, 0x10}))
            << "op " << int(c.op);
    }
    EXPECT_TRUE(d.fw->channel(1).ranges.empty());
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(command(*d.dev, filterCmd(2, 1, i, i)), ok(2, 1));
    }
    EXPECT_EQ(command(*d.dev, filterCmd(2, 1, 9, 9)), (Bytes{0x55, 0x04, 0x03, 0x05, 0x02, 0x10}));
    EXPECT_EQ(d.fw->channel(1).ranges.size(), 8u);
}

TEST_F(FdSimFilters, AppliesToBusFramesAndGeneratorFrames) {
    bringUp(*d.dev, 0, 60, k60_500k, k60_2M);
    ASSERT_EQ(command(*d.dev, filterCmd(2, 1, 0x100, 0x10F)), ok(2, 1));
    ASSERT_EQ(command(*d.dev, filterCmd(4, 1, 0, 0)), ok(4, 1));
    // Channel 0 sends 0x0FF..0x110 to channel 1 over the loopback pair.
    std::vector<TxRecord> recs;
    for (uint32_t id = 0x0FF; id <= 0x108; ++id) {
        recs.push_back(TxRecord{0, 0, id, 0, {}});
    }
    EXPECT_EQ(sendPacket(*d.dev, packet(recs)), (Bytes{0x55, 0xF2, 0x00, 10}));
    const auto got = collect(*d.dev, 9, 2000);
    ASSERT_EQ(got.size(), 9u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, 0x100 + i);
        EXPECT_EQ(got[i].ch, 1);
    }
    EXPECT_EQ(d.fw->channel(1).filtered, 1u);
    // A generator starting at 0x0F8 with 32 frames: 16 of them are in range.
    ksim::GeneratorConfig g;
    g.len = 2;
    g.pace = ksim::GeneratorConfig::Pace::Max;
    g.count = 32;
    g.firstId = 0x0F8;
    std::string why;
    ASSERT_TRUE(d.fw->startGenerator(1, g, &why)) << why;
    const auto gen = collect(*d.dev, 16, 2000);
    ASSERT_EQ(gen.size(), 16u);
    EXPECT_EQ(gen.front().id, 0x100u);
    EXPECT_EQ(gen.back().id, 0x10Fu);
    const auto stats = d.fw->generatorStats(1);
    EXPECT_EQ(stats.delivered, 16u);
    EXPECT_EQ(stats.filtered, 16u);
}

}  // namespace
