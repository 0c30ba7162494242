// A classic adapter's channel wired to an FD adapter's channel running
// classic CAN at the same bit rate: frames cross in both directions, none is
// lost or doubled when libusb ends a transfer with a time-out part way, and
// the classic and recorder rows of the exported functions reach their drivers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "kcan.h"
#include "sim_control.h"

namespace {

constexpr uint32_t kClassic = KCAN_TYPE_DUNLIN2;  // position 0 in KESTRUN_SIM
constexpr uint32_t kFd = KCAN_TYPE_ZARO3018;      // position 1

class CrossFamily : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(KCAN_OpenDevice(kClassic, 0), 1u) << KCAN_GetLastErrorStr();
        ASSERT_EQ(KCAN_OpenDevice(kFd, 0), 1u) << KCAN_GetLastErrorStr();
    }
    void TearDown() override {
        ksim::clearTransferCut(0);  // also after a failed assertion
        ksim::clearTransferCut(1);
        KCAN_CloseDevice(kClassic, 0);
        KCAN_CloseDevice(kFd, 0);
    }
    // Channel 0 of both: the FD one at 500 kbit/s, the classic one too when
    // timing0 is 0 (at 250 kbit/s when it is 1).
    void initBoth(uint8_t timing0 = 0x00, uint32_t fdDataRate = 0) {
        _KCAN_INIT_CONFIG classic{};
        classic.timing0 = timing0;
        classic.timing1 = 0x1C;
        ASSERT_EQ(KCAN_InitCAN(kClassic, 0, 0, &classic), 1u) << KCAN_GetLastErrorStr();
        _KCAN_INITFD_CONFIG fd{};
        fd.abitBaudRate = 500000;
        fd.dbitBaudRate = fdDataRate;
        fd.fdEnable = fdDataRate != 0 ? 1 : 0;
        ASSERT_EQ(KCAN_InitCANFD(kFd, 0, 0, &fd), 1u) << KCAN_GetLastErrorStr();
    }
};

_KCAN_CAN_OBJ frame(uint32_t id, uint8_t ext, uint8_t len) {
    _KCAN_CAN_OBJ f{};
    f.id = id;
    f.ext = ext;
    f.len = len;
    for (uint8_t i = 0; i < len; ++i) {
        f.data[i] = static_cast<uint8_t>(0xA0 + i);
    }
    return f;
}

// Channel 0's frames until `count` came or 10 s passed, then whatever else
// comes within 300 ms, each as its identifier << 8 | its first data byte.
std::vector<uint32_t> receiveOnChannel0(uint32_t type, bool fd, size_t count) {
    std::vector<uint32_t> got;
    const auto take = [&](int32_t waitMs) {
        _KCAN_CANFD_OBJ fdFrames[16];
        _KCAN_CAN_OBJ frames[16];
        const uint32_t n = fd ? KCAN_ReceiveFD(type, 0, 0, fdFrames, 16, waitMs)
                              : KCAN_Receive(type, 0, 0, frames, 16, waitMs);
        for (uint32_t i = 0; i < n; ++i) {
            got.push_back(fd ? fdFrames[i].id << 8 | fdFrames[i].data[0]
                             : frames[i].id << 8 | frames[i].data[0]);
        }
    };
    for (int waited = 0; waited < 10000 && got.size() < count; waited += 100) {
        take(100);
    }
    take(300);
    return got;
}

uint32_t malformedTransfers(int position) {
    const std::string counters = ksim::controlDevice(position, {"counters"});
    const size_t at = counters.find("malformed=");
    return at == std::string::npos ? ~0u : std::stoul(counters.substr(at + 10));
}

// libusb may end a read with a time-out after part of the stream moved: a
// full-size packet without a short one behind it. Those bytes carry frames;
// the rest of the adapter's data comes in the next read.
TEST_F(CrossFamily, FramesInReadsCutByATimeOutAreQueuedOnceEach) {
    const struct {
        uint32_t type;
        uint8_t streamEndpoint;
        int cutAt;
    } cases[] = {
        // 64-byte reads of 19-byte records: every read is cut.
        {kClassic, 0x82, 16},
        // 4096-byte reads of 75-byte FD records, cut at a high-speed packet multiple.
        {kFd, 0x83, 512},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const bool fd = c.type == kFd;
        const int position = fd ? 1 : 0;
        initBoth(0x00, 2000000);
        ASSERT_TRUE(ksim::setTransferCut(position, {c.streamEndpoint, c.cutAt, 0}));
        // Frame i: identifier 0x100 + i, first data byte i.
        const std::string reply = ksim::controlDevice(
            position,
            {"gen", "start", "0", fd ? "F" : "C", "S", fd ? "64" : "8", "max", "40", "id=100"});
        EXPECT_EQ(reply.rfind("ok", 0), 0u) << reply;
        std::vector<uint32_t> expected;
        for (uint32_t i = 0; i < 40; ++i) {
            expected.push_back((0x100 + i) << 8 | i);
        }
        EXPECT_EQ(receiveOnChannel0(c.type, fd, expected.size()), expected);
        ASSERT_TRUE(ksim::clearTransferCut(position));
    }
}

// A frame packet written only in part before a time-out: the frame is either
// reported failed or on the bus once, and the rest of that packet never
// reaches the adapter as the start of another transfer.
TEST_F(CrossFamily, FramePacketCutPartWayIsSentWholeOnceOrReportedFailed) {
    for (const uint32_t from : {kClassic, kFd}) {
        SCOPED_TRACE(from);
        const int position = from == kFd ? 1 : 0;
        initBoth();
        const uint32_t malformedBefore = malformedTransfers(position);
        // 10 bytes end inside the frame's record in either family's packet.
        ASSERT_TRUE(ksim::setTransferCut(position, {0x02, 10, 1}));
        _KCAN_CAN_OBJ cut = frame(0x301, 0, 8);
        const uint32_t cutSent = KCAN_Transmit(from, 0, 0, &cut, 1);
        _KCAN_CAN_OBJ next = frame(0x302, 0, 8);
        EXPECT_EQ(KCAN_Transmit(from, 0, 0, &next, 1), 1u) << KCAN_GetLastErrorStr();
        const std::vector<uint32_t> expected =
            cutSent == 1 ? std::vector{0x301u << 8 | 0xA0, 0x302u << 8 | 0xA0}
                         : std::vector{0x302u << 8 | 0xA0};
        EXPECT_EQ(receiveOnChannel0(from == kFd ? kClassic : kFd, false, expected.size()), expected)
            << "cut sent " << cutSent;
        EXPECT_EQ(malformedTransfers(position), malformedBefore + 1);
        ASSERT_TRUE(ksim::clearTransferCut(position));
    }
}

TEST_F(CrossFamily, FramesCrossAtEqualRatesAndNotAtUnequalOnes) {
    initBoth();
    const _KCAN_CAN_OBJ out[] = {frame(0x123, 0, 8), frame(0x1ABCDEF0, 1, 3)};
    for (const _KCAN_CAN_OBJ& sent : out) {
        const uint32_t from = sent.ext ? kFd : kClassic;
        _KCAN_CAN_OBJ f = sent;
        ASSERT_EQ(KCAN_Transmit(from, 0, 0, &f, 1), 1u) << KCAN_GetLastErrorStr();
        _KCAN_CAN_OBJ in[4];
        ASSERT_EQ(KCAN_Receive(from == kFd ? kClassic : kFd, 0, 0, in, 4, 2000), 1u);
        EXPECT_EQ(std::tuple(in[0].id, in[0].ext, in[0].len),
                  std::tuple(sent.id, sent.ext, sent.len));
        EXPECT_EQ(std::memcmp(in[0].data, sent.data, sent.len), 0);
    }
    initBoth(0x01);  // the classic channel at 250 kbit/s
    _KCAN_CAN_OBJ f = out[0];
    ASSERT_EQ(KCAN_Transmit(kClassic, 0, 0, &f, 1), 1u);
    EXPECT_EQ(KCAN_Receive(kFd, 0, 0, &f, 1, 300), 0u);
}

TEST_F(CrossFamily, ClassicRowsOfTheExportedFunctions) {
    initBoth();
    _KCAN_BOARD_INFO info{};
    EXPECT_EQ(KCAN_BoardInfoGet(kClassic, 0, &info), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(info.chNum, 2);
    _KCAN_CAN_OBJ f = frame(0x7, 0, 1);
    ASSERT_EQ(KCAN_Transmit(kFd, 0, 0, &f, 1), 1u);
    for (int waited = 0; waited < 5000 && KCAN_GetReceiveNum(kClassic, 0, 0, 0) == 0;
         waited += 10) {
        usleep(10000);
    }
    EXPECT_EQ(KCAN_GetReceiveNum(kClassic, 0, 0, 0), 1u);
    EXPECT_EQ(KCAN_ClearBuffer(kClassic, 0, 0), 1u);
    EXPECT_EQ(KCAN_GetReceiveNum(kClassic, 0, 0, 0), 0u);
    uint8_t a = 9, b = 9, c = 9;
    EXPECT_EQ(KCAN_DevBaudParaGet(kClassic, 0, 0, &a, &b), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(KCAN_DevChStateGet(kClassic, 0, 0, &a, &b, &c), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(KCAN_DevRelayStatusSet(kClassic, 0, 1, 0), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(KCAN_DevRelayStatusGet(kClassic, 0, &a, &b), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(KCAN_Stop(kClassic, 0, 0), 1u);
    EXPECT_EQ(KCAN_Start(kClassic, 0, 0), 1u);
}

TEST(RecorderRows, SettingsAndFiltersThroughTheExportedFunctions) {
    const uint32_t type = KCAN_TYPE_RECORD_2601;
    ASSERT_EQ(KCAN_OpenDevice(type, 0), 1u) << KCAN_GetLastErrorStr();
    _KCAN_RECORD_CONFIG cfg{};
    cfg.fdEnable = cfg.isoMode = cfg.recordFlagA = 1;
    cfg.abitClock = cfg.dbitClock = 80;
    cfg.abitTiming = 0x01C0030E;
    cfg.dbitTiming = 0x00C00106;
    cfg.recordParamA = 5;
    ASSERT_EQ(KCAN_RecordSettingSet(type, 0, 1, &cfg), 1u) << KCAN_GetLastErrorStr();
    _KCAN_RECORD_CONFIG back{};
    ASSERT_EQ(KCAN_RecordSettingGet(type, 0, 1, &back), 1u) << KCAN_GetLastErrorStr();
    const auto fields = [](const _KCAN_RECORD_CONFIG& r) {
        return std::tuple(r.fdEnable, r.isoMode, r.abitTiming, r.dbitTiming, r.recordFlagA,
                          r.recordParamA);
    };
    EXPECT_EQ(fields(back), fields(cfg));

    EXPECT_EQ(KCAN_RecordFliterClr(type, 0, 1), 1u);
    _KCAN_FLITER_CONFIG entry{};
    entry.filterType = 2;
    entry.startId = 0x100;
    entry.endId = 0x1FF;
    EXPECT_EQ(KCAN_RecordFliterAdd(type, 0, 1, &entry), 1u) << KCAN_GetLastErrorStr();
    _KCAN_FLITER_INFO info{};
    for (const bool enable : {true, false}) {
        EXPECT_EQ((enable ? KCAN_RecordFliterEnable : KCAN_RecordFliterDisable)(type, 0, 1), 1u);
        EXPECT_EQ(KCAN_RecordFliterInfoGet(type, 0, 1, &info), 1u) << KCAN_GetLastErrorStr();
        EXPECT_EQ(std::tuple(info.filterCount, info.filterState), std::tuple(1, enable ? 1 : 0));
    }
    _KCAN_FLITER_CONFIG read{};
    EXPECT_EQ(KCAN_RecordFliterSettingGet(type, 0, 1, 0, &read), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(std::tuple(read.filterType, read.startId, read.endId), std::tuple(2, 0x100u, 0x1FFu));

    EXPECT_EQ(KCAN_CloseDevice(type, 0), 1u);
}

}  // namespace

// The virtual adapters read their settings at the first libusb_init, which
// the classic driver's static set-up runs before main: set them, then start
// afresh.
int main(int argc, char** argv) {
    if (getenv("KESTRUN_SIM") == nullptr) {
        setenv("KESTRUN_SIM", "DUNLIN2,ZARO3018,CANRECORD1", 1);
        setenv("KESTRUN_SIM_WIRING", "DUNLIN2/0=ZARO3018/0", 1);
        execv("/proc/self/exe", argv);
        return 127;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
