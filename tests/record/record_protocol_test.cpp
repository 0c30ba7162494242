// The recorder's recording settings both ways, without an adapter. The
// device tests show which command each operation sends and which replies
// count; the cases that differ only in data are here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "../classic/hex_text.h"
#include "drivers/record/record_protocol.h"

using namespace recorder;
using hextext::hex;
using Bytes = std::vector<uint8_t>;

namespace {

// Every field of the settings record, for comparing two of them.
auto fields(const _KCAN_RECORD_CONFIG& c) {
    return std::make_tuple(c.reserved, c.fdEnable, c.isoMode, c.mode, c.abitClock, c.dbitClock,
                           c.abitTiming, c.dbitTiming, c.recordFlagA, c.recordParamA,
                           c.recordParamB, c.recordFlagB, c.recordParamC);
}

// reserved, fdEnable, isoMode, mode, clocks 80 and 60, the two timing words,
// recordFlagA, recordParamA and B, recordFlagB, recordParamC.
_KCAN_RECORD_CONFIG sampleSettings() {
    return {0xEE, 1, 1, 1, 80, 60, 0x12345678, 0xFFC1820F, 1, 0xA1, 0xB2, 1, 0xC3};
}

}  // namespace

TEST(RecorderSettings, WrittenBytesAndTheirReadBack) {
    uint8_t out[kReplyCapacity] = {};
    ASSERT_EQ(buildSettingsWrite(1, sampleSettings(), out), 28u);
    // Each timing word: bits 31..22, 21..15, then 7..0 before 14..8.
    EXPECT_EQ(
        hex(out, 28),
        "55 03 01 01 01 01 50 00 48 00 68 78 00 56 00 3c 00 ff 03 03 0f 00 02 00 03 a1 b2 c3");
    out[1] = kCmdSettingsRead;
    _KCAN_RECORD_CONFIG got{};
    got.reserved = 0x77;
    ASSERT_TRUE(parseSettings(out, sizeof out, 28, &got));
    _KCAN_RECORD_CONFIG want = sampleSettings();
    want.reserved = 0x77;  // byte 0 of the record is not written
    EXPECT_EQ(fields(got), fields(want));

    // A reply of 25 bytes leaves the record untouched; 26 are enough, the
    // rest reads from the zeroed buffer.
    memset(out + 26, 0, sizeof out - 26);
    EXPECT_FALSE(parseSettings(out, sizeof out, 25, &got));
    EXPECT_EQ(got.recordParamC, 0xC3);
    EXPECT_TRUE(parseSettings(out, sizeof out, 26, &got));
    EXPECT_EQ(got.recordParamB + got.recordParamC, 0);

    // The channel's bit 0, the option bits from any nonzero value; isoMode
    // and mode whole.
    _KCAN_RECORD_CONFIG s{};
    s.fdEnable = 5;
    s.isoMode = 2;
    s.mode = 7;
    s.recordFlagB = 4;
    buildSettingsWrite(2, s, out);
    EXPECT_EQ(hex(out + 2, 4) + " " + hex(out + 24, 1), "00 01 02 07 02");
}

TEST(RecorderSettings, ReadReducesFlagsToBit0) {
    // Reply bytes 3, 4, 5 and 24; fdEnable, isoMode, mode, recordFlagA and B.
    const std::pair<Bytes, const char*> rows[] = {
        {{0x02, 0x02, 0x03, 0x02}, "00 00 01 00 01"},
        {{0xFF, 0x01, 0x00, 0x01}, "01 01 00 01 00"},
        {{0x00, 0xFE, 0x80, 0xFC}, "00 00 00 00 00"},
    };
    for (const auto& [in, want] : rows) {
        uint8_t buffer[kReplyCapacity] = {0x55, 0xA4, 0x00, in[0], in[1], in[2]};
        buffer[24] = in[3];
        _KCAN_RECORD_CONFIG g{};
        ASSERT_TRUE(parseSettings(buffer, sizeof buffer, 28, &g));
        const uint8_t got[] = {g.fdEnable, g.isoMode, g.mode, g.recordFlagA, g.recordFlagB};
        EXPECT_EQ(hex(got, 5), want) << hex(in);
    }
}

TEST(RecorderReplies, MatchNeedsThreeBytesAndTheCommandsFirstTwo) {
    const uint8_t cmd[] = {0x55, 0x03}, reply[] = {0x55, 0x03, 0x00, 0x00},
                  other[] = {0x54, 0x03, 0};
    EXPECT_TRUE(replyMatches(cmd, reply, 3));
    EXPECT_FALSE(replyMatches(cmd, reply, 2));
    EXPECT_FALSE(replyMatches(cmd, other, 3));
    EXPECT_FALSE(replyAccepted(reply, 3, 2)) << "no status byte";
    EXPECT_TRUE(replyAccepted(reply, 4, 4));
}
