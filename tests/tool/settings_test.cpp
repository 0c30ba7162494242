// Options into settings and their summary, the model and bit-rate tables, and
// the traffic statistics.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/models.h"
#include "app/options.h"
#include "app/statistics.h"
#include "process.h"

namespace {

struct Parsed {
    CanAst ast{};
    TaskTxConfig tx = defaultTaskTxConfig();
    char message[kMessageTextSize] = {};
    ParsedOptions result;
    std::string line1, line2;
};

// Parses and validates like main does, then formats the summary.
Parsed parse(std::vector<std::string> args) {
    Parsed p;
    std::vector<char*> argv = {const_cast<char*>("kestrun")};
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    p.result = parseOptions(static_cast<int>(args.size() + 1), argv.data(), p.ast, p.tx, p.message);
    testproc::stdoutOf([&] { validateSettings(p.result, p.ast, p.tx, p.message); });
    char line1[512], line2[512];
    formatSettingSummary(p.ast, p.tx, line1, line2, sizeof line1);
    p.line1 = line1;
    p.line2 = line2;
    return p;
}

TEST(Settings, SummaryShowsWhatEveryOptionSet) {
    const std::tuple<std::vector<std::string>, const char*, const char*> rows[] = {
        {{"-D", "ZARO3018", "-c", "15", "-i", "2", "-a", "500000", "-d", "2000000", "--iso", "1",
          "-r", "--status"},
         "ZARO3018 设备索引->2 通道->15 模式->接收 FD开关->开启 仲裁域->500000bps "
         "数据域->2000000bps ISO->1",
         ""},
        {{"-D", "DUNLINFD2", "-a", "500000", "-s", "-m", "C#S#D#1#00"},
         "DUNLINFD2 设备索引->0 通道->0 模式->发送 波特率->500000bps",
         "发送间隔->1000 毫秒 发送次数->1 回显->关闭 BRS->0"},
        {{"-D",         "DUNLIN1", "-a",       "125000", "-s",        "-r", "-e",
          "-b",         "-m",      "x",        "-p",     "0",         "-n", "4294967295",
          "--id-start", "0x100",   "--id-end", "1FF",    "--id-step", "3"},
         "DUNLIN1 设备索引->0 通道->0 模式->接收 波特率->125000bps",
         "发送间隔->0 毫秒 发送次数->4294967295 回显->开启 BRS->1 开始ID->0x100 结束ID->0x1ff "
         "步长->3"},
        {{"-D", "DUNLIN2", "-a", "1", "-s", "-m", "x", "--id-start", "10", "--id-end", "1F",
          "--id-random"},
         "DUNLIN2 设备索引->0 通道->0 模式->发送 波特率->1bps",
         "发送间隔->1000 毫秒 发送次数->1 回显->关闭 BRS->0 开始ID->0x10 结束ID->0x1f 步长->随机"},
        // One bound alone switches the sweep on.
        {{"-s", "--id-end", "7ff"},
         "Unknown 设备索引->0 通道->0 模式->发送 波特率->0bps",
         "发送间隔->1000 毫秒 发送次数->1 回显->关闭 BRS->0 开始ID->0x0 结束ID->0x7ff 步长->1"},
        {{"-D", "ZARO2014", "-a", "2", "--status"},
         "ZARO2014 设备索引->0 通道->0 模式->状态查看 波特率->2bps",
         ""},
        {{}, "Unknown 设备索引->0 通道->0 模式->错误 波特率->0bps", ""},
    };
    for (const auto& [args, line1, line2] : rows) {
        Parsed p = parse(args);
        EXPECT_TRUE(p.result.valueError.empty()) << p.result.valueError;
        EXPECT_EQ(p.line1, line1);
        EXPECT_EQ(p.line2, line2);
    }
}

TEST(Settings, ParsingStopsAtHelpAndVersionAndKeepsTheMessage) {
    Parsed help = parse({"-c", "3", "-h", "-c", "5"});
    EXPECT_EQ(help.result.action, ParseAction::ShowHelp);
    EXPECT_EQ(help.ast.channel, 3u);
    EXPECT_EQ(parse({"-v", "-h"}).result.action, ParseAction::ShowVersion);
    Parsed message = parse({"-m", std::string(2000, 'A'), "-e"});
    EXPECT_EQ(strlen(message.message), 1023u);
    EXPECT_EQ(message.tx.echo, 1);
}

// SJA1000 bit timing at 16 MHz: the bit rate BTR0/BTR1 give.
uint32_t btrRate(uint8_t t0, uint8_t t1) {
    uint32_t quanta = 1 + (t1 & 0x0F) + 1 + ((t1 >> 4) & 0x07) + 1;
    return 16000000 / (2 * ((t0 & 0x3F) + 1)) / quanta;
}

TEST(Models, TimingTablesGiveTheirRatesAndRefuseOthers) {
    for (uint32_t rate : {50000u, 100000u, 125000u, 250000u, 500000u, 800000u, 1000000u}) {
        uint8_t t0 = 0, t1 = 0;
        ASSERT_EQ(dunlin2GetTimingParams(rate, &t0, &t1), 0) << rate;
        EXPECT_EQ(btrRate(t0, t1), rate);
        // CAN FD adapters take the same arbitration rates, with any data rate.
        EXPECT_EQ(dunlinfd2ChkTimingParams(67, rate, 123), 0) << rate;
    }
    for (uint32_t kbps :
         {5u, 10u, 20u, 40u, 50u, 80u, 100u, 125u, 250u, 400u, 500u, 666u, 800u, 1000u}) {
        uint8_t t0 = 0, t1 = 0;
        ASSERT_EQ(get_baudrate_timing(kbps, &t0, &t1), 0) << kbps;
        EXPECT_EQ(btrRate(t0, t1) / 1000, kbps);
    }
    for (uint32_t rate : {0u, 1u, 200u, 49999u, 300000u, 2000000u}) {
        uint8_t t = 0xEE;
        EXPECT_EQ(dunlin2GetTimingParams(rate, &t, &t), -1) << rate;
        EXPECT_EQ(get_baudrate_timing(rate, &t, &t), -1) << rate;
        EXPECT_EQ(t, 0xEE);
        EXPECT_EQ(dunlinfd2ChkTimingParams(41, rate, 0), -1) << rate;
    }
    EXPECT_EQ(
        get_baudrate_timing(5, nullptr, nullptr) + dunlin2GetTimingParams(50000, nullptr, nullptr),
        0);
}

TEST(Models, NamesAndFdCapabilityAtTheEdgesOfTheTables) {
    const std::tuple<uint32_t, const char*, int32_t> rows[] = {
        {2, "Unknown", -1},   {3, "DUNLIN1", -1},  {40, "Unknown", -1},
        {41, "DUNLINFD2", 0}, {44, "Unknown", -1}, {66, "ZARO2018", -1},
        {67, "ZARO3018", 0},  {68, "Unknown", -1}, {0xFFFFFFFF, "Unknown", -1}};
    for (auto [type, name, fd] : rows) {
        EXPECT_STREQ(deviceNameGetByType(type), name);
        EXPECT_EQ(deviceFdIsSupport(type), fd) << type;
        EXPECT_EQ(deviceTypeGetByName(name), strcmp(name, "Unknown") ? type : 0u);
    }
    EXPECT_EQ(deviceTypeGetByName(nullptr), 0u);
}

std::string golden(const char* name) {
    std::ifstream in(std::string(TOOL_GOLDEN_DIR "/") + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(Statistics, TextAndJsonBlocks) {
    // Counters, start time, rates (fps, Kbps for tx and rx).
    const statistics_t s{10, 80,    2,    UINT64_MAX, 5, 1, 1000, 0,
                         10, 3.333, 0.64, 1234.567,   0, 0, 0,    0};
    char buf[kStatsTextMax + kStatsJsonMax];
    EXPECT_EQ(std::string(buf, stats_format_text(buf, sizeof buf, s, "DUNLINFD2", 3, 1065)),
              golden("statistics.txt"));
    EXPECT_EQ(std::string(buf, stats_format_json(buf, sizeof buf, s, "ZARO3018", 1, 1005)),
              golden("statistics.json"));
    // Quotes and control characters in a name stay a valid JSON string.
    std::string json(buf, stats_format_json(buf, sizeof buf, s, "a\"b\\c\n\x01", 0, 0));
    EXPECT_NE(json.find(R"("device": "a\"b\\c\u000a\u0001",)"), std::string::npos) << json;
    statistics_t fresh;
    stats_init(&fresh);
    std::string out = testproc::stdoutOf([&] {
        stats_display(&fresh, "DUNLIN1", 0);
        stats_display_json(&fresh, nullptr, 2);
    });
    EXPECT_NE(out.find("CAN Statistics - DUNLIN1 Channel 0\n"), std::string::npos);
    EXPECT_NE(out.find("\"device\": \"Unknown\",\n  \"channel\": 2,\n  \"elapsed_time\": "),
              std::string::npos);
    EXPECT_EQ(testproc::countOf(out, "0.00 fps (0.00 Kbps)\n"), 2) << out;
}

TEST(Statistics, InitAndRatesOfOneInterval) {
    statistics_t s;
    memset(&s, 0x5A, sizeof s);
    int64_t before = time(nullptr);
    stats_init(&s);
    EXPECT_GE(s.startTime, before);
    EXPECT_LE(s.startTime, time(nullptr));
    statistics_t zero{};
    zero.startTime = zero.lastUpdate = s.startTime;
    EXPECT_EQ(memcmp(&zero, &s, sizeof s), 0);

    for (int i = 0; i < 10; ++i) {
        stats_update_tx(&s, 1, 8, 0);
    }
    stats_update_tx(&s, 0, 0, 1);
    stats_update_rx(&s, 3, 192, 2);
    stats_calculate_rate(&s);
    using Counts = std::vector<uint64_t>;
    EXPECT_EQ(Counts({s.txFrames, s.txBytes, s.txFailed, s.rxFrames, s.rxBytes, s.rxDropped}),
              Counts({10, 80, 1, 3, 192, 2}));
    EXPECT_DOUBLE_EQ(s.txFps, 10.0);
    EXPECT_DOUBLE_EQ(s.txKbps, 0.64);
    EXPECT_DOUBLE_EQ(s.rxFps, 3.0);
    EXPECT_DOUBLE_EQ(s.rxKbps, 1.536);
    stats_update_rx(&s, 1, 2, 0);
    stats_calculate_rate(&s);  // only the new frame counts
    EXPECT_EQ(s.txFps + s.txKbps, 0.0);
    EXPECT_DOUBLE_EQ(s.rxFps, 1.0);
    EXPECT_DOUBLE_EQ(s.rxKbps, 0.016);
}

// Concurrent updates lose nothing, and the rate computations running
// meanwhile see each frame exactly once.
TEST(Statistics, ConcurrentUpdatesSumCorrectly) {
    statistics_t s;
    stats_init(&s);
    constexpr uint64_t kThreads = 4, kPerThread = 100000;
    std::atomic<bool> go{false}, done{false};
    double txFps = 0, rxKbps = 0;
    std::thread rates([&] {
        while (!done.load()) {
            stats_calculate_rate(&s);
            txFps += s.txFps;
            rxKbps += s.rxKbps;
            statistics_t copy;
            stats_snapshot(&s, &copy);
            EXPECT_LE(copy.lastTxFrames, copy.txFrames);
        }
    });
    std::vector<std::thread> workers;
    for (uint64_t t = 0; t < kThreads; ++t) {
        workers.emplace_back([&] {
            while (!go.load()) {  // start together so that the adds overlap
                std::this_thread::yield();
            }
            for (uint64_t i = 0; i < kPerThread; ++i) {
                stats_update_tx(&s, 1, 8, i % 2);
                stats_update_rx(&s, 1, 64, 0);
            }
        });
    }
    go = true;
    for (std::thread& w : workers) {
        w.join();
    }
    done = true;
    rates.join();
    stats_calculate_rate(&s);
    const uint64_t total = kThreads * kPerThread;
    using Counts = std::vector<uint64_t>;
    EXPECT_EQ(Counts({s.txFrames, s.txBytes, s.txFailed, s.rxFrames, s.rxBytes}),
              Counts({total, total * 8, total / 2, total, total * 64}));
    EXPECT_EQ(txFps + s.txFps, static_cast<double>(total));
    // Many inexact Kbps values drift a little; a lost frame is 0.512 Kbps.
    EXPECT_NEAR(rxKbps + s.rxKbps, total * 64 * 8 / 1000.0, 0.01);
}

}  // namespace
