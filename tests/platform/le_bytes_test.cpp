// Little-endian helpers and the bounded byte cursors.
#include "platform/le_bytes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

// The helpers are usable in constant expressions (packet templates).
constexpr uint32_t decodeAtCompileTime() {
    uint8_t buf[6] = {};
    ByteWriter w(buf, sizeof(buf));
    w.u16le(0xBEEF);
    w.u32le(0x01020304);
    ByteReader r(buf, sizeof(buf));
    uint16_t a = 0;
    uint32_t b = 0;
    r.u16le(a);
    r.u32le(b);
    return a == 0xBEEF ? b : 0;
}
static_assert(decodeAtCompileTime() == 0x01020304);

struct Le16Case {
    uint16_t value;
    std::array<uint8_t, 2> wire;
};
struct Le32Case {
    uint32_t value;
    std::array<uint8_t, 4> wire;
};

constexpr Le16Case kLe16[] = {
    {0x0000, {0x00, 0x00}}, {0x1234, {0x34, 0x12}}, {0x00FF, {0xFF, 0x00}},
    {0xFF00, {0x00, 0xFF}}, {0xFFFF, {0xFF, 0xFF}},
};
constexpr Le32Case kLe32[] = {
    {0x00000000u, {0x00, 0x00, 0x00, 0x00}}, {0x12345678u, {0x78, 0x56, 0x34, 0x12}},
    {0x80000001u, {0x01, 0x00, 0x00, 0x80}}, {0x1FFFFFFFu, {0xFF, 0xFF, 0xFF, 0x1F}},
    {0xFFFFFFFFu, {0xFF, 0xFF, 0xFF, 0xFF}},
};

TEST(LeBytes, Le16EncodesLowByteFirstAndRoundTrips) {
    for (const auto& c : kLe16) {
        SCOPED_TRACE(c.value);
        uint8_t buf[2] = {0xAA, 0xAA};
        put_le16(buf, c.value);
        EXPECT_EQ(buf[0], c.wire[0]);
        EXPECT_EQ(buf[1], c.wire[1]);
        EXPECT_EQ(get_le16(c.wire.data()), c.value);
    }
}

TEST(LeBytes, Le32EncodesLowByteFirstAndRoundTrips) {
    for (const auto& c : kLe32) {
        SCOPED_TRACE(c.value);
        uint8_t buf[4] = {0xAA, 0xAA, 0xAA, 0xAA};
        put_le32(buf, c.value);
        EXPECT_EQ(0, memcmp(buf, c.wire.data(), 4));
        EXPECT_EQ(get_le32(c.wire.data()), c.value);
    }
}

TEST(LeBytes, PutTouchesOnlyItsOwnBytes) {
    uint8_t buf[8];
    memset(buf, 0xEE, sizeof(buf));
    put_le32(buf + 2, 0x11223344u);
    const uint8_t expect[8] = {0xEE, 0xEE, 0x44, 0x33, 0x22, 0x11, 0xEE, 0xEE};
    EXPECT_EQ(0, memcmp(buf, expect, sizeof(buf)));
    put_le16(buf + 6, 0xA55A);
    EXPECT_EQ(buf[5], 0x11);
    EXPECT_EQ(buf[6], 0x5A);
    EXPECT_EQ(buf[7], 0xA5);
}

TEST(LeBytes, Be16ReadsHighByteFirst) {
    const uint8_t wire[] = {0x01, 0x23};
    EXPECT_EQ(get_be16(wire), 0x0123);
    EXPECT_EQ(get_le16(wire), 0x2301);
    const uint8_t high[] = {0xFF, 0x80};
    EXPECT_EQ(get_be16(high), 0xFF80);
}

TEST(ByteReaderTest, ReadsFieldsInOrder) {
    const uint8_t wire[] = {0x55, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0x01, 0x02, 0xAB, 0xCD, 0x09};
    ByteReader r(wire, sizeof(wire));
    uint8_t head = 0;
    uint16_t len = 0;
    uint32_t id = 0;
    uint8_t payload[2] = {};
    uint16_t version = 0;
    uint8_t last = 0;
    ASSERT_TRUE(r.u8(head));
    ASSERT_TRUE(r.u16le(len));
    ASSERT_TRUE(r.u32le(id));
    ASSERT_TRUE(r.bytes(payload, 2));
    ASSERT_TRUE(r.u16be(version));
    EXPECT_EQ(r.position(), 11u);
    EXPECT_EQ(r.remaining(), 1u);
    EXPECT_EQ(*r.current(), 0x09);
    ASSERT_TRUE(r.u8(last));
    EXPECT_EQ(head, 0x55);
    EXPECT_EQ(len, 0x1234);
    EXPECT_EQ(id, 0x12345678u);
    EXPECT_EQ(payload[0], 0x01);
    EXPECT_EQ(payload[1], 0x02);
    EXPECT_EQ(version, 0xABCD);
    EXPECT_EQ(last, 0x09);
    EXPECT_EQ(r.remaining(), 0u);
}

// Each read is tried with one byte too few: it must fail, leave the output
// and the cursor alone, and the same read must succeed with enough bytes.
enum class Read { U8, U16le, U16be, U32le, Bytes5, Skip3 };
struct ShortReadCase {
    Read read;
    size_t need;
};
constexpr ShortReadCase kShortReads[] = {
    {Read::U8, 1},    {Read::U16le, 2},  {Read::U16be, 2},
    {Read::U32le, 4}, {Read::Bytes5, 5}, {Read::Skip3, 3},
};

bool doRead(ByteReader& r, Read what, uint8_t* out) {
    switch (what) {
        case Read::U8:
            return r.u8(out[0]);
        case Read::U16le: {
            uint16_t v = 0xEEEE;
            const bool ok = r.u16le(v);
            memcpy(out, &v, sizeof(v));
            return ok;
        }
        case Read::U16be: {
            uint16_t v = 0xEEEE;
            const bool ok = r.u16be(v);
            memcpy(out, &v, sizeof(v));
            return ok;
        }
        case Read::U32le: {
            uint32_t v = 0xEEEEEEEEu;
            const bool ok = r.u32le(v);
            memcpy(out, &v, sizeof(v));
            return ok;
        }
        case Read::Bytes5:
            return r.bytes(out, 5);
        case Read::Skip3:
            return r.skip(3);
    }
    return false;
}

TEST(ByteReaderTest, ShortReadsFailWithoutTouchingOutputOrCursor) {
    const uint8_t wire[] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70};
    for (const auto& c : kShortReads) {
        SCOPED_TRACE(static_cast<int>(c.read));
        // Start one byte in so the missing byte lies beyond a nonzero position.
        ByteReader tooShort(wire, c.need);  // one byte is consumed below
        uint8_t skipped = 0;
        ASSERT_TRUE(tooShort.u8(skipped));
        uint8_t out[8];
        memset(out, 0xEE, sizeof(out));
        EXPECT_FALSE(doRead(tooShort, c.read, out));
        for (uint8_t b : out) {
            EXPECT_EQ(b, 0xEE);
        }
        EXPECT_EQ(tooShort.position(), 1u);
        EXPECT_EQ(tooShort.remaining(), c.need - 1);

        ByteReader enough(wire, c.need + 1);
        ASSERT_TRUE(enough.u8(skipped));
        EXPECT_TRUE(doRead(enough, c.read, out));
        EXPECT_EQ(enough.remaining(), 0u);
    }
}

TEST(ByteReaderTest, HugeLengthsDoNotWrapTheBoundsCheck) {
    const uint8_t wire[4] = {1, 2, 3, 4};
    ByteReader r(wire, sizeof(wire));
    uint8_t out[4] = {};
    ASSERT_TRUE(r.skip(1));
    EXPECT_FALSE(r.skip(SIZE_MAX));
    EXPECT_FALSE(r.bytes(out, SIZE_MAX));
    EXPECT_FALSE(r.skip(SIZE_MAX - 2));
    EXPECT_EQ(r.position(), 1u);
    EXPECT_TRUE(r.skip(3));
    EXPECT_FALSE(r.skip(1));
}

TEST(ByteReaderTest, EmptyAndNullBuffersHoldNothing) {
    ByteReader nothing(nullptr, 16);  // a size without data is no data
    uint8_t v = 7;
    EXPECT_EQ(nothing.remaining(), 0u);
    EXPECT_FALSE(nothing.u8(v));
    EXPECT_EQ(v, 7);
    EXPECT_TRUE(nothing.skip(0));
    EXPECT_TRUE(nothing.bytes(&v, 0));

    const uint8_t one[1] = {0x42};
    ByteReader empty(one, 0);
    EXPECT_FALSE(empty.u8(v));
    EXPECT_EQ(v, 7);
}

TEST(ByteWriterTest, WritesFieldsInOrder) {
    uint8_t buf[16];
    memset(buf, 0xEE, sizeof(buf));
    ByteWriter w(buf, 14);
    const uint8_t payload[] = {0xDE, 0xAD};
    ASSERT_TRUE(w.u8(0x55));
    ASSERT_TRUE(w.u16le(0x1234));
    ASSERT_TRUE(w.u32le(0x89ABCDEFu));
    ASSERT_TRUE(w.bytes(payload, sizeof(payload)));
    ASSERT_TRUE(w.skip(1));
    ASSERT_TRUE(w.fill(0x00, 3));
    EXPECT_EQ(w.position(), 13u);
    EXPECT_EQ(w.remaining(), 1u);
    const uint8_t expect[16] = {0x55, 0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 0xDE,
                                0xAD, 0xEE, 0x00, 0x00, 0x00, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(0, memcmp(buf, expect, sizeof(buf)));
}

TEST(ByteWriterTest, FullBufferRefusesEveryWriteAndLeavesBytesBeyondAlone) {
    // The writer owns 5 bytes of a larger array; the rest is a guard zone.
    uint8_t buf[12];
    memset(buf, 0xEE, sizeof(buf));
    ByteWriter w(buf, 5);
    ASSERT_TRUE(w.u16le(0xAAAA));
    ASSERT_TRUE(w.u8(0xBB));
    // Two bytes left: every wider write fails as a whole.
    const uint8_t three[3] = {1, 2, 3};
    EXPECT_FALSE(w.u32le(0x11111111u));
    EXPECT_FALSE(w.bytes(three, 3));
    EXPECT_FALSE(w.fill(0x22, 3));
    EXPECT_FALSE(w.skip(3));
    EXPECT_FALSE(w.fill(0x22, SIZE_MAX));
    EXPECT_EQ(w.position(), 3u);
    EXPECT_EQ(buf[3], 0xEE);
    EXPECT_EQ(buf[4], 0xEE);
    ASSERT_TRUE(w.u16le(0xCCCC));
    EXPECT_FALSE(w.u8(0xDD));
    EXPECT_EQ(w.remaining(), 0u);
    for (size_t i = 5; i < sizeof(buf); ++i) {
        EXPECT_EQ(buf[i], 0xEE) << i;
    }
}

TEST(ByteWriterTest, ReaderDecodesWhatWriterEncoded) {
    struct Fields {
        uint8_t a;
        uint16_t b;
        uint32_t c;
    };
    const Fields cases[] = {{0, 0, 0}, {0xFF, 0xFFFF, 0xFFFFFFFFu}, {0x12, 0x8001, 0x7F00FF01u}};
    for (const Fields& f : cases) {
        uint8_t buf[7];
        ByteWriter w(buf, sizeof(buf));
        ASSERT_TRUE(w.u8(f.a) && w.u16le(f.b) && w.u32le(f.c));
        ByteReader r(buf, w.position());
        Fields got{};
        ASSERT_TRUE(r.u8(got.a) && r.u16le(got.b) && r.u32le(got.c));
        EXPECT_EQ(got.a, f.a);
        EXPECT_EQ(got.b, f.b);
        EXPECT_EQ(got.c, f.c);
    }
}

}  // namespace
