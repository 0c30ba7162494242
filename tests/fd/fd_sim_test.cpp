// The FD driver and the exported functions end to end, against the virtual
// adapters linked in place of libusb. Byte-exact checks read the simulator's
// transcript of every transfer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "QErrMgr.h"
#include "QKCANDevMgr.h"
#include "core/sim_control.h"
#include "drivers/fd/QDeviceDunlinFd2.h"
#include "kcan.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Marks the adapter lost the way the worker's reconnect handler does, at a
// moment of the test's choosing.
struct FdDriverProbe {
    static void loseAdapter(QDeviceDunlinFd2& dev) { dev.faultState_.store(-1); }
};

namespace {

std::string sim(const std::string& line) {
    return ksim::executeControlCommand(line);
}

std::string hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

// A value "key=<number>" of a simulator reply, or 0.
unsigned long long field(const std::string& reply, const std::string& key) {
    size_t at = reply.find(key + "=");
    return at == std::string::npos ? 0 : std::stoull(reply.substr(at + key.size() + 1));
}

// Waits (sleeping) until pred holds or the limit passes.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
    auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return pred();
}

_KCAN_INITFD_CONFIG fdConfig(uint32_t abit, uint32_t dbit, uint8_t fd = 1) {
    _KCAN_INITFD_CONFIG c{};
    c.abitBaudRate = abit;
    c.dbitBaudRate = dbit;
    c.fdEnable = fd;
    return c;
}

class SimFd : public ::testing::Test {
  protected:
    // Attaches the devices of `list` (KESTRUN_SIM syntax) and starts a fresh
    // transcript.
    void attach(const std::string& list) {
        std::string error;
        ASSERT_TRUE(ksim::configureDevices(list, &error)) << error;
        transcriptPath_ = "/tmp/kestrun_fd_sim_" + std::to_string(getpid()) + "_" +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        std::remove(transcriptPath_.c_str());
        ASSERT_TRUE(ksim::setTranscript(transcriptPath_, &error)) << error;
    }

    void TearDown() override {
        for (uint32_t t : {41u, 42u, 43u, 64u, 65u, 66u, 67u}) {
            for (uint32_t i = 0; i < 3; ++i)
                KCAN_CloseDevice(t, i);
        }
        ksim::setTranscript("");
        if (!transcriptPath_.empty())
            std::remove(transcriptPath_.c_str());
    }

    std::vector<std::string> lines() {
        std::ifstream in(transcriptPath_);
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);)
            out.push_back(l);
        return out;
    }

    // The data of every OUT transfer on `ep` ("01" commands, "02" packets).
    std::vector<std::string> written(const std::string& ep) {
        std::vector<std::string> out;
        for (const std::string& l : lines()) {
            if (l.find(" out ep=" + ep + " ") == std::string::npos)
                continue;
            out.push_back(l.substr(l.find("data=") + 5));
        }
        return out;
    }

    size_t events(const std::string& what) {
        size_t n = 0;
        for (const std::string& l : lines()) {
            if (l.size() >= what.size() + 1 &&
                l.compare(l.size() - what.size(), what.size(), what) == 0) {
                ++n;
            }
        }
        return n;
    }

    void clearTranscript() {
        ksim::setTranscript("");
        std::remove(transcriptPath_.c_str());
        ksim::setTranscript(transcriptPath_);
    }

    static QDeviceDunlinFd2* driver(uint32_t type, uint32_t index = 0) {
        return dynamic_cast<QDeviceDunlinFd2*>(kcanDevMgr.deviceFind(type, index));
    }

    std::string transcriptPath_;
};

// ---- Open, close, board information ---------------------------------------------------

TEST_F(SimFd, OpenCloseTwicePerTypeWithItsIdsAndChannels) {
    attach("DUNLINFD2,ZARO3014,ZARO2014,ZARO2018,ZARO3018");
    const struct {
        uint32_t type;
        const char* ids;
        uint32_t channels;
    } cases[] = {{41, "3068:0009#0", 2}, {42, "3068:0009#0", 2}, {43, "3068:0009#0", 2},
                 {64, "0471:3014#0", 4}, {65, "0471:2014#0", 4}, {66, "0471:2018#0", 8},
                 {67, "0471:3018#0", 8}};
    for (const auto& c : cases) {
        clearTranscript();
        QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_USB_COMMAND);
        ASSERT_EQ(KCAN_OpenDevice(c.type, 0), 1u) << c.type;
        EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_OK) << c.type;
        QDeviceDunlinFd2* dev = driver(c.type);
        ASSERT_NE(dev, nullptr);
        EXPECT_EQ(KCAN_OpenDevice(c.type, 0), 1u) << "second open";
        EXPECT_EQ(driver(c.type), dev) << "one device object";
        EXPECT_EQ(dev->channelCount(), c.channels) << c.type;
        EXPECT_EQ(events(std::string(c.ids) + " open rc=0"), 1u) << c.type;
        EXPECT_EQ(written("01"), (std::vector<std::string>{"55010101", "55120101"}))
            << "version queries at open";
        EXPECT_EQ(KCAN_CloseDevice(c.type, 0), 1u);
        EXPECT_EQ(KCAN_CloseDevice(c.type, 0), 1u);
        EXPECT_EQ(driver(c.type), nullptr);
        EXPECT_EQ(events("close"), 1u) << c.type;
    }
}

TEST_F(SimFd, BoardInfoFromTheAdapter) {
    attach("ZARO3018,DUNLINFD2");
    ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
    _KCAN_BOARD_INFO info{};
    std::memset(info.serialNum, 'x', sizeof info.serialNum);
    ASSERT_EQ(KCAN_BoardInfoGet(67, 0, &info), 1u);
    std::string adapter = sim("dev 0 info");
    char hw[8], fw[8];
    std::snprintf(hw, sizeof hw, "hw=%04x", info.hwVersion);
    std::snprintf(fw, sizeof fw, "fw=%04x", info.fwVersion);
    EXPECT_NE(adapter.find(hw), std::string::npos) << adapter;
    EXPECT_NE(adapter.find(fw), std::string::npos) << adapter;
    EXPECT_EQ(info.chNum, 8);
    EXPECT_EQ(info.ifVersion, 0x0100);
    EXPECT_EQ(info.serialNum[0], 'x') << "other fields left as passed";
    EXPECT_EQ(driver(67)->hwVersion(), info.hwVersion);
    EXPECT_EQ(KCAN_BoardInfoGet(67, 0, nullptr), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_PARAMETER);
}

TEST_F(SimFd, ShortVersionRepliesReadAsZeroes) {
    attach("ZARO3018");  // hw 0130, fw 0302, 8 channels
    sim("dev 0 fault truncate 01 3");
    sim("dev 0 fault truncate 12 5");
    ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
    EXPECT_EQ(driver(67)->hwVersion(), 0);
    EXPECT_EQ(driver(67)->fwVersion(), 0x0300);
    sim("dev 0 fault truncate 13 4");
    _KCAN_BOARD_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(KCAN_BoardInfoGet(67, 0, &info), 1u);
    EXPECT_EQ(info.hwVersion, 0);
    EXPECT_EQ(info.fwVersion, 0x0300);
    EXPECT_EQ(info.chNum, 0);
}

TEST_F(SimFd, MissingAdapterAndSilentAdapter) {
    attach("ZARO3018");
    EXPECT_EQ(KCAN_OpenDevice(67, 1), 0u) << "no second ZARO3018";
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_DEVICE_NOT_EXIST);
    EXPECT_EQ(KCAN_OpenDevice(66, 0), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_DEVICE_NOT_EXIST);

    ASSERT_EQ(sim("dev 0 fault noreply 01").rfind("error", 0), std::string::npos);
    auto t0 = Clock::now();
    EXPECT_EQ(KCAN_OpenDevice(67, 0), 0u);
    EXPECT_GE(Clock::now() - t0, 1400ms) << "the query runs to its time-out";
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_DEVICE_INFO);
    EXPECT_EQ(kcanDevMgr.deviceFind(67, 0), nullptr);
    EXPECT_EQ(events("open rc=0"), 1u);
    EXPECT_EQ(events("close"), 1u) << "closed again";
    std::vector<std::string> cmds = written("01");
    ASSERT_GE(cmds.size(), 2u) << "written again after each missing reply";
    for (const std::string& c : cmds)
        EXPECT_EQ(c, "55010101");

    sim("dev 0 fault clear");
    EXPECT_EQ(KCAN_OpenDevice(67, 0), 1u);
}

// ---- Command exchange ----------------------------------------------------------------------

TEST_F(SimFd, ForeignRepliesAreResentUntilTheTimeOut) {
    attach("ZARO3018");
    ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
    ASSERT_EQ(sim("dev 0 fault foreign 0e 0f").rfind("error", 0), std::string::npos);
    clearTranscript();
    auto t0 = Clock::now();
    EXPECT_EQ(KCAN_Start(67, 0, 2), 0u);
    auto elapsed = Clock::now() - t0;
    EXPECT_GE(elapsed, 1400ms);
    EXPECT_LT(elapsed, 5s);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_USB_COMMAND);
    std::vector<std::string> cmds = written("01");
    ASSERT_GE(cmds.size(), 2u);
    for (const std::string& c : cmds)
        EXPECT_EQ(c, "550e020020");

    sim("dev 0 fault clear");
    QDeviceDunlinFd2* dev = driver(67);
    EXPECT_TRUE(dev->cmdIdle());
    EXPECT_EQ(KCAN_Start(67, 0, 2), 1u);
}

TEST_F(SimFd, CmdIdleOnlyWhileNoExchangeRuns) {
    attach("ZARO3018");
    ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
    QDeviceDunlinFd2* dev = driver(67);
    ASSERT_EQ(sim("dev 0 fault latency 600000").rfind("error", 0), std::string::npos);
    std::atomic<int> done{0};
    std::thread a([&] {
        KCAN_Start(67, 0, 0);
        ++done;
    });
    ASSERT_TRUE(eventually([&] { return !dev->cmdIdle(); }));
    std::thread b([&] {
        KCAN_Start(67, 0, 1);
        ++done;
    });
    ASSERT_TRUE(eventually([&] { return done.load() >= 1; }));
    // The second exchange waited for the first and still needs its 600 ms.
    EXPECT_EQ(done.load(), 1);
    EXPECT_FALSE(dev->cmdIdle()) << "one exchange ended while another runs";
    a.join();
    b.join();
    EXPECT_TRUE(dev->cmdIdle());
    sim("dev 0 fault clear");
}

TEST_F(SimFd, ExchangeGivenUpForALostAdapterRecordsCode12) {
    attach("ZARO3018");
    ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
    ASSERT_EQ(sim("dev 0 fault noreply 0e").rfind("error", 0), std::string::npos);
    clearTranscript();
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_PARAMETER);
    std::atomic<uint32_t> started{2};
    std::thread a([&] { started = KCAN_Start(67, 0, 0); });
    // The request is out; its reply would be awaited for 1 s.
    ASSERT_TRUE(eventually([] { return field(sim("dev 0 counters"), "suppressed") >= 1; }));
    FdDriverProbe::loseAdapter(*driver(67));
    a.join();
    EXPECT_EQ(started.load(), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_USB_COMMAND);
    EXPECT_EQ(written("01").size(), 1u) << "given up, not run to its time-out";
}

// ---- Channel initialisation ------------------------------------------------------------------

TEST_F(SimFd, BitTimingCommandBytes) {
    attach("ZARO2018,DUNLINFD2");
    const struct {
        const char* what;
        uint32_t type;
        uint32_t channel;
        _KCAN_INITFD_CONFIG cfg;
        const char* bytes;
    } cases[] = {
        {"ZARO2018 500k/2M", 66, 0, fdConfig(500000, 2000000),
         "55030001000050000700000e000300500003000006000100"},
        {"DUNLINFD2 500k/2M", 41, 1, fdConfig(500000, 2000000),
         "5503010100003c000b0000060001003c0002000006000100"},
        {"DUNLINFD2 classic 250k", 41, 0, fdConfig(250000, 0, 0),
         "5503000100003c00170000060001003c0017000006000100"},
        {"ZARO2018 custom words", 66, 7, fdConfig(0, 0),
         "55030701000050000700030e000300500003000006000100"},
    };
    ASSERT_EQ(KCAN_OpenDevice(66, 0), 1u);
    ASSERT_EQ(KCAN_OpenDevice(41, 0), 1u);
    for (auto c : cases) {
        if (std::string(c.what).find("custom") != std::string::npos) {
            c.cfg.abitTiming = 0x01C1830E;  // 500k at 80 MHz with sjw 4
            c.cfg.dbitTiming = 0x00C00106;
        }
        clearTranscript();
        ASSERT_EQ(KCAN_InitCANFD(c.type, 0, c.channel, &c.cfg), 1u) << c.what;
        std::vector<std::string> cmds = written("01");
        ASSERT_EQ(cmds.size(), 2u) << c.what;
        EXPECT_EQ(cmds[0].size(), 48u);
        EXPECT_EQ(cmds[0], std::string(c.bytes)) << c.what;
        char start[16];
        std::snprintf(start, sizeof start, "550e0200%02x", c.channel << 4);
        EXPECT_EQ(cmds[1], start) << c.what;
        EXPECT_TRUE(driver(c.type)->channelInitialised(c.channel));
    }
}

TEST_F(SimFd, RefusedInitsSendNothing) {
    attach("ZARO3018");
    ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
    const struct {
        const char* what;
        uint32_t channel;
        _KCAN_INITFD_CONFIG cfg;
        int error;
    } cases[] = {
        {"data rate 3M", 0, fdConfig(500000, 3000000), KCAN_ERR_BAUD_NOT_SUPPORTED},
        {"arbitration 0 with data 2M", 0, fdConfig(0, 2000000), KCAN_ERR_BAUD_NOT_SUPPORTED},
        {"classic 2M", 0, fdConfig(2000000, 0, 0), KCAN_ERR_BAUD_NOT_SUPPORTED},
        {"channel 8", 8, fdConfig(500000, 2000000), KCAN_ERR_PARAMETER},
    };
    for (auto c : cases) {
        clearTranscript();
        QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
        EXPECT_EQ(KCAN_InitCANFD(67, 0, c.channel, &c.cfg), 0u) << c.what;
        EXPECT_EQ(KCAN_GetLastError(), c.error) << c.what;
        EXPECT_TRUE(written("01").empty()) << c.what;
    }
    EXPECT_EQ(KCAN_InitCANFD(67, 0, 0, nullptr), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_PARAMETER);
    _KCAN_INIT_CONFIG classic{};
    EXPECT_EQ(driver(67)->initCAN(0, &classic), 0);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_TYPE_NOT_SUPPORTED);
}

TEST_F(SimFd, RefusedBitTimingKeepsTheEarlierRecord) {
    attach("ZARO3018");
    ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
    auto first = fdConfig(500000, 2000000);
    ASSERT_EQ(KCAN_InitCANFD(67, 0, 0, &first), 1u);
    ASSERT_EQ(sim("dev 0 fault status 03 01").rfind("error", 0), std::string::npos);
    auto second = fdConfig(1000000, 5000000);
    ::testing::internal::CaptureStdout();
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_PARAM_NOT_SUPPORTED);
    EXPECT_EQ(KCAN_InitCANFD(67, 0, 0, &second), 0u);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_PARAM_NOT_SUPPORTED) << "a refusal adds no code";
    EXPECT_NE(out.find("DUNLINFD Init Fail..."), std::string::npos);
    EXPECT_TRUE(driver(67)->channelInitialised(0)) << "the earlier init still counts";
    sim("dev 0 fault clear");
}

TEST_F(SimFd, StartAndStopBytes) {
    attach("ZARO3018");
    ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
    clearTranscript();
    EXPECT_EQ(KCAN_Stop(67, 0, 5), 1u) << "never initialised: nothing sent";
    EXPECT_TRUE(written("01").empty());
    EXPECT_EQ(KCAN_Start(67, 0, 3), 1u);
    EXPECT_EQ(written("01"), std::vector<std::string>{"550e020030"});
    auto cfg = fdConfig(1000000, 5000000);
    ASSERT_EQ(KCAN_InitCANFD(67, 0, 4, &cfg), 1u);
    clearTranscript();
    EXPECT_EQ(KCAN_Stop(67, 0, 4), 1u);
    EXPECT_EQ(written("01"), std::vector<std::string>{"550f020040"});
    EXPECT_FALSE(driver(67)->channelInitialised(4));
    EXPECT_EQ(KCAN_Stop(67, 0, 8), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_PARAMETER);
    EXPECT_EQ(KCAN_Start(67, 0, 8), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_PARAMETER);
}

TEST_F(SimFd, DirectTransferWritesOnlyThePayloadGiven) {
    attach("ZARO3018");
    ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
    for (uint32_t length : {100u, 3u}) {
        uint8_t buf[100];
        for (int i = 0; i < 100; ++i)
            buf[i] = static_cast<uint8_t>(i);
        clearTranscript();
        const uint32_t payload = std::min(length, 62u);
        EXPECT_EQ(KCAN_DataDirectTransfer(67, 0, buf, length), payload) << "echoed back";
        uint8_t expected[64] = {0x12, 0xA7};
        for (uint32_t i = 0; i < payload; ++i)
            expected[2 + i] = static_cast<uint8_t>(i);
        EXPECT_EQ(written("01"), std::vector<std::string>{hex(expected, 2 + payload)}) << length;
    }
}

// ---- Frames ---------------------------------------------------------------------------------

class SimFdTraffic : public SimFd {
  protected:
    void SetUp() override {
        attach("ZARO3018");
        ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
        // Channels 0 and 1 are wired together; 2 and 3 likewise.
        auto fd = fdConfig(500000, 2000000);
        auto classic = fdConfig(250000, 0, 0);
        ASSERT_EQ(KCAN_InitCANFD(67, 0, 0, &fd), 1u);
        ASSERT_EQ(KCAN_InitCANFD(67, 0, 1, &fd), 1u);
        ASSERT_EQ(KCAN_InitCANFD(67, 0, 2, &classic), 1u);
        ASSERT_EQ(KCAN_InitCANFD(67, 0, 3, &classic), 1u);
        clearTranscript();
    }
};

TEST_F(SimFdTraffic, TransmitChunksOfTen) {
    _KCAN_CAN_OBJ frames[25] = {};
    for (uint32_t i = 0; i < 25; ++i) {
        frames[i].id = i;
        frames[i].len = 1;
        frames[i].data[0] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(KCAN_Transmit(67, 0, 2, frames, 25), 25u);
    std::vector<std::string> packets = written("02");
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].size(), 2 * 197u);
    EXPECT_EQ(packets[1].size(), 2 * 197u);
    EXPECT_EQ(packets[2].size(), 2 * 102u);
    EXPECT_EQ(packets[2].substr(0, 14), "55f200005f0005");

    _KCAN_CAN_OBJ got[32];
    uint32_t n = 0;
    auto end = Clock::now() + 10s;
    while (n < 25 && Clock::now() < end)
        n += KCAN_Receive(67, 0, 3, got + n, 32 - n, 200);
    ASSERT_EQ(n, 25u);
    for (uint32_t i = 0; i < 25; ++i)
        EXPECT_EQ(got[i].id, i) << "in order";
}

TEST_F(SimFdTraffic, WithheldAcknowledgementEndsTheCall) {
    sim("dev 0 fault ack withhold");
    _KCAN_CANFD_OBJ frames[25] = {};
    auto t0 = Clock::now();
    EXPECT_EQ(KCAN_TransmitFD(67, 0, 0, frames, 25), 0u);
    EXPECT_GE(Clock::now() - t0, 1900ms);
    EXPECT_EQ(written("02").size(), 1u) << "no packet after the unacknowledged one";
    sim("dev 0 fault clear");
}

TEST_F(SimFdTraffic, WithheldSecondAcknowledgementCountsTheFirstPacket) {
    // Acknowledgements leave 1.5 s after their packet, and the adapter decides
    // on withholding when a packet arrives. Switching to withhold a little
    // after the first packet came in spares its acknowledgement only: the
    // second packet is written once that acknowledgement is back.
    ASSERT_EQ(sim("dev 0 fault ack-latency 1500000").rfind("error", 0), std::string::npos);
    _KCAN_CAN_OBJ frames[25] = {};
    std::atomic<uint32_t> sent{0xFFFFFFFF};
    std::thread tx([&] { sent = KCAN_Transmit(67, 0, 2, frames, 25); });
    ASSERT_TRUE(eventually([] { return field(sim("dev 0 counters"), "packets") >= 1; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(field(sim("dev 0 counters"), "packets"), 1u) << "still waiting for the first ack";
    sim("dev 0 fault ack withhold");
    tx.join();
    EXPECT_EQ(sent.load(), 10u);
    EXPECT_EQ(written("02").size(), 2u) << "the third packet is not sent";
    sim("dev 0 fault clear");
}

TEST_F(SimFdTraffic, WritesCutShortCountAsFailed) {
    ASSERT_TRUE(ksim::setTransferCut(0, {0x02, 7, 1}));
    _KCAN_CAN_OBJ f{};
    EXPECT_EQ(KCAN_Transmit(67, 0, 2, &f, 1), 0u) << "half a packet is no frame sent";
    ASSERT_TRUE(ksim::setTransferCut(0, {0x01, 2, 1}));
    KCAN_Start(67, 0, 3);
    EXPECT_EQ(written("01"), (std::vector<std::string>{"550e020030", "550e020030"}))
        << "the cut request goes out again whole";
}

TEST_F(SimFdTraffic, FrameFieldsOnTheWire) {
    _KCAN_CAN_OBJ remote{};
    remote.id = 0xFFFFFFFF;
    remote.ext = 1;
    remote.rtr = 1;
    remote.len = 8;
    remote.txOption = 0x3;
    EXPECT_EQ(KCAN_Transmit(67, 0, 2, &remote, 1), 1u);
    EXPECT_EQ(remote.len, 0) << "remote length written back";

    _KCAN_CANFD_OBJ fd[2] = {};
    fd[0].id = 0x123;
    fd[0].len = 3;
    fd[0].frameFlags = KCAN_FRAME_FLAG_BRS;
    fd[0].data[0] = 0xAA;
    fd[1].id = 0x124;
    fd[1].frameFlags = 0x18;
    EXPECT_EQ(KCAN_TransmitFD(67, 0, 0, fd, 2), 2u);

    std::vector<std::string> packets = written("02");
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0],
              "55f20000130001"
              "2306"
              "00000000"
              "ffffff1f"
              "00"
              "0000000000000000");
    const std::string& p = packets[1];
    EXPECT_EQ(p.substr(0, 14), "55f20000960002");
    EXPECT_EQ(p.substr(14, 2 * 11),
              "0011"
              "00000000"
              "23010000"
              "03");
    EXPECT_EQ(p.substr(14 + 2 * 11, 8), "aa000000");
    EXPECT_EQ(p.substr(14 + 150, 2 * 11),
              "0019"
              "00000000"
              "24010000"
              "00");

    _KCAN_CANFD_OBJ got[4];
    uint32_t n = 0;
    auto end = Clock::now() + 10s;
    while (n < 2 && Clock::now() < end)
        n += KCAN_ReceiveFD(67, 0, 1, got + n, 4 - n, 200);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(got[0].id, 0x123u);
    EXPECT_EQ(got[0].frameFlags, KCAN_FRAME_FLAG_BRS) << "BRS on receive";
    EXPECT_EQ(got[0].len, 3);
    EXPECT_EQ(got[0].data[0], 0xAA);
    EXPECT_EQ(got[1].frameFlags, KCAN_FRAME_FLAG_BRS) << "bit 4 never comes back";
}

TEST_F(SimFdTraffic, InjectedFramesReachTheirQueues) {
    ASSERT_EQ(sim("dev 0 inject 1 F E D 1abcdef 0102030405060708090a0b0c brs").rfind("error", 0),
              std::string::npos);
    ASSERT_EQ(sim("dev 0 inject 3 C S R 7ff -").rfind("error", 0), std::string::npos);
    _KCAN_CANFD_OBJ fd[2];
    ASSERT_EQ(KCAN_ReceiveFD(67, 0, 1, fd, 2, 5000), 1u);
    EXPECT_EQ(fd[0].id, 0x1abcdefu);
    EXPECT_EQ(fd[0].ext, 1);
    EXPECT_EQ(fd[0].len, 12);
    EXPECT_EQ(fd[0].frameFlags, KCAN_FRAME_FLAG_BRS);
    _KCAN_CAN_OBJ c[2];
    ASSERT_EQ(KCAN_Receive(67, 0, 3, c, 2, 5000), 1u);
    EXPECT_EQ(c[0].id, 0x7FFu);
    EXPECT_EQ(c[0].rtr, 1);
    EXPECT_EQ(KCAN_GetReceiveNum(67, 0, 1, 2), 0u);
}

TEST_F(SimFdTraffic, ReceiveWaitsForTheWorkersFrame) {
    std::atomic<uint32_t> got{0};
    _KCAN_CAN_OBJ buf[4];
    std::thread reader([&] { got = KCAN_Receive(67, 0, 3, buf, 4, -1); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(got.load(), 0u);
    sim("dev 0 inject 3 C S D 10 aa");
    reader.join();
    EXPECT_EQ(got.load(), 1u);
    EXPECT_EQ(buf[0].id, 0x10u);
}

// The registry closes devices at exit without deleting them; a reader still
// blocked without limit must then come back.
TEST_F(SimFd, CloseReleasesABlockedReader) {
    attach("ZARO3018");
    QDeviceDunlinFd2 dev;
    ASSERT_EQ(dev.openDevice(67, 0, 0), 1);
    std::atomic<int32_t> got{-1};
    _KCAN_CANFD_OBJ buf[4];
    std::thread reader([&] { got = dev.receiveFD(5, buf, 4, -1); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(got.load(), -1) << "still waiting";
    EXPECT_EQ(dev.closeDevice(), 1);
    reader.join();
    EXPECT_EQ(got.load(), 0);
}

// ---- Filters ---------------------------------------------------------------------------------

TEST_F(SimFdTraffic, FilterCommandsAndTheirEffect) {
    _KCAN_FLITER_CONFIG range{};
    range.filterOp = 1;
    range.filterMode = 0;
    range.startId = 0x100;
    range.endId = 0x1FF;
    ASSERT_EQ(KCAN_SetFliter(67, 0, 1, &range), 1u);
    _KCAN_FLITER_CONFIG enable{};
    enable.filterOp = 2;
    ASSERT_EQ(KCAN_SetFliter(67, 0, 1, &enable), 1u);
    EXPECT_EQ(written("01"), (std::vector<std::string>{"55040a021000010000ff010000",
                                                       "55040a04100000000000000000"}));
    // Only identifiers inside the range reach the host.
    sim("dev 0 inject 1 C S D 50 01");
    sim("dev 0 inject 1 C S D 150 02");
    _KCAN_CAN_OBJ got[4];
    ASSERT_EQ(KCAN_Receive(67, 0, 1, got, 4, 5000), 1u);
    EXPECT_EQ(got[0].id, 0x150u);
    EXPECT_EQ(KCAN_Receive(67, 0, 1, got, 4, 100), 0u);

    clearTranscript();
    _KCAN_FLITER_CONFIG clear{};
    EXPECT_EQ(KCAN_SetFliter(67, 0, 1, &clear), 1u);
    EXPECT_EQ(written("01"), std::vector<std::string>{"55040a01100000000000000000"});
}

TEST_F(SimFdTraffic, FilterReductionsAndModes) {
    const struct {
        const char* what;
        uint8_t mode;
        uint32_t start, end;
        std::vector<std::string> bytes;
    } cases[] = {
        {"standard modulo 2048", 0, 0x900, 0x9FF, {"55040a020000010000ff010000"}},
        {"extended modulo 2^29", 1, 0x20000001, 0xFFFFFFFF, {"55040a030001000000ffffff1f"}},
        {"mode 7 announced first",
         7,
         0x10,
         0x20,
         {"55040a05000000000000000000", "55040a05001000000020000000"}},
    };
    for (const auto& c : cases) {
        clearTranscript();
        _KCAN_FLITER_CONFIG cfg{};
        cfg.filterOp = 1;
        cfg.filterMode = c.mode;
        cfg.startId = c.start;
        cfg.endId = c.end;
        EXPECT_EQ(KCAN_SetFliter(67, 0, 0, &cfg), 1u) << c.what;
        EXPECT_EQ(written("01"), c.bytes) << c.what;
    }
    clearTranscript();
    _KCAN_FLITER_CONFIG bad{};
    bad.filterOp = 3;
    EXPECT_EQ(KCAN_SetFliter(67, 0, 0, &bad), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_PARAMETER);
    EXPECT_EQ(KCAN_SetFliter(67, 0, 0, nullptr), 0u);
    EXPECT_TRUE(written("01").empty());
}

TEST_F(SimFd, FilterStepsOutOfOrderAreRefused) {
    attach("ZARO3018");
    ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
    QDeviceDunlinFd2* dev = driver(67);
    clearTranscript();
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
    EXPECT_EQ(dev->canFilterStartIdSet(0, 0x10), 0) << "start before a mode";
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_OK) << "silently";
    EXPECT_EQ(dev->canFilterEndIdSet(0, 0x20), 0) << "end before a start";
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_PARAMETER);
    EXPECT_TRUE(written("01").empty());

    // A stored start serves further end identifiers.
    ASSERT_EQ(dev->canFilterModeSet(0, 1), 1);
    ASSERT_EQ(dev->canFilterStartIdSet(0, 0x10), 1);
    EXPECT_EQ(dev->canFilterEndIdSet(0, 0x20), 1);
    EXPECT_EQ(dev->canFilterEndIdSet(0, 0x30), 1);
    EXPECT_EQ(written("01"), (std::vector<std::string>{"55040a03001000000020000000",
                                                       "55040a03001000000030000000"}));

    clearTranscript();
    _KCAN_FLITER_CONFIG cfg{};
    cfg.filterOp = 1;
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
    EXPECT_EQ(KCAN_SetFliter(67, 0, 9, &cfg), 0u) << "channel 9";
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_PARAMETER);
    _KCAN_FLITER_CONFIG enable{};
    enable.filterOp = 2;
    EXPECT_EQ(KCAN_SetFliter(67, 0, 8, &enable), 0u);
    _KCAN_FLITER_CONFIG clear{};
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
    EXPECT_EQ(KCAN_SetFliter(67, 0, 8, &clear), 0u);
    EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_OK) << "clear above 7: no code";
    EXPECT_TRUE(written("01").empty());
}

// ---- Reconnect ---------------------------------------------------------------------------------

TEST_F(SimFd, UnplugWithAChannelInitialisedRestoresIt) {
    attach("ZARO3018");
    ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
    QDeviceDunlinFd2* dev = driver(67);
    auto cfg = fdConfig(1000000, 4000000);
    cfg.isoMode = 1;
    ASSERT_EQ(KCAN_InitCANFD(67, 0, 0, &cfg), 1u);
    ::testing::internal::CaptureStdout();

    ASSERT_TRUE(ksim::unplugDevice(0));
    ASSERT_TRUE(eventually([&] { return dev->faultState() == -1; }));
    auto detected = Clock::now();
    EXPECT_TRUE(eventually([&] { return dev->restartCount() >= 1; }, 2s)) << "restart at detection";
    _KCAN_CAN_OBJ f{};
    EXPECT_EQ(KCAN_Transmit(67, 0, 0, &f, 1), 0u) << "nothing sent while restoring";
    std::this_thread::sleep_for(500ms);
    uint32_t restarts = dev->restartCount();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - detected);
    EXPECT_GE(restarts, 2u) << "attempts go on";
    EXPECT_LE(restarts, 1 + ms.count() / 50 + 1) << "at least 50 ms apart";

    ASSERT_TRUE(ksim::plugDevice(0));
    ASSERT_TRUE(eventually([&] { return dev->faultState() == 0; }));
    std::string state = sim("dev 0 state 0");
    EXPECT_NE(state.find("init=1"), std::string::npos) << state;
    EXPECT_NE(state.find("started=1"), std::string::npos) << state;
    EXPECT_NE(state.find("iso=1"), std::string::npos) << state;
    std::this_thread::sleep_for(200ms);
    std::string out = ::testing::internal::GetCapturedStdout();
    size_t first = out.find("VORM Tip:DUNLINFD OK...");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(out.find("VORM Tip:DUNLINFD OK...", first + 1), std::string::npos) << "once";

    // The restored channel carries traffic again.
    _KCAN_CANFD_OBJ fd{};
    fd.id = 0x42;
    EXPECT_EQ(KCAN_TransmitFD(67, 0, 0, &fd, 1), 1u);
}

TEST_F(SimFd, UnplugWithNoChannelInitialisedRestartsNothing) {
    attach("ZARO3018");
    ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
    QDeviceDunlinFd2* dev = driver(67);
    ASSERT_TRUE(ksim::unplugDevice(0));
    std::this_thread::sleep_for(1200ms);  // more than two stream read time-outs
    EXPECT_EQ(dev->restartCount(), 0u);
    EXPECT_EQ(dev->faultState(), 0);
    ASSERT_TRUE(ksim::plugDevice(0));
}

// ---- Process exit -----------------------------------------------------------------------------

TEST(SimFdExit, RegistryClosesOpenDevicesAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ksim::configureDevices("ZARO3018");
            if (KCAN_OpenDevice(67, 0) != 1)
                std::_Exit(3);
            auto cfg = fdConfig(500000, 2000000);
            if (KCAN_InitCANFD(67, 0, 0, &cfg) != 1)
                std::_Exit(4);
            std::exit(0);  // the registry's destructor closes the adapter
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
