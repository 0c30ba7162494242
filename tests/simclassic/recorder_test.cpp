// The recorder firmware: board queries, settings stored and read back per
// channel, filter entries, the direct transfer.
#include "simclassic_util.h"

using namespace simcl;

namespace {

// The 28-byte settings write; the timing fields are given field by field.
struct Timing {
    uint16_t brp;
    uint8_t sjw;
    uint16_t seg1;  // bits 7..0 of the word
    uint16_t seg2;  // bits 14..8
};

Bytes settingsCmd(uint8_t ch, uint8_t opt, uint8_t iso, uint8_t mode, uint16_t aclk,
                  const Timing& a, uint16_t dclk, const Timing& d, uint8_t flags, uint8_t pa,
                  uint8_t pb, uint8_t pc) {
    Bytes b{0x55, 0x03, ch, opt, iso, mode};
    for (const auto& [clk, t] : {std::pair{aclk, a}, std::pair{dclk, d}}) {
        for (uint16_t v : {clk, t.brp}) {
            b.push_back(static_cast<uint8_t>(v));
            b.push_back(static_cast<uint8_t>(v >> 8));
        }
        b.push_back(t.sjw);
        for (uint16_t v : {t.seg1, t.seg2}) {
            b.push_back(static_cast<uint8_t>(v));
            b.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    b.insert(b.end(), {flags, pa, pb, pc});
    return b;
}

Bytes shortened(Bytes b, size_t n) {
    b.resize(n);
    return b;
}

// abitTiming 0x12345678 split into its fields.
const Timing kWord12345678{0x048, 0x68, 0x78, 0x56};
const Timing kZero{0, 0, 0, 0};

TEST(Recorder, RegisteredIdentitiesAnswerTheBoardQueries) {
    for (uint16_t pid : {kPidRecord1, kPidRecord2}) {
        Recorder r = makeRecorder(pid, 60);
        ASSERT_NE(r.fw, nullptr) << std::hex << pid;
        const ksim::FirmwareModel* row = ksim::findFirmwareModel(kVid, pid);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(command(*r.dev, {0x55, 0x01, 0x01, 0x01}),
                  (Bytes{0x55, 0x01, 0x03, 0x00, static_cast<uint8_t>(row->hwVersion),
                         static_cast<uint8_t>(row->hwVersion >> 8)}));
        EXPECT_EQ(command(*r.dev, {0x55, 0x12, 0x01, 0x01}),
                  (Bytes{0x55, 0x12, 0x03, 0x00, static_cast<uint8_t>(row->fwVersion),
                         static_cast<uint8_t>(row->fwVersion >> 8)}));
        EXPECT_EQ(command(*r.dev, {0x55, 0x13, 0x01, 0x01}), (Bytes{0x55, 0x13, 0x02, 0x00, 2}));
    }
}

TEST(Recorder, SettingsRoundTripPerChannel) {
    Recorder r = makeRecorder(kPidRecord1, 61);
    const Bytes ch1 = settingsCmd(1, 0x01, 0x02, 0x01, 80, kWord12345678, 80,
                                  Timing{0x3FF, 0x7F, 0xFF, 0x7F}, 0x03, 0xA1, 0xB2, 0xC3);
    ASSERT_EQ(ch1.size(), 28u);
    // The documented bytes of abitTiming 0x12345678.
    EXPECT_EQ(Bytes(ch1.begin() + 8, ch1.begin() + 15),
              (Bytes{0x48, 0x00, 0x68, 0x78, 0x00, 0x56, 0x00}));
    EXPECT_EQ(command(*r.dev, ch1), (Bytes{0x55, 0x03, 0x02, 0x00, 0x01}));
    const Bytes ch0 = settingsCmd(0, 0, 0, 0, 60, kZero, 60, kZero, 0, 1, 2, 3);
    EXPECT_EQ(command(*r.dev, ch0), (Bytes{0x55, 0x03, 0x02, 0x00, 0x00}));
    // Read back: channel byte then the 25 stored bytes, exactly as written
    // (an isoMode of 2 comes back as 2; reducing it is the host's business).
    Bytes want1 = ch1;
    want1[1] = 0xA4;
    EXPECT_EQ(command(*r.dev, {0x55, 0xA4, 0x01}), want1);
    Bytes want0 = ch0;
    want0[1] = 0xA4;
    EXPECT_EQ(command(*r.dev, {0x55, 0xA4, 0x00}), want0);
    EXPECT_EQ(command(*r.dev, {0x55, 0xA4, 0x02}), (Bytes{0x55, 0xA4, 0x01, 0x01}));
}

struct Refusal {
    const char* what;
    Bytes request;
    Bytes reply;
};

TEST(Recorder, SettingsThatDoNotFitTheirFieldsAreRefusedAndNotStored) {
    auto with = [](size_t at, uint8_t value) {
        Bytes b = settingsCmd(0, 0, 0, 0, 80, kZero, 80, kZero, 0, 0, 0, 0);
        b[at] = value;
        return b;
    };
    const Refusal cases[] = {
        {"channel 2", with(2, 2), {0x55, 0x03, 0x02, 0x01, 0x02}},
        {"clock high byte", with(7, 1), {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"prescaler of 11 bits", with(9, 0x04), {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"jump width of 8 bits", with(10, 0x80), {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"segment 1 of 9 bits", with(12, 0x01), {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"segment 2 of 8 bits", with(13, 0x80), {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"data prescaler of 11 bits", with(18, 0x04), {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"data segment 2 of 8 bits", with(22, 0x80), {0x55, 0x03, 0x02, 0x02, 0x00}},
        {"27 bytes", shortened(with(27, 0), 27), {0x55, 0x03, 0x01, 0x03}},
    };
    for (const Refusal& c : cases) {
        Recorder r = makeRecorder(kPidRecord2, 62);
        Bytes req = c.request;
        req[3] = 0x01;  // a mark that must not be stored
        EXPECT_EQ(command(*r.dev, req), c.reply) << c.what;
        EXPECT_EQ(r.fw->channel(0).settings[0], 0) << c.what;
        EXPECT_EQ(r.fw->counters().refused, 1u) << c.what;
    }
}

Bytes filterCmd(uint8_t op, uint8_t ch, uint8_t type, uint32_t start, uint32_t end) {
    Bytes b{0x55, 0x04, op, ch, type};
    for (uint32_t v : {start, end}) {
        for (int i = 0; i < 4; ++i) {
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    }
    return b;
}

Bytes filterAck(uint8_t op, uint8_t ch, uint8_t status = 0) {
    return {0x55, 0x04, 0x03, status, op, ch};
}

TEST(Recorder, FilterEntriesAreStoredCountedAndReadBack) {
    Recorder r = makeRecorder(kPidRecord1, 63);
    EXPECT_EQ(command(*r.dev, {0x55, 0x05, 0x00, 0x01, 0x00, 0x00}),
              (Bytes{0x55, 0x05, 0x04, 0x00, 0, 0, 0}));
    EXPECT_EQ(command(*r.dev, filterCmd(1, 1, 0x00, 0x100, 0x1FF)), filterAck(1, 1));
    EXPECT_EQ(command(*r.dev, filterCmd(1, 1, 0x01, 0x12345678, 0x1FFFFFFF)), filterAck(1, 1));
    EXPECT_EQ(command(*r.dev, filterCmd(1, 1, 0xEE, 7, 7)), filterAck(1, 1));
    EXPECT_EQ(command(*r.dev, filterCmd(2, 1, 0, 0, 0)), filterAck(2, 1));
    EXPECT_EQ(command(*r.dev, {0x55, 0x05, 0x00, 0x01, 0x00, 0x00}),
              (Bytes{0x55, 0x05, 0x04, 0x00, 3, 0, 1}));
    EXPECT_EQ(
        command(*r.dev, {0x55, 0x05, 0x01, 0x01, 0x01, 0x00}),
        (Bytes{0x55, 0x05, 0x0A, 0x00, 0x01, 0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0x1F}));
    EXPECT_EQ(command(*r.dev, {0x55, 0x05, 0x01, 0x01, 0x02, 0x00})[4], 0xEE);
    EXPECT_EQ(command(*r.dev, {0x55, 0x05, 0x01, 0x01, 0x03, 0x00}),
              (Bytes{0x55, 0x05, 0x01, 0x02}));
    // Channel 0 has its own list.
    EXPECT_EQ(command(*r.dev, {0x55, 0x05, 0x00, 0x00, 0x00, 0x00}),
              (Bytes{0x55, 0x05, 0x04, 0x00, 0, 0, 0}));
    // Refusals.
    EXPECT_EQ(command(*r.dev, filterCmd(1, 1, 0, 0x200, 0x100)), filterAck(1, 1, 0x02));
    EXPECT_EQ(command(*r.dev, filterCmd(1, 1, 0, 0, 0x20000000)), filterAck(1, 1, 0x02));
    EXPECT_EQ(command(*r.dev, filterCmd(4, 1, 0, 0, 0)), filterAck(4, 1, 0x02));
    EXPECT_EQ(command(*r.dev, filterCmd(1, 2, 0, 0, 1)), filterAck(1, 2, 0x01));
    EXPECT_EQ(command(*r.dev, {0x55, 0x05, 0x02, 0x01, 0x00, 0x00}),
              (Bytes{0x55, 0x05, 0x01, 0x02}));
    EXPECT_EQ(command(*r.dev, shortened(filterCmd(1, 1, 0, 0, 1), 12)),
              (Bytes{0x55, 0x04, 0x01, 0x03}));
    EXPECT_EQ(r.fw->channel(1).filters.size(), 3u);
    // The list holds 32 entries.
    for (uint32_t i = 3; i < 32; ++i) {
        ASSERT_EQ(command(*r.dev, filterCmd(1, 1, 0, i, i)), filterAck(1, 1)) << i;
    }
    EXPECT_EQ(command(*r.dev, filterCmd(1, 1, 0, 40, 40)), filterAck(1, 1, 0x05));
    EXPECT_EQ(command(*r.dev, {0x55, 0x05, 0x00, 0x01, 0x00, 0x00})[4], 32);
    // Disable keeps the entries; clear removes them and disables.
    EXPECT_EQ(command(*r.dev, filterCmd(3, 1, 0, 0, 0)), filterAck(3, 1));
    EXPECT_EQ(command(*r.dev, {0x55, 0x05, 0x00, 0x01, 0x00, 0x00}),
              (Bytes{0x55, 0x05, 0x04, 0x00, 32, 0, 0}));
    EXPECT_EQ(command(*r.dev, filterCmd(2, 1, 0, 0, 0)), filterAck(2, 1));
    EXPECT_EQ(command(*r.dev, filterCmd(0, 1, 0, 0, 0)), filterAck(0, 1));
    EXPECT_EQ(command(*r.dev, {0x55, 0x05, 0x00, 0x01, 0x00, 0x00}),
              (Bytes{0x55, 0x05, 0x04, 0x00, 0, 0, 0}));
}

TEST(Recorder, DirectTransferAndAnswerOrder) {
    Recorder r = makeRecorder(kPidRecord2, 64);
    Bytes direct{0x12, 0xA7};
    for (int i = 0; i < 62; ++i) {
        direct.push_back(static_cast<uint8_t>(0xFF - i));
    }
    EXPECT_EQ(command(*r.dev, direct), direct);
    // Answers queue in order: two requests, then two reads.
    int n = 0;
    const Bytes a{0x55, 0x13, 0x01, 0x01};
    const Bytes b{0x55, 0x01, 0x01, 0x01};
    ASSERT_EQ(r.dev->transferOut(0x01, a.data(), 4, 100, &n), LIBUSB_SUCCESS);
    ASSERT_EQ(r.dev->transferOut(0x01, b.data(), 4, 100, &n), LIBUSB_SUCCESS);
    uint8_t buf[64];
    ASSERT_EQ(r.dev->transferIn(0x81, buf, 64, 100, &n), LIBUSB_SUCCESS);
    EXPECT_EQ(buf[1], 0x13);
    ASSERT_EQ(r.dev->transferIn(0x81, buf, 64, 100, &n), LIBUSB_SUCCESS);
    EXPECT_EQ(buf[1], 0x01);
    // Frames have no endpoint on a recorder.
    EXPECT_EQ(r.dev->transferOut(0x02, a.data(), 4, 100, &n), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(r.dev->transferIn(0x82, buf, 64, 100, &n), LIBUSB_ERROR_NOT_FOUND);
}

TEST(Recorder, FaultSwitchesShapeTheAnswers) {
    Recorder r = makeRecorder(kPidRecord1, 65);
    const Bytes write = settingsCmd(0, 1, 0, 0, 80, kWord12345678, 80, kZero, 0, 0, 0, 0);
    r.fw->setReplyStatus(0x03, 0x01);
    EXPECT_EQ(command(*r.dev, write), (Bytes{0x55, 0x03, 0x02, 0x01, 0x00}));
    EXPECT_EQ(r.fw->channel(0).settings[0], 0);  // not carried out
    r.fw->setReplyStatus(0x03, std::nullopt);
    r.fw->setReplyTruncate(0x03, 4);
    EXPECT_EQ(command(*r.dev, write), (Bytes{0x55, 0x03, 0x02, 0x00}));
    EXPECT_EQ(r.fw->channel(0).settings[0], 1);  // carried out, answer cut
    r.fw->clearFaults();
    r.fw->setForeignReply(0x03, 0x04);
    EXPECT_EQ(command(*r.dev, write), (Bytes{0x55, 0x04, 0x02, 0x00, 0x00}));
    r.fw->clearFaults();
    r.fw->setNoReply(0xA4, true);
    EXPECT_EQ(command(*r.dev, {0x55, 0xA4, 0x00}, 50), Bytes{});
    EXPECT_EQ(r.fw->counters().suppressedReplies, 1u);
}

}  // namespace
