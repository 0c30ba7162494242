// Little-endian helpers and the bounded byte cursors.
#include "platform/le_bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Each operation, one byte into the buffer, succeeds with exactly the bytes it
// needs and uses them all; with one byte fewer it fails and leaves its output,
// the buffer and the cursor alone. (The byte order of the values they and the
// fixed-position helpers carry is checked through the wire codecs.)
TEST(LeBytes, EachCursorOperationNeedsExactlyItsBytes) {
    const uint8_t wire[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t u8 = 0, five[5];
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    const std::pair<size_t, std::function<bool(ByteReader&)>> reads[] = {
        {1, [&](ByteReader& r) { return r.u8(u8); }},
        {2, [&](ByteReader& r) { return r.u16le(u16); }},
        {2, [&](ByteReader& r) { return r.u16be(u16); }},
        {4, [&](ByteReader& r) { return r.u32le(u32); }},
        {5, [&](ByteReader& r) { return r.bytes(five, 5); }},
        {3, [&](ByteReader& r) { return r.skip(3); }},
    };
    for (const auto& [need, read] : reads) {
        SCOPED_TRACE(&read - &reads[0].second);
        u8 = 0xEE;
        u16 = 0xEEEE;
        u32 = 0xEEEEEEEEu;
        memset(five, 0xEE, sizeof five);
        ByteReader tooShort(wire, need);
        ASSERT_TRUE(tooShort.skip(1));
        EXPECT_FALSE(read(tooShort));
        EXPECT_TRUE(u8 == 0xEE && u16 == 0xEEEE && u32 == 0xEEEEEEEEu && five[0] == 0xEE);
        EXPECT_EQ(tooShort.position(), 1u);
        ByteReader enough(wire, need + 1);
        ASSERT_TRUE(enough.skip(1));
        EXPECT_TRUE(read(enough));
        EXPECT_EQ(enough.remaining(), 0u);
    }

    const std::pair<size_t, std::function<bool(ByteWriter&)>> writes[] = {
        {1, [](ByteWriter& w) { return w.u8(0x11); }},
        {2, [](ByteWriter& w) { return w.u16le(0x1111); }},
        {4, [](ByteWriter& w) { return w.u32le(0x11111111u); }},
        {5, [&](ByteWriter& w) { return w.bytes(wire, 5); }},
        {5, [](ByteWriter& w) { return w.fill(0x11, 5); }},
        {3, [](ByteWriter& w) { return w.skip(3); }},
    };
    for (const auto& [need, write] : writes) {
        SCOPED_TRACE(&write - &writes[0].second);
        uint8_t buf[8];
        memset(buf, 0xEE, sizeof buf);
        ByteWriter tooShort(buf, need);
        ASSERT_TRUE(tooShort.skip(1));
        EXPECT_FALSE(write(tooShort));
        EXPECT_EQ(tooShort.position(), 1u);
        EXPECT_EQ(Bytes(buf, buf + 8), Bytes(8, 0xEE));
        ByteWriter enough(buf, need + 1);
        ASSERT_TRUE(enough.skip(1));
        EXPECT_TRUE(write(enough));
        EXPECT_EQ(enough.remaining(), 0u);
        EXPECT_EQ(buf[need + 1], 0xEE) << "nothing beyond the writer's bytes";
    }
}

TEST(LeBytes, HugeLengthsAndNullBuffersHoldNothing) {
    const uint8_t wire[4] = {1, 2, 3, 4};
    uint8_t out[4] = {};
    ByteReader r(wire, sizeof(wire));
    ASSERT_TRUE(r.skip(1));
    EXPECT_FALSE(r.skip(SIZE_MAX));  // no wrap in the bounds check
    EXPECT_FALSE(r.bytes(out, SIZE_MAX));
    EXPECT_FALSE(r.skip(SIZE_MAX - 2));
    EXPECT_EQ(r.position(), 1u);
    EXPECT_EQ(*r.current(), 2);
    ByteWriter w(out, sizeof out);
    EXPECT_FALSE(w.fill(0x22, SIZE_MAX));
    EXPECT_FALSE(w.skip(SIZE_MAX));

    ByteReader nothing(nullptr, 16);  // a size without data is no data
    uint8_t v = 7;
    EXPECT_FALSE(nothing.u8(v));
    EXPECT_EQ(v, 7);
    EXPECT_TRUE(nothing.skip(0));
    EXPECT_FALSE(ByteWriter(nullptr, 16).u8(1));
}

}  // namespace
