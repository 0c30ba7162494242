// QDeviceCanRecord through the real USB transport against a scripted
// recorder: the USB identity chosen by the type, exact command bytes, reply
// acceptance, foreign replies, the filter commands and the empty frame
// operations.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "QErrMgr.h"
#include "core/sim_control.h"
#include "drivers/record/QDeviceCanRecord.h"
#include "platform/QUserLog.h"
#include "scripted_device.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using scripted::Bytes;
using scripted::Reply;

namespace {

constexpr int kSentinel = KCAN_ERR_MALLOC;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A recorder that keeps settings and filters and answers every command.
class FakeRecorder {
  public:
    std::vector<Reply> operator()(uint8_t ep, const Bytes& b) {
        if (ep != 0x01 || b.size() < 2) {
            return {};
        }
        if (b[0] == 0x12 && b[1] == 0xA7) {
            Bytes r = {0x12, 0xA7};
            for (size_t i = 2; i < b.size(); ++i) {
                r.push_back(static_cast<uint8_t>(b[i] + 1));
            }
            return {{0x81, r}};
        }
        switch (b[1]) {
            case 0x01:
                return {{0x81, {0x55, 0x01, 0x02, 0x00, 0x03, 0x01}}};
            case 0x12:
                return {{0x81, {0x55, 0x12, 0x02, 0x00, 0x10, 0x02}}};
            case 0x13:
                return {{0x81, {0x55, 0x13, 0x01, 0x00, 0x02}}};
            case 0x03:
                settings[b[2] & 1] = b;
                return {{0x81, {0x55, 0x03, 0x00, 0x00, 0x00}}};
            case 0xA4: {
                Bytes r = settings[b[2] & 1];
                r[1] = 0xA4;
                return {{0x81, r}};
            }
            case 0x04:
                filters.push_back(b);
                return {{0x81, {0x55, 0x04, b[2], 0x00}}};
            case 0x05:
                if (b[2] == 0) {
                    return {{0x81, {0x55, 0x05, 0x00, 0x00, 0x03, 0x00, 0x01}}};
                }
                return {{0x81,
                         {0x55, 0x05, 0x01, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0xFF, 0x01, 0x00,
                          0x00}}};
            default:
                return {};
        }
    }
    Bytes settings[2] = {Bytes(28, 0), Bytes(28, 0)};
    std::vector<Bytes> filters;
};

class Recorder : public ::testing::Test {
  protected:
    void SetUp() override {
        QUserLog::GetInstance();
        std::string error;
        // A 2602 first, so that type 61 index 0 must skip it.
        ASSERT_TRUE(ksim::configureDevices("0471:2602,0471:2601", &error)) << error;
        dev_ = scripted::device(0x2601);
        ASSERT_NE(dev_, nullptr);
        fake_ = std::make_shared<FakeRecorder>();
        auto fake = fake_;
        dev_->setResponder([fake](uint8_t ep, const Bytes& b) { return (*fake)(ep, b); });
        ASSERT_EQ(rec_.openDevice(61, 0, 0), 1);
    }

    void replyWith(std::vector<Bytes> replies) {
        dev_->setResponder([replies](uint8_t, const Bytes&) {
            std::vector<Reply> out;
            for (const Bytes& r : replies) {
                out.push_back({0x81, r});
            }
            return out;
        });
    }

    scripted::ScriptedDevice* dev_ = nullptr;
    std::shared_ptr<FakeRecorder> fake_;
    QDeviceCanRecord rec_;
};

TEST_F(Recorder, OpenPicksTheTypesIdentityAndOnlyOnce) {
    EXPECT_EQ(rec_.openDevice(61, 0, 0), 1);
    auto devices = ksim::listDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].counters.opens, 0u) << "0471:2602 is not type 61";
    EXPECT_EQ(devices[1].counters.opens, 1u);

    QDeviceCanRecord other;
    EXPECT_EQ(other.openDevice(63, 0, 0), 0) << "no identity for type 63";
    EXPECT_EQ(other.closeDevice(), 1);
    EXPECT_EQ(rec_.closeDevice(), 1);
    EXPECT_EQ(rec_.closeDevice(), 1);
}

TEST_F(Recorder, BoardInformation) {
    _KCAN_BOARD_INFO info;
    memset(&info, 'x', sizeof info);
    ASSERT_EQ(rec_.getBoardInf(&info), 1);
    EXPECT_EQ(info.hwVersion, 0x0103);
    EXPECT_EQ(info.fwVersion, 0x0210);
    EXPECT_EQ(info.chNum, 2);
    EXPECT_EQ(info.ifVersion, 0x0100);
    EXPECT_EQ(info.serialNum[0], 'x') << "not written by recorders";
    auto sent = dev_->sent(0x01);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(scripted::hex(sent[0].bytes), "55 01 01 01");
    EXPECT_EQ(scripted::hex(sent[1].bytes), "55 12 01 01");
    EXPECT_EQ(scripted::hex(sent[2].bytes), "55 13 01 01");
    EXPECT_EQ(rec_.getBoardInf(nullptr), 0);
}

TEST_F(Recorder, SettingsRoundTrip) {
    _KCAN_RECORD_CONFIG s{};
    s.fdEnable = 1;
    s.isoMode = 1;
    s.abitClock = 80;
    s.dbitClock = 80;
    s.abitTiming = 0x12345678;
    s.dbitTiming = 0x00410807;
    s.recordFlagB = 1;
    s.recordParamC = 0x42;
    ASSERT_EQ(rec_.RecordSettingSet(1, &s), 1);
    auto sent = dev_->sent(0x01);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(scripted::hex(Bytes(sent[0].bytes.begin(), sent[0].bytes.begin() + 15)),
              "55 03 01 01 01 00 50 00 48 00 68 78 00 56 00");
    _KCAN_RECORD_CONFIG back{};
    back.reserved = 0x99;
    ASSERT_EQ(rec_.RecordSettingGet(1, &back), 1);
    EXPECT_EQ(dev_->sent(0x01)[1].bytes, (Bytes{0x55, 0xA4, 0x01}));
    EXPECT_EQ(back.reserved, 0x99);
    EXPECT_EQ(back.abitTiming, 0x12345678u);
    EXPECT_EQ(back.dbitTiming, 0x00410807u);
    EXPECT_EQ(back.abitClock, 80);
    EXPECT_EQ(back.fdEnable, 1);
    EXPECT_EQ(back.recordFlagB, 1);
    EXPECT_EQ(back.recordParamC, 0x42);

    dev_->clearSent();
    EXPECT_EQ(rec_.RecordSettingSet(2, &s), 0);
    EXPECT_EQ(rec_.RecordSettingGet(2, &back), 0);
    EXPECT_TRUE(dev_->sent().empty()) << "channel 2 sends nothing";
}

TEST_F(Recorder, IsoModeIsReducedOnRead) {
    _KCAN_RECORD_CONFIG s{};
    s.isoMode = 2;
    s.mode = 3;
    ASSERT_EQ(rec_.RecordSettingSet(0, &s), 1);
    EXPECT_EQ(fake_->settings[0][4], 0x02) << "sent whole";
    _KCAN_RECORD_CONFIG back{};
    ASSERT_EQ(rec_.RecordSettingGet(0, &back), 1);
    EXPECT_EQ(back.isoMode, 0);
    EXPECT_EQ(back.mode, 1);
}

TEST_F(Recorder, SettingsWriteReplies) {
    _KCAN_RECORD_CONFIG s{};
    struct Case {
        Bytes reply;
        int32_t result;
        int cut = 0;  // bytes of the command that get out; 0: all
    };
    const Case cases[] = {
        {{0x55, 0x03, 0x00, 0x00, 0x00}, 1},
        {{0x55, 0x03, 0x00, 0x01, 0x00}, 0},      // refused
        {{0x55, 0x03, 0x00, 0x00}, 0},            // too short
        {{0x55, 0x03, 0x00, 0x00, 0x00}, 0, 10},  // command cut short
    };
    for (const Case& c : cases) {
        replyWith({c.reply});
        if (c.cut != 0) {
            dev_->cutNextWrite(0x01, c.cut);
        }
        QErrInfoMgr::getinstance()->setLastError(kSentinel);
        EXPECT_EQ(rec_.RecordSettingSet(0, &s), c.result) << scripted::hex(c.reply);
        EXPECT_EQ(QErrInfoMgr::getinstance()->getLastError(), kSentinel);
    }
}

TEST_F(Recorder, ForeignReplyIsDroppedUntilTheTimeOut) {
    replyWith({{0x55, 0x04, 0x00, 0x00, 0x00}});
    _KCAN_RECORD_CONFIG s{};
    auto start = Clock::now();
    EXPECT_EQ(rec_.RecordSettingSet(0, &s), 0);
    EXPECT_GE(msSince(start), 1000);
    EXPECT_LT(msSince(start), 3000);
    EXPECT_EQ(dev_->pending(0x81), 0u) << "the foreign reply was read and dropped";

    // A foreign reply followed by the right one: the right one counts.
    replyWith({{0x55, 0x04, 0x00, 0x00, 0x00}, {0x55, 0x03, 0x00, 0x00, 0x00}});
    EXPECT_EQ(rec_.RecordSettingSet(0, &s), 1);
}

TEST_F(Recorder, FilterCommands) {
    _KCAN_FLITER_CONFIG f{};
    f.filterType = 1;
    f.startId = 0x100;
    f.endId = 0x1FF;
    EXPECT_EQ(rec_.RecordCmdExecute(0, 0, nullptr, nullptr), 1);
    EXPECT_EQ(rec_.RecordCmdExecute(1, 1, nullptr, &f), 1);
    EXPECT_EQ(rec_.RecordCmdExecute(1, 2, nullptr, nullptr), 1);
    EXPECT_EQ(rec_.RecordCmdExecute(0, 3, nullptr, nullptr), 1);
    ASSERT_EQ(fake_->filters.size(), 4u);
    EXPECT_EQ(scripted::hex(fake_->filters[0]), "55 04 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(scripted::hex(fake_->filters[1]), "55 04 01 01 01 00 01 00 00 ff 01 00 00");
    EXPECT_EQ(scripted::hex(fake_->filters[2]), "55 04 02 01 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(scripted::hex(fake_->filters[3]), "55 04 03 00 00 00 00 00 00 00 00 00 00");

    _KCAN_FLITER_INFO info{};
    EXPECT_EQ(rec_.RecordCmdExecute(0, 4, &info, nullptr), 1);
    EXPECT_EQ(info.filterCount, 3);
    EXPECT_EQ(info.filterState, 1);
    _KCAN_FLITER_CONFIG entry{};
    entry.filterIndex = 0x0102;
    EXPECT_EQ(rec_.RecordCmdExecute(1, 5, nullptr, &entry), 1);
    EXPECT_EQ(entry.filterType, 2);
    EXPECT_EQ(entry.startId, 0x100u);
    EXPECT_EQ(entry.endId, 0x1FFu);
    auto sent = dev_->sent(0x01);
    EXPECT_EQ(scripted::hex(sent[sent.size() - 2].bytes), "55 05 00 00 00 00");
    EXPECT_EQ(scripted::hex(sent.back().bytes), "55 05 01 01 02 01");

    dev_->clearSent();
    EXPECT_EQ(rec_.RecordCmdExecute(0, 6, &info, &entry), 0);
    EXPECT_EQ(rec_.RecordCmdExecute(0, 1, nullptr, nullptr), 0) << "add needs a filter";
    EXPECT_EQ(rec_.RecordCmdExecute(0, 4, nullptr, nullptr), 0) << "summary needs info";
    EXPECT_TRUE(dev_->sent().empty()) << "nothing sent for these";
}

TEST_F(Recorder, RefusedFilterLeavesOutputsUntouched) {
    replyWith({{0x55, 0x05, 0x00, 0x02, 0x03, 0x00, 0x01}});
    _KCAN_FLITER_INFO info{0xEEEE, 0xEE};
    EXPECT_EQ(rec_.RecordCmdExecute(0, 4, &info, nullptr), 0);
    EXPECT_EQ(info.filterCount, 0xEEEE);
    replyWith({{0x55, 0x04, 0x00}});
    EXPECT_EQ(rec_.RecordCmdExecute(0, 0, nullptr, nullptr), 0) << "3 bytes: too short";
}

TEST_F(Recorder, DirectTransfer) {
    uint8_t data[100];
    for (int i = 0; i < 100; ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(rec_.transmitData(data, 100), 62);
    auto sent = dev_->sent(0x01);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes.size(), 64u);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[61], 62);
    EXPECT_EQ(data[62], 62) << "untouched past 62";
}

TEST_F(Recorder, FrameOperationsAreEmpty) {
    QErrInfoMgr::getinstance()->setLastError(kSentinel);
    _KCAN_CAN_OBJ f[4]{};
    _KCAN_CANFD_OBJ fd[4]{};
    auto start = Clock::now();
    EXPECT_EQ(rec_.receive(0, f, 4, -1), 0);
    EXPECT_EQ(rec_.receiveFD(0, fd, 4, -1), 0);
    EXPECT_LT(msSince(start), 250) << "no wait even with -1";
    EXPECT_EQ(rec_.transmit(0, f, 4), 0);
    EXPECT_EQ(rec_.transmitFD(0, fd, 4), 0);
    EXPECT_EQ(rec_.start(0), 0);
    EXPECT_EQ(rec_.stop(0), 0);
    EXPECT_EQ(rec_.clearBuffer(0), 0);
    EXPECT_EQ(rec_.getReceiveNum(0, 2), 0);
    EXPECT_EQ(rec_.setFliter(0, nullptr), 0);
    EXPECT_EQ(rec_.isDeviceOnLine(), 2);
    EXPECT_EQ(QErrInfoMgr::getinstance()->getLastError(), kSentinel);
    EXPECT_TRUE(dev_->sent().empty());

    _KCAN_INIT_CONFIG ic{};
    _KCAN_INITFD_CONFIG ifd{};
    EXPECT_EQ(rec_.initCAN(0, &ic), 0);
    EXPECT_EQ(QErrInfoMgr::getinstance()->getLastError(), KCAN_ERR_TYPE_NOT_SUPPORTED);
    QErrInfoMgr::getinstance()->setLastError(kSentinel);
    EXPECT_EQ(rec_.initCANFD(0, &ifd), 0);
    EXPECT_EQ(QErrInfoMgr::getinstance()->getLastError(), KCAN_ERR_TYPE_NOT_SUPPORTED);
}

}  // namespace
