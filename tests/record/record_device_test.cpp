// QDeviceCanRecord through the real USB transport against a scripted
// recorder: the USB identity of the type, the command each operation sends,
// which replies count, and the empty frame operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <string>
#include <tuple>

#include "QErrMgr.h"
#include "core/sim_control.h"
#include "drivers/record/QDeviceCanRecord.h"
#include "platform/QUserLog.h"
#include "scripted_device.h"

using Clock = std::chrono::steady_clock;
using scripted::Bytes;
using scripted::hex;
using scripted::Reply;
using Texts = std::vector<std::string>;

namespace {

constexpr int kSentinel = KCAN_ERR_MALLOC;  // never set by the recorder driver

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Every field of the settings record, for comparing two of them.
auto fields(const _KCAN_RECORD_CONFIG& c) {
    return std::make_tuple(c.reserved, c.fdEnable, c.isoMode, c.mode, c.abitClock, c.dbitClock,
                           c.abitTiming, c.dbitTiming, c.recordFlagA, c.recordParamA,
                           c.recordParamB, c.recordFlagB, c.recordParamC);
}

class Recorder : public ::testing::Test {
  protected:
    void SetUp() override {
        QUserLog::GetInstance();
        std::string error;
        // A 2602 first, so that type 61 index 0 must skip it.
        ASSERT_TRUE(ksim::configureDevices("0471:2602,0471:2601", &error)) << error;
        dev_ = scripted::device(0x2601);
        ASSERT_NE(dev_, nullptr);
        dev_->setResponder([this](uint8_t, const Bytes& b) { return answer(b); });
        ASSERT_EQ(rec_.openDevice(61, 0, 0), 1);
        QErrInfoMgr::getinstance()->setLastError(kSentinel);
    }
    void TearDown() override {
        ksim::clearTransferCut(1);
        EXPECT_EQ(QErrInfoMgr::getinstance()->getLastError(), kSentinel);
    }

    // The replies set by replyWith, else those of a recorder that keeps its
    // settings and answers every command (the direct transfer with its bytes
    // plus one).
    std::vector<Reply> answer(const Bytes& b) {
        if (!fixed_.empty()) {
            std::vector<Reply> out;
            for (const Bytes& r : fixed_) {
                out.push_back({0x81, r});
            }
            return out;
        }
        static const std::map<std::pair<uint8_t, uint8_t>, Bytes> replies = {
            {{0x01, 1}, {0x55, 0x01, 0x02, 0x00, 0x03, 0x01}},
            {{0x12, 1}, {0x55, 0x12, 0x02, 0x00, 0x10, 0x02}},
            {{0x13, 1}, {0x55, 0x13, 0x01, 0x00, 0x02}},
            {{0x05, 0}, {0x55, 0x05, 0x00, 0x00, 0x03, 0x01, 0x01}},
            {{0x05, 1}, {0x55, 0x05, 0x01, 0x00, 0x02, 0, 1, 0, 0, 0xFF, 1, 0, 0}},
        };
        Bytes r = b;
        if (b[1] == 0xA7) {
            std::for_each(r.begin() + 2, r.end(), [](uint8_t& v) { ++v; });
        } else if (b[1] == 0x03 || b[1] == 0x04) {  // settings write, filter command
            if (b[1] == 0x03) {
                settings_[b[2] & 1] = b;
            }
            r = {0x55, b[1], 0x00, 0x00, 0x00};
        } else if (b[1] == 0xA4) {
            r = settings_[b[2] & 1];
            r[1] = 0xA4;
        } else {
            r = replies.at({b[1], b[2]});
        }
        return {{0x81, r}};
    }

    void replyWith(std::vector<Bytes> replies) { fixed_ = std::move(replies); }

    scripted::ScriptedDevice* dev_ = nullptr;
    Bytes settings_[2] = {Bytes(28, 0x55), Bytes(28, 0x55)};
    std::vector<Bytes> fixed_;
    QDeviceCanRecord rec_;
};

TEST_F(Recorder, OpenPicksTheTypesIdentityAndOnlyOnce) {
    EXPECT_EQ(rec_.openDevice(61, 0, 0), 1);
    QDeviceCanRecord other, none;
    EXPECT_EQ(other.openDevice(62, 0, 0), 1);
    EXPECT_EQ(none.openDevice(63, 0, 0), 0) << "no identity for type 63";
    auto devices = ksim::listDevices();
    EXPECT_EQ(devices[0].counters.opens, 1u) << "0471:2602 by type 62 only";
    EXPECT_EQ(devices[1].counters.opens, 1u);
    EXPECT_EQ(rec_.closeDevice(), 1);
    EXPECT_EQ(rec_.closeDevice(), 1);
}

TEST_F(Recorder, BoardInformationAndDirectTransfer) {
    _KCAN_BOARD_INFO info;
    memset(&info, 'x', sizeof info);
    ASSERT_EQ(rec_.getBoardInf(&info), 1);
    EXPECT_EQ(info.hwVersion, 0x0103);
    EXPECT_EQ(info.fwVersion, 0x0210);
    EXPECT_EQ(info.chNum, 2);
    EXPECT_EQ(info.ifVersion, 0x0100);
    EXPECT_EQ(info.serialNum[0], 'x') << "not written by recorders";
    EXPECT_EQ(dev_->sentHex(0x01), (Texts{"55 01 01 01", "55 12 01 01", "55 13 01 01"}));
    EXPECT_EQ(rec_.getBoardInf(nullptr), 0);

    // The direct data transfer: at most 62 bytes out, the reply after its
    // two leading bytes back.
    dev_->clearSent();
    uint8_t data[100];
    std::iota(data, data + 100, 0);
    EXPECT_EQ(rec_.transmitData(data, 100), 62);
    EXPECT_EQ(dev_->sentHex(0x01)[0].size() + 1, 64u * 3);
    EXPECT_EQ(hex(data, 1) + " " + hex(data + 60, 3), "01 3d 3e 3e") << "untouched past 62";
    EXPECT_EQ(rec_.transmitData(data, 3), 3);
    EXPECT_EQ(dev_->sentHex(0x01)[1], "12 a7 01 02 03");
    EXPECT_EQ(rec_.transmitData(nullptr, 3), 0);
    replyWith({{0x12, 0xA7, 0x09}});  // three bytes are enough to match
    EXPECT_EQ(rec_.transmitData(data, 3), 1);
    EXPECT_EQ(data[0], 0x09);
}

TEST_F(Recorder, SettingsRoundTrip) {
    // isoMode 2 and mode 3 go out whole and come back as their bit 0.
    _KCAN_RECORD_CONFIG s = {0, 1, 2, 3, 80, 0, 0x12345678, 0x00410807, 0, 0, 0, 1, 0x42};
    ASSERT_EQ(rec_.RecordSettingSet(1, &s), 1);
    ASSERT_EQ(dev_->sentHex(0x01).size(), 1u);
    EXPECT_EQ(dev_->sentHex(0x01)[0].substr(0, 17), "55 03 01 01 02 03");
    _KCAN_RECORD_CONFIG back{};
    back.reserved = 0x99;
    ASSERT_EQ(rec_.RecordSettingGet(1, &back), 1);
    EXPECT_EQ(dev_->sentHex(0x01)[1], "55 a4 01");
    s.reserved = 0x99;
    s.isoMode = 0;
    s.mode = 1;
    EXPECT_EQ(fields(back), fields(s));
    ASSERT_EQ(rec_.RecordSettingGet(0, &back), 1);
    EXPECT_EQ(dev_->sentHex(0x01)[2], "55 a4 00");
    EXPECT_EQ(back.abitClock, 0x55) << "channel 0's settings";

    dev_->clearSent();
    EXPECT_EQ(rec_.RecordSettingSet(2, &s), 0);
    EXPECT_EQ(rec_.RecordSettingGet(2, &back), 0);
    EXPECT_EQ(rec_.RecordSettingSet(0, nullptr), 0);
    EXPECT_TRUE(dev_->sentHex().empty()) << "channel 2 sends nothing";
}

TEST_F(Recorder, ForeignReplyIsDroppedUntilTheTimeOut) {
    replyWith({{0x55, 0x04, 0x00, 0x00, 0x00}});
    _KCAN_BOARD_INFO info{};
    auto start = Clock::now();
    EXPECT_EQ(rec_.getBoardInf(&info), 0) << "the first board query went unanswered";
    EXPECT_GE(msSince(start), 1000);
    EXPECT_LT(msSince(start), 3000);
}

// Only a matching reply with status 0 and the length its command needs
// counts; out-records stay untouched otherwise.
TEST_F(Recorder, RepliesThatDoNotCount) {
    _KCAN_RECORD_CONFIG s{};
    s.fdEnable = 7;
    _KCAN_FLITER_INFO info{0xEEEE, 0xEE};
    _KCAN_FLITER_CONFIG entry{};
    entry.filterType = 0xEE;
    auto set = [&] { return rec_.RecordSettingSet(0, &s); };
    auto get = [&] { return rec_.RecordSettingGet(0, &s); };
    auto filter = [&](uint32_t command) {
        return [&, command] { return rec_.RecordCmdExecute(0, command, &info, &entry); };
    };
    const Bytes ok = {0x55, 0x03, 0x00, 0x00, 0x00};
    Bytes read(25, 0x01);  // one byte short
    read[0] = 0x55;
    read[1] = 0xA4;
    const struct {
        std::function<int32_t()> call;
        std::vector<Bytes> replies;
        int32_t result;
        int cut;  // bytes of the command that get out; 0: all
    } cases[] = {
        {set, {ok}, 1, 0},
        {set, {{0x55, 0x04, 0x00, 0x00, 0x00}, ok}, 1, 0},  // a foreign reply is dropped
        {set, {{0x55, 0x03, 0x00, 0x01, 0x00}}, 0, 0},      // refused
        {set, {{0x55, 0x03, 0x00, 0x00}}, 0, 0},            // too short
        {set, {ok}, 0, 10},                                 // command cut short
        {get, {read}, 0, 0},
        {filter(0), {{0x55, 0x04, 0x00}}, 0, 0},
        {filter(1), {{0x55, 0x04, 0x01, 0x02}}, 0, 0},
        {filter(4), {{0x55, 0x05, 0x00, 0x02, 0x03, 0x00, 0x01}}, 0, 0},
        {filter(4), {{0x55, 0x05, 0x00, 0x00, 0x03, 0x00}}, 0, 0},
        {filter(5), {{0x55, 0x05, 0x01, 0x01, 0x02, 0, 1, 0, 0, 0xFF, 1, 0, 0}}, 0, 0},
        {filter(5), {{0x55, 0x05, 0x01, 0x00, 0x02, 0, 1, 0, 0, 0xFF, 1, 0}}, 0, 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        replyWith(cases[i].replies);
        if (cases[i].cut != 0) {
            ASSERT_TRUE(ksim::setTransferCut(1, {0x01, cases[i].cut}));
        }
        EXPECT_EQ(cases[i].call(), cases[i].result) << "row " << i;
        EXPECT_EQ(std::make_tuple(s.fdEnable, info.filterCount, info.filterState, entry.filterType),
                  std::make_tuple(7, 0xEEEE, 0xEE, 0xEE))
            << "row " << i;
    }
}

TEST_F(Recorder, FilterCommands) {
    _KCAN_FLITER_CONFIG f{};
    f.filterType = 1;
    f.startId = 0x100;
    f.endId = 0x1FF;
    EXPECT_EQ(rec_.RecordCmdExecute(0, 0, nullptr, nullptr), 1);
    EXPECT_EQ(rec_.RecordCmdExecute(1, 1, nullptr, &f), 1);
    EXPECT_EQ(rec_.RecordCmdExecute(5, 2, nullptr, nullptr), 1);
    EXPECT_EQ(rec_.RecordCmdExecute(0, 3, nullptr, nullptr), 1);
    _KCAN_FLITER_INFO info{};
    EXPECT_EQ(rec_.RecordCmdExecute(0, 4, &info, nullptr), 1);
    EXPECT_EQ(info.filterCount, 0x0103);
    EXPECT_EQ(info.filterState, 1);
    _KCAN_FLITER_CONFIG entry{};
    entry.filterIndex = 0x0102;
    EXPECT_EQ(rec_.RecordCmdExecute(1, 5, nullptr, &entry), 1);
    EXPECT_EQ(entry.filterType, 2);
    EXPECT_EQ(entry.startId, 0x100u);
    EXPECT_EQ(entry.endId, 0x1FFu);
    EXPECT_EQ(
        dev_->sentHex(0x01),
        (Texts{"55 04 00 00 00 00 00 00 00 00 00 00 00", "55 04 01 01 01 00 01 00 00 ff 01 00 00",
               "55 04 02 01 00 00 00 00 00 00 00 00 00", "55 04 03 00 00 00 00 00 00 00 00 00 00",
               "55 05 00 00 00 00", "55 05 01 01 02 01"}));

    dev_->clearSent();
    EXPECT_EQ(rec_.RecordCmdExecute(0, 6, &info, &entry), 0);
    EXPECT_EQ(rec_.RecordCmdExecute(0, 1, nullptr, nullptr), 0) << "add needs a filter";
    EXPECT_EQ(rec_.RecordCmdExecute(0, 4, nullptr, nullptr), 0) << "summary needs info";
    EXPECT_EQ(rec_.RecordCmdExecute(0, 5, nullptr, nullptr), 0) << "entry needs a filter";
    EXPECT_TRUE(dev_->sentHex().empty()) << "nothing sent for these";
}

TEST_F(Recorder, FrameOperationsAreEmpty) {
    _KCAN_CAN_OBJ f[4]{};
    _KCAN_CANFD_OBJ fd[4]{};
    auto start = Clock::now();
    EXPECT_EQ(rec_.receive(0, f, 4, -1) + rec_.receiveFD(0, fd, 4, -1), 0);
    EXPECT_LT(msSince(start), 250) << "no wait even with -1";
    EXPECT_EQ(rec_.transmit(0, f, 4) + rec_.transmitFD(0, fd, 4) + rec_.start(0) + rec_.stop(0), 0);
    EXPECT_EQ(rec_.clearBuffer(0) + rec_.getReceiveNum(0, 2) + rec_.setFliter(0, nullptr), 0);
    EXPECT_EQ(rec_.isDeviceOnLine(), 2);
    EXPECT_TRUE(dev_->sentHex().empty());

    _KCAN_INIT_CONFIG ic{};
    _KCAN_INITFD_CONFIG ifd{};
    for (bool fdInit : {false, true}) {
        EXPECT_EQ(fdInit ? rec_.initCANFD(0, &ifd) : rec_.initCAN(0, &ic), 0);
        EXPECT_EQ(QErrInfoMgr::getinstance()->getLastError(), KCAN_ERR_TYPE_NOT_SUPPORTED);
        QErrInfoMgr::getinstance()->setLastError(kSentinel);
    }
}

}  // namespace
