#include "app/statistics.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "capture_stdout.h"

namespace {

std::string textBlock(const statistics_t& s, const char* name, int channel, int64_t now) {
    char buf[kStatsTextMax];
    return std::string(buf, stats_format_text(buf, sizeof(buf), s, name, channel, now));
}

std::string jsonBlock(const statistics_t& s, const char* name, int channel, int64_t now) {
    char buf[kStatsJsonMax];
    return std::string(buf, stats_format_json(buf, sizeof(buf), s, name, channel, now));
}

// Exit status of Python's JSON parser on text: 0 when it is valid JSON.
int pythonJsonCheck(const std::string& text) {
    FILE* p = popen("python3 -c 'import json,sys; json.load(sys.stdin)' 2>/dev/null", "w");
    if (p == nullptr) {
        return -1;
    }
    fwrite(text.data(), 1, text.size(), p);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

statistics_t sampleRecord() {
    statistics_t s{};
    s.startTime = 1000;
    s.txFrames = 10;
    s.txBytes = 80;
    s.txFailed = 2;
    s.rxFrames = 18446744073709551615ull;
    s.rxBytes = 5;
    s.rxDropped = 1;
    s.txFps = 10;
    s.txKbps = 0.64;
    s.rxFps = 3.333;
    s.rxKbps = 1234.567;
    return s;
}

TEST(AppStats, InitClearsAndStampsStartTime) {
    statistics_t s;
    memset(&s, 0x5A, sizeof(s));
    int64_t before = time(nullptr);
    stats_init(&s);
    int64_t after = time(nullptr);
    EXPECT_GE(s.startTime, before);
    EXPECT_LE(s.startTime, after);
    EXPECT_EQ(s.startTime, s.lastUpdate);
    statistics_t zero{};
    zero.startTime = zero.lastUpdate = s.startTime;
    EXPECT_EQ(0, memcmp(&zero, &s, sizeof(s)));
    stats_init(nullptr);
}

TEST(AppStats, RatesCoverOneInterval) {
    statistics_t s;
    stats_init(&s);
    for (int i = 0; i < 10; ++i) {
        stats_update_tx(&s, 1, 8, 0);
    }
    stats_update_tx(&s, 0, 0, 1);
    for (int i = 0; i < 3; ++i) {
        stats_update_rx(&s, 1, 64, 0);
    }
    stats_calculate_rate(&s);
    EXPECT_EQ(10u, s.txFrames);
    EXPECT_EQ(1u, s.txFailed);
    EXPECT_DOUBLE_EQ(10.0, s.txFps);
    EXPECT_DOUBLE_EQ(0.64, s.txKbps);
    EXPECT_DOUBLE_EQ(3.0, s.rxFps);
    EXPECT_DOUBLE_EQ(1.536, s.rxKbps);
    std::string block = textBlock(s, "DUNLIN2", 0, s.startTime);
    EXPECT_NE(std::string::npos, block.find("TX Rate:        10.00 fps (0.64 Kbps)\n"));

    stats_update_rx(&s, 1, 2, 0);
    stats_calculate_rate(&s);  // only the new frame counts
    EXPECT_DOUBLE_EQ(0.0, s.txFps);
    EXPECT_DOUBLE_EQ(1.0, s.rxFps);
    EXPECT_DOUBLE_EQ(0.016, s.rxKbps);
    stats_calculate_rate(&s);
    EXPECT_EQ(0.0, s.txFps + s.rxFps + s.txKbps + s.rxKbps);

    stats_update_tx(nullptr, 1, 1, 1);
    stats_update_rx(nullptr, 1, 1, 1);
    stats_calculate_rate(nullptr);
}

TEST(AppStats, TextBlockIsByteExact) {
    const std::string expect =
        "\n"
        "========================================\n"
        "  CAN Statistics - DUNLINFD2 Channel 3\n"
        "========================================\n"
        "  Running Time:  65 seconds\n"
        "\n"
        "  TX Statistics:\n"
        "    Frames Sent:    10\n"
        "    Bytes Sent:     80\n"
        "    Failed:         2\n"
        "    TX Rate:        10.00 fps (0.64 Kbps)\n"
        "\n"
        "  RX Statistics:\n"
        "    Frames Received: 18446744073709551615\n"
        "    Bytes Received:  5\n"
        "    Dropped:         1\n"
        "    RX Rate:         3.33 fps (1234.57 Kbps)\n"
        "========================================\n";
    EXPECT_EQ(expect, textBlock(sampleRecord(), "DUNLINFD2", 3, 1065));

    statistics_t fresh;
    stats_init(&fresh);
    std::string out = captureStdout([&] { stats_display(&fresh, "DUNLIN1", 0); });
    long long running = -1;
    size_t at = out.find("  Running Time:  ");
    ASSERT_NE(std::string::npos, at);
    sscanf(out.c_str() + at, "  Running Time:  %lld seconds", &running);
    EXPECT_GE(running, 0);
    EXPECT_LE(running, static_cast<long long>(time(nullptr) - fresh.startTime));
    EXPECT_NE(std::string::npos, out.find("TX Rate:        0.00 fps (0.00 Kbps)\n"));
    EXPECT_NE(std::string::npos, out.find("RX Rate:         0.00 fps (0.00 Kbps)\n"));
    EXPECT_EQ("", captureStdout([] {
                  stats_display(nullptr, "x", 0);
                  stats_display_json(nullptr, "x", 0);
              }));
}

TEST(AppStats, JsonBlockIsByteExactAndValid) {
    const std::string expect =
        "{\n"
        "  \"device\": \"ZARO3018\",\n"
        "  \"channel\": 1,\n"
        "  \"elapsed_time\": 5,\n"
        "  \"tx\": {\n"
        "    \"frames\": 10,\n"
        "    \"bytes\": 80,\n"
        "    \"failures\": 2\n"
        "  },\n"
        "  \"rx\": {\n"
        "    \"frames\": 18446744073709551615,\n"
        "    \"bytes\": 5,\n"
        "    \"drops\": 1\n"
        "  },\n"
        "  \"rates\": {\n"
        "    \"tx_fps\": 10.00,\n"
        "    \"rx_fps\": 3.33,\n"
        "    \"tx_kbps\": 0.64,\n"
        "    \"rx_kbps\": 1234.57\n"
        "  }\n"
        "}\n";
    std::string json = jsonBlock(sampleRecord(), "ZARO3018", 1, 1005);
    EXPECT_EQ(expect, json);
    EXPECT_EQ(0, pythonJsonCheck(json));
    // The checker itself rejects a broken block.
    EXPECT_NE(0, pythonJsonCheck(json.substr(0, json.size() - 2)));
    // A name with quotes and control characters stays a valid JSON string.
    json = jsonBlock(sampleRecord(), "a\"b\\c\n\x01", 0, 0);
    EXPECT_NE(std::string::npos, json.find(R"("device": "a\"b\\c\u000a\u0001",)"));
    EXPECT_EQ(0, pythonJsonCheck(json));
    std::string out = captureStdout([] {
        statistics_t s;
        stats_init(&s);
        stats_display_json(&s, nullptr, 2);
    });
    EXPECT_EQ(0, pythonJsonCheck(out));
}

// Concurrent updates lose nothing, and every rate computation sees each
// frame exactly once.
TEST(AppStats, ConcurrentUpdatesSumCorrectly) {
    statistics_t s;
    stats_init(&s);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200000;
    std::atomic<bool> go{false}, done{false};
    double txFpsSum = 0, rxKbpsSum = 0;
    std::thread rates([&] {
        while (!done.load()) {
            stats_calculate_rate(&s);
            txFpsSum += s.txFps;
            rxKbpsSum += s.rxKbps;
            statistics_t copy;
            stats_snapshot(&s, &copy);
            EXPECT_LE(copy.lastTxFrames, copy.txFrames);
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&] {
            while (!go.load()) {  // start together so the adds overlap
                std::this_thread::yield();
            }
            for (int i = 0; i < kPerThread; ++i) {
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
    txFpsSum += s.txFps;
    rxKbpsSum += s.rxKbps;

    const uint64_t total = uint64_t{kThreads} * kPerThread;
    EXPECT_EQ(total, s.txFrames);
    EXPECT_EQ(total * 8, s.txBytes);
    EXPECT_EQ(total / 2, s.txFailed);
    EXPECT_EQ(total, s.rxFrames);
    EXPECT_EQ(total * 64, s.rxBytes);
    EXPECT_EQ(static_cast<double>(total), txFpsSum);
    // Summing many inexact Kbps values drifts a little; one lost 64-byte
    // frame would be 0.512 Kbps.
    EXPECT_NEAR(static_cast<double>(total * 64 * 8) / 1000.0, rxKbpsSum, 0.01);
}

}  // namespace
