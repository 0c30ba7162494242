// The classic adapter's wire formats without an adapter: command bytes, frame
// records in both directions, and the reassembly of the received stream.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "drivers/classic/dunlin2_protocol.h"

using namespace dunlin2;
using Bytes = std::vector<uint8_t>;

namespace {

// A received record as the adapter sends it.
Bytes rxRecord(uint8_t info, uint32_t idField, Bytes data, Bytes stamp = {0x10, 0x20, 0x30, 0x01}) {
    Bytes r = stamp;
    r.push_back(0x00);
    r.push_back(0x00);
    r.push_back(info);
    for (int i = 0; i < 4; ++i) {
        r.push_back(static_cast<uint8_t>(idField >> (8 * i)));
    }
    data.resize(8, 0);
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

}  // namespace

TEST(ClassicCommands, ChannelInitBytes) {
    struct Case {
        uint32_t channel;
        uint8_t mode;
        Bytes expected;  // empty: refused
    };
    const Case cases[] = {
        {1, 1, {0x12, 0x03, 0x06, 0x00, 0x90, 0x00, 0x14, 0x02, 0x57}},
        {0, 0, {0x12, 0x03, 0x06, 0x00, 0x00, 0x00, 0x14, 0x02, 0x57}},
        {0, 1, {0x12, 0x03, 0x06, 0x00, 0x80, 0x00, 0x14, 0x02, 0x57}},
        {1, 0, {0x12, 0x03, 0x06, 0x00, 0x10, 0x00, 0x14, 0x02, 0x57}},
        {0, 2, {}},
        {1, 0xFF, {}},
    };
    for (const Case& c : cases) {
        _KCAN_INIT_CONFIG config{};
        memset(config.reserved, 0xEE, sizeof config.reserved);  // never sent
        config.timing0 = 0x00;
        config.timing1 = 0x14;
        config.mode = c.mode;
        uint8_t out[kInitCmdLength] = {};
        size_t n = buildInitCommand(c.channel, config, out);
        EXPECT_EQ(Bytes(out, out + n), c.expected)
            << "channel " << c.channel << " mode " << int(c.mode);
    }
}

TEST(ClassicCommands, ChannelStartAndResetCarryTheChannelInTheHighNibble) {
    uint8_t out[5];
    ASSERT_EQ(buildChannelCommand(kCmdChannelStart, 1, out), 5u);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0x12, 0x0E, 0x02, 0x00, 0x10}));
    ASSERT_EQ(buildChannelCommand(kCmdChannelReset, 0, out), 5u);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0x12, 0x0F, 0x02, 0x00, 0x00}));
}

TEST(ClassicCommands, DataTransferIsCappedAt62Bytes) {
    uint8_t data[100];
    for (int i = 0; i < 100; ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    struct Case {
        int32_t len;
        size_t expected;
    };
    for (const Case& c : {Case{100, 64}, Case{62, 64}, Case{10, 12}, Case{0, 2}, Case{-5, 2}}) {
        uint8_t out[kCmdBufferSize] = {};
        size_t n = buildDataTransferCommand(data, c.len, out);
        ASSERT_EQ(n, c.expected) << c.len;
        EXPECT_EQ(out[0], 0x12);
        EXPECT_EQ(out[1], 0xA7);
        EXPECT_EQ(memcmp(out + 2, data, n - 2), 0);
    }
}

TEST(ClassicCommands, InitIsAcceptedOnlyWith81Or82) {
    struct Case {
        uint8_t byte2;
        bool accepted;
    };
    for (const Case& c : {Case{0x80, false}, Case{0x81, true}, Case{0x82, true}, Case{0x00, false},
                          Case{0x83, false}}) {
        const uint8_t reply[] = {0x12, 0x03, c.byte2, 0x00};
        EXPECT_EQ(initAccepted(reply, sizeof reply), c.accepted) << int(c.byte2);
    }
    const uint8_t shortReply[] = {0x12, 0x03};
    EXPECT_FALSE(initAccepted(shortReply, sizeof shortReply));
}

TEST(ClassicCommands, InfoTextLengthComesFromTheLowNibbleOfByte2) {
    struct Case {
        uint8_t byte2;
        size_t destSize;
        size_t copied;
    };
    const Case cases[] = {
        {0x05, 20, 4},   // short serial number
        {0x15, 20, 4},   // high nibble ignored
        {0x01, 20, 0},   // announces none
        {0x00, 20, 0},   // n = -1
        {0x0F, 20, 14},  // the most a reply can announce
        {0x0F, 3, 3},    // bounded by the destination
    };
    for (const Case& c : cases) {
        uint8_t reply[100] = {0x12, 0x14, c.byte2, 0x00};
        for (int i = 4; i < 100; ++i) {
            reply[i] = static_cast<uint8_t>('A' + i - 4);
        }
        char dest[20];
        memset(dest, 'x', sizeof dest);
        size_t n = copyInfoText(reply, sizeof reply, dest, c.destSize);
        ASSERT_EQ(n, c.copied) << int(c.byte2);
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(dest[i], 'A' + static_cast<int>(i));
        }
        EXPECT_EQ(dest[n], 'x') << "bytes past the text stay untouched";
    }
}

TEST(ClassicRecords, IdentifierField) {
    struct Case {
        uint32_t id;
        bool ext;
        uint32_t field;
        Bytes wire;
        uint32_t decoded;
    };
    const Case cases[] = {
        {0x123, false, 0x00002460, {0x60, 0x24, 0x00, 0x00}, 0x123},
        {0x12345678, true, 0x91A2B3C0, {0xC0, 0xB3, 0xA2, 0x91}, 0x12345678},
        {0x7FF, false, 0x0000FFE0, {0xE0, 0xFF, 0x00, 0x00}, 0x7FF},
        {0xFFFFFFFF, true, 0xFFFFFFF8, {0xF8, 0xFF, 0xFF, 0xFF}, 0x1FFFFFFF},  // low 29 bits
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encodeIdField(c.id, c.ext), c.field) << std::hex << c.id;
        EXPECT_EQ(decodeIdField(c.field, c.ext), c.decoded) << std::hex << c.id;
        _KCAN_CAN_OBJ f{};
        f.id = c.id;
        f.ext = c.ext ? 1 : 0;
        uint8_t out[kRecordSize];
        ASSERT_TRUE(encodeFrame(0, f, out));
        EXPECT_EQ(Bytes(out + 7, out + 11), c.wire);
    }
}

TEST(ClassicRecords, TransmitRecordLayout) {
    _KCAN_CAN_OBJ f{};
    f.id = 0x1ABCDEF0;
    f.ext = 1;
    f.rtr = 0;
    f.len = 3;
    f.timeStamp = 0x01020304;
    f.frameFlags = 0x5A;
    f.txOption = 0xA5;
    f.data[0] = 0x11;
    f.data[1] = 0x22;
    f.data[2] = 0x33;
    f.data[3] = 0x44;  // beyond len: not sent
    uint8_t out[kRecordSize];
    memset(out, 0xCC, sizeof out);
    ASSERT_TRUE(encodeFrame(1, f, out));
    const uint32_t field = 0x1ABCDEF0u << 3;
    const Bytes expected = {0x01,
                            0x02,
                            0x03,
                            0x04,
                            0x5A,
                            0xA5,
                            0x93,
                            uint8_t(field),
                            uint8_t(field >> 8),
                            uint8_t(field >> 16),
                            uint8_t(field >> 24),
                            0x11,
                            0x22,
                            0x33,
                            0,
                            0,
                            0,
                            0,
                            0};
    EXPECT_EQ(Bytes(out, out + kRecordSize), expected);

    _KCAN_CAN_OBJ remote{};
    remote.rtr = 1;
    remote.id = 0x7FF;
    ASSERT_TRUE(encodeFrame(0, remote, out));
    EXPECT_EQ(out[6], 0x40);
}

TEST(ClassicRecords, MalformedFramesAreRefused) {
    struct Case {
        uint8_t rtr, ext, len;
        bool valid;
    };
    const Case cases[] = {{0, 0, 8, true},  {1, 1, 0, true},  {2, 0, 0, false},
                          {0, 2, 0, false}, {0, 0, 9, false}, {0xFF, 0, 0, false}};
    for (const Case& c : cases) {
        _KCAN_CAN_OBJ f{};
        f.rtr = c.rtr;
        f.ext = c.ext;
        f.len = c.len;
        uint8_t out[kRecordSize];
        memset(out, 0xCC, sizeof out);
        EXPECT_EQ(encodeFrame(0, f, out), c.valid);
        if (!c.valid) {
            EXPECT_EQ(out[0], 0xCC) << "a refused frame writes nothing";
        }
    }
}

TEST(ClassicRecords, ReceivedRecordDecoding) {
    struct Case {
        uint8_t info;
        uint32_t idField;
        uint32_t channel;
        uint32_t id;
        uint8_t ext, rtr, len;
    };
    const Case cases[] = {
        {0x03, 0x2460, 0, 0x123, 0, 0, 3}, {0x98, 0x91A2B3C0, 1, 0x12345678, 1, 0, 8},
        {0x0C, 0x2460, 0, 0x123, 0, 0, 8},  // length nibble 12 taken as 8
        {0x5F, 0x2460, 1, 0x123, 0, 1, 8}, {0x40, 0x2460, 0, 0x123, 0, 1, 0},
    };
    for (const Case& c : cases) {
        Bytes r = rxRecord(c.info, c.idField, {1, 2, 3, 4, 5, 6, 7, 8});
        ASSERT_TRUE(isRecordStart(r.data()));
        _KCAN_CAN_OBJ f;
        memset(&f, 0xEE, sizeof f);
        EXPECT_EQ(decodeFrame(r.data(), &f), c.channel);
        EXPECT_EQ(f.id, c.id);
        EXPECT_EQ(f.ext, c.ext);
        EXPECT_EQ(f.rtr, c.rtr);
        EXPECT_EQ(f.len, c.len);
        EXPECT_EQ(f.timeStamp, 0x01302010u) << "bytes 10 20 30 01, little-endian, kept whole";
        EXPECT_EQ(f.frameFlags, 0);
        EXPECT_EQ(f.txOption, 0);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(f.data[i], i < c.len ? i + 1 : 0) << "byte " << i;
        }
    }
}

TEST(ClassicRecords, RecordStartNeedsMarkerAndZeroFlags) {
    struct Case {
        Bytes stamp;
        uint8_t b4, b5;
        bool start;
    };
    const Case cases[] = {{{0, 0, 0, 0x01}, 0, 0, true},
                          {{0, 0, 0, 0x02}, 0, 0, false},
                          {{0, 0, 0, 0x01}, 1, 0, false},
                          {{0, 0, 0, 0x01}, 0, 1, false}};
    for (const Case& c : cases) {
        Bytes r = rxRecord(0x01, 0, {}, c.stamp);
        r[4] = c.b4;
        r[5] = c.b5;
        EXPECT_EQ(isRecordStart(r.data()), c.start);
    }
}

class Stream : public ::testing::Test {
  protected:
    std::vector<ReceivedFrame> feed(const Bytes& bytes) {
        std::vector<ReceivedFrame> out(StreamAssembler::kMaxFramesPerFeed);
        size_t n = assembler_.feed(bytes.data(), bytes.size(), out.data());
        out.resize(n);
        return out;
    }
    StreamAssembler assembler_;
};

TEST_F(Stream, StartingMidRecordResynchronises) {
    Bytes full = rxRecord(0x01, 0x2460, {0xAB});
    // The last 7 bytes of an earlier record, then two whole records.
    Bytes stream(full.end() - 7, full.end());
    Bytes second = rxRecord(0x11, 0x4680, {0xCD});
    stream.insert(stream.end(), full.begin(), full.end());
    stream.insert(stream.end(), second.begin(), second.end());
    auto frames = feed(stream);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].channel, 0u);
    EXPECT_EQ(frames[0].frame.id, 0x123u);
    EXPECT_EQ(frames[0].frame.data[0], 0xAB);
    EXPECT_EQ(frames[1].channel, 1u);
    EXPECT_EQ(frames[1].frame.id, 0x234u);
    EXPECT_EQ(assembler_.pending(), 0u);
}

TEST_F(Stream, ThreeRecordsAndSevenBytesInOneRead) {
    Bytes all;
    for (uint8_t i = 0; i < 4; ++i) {
        Bytes r = rxRecord(0x01, static_cast<uint32_t>(0x100 + i) << 5, {i});
        all.insert(all.end(), r.begin(), r.end());
    }
    Bytes first(all.begin(), all.begin() + 64);
    Bytes rest(all.begin() + 64, all.end());
    auto frames = feed(first);
    ASSERT_EQ(frames.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(frames[i].frame.id, 0x100 + i);
    }
    EXPECT_EQ(assembler_.pending(), 7u);
    frames = feed(rest);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].frame.id, 0x103u);
    EXPECT_EQ(frames[0].frame.data[0], 3);
    EXPECT_EQ(assembler_.pending(), 0u);
}

TEST_F(Stream, RecordSplitIntoSingleBytes) {
    Bytes r = rxRecord(0x18, 0x91A2B3C0, {9, 8, 7, 6, 5, 4, 3, 2});
    size_t total = 0;
    for (uint8_t b : r) {
        total += feed(Bytes{b}).size();
    }
    EXPECT_EQ(total, 1u);
    EXPECT_EQ(assembler_.pending(), 0u);
}

TEST_F(Stream, JunkNeverLeavesMoreThan18Bytes) {
    Bytes junk(200, 0x55);
    EXPECT_TRUE(feed(junk).empty());
    EXPECT_EQ(assembler_.pending(), kRecordSize - 1);
    // A record after the junk is still found.
    Bytes r = rxRecord(0x02, 0x2460, {1, 2});
    auto frames = feed(r);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].frame.len, 2);
}

TEST_F(Stream, AdapterRecordsWithFlagsAreSkipped) {
    Bytes bad = rxRecord(0x01, 0x2460, {2});
    bad[4] = 0x01;  // frameFlags from the adapter: not a record start
    Bytes good = rxRecord(0x01, 0x4680, {2});
    Bytes stream = bad;
    stream.insert(stream.end(), good.begin(), good.end());
    auto frames = feed(stream);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].frame.id, 0x234u);
}
