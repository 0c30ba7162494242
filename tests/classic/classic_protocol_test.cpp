// The classic adapter's wire formats without an adapter: the text of the
// board queries, frame records both ways and the reassembly buffer's bound.
// The driver tests show which command each operation sends and how the
// stream is split; the cases that differ only in data are here.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/classic/dunlin2_protocol.h"
#include "hex_text.h"

using namespace dunlin2;
using hextext::bytes;
using hextext::hex;
using Bytes = std::vector<uint8_t>;

TEST(ClassicCommands, BoardTextLengthComesFromTheLowNibbleOfByte2) {
    const struct {
        uint8_t byte2;
        size_t destSize, replySize, copied;
    } rows[] = {
        {0x05, 20, 100, 4},  // (5 & 0x0F) - 1 bytes
        {0x02, 20, 100, 1},  // one byte
        {0x01, 20, 100, 0},  // announces none
        {0x0F, 3, 100, 3},   // bounded by the destination
        {0x0F, 20, 9, 5},    // and by the reply
    };
    for (const auto& r : rows) {
        uint8_t reply[100] = {0x12, 0x14, r.byte2, 0x00};
        for (int i = 4; i < 100; ++i) {
            reply[i] = static_cast<uint8_t>('A' + i - 4);
        }
        char dest[21];
        memset(dest, 'x', sizeof dest);
        ASSERT_EQ(copyInfoText(reply, r.replySize, dest, r.destSize), r.copied) << int(r.byte2);
        EXPECT_EQ(std::string(dest, r.copied + 1),
                  std::string("ABCDEFGHIJKLMN").substr(0, r.copied) + "x");
    }
}

TEST(ClassicRecords, FramesToTheAdapter) {
    // Every frame carries time stamp 0x01020304 (sent big-endian), flag byte
    // 0x5A, transmit option 0xA5 and data 11 22 .. 88, of which len bytes go.
    const struct {
        uint32_t channel, id;
        uint8_t ext, rtr, len;
        const char* record;  // bytes 6..18; "": refused
    } rows[] = {
        {1, 0x1ABCDEF0, 1, 0, 3, "93 80 f7 e6 d5 11 22 33 00 00 00 00 00"},
        {0, 0x123, 0, 0, 8, "08 60 24 00 00 11 22 33 44 55 66 77 88"},
        {0, 0x7FF, 0, 1, 0, "40 e0 ff 00 00 00 00 00 00 00 00 00 00"},
        {0, 0xFFFFFFFF, 1, 0, 0, "80 f8 ff ff ff 00 00 00 00 00 00 00 00"},  // cut to 29 bits
        {1, 0x12345678, 1, 1, 0, "d0 c0 b3 a2 91 00 00 00 00 00 00 00 00"},
        {0, 1, 2, 0, 0, ""},
        {0, 1, 0, 2, 0, ""},
        {0, 1, 0, 0, 9, ""},
    };
    for (const auto& r : rows) {
        _KCAN_CAN_OBJ f = {r.id,  0x01020304, 0x5A,
                           0xA5,  r.rtr,      r.ext,
                           r.len, {},         {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};
        uint8_t out[kRecordSize];
        memset(out, 0xCC, sizeof out);
        const bool valid = encodeFrame(r.channel, f, out);
        EXPECT_EQ(valid, *r.record != '\0') << r.record;
        EXPECT_EQ(hex(out, valid ? kRecordSize : 1),
                  valid ? "01 02 03 04 5a a5 " + std::string(r.record) : "cc")
            << std::hex << r.id;
    }
}

TEST(ClassicRecords, FramesFromTheAdapter) {
    // Bytes 3..10 of a record (marker, the two flag bytes, info byte and
    // identifier field) between the time stamp 10 20 30 and the data 01..08;
    // the frame as "channel id ext rtr len", or "" for no record start.
    const std::pair<const char*, const char*> rows[] = {
        {"01 00 00 03 60 24 00 00", "0 123 0 0 3"},
        {"01 00 00 98 c0 b3 a2 91", "1 12345678 1 0 8"},
        {"01 00 00 5f 60 24 00 00", "1 123 0 1 8"},  // a length above 8 reads as 8
        {"01 00 00 40 e0 ff 00 00", "0 7ff 0 1 0"},
        {"01 00 00 80 ff ff ff ff", "0 1fffffff 1 0 0"},
        {"02 00 00 01 60 24 00 00", ""},
        {"01 01 00 01 60 24 00 00", ""},
        {"01 00 01 01 60 24 00 00", ""},
    };
    for (const auto& [head, want] : rows) {
        const Bytes b = bytes(std::string("10 20 30 ") + head + " 01 02 03 04 05 06 07 08");
        ASSERT_EQ(isRecordStart(b.data()), *want != '\0') << head;
        if (*want == '\0') {
            continue;
        }
        _KCAN_CAN_OBJ f;
        memset(&f, 0xEE, sizeof f);
        const uint32_t channel = decodeFrame(b.data(), &f);
        char got[40];
        std::snprintf(got, sizeof got, "%u %x %u %u %u", channel, f.id, f.ext, f.rtr, f.len);
        EXPECT_EQ(std::string(got), want);
        EXPECT_EQ(f.timeStamp, 0x01302010u) << "bytes 0..3 little-endian, byte 3 kept";
        EXPECT_EQ(f.frameFlags + f.txOption, 0) << head;
        Bytes data(b.begin() + 11, b.begin() + 11 + f.len);  // the first len, then zeros
        data.resize(8, 0);
        EXPECT_EQ(hex(f.data, 8), hex(data)) << head;
    }
}

TEST(ClassicStream, JunkNeverLeavesMoreThan18BytesBehind) {
    StreamAssembler assembler;
    std::vector<ReceivedFrame> out(StreamAssembler::kMaxFramesPerFeed);
    const Bytes junk(200, 0x55);
    EXPECT_EQ(assembler.feed(junk.data(), junk.size(), out.data()), 0u);
    EXPECT_EQ(assembler.pending(), kRecordSize - 1);
    const Bytes record = bytes("10 20 30 01 00 00 98 c0 b3 a2 91 09 08 07 06 05 04 03 02");
    ASSERT_EQ(assembler.feed(record.data(), record.size(), out.data()), 1u);
    EXPECT_EQ(out[0].channel, 1u);
    EXPECT_EQ(out[0].frame.id, 0x12345678u);
    EXPECT_EQ(assembler.pending(), 0u);
}
