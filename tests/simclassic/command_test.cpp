// Answers of the classic adapter, byte for byte, for every command the
// classic driver sends.
#include "simclassic_util.h"

#include <thread>

using namespace simcl;

namespace {

const ksim::FirmwareModel& classicRow() {
    const ksim::FirmwareModel* m = ksim::findFirmwareModel(kVid, kPidClassic);
    EXPECT_NE(m, nullptr);
    return *m;
}

TEST(ClassicCommands, RegisteredUnderBothModelNames) {
    Classic d = makeClassic(22);
    ASSERT_NE(d.fw, nullptr);
    EXPECT_EQ(d.dev->vendorId(), 0x0471);
    EXPECT_EQ(d.dev->productId(), 0x1200);
    for (const char* name : {"DUNLIN1", "DUNLIN2", "dunlin2"}) {
        const ksim::FirmwareModel* m = ksim::findFirmwareModelByName(name);
        ASSERT_NE(m, nullptr) << name;
        EXPECT_EQ(m->productId, 0x1200) << name;
        EXPECT_EQ(m->channels, 2);
    }
}

TEST(ClassicCommands, BoardQueriesAnswerInTheLayoutsTheDriverReads) {
    Classic d = makeClassic(23);
    const ksim::FirmwareModel& row = classicRow();
    const auto lo = [](uint16_t v) { return static_cast<uint8_t>(v); };
    const auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    // Query 1: exactly 6 bytes, version little-endian in bytes 4 and 5.
    EXPECT_EQ(command(*d.dev, {0x12, 0x01, 0x01, 0x00}),
              (Bytes{0x12, 0x01, 0x03, 0x00, lo(row.hwVersion), hi(row.hwVersion)}));
    EXPECT_EQ(command(*d.dev, {0x12, 0x12, 0x01, 0x00}),
              (Bytes{0x12, 0x12, 0x03, 0x00, lo(row.fwVersion), hi(row.fwVersion)}));
    // Query 19: the channel count is the last byte.
    EXPECT_EQ(command(*d.dev, {0x12, 0x13, 0x01, 0x00}), (Bytes{0x12, 0x13, 0x02, 0x00, 0x02}));
    // Queries 20 and 21: (byte 2 & 0x0F) - 1 text bytes from byte 4.
    ASSERT_TRUE(d.fw->setBoardText(0x14, "ABC"));
    EXPECT_EQ(command(*d.dev, {0x12, 0x14, 0x01, 0x00}),
              (Bytes{0x12, 0x14, 0x04, 0x00, 'A', 'B', 'C'}));
    ASSERT_TRUE(d.fw->setBoardText(0x15, "USBCAN-2C PLUS"));
    const Bytes hw = command(*d.dev, {0x12, 0x15, 0x01, 0x00});
    ASSERT_EQ(hw.size(), 18u);
    EXPECT_EQ(hw[2], 0x0F);
    EXPECT_EQ(std::string(hw.begin() + 4, hw.end()), "USBCAN-2C PLUS");
    // The 4-bit count holds at most 14 characters; an empty text sends none.
    EXPECT_FALSE(d.fw->setBoardText(0x14, "123456789012345"));
    ASSERT_TRUE(d.fw->setBoardText(0x14, ""));
    EXPECT_EQ(command(*d.dev, {0x12, 0x14, 0x01, 0x00}), (Bytes{0x12, 0x14, 0x01, 0x00}));
    // Each adapter has a serial text of its own by default.
    Classic e = makeClassic(24);
    Classic f = makeClassic(25);
    const Bytes se = command(*e.dev, {0x12, 0x14, 0x01, 0x00});
    const Bytes sf = command(*f.dev, {0x12, 0x14, 0x01, 0x00});
    ASSERT_GE(se.size(), 5u);
    EXPECT_EQ(se.size(), 4u + (se[2] & 0x0F) - 1);
    EXPECT_NE(se, sf);
}

struct InitCase {
    const char* what;
    Bytes request;
    Bytes reply;
    bool ch0Init, ch1Init, ch1Mode;
};

TEST(ClassicCommands, ChannelInitAcceptsWithByteTwoOf0x81Or0x82) {
    const InitCase cases[] = {
        {"mode 0 on channel 0",
         {0x12, 0x03, 0x06, 0x00, 0x00, 0x00, 0x1C, 0x02, 0x57},
         {0x12, 0x03, 0x81, 0x00, 0x00, 0x1C},
         true,
         false,
         false},
        {"mode 1 on channel 1",
         {0x12, 0x03, 0x06, 0x00, 0x90, 0x00, 0x14, 0x02, 0x57},
         {0x12, 0x03, 0x82, 0x90, 0x00, 0x14},
         false,
         true,
         true},
        {"channel 2",
         {0x12, 0x03, 0x06, 0x00, 0x20, 0x00, 0x1C, 0x02, 0x57},
         {0x12, 0x03, 0x80, 0x20, 0x00, 0x1C},
         false,
         false,
         false},
        {"wrong closing bytes",
         {0x12, 0x03, 0x06, 0x00, 0x00, 0x00, 0x1C, 0x02, 0x58},
         {0x12, 0x03, 0x80, 0x00, 0x00, 0x1C},
         false,
         false,
         false},
        {"one byte short",
         {0x12, 0x03, 0x06, 0x00, 0x00, 0x00, 0x1C, 0x02},
         {0x12, 0x03, 0x01, 0x03},
         false,
         false,
         false},
    };
    for (const InitCase& c : cases) {
        Classic d = makeClassic(26);
        EXPECT_EQ(command(*d.dev, c.request), c.reply) << c.what;
        EXPECT_EQ(d.fw->channel(0).initialised, c.ch0Init) << c.what;
        EXPECT_EQ(d.fw->channel(1).initialised, c.ch1Init) << c.what;
        EXPECT_EQ(d.fw->channel(1).modeFlag, c.ch1Mode) << c.what;
    }
}

TEST(ClassicCommands, StartAndResetMoveTheChannelOnAndOffTheBus) {
    Classic d = makeClassic(27);
    // Start before init is refused with "not ready".
    EXPECT_EQ(command(*d.dev, startCmd(1)), (Bytes{0x12, 0x0E, 0x02, 0x04, 0x10}));
    EXPECT_EQ(command(*d.dev, startCmd(2)), (Bytes{0x12, 0x0E, 0x02, 0x01, 0x20}));
    bringUp(*d.dev, 1, k500k);
    EXPECT_TRUE(d.fw->channel(1).started);
    EXPECT_EQ(command(*d.dev, resetCmd(1)), (Bytes{0x12, 0x0F, 0x02, 0x00, 0x10}));
    const auto s = d.fw->channel(1);
    EXPECT_FALSE(s.started);
    EXPECT_TRUE(s.initialised);  // the bit timing stays: start works again
    EXPECT_EQ(command(*d.dev, startCmd(1)), (Bytes{0x12, 0x0E, 0x02, 0x00, 0x10}));
    EXPECT_TRUE(d.fw->channel(1).started);
    // Resetting a channel that was never initialised is harmless.
    EXPECT_EQ(command(*d.dev, resetCmd(0)), (Bytes{0x12, 0x0F, 0x02, 0x00, 0x00}));
}

TEST(ClassicCommands, AnUnreadAnswerIsReplacedByTheNextOne) {
    Classic d = makeClassic(28);
    // The driver's reset writes without reading; the next request must get
    // its own answer, not the reset's.
    int n = 0;
    const Bytes reset = resetCmd(0);
    ASSERT_EQ(d.dev->transferOut(0x01, reset.data(), 5, 100, &n), LIBUSB_SUCCESS);
    const Bytes q1 = command(*d.dev, {0x12, 0x01, 0x01, 0x00});
    ASSERT_EQ(q1.size(), 6u);
    EXPECT_EQ(q1[1], 0x01);
    EXPECT_EQ(d.fw->counters().unreadReplies, 1u);
    uint8_t buf[64];
    EXPECT_EQ(d.dev->transferIn(0x81, buf, 64, 20, &n), LIBUSB_ERROR_TIMEOUT);
}

TEST(ClassicCommands, DeviceLevelServices) {
    Classic d = makeClassic(29);
    // Relays: set echoes, query returns the bytes in 3 and 4.
    EXPECT_EQ(command(*d.dev, {0x12, 0xB2, 0x02, 0x00, 0x00}), (Bytes{0x12, 0xB2, 0x02, 0, 0}));
    EXPECT_EQ(command(*d.dev, {0x12, 0xB1, 0x02, 0x5A, 0x01}),
              (Bytes{0x12, 0xB1, 0x02, 0x5A, 0x01}));
    EXPECT_EQ(command(*d.dev, {0x12, 0xB2, 0x02, 0x00, 0x00}),
              (Bytes{0x12, 0xB2, 0x02, 0x5A, 0x01}));
    // Channel state: 12 bytes; status register in 5, error counters in 9, 10.
    bringUp(*d.dev, 0, k250k);
    const Bytes state = command(*d.dev, {0x12, 0x80, 0x01, 0x00, 0x00, 0x00});
    EXPECT_EQ(state, (Bytes{0x12, 0x80, 0x09, 0x00, 0x00, 0x0C, 0x03, 0x01, 0x1C, 0, 0, 0}));
    EXPECT_EQ(command(*d.dev, {0x12, 0x80, 0x01, 0x01, 0x00, 0x00}),
              (Bytes{0x12, 0x80, 0x09, 0x00, 0x01, 0x0C, 0x00, 0, 0, 0, 0, 0}));
    const Bytes bad = command(*d.dev, {0x12, 0x80, 0x01, 0x05, 0x00, 0x00});
    ASSERT_EQ(bad.size(), 12u);
    EXPECT_EQ(bad[3], 0x01);
    // Direct transfer: the payload comes back; 62 bytes fill the packet.
    Bytes direct{0x12, 0xA7};
    for (int i = 0; i < 62; ++i) {
        direct.push_back(static_cast<uint8_t>(i * 3));
    }
    EXPECT_EQ(command(*d.dev, direct), direct);
    EXPECT_EQ(command(*d.dev, {0x12, 0xA7}), (Bytes{0x12, 0xA7}));
}

TEST(ClassicCommands, ErrorCountersFollowAcknowledgement) {
    Classic d = makeClassic(30);
    bringUp(*d.dev, 0, k500k);  // channel 1, its only partner, stays off the bus
    for (int i = 0; i < 20; ++i) {
        writeRecords(*d.dev, hostRecord(Frame{0, 0x10, false, false, 0, {}}));
    }
    // +8 per unacknowledged frame, held at 128 (error passive).
    EXPECT_EQ(d.fw->channel(0).txErrors, 128);
    const Bytes state = command(*d.dev, {0x12, 0x80, 0x01, 0x00, 0x00, 0x00});
    ASSERT_EQ(state.size(), 12u);
    EXPECT_EQ(state[9], 128);
    EXPECT_EQ(state[5] & 0x40, 0x40);  // error status
    bringUp(*d.dev, 1, k500k);
    writeRecords(*d.dev, hostRecord(Frame{0, 0x10, false, false, 0, {}}));
    EXPECT_EQ(d.fw->channel(0).txErrors, 127);
    EXPECT_EQ(d.fw->counters().framesUnheard, 20u);
}

TEST(ClassicCommands, FaultSwitchesShapeTheAnswers) {
    Classic d = makeClassic(31);
    // No answer: the host's read times out, the request is not carried out.
    d.fw->setNoReply(0x03, true);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(command(*d.dev, initCmd(0, 0, 0x00, 0x1C), 100), Bytes{});
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_FALSE(d.fw->channel(0).initialised);
    d.fw->setNoReply(0x03, false);
    // A status on init lands in byte 2 (0x80: refused) and blocks it.
    d.fw->setReplyStatus(0x03, 0x80);
    EXPECT_EQ(command(*d.dev, initCmd(0, 0, 0x00, 0x1C))[2], 0x80);
    EXPECT_FALSE(d.fw->channel(0).initialised);
    d.fw->setReplyStatus(0x03, std::nullopt);
    // A foreign code replaces byte 1.
    d.fw->setForeignReply(0xB2, 0xB1);
    EXPECT_EQ(command(*d.dev, {0x12, 0xB2, 0x02, 0, 0}), (Bytes{0x12, 0xB1, 0x02, 0, 0}));
    // A truncated query 1 is no longer 6 bytes.
    d.fw->setReplyTruncate(0x01, 5);
    EXPECT_EQ(command(*d.dev, {0x12, 0x01, 0x01, 0x00}).size(), 5u);
    // Latency delays the answer.
    d.fw->clearFaults();
    d.fw->setReplyLatencyUs(80000);
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(command(*d.dev, {0x12, 0x13, 0x01, 0x00}).size(), 5u);
    EXPECT_GE(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(80));
    EXPECT_EQ(command(*d.dev, {0x12, 0x13, 0x01, 0x00}, 20), Bytes{});
}

}  // namespace
