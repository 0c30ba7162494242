// The classic driver through the real USB transport, against a scripted
// adapter behind the simulator's libusb: the command each operation sends,
// reply handling, the checks and the error that wins, transmit batching,
// receive waits, the service thread's stream, and recovery after unplug.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <thread>

#include "../usb/stdout_capture.h"
#include "QErrMgr.h"
#include "core/sim_control.h"
#include "drivers/classic/dunlin2.h"
#include "drivers/classic/dunlin2_device.h"
#include "platform/QUserLog.h"
#include "scripted_device.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using scripted::Bytes;
using scripted::Reply;
using Texts = std::vector<std::string>;

namespace {

constexpr uint32_t kType = KCAN_TYPE_DUNLIN2;
// An error code the classic driver never sets: shows "left unchanged".
constexpr int kSentinel = KCAN_ERR_MALLOC;

int lastError() {
    return QErrInfoMgr::getinstance()->getLastError();
}
void setSentinel() {
    QErrInfoMgr::getinstance()->setLastError(kSentinel);
}

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

// Waits (sleeping) until pred holds or the limit passes.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
    const auto end = Clock::now() + limit;
    while (!pred() && Clock::now() < end) {
        std::this_thread::sleep_for(5ms);
    }
    return pred();
}

// Received records as the adapter streams them on 0x82, back to back: a
// standard identifier id, id + 1, ... on the given channels, one data byte
// (first, first + 1, ...).
Bytes rxRecords(std::vector<uint32_t> channels, uint32_t id, uint8_t first = 0) {
    Bytes all;
    for (uint32_t ch : channels) {
        Bytes r = {0x10, 0x20, 0x30, 0x01, 0x00, 0x00, static_cast<uint8_t>(ch << 4 | 1)};
        for (int i = 0; i < 4; ++i) {
            r.push_back(static_cast<uint8_t>((id << 5) >> (8 * i)));
        }
        r.push_back(first++);
        r.resize(19);
        all.insert(all.end(), r.begin(), r.end());
        ++id;
    }
    return all;
}

// Answers of a well-behaved adapter; tests override single commands. The
// direct data transfer answers its bytes inverted.
std::vector<Reply> wellBehaved(uint8_t endpoint, const Bytes& b) {
    static const std::map<uint8_t, Bytes> replies = {
        {0x01, {0x12, 0x01, 0x06, 0x00, 0x34, 0x12}},
        {0x03, {0x12, 0x03, 0x82, 0x00}},
        {0x0E, {0x12, 0x0E, 0x00, 0x00}},
        {0x0F, {0x12, 0x0F, 0x00, 0x00}},
        {0x12, {0x12, 0x12, 0x06, 0x00, 0x78, 0x56}},
        {0x13, {0x12, 0x13, 0x03, 0x00, 0x02}},
        {0x14, {0x12, 0x14, 0x05, 0x00, 'S', 'N', '0', '1', 'Z', 'Z'}},
        {0x15, {0x12, 0x15, 0x08, 0x00, 'D', 'U', 'N', 'L', 'I', 'N', '2'}},
        {0xB1, {0x12, 0xB1, 0x02, 0x01, 0x02}},
        {0xB2, {0x12, 0xB2, 0x02, 0x5A, 0xA5}},
        {0xA4, {0x12, 0xA4, 0x01, 0x01, 0, 0, 0x1C, 0, 0x03}},
        {0x80, {0x12, 0x80, 0x01, 0x01, 0, 0x11, 0, 0, 0, 0x33, 0x22, 0}},
    };
    if (endpoint != 0x01 || b.size() < 2 || b[0] != 0x12) {
        return {};
    }
    if (b[1] == 0xA7) {
        Bytes reply = b;
        std::transform(b.begin() + 2, b.end(), reply.begin() + 2, [](uint8_t v) { return ~v; });
        return {{0x81, reply}};
    }
    auto it = replies.find(b[1]);
    return it != replies.end() ? std::vector<Reply>{{0x81, it->second}} : std::vector<Reply>{};
}

_KCAN_INIT_CONFIG initConfig(uint8_t t0, uint8_t t1, uint8_t mode = 0) {
    return {{}, t0, t1, mode};
}

// A standard data frame with two bytes, A0 A1.
_KCAN_CAN_OBJ frame(uint32_t id) {
    return {id, 0, 0, 0, 0, 0, 2, {}, {0xA0, 0xA1}};
}

class ClassicDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        QUserLog::GetInstance();  // its configuration notes stay out of the capture
        std::string error;
        ASSERT_TRUE(ksim::configureDevices("0471:1200", &error)) << error;
        dev_ = scripted::device(0x1200);
        ASSERT_NE(dev_, nullptr);
        dev_->setResponder(wellBehaved);
        capture_ = std::make_unique<StdoutCapture>();
    }

    void TearDown() override {
        ksim::clearTransferCut(0);
        dev_->setResponder(wellBehaved);  // a quick close
        dunlin2CloseDevice(kType, 0);
        _KCAN_CAN_OBJ drain[64];
        while (dunlin2Receive(kType, 0, 0, drain, 64, 0) +
               dunlin2Receive(kType, 0, 1, drain, 64, 0)) {
        }
        if (HasFailure()) {
            std::cerr << log();  // gtest's own messages went there too
        }
    }

    // Opens the adapter and initialises and starts channels 0..channels-1:
    // channel 0 at 1 Mbit/s, channel 1 at 250 kbit/s in mode 1.
    void openAndInit(uint32_t channels = 1) {
        ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
        for (uint32_t ch = 0; ch < channels; ++ch) {
            _KCAN_INIT_CONFIG c = initConfig(ch, ch == 0 ? 0x14 : 0x1C, ch);
            ASSERT_EQ(dunlin2InitCAN(kType, 0, ch, &c), 1u);
            ASSERT_EQ(dunlin2StartCAN(kType, 0, ch), 1u);
        }
        dev_->clearSent();
    }

    // The well-behaved adapter, except that command `code` gets `reply`
    // (nothing when it is empty).
    void answer(uint8_t code, Bytes reply) {
        dev_->setResponder([code, reply](uint8_t ep, const Bytes& b) -> std::vector<Reply> {
            if (b.size() > 1 && b[1] == code) {
                return reply.empty() ? std::vector<Reply>{} : std::vector<Reply>{{0x81, reply}};
            }
            return wellBehaved(ep, b);
        });
    }

    std::string log() const { return capture_->text(); }  // the logger's console lines

    scripted::ScriptedDevice* dev_ = nullptr;
    std::unique_ptr<StdoutCapture> capture_;
};

TEST_F(ClassicDriver, ChecksOpenAndClose) {
    uint8_t a = 0, b = 0;
    _KCAN_BOARD_INFO info{};
    _KCAN_INIT_CONFIG cfg{};
    _KCAN_CAN_OBJ f = frame(1);
    // Codes: 6 type not supported, 7 not open, 8 parameter, 13 not initialised.
    const struct {
        bool open;  // the rows with an open device come last
        std::function<uint32_t()> call;
        int error;  // kSentinel: left unchanged
    } cases[] = {
        {false, [] { return dunlin2OpenDevice(5, 0, 0); }, 6},
        {false, [] { return dunlin2OpenDevice(3, 32, 0); }, 8},
        {false, [] { return dunlin2CloseDevice(5, 0); }, 6},
        {false, [] { return dunlin2CloseDevice(4, 32); }, 8},
        {false, [] { return uint32_t(dunlin2DevParaIsValid(4, 0, 2)); }, 8},
        {false, [] { return uint32_t(dunlin2DevParaIsValid(5, 40, 2)); }, 6},
        // Open checks: 7 replaces 6 and 8.
        {false, [&] { return dunlin2ReadBoardInfo(5, 0, &info); }, 7},
        {false, [&] { return dunlin2ReadBoardInfo(4, 32, &info); }, 7},
        {false, [&] { return dunlin2InitCAN(4, 0, 0, &cfg); }, 7},
        {false, [&] { return dunlin2DevRelayStatusGet(4, 0, &a, &b); }, 7},
        {false, [&] { return dunlin2DevDataTransfer(5, 0, &a, 1); }, 7},
        // Initialised checks: 13 replaces 6, 7 and 8.
        {false, [&] { return dunlin2Transmit(5, 0, 0, &f, 1); }, 13},
        {false, [&] { return dunlin2Transmit(4, 32, 0, &f, 1); }, 13},
        {false, [] { return dunlin2StartCAN(4, 0, 1); }, 13},
        {false, [] { return dunlin2GetReceiveNum(3, 0, 0); }, 13},
        {false, [] { return dunlin2ClearBuffer(3, 0, 2); }, 13},
        // Reset: nothing of its own when the device is closed.
        {false, [] { return dunlin2ResetCAN(4, 0, 0); }, kSentinel},
        {false, [] { return dunlin2ResetCAN(5, 0, 0); }, 6},
        // Receive checks the index only.
        {false, [&] { return dunlin2Receive(4, 32, 0, &f, 1, 0); }, 8},
        {false, [&] { return dunlin2Receive(5, 0, 0, &f, 1, 0); }, kSentinel},
        // An open device: channel 2, a channel not initialised, null records.
        {true, [&] { return dunlin2InitCAN(4, 0, 2, &cfg); }, 8},
        {true, [] { return dunlin2ResetCAN(4, 0, 2); }, 8},
        {true, [] { return dunlin2StartCAN(4, 0, 0); }, 13},
        {true, [] { return dunlin2GetReceiveNum(4, 0, 1); }, 13},
        {true, [] { return dunlin2GetReceiveNum(4, 0, 2); }, 13},
        {true, [] { return dunlin2ReadBoardInfo(4, 0, nullptr); }, 8},
        {true, [&] { return dunlin2DevRelayStatusGet(4, 0, &a, nullptr); }, 8},
        {true, [&] { return dunlin2DevBaudParaGet(4, 0, 0, nullptr, &b); }, 8},
        {true, [&] { return dunlin2DevChStateGet(4, 0, 0, &a, &b, nullptr); }, 8},
        {true, [] { return dunlin2DevDataTransfer(4, 0, nullptr, 1); }, 8},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        if (cases[i].open && dunlin2IsOpen(kType, 0) == 0) {
            ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
        }
        setSentinel();
        EXPECT_EQ(cases[i].call(), 0u) << "row " << i;
        EXPECT_EQ(lastError(), cases[i].error) << "row " << i;
    }
    EXPECT_TRUE(dev_->sentHex(0x01).empty()) << "no command for a refused call";

    // Open twice (types 3 and 4 share the record), close, close again, and
    // open an adapter that is not there.
    ASSERT_EQ(dunlin2OpenDevice(3, 0, 0), 1u);
    EXPECT_EQ(ksim::listDevices()[0].counters.opens, 1u);
    EXPECT_EQ(dunlin2CloseDevice(kType, 0), 1u);
    EXPECT_EQ(dev_->sentHex(0x01), (Texts{"12 0f 02 00 00", "12 0f 02 00 10"}));
    setSentinel();
    EXPECT_EQ(dunlin2CloseDevice(kType, 0), 1u);
    EXPECT_EQ(dunlin2OpenDevice(kType, 1, 0), 0u);
    EXPECT_EQ(lastError(), kSentinel);
    EXPECT_EQ(countOf(log(), "DUNLIN Open Fail..."), 1u);
}

TEST_F(ClassicDriver, ChannelInitNeedsReplyByte2Of81Or82) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    const struct {
        uint32_t channel;
        uint8_t mode;
        Bytes reply;
        uint32_t result;
        int error;  // 12: the adapter did not accept it
        const char* log;
    } cases[] = {
        {0, 2, {}, 0, kSentinel, "Warning:DUNLIN <ch:0> Init Fail->Para Err,Unkown Mode:2 "},
        {1, 0, {0x12, 0x03, 0x80, 0x00}, 0, 12, "VORM Tip:DUNLIN <ch:1> Init Fail"},
        {0, 0, {}, 0, 12, "VORM Tip:DUNLIN <ch:0> Init Fail"},  // no answer
        {1, 0, {0x12, 0x03}, 0, 12, "VORM Tip:DUNLIN <ch:1> Init Fail"},
        {1, 1, {0x12, 0x03, 0x81, 0x00}, 1, kSentinel, "VORM Tip:DUNLIN <ch:1> Init Success"},
        {0, 0, {0x12, 0x03, 0x82, 0x00}, 1, kSentinel, "VORM Tip:DUNLIN <ch:0> Init Success"},
    };
    for (const auto& c : cases) {
        answer(0x03, c.reply);
        dev_->clearSent();
        const size_t logged = countOf(log(), c.log);
        _KCAN_INIT_CONFIG cfg = initConfig(0x03, 0x1C, c.mode);
        setSentinel();
        EXPECT_EQ(dunlin2InitCAN(kType, 0, c.channel, &cfg), c.result) << c.log;
        EXPECT_EQ(lastError(), c.error) << c.log;
        EXPECT_EQ(countOf(log(), c.log), logged + 1) << c.log;
        EXPECT_EQ(dev_->sentHex(0x01).empty(), c.mode == 2) << c.log;
        EXPECT_EQ(dunlin2IsInit(kType, 0, c.channel), int(c.result)) << c.log;
    }
}

// Frames are queued from the open on; init and reset empty the channel's
// queue, and a reset channel stays initialised.
TEST_F(ClassicDriver, InitAndResetEmptyTheQueue) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    dev_->push(0x82, rxRecords({0, 0}, 0x10));
    _KCAN_CAN_OBJ got{};
    ASSERT_EQ(dunlin2Receive(kType, 0, 0, &got, 1, 5000), 1u) << "queued before any init";
    _KCAN_INIT_CONFIG cfg = initConfig(0, 0x14);
    ASSERT_EQ(dunlin2InitCAN(kType, 0, 0, &cfg), 1u);
    EXPECT_EQ(dunlin2GetReceiveNum(kType, 0, 0), 0u) << "init empties the queue";

    answer(0x0E, {});  // the adapter takes the start silently: still started
    dev_->clearSent();
    EXPECT_EQ(dunlin2StartCAN(kType, 0, 0), 1u);
    dev_->push(0x82, rxRecords({0}, 0x77));
    ASSERT_TRUE(eventually([&] { return dunlin2GetReceiveNum(kType, 0, 0) == 1; }));
    dev_->setResponder(nullptr);  // a reply would be left unread anyway
    setSentinel();
    EXPECT_EQ(dunlin2ResetCAN(kType, 0, 0), 1u);
    EXPECT_EQ(dunlin2GetReceiveNum(kType, 0, 0), 0u);
    EXPECT_EQ(lastError(), kSentinel);
    EXPECT_EQ(dev_->sentHex(0x01)[0], "12 0e 02 00 00");
    EXPECT_EQ(dev_->sentHex(0x01).back(), "12 0f 02 00 00");
}

TEST_F(ClassicDriver, TransmitSendsBatchesOfThree) {
    openAndInit(2);
    _KCAN_CAN_OBJ frames[7];
    for (uint32_t i = 0; i < 7; ++i) {
        frames[i] = frame(0x100 + i);
    }
    frames[0].timeStamp = 0x0A0B0C0D;
    EXPECT_EQ(dunlin2Transmit(kType, 0, 1, frames, 7), 7u);
    const Texts sent = dev_->sentHex(0x02);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].size() + sent[1].size() + 2, 2 * 57u * 3);
    // Frame 0x100 on channel 1, two data bytes, time stamp big-endian; then
    // 0x101 and, alone in the last transfer, 0x106.
    EXPECT_EQ(
        sent[0].substr(0, 3 * 28 - 1),
        "0a 0b 0c 0d 00 00 12 00 20 00 00 a0 a1 00 00 00 00 00 00 00 00 00 00 00 00 12 20 20");
    EXPECT_EQ(sent[2].substr(18, 8), "12 c0 20");

    // The low 16 bits of the count.
    for (const auto& [count, result] :
         {std::pair{65536ull, 0u}, std::pair{65537ull, 1u}, std::pair{0x100000001ull, 1u}}) {
        dev_->clearSent();
        EXPECT_EQ(dunlin2Transmit(kType, 0, 0, frames, count), result) << count;
        EXPECT_EQ(dev_->sentHex(0x02).size(), result) << count;
    }

    // A bad frame fails the call, even after earlier batches went out.
    frames[3].len = 9;
    dev_->clearSent();
    setSentinel();
    EXPECT_EQ(dunlin2Transmit(kType, 0, 0, frames, 5), 0u);
    EXPECT_EQ(lastError(), KCAN_ERR_CAN_FORMAT);
    EXPECT_EQ(dev_->sentHex(0x02).size(), 1u) << "the first batch already went out";
}

TEST_F(ClassicDriver, ServiceThreadSplitsTheStreamIntoQueuesThatReceiveWaitsOn) {
    openAndInit(2);
    // Starts mid-record, then three records and 7 bytes of a fourth in one
    // read, the rest of the fourth, and a fifth in a read of its own.
    Bytes stream = rxRecords({0}, 0x7FF);
    stream.erase(stream.begin(), stream.end() - 5);
    const Bytes records = rxRecords({0, 1, 0, 1, 0}, 0x300);
    stream.insert(stream.end(), records.begin(), records.end());
    dev_->push(0x82, Bytes(stream.begin(), stream.begin() + 64));
    dev_->push(0x82, Bytes(stream.begin() + 64, stream.begin() + 81));
    dev_->push(0x82, Bytes(stream.begin() + 81, stream.end()));
    ASSERT_TRUE(eventually([&] {
        return dunlin2GetReceiveNum(kType, 0, 0) == 3 && dunlin2GetReceiveNum(kType, 0, 1) == 2;
    }));
    _KCAN_CAN_OBJ got[10];
    auto start = Clock::now();
    ASSERT_EQ(dunlin2Receive(kType, 0, 0, got, 2, 1000), 2u) << "up to the capacity, at once";
    EXPECT_LT(msSince(start), 500);
    EXPECT_EQ(got[0].id, 0x300u);
    EXPECT_EQ(got[1].id, 0x302u);
    EXPECT_EQ(got[0].timeStamp, 0x01302010u);
    EXPECT_EQ(dunlin2GetReceiveNum(kType, 0, 0), 1u);
    ASSERT_EQ(dunlin2Receive(kType, 0, 3, got, 10, 0), 2u) << "channel 3 reads channel 1";
    EXPECT_EQ(got[0].id, 0x301u);
    EXPECT_EQ(got[1].id, 0x303u);
    EXPECT_EQ(got[1].data[0], 3);
    EXPECT_EQ(dunlin2ClearBuffer(kType, 0, 0), 1u);
    EXPECT_EQ(dunlin2GetReceiveNum(kType, 0, 0), 0u);

    // Waits for the first frame: 0 looks once, -1 has no limit.
    start = Clock::now();
    EXPECT_EQ(dunlin2Receive(kType, 0, 0, got, 4, 0), 0u);
    EXPECT_LT(msSince(start), 250) << "wait 0 looks once";

    start = Clock::now();
    EXPECT_EQ(dunlin2Receive(kType, 0, 0, got, 4, 50), 0u);
    EXPECT_GE(msSince(start), 50);
    EXPECT_LT(msSince(start), 1000);

    start = Clock::now();
    std::thread feeder([&] {
        std::this_thread::sleep_for(150ms);
        dev_->push(0x82, rxRecords({0}, 0x55));
    });
    EXPECT_EQ(dunlin2Receive(kType, 0, 0, got, 4, -1), 1u) << "-1 waits until a frame comes";
    EXPECT_GE(msSince(start), 150);
    EXPECT_EQ(got[0].id, 0x55u);
    feeder.join();
}

// Closing the device, or the library's exit, leaves the queues and their
// locks: frames queued before can still be read.
TEST_F(ClassicDriver, FramesQueuedBeforeCloseOrExitCanStillBeRead) {
    for (bool exit : {false, true}) {
        openAndInit();
        dev_->push(0x82, rxRecords({0}, 0x66));
        ASSERT_TRUE(eventually([&] { return dunlin2GetReceiveNum(kType, 0, 0) == 1; }));
        ASSERT_EQ(exit ? uint32_t(dunlin2Exit()) : dunlin2CloseDevice(kType, 0), 1u);
        EXPECT_EQ(dunlin2IsOpen(kType, 0), 0);
        _KCAN_CAN_OBJ got[2];
        EXPECT_EQ(dunlin2Receive(kType, 0, 0, got, 2, 0), 1u);
        EXPECT_EQ(got[0].id, 0x66u);
        setSentinel();
        EXPECT_EQ(dunlin2Transmit(kType, 0, 0, got, 1), 0u);
        EXPECT_EQ(lastError(), KCAN_ERR_CAN_NOT_INIT) << "the init flags are cleared";
    }
}

TEST_F(ClassicDriver, BoardInformationWithAShortSerialNumber) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    _KCAN_BOARD_INFO info;
    memset(&info, 'x', sizeof info);
    ASSERT_EQ(dunlin2ReadBoardInfo(kType, 0, &info), 1u);
    EXPECT_EQ(info.hwVersion, 0x1234);
    EXPECT_EQ(info.fwVersion, 0x5678);
    EXPECT_EQ(info.chNum, 2);
    EXPECT_EQ(std::string(info.serialNum, 5), "SN01x") << "4 bytes copied, the rest untouched";
    EXPECT_EQ(std::string(info.hwType, 8), "DUNLIN2x");
    EXPECT_EQ(info.ifVersion, 0x7878) << "left as it was";
    EXPECT_EQ(dev_->sentHex(0x01),
              (Texts{"12 01 01 00", "12 12 01 00", "12 13 01 00", "12 14 01 00", "12 15 01 00"}));

    // Query 1 must be answered with exactly 6 bytes.
    answer(0x01, {0x12, 0x01, 0x06, 0x00, 0x34, 0x12, 0x00});
    info.hwVersion = 0;
    setSentinel();
    EXPECT_EQ(dunlin2ReadBoardInfo(kType, 0, &info), 0u);
    EXPECT_EQ(lastError(), kSentinel) << "answered, only the wrong length";
    EXPECT_EQ(info.hwVersion, 0);
    EXPECT_EQ(countOf(log(), "DUNLIN 获取板卡信息失败"), 1u);
}

TEST_F(ClassicDriver, DeviceServicesAndDataTransfer) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    uint8_t a = 0, b = 0, s1 = 0, s2 = 0, s3 = 0;
    EXPECT_EQ(dunlin2DevRelayStatusSet(kType, 0, 0x01, 0x02), 1u);
    EXPECT_EQ(dunlin2DevRelayStatusGet(kType, 0, &a, &b), 1u);
    EXPECT_EQ(a << 8 | b, 0x5AA5);
    EXPECT_EQ(dunlin2DevBaudParaGet(kType, 0, 1, &a, &b), 1u);
    EXPECT_EQ(a << 8 | b, 0x1C03);
    EXPECT_EQ(dunlin2DevChStateGet(kType, 0, 1, &s1, &s2, &s3), 1u);
    EXPECT_EQ(s1 << 16 | s2 << 8 | s3, 0x112233);
    EXPECT_EQ(dev_->sentHex(0x01),
              (Texts{"12 b1 02 01 02", "12 b2 02 00 00", "12 a4 01 01", "12 80 01 01 00 00"}));

    // A reply one byte short of its service's minimum, or one that echoes
    // another command, is refused.
    const std::map<uint8_t, std::pair<size_t, std::function<uint32_t()>>> services = {
        {0xB1, {5, [] { return dunlin2DevRelayStatusSet(kType, 0, 1, 2); }}},
        {0xB2, {5, [&] { return dunlin2DevRelayStatusGet(kType, 0, &a, &b); }}},
        {0xA4, {9, [&] { return dunlin2DevBaudParaGet(kType, 0, 1, &a, &b); }}},
        {0x80, {12, [&] { return dunlin2DevChStateGet(kType, 0, 1, &a, &b, &a); }}},
    };
    for (const auto& [code, service] : services) {
        for (size_t length : {service.first - 1, service.first}) {
            Bytes reply(length, 0x07);
            reply[0] = 0x12;
            reply[1] = length < service.first ? code : static_cast<uint8_t>(code ^ 1);
            answer(code, reply);
            a = b = 0xEE;
            setSentinel();
            EXPECT_EQ(service.second(), 0u) << scripted::hex(reply);
            EXPECT_EQ(lastError(), kSentinel);
            EXPECT_EQ(a << 8 | b, 0xEEEE) << "out-parameters untouched";
        }
    }

    // The direct data transfer sends at most 62 bytes and copies back the
    // reply after its two leading bytes.
    uint8_t data[100];
    std::iota(data, data + 100, 0);
    EXPECT_EQ(dunlin2DevDataTransfer(kType, 0, data, 100), 62u);
    const std::string sent = dev_->sentHex(0x01).back();
    EXPECT_EQ(sent.size() + 1, 64u * 3);
    EXPECT_EQ(sent.substr(3 * 62), "3c 3d");
    EXPECT_EQ(data[0], 0xFF) << "the reply after its two leading bytes";
    EXPECT_EQ(data[61], static_cast<uint8_t>(61 ^ 0xFF));
    EXPECT_EQ(data[62], 62) << "nothing past 62 bytes";

    EXPECT_EQ(dunlin2DevDataTransfer(kType, 0, data, -3), 0u) << "a 2-byte reply carries nothing";
    EXPECT_EQ(dev_->sentHex(0x01).back(), "12 a7");
    answer(0xA7, {0x12});
    EXPECT_EQ(dunlin2DevDataTransfer(kType, 0, data, 1), 0u);
}

// A write cut short left half a message at the adapter (which may even answer
// it): never counted as written, and a command goes out again whole. With a
// time-out of 0 the command is written once and no reply is read; without a
// reply the command goes out again after each read.
TEST_F(ClassicDriver, CommandExchanges) {
    openAndInit();
    devInfo* record = dunlin2Record(0);
    uint8_t cmd[] = {0x12, 0x12, 0x01, 0x00};
    uint8_t reply[16] = {};
    int32_t len = sizeof reply;
    ASSERT_TRUE(ksim::setTransferCut(0, {0x01, 2}));
    EXPECT_EQ(usbCmdSend(record, cmd, 4, reply, &len, 0x01, 0x81, 1000), 0);
    EXPECT_EQ(dev_->sentHex(0x01), (Texts{"12 12", "12 12 01 00"}));
    ASSERT_TRUE(ksim::setTransferCut(0, {0x01, 2}));
    EXPECT_EQ(usbCmdSend(record, cmd, 4, reply, &len, 0x01, 0x81, 0), -1) << "write only";
    dev_->setResponder(nullptr);
    len = sizeof reply;
    EXPECT_EQ(usbCmdSend(record, cmd, 4, reply, &len, 0x01, 0x81, 0), 0) << "no reply awaited";
    EXPECT_EQ(len, 16);
    EXPECT_EQ(dev_->sentHex(0x01).size(), 4u);

    // A silent adapter; then the fault state, where a command fails at once
    // without an error code of its own.
    dev_->usbReset();  // drops the answers left unread
    len = sizeof reply;
    setSentinel();
    auto start = Clock::now();
    EXPECT_EQ(usbCmdSend(record, cmd, 4, reply, &len, 0x01, 0x81, 1000), -2);
    EXPECT_GE(msSince(start), 1000);
    EXPECT_LT(msSince(start), 3000);
    EXPECT_EQ(dev_->sentHex(0x01).size(), 6u) << "written again after each 500 ms read";
    EXPECT_EQ(lastError(), KCAN_ERR_USB_COMMAND);

    devInfo* idle = dunlin2Record(31);  // no adapter, no service thread
    idle->faultState = -1;
    setSentinel();
    start = Clock::now();
    EXPECT_EQ(usbCmdSend(idle, cmd, 4, reply, &len, 0x01, 0x81, 1000), -1);
    EXPECT_LT(msSince(start), 250);
    EXPECT_EQ(lastError(), kSentinel);
    EXPECT_TRUE(idle->cmdIdle());
    idle->faultState = 0;

    _KCAN_CAN_OBJ frames[4] = {frame(1), frame(2), frame(3), frame(4)};
    ASSERT_TRUE(ksim::setTransferCut(0, {0x02, 30}));
    setSentinel();
    EXPECT_EQ(dunlin2Transmit(kType, 0, 0, frames, 4), 0u) << "half a batch is not sent";
    EXPECT_EQ(lastError(), KCAN_ERR_USB_TRANSPORT);
    EXPECT_EQ(dev_->sentHex(0x02).size(), 1u);
}

TEST_F(ClassicDriver, UnplugAndPlugBackRestoresInitialisedChannels) {
    openAndInit(2);
    devInfo* record = dunlin2Record(0);

    ASSERT_TRUE(ksim::unplugDevice(0));
    ASSERT_TRUE(eventually([&] { return record->faultState.load() == -1; }));
    _KCAN_CAN_OBJ f = frame(1);
    setSentinel();
    EXPECT_EQ(dunlin2Transmit(kType, 0, 0, &f, 1), 0u) << "no frames while the adapter is lost";
    EXPECT_EQ(lastError(), kSentinel);
    std::this_thread::sleep_for(200ms);  // several recovery steps fail meanwhile
    dev_->clearSent();

    ASSERT_TRUE(ksim::plugDevice(0));
    ASSERT_TRUE(eventually([&] { return record->faultState.load() == 0; }));
    EXPECT_EQ(dev_->sentHex(0x01), (Texts{"12 03 06 00 00 00 14 02 57", "12 0e 02 00 00",
                                          "12 03 06 00 90 01 1c 02 57", "12 0e 02 00 10"}));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(countOf(log(), "VORM Tip:DUNLIN OK..."), 1u);

    // Frames flow again both ways.
    EXPECT_EQ(dunlin2Transmit(kType, 0, 0, &f, 1), 1u);
    dev_->push(0x82, rxRecords({1}, 0x88));
    _KCAN_CAN_OBJ got{};
    EXPECT_EQ(dunlin2Receive(kType, 0, 1, &got, 1, 5000), 1u);
    EXPECT_EQ(got.id, 0x88u);
}

// A transmit that fails and ends while a command still retries must not mark
// the driver idle: the service thread would restart the adapter under it.
TEST_F(ClassicDriver, NoRestartUnderACommandThatOutlastsATransmit) {
    openAndInit();
    devInfo* record = dunlin2Record(0);
    dev_->setResponder(nullptr);
    const auto commandEnd = Clock::now() + 1000ms;  // it retries for its whole 1000 ms
    std::atomic<uint32_t> commandResult{99};
    std::thread command([&] {
        uint8_t a = 0, b = 0;
        commandResult = dunlin2DevRelayStatusGet(kType, 0, &a, &b);
    });
    ASSERT_TRUE(eventually([&] { return !dev_->sentHex(0x01).empty(); }, 5s));
    ASSERT_TRUE(ksim::unplugDevice(0));
    _KCAN_CAN_OBJ f = frame(1);
    EXPECT_EQ(dunlin2Transmit(kType, 0, 0, &f, 1), 0u);
    bool faultDuringCommand = false;
    while (!faultDuringCommand && Clock::now() < commandEnd) {
        faultDuringCommand = record->faultState.load() != 0 && Clock::now() < commandEnd;
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_FALSE(faultDuringCommand) << "adapter restarted while a command was in progress";
    command.join();
    EXPECT_EQ(commandResult.load(), 0u);

    dev_->setResponder(wellBehaved);
    ASSERT_TRUE(ksim::plugDevice(0));
    ASSERT_TRUE(eventually([&] { return countOf(log(), "VORM Tip:DUNLIN OK...") == 1; }));
    EXPECT_EQ(dunlin2Transmit(kType, 0, 0, &f, 1), 1u);
}

TEST_F(ClassicDriver, UnplugWithoutInitialisedChannelsIsNotRecovered) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    ASSERT_TRUE(ksim::unplugDevice(0));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(dunlin2Record(0)->faultState.load(), 0);
    ASSERT_TRUE(ksim::plugDevice(0));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(ksim::listDevices()[0].counters.opens, 1u) << "no restart";
    EXPECT_EQ(countOf(log(), "VORM Tip:DUNLIN OK..."), 0u);
}

}  // namespace
