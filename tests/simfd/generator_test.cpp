// Traffic generators: pace, count, frame content, and throughput.
#include "simfd_util.h"

#include <thread>

#include "bus/frame_timing.h"

using namespace simfd;
using ksim::GeneratorConfig;
using Clock = std::chrono::steady_clock;

namespace {

GeneratorConfig config(GeneratorConfig::Pace pace, double fps = 0, uint64_t count = 0) {
    GeneratorConfig c;
    c.pace = pace;
    c.framesPerSecond = fps;
    c.count = count;
    return c;
}

TEST(FdSimGenerator, FramesCarryIncrementingIdentifierAndPayload) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 60);
    bringUp(*d.dev, 0, 60, k60_1M, k60_5M);
    EXPECT_EQ(
        d.dev->control({"gen", "start", "0", "F", "E", "12", "max", "300", "brs", "id=1ffffff0"}),
        "ok fps=max");
    const auto got = collect(*d.dev, 300, 3000);
    ASSERT_EQ(got.size(), 300u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, (0x1FFFFFF0u + i) & 0x1FFFFFFFu) << i;  // wraps at 29 bits
        EXPECT_EQ(got[i].flags, 0x01 | 0x04 | 0x10);
        ASSERT_EQ(got[i].len, 12);
        const uint32_t seq = le32(got[i].data.data());
        EXPECT_EQ(seq, i);
        for (size_t k = 4; k < 12; ++k) {
            EXPECT_EQ(got[i].data[k], static_cast<uint8_t>(i + k));
        }
    }
    EXPECT_EQ(d.dev->control({"gen", "count", "0"}),
              "produced=300 delivered=300 filtered=0 lost=0 running=0");
    EXPECT_EQ(readStream(*d.dev, 20), Bytes{});
}

TEST(FdSimGenerator, FixedRateIsAccurateAndStopsAtItsCount) {
    Device d = makeDevice(kVidZaro, kPid3014, 60);
    bringUp(*d.dev, 2, 60, k60_500k, k60_2M);
    std::string why;
    ASSERT_TRUE(d.fw->startGenerator(2, config(GeneratorConfig::Pace::Rate, 2000), &why)) << why;
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto s = d.fw->generatorStats(2);
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    // produced counts frames whose time has come: 2000/s within one frame
    // of the time measured around it.
    EXPECT_GE(s.produced, static_cast<uint64_t>(2000 * 0.3) - 1);
    EXPECT_LE(s.produced, static_cast<uint64_t>(2000 * elapsed) + 1);
    EXPECT_TRUE(s.running);

    ASSERT_TRUE(d.fw->startGenerator(2, config(GeneratorConfig::Pace::Rate, 5000, 250), &why));
    const auto got = collect(*d.dev, 250, 5000);
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    ASSERT_EQ(got.size(), 250u);
    // Time stamps follow the pace: 200 us apart.
    EXPECT_NEAR(static_cast<double>(got.back().timeStamp - got.front().timeStamp), 249 * 200.0,
                2.0);
    EXPECT_GT(took, 0.3 + 0.049);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto done = d.fw->generatorStats(2);
    EXPECT_EQ(done.produced, 250u);
    EXPECT_EQ(done.delivered, 250u);
    EXPECT_FALSE(done.running);
    EXPECT_EQ(readStream(*d.dev, 30), Bytes{});
}

TEST(FdSimGenerator, WireSpeedFollowsTheChannelBitRates) {
    Device d = makeDevice(kVidZaro, kPid3018, 60);
    bringUp(*d.dev, 0, 80, k80_1M, k80_5M);
    bringUp(*d.dev, 1, 80, k80_500k, k80_2M);
    const struct {
        int ch;
        std::vector<std::string> words;
        double fps;
    } cases[] = {
        {0, {"gen", "start", "0", "F", "S", "0", "wire", "0", "brs"}, 27473},
        {0, {"gen", "start", "0", "F", "S", "64", "wire", "0", "brs"}, 7153},
        {1, {"gen", "start", "1", "F", "S", "64", "wire", "0", "brs"}, 2990},
        {1, {"gen", "start", "1", "C", "S", "8", "wire"}, 4505},
        {0, {"gen", "start", "0", "C", "E", "8", "wire"}, 7634},
    };
    for (const auto& c : cases) {
        const std::string reply = d.dev->control(c.words);
        ASSERT_EQ(reply.rfind("ok fps=", 0), 0u) << reply;
        EXPECT_NEAR(std::stod(reply.substr(7)), c.fps, 0.6) << reply;
        EXPECT_NEAR(d.fw->generatorStats(c.ch).framesPerSecond, c.fps, 0.6);
    }
    EXPECT_EQ(d.dev->control({"gen", "stop", "0"}).rfind("ok produced=", 0), 0u);
    EXPECT_EQ(d.dev->control({"gen", "stop", "1"}).rfind("ok produced=", 0), 0u);
    // Wire speed needs bit rates.
    EXPECT_EQ(d.dev->control({"gen", "start", "5", "C", "S", "8", "wire"}),
              "error: channel 5 has no bit rates yet");
}

TEST(FdSimGenerator, FramesForAStoppedChannelAreLost) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 61);
    ASSERT_EQ(command(*d.dev, bitTiming(1, 60, k60_500k, k60_2M)),
              (Bytes{0x55, 0x03, 0x02, 0x00, 0x01}));
    std::string why;
    ASSERT_TRUE(d.fw->startGenerator(1, config(GeneratorConfig::Pace::Rate, 10000), &why));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(readStream(*d.dev, 10), Bytes{});
    ASSERT_EQ(command(*d.dev, startCmd(1)), (Bytes{0x55, 0x0E, 0x02, 0x00, 0x10}));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(d.fw->stopGenerator(1));
    const auto got = collect(*d.dev, 1000000, 300);
    const auto s = d.fw->generatorStats(1);
    EXPECT_GE(s.lost, 400u);  // 50 ms at 10,000/s before the start
    EXPECT_EQ(s.delivered, got.size());
    EXPECT_GE(got.size(), 150u);
    EXPECT_EQ(s.produced, s.delivered + s.lost + s.filtered);
}

TEST(FdSimGenerator, BadSettingsAreRefused) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 62);
    ASSERT_EQ(command(*d.dev, bitTiming(0, 60, k60_500k, k60_500k, 0, 0, 0)),
              (Bytes{0x55, 0x03, 0x02, 0x00, 0x00}));
    const std::vector<std::vector<std::string>> bad = {
        {"gen", "start", "2", "C", "S", "8", "100"},   // channel beyond 2
        {"gen", "start", "1", "C", "S", "9", "100"},   // classic length
        {"gen", "start", "1", "F", "S", "13", "100"},  // not an FD length
        {"gen", "start", "0", "F", "S", "8", "100"},   // classic-only channel
        {"gen", "start", "1", "C", "S", "8", "0"},     // rate 0
        {"gen", "start", "1", "C", "S", "8", "fast"},
        {"gen", "start", "1", "X", "S", "8", "100"},
        {"gen", "start", "1", "C", "S", "8", "100", "10", "brs"},  // brs is FD only
        {"gen", "start", "1", "C", "S", "8", "100", "id=zz"},
        {"gen", "start", "1"},
        {"gen", "count", "9"},
        {"gen", "stop", "x"},
        {"gen"},
    };
    for (const auto& words : bad) {
        EXPECT_EQ(d.dev->control(words).rfind("error:", 0), 0u) << words.size();
    }
}

// At least ten times the wire-speed rate of an 8-channel adapter sending
// 0-byte FD frames at 1M/5M: 8 x 27,473 x 10 = 2.2 million frames/s.
constexpr double kTenTimesWire = 10 * 27473.0;

class FdSimThroughput : public ::testing::Test {
  protected:
    void SetUp() override {
        d = makeDevice(kVidZaro, kPid3018, 63);
        for (uint8_t ch = 0; ch < 8; ++ch) {
            bringUp(*d.dev, ch, 80, k80_1M, k80_5M);
        }
    }
    void startAll(GeneratorConfig c) {
        c.fd = true;
        c.brs = true;
        std::string why;
        for (int ch = 0; ch < 8; ++ch) {
            ASSERT_TRUE(d.fw->startGenerator(ch, c, &why)) << why;
        }
    }
    ksim::fd::GeneratorStats total() {
        ksim::fd::GeneratorStats t;
        for (int ch = 0; ch < 8; ++ch) {
            const auto s = d.fw->generatorStats(ch);
            t.produced += s.produced;
            t.delivered += s.delivered;
            t.lost += s.lost;
        }
        return t;
    }
    Device d;
};

TEST_F(FdSimThroughput, AsFastAsTheHostReads) {
    startAll(config(GeneratorConfig::Pace::Max));
    std::vector<uint8_t> buf(4096);
    uint64_t bytes = 0;
    const auto t0 = Clock::now();
    double elapsed = 0;
    while (elapsed < 0.5) {
        int n = 0;
        ASSERT_EQ(d.dev->transferIn(0x83, buf.data(), 4096, 1000, &n), LIBUSB_SUCCESS);
        bytes += static_cast<uint64_t>(n);
        elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    }
    const uint64_t frames = total().delivered;
    const double fps = static_cast<double>(frames) / elapsed;
    std::printf("generator throughput: %.0f frames/s (%.1f MB/s)\n", fps, bytes / elapsed / 1e6);
    EXPECT_GE(frames * 75, bytes - bytes / 50);  // full packets of 75-byte records
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_GE(fps, 8 * kTenTimesWire);
#endif
}

TEST_F(FdSimThroughput, TenTimesWireSpeedOnEightChannelsLosesNothing) {
    startAll(config(GeneratorConfig::Pace::Rate, kTenTimesWire));
    std::vector<uint8_t> buf(4096);
    const auto t0 = Clock::now();
    while (Clock::now() - t0 < std::chrono::milliseconds(300)) {
        int n = 0;
        ASSERT_EQ(d.dev->transferIn(0x83, buf.data(), 4096, 1000, &n), LIBUSB_SUCCESS);
    }
    for (int ch = 0; ch < 8; ++ch) {
        ASSERT_TRUE(d.fw->stopGenerator(ch));
    }
    // Drain what was produced up to the stop.
    int n = 0;
    while (d.dev->transferIn(0x83, buf.data(), 4096, 50, &n) == LIBUSB_SUCCESS) {
    }
    const auto t = total();
    EXPECT_GE(static_cast<double>(t.produced), 8 * kTenTimesWire * 0.3 * 0.99);
    EXPECT_EQ(t.lost, 0u);
    EXPECT_EQ(t.delivered, t.produced);
}

}  // namespace
