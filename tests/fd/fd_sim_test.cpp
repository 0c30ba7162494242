// The FD driver and the exported functions end to end, against the virtual
// adapters linked in place of libusb. Byte-exact checks read the simulator's
// transcript of every transfer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "QErrMgr.h"
#include "QKCANDevMgr.h"
#include "core/sim_control.h"
#include "drivers/fd/QDeviceDunlinFd2.h"
#include "kcan.h"

using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;
using Outcome = std::pair<uint32_t, int>;  // a call's result and the last error after it
using namespace std::chrono_literals;

// Marks the adapter lost as the reconnect handler does, when the test chooses.
struct FdDriverProbe {
    static void loseAdapter(QDeviceDunlinFd2& dev) { dev.faultState_.store(-1); }
};

namespace {

Outcome outcome(uint32_t result) {
    return {result, KCAN_GetLastError()};
}

// Runs a control command; an "error" reply fails the test.
std::string sim(const std::string& line) {
    const std::string reply = ksim::executeControlCommand(line);
    EXPECT_NE(reply.rfind("error", 0), 0u) << line << ": " << reply;
    return reply;
}

// Waits (sleeping) until pred holds or the limit passes.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
    for (auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(5ms)) {
        if (pred())
            return true;
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

QDeviceDunlinFd2* driver(uint32_t type) {
    return dynamic_cast<QDeviceDunlinFd2*>(kcanDevMgr.deviceFind(type, 0));
}

// One ZARO3018 (8 channels, 80 MHz), opened as type 67.
class SimFd : public ::testing::Test {
  protected:
    void SetUp() override {
        attach("ZARO3018");
        ASSERT_EQ(KCAN_OpenDevice(67, 0), 1u);
        clearTranscript();
    }
    void TearDown() override {
        attach("");
        ksim::setTranscript("");
        std::remove(transcript_.c_str());
    }
    // Closes every device and replaces them by those of `list` (KESTRUN_SIM
    // syntax).
    void attach(const std::string& list) {
        for (uint32_t t : {41u, 42u, 43u, 64u, 65u, 66u, 67u})
            KCAN_CloseDevice(t, 0);
        std::string error;
        ASSERT_TRUE(list.empty() || ksim::configureDevices(list, &error)) << error;
    }
    void clearTranscript() {
        ksim::setTranscript("");
        std::remove(transcript_.c_str());
        ASSERT_TRUE(ksim::setTranscript(transcript_));
    }
    // Transcript lines holding `what`; of transfers, their data.
    Strings lines(const std::string& what) {
        Strings out;
        std::ifstream in(transcript_);
        for (std::string l; std::getline(in, l);) {
            if (l.find(what) != std::string::npos) {
                out.push_back(l.find("data=") == std::string::npos ? l
                                                                   : l.substr(l.find("data=") + 5));
            }
        }
        return out;
    }
    // The data of every OUT transfer on `ep` ("01" commands, "02" packets).
    Strings written(const std::string& ep) { return lines(" out ep=" + ep + " "); }

    const std::string transcript_ = "/tmp/kestrun_fd_sim_" + std::to_string(getpid()) + "_" +
                                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(SimFd, OpenPerTypeWithItsIdsAndChannels) {
    attach("DUNLINFD2,ZARO3014,ZARO2014,ZARO2018,ZARO3018");
    const std::tuple<uint32_t, const char*, uint32_t> cases[] = {
        {41, "3068:0009#0", 2}, {42, "3068:0009#0", 2}, {43, "3068:0009#0", 2},
        {64, "0471:3014#0", 4}, {65, "0471:2014#0", 4}, {66, "0471:2018#0", 8},
        {67, "0471:3018#0", 8}};
    for (const auto& [type, ids, channels] : cases) {
        SCOPED_TRACE(type);
        clearTranscript();
        QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_USB_COMMAND);
        EXPECT_EQ(outcome(KCAN_OpenDevice(type, 0)), Outcome(1, KCAN_ERR_OK));
        QDeviceDunlinFd2* dev = driver(type);
        ASSERT_NE(dev, nullptr);
        EXPECT_EQ(dev->channelCount(), channels);
        EXPECT_EQ(outcome(KCAN_OpenDevice(type, 0)), Outcome(1, KCAN_ERR_OK)) << "already open";
        EXPECT_EQ(driver(type), dev);
        EXPECT_EQ(lines(std::string(ids) + " open rc=0").size(), 1u);
        EXPECT_EQ(written("01"), (Strings{"55010101", "55120101"})) << "version queries";
        EXPECT_EQ(KCAN_CloseDevice(type, 0), 1u);
        EXPECT_EQ(lines("close").size(), 1u);
    }
}

TEST_F(SimFd, BoardInfoAndShortRepliesThatReadAsZeroes) {
    _KCAN_BOARD_INFO info;
    memset(&info, 'x', sizeof info);
    ASSERT_EQ(KCAN_BoardInfoGet(67, 0, &info), 1u);
    EXPECT_EQ(std::make_tuple(info.hwVersion, info.fwVersion, info.chNum, info.ifVersion,
                              driver(67)->hwVersion(), driver(67)->fwVersion()),
              std::make_tuple(0x0130, 0x0302, 8, 0x0100, 0x0130, 0x0302))
        << "read at open too";
    EXPECT_EQ(info.serialNum[0], 'x') << "other fields left as passed";
    sim("dev 0 fault truncate 01 3");
    sim("dev 0 fault truncate 12 5");
    sim("dev 0 fault truncate 13 4");
    ASSERT_EQ(KCAN_BoardInfoGet(67, 0, &info), 1u);
    EXPECT_EQ(std::make_tuple(info.hwVersion, info.fwVersion, info.chNum),
              std::make_tuple(0, 0x0300, 0));
    EXPECT_EQ(outcome(KCAN_BoardInfoGet(67, 0, nullptr)), Outcome(0, KCAN_ERR_PARAMETER));
}

TEST_F(SimFd, MissingAdapterAndSilentAdapter) {
    EXPECT_EQ(outcome(KCAN_OpenDevice(67, 1)), Outcome(0, KCAN_ERR_DEVICE_NOT_EXIST));
    EXPECT_EQ(outcome(KCAN_OpenDevice(66, 0)), Outcome(0, KCAN_ERR_DEVICE_NOT_EXIST));
    KCAN_CloseDevice(67, 0);
    sim("dev 0 fault noreply 01");
    clearTranscript();
    const auto t0 = Clock::now();
    EXPECT_EQ(outcome(KCAN_OpenDevice(67, 0)), Outcome(0, KCAN_ERR_DEVICE_INFO));
    EXPECT_GE(Clock::now() - t0, 1400ms) << "the query runs to its time-out";
    EXPECT_EQ(kcanDevMgr.deviceFind(67, 0), nullptr);
    EXPECT_EQ(lines("open rc=0").size(), 1u);
    EXPECT_EQ(lines("close").size(), 1u) << "closed again";
    const Strings cmds = written("01");
    EXPECT_GE(cmds.size(), 2u) << "written again after each missing reply";
    EXPECT_EQ(cmds, Strings(cmds.size(), "55010101"));
}

// The channel's init is accepted; its start gets foreign replies only.
TEST_F(SimFd, ForeignRepliesAreResentUntilTheTimeOut) {
    sim("dev 0 fault foreign 0e 0f");
    auto cfg = fdConfig(500000, 2000000);
    const auto t0 = Clock::now();
    EXPECT_EQ(outcome(KCAN_InitCANFD(67, 0, 2, &cfg)), Outcome(0, KCAN_ERR_USB_COMMAND));
    EXPECT_GE(Clock::now() - t0, 1400ms);
    EXPECT_LT(Clock::now() - t0, 5s);
    const Strings cmds = written("01");
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ(Strings(cmds.begin() + 1, cmds.end()), Strings(cmds.size() - 1, "550e020020"));
    sim("dev 0 fault clear");
    EXPECT_EQ(KCAN_Start(67, 0, 2), 1u);
}

// The reconnect handler waits for cmdIdle(): false while any exchange runs.
TEST_F(SimFd, CmdIdleOnlyWhileNoExchangeRuns) {
    QDeviceDunlinFd2* dev = driver(67);
    EXPECT_TRUE(dev->cmdIdle());
    sim("dev 0 fault latency 600000");
    std::atomic<int> done{0};
    auto start = [&done](uint32_t ch) {
        KCAN_Start(67, 0, ch);
        ++done;
    };
    std::thread a(start, 0);
    ASSERT_TRUE(eventually([&] { return !dev->cmdIdle(); }));
    std::thread b(start, 1);
    ASSERT_TRUE(eventually([&] { return done.load() >= 1; }));
    EXPECT_EQ(done.load(), 1) << "the second exchange waited for the first";
    EXPECT_FALSE(dev->cmdIdle()) << "one exchange ended while another runs";
    a.join();
    b.join();
    EXPECT_TRUE(dev->cmdIdle());
}

TEST_F(SimFd, ExchangeGivenUpForALostAdapterRecordsCode12) {
    sim("dev 0 fault noreply 0e");
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_PARAMETER);
    std::atomic<uint32_t> started{2};
    std::thread a([&] { started = KCAN_Start(67, 0, 0); });
    // The request is out; its reply would be awaited for 1 s.
    ASSERT_TRUE(eventually([&] { return !written("01").empty(); }));
    FdDriverProbe::loseAdapter(*driver(67));
    a.join();
    EXPECT_EQ(Outcome(started, KCAN_GetLastError()), Outcome(0, KCAN_ERR_USB_COMMAND));
    EXPECT_EQ(written("01").size(), 1u) << "given up, not run to its time-out";
}

// Timing words from the table of the model's clock, the classic rate for
// both phases, or the caller's own words; then the channel is started.
TEST_F(SimFd, BitTimingCommandBytes) {
    attach("ZARO2018,DUNLINFD2");
    ASSERT_EQ(KCAN_OpenDevice(66, 0) + KCAN_OpenDevice(41, 0), 2u);
    _KCAN_INITFD_CONFIG custom = fdConfig(0, 0);
    custom.abitTiming = 0x01C1830E;  // 500k at 80 MHz with sjw 4
    custom.dbitTiming = 0x00C00106;
    _KCAN_INITFD_CONFIG iso = fdConfig(500000, 2000000);
    iso.isoMode = 1;
    iso.mode = 5;
    const std::tuple<uint32_t, uint32_t, _KCAN_INITFD_CONFIG, const char*> cases[] = {
        {66, 0, iso, "55030001010550000700000e000300500003000006000100"},
        {41, 0, fdConfig(250000, 0, 0), "5503000100003c00170000060001003c0017000006000100"},
        {66, 7, custom, "55030701000050000700030e000300500003000006000100"},
    };
    for (auto [type, channel, cfg, bytes] : cases) {
        clearTranscript();
        ASSERT_EQ(KCAN_InitCANFD(type, 0, channel, &cfg), 1u) << bytes;
        char start[16];
        snprintf(start, sizeof start, "550e0200%02x", channel << 4);
        EXPECT_EQ(written("01"), (Strings{bytes, start}));
        EXPECT_TRUE(driver(type)->channelInitialised(channel));
    }
    // A bit timing the adapter refuses adds no error code; the earlier init of
    // the channel still counts.
    sim("dev 0 fault status 03 01");
    ::testing::internal::CaptureStdout();
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_PARAM_NOT_SUPPORTED);
    EXPECT_EQ(outcome(KCAN_InitCANFD(66, 0, 7, &iso)), Outcome(0, KCAN_ERR_PARAM_NOT_SUPPORTED));
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("DUNLINFD Init Fail..."),
              std::string::npos);
    EXPECT_TRUE(driver(66)->channelInitialised(7));
}

TEST_F(SimFd, RefusedInitsSendNothing) {
    const std::tuple<uint32_t, _KCAN_INITFD_CONFIG, int> cases[] = {
        {0, fdConfig(500000, 3000000), KCAN_ERR_BAUD_NOT_SUPPORTED},
        {0, fdConfig(0, 2000000), KCAN_ERR_BAUD_NOT_SUPPORTED},
        {0, fdConfig(2000000, 0, 0), KCAN_ERR_BAUD_NOT_SUPPORTED},
        {8, fdConfig(500000, 2000000), KCAN_ERR_PARAMETER},
    };
    for (auto [channel, cfg, error] : cases) {
        QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
        EXPECT_EQ(outcome(KCAN_InitCANFD(67, 0, channel, &cfg)), Outcome(0, error));
    }
    EXPECT_EQ(outcome(KCAN_InitCANFD(67, 0, 0, nullptr)), Outcome(0, KCAN_ERR_PARAMETER));
    _KCAN_INIT_CONFIG classic{};
    EXPECT_EQ(outcome(driver(67)->initCAN(0, &classic)), Outcome(0, KCAN_ERR_TYPE_NOT_SUPPORTED));
    // The recorder operations fail and leave the error alone.
    _KCAN_RECORD_CONFIG rec{};
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
    EXPECT_EQ(outcome(driver(67)->RecordSettingSet(0, &rec)), Outcome(0, KCAN_ERR_OK));
    EXPECT_EQ(outcome(driver(67)->RecordSettingGet(0, &rec)), Outcome(0, KCAN_ERR_OK));
    EXPECT_EQ(outcome(driver(67)->RecordCmdExecute(0, 4, nullptr, nullptr)),
              Outcome(0, KCAN_ERR_OK));
    EXPECT_TRUE(written("01").empty());
}

TEST_F(SimFd, StartStopAndDirectTransfer) {
    EXPECT_EQ(KCAN_Stop(67, 0, 5), 1u);
    EXPECT_EQ(KCAN_Start(67, 0, 3), 1u);
    EXPECT_EQ(written("01"), Strings{"550e020030"}) << "stopping a channel never initialised";
    auto cfg = fdConfig(1000000, 5000000);
    ASSERT_EQ(KCAN_InitCANFD(67, 0, 4, &cfg), 1u);
    clearTranscript();
    EXPECT_EQ(KCAN_Stop(67, 0, 4), 1u);
    EXPECT_EQ(written("01"), Strings{"550f020040"});
    EXPECT_FALSE(driver(67)->channelInitialised(4));
    EXPECT_EQ(outcome(KCAN_Start(67, 0, 8)), Outcome(0, KCAN_ERR_PARAMETER));
    EXPECT_EQ(outcome(KCAN_Stop(67, 0, 8)), Outcome(0, KCAN_ERR_PARAMETER));
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
    EXPECT_EQ(outcome(KCAN_ClearBuffer(67, 0, 8)), Outcome(0, KCAN_ERR_PARAMETER));
    // No frames or no buffer: nothing is sent, and the call says why.
    for (auto call : {+[] { return KCAN_Transmit(67, 0, 0, nullptr, 1); },
                      +[] { return KCAN_TransmitFD(67, 0, 0, nullptr, 1); },
                      +[] { return KCAN_DataDirectTransfer(67, 0, nullptr, 3); }}) {
        QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
        EXPECT_EQ(outcome(call()), Outcome(0, KCAN_ERR_PARAMETER));
    }
    // The adapter echoes the payload it got: the first 62 bytes, unpadded.
    uint8_t buf[100] = {1, 2, 3};
    EXPECT_EQ(KCAN_DataDirectTransfer(67, 0, buf, 100), 62u);
    EXPECT_EQ(KCAN_DataDirectTransfer(67, 0, buf, 3), 3u);
    EXPECT_EQ(written("01").back(), "12a7010203");
}

// Channels 0 and 1 are wired together; 2 and 3 likewise.
class SimFdTraffic : public SimFd {
  protected:
    void SetUp() override {
        SimFd::SetUp();
        auto fd = fdConfig(500000, 2000000);
        auto classic = fdConfig(250000, 0, 0);
        for (uint32_t ch = 0; ch < 4; ++ch)
            ASSERT_EQ(KCAN_InitCANFD(67, 0, ch, ch < 2 ? &fd : &classic), 1u);
        clearTranscript();
    }
};

TEST_F(SimFdTraffic, TransmitInPacketsOfTenAndReceiveInOrder) {
    _KCAN_CAN_OBJ frames[25] = {};
    for (uint32_t i = 0; i < 25; ++i) {
        frames[i].id = i;
        frames[i].len = 1;
    }
    frames[24].rtr = 1;
    frames[24].len = 8;
    EXPECT_EQ(KCAN_Transmit(67, 0, 2, frames, 25), 25u);
    EXPECT_EQ(frames[24].len, 0) << "a remote frame's length is written back as 0";
    const Strings packets = written("02");
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].size() + packets[1].size(), 4 * 197u);
    EXPECT_EQ(packets[2].substr(0, 16), "55f200005f000520");

    ASSERT_TRUE(eventually([] { return KCAN_GetReceiveNum(67, 0, 3, 2) == 25; }));
    EXPECT_EQ(KCAN_GetReceiveNum(67, 0, 3, 1), 0u) << "none of them CAN FD";
    _KCAN_CAN_OBJ got[32];
    ASSERT_EQ(KCAN_Receive(67, 0, 3, got, 32, 0), 25u);
    for (uint32_t i = 0; i < 25; ++i)
        EXPECT_EQ(got[i].id, i) << "in order";
    EXPECT_EQ(got[24].rtr, 1);
}

TEST_F(SimFdTraffic, WithheldAcknowledgementEndsTheCallWithThePacketsAcknowledged) {
    // Acknowledgements leave 1.5 s after their packet, and the adapter decides
    // on withholding when a packet arrives. Switching to withhold a little
    // after the first packet came in spares its acknowledgement only.
    sim("dev 0 fault ack-latency 1500000");
    _KCAN_CANFD_OBJ frames[25] = {};
    std::atomic<uint32_t> sent{0xFFFFFFFF};
    std::thread tx([&] { sent = KCAN_TransmitFD(67, 0, 0, frames, 25); });
    ASSERT_TRUE(eventually([&] { return !written("02").empty(); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(written("02").size(), 1u) << "still waiting for the first acknowledgement";
    sim("dev 0 fault ack withhold");
    tx.join();
    EXPECT_EQ(sent.load(), 10u);
    EXPECT_EQ(written("02").size(), 2u) << "no packet after the unacknowledged one";
}

TEST_F(SimFdTraffic, WritesCutShortCountAsFailed) {
    ASSERT_TRUE(ksim::setTransferCut(0, {0x02, 7, 1}));
    _KCAN_CAN_OBJ f{};
    EXPECT_EQ(KCAN_Transmit(67, 0, 2, &f, 1), 0u) << "half a packet is no frame sent";
    ASSERT_TRUE(ksim::setTransferCut(0, {0x01, 2, 1}));
    KCAN_Start(67, 0, 3);
    EXPECT_EQ(written("01"), (Strings{"550e020030", "550e020030"}))
        << "the cut request goes out again whole";
}

// The registry closes devices at exit without deleting them; a reader still
// blocked without limit must then come back.
TEST_F(SimFd, CloseReleasesABlockedReader) {
    std::atomic<uint32_t> got{99};
    _KCAN_CANFD_OBJ buf[4];
    std::thread reader([&] { got = KCAN_ReceiveFD(67, 0, 5, buf, 4, -1); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(got.load(), 99u) << "still waiting";
    EXPECT_EQ(driver(67)->closeDevice(), 1);
    reader.join();
    EXPECT_EQ(got.load(), 0u);
}

TEST_F(SimFd, FilterCommands) {
    const std::tuple<uint32_t, uint8_t, uint8_t, uint32_t, uint32_t, Strings> cases[] = {
        {1, 1, 0, 0x100, 0x1FF, {"55040a021000010000ff010000"}},
        {0, 1, 0, 0x900, 0x9FF, {"55040a020000010000ff010000"}},            // modulo 2048
        {0, 1, 1, 0x20000001, 0xFFFFFFFF, {"55040a030001000000ffffff1f"}},  // modulo 2^29
        {0, 1, 7, 0x10, 0x20, {"55040a05000000000000000000", "55040a05001000000020000000"}},
        {1, 2, 0, 0, 0, {"55040a04100000000000000000"}},  // enable
        {1, 0, 0, 0, 0, {"55040a01100000000000000000"}},  // clear
    };
    for (const auto& [channel, op, mode, start, end, bytes] : cases) {
        clearTranscript();
        _KCAN_FLITER_CONFIG cfg{};
        cfg.filterOp = op;
        cfg.filterMode = mode;
        cfg.startId = start;
        cfg.endId = end;
        EXPECT_EQ(KCAN_SetFliter(67, 0, channel, &cfg), 1u) << bytes[0];
        EXPECT_EQ(written("01"), bytes);
    }
    clearTranscript();
    _KCAN_FLITER_CONFIG bad{};
    bad.filterOp = 3;
    EXPECT_EQ(outcome(KCAN_SetFliter(67, 0, 0, &bad)), Outcome(0, KCAN_ERR_PARAMETER));
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
    EXPECT_EQ(outcome(KCAN_SetFliter(67, 0, 0, nullptr)), Outcome(0, KCAN_ERR_PARAMETER));
    EXPECT_TRUE(written("01").empty());
}

TEST_F(SimFd, FilterStepsOutOfOrderOrChannelsBeyond7AreRefused) {
    QDeviceDunlinFd2* dev = driver(67);
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
    EXPECT_EQ(outcome(dev->canFilterStartIdSet(0, 0x10)), Outcome(0, KCAN_ERR_OK))
        << "start before a mode: silently";
    EXPECT_EQ(outcome(dev->canFilterEndIdSet(0, 0x20)), Outcome(0, KCAN_ERR_PARAMETER))
        << "end before a start";
    for (uint8_t op : {1, 2, 0}) {
        _KCAN_FLITER_CONFIG cfg{};
        cfg.filterOp = op;
        cfg.filterMode = 7;  // a mode that would be announced at once
        QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
        EXPECT_EQ(outcome(KCAN_SetFliter(67, 0, 8, &cfg)),
                  Outcome(0, op == 0 ? KCAN_ERR_OK : KCAN_ERR_PARAMETER))
            << "op " << int(op) << "; a clear above 7 sets no code";
    }
    EXPECT_TRUE(written("01").empty());
    // A stored start serves further end identifiers.
    ASSERT_EQ(dev->canFilterModeSet(0, 1), 1);
    ASSERT_EQ(dev->canFilterStartIdSet(0, 0x10), 1);
    EXPECT_EQ(dev->canFilterEndIdSet(0, 0x20), 1);
    EXPECT_EQ(dev->canFilterEndIdSet(0, 0x30), 1);
    EXPECT_EQ(written("01"), (Strings{"55040a03001000000020000000", "55040a03001000000030000000"}));
}

TEST_F(SimFd, UnplugWithAChannelInitialisedRestoresIt) {
    QDeviceDunlinFd2* dev = driver(67);
    auto cfg = fdConfig(1000000, 4000000);
    cfg.isoMode = 1;
    ASSERT_EQ(KCAN_InitCANFD(67, 0, 0, &cfg), 1u);
    ASSERT_TRUE(ksim::unplugDevice(0));
    ASSERT_TRUE(eventually([&] { return dev->faultState() == -1; }));
    const auto detected = Clock::now();
    EXPECT_TRUE(eventually([&] { return dev->restartCount() >= 1; }, 2s)) << "restart at once";
    _KCAN_CAN_OBJ f{};
    EXPECT_EQ(KCAN_Transmit(67, 0, 0, &f, 1), 0u) << "nothing sent while restoring";
    std::this_thread::sleep_for(500ms);
    const uint32_t restarts = dev->restartCount();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - detected);
    EXPECT_GE(restarts, 2u) << "attempts go on";
    EXPECT_LE(restarts, 1 + ms.count() / 50 + 1) << "at least 50 ms apart";

    ASSERT_TRUE(ksim::plugDevice(0));
    ASSERT_TRUE(eventually([&] { return dev->faultState() == 0; }));
    EXPECT_NE(sim("dev 0 state 0").find("init=1 started=1 fd=1 iso=1"), std::string::npos);
    _KCAN_CANFD_OBJ fd{};
    EXPECT_EQ(KCAN_TransmitFD(67, 0, 0, &fd, 1), 1u) << "the restored channel carries traffic";
}

TEST_F(SimFd, UnplugWithNoChannelInitialisedRestartsNothing) {
    ASSERT_TRUE(ksim::unplugDevice(0));
    std::this_thread::sleep_for(1200ms);  // more than two stream read time-outs
    EXPECT_EQ(driver(67)->restartCount(), 0u);
    EXPECT_EQ(driver(67)->faultState(), 0);
    ASSERT_TRUE(ksim::plugDevice(0));
}

TEST(SimFdExit, RegistryClosesOpenDevicesAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ksim::configureDevices("ZARO3018");
            auto cfg = fdConfig(500000, 2000000);
            if (KCAN_OpenDevice(67, 0) != 1 || KCAN_InitCANFD(67, 0, 0, &cfg) != 1)
                std::_Exit(3);
            std::exit(0);  // the registry's destructor closes the adapter
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
