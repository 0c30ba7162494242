// The received stream: a tight byte stream of 19-byte records, read 64
// bytes at a time, with waits, split reads, garbage and generators.
#include "simclassic_util.h"

#include <algorithm>
#include <thread>

using namespace simcl;

namespace {

ksim::BusFrame frame(uint32_t id, uint8_t len) {
    ksim::BusFrame f;
    f.id = id;
    f.len = len;
    for (uint8_t i = 0; i < len; ++i) {
        f.data[i] = static_cast<uint8_t>(id + i);
    }
    return f;
}

TEST(ClassicStream, A64ByteReadCarriesThreeRecordsAndSevenBytesOfTheFourth) {
    Classic d = makeClassic(40);
    bringUp(*d.dev, 0, k500k);
    for (uint32_t id = 1; id <= 4; ++id) {
        ASSERT_EQ(d.fw->inject(0, frame(id, 8)), ksim::classic::ClassicInject::Delivered);
    }
    const Bytes first = readStream(*d.dev, 100, 64);
    ASSERT_EQ(first.size(), 64u);
    const Bytes second = readStream(*d.dev, 100, 64);
    ASSERT_EQ(second.size(), 12u);
    Bytes all = first;
    all.insert(all.end(), second.begin(), second.end());
    const auto got = parseRecords(all);
    ASSERT_EQ(got.size(), 4u);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(got[i].id, i + 1);
        EXPECT_EQ(got[i].len, 8);
        EXPECT_EQ(got[i].data[7], static_cast<uint8_t>(i + 1 + 7));
    }
    EXPECT_EQ(readStream(*d.dev, 30), Bytes{});
    EXPECT_EQ(d.fw->counters().streamBytes, 76u);
}

TEST(ClassicStream, ReadsOfAnySizeCutTheSameByteStream) {
    for (int capacity : {1, 7, 19, 20, 64, 512}) {
        Classic d = makeClassic(41);
        bringUp(*d.dev, 1, k100k);
        for (uint32_t id = 0; id < 10; ++id) {
            d.fw->inject(1, frame(0x700 + id, static_cast<uint8_t>(id % 9)));
        }
        Bytes all;
        for (int i = 0; i < 400 && all.size() < 190; ++i) {
            const Bytes b = readStream(*d.dev, 100, capacity);
            ASSERT_LE(b.size(), static_cast<size_t>(capacity));
            all.insert(all.end(), b.begin(), b.end());
        }
        const auto got = parseRecords(all);
        ASSERT_EQ(got.size(), 10u) << capacity;
        for (uint32_t i = 0; i < 10; ++i) {
            EXPECT_EQ(got[i].id, 0x700 + i) << capacity;
            EXPECT_EQ(got[i].len, i % 9) << capacity;
            EXPECT_EQ(got[i].ch, 1);
        }
    }
}

TEST(ClassicStream, AWaitingReadWakesForAFrameAndTimesOutWithoutOne) {
    Classic d = makeClassic(42);
    bringUp(*d.dev, 0, k500k);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(readStream(*d.dev, 60), Bytes{});
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(60));
    std::thread injector([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        d.fw->inject(0, frame(0x10, 1));
    });
    t0 = std::chrono::steady_clock::now();
    const Bytes b = readStream(*d.dev, 5000);
    injector.join();
    EXPECT_EQ(b.size(), 19u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
}

TEST(ClassicStream, TimeStampsCountMicrosecondsSincePowerOn) {
    Classic d = makeClassic(43);
    bringUp(*d.dev, 0, k500k);
    const uint32_t before = d.fw->adapterMicros();
    d.fw->inject(0, frame(1, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    d.fw->inject(0, frame(2, 0));
    const uint32_t after = d.fw->adapterMicros();
    const auto got = collect(*d.dev, 2, 1000);
    ASSERT_EQ(got.size(), 2u);
    ASSERT_LT(after, 0x1000000u);  // still inside the 24-bit field
    EXPECT_GE(got[0].micros, before);
    EXPECT_GE(got[1].micros - got[0].micros, 20000u);
    EXPECT_LE(got[1].micros, after);
}

TEST(ClassicStream, SplitReadsAndGarbageForTheHostsResynchronisation) {
    Classic d = makeClassic(44);
    bringUp(*d.dev, 0, k500k);
    d.fw->setStreamSplit(5);
    d.fw->inject(0, frame(0x11, 2));
    Bytes all;
    for (int i = 0; i < 10 && all.size() < 19; ++i) {
        const Bytes b = readStream(*d.dev, 100);
        ASSERT_LE(b.size(), 5u);
        all.insert(all.end(), b.begin(), b.end());
    }
    ASSERT_EQ(parseRecords(all).size(), 1u);
    d.fw->clearFaults();
    // Garbage goes out between records, ahead of the next one.
    const Bytes junk{0xAA, 0x01, 0x00, 0x99};
    d.fw->injectGarbage(junk);
    d.fw->inject(0, frame(0x22, 1));
    const Bytes b = readStream(*d.dev, 100);
    ASSERT_EQ(b.size(), 23u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), junk);
    EXPECT_EQ(parseRecords(Bytes(b.begin() + 4, b.end()))[0].id, 0x22u);
    // The control command's garbage never holds a 0x00, so it cannot fake
    // the 01 00 00 of a record.
    ASSERT_EQ(d.dev->control({"fault", "garbage", "300"}), "ok");
    Bytes g;
    for (int i = 0; i < 10 && g.size() < 300; ++i) {
        const Bytes r = readStream(*d.dev, 100, 512);
        g.insert(g.end(), r.begin(), r.end());
    }
    ASSERT_EQ(g.size(), 300u);
    EXPECT_EQ(std::count(g.begin(), g.end(), 0x00), 0);
}

TEST(ClassicStream, WireSpeedGeneratorKeepsEveryFrameInOrder) {
    Classic d = makeClassic(45);
    bringUp(*d.dev, 0, k1M);
    ksim::GeneratorConfig g;
    g.len = 8;
    g.pace = ksim::GeneratorConfig::Pace::Wire;
    g.count = 400;
    g.firstId = 0x100;
    std::string why;
    ASSERT_TRUE(d.fw->startGenerator(0, g, &why)) << why;
    // 111 bits per 8-byte frame at 1 Mbit/s.
    EXPECT_NEAR(d.fw->generatorStats(0).framesPerSecond, 1e6 / 111, 1.0);
    const auto got = collect(*d.dev, 400, 10000);
    ASSERT_EQ(got.size(), 400u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, 0x100 + i) << i;
        EXPECT_EQ(got[i].data[0], static_cast<uint8_t>(i)) << i;
        if (i > 0) {
            // Due times are exact; the clock's microseconds round them.
            const uint32_t gap = (got[i].micros - got[i - 1].micros) & 0xFFFFFF;
            EXPECT_GE(gap, 110u) << i;
            EXPECT_LE(gap, 112u) << i;
        }
    }
    const auto s = d.fw->generatorStats(0);
    EXPECT_EQ(s.delivered, 400u);
    EXPECT_EQ(s.lost, 0u);
    EXPECT_FALSE(s.running);
    // FD frames and lengths above 8 are not for a classic channel.
    g.fd = true;
    EXPECT_FALSE(d.fw->startGenerator(0, g, &why));
    g.fd = false;
    g.len = 9;
    EXPECT_FALSE(d.fw->startGenerator(0, g, &why));
    // Wire pace needs a bit rate.
    g.len = 8;
    EXPECT_FALSE(d.fw->startGenerator(1, g, &why));
}

TEST(ClassicStream, GeneratorFramesForAStoppedChannelAreLost) {
    Classic d = makeClassic(46);
    ASSERT_EQ(command(*d.dev, initCmd(0, 0, k500k.t0, k500k.t1))[2], 0x81);
    ksim::GeneratorConfig g;
    g.pace = ksim::GeneratorConfig::Pace::Rate;
    g.framesPerSecond = 2000;
    std::string why;
    ASSERT_TRUE(d.fw->startGenerator(0, g, &why)) << why;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(readStream(*d.dev, 20), Bytes{});  // not started: nothing to hand out
    EXPECT_GT(d.fw->generatorStats(0).lost, 0u);
    ASSERT_EQ(command(*d.dev, startCmd(0)), (Bytes{0x12, 0x0E, 0x02, 0x00, 0x00}));
    EXPECT_GE(collect(*d.dev, 5, 2000).size(), 5u);
    ASSERT_TRUE(d.fw->stopGenerator(0));
}

}  // namespace
