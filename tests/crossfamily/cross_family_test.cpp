// A classic adapter's channel wired to an FD adapter's channel running
// classic CAN at the same bit rate: frames cross in both directions, none is
// lost or doubled when libusb ends a transfer with a time-out part way, and
// the classic rows of the exported functions reach the classic driver.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "kcan.h"
#include "sim_control.h"

namespace {

class CrossFamily : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Read by the virtual adapters at the first libusb_init.
        setenv("KESTRUN_SIM", "DUNLIN2,ZARO3018,CANRECORD1", 1);
        setenv("KESTRUN_SIM_WIRING", "DUNLIN2/0=ZARO3018/0", 1);
    }
    void SetUp() override {
        ASSERT_EQ(KCAN_OpenDevice(KCAN_TYPE_DUNLIN2, 0), 1u) << KCAN_GetLastErrorStr();
        ASSERT_EQ(KCAN_OpenDevice(KCAN_TYPE_ZARO3018, 0), 1u) << KCAN_GetLastErrorStr();
    }
    void TearDown() override {
        ksim::clearTransferCut(0);  // also after a failed assertion
        ksim::clearTransferCut(1);
        KCAN_CloseDevice(KCAN_TYPE_DUNLIN2, 0);
        KCAN_CloseDevice(KCAN_TYPE_ZARO3018, 0);
    }
    void initBoth(uint8_t timing0, uint8_t timing1, uint32_t rate, uint32_t fdDataRate = 0) {
        _KCAN_INIT_CONFIG classic;
        std::memset(&classic, 0, sizeof classic);
        classic.timing0 = timing0;
        classic.timing1 = timing1;
        ASSERT_EQ(KCAN_InitCAN(KCAN_TYPE_DUNLIN2, 0, 0, &classic), 1u) << KCAN_GetLastErrorStr();
        _KCAN_INITFD_CONFIG fd;
        std::memset(&fd, 0, sizeof fd);
        fd.abitBaudRate = rate;
        fd.dbitBaudRate = fdDataRate;
        fd.fdEnable = fdDataRate != 0 ? 1 : 0;
        ASSERT_EQ(KCAN_InitCANFD(KCAN_TYPE_ZARO3018, 0, 0, &fd), 1u) << KCAN_GetLastErrorStr();
    }
};

_KCAN_CAN_OBJ frame(uint32_t id, uint8_t ext, uint8_t len) {
    _KCAN_CAN_OBJ f;
    std::memset(&f, 0, sizeof f);
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
    const auto give = [&got](const auto* frames, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            got.push_back(frames[i].id << 8 | frames[i].data[0]);
        }
    };
    const auto take = [&](int32_t waitMs) {
        if (fd) {
            _KCAN_CANFD_OBJ in[16];
            give(in, KCAN_ReceiveFD(type, 0, 0, in, 16, waitMs));
        } else {
            _KCAN_CAN_OBJ in[16];
            give(in, KCAN_Receive(type, 0, 0, in, 16, waitMs));
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
    return at == std::string::npos ? ~0u
                                   : static_cast<uint32_t>(std::stoul(counters.substr(at + 10)));
}

// libusb may end a read with a time-out after part of the stream moved: a
// full-size packet without a short one behind it. Those bytes carry frames;
// the rest of the adapter's data comes in the next read.
TEST_F(CrossFamily, FramesInReadsCutByATimeOutAreQueuedOnceEach) {
    const struct {
        const char* family;
        uint32_t type;
        int position;  // in KESTRUN_SIM
        uint8_t streamEndpoint;
        int cutAt;
        bool fd;
    } cases[] = {
        // 64-byte reads of 19-byte records: every read is cut.
        {"classic", KCAN_TYPE_DUNLIN2, 0, 0x82, 16, false},
        // 4096-byte reads of 75-byte FD records, cut at a high-speed packet multiple.
        {"FD", KCAN_TYPE_ZARO3018, 1, 0x83, 512, true},
    };
    constexpr uint32_t kFrames = 40;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.family);
        initBoth(0x00, 0x1C, 500000, 2000000);
        ASSERT_TRUE(ksim::setTransferCut(c.position, {c.streamEndpoint, c.cutAt, 0}));
        // Frame i: identifier 0x100 + i, first data byte i.
        const std::string reply = ksim::controlDevice(
            c.position,
            {"gen", "start", "0", c.fd ? "F" : "C", "S", c.fd ? "64" : "8", "max", "40", "id=100"});
        EXPECT_EQ(reply.rfind("ok", 0), 0u) << reply;
        const std::vector<uint32_t> got = receiveOnChannel0(c.type, c.fd, kFrames);
        ASSERT_TRUE(ksim::clearTransferCut(c.position));
        std::vector<uint32_t> expected(kFrames);
        for (uint32_t i = 0; i < kFrames; ++i) {
            expected[i] = (0x100 + i) << 8 | i;
        }
        EXPECT_EQ(got, expected);
    }
}

// A frame packet written only in part before a time-out: the frame is either
// reported failed or on the bus once, and the rest of that packet never
// reaches the adapter as the start of another transfer.
TEST_F(CrossFamily, FramePacketCutPartWayIsSentWholeOnceOrReportedFailed) {
    const struct {
        const char* family;
        uint32_t from;
        int position;  // of `from` in KESTRUN_SIM
        uint32_t to;
    } cases[] = {
        {"classic", KCAN_TYPE_DUNLIN2, 0, KCAN_TYPE_ZARO3018},
        {"FD", KCAN_TYPE_ZARO3018, 1, KCAN_TYPE_DUNLIN2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.family);
        initBoth(0x00, 0x1C, 500000);
        const uint32_t malformedBefore = malformedTransfers(c.position);
        // 10 bytes end inside the frame's record in either family's packet.
        ASSERT_TRUE(ksim::setTransferCut(c.position, {0x02, 10, 1}));
        _KCAN_CAN_OBJ cut = frame(0x301, 0, 8);
        const uint32_t cutSent = KCAN_Transmit(c.from, 0, 0, &cut, 1);
        _KCAN_CAN_OBJ next = frame(0x302, 0, 8);
        EXPECT_EQ(KCAN_Transmit(c.from, 0, 0, &next, 1), 1u) << KCAN_GetLastErrorStr();
        std::vector<uint32_t> expected = {0x302 << 8 | 0xA0};
        if (cutSent == 1) {
            expected.insert(expected.begin(), 0x301 << 8 | 0xA0);
        }
        EXPECT_EQ(receiveOnChannel0(c.to, false, expected.size()), expected)
            << "cut sent " << cutSent;
        EXPECT_EQ(malformedTransfers(c.position), malformedBefore + 1);
        ASSERT_TRUE(ksim::clearTransferCut(c.position));
    }
}

TEST_F(CrossFamily, FramesCrossBetweenClassicAndFdAdapterAtEqualRates) {
    initBoth(0x00, 0x1C, 500000);
    _KCAN_CAN_OBJ out = frame(0x123, 0, 8);
    ASSERT_EQ(KCAN_Transmit(KCAN_TYPE_DUNLIN2, 0, 0, &out, 1), 1u) << KCAN_GetLastErrorStr();
    _KCAN_CAN_OBJ in[4];
    ASSERT_EQ(KCAN_Receive(KCAN_TYPE_ZARO3018, 0, 0, in, 4, 2000), 1u);
    EXPECT_EQ(in[0].id, 0x123u);
    EXPECT_EQ(in[0].len, 8);
    EXPECT_EQ(std::memcmp(in[0].data, out.data, 8), 0);

    _KCAN_CAN_OBJ back = frame(0x1ABCDEF0 & 0x1FFFFFFF, 1, 3);
    ASSERT_EQ(KCAN_Transmit(KCAN_TYPE_ZARO3018, 0, 0, &back, 1), 1u) << KCAN_GetLastErrorStr();
    ASSERT_EQ(KCAN_Receive(KCAN_TYPE_DUNLIN2, 0, 0, in, 4, 2000), 1u);
    EXPECT_EQ(in[0].id, back.id);
    EXPECT_EQ(in[0].ext, 1);
    EXPECT_EQ(in[0].len, 3);
    EXPECT_EQ(std::memcmp(in[0].data, back.data, 3), 0);
}

TEST_F(CrossFamily, UnequalRatesKeepTheBusesApart) {
    initBoth(0x01, 0x1C, 500000);  // the classic channel runs 250 kbit/s
    _KCAN_CAN_OBJ out = frame(0x55, 0, 1);
    ASSERT_EQ(KCAN_Transmit(KCAN_TYPE_DUNLIN2, 0, 0, &out, 1), 1u);
    _KCAN_CAN_OBJ in[4];
    EXPECT_EQ(KCAN_Receive(KCAN_TYPE_ZARO3018, 0, 0, in, 4, 300), 0u);
}

TEST_F(CrossFamily, ClassicRowsOfTheExportedFunctions) {
    initBoth(0x00, 0x14, 1000000);
    _KCAN_BOARD_INFO info;
    std::memset(&info, 0, sizeof info);
    EXPECT_EQ(KCAN_BoardInfoGet(KCAN_TYPE_DUNLIN2, 0, &info), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(info.chNum, 2);
    EXPECT_EQ(KCAN_GetReceiveNum(KCAN_TYPE_DUNLIN2, 0, 0, 0), 0u);
    EXPECT_EQ(KCAN_GetReceiveNum(KCAN_TYPE_DUNLIN2, 0, 0, 1), 0u);  // only kind 0 is counted
    EXPECT_EQ(KCAN_ClearBuffer(KCAN_TYPE_DUNLIN2, 0, 0), 1u);
    uint8_t p1 = 0, p2 = 0;
    EXPECT_EQ(KCAN_DevBaudParaGet(KCAN_TYPE_DUNLIN2, 0, 0, &p1, &p2), 1u) << KCAN_GetLastErrorStr();
    uint8_t s1 = 0, s2 = 0, s3 = 0;
    EXPECT_EQ(KCAN_DevChStateGet(KCAN_TYPE_DUNLIN2, 0, 0, &s1, &s2, &s3), 1u)
        << KCAN_GetLastErrorStr();
    EXPECT_EQ(KCAN_DevRelayStatusSet(KCAN_TYPE_DUNLIN2, 0, 1, 0), 1u) << KCAN_GetLastErrorStr();
    uint8_t a = 9, b = 9;
    EXPECT_EQ(KCAN_DevRelayStatusGet(KCAN_TYPE_DUNLIN2, 0, &a, &b), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(KCAN_Stop(KCAN_TYPE_DUNLIN2, 0, 0), 1u);
    EXPECT_EQ(KCAN_Start(KCAN_TYPE_DUNLIN2, 0, 0), 1u);
    // Classic types have no filters and no FD frames.
    _KCAN_FLITER_CONFIG filter{};
    EXPECT_EQ(KCAN_SetFliter(KCAN_TYPE_DUNLIN2, 0, 0, &filter), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_TYPE_NOT_SUPPORTED);
    _KCAN_CANFD_OBJ fd[1];
    EXPECT_EQ(KCAN_ReceiveFD(KCAN_TYPE_DUNLIN2, 0, 0, fd, 1, 0), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_TYPE_NOT_SUPPORTED);
    // The recorder rows answer 0 for a classic type and leave the error alone.
    _KCAN_RECORD_CONFIG rec{};
    EXPECT_EQ(KCAN_RecordSettingSet(KCAN_TYPE_DUNLIN2, 0, 0, &rec), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_TYPE_NOT_SUPPORTED);
}

TEST(RecorderRows, SettingsAndFiltersThroughTheExportedFunctions) {
    const uint32_t type = KCAN_TYPE_RECORD_2601;
    _KCAN_RECORD_CONFIG cfg{};
    EXPECT_EQ(KCAN_RecordSettingGet(type, 0, 0, &cfg), 0u);  // not open: 0, no error
    ASSERT_EQ(KCAN_OpenDevice(type, 0), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_OK);

    cfg.fdEnable = 1;
    cfg.isoMode = 1;
    cfg.abitClock = 80;
    cfg.dbitClock = 80;
    cfg.abitTiming = 0x01C0030E;
    cfg.dbitTiming = 0x00C00106;
    cfg.recordFlagA = 1;
    cfg.recordParamA = 5;
    ASSERT_EQ(KCAN_RecordSettingSet(type, 0, 1, &cfg), 1u) << KCAN_GetLastErrorStr();
    _KCAN_RECORD_CONFIG back{};
    ASSERT_EQ(KCAN_RecordSettingGet(type, 0, 1, &back), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(back.fdEnable, 1);
    EXPECT_EQ(back.isoMode, 1);
    EXPECT_EQ(back.abitTiming, cfg.abitTiming);
    EXPECT_EQ(back.dbitTiming, cfg.dbitTiming);
    EXPECT_EQ(back.recordFlagA, 1);
    EXPECT_EQ(back.recordParamA, 5);

    EXPECT_EQ(KCAN_RecordFliterClr(type, 0, 1), 1u);
    _KCAN_FLITER_CONFIG entry{};
    entry.filterType = 2;
    entry.startId = 0x100;
    entry.endId = 0x1FF;
    EXPECT_EQ(KCAN_RecordFliterAdd(type, 0, 1, &entry), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(KCAN_RecordFliterEnable(type, 0, 1), 1u);
    _KCAN_FLITER_INFO info{};
    EXPECT_EQ(KCAN_RecordFliterInfoGet(type, 0, 1, &info), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(info.filterCount, 1);
    _KCAN_FLITER_CONFIG read{};
    EXPECT_EQ(KCAN_RecordFliterSettingGet(type, 0, 1, 0, &read), 1u) << KCAN_GetLastErrorStr();
    EXPECT_EQ(read.startId, 0x100u);
    EXPECT_EQ(read.endId, 0x1FFu);
    EXPECT_EQ(KCAN_RecordFliterDisable(type, 0, 1), 1u);

    // Frame and channel functions are not for recorders.
    _KCAN_CAN_OBJ frames[1] = {};
    EXPECT_EQ(KCAN_Transmit(type, 0, 0, frames, 1), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_TYPE_NOT_SUPPORTED);
    EXPECT_EQ(KCAN_ClearBuffer(type, 0, 0), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_TYPE_NOT_SUPPORTED);
    EXPECT_EQ(KCAN_CloseDevice(type, 0), 1u);
    EXPECT_EQ(KCAN_CloseDevice(type, 0), 1u);
    EXPECT_EQ(KCAN_RecordSettingSet(type, 0, 1, &cfg), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_DEVICE_NOT_OPENED);
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
