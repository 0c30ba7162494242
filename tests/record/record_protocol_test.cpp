// The recorder's wire formats without an adapter: settings packing both
// ways, filter commands and their replies, reply matching.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "drivers/record/record_protocol.h"

using namespace recorder;
using Bytes = std::vector<uint8_t>;

namespace {

_KCAN_RECORD_CONFIG sampleSettings() {
    _KCAN_RECORD_CONFIG s{};
    s.reserved = 0xEE;
    s.fdEnable = 1;
    s.isoMode = 1;
    s.mode = 0;
    s.abitClock = 80;
    s.dbitClock = 60;
    s.abitTiming = 0x12345678;
    s.dbitTiming = 0x00C1820F;
    s.recordFlagA = 1;
    s.recordParamA = 0xA1;
    s.recordParamB = 0xB2;
    s.recordFlagB = 1;
    s.recordParamC = 0xC3;
    return s;
}

}  // namespace

TEST(RecorderSettings, WriteCommandBytes) {
    uint8_t out[kSettingsWriteLength];
    ASSERT_EQ(buildSettingsWrite(1, sampleSettings(), out), 28u);
    const TimingFields d = splitTiming(0x00C1820F);
    const Bytes expected = {
        0x55,
        0x03,
        0x01,
        0x01,
        0x01,
        0x00,
        80,
        0x00,  // abitClock
        0x48,
        0x00,  // A bits 31..22
        0x68,  // A bits 21..15
        0x78,
        0x00,  // A bits 7..0
        0x56,
        0x00,  // A bits 14..8
        60,
        0x00,  // dbitClock
        uint8_t(d.prescaler),
        uint8_t(d.prescaler >> 8),
        d.sjw,
        uint8_t(d.tseg1),
        0x00,
        uint8_t(d.tseg2),
        0x00,  //
        0x03,
        0xA1,
        0xB2,
        0xC3,
    };
    EXPECT_EQ(Bytes(out, out + 28), expected);
}

TEST(RecorderSettings, FieldsAreSentAsGiven) {
    struct Case {
        uint32_t channel;
        uint8_t fdEnable, isoMode, mode, flagA, flagB;
        Bytes head;  // bytes 2..5
        uint8_t options;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0, 0, {0x00, 0x00, 0x00, 0x00}, 0x00},
        {3, 5, 2, 7, 9, 0, {0x01, 0x01, 0x02, 0x07}, 0x01},  // channel bit 0, fdEnable as a bit
        {2, 1, 1, 1, 0, 4, {0x00, 0x01, 0x01, 0x01}, 0x02},
    };
    for (const Case& c : cases) {
        _KCAN_RECORD_CONFIG s{};
        s.fdEnable = c.fdEnable;
        s.isoMode = c.isoMode;
        s.mode = c.mode;
        s.recordFlagA = c.flagA;
        s.recordFlagB = c.flagB;
        uint8_t out[kSettingsWriteLength];
        buildSettingsWrite(c.channel, s, out);
        EXPECT_EQ(Bytes(out + 2, out + 6), c.head) << c.channel;
        EXPECT_EQ(out[24], c.options);
    }
}

TEST(RecorderSettings, TimingWordRoundTrip) {
    for (uint32_t word : {0x12345678u, 0u, 0xFFFFFFFFu, 0x00C1820Fu, 0x80000001u, 0x00008000u}) {
        EXPECT_EQ(joinTiming(splitTiming(word)), word) << std::hex << word;
    }
    const TimingFields f = splitTiming(0x12345678);
    EXPECT_EQ(f.prescaler, 0x048);
    EXPECT_EQ(f.sjw, 0x68);
    EXPECT_EQ(f.tseg1, 0x78);
    EXPECT_EQ(f.tseg2, 0x56);
}

TEST(RecorderSettings, ReadBackOfTheWrittenBytes) {
    uint8_t buffer[kReplyCapacity] = {};
    buildSettingsWrite(0, sampleSettings(), buffer);
    buffer[1] = kCmdSettingsRead;
    _KCAN_RECORD_CONFIG got;
    memset(&got, 0x77, sizeof got);
    ASSERT_TRUE(parseSettings(buffer, sizeof buffer, 28, &got));
    _KCAN_RECORD_CONFIG want = sampleSettings();
    EXPECT_EQ(got.reserved, 0x77) << "byte 0 of the record is not written";
    EXPECT_EQ(got.fdEnable, want.fdEnable);
    EXPECT_EQ(got.isoMode, want.isoMode);
    EXPECT_EQ(got.mode, want.mode);
    EXPECT_EQ(got.abitClock, want.abitClock);
    EXPECT_EQ(got.dbitClock, want.dbitClock);
    EXPECT_EQ(got.abitTiming, 0x12345678u);
    EXPECT_EQ(got.dbitTiming, want.dbitTiming);
    EXPECT_EQ(got.recordFlagA, 1);
    EXPECT_EQ(got.recordFlagB, 1);
    EXPECT_EQ(got.recordParamA, 0xA1);
    EXPECT_EQ(got.recordParamB, 0xB2);
    EXPECT_EQ(got.recordParamC, 0xC3);
}

TEST(RecorderSettings, ReadReducesFlagsToBit0) {
    struct Case {
        uint8_t byte3, byte4, byte5, byte24;
        uint8_t fdEnable, isoMode, mode, flagA, flagB;
    };
    const Case cases[] = {
        {0x02, 0x02, 0x03, 0x02, 0, 0, 1, 0, 1},
        {0xFF, 0x01, 0x00, 0x01, 1, 1, 0, 1, 0},
        {0x00, 0xFE, 0x80, 0xFC, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        uint8_t buffer[kReplyCapacity] = {0x55, 0xA4, 0x00};
        buffer[3] = c.byte3;
        buffer[4] = c.byte4;
        buffer[5] = c.byte5;
        buffer[24] = c.byte24;
        _KCAN_RECORD_CONFIG got{};
        ASSERT_TRUE(parseSettings(buffer, sizeof buffer, 28, &got));
        EXPECT_EQ(got.fdEnable, c.fdEnable);
        EXPECT_EQ(got.isoMode, c.isoMode);
        EXPECT_EQ(got.mode, c.mode);
        EXPECT_EQ(got.recordFlagA, c.flagA);
        EXPECT_EQ(got.recordFlagB, c.flagB);
    }
}

TEST(RecorderSettings, ShortReadLeavesTheRecordUntouched) {
    uint8_t buffer[kReplyCapacity] = {0x55, 0xA4, 0x00, 0x01};
    _KCAN_RECORD_CONFIG got;
    memset(&got, 0x77, sizeof got);
    EXPECT_FALSE(parseSettings(buffer, sizeof buffer, 25, &got));
    EXPECT_EQ(got.fdEnable, 0x77);
    EXPECT_TRUE(parseSettings(buffer, sizeof buffer, 26, &got)) << "26 bytes are enough";
    EXPECT_EQ(got.recordParamC, 0) << "byte 27 comes from the zeroed buffer";
}

TEST(RecorderReplies, MatchingAndStatus) {
    const uint8_t cmd[] = {0x55, 0x03};
    struct Case {
        Bytes reply;
        size_t minLength;
        bool matches, accepted;
    };
    const Case cases[] = {
        {{0x55, 0x03, 0x00, 0x00, 0x00}, 5, true, true},
        {{0x55, 0x03, 0x00, 0x01, 0x00}, 5, true, false},  // refused
        {{0x55, 0x03, 0x00, 0x00}, 5, true, false},        // too short
        {{0x55, 0x04, 0x00, 0x00, 0x00}, 5, false, true},  // another command's
        {{0x55, 0x03}, 2, false, false},                   // fewer than 3 bytes
    };
    for (const Case& c : cases) {
        EXPECT_EQ(replyMatches(cmd, c.reply.data(), c.reply.size()), c.matches) << c.reply.size();
        EXPECT_EQ(replyAccepted(c.reply.data(), c.reply.size(), c.minLength), c.accepted);
    }
}

TEST(RecorderFilters, CommandBytes) {
    _KCAN_FLITER_CONFIG f{};
    f.filterType = 0x07;
    f.startId = 0x12345678;
    f.endId = 0x000007FF;
    struct Case {
        uint8_t op;
        uint32_t channel;
        const _KCAN_FLITER_CONFIG* filter;
        Bytes expected;
    };
    const Case cases[] = {
        {kFilterOpClear, 0, nullptr, {0x55, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {kFilterOpEnable, 5, nullptr, {0x55, 0x04, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {kFilterOpDisable, 1, nullptr, {0x55, 0x04, 3, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {kFilterOpAdd,
         1,
         &f,
         {0x55, 0x04, 1, 1, 0x07, 0x78, 0x56, 0x34, 0x12, 0xFF, 0x07, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        uint8_t out[kFilterCmdLength];
        ASSERT_EQ(buildFilterCommand(c.op, c.channel, c.filter, out), 13u);
        EXPECT_EQ(Bytes(out, out + 13), c.expected) << int(c.op);
    }
    uint8_t q[kFilterQueryLength];
    buildFilterSummaryQuery(2, q);
    EXPECT_EQ(Bytes(q, q + 6), (Bytes{0x55, 0x05, 0x00, 0x01, 0x00, 0x00}));
    buildFilterEntryQuery(0, 0x0203, q);
    EXPECT_EQ(Bytes(q, q + 6), (Bytes{0x55, 0x05, 0x01, 0x00, 0x03, 0x02}));
}

TEST(RecorderFilters, SummaryAndEntryReplies) {
    _KCAN_FLITER_INFO info{0xEEEE, 0xEE};
    const Bytes summary = {0x55, 0x05, 0x00, 0x00, 0x34, 0x12, 0x01};
    EXPECT_FALSE(parseFilterSummary(summary.data(), 6, &info)) << "6 bytes are too few";
    EXPECT_EQ(info.filterCount, 0xEEEE);
    Bytes refused = summary;
    refused[3] = 0x01;
    EXPECT_FALSE(parseFilterSummary(refused.data(), refused.size(), &info));
    ASSERT_TRUE(parseFilterSummary(summary.data(), summary.size(), &info));
    EXPECT_EQ(info.filterCount, 0x1234);
    EXPECT_EQ(info.filterState, 0x01);

    _KCAN_FLITER_CONFIG f{};
    f.filterIndex = 9;
    const Bytes entry = {0x55, 0x05, 0x01, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0xFF, 0x01, 0, 0};
    EXPECT_FALSE(parseFilterEntry(entry.data(), 12, &f));
    EXPECT_EQ(f.filterType, 0);
    ASSERT_TRUE(parseFilterEntry(entry.data(), entry.size(), &f));
    EXPECT_EQ(f.filterType, 0x02);
    EXPECT_EQ(f.startId, 0x100u);
    EXPECT_EQ(f.endId, 0x1FFu);
    EXPECT_EQ(f.filterIndex, 9) << "the index is the caller's";
}

TEST(RecorderCommands, IdentitiesAndSmallCommands) {
    EXPECT_EQ(productIdOf(61), 0x2601u);
    EXPECT_EQ(productIdOf(62), 0x2602u);
    EXPECT_EQ(productIdOf(63), 0u);
    uint8_t out[kCmdBufferSize];
    ASSERT_EQ(buildBoardQuery(kCmdBoardQuery18, out), 4u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x55, 0x12, 0x01, 0x01}));
    ASSERT_EQ(buildSettingsRead(3, out), 3u);
    EXPECT_EQ(Bytes(out, out + 3), (Bytes{0x55, 0xA4, 0x01}));
    uint8_t data[100] = {};
    EXPECT_EQ(buildDataTransfer(data, 100, out), 64u);
    EXPECT_EQ(buildDataTransfer(data, 5, out), 7u);
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0xA7);
}
