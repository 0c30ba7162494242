// The classic driver through the real USB transport, against a scripted
// adapter behind the simulator's libusb: exact command and record bytes,
// reply handling, the checks and the error that wins, transmit batching,
// receive waits, the service thread's stream, and recovery after unplug.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
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
    while (Clock::now() < end) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return pred();
}

// A received record as the adapter streams it on 0x82.
Bytes rxRecord(uint32_t channel, uint32_t id, uint8_t first, uint8_t len = 1) {
    Bytes r = {0x10, 0x20, 0x30, 0x01, 0x00, 0x00, static_cast<uint8_t>((channel << 4) | len)};
    const uint32_t field = id << 5;
    for (int i = 0; i < 4; ++i) {
        r.push_back(static_cast<uint8_t>(field >> (8 * i)));
    }
    for (int i = 0; i < 8; ++i) {
        r.push_back(i < len ? static_cast<uint8_t>(first + i) : 0);
    }
    return r;
}

// Answers of a well-behaved adapter; tests override single commands.
std::vector<Reply> wellBehaved(uint8_t endpoint, const Bytes& b) {
    if (endpoint != 0x01 || b.size() < 2 || b[0] != 0x12) {
        return {};
    }
    switch (b[1]) {
        case 0x01:
            return {{0x81, {0x12, 0x01, 0x06, 0x00, 0x34, 0x12}}};
        case 0x03:
            return {{0x81, {0x12, 0x03, 0x82, 0x00}}};
        case 0x0E:
        case 0x0F:
            return {{0x81, {0x12, b[1], 0x00, 0x00}}};
        case 0x12:
            return {{0x81, {0x12, 0x12, 0x06, 0x00, 0x78, 0x56}}};
        case 0x13:
            return {{0x81, {0x12, 0x13, 0x03, 0x00, 0x02}}};
        case 0x14:
            return {{0x81, {0x12, 0x14, 0x05, 0x00, 'S', 'N', '0', '1', 'Z', 'Z'}}};
        case 0x15:
            return {{0x81, {0x12, 0x15, 0x08, 0x00, 'D', 'U', 'N', 'L', 'I', 'N', '2'}}};
        case 0xB1:
            return {{0x81, {0x12, 0xB1, 0x02, b[3], b[4]}}};
        case 0xB2:
            return {{0x81, {0x12, 0xB2, 0x02, 0x5A, 0xA5}}};
        case 0xA4:
            return {{0x81, {0x12, 0xA4, 0x01, b[3], 0, 0, 0x1C, 0, 0x03}}};
        case 0x80:
            return {{0x81, {0x12, 0x80, 0x01, b[3], 0, 0x11, 0, 0, 0, 0x33, 0x22, 0}}};
        case 0xA7: {
            Bytes reply = {0x12, 0xA7};
            for (size_t i = 2; i < b.size(); ++i) {
                reply.push_back(static_cast<uint8_t>(b[i] ^ 0xFF));
            }
            return {{0x81, reply}};
        }
        default:
            return {};
    }
}

_KCAN_INIT_CONFIG initConfig(uint8_t t0, uint8_t t1, uint8_t mode = 0) {
    _KCAN_INIT_CONFIG c{};
    c.timing0 = t0;
    c.timing1 = t1;
    c.mode = mode;
    return c;
}

_KCAN_CAN_OBJ frame(uint32_t id, uint8_t len = 2) {
    _KCAN_CAN_OBJ f{};
    f.id = id;
    f.len = len;
    for (uint8_t i = 0; i < len; ++i) {
        f.data[i] = static_cast<uint8_t>(0xA0 + i);
    }
    return f;
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
        if (dev_ != nullptr) {
            dev_->setResponder(wellBehaved);  // a quick close
        }
        dunlin2CloseDevice(kType, 0);
        for (uint32_t ch = 0; ch < 2; ++ch) {
            _KCAN_CAN_OBJ drain[64];
            while (dunlin2Receive(kType, 0, ch, drain, 64, 0) > 0) {
            }
        }
        capture_.reset();
    }

    void openAndInit(uint32_t channels = 1) {
        ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
        for (uint32_t ch = 0; ch < channels; ++ch) {
            _KCAN_INIT_CONFIG c = initConfig(0x00, static_cast<uint8_t>(0x14 + ch));
            ASSERT_EQ(dunlin2InitCAN(kType, 0, ch, &c), 1u);
            ASSERT_EQ(dunlin2StartCAN(kType, 0, ch), 1u);
        }
        dev_->clearSent();
    }

    std::string log() const { return capture_->text(); }

    scripted::ScriptedDevice* dev_ = nullptr;
    std::unique_ptr<StdoutCapture> capture_;
};

// ---- Checks -----------------------------------------------------------------------

TEST_F(ClassicDriver, ParameterChecksAndTheErrorThatWins) {
    uint8_t a = 0, b = 0;
    _KCAN_BOARD_INFO info{};
    _KCAN_INIT_CONFIG cfg = initConfig(0, 0x14);
    _KCAN_CAN_OBJ f = frame(1);
    struct Case {
        const char* what;
        std::function<uint32_t()> call;
        int error;  // kSentinel: left unchanged
    };
    const Case cases[] = {
        {"open type 5", [] { return dunlin2OpenDevice(5, 0, 0); }, KCAN_ERR_TYPE_NOT_SUPPORTED},
        {"open index 32", [] { return dunlin2OpenDevice(3, 32, 0); }, KCAN_ERR_PARAMETER},
        {"close type 5", [] { return dunlin2CloseDevice(5, 0); }, KCAN_ERR_TYPE_NOT_SUPPORTED},
        {"para channel 2", [] { return uint32_t(dunlin2DevParaIsValid(4, 0, 2)); },
         KCAN_ERR_PARAMETER},
        {"para type 5 first", [] { return uint32_t(dunlin2DevParaIsValid(5, 40, 2)); },
         KCAN_ERR_TYPE_NOT_SUPPORTED},
        // Open checks: 7 replaces 6 and 8.
        {"board info type 5", [&] { return dunlin2ReadBoardInfo(5, 0, &info); },
         KCAN_ERR_DEVICE_NOT_OPENED},
        {"board info index 32", [&] { return dunlin2ReadBoardInfo(4, 32, &info); },
         KCAN_ERR_DEVICE_NOT_OPENED},
        {"board info closed", [&] { return dunlin2ReadBoardInfo(4, 0, &info); },
         KCAN_ERR_DEVICE_NOT_OPENED},
        {"init closed", [&] { return dunlin2InitCAN(4, 0, 0, &cfg); }, KCAN_ERR_DEVICE_NOT_OPENED},
        {"relay get closed", [&] { return dunlin2DevRelayStatusGet(4, 0, &a, &b); },
         KCAN_ERR_DEVICE_NOT_OPENED},
        {"data transfer type 5", [&] { return dunlin2DevDataTransfer(5, 0, &a, 1); },
         KCAN_ERR_DEVICE_NOT_OPENED},
        // Initialised checks: 13 replaces 6, 7 and 8.
        {"transmit type 5", [&] { return dunlin2Transmit(5, 0, 0, &f, 1); }, KCAN_ERR_CAN_NOT_INIT},
        {"transmit index 32", [&] { return dunlin2Transmit(4, 32, 0, &f, 1); },
         KCAN_ERR_CAN_NOT_INIT},
        {"transmit closed", [&] { return dunlin2Transmit(4, 0, 0, &f, 1); }, KCAN_ERR_CAN_NOT_INIT},
        {"start closed", [] { return dunlin2StartCAN(4, 0, 1); }, KCAN_ERR_CAN_NOT_INIT},
        {"count closed", [] { return dunlin2GetReceiveNum(3, 0, 0); }, KCAN_ERR_CAN_NOT_INIT},
        {"clear channel 2", [] { return dunlin2ClearBuffer(3, 0, 2); }, KCAN_ERR_CAN_NOT_INIT},
        // Reset: nothing of its own when the device is closed.
        {"reset closed", [] { return dunlin2ResetCAN(4, 0, 0); }, kSentinel},
        {"reset type 5", [] { return dunlin2ResetCAN(5, 0, 0); }, KCAN_ERR_TYPE_NOT_SUPPORTED},
        // Receive checks the index only.
        {"receive index 32", [&] { return dunlin2Receive(4, 32, 0, &f, 1, 0); },
         KCAN_ERR_PARAMETER},
        {"receive type 5", [&] { return dunlin2Receive(5, 0, 0, &f, 1, 0); }, kSentinel},
    };
    for (const Case& c : cases) {
        setSentinel();
        EXPECT_EQ(c.call(), 0u) << c.what;
        EXPECT_EQ(lastError(), c.error) << c.what;
    }
}

TEST_F(ClassicDriver, ChannelChecksOnAnOpenDevice) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    _KCAN_INIT_CONFIG cfg = initConfig(0, 0x14);
    setSentinel();
    EXPECT_EQ(dunlin2InitCAN(kType, 0, 2, &cfg), 0u);
    EXPECT_EQ(lastError(), KCAN_ERR_PARAMETER);
    setSentinel();
    EXPECT_EQ(dunlin2ResetCAN(kType, 0, 2), 0u);
    EXPECT_EQ(lastError(), KCAN_ERR_PARAMETER);
    setSentinel();
    EXPECT_EQ(dunlin2StartCAN(kType, 0, 0), 0u) << "not initialised";
    EXPECT_EQ(lastError(), KCAN_ERR_CAN_NOT_INIT);
    EXPECT_TRUE(dev_->sent(0x01).empty()) << "no command for a refused call";
}

// ---- Open and close ------------------------------------------------------------------

TEST_F(ClassicDriver, OpenTwiceAndCloseWhenNotOpen) {
    setSentinel();
    EXPECT_EQ(dunlin2CloseDevice(kType, 0), 1u);
    EXPECT_EQ(lastError(), kSentinel);
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    ASSERT_EQ(dunlin2OpenDevice(3, 0, 0), 1u) << "types 3 and 4 share the record";
    EXPECT_EQ(ksim::listDevices()[0].counters.opens, 1u);
    dev_->clearSent();
    EXPECT_EQ(dunlin2CloseDevice(kType, 0), 1u);
    auto sent = dev_->sent(0x01);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(scripted::hex(sent[0].bytes), "12 0f 02 00 00");
    EXPECT_EQ(scripted::hex(sent[1].bytes), "12 0f 02 00 10");
    EXPECT_EQ(dunlin2CloseDevice(kType, 0), 1u);
    EXPECT_EQ(dunlin2IsOpen(kType, 0), 0);
}

TEST_F(ClassicDriver, OpenWithoutAdapterFails) {
    setSentinel();
    EXPECT_EQ(dunlin2OpenDevice(kType, 1, 0), 0u) << "only one adapter attached";
    EXPECT_EQ(lastError(), kSentinel);
    EXPECT_EQ(countOf(log(), "DUNLIN Open Fail..."), 1u);
    EXPECT_EQ(dunlin2IsOpen(kType, 1), 0);
}

// ---- Channel init and start --------------------------------------------------------------

TEST_F(ClassicDriver, ChannelInitBytes) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    struct Case {
        uint32_t channel;
        uint8_t mode;
        const char* sent;  // null: nothing sent
    };
    const Case cases[] = {
        {1, 1, "12 03 06 00 90 03 1c 02 57"},
        {0, 0, "12 03 06 00 00 03 1c 02 57"},
        {0, 2, nullptr},
    };
    for (const Case& c : cases) {
        dev_->clearSent();
        _KCAN_INIT_CONFIG cfg = initConfig(0x03, 0x1C, c.mode);
        setSentinel();
        uint32_t result = dunlin2InitCAN(kType, 0, c.channel, &cfg);
        auto sent = dev_->sent(0x01);
        if (c.sent == nullptr) {
            EXPECT_EQ(result, 0u);
            EXPECT_TRUE(sent.empty());
            EXPECT_EQ(lastError(), kSentinel);
            EXPECT_NE(log().find("Warning:DUNLIN <ch:0> Init Fail->Para Err,Unkown Mode:2 "),
                      std::string::npos);
        } else {
            EXPECT_EQ(result, 1u);
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(scripted::hex(sent[0].bytes), c.sent);
        }
    }
    EXPECT_NE(log().find("VORM Tip:DUNLIN <ch:1> Init Success"), std::string::npos);
}

TEST_F(ClassicDriver, InitReplyByte2DecidesAcceptance) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    struct Case {
        uint8_t byte2;
        uint32_t result;
    };
    for (const Case& c : {Case{0x80, 0}, Case{0x81, 1}, Case{0x82, 1}}) {
        dev_->setResponder([&](uint8_t ep, const Bytes& b) -> std::vector<Reply> {
            if (b.size() > 1 && b[1] == 0x03) {
                return {{0x81, {0x12, 0x03, c.byte2, 0x00}}};
            }
            return wellBehaved(ep, b);
        });
        _KCAN_INIT_CONFIG cfg = initConfig(0, 0x14);
        setSentinel();
        EXPECT_EQ(dunlin2InitCAN(kType, 0, 0, &cfg), c.result) << int(c.byte2);
        EXPECT_EQ(lastError(), c.result == 1 ? kSentinel : KCAN_ERR_USB_COMMAND);
    }
    EXPECT_EQ(countOf(log(), "VORM Tip:DUNLIN <ch:0> Init Fail"), 1u);
}

TEST_F(ClassicDriver, InitEmptiesTheQueueAndStartWithoutReplySucceeds) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    dev_->push(0x82, rxRecord(0, 0x10, 1));
    _KCAN_CAN_OBJ got{};
    ASSERT_EQ(dunlin2Receive(kType, 0, 0, &got, 1, 5000), 1u) << "queued before any init";
    dev_->push(0x82, rxRecord(0, 0x11, 1));
    ASSERT_TRUE(eventually([&] { return dev_->pending(0x82) == 0; }));
    std::this_thread::sleep_for(50ms);  // the thread decodes what it read

    _KCAN_INIT_CONFIG cfg = initConfig(0, 0x14);
    ASSERT_EQ(dunlin2InitCAN(kType, 0, 0, &cfg), 1u);
    EXPECT_EQ(dunlin2GetReceiveNum(kType, 0, 0), 0u) << "init empties the queue";

    dev_->setResponder([](uint8_t ep, const Bytes& b) -> std::vector<Reply> {
        if (b.size() > 1 && b[1] == 0x0E) {
            return {};  // takes the start silently
        }
        return wellBehaved(ep, b);
    });
    dev_->clearSent();
    setSentinel();
    EXPECT_EQ(dunlin2StartCAN(kType, 0, 0), 1u);
    auto sent = dev_->sent(0x01);
    ASSERT_GE(sent.size(), 1u);
    EXPECT_EQ(scripted::hex(sent[0].bytes), "12 0e 02 00 00");
}

// ---- Transmit ---------------------------------------------------------------------------

TEST_F(ClassicDriver, TransmitBatchesOfThree) {
    openAndInit(2);
    _KCAN_CAN_OBJ frames[7];
    for (uint32_t i = 0; i < 7; ++i) {
        frames[i] = frame(0x100 + i);
    }
    frames[0].timeStamp = 0x0A0B0C0D;
    EXPECT_EQ(dunlin2Transmit(kType, 0, 1, frames, 7), 7u);
    auto sent = dev_->sent(0x02);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].bytes.size(), 57u);
    EXPECT_EQ(sent[1].bytes.size(), 57u);
    EXPECT_EQ(sent[2].bytes.size(), 19u);
    // Frame 0x100 on channel 1, two data bytes, time stamp big-endian.
    EXPECT_EQ(scripted::hex(Bytes(sent[0].bytes.begin(), sent[0].bytes.begin() + 19)),
              "0a 0b 0c 0d 00 00 12 00 20 00 00 a0 a1 00 00 00 00 00 00");
    EXPECT_EQ(sent[2].bytes[7], 0xC0) << "frame 0x106: field 0xC0 0x20";
    EXPECT_EQ(sent[2].bytes[8], 0x20);
}

TEST_F(ClassicDriver, BadFrameAfterTheFirstBatchFailsTheCall) {
    openAndInit();
    _KCAN_CAN_OBJ frames[5];
    for (uint32_t i = 0; i < 5; ++i) {
        frames[i] = frame(0x200 + i);
    }
    frames[3].len = 9;
    setSentinel();
    EXPECT_EQ(dunlin2Transmit(kType, 0, 0, frames, 5), 0u);
    EXPECT_EQ(lastError(), KCAN_ERR_CAN_FORMAT);
    auto sent = dev_->sent(0x02);
    ASSERT_EQ(sent.size(), 1u) << "the first batch already went out";
    EXPECT_EQ(sent[0].bytes.size(), 57u);
}

TEST_F(ClassicDriver, TransmitCountUsesItsLow16Bits) {
    openAndInit();
    _KCAN_CAN_OBJ frames[1] = {frame(0x42)};
    struct Case {
        uint64_t count;
        uint32_t result;
        size_t transfers;
    };
    for (const Case& c : {Case{65536, 0, 0}, Case{65537, 1, 1}, Case{0x100000001ull, 1, 1}}) {
        dev_->clearSent();
        EXPECT_EQ(dunlin2Transmit(kType, 0, 0, frames, c.count), c.result) << c.count;
        EXPECT_EQ(dev_->sent(0x02).size(), c.transfers) << c.count;
    }
}

// ---- Receive ------------------------------------------------------------------------------

TEST_F(ClassicDriver, ServiceThreadSplitsTheStreamIntoChannelQueues) {
    openAndInit(2);
    // Starts mid-record, then three records and 7 bytes of a fourth in one read.
    Bytes tail = rxRecord(0, 0x7FF, 0xEE);
    Bytes stream(tail.end() - 5, tail.end());
    for (uint32_t i = 0; i < 4; ++i) {
        Bytes r = rxRecord(i % 2, 0x300 + i, static_cast<uint8_t>(i));
        stream.insert(stream.end(), r.begin(), r.end());
    }
    dev_->push(0x82, Bytes(stream.begin(), stream.begin() + 64));
    dev_->push(0x82, Bytes(stream.begin() + 64, stream.end()));
    ASSERT_TRUE(eventually([&] {
        return dunlin2GetReceiveNum(kType, 0, 0) == 2 && dunlin2GetReceiveNum(kType, 0, 1) == 2;
    }));
    _KCAN_CAN_OBJ got[10];
    ASSERT_EQ(dunlin2Receive(kType, 0, 0, got, 10, 0), 2u);
    EXPECT_EQ(got[0].id, 0x300u);
    EXPECT_EQ(got[1].id, 0x302u);
    EXPECT_EQ(got[0].timeStamp, 0x01302010u);
    ASSERT_EQ(dunlin2Receive(kType, 0, 3, got, 10, 0), 2u) << "channel 3 reads channel 1";
    EXPECT_EQ(got[0].id, 0x301u);
    EXPECT_EQ(got[1].id, 0x303u);
    EXPECT_EQ(got[1].data[0], 3);
}

TEST_F(ClassicDriver, ReceiveTakesWhatWaitsUpToCapacity) {
    openAndInit();
    Bytes batch;
    for (uint32_t i = 0; i < 3; ++i) {
        Bytes r = rxRecord(0, 0x10 + i, 0);
        batch.insert(batch.end(), r.begin(), r.end());
    }
    dev_->push(0x82, batch);
    dev_->push(0x82, rxRecord(0, 0x13, 0));
    ASSERT_TRUE(eventually([&] { return dunlin2GetReceiveNum(kType, 0, 0) == 4; }));
    _KCAN_CAN_OBJ got[10];
    auto start = Clock::now();
    EXPECT_EQ(dunlin2Receive(kType, 0, 0, got, 10, 1000), 4u);
    EXPECT_LT(msSince(start), 500);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(got[i].id, 0x10 + i) << "oldest first";
    }
    dev_->push(0x82, batch);
    ASSERT_TRUE(eventually([&] { return dunlin2GetReceiveNum(kType, 0, 0) == 3; }));
    EXPECT_EQ(dunlin2Receive(kType, 0, 0, got, 2, 0), 2u);
    EXPECT_EQ(dunlin2GetReceiveNum(kType, 0, 0), 1u);
}

TEST_F(ClassicDriver, ReceiveWaits) {
    openAndInit();
    _KCAN_CAN_OBJ got[4];
    auto start = Clock::now();
    EXPECT_EQ(dunlin2Receive(kType, 0, 0, got, 4, 0), 0u);
    EXPECT_LT(msSince(start), 250) << "wait 0 looks once";

    start = Clock::now();
    EXPECT_EQ(dunlin2Receive(kType, 0, 0, got, 4, 50), 0u);
    EXPECT_GE(msSince(start), 50);
    EXPECT_LT(msSince(start), 1000);

    start = Clock::now();
    std::thread feeder([&] {
        std::this_thread::sleep_for(150ms);
        dev_->push(0x82, rxRecord(0, 0x55, 7));
    });
    EXPECT_EQ(dunlin2Receive(kType, 0, 0, got, 4, -1), 1u) << "-1 waits until a frame comes";
    EXPECT_GE(msSince(start), 150);
    EXPECT_EQ(got[0].id, 0x55u);
    feeder.join();
}

TEST_F(ClassicDriver, FramesQueuedBeforeCloseCanStillBeRead) {
    openAndInit();
    dev_->push(0x82, rxRecord(0, 0x66, 1));
    ASSERT_TRUE(eventually([&] { return dunlin2GetReceiveNum(kType, 0, 0) == 1; }));
    ASSERT_EQ(dunlin2CloseDevice(kType, 0), 1u);
    _KCAN_CAN_OBJ got[2];
    EXPECT_EQ(dunlin2Receive(kType, 0, 0, got, 2, 0), 1u);
    EXPECT_EQ(got[0].id, 0x66u);
    auto start = Clock::now();
    EXPECT_EQ(dunlin2Receive(kType, 0, 0, got, 2, 30), 0u);
    EXPECT_GE(msSince(start), 30);
    setSentinel();
    EXPECT_EQ(dunlin2GetReceiveNum(kType, 0, 0), 0u);
    EXPECT_EQ(lastError(), KCAN_ERR_CAN_NOT_INIT) << "close clears the init flags";
}

TEST_F(ClassicDriver, ResetEmptiesTheQueueButKeepsTheChannelInitialised) {
    openAndInit(2);
    dev_->push(0x82, rxRecord(1, 0x77, 1));
    ASSERT_TRUE(eventually([&] { return dunlin2GetReceiveNum(kType, 0, 1) == 1; }));
    dev_->setResponder(nullptr);  // a reply would be left unread anyway
    setSentinel();
    EXPECT_EQ(dunlin2ResetCAN(kType, 0, 1), 1u);
    auto sent = dev_->sent(0x01);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(scripted::hex(sent[0].bytes), "12 0f 02 00 10");
    EXPECT_EQ(dunlin2GetReceiveNum(kType, 0, 1), 0u);
    EXPECT_EQ(lastError(), kSentinel);
    EXPECT_EQ(dunlin2ClearBuffer(kType, 0, 1), 1u);
}

// ---- Board information and device services ----------------------------------------------------

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
    auto sent = dev_->sent(0x01);
    ASSERT_EQ(sent.size(), 5u);
    const char* expected[] = {"12 01 01 00", "12 12 01 00", "12 13 01 00", "12 14 01 00",
                              "12 15 01 00"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(scripted::hex(sent[i].bytes), expected[i]);
    }
}

TEST_F(ClassicDriver, BoardQuery1MustBeExactlySixBytes) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    dev_->setResponder([](uint8_t ep, const Bytes& b) -> std::vector<Reply> {
        if (b.size() > 1 && b[1] == 0x01) {
            return {{0x81, {0x12, 0x01, 0x06, 0x00, 0x34, 0x12, 0x00}}};
        }
        return wellBehaved(ep, b);
    });
    _KCAN_BOARD_INFO info{};
    setSentinel();
    EXPECT_EQ(dunlin2ReadBoardInfo(kType, 0, &info), 0u);
    EXPECT_EQ(lastError(), kSentinel) << "answered, only the wrong length";
    EXPECT_EQ(info.hwVersion, 0);
    EXPECT_EQ(countOf(log(), "DUNLIN 获取板卡信息失败"), 1u);
}

TEST_F(ClassicDriver, DeviceServices) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    EXPECT_EQ(dunlin2DevRelayStatusSet(kType, 0, 0x01, 0x02), 1u);
    uint8_t a = 0, b = 0, s1 = 0, s2 = 0, s3 = 0;
    EXPECT_EQ(dunlin2DevRelayStatusGet(kType, 0, &a, &b), 1u);
    EXPECT_EQ(a, 0x5A);
    EXPECT_EQ(b, 0xA5);
    EXPECT_EQ(dunlin2DevBaudParaGet(kType, 0, 1, &a, &b), 1u);
    EXPECT_EQ(a, 0x1C);
    EXPECT_EQ(b, 0x03);
    EXPECT_EQ(dunlin2DevChStateGet(kType, 0, 1, &s1, &s2, &s3), 1u);
    EXPECT_EQ(s1, 0x11);
    EXPECT_EQ(s2, 0x22);
    EXPECT_EQ(s3, 0x33);
    auto sent = dev_->sent(0x01);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(scripted::hex(sent[0].bytes), "12 b1 02 01 02");
    EXPECT_EQ(scripted::hex(sent[1].bytes), "12 b2 02 00 00");
    EXPECT_EQ(scripted::hex(sent[2].bytes), "12 a4 01 01");
    EXPECT_EQ(scripted::hex(sent[3].bytes), "12 80 01 01 00 00");
}

TEST_F(ClassicDriver, ServiceRepliesTooShortOrForeignAreRefused) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    // Answers to the relay query: 4 bytes (short), and another command's echo.
    for (const Bytes& reply : {Bytes{0x12, 0xB2, 0x02, 0x5A}, Bytes{0x12, 0xB1, 0x02, 1, 2}}) {
        dev_->setResponder([&](uint8_t, const Bytes&) -> std::vector<Reply> {
            return {{0x81, reply}};
        });
        uint8_t a = 0xEE, b = 0xEE;
        setSentinel();
        EXPECT_EQ(dunlin2DevRelayStatusGet(kType, 0, &a, &b), 0u);
        EXPECT_EQ(lastError(), kSentinel);
        EXPECT_EQ(a, 0xEE) << "out-parameters untouched";
        EXPECT_EQ(b, 0xEE);
    }
}

TEST_F(ClassicDriver, DataTransferIsCappedAt62Bytes) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    uint8_t data[100];
    for (int i = 0; i < 100; ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(dunlin2DevDataTransfer(kType, 0, data, 100), 62u);
    auto sent = dev_->sent(0x01);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes.size(), 64u);
    EXPECT_EQ(sent[0].bytes[63], 61);
    EXPECT_EQ(data[0], 0xFF) << "the reply after its two leading bytes";
    EXPECT_EQ(data[61], static_cast<uint8_t>(61 ^ 0xFF));
    EXPECT_EQ(data[62], 62) << "nothing past 62 bytes";

    dev_->clearSent();
    EXPECT_EQ(dunlin2DevDataTransfer(kType, 0, data, -3), 0u) << "a 2-byte reply carries nothing";
    ASSERT_EQ(dev_->sent(0x01).size(), 1u);
    EXPECT_EQ(dev_->sent(0x01)[0].bytes.size(), 2u);
}

// ---- Exchanges ---------------------------------------------------------------------------

TEST_F(ClassicDriver, CommandWithTimeOutZeroWritesOnceAndReadsNothing) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    devInfo* record = dunlin2Record(0);
    uint8_t cmd[] = {0x12, 0x12, 0x01, 0x00};
    uint8_t reply[16] = {};
    int32_t len = sizeof reply;
    EXPECT_EQ(usbCmdSend(record, cmd, 4, reply, &len, 0x01, 0x81, 0), 0);
    EXPECT_EQ(dev_->sent(0x01).size(), 1u);
    EXPECT_EQ(dev_->pending(0x81), 1u) << "the adapter's answer stays unread";
    EXPECT_EQ(len, 16);
}

// A write cut short left half a message at the adapter (which may even answer
// it): never counted as written, and a command goes out again whole.
TEST_F(ClassicDriver, CutWritesCountAsNotWritten) {
    openAndInit();
    devInfo* record = dunlin2Record(0);
    uint8_t cmd[] = {0x12, 0x12, 0x01, 0x00};
    uint8_t reply[16] = {};
    int32_t len = sizeof reply;
    dev_->cutNextWrite(0x01, 2);
    EXPECT_EQ(usbCmdSend(record, cmd, 4, reply, &len, 0x01, 0x81, 1000), 0);
    auto sent = dev_->sent(0x01);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(scripted::hex(sent[1].bytes), "12 12 01 00");
    dev_->cutNextWrite(0x01, 2);
    EXPECT_EQ(usbCmdSend(record, cmd, 4, reply, &len, 0x01, 0x81, 0), -1) << "write only";

    _KCAN_CAN_OBJ frames[4] = {frame(1), frame(2), frame(3), frame(4)};
    dev_->cutNextWrite(0x02, 30);
    setSentinel();
    EXPECT_EQ(dunlin2Transmit(kType, 0, 0, frames, 4), 0u) << "half a batch is not sent";
    EXPECT_EQ(lastError(), KCAN_ERR_USB_TRANSPORT);
    EXPECT_EQ(dev_->sent(0x02).size(), 1u);
}

TEST_F(ClassicDriver, SilentAdapterGetsTheCommandTwice) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    dev_->setResponder(nullptr);
    devInfo* record = dunlin2Record(0);
    uint8_t cmd[] = {0x12, 0xB2, 0x02, 0x00, 0x00};
    uint8_t reply[64] = {};
    int32_t len = sizeof reply;
    setSentinel();
    auto start = Clock::now();
    EXPECT_EQ(usbCmdSend(record, cmd, 5, reply, &len, 0x01, 0x81, 1000), -2);
    EXPECT_GE(msSince(start), 1000);
    EXPECT_LT(msSince(start), 3000);
    EXPECT_EQ(dev_->sent(0x01).size(), 2u) << "each read waits 500 ms";
    EXPECT_EQ(lastError(), KCAN_ERR_USB_COMMAND);
}

TEST_F(ClassicDriver, CommandInTheFaultStateFailsAtOnce) {
    devInfo* record = dunlin2Record(31);  // no adapter, no service thread
    record->faultState = -1;
    uint8_t cmd[] = {0x12, 0x01, 0x01, 0x00};
    uint8_t reply[16];
    int32_t len = sizeof reply;
    setSentinel();
    auto start = Clock::now();
    EXPECT_EQ(usbCmdSend(record, cmd, 4, reply, &len, 0x01, 0x81, 1000), -1);
    EXPECT_LT(msSince(start), 250);
    EXPECT_EQ(lastError(), kSentinel);
    EXPECT_TRUE(record->cmdIdle());
    record->faultState = 0;
}

TEST_F(ClassicDriver, RecordsStayUsableAfterExit) {
    openAndInit();
    dev_->push(0x82, rxRecord(0, 0x99, 1));
    ASSERT_TRUE(eventually([&] { return dunlin2GetReceiveNum(kType, 0, 0) == 1; }));
    EXPECT_EQ(dunlin2Exit(), 1);  // what the static QLIBUSB does after main
    EXPECT_EQ(dunlin2IsOpen(kType, 0), 0);
    _KCAN_CAN_OBJ got{};
    EXPECT_EQ(dunlin2Receive(kType, 0, 0, &got, 1, 0), 1u) << "queues and locks survive";
    setSentinel();
    EXPECT_EQ(dunlin2Transmit(kType, 0, 0, &got, 1), 0u);
    EXPECT_EQ(lastError(), KCAN_ERR_CAN_NOT_INIT);
    EXPECT_EQ(dunlin2CloseDevice(kType, 0), 1u);
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u) << "and can be opened again";
}

// ---- Unplug and plug back ------------------------------------------------------------------

TEST_F(ClassicDriver, UnplugAndPlugBackRestoresInitialisedChannels) {
    ASSERT_EQ(dunlin2OpenDevice(kType, 0, 0), 1u);
    _KCAN_INIT_CONFIG c0 = initConfig(0x00, 0x14);
    _KCAN_INIT_CONFIG c1 = initConfig(0x01, 0x1C, 1);
    ASSERT_EQ(dunlin2InitCAN(kType, 0, 0, &c0), 1u);
    ASSERT_EQ(dunlin2InitCAN(kType, 0, 1, &c1), 1u);
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
    auto sent = dev_->sent(0x01);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(scripted::hex(sent[0].bytes), "12 03 06 00 00 00 14 02 57");
    EXPECT_EQ(scripted::hex(sent[1].bytes), "12 0e 02 00 00");
    EXPECT_EQ(scripted::hex(sent[2].bytes), "12 03 06 00 90 01 1c 02 57");
    EXPECT_EQ(scripted::hex(sent[3].bytes), "12 0e 02 00 10");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(countOf(log(), "VORM Tip:DUNLIN OK..."), 1u);

    // Frames flow again both ways.
    EXPECT_EQ(dunlin2Transmit(kType, 0, 0, &f, 1), 1u);
    dev_->push(0x82, rxRecord(1, 0x88, 1));
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
    ASSERT_TRUE(dev_->waitSent(0x01, 1, 5000));
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
    devInfo* record = dunlin2Record(0);
    ASSERT_TRUE(ksim::unplugDevice(0));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(record->faultState.load(), 0);
    ASSERT_TRUE(ksim::plugDevice(0));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(ksim::listDevices()[0].counters.opens, 1u) << "no restart";
    EXPECT_EQ(countOf(log(), "VORM Tip:DUNLIN OK..."), 0u);
    EXPECT_EQ(record->faultState.load(), 0);
}

}  // namespace
