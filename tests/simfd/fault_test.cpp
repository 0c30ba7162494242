// Fault switches, through the C++ API and the control commands.
#include "simfd_util.h"

#include <thread>

using namespace simfd;
using Ms = std::chrono::milliseconds;

namespace {

class FdSimFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        d = makeDevice(kVidDunlin, kPidDunlin, 52);
        bringUp(*d.dev, 0, 60, k60_500k, k60_2M);
        bringUp(*d.dev, 1, 60, k60_500k, k60_2M);
    }
    std::string ctl(std::vector<std::string> words) { return d.dev->control(words); }
    Device d;
};

TEST_F(FdSimFaults, NoReplyLeavesTheCommandUndone) {
    EXPECT_EQ(ctl({"fault", "noreply", "0f"}), "ok");
    EXPECT_EQ(command(*d.dev, stopCmd(0), 100), Bytes{});
    EXPECT_TRUE(d.fw->channel(0).started);
    EXPECT_EQ(command(*d.dev, stopCmd(1), 100), Bytes{});
    // Other codes are answered.
    EXPECT_EQ(command(*d.dev, {0x55, 0x13, 0x01, 0x01}), (Bytes{0x55, 0x13, 0x02, 0x00, 0x02}));
    EXPECT_EQ(ctl({"fault", "noreply", "0x0f", "off"}), "ok");
    EXPECT_EQ(command(*d.dev, stopCmd(0)), (Bytes{0x55, 0x0F, 0x02, 0x00, 0x00}));
    EXPECT_EQ(d.fw->counters().suppressedReplies, 2u);
    d.fw->setNoReply(0xA7, true);  // the direct transfer is keyed by 0xA7
    EXPECT_EQ(command(*d.dev, {0x12, 0xA7, 1}, 100), Bytes{});
    EXPECT_EQ(command(*d.dev, {0x55, 0x12, 0x01, 0x01}).size(), 6u);
}

TEST_F(FdSimFaults, FailingStatusByteKeepsTheReplyShape) {
    EXPECT_EQ(ctl({"fault", "status", "03", "01"}), "ok");
    EXPECT_EQ(command(*d.dev, bitTiming(0, 60, k60_1M, k60_5M)),
              (Bytes{0x55, 0x03, 0x02, 0x01, 0x00}));
    EXPECT_EQ(d.fw->channel(0).arbRate, 500000u);  // not applied
    d.fw->setReplyStatus(0x04, 0x09);
    EXPECT_EQ(command(*d.dev, filterCmd(2, 0, 1, 2)), (Bytes{0x55, 0x04, 0x03, 0x09, 0x02, 0x00}));
    EXPECT_TRUE(d.fw->channel(0).ranges.empty());
    d.fw->setReplyStatus(0x01, 0x80);
    EXPECT_EQ(command(*d.dev, {0x55, 0x01, 0x01, 0x01}),
              (Bytes{0x55, 0x01, 0x03, 0x80, 0x01, 0x10}));
    EXPECT_EQ(ctl({"fault", "status", "off"}), "ok");
    EXPECT_EQ(command(*d.dev, bitTiming(0, 60, k60_1M, k60_5M)),
              (Bytes{0x55, 0x03, 0x02, 0x00, 0x00}));
}

TEST_F(FdSimFaults, ForeignCommandCode) {
    EXPECT_EQ(ctl({"fault", "foreign", "0e", "13"}), "ok");
    ASSERT_EQ(command(*d.dev, stopCmd(0)), (Bytes{0x55, 0x0F, 0x02, 0x00, 0x00}));
    EXPECT_EQ(command(*d.dev, startCmd(0)), (Bytes{0x55, 0x13, 0x02, 0x00, 0x00}));
    EXPECT_FALSE(d.fw->channel(0).started);
    d.fw->setForeignReply(0x0E, std::nullopt);
    EXPECT_EQ(command(*d.dev, startCmd(0)), (Bytes{0x55, 0x0E, 0x02, 0x00, 0x00}));
}

TEST_F(FdSimFaults, TruncatedReplyStillCarriesTheRequestOut) {
    ASSERT_EQ(command(*d.dev, stopCmd(0)), (Bytes{0x55, 0x0F, 0x02, 0x00, 0x00}));
    EXPECT_EQ(ctl({"fault", "truncate", "0e", "3"}), "ok");
    EXPECT_EQ(command(*d.dev, startCmd(0)), (Bytes{0x55, 0x0E, 0x02}));
    EXPECT_TRUE(d.fw->channel(0).started);
    d.fw->setReplyTruncate(0x0E, std::nullopt);
    EXPECT_EQ(command(*d.dev, startCmd(0)).size(), 5u);
}

TEST_F(FdSimFaults, ReplyLatency) {
    EXPECT_EQ(ctl({"fault", "latency", "400000"}), "ok");
    const Bytes q{0x55, 0x13, 0x01, 0x01};
    int n = 0;
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(d.dev->transferOut(0x01, q.data(), 4, 100, &n), LIBUSB_SUCCESS);
    uint8_t buf[64];
    EXPECT_EQ(d.dev->transferIn(0x81, buf, 64, 50, &n), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(d.dev->transferIn(0x81, buf, 64, 2000, &n), LIBUSB_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, Ms(399));
    EXPECT_EQ(n, 5);
}

TEST_F(FdSimFaults, AcknowledgementsWithheldAndDelayed) {
    const Bytes p = packet({TxRecord{0, 0, 0x1, 0, {}}});
    EXPECT_EQ(ctl({"fault", "ack", "withhold"}), "ok");
    EXPECT_EQ(sendPacket(*d.dev, p, 100), Bytes{});
    EXPECT_EQ(collect(*d.dev, 1, 1000).size(), 1u);  // the frame itself went out
    EXPECT_EQ(d.fw->counters().withheldAcks, 1u);
    EXPECT_EQ(ctl({"fault", "ack", "deliver"}), "ok");
    EXPECT_EQ(ctl({"fault", "ack-latency", "125"}), "ok");
    // 100 packets with a 125 us latency each, read one after another.
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(sendPacket(*d.dev, p), (Bytes{0x55, 0xF2, 0x00, 0x01}));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::microseconds(12500));
    d.fw->setAckLatencyUs(400000);
    int n = 0;
    ASSERT_EQ(d.dev->transferOut(0x02, p.data(), static_cast<int>(p.size()), 100, &n),
              LIBUSB_SUCCESS);
    uint8_t buf[64];
    EXPECT_EQ(d.dev->transferIn(0x82, buf, 64, 50, &n), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(d.dev->transferIn(0x82, buf, 64, 2000, &n), LIBUSB_SUCCESS);
}

TEST_F(FdSimFaults, GarbageComesBeforeTheNextPacket) {
    EXPECT_EQ(ctl({"fault", "garbage-hex", "55f2000000000000a5"}), "ok");
    EXPECT_EQ(readStream(*d.dev, 100), (Bytes{0x55, 0xF2, 0, 0, 0, 0, 0, 0, 0xA5}));
    EXPECT_EQ(ctl({"fault", "garbage", "300"}), "ok");
    ASSERT_EQ(sendPacket(*d.dev, packet({TxRecord{0, 0, 0x33, 0, {}}})), (Bytes{0x55, 0xF2, 0, 1}));
    const Bytes g = readStream(*d.dev, 100);
    ASSERT_EQ(g.size(), 300u);
    for (size_t i = 1; i < g.size(); ++i) {
        EXPECT_FALSE(g[i - 1] == 0x55 && g[i] == 0xF2) << i;
    }
    const auto recs = parsePackets(readStream(*d.dev, 100));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].id, 0x33u);
}

TEST_F(FdSimFaults, StreamPacketsSplitAtTheChosenByte) {
    for (size_t at : {1u, 3u, 7u, 8u, 20u}) {
        d.fw->setStreamSplit(at);
        ASSERT_EQ(sendPacket(*d.dev, packet({TxRecord{0, 0, 0x44, 2, {1, 2}}})),
                  (Bytes{0x55, 0xF2, 0, 1}));
        const Bytes first = readStream(*d.dev, 500);
        const Bytes rest = readStream(*d.dev, 500);
        EXPECT_EQ(first.size(), at);
        EXPECT_EQ(first.size() + rest.size(), 26u);
        Bytes whole = first;
        whole.insert(whole.end(), rest.begin(), rest.end());
        const auto recs = parsePackets(whole);
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(recs[0].data, (Bytes{1, 2}));
    }
    EXPECT_EQ(ctl({"fault", "split", "off"}), "ok");
    ASSERT_EQ(sendPacket(*d.dev, packet({TxRecord{0, 0, 0x44, 0, {}}})), (Bytes{0x55, 0xF2, 0, 1}));
    EXPECT_EQ(readStream(*d.dev, 500).size(), 26u);
}

TEST_F(FdSimFaults, ShowAndClearAndRefuseBadFaultCommands) {
    d.fw->setNoReply(0x0E, true);
    d.fw->setReplyStatus(0x03, 0x01);
    d.fw->setAckWithheld(true);
    d.fw->setStreamSplit(5);
    d.fw->setReplyTruncate(0x01, 12);
    EXPECT_EQ(ctl({"faults"}),
              "noreply=0e status=03:01 foreign=- truncate=01:12 latency_us=0 ack=withhold "
              "ack_latency_us=0 garbage_pending=0 split=5");
    EXPECT_EQ(ctl({"fault", "clear"}), "ok");
    EXPECT_EQ(ctl({"faults"}),
              "noreply=- status=- foreign=- truncate=- latency_us=0 ack=deliver "
              "ack_latency_us=0 garbage_pending=0 split=0");
    const std::vector<std::vector<std::string>> bad = {
        {"fault"},
        {"fault", "noreply"},
        {"fault", "noreply", "1ff"},
        {"fault", "status", "03"},
        {"fault", "status", "03", "100"},
        {"fault", "truncate", "01", "65"},
        {"fault", "latency", "-5"},
        {"fault", "latency", "99999999999"},
        {"fault", "ack", "maybe"},
        {"fault", "garbage", "0"},
        {"fault", "garbage-hex", "abc"},
        {"fault", "split", "0"},
        {"fault", "bogus", "1"},
    };
    for (const auto& words : bad) {
        EXPECT_EQ(ctl(words).rfind("error:", 0), 0u) << words.size() << " " << words.back();
    }
}

}  // namespace
