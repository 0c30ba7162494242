// Wire codecs of the FD adapter family: timing tables, command bytes, frame
// packets and received records.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "drivers/fd/fd_protocol.h"

using namespace dunlinfd;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes span(const uint8_t* p, size_t n) {
    return Bytes(p, p + n);
}

// ---- Bit timing ------------------------------------------------------------------

struct TimingCase {
    bool arbitration;
    uint32_t rate;
    uint16_t clock;
    bool found;
    uint32_t word;
};

TEST(FdProtocolTiming, TableLookups) {
    const TimingCase cases[] = {
        {true, 1000000, 60, true, 0x01400106},
        {true, 1000000, 80, true, 0x00C0030E},
        {true, 500000, 60, true, 0x02C00106},
        {true, 500000, 80, true, 0x01C0030E},
        {true, 250000, 60, true, 0x05C00106},
        {true, 250000, 80, true, 0x03C0030E},
        {true, 50000, 60, true, 0x1DC00106},
        {true, 50000, 80, true, 0x13C0030E},
        {true, 2000000, 60, false, 0},
        {true, 0, 60, false, 0},
        {true, 500001, 80, false, 0},
        {false, 5000000, 60, true, 0x00800001},
        {false, 5000000, 80, true, 0x00400005},
        {false, 4000000, 80, true, 0x00400106},
        {false, 2000000, 60, true, 0x00800106},
        {false, 2000000, 80, true, 0x00C00106},
        {false, 800000, 60, true, 0x0100020A},
        {false, 3000000, 60, false, 0},
        {false, 0, 80, false, 0},
    };
    for (const TimingCase& c : cases) {
        uint32_t word = 0xDEADBEEF;
        bool found = c.arbitration ? arbitrationTimingWord(c.rate, c.clock, &word)
                                   : dataTimingWord(c.rate, c.clock, &word);
        EXPECT_EQ(found, c.found) << c.rate << " @" << c.clock;
        uint32_t expected = c.found ? c.word : 0xDEADBEEFu;  // untouched on failure
        EXPECT_EQ(word, expected) << c.rate << " @" << c.clock;
    }
    EXPECT_FALSE(arbitrationTimingWord(500000, 60, nullptr));
}

TEST(FdProtocolTiming, WordFields) {
    const struct {
        uint32_t word;
        TimingFields fields;
    } cases[] = {
        {0x01C0030E, {7, 0, 14, 3}}, {0x02C00106, {11, 0, 6, 1}},
        {0x00800106, {2, 0, 6, 1}},  {0xFFFFFFFF, {0x3FF, 0x7F, 0xFF, 0x7F}},
        {0x00008000, {0, 1, 0, 0}},
    };
    for (const auto& c : cases) {
        TimingFields f = unpackTimingWord(c.word);
        EXPECT_EQ(f.brp, c.fields.brp) << std::hex << c.word;
        EXPECT_EQ(f.sjw, c.fields.sjw) << std::hex << c.word;
        EXPECT_EQ(f.tseg1, c.fields.tseg1) << std::hex << c.word;
        EXPECT_EQ(f.tseg2, c.fields.tseg2) << std::hex << c.word;
    }
}

TEST(FdProtocolCommands, BitTimingCommandForBothClocks) {
    struct Case {
        const char* what;
        BitTimingRequest req;
        Bytes bytes;
    } cases[] = {
        {"ZARO2018 500k/2M ch0 iso",
         {0, 1, 0, 80, 80, 0x01C0030E, 0x00C00106},
         {0x55, 0x03, 0x00, 0x01, 0x01, 0x00, 0x50, 0x00, 0x07, 0x00, 0x00, 0x0E,
          0x00, 0x03, 0x00, 0x50, 0x00, 0x03, 0x00, 0x00, 0x06, 0x00, 0x01, 0x00}},
        {"DUNLINFD2 500k/2M ch1 mode 5",
         {1, 0, 5, 60, 60, 0x02C00106, 0x00800106},
         {0x55, 0x03, 0x01, 0x01, 0x00, 0x05, 0x3C, 0x00, 0x0B, 0x00, 0x00, 0x06,
          0x00, 0x01, 0x00, 0x3C, 0x00, 0x02, 0x00, 0x00, 0x06, 0x00, 0x01, 0x00}},
        {"custom words sent field by field, channel 7",
         {7, 0, 0, 60, 60, 0xFFFFFFFF, 0x00008000},
         {0x55, 0x03, 0x07, 0x01, 0x00, 0x00, 0x3C, 0x00, 0xFF, 0x03, 0x7F, 0xFF,
          0x00, 0x7F, 0x00, 0x3C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        uint8_t out[kBitTimingCmdSize];
        ASSERT_EQ(buildBitTimingCommand(c.req, out), kBitTimingCmdSize) << c.what;
        EXPECT_EQ(span(out, sizeof out), c.bytes) << c.what;
    }
    uint8_t small[23];
    EXPECT_EQ(buildBitTimingCommand(cases[0].req, small), 0u);
}

TEST(FdProtocolCommands, ShortCommands) {
    uint8_t out[16];
    ASSERT_EQ(buildQueryCommand(kCmdHwVersion, out), 4u);
    EXPECT_EQ(span(out, 4), (Bytes{0x55, 0x01, 0x01, 0x01}));
    ASSERT_EQ(buildQueryCommand(kCmdChannelCount, out), 4u);
    EXPECT_EQ(span(out, 4), (Bytes{0x55, 0x13, 0x01, 0x01}));
    ASSERT_EQ(buildChannelCommand(kCmdStart, 3, out), 5u);
    EXPECT_EQ(span(out, 5), (Bytes{0x55, 0x0E, 0x02, 0x00, 0x30}));
    ASSERT_EQ(buildChannelCommand(kCmdStop, 7, out), 5u);
    EXPECT_EQ(span(out, 5), (Bytes{0x55, 0x0F, 0x02, 0x00, 0x70}));
    ASSERT_EQ(buildFilterCommand(kFilterOpStandardRange, 1, 0x100, 0x1FF, out), 13u);
    EXPECT_EQ(span(out, 13), (Bytes{0x55, 0x04, 0x0A, 0x02, 0x10, 0x00, 0x01, 0x00, 0x00, 0xFF,
                                    0x01, 0x00, 0x00}));
    ASSERT_EQ(buildFilterCommand(kFilterOpEnable, 0, 0, 0, out), 13u);
    EXPECT_EQ(span(out, 13), (Bytes{0x55, 0x04, 0x0A, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(buildFilterCommand(kFilterOpEnable, 0, 0, 0, std::span<uint8_t>(out, 12)), 0u);
}

TEST(FdProtocolCommands, DirectTransferKeepsFirst62Bytes) {
    uint8_t payload[100];
    for (int i = 0; i < 100; ++i)
        payload[i] = static_cast<uint8_t>(i + 1);
    uint8_t out[kDirectCmdSize];
    ASSERT_EQ(buildDirectTransfer(payload, sizeof payload, out), 64u);
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0xA7);
    EXPECT_EQ(span(out + 2, 62), span(payload, 62));

    ASSERT_EQ(buildDirectTransfer(payload, 3, out), 5u) << "no padding";
    EXPECT_EQ(span(out + 2, 3), span(payload, 3));
}

TEST(FdProtocolCommands, ReplyMatching) {
    const uint8_t req[] = {0x55, 0x0E, 0x02, 0x00, 0x30};
    const struct {
        Bytes reply;
        bool matches;
    } cases[] = {
        {{0x55, 0x0E, 0x00}, true},        {{0x55, 0x0E}, false},  // two bytes never match
        {{0x55, 0x0F, 0x00, 0x00}, false},                         // foreign command
        {{0xAA, 0x0E, 0x00}, false},       {{}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(replyMatches(req, c.reply), c.matches) << c.reply.size();
    }
    uint16_t word = 0;
    const uint8_t version[] = {0x55, 0x01, 0x00, 0x00, 0x01, 0x17};
    ASSERT_TRUE(replyVersionWord(version, &word));
    EXPECT_EQ(word, 0x0117) << "big-endian";
    EXPECT_FALSE(replyVersionWord(std::span<const uint8_t>(version, 5), &word));
}

// ---- Frame packets ------------------------------------------------------------------

_KCAN_CAN_OBJ classicFrame(uint32_t id, uint8_t len, uint8_t rtr = 0, uint8_t ext = 0) {
    _KCAN_CAN_OBJ f{};
    f.id = id;
    f.len = len;
    f.rtr = rtr;
    f.ext = ext;
    for (int i = 0; i < 8; ++i)
        f.data[i] = static_cast<uint8_t>(0xA0 + i);
    return f;
}

_KCAN_CANFD_OBJ fdFrame(uint32_t id, uint8_t len, uint8_t flags = 0) {
    _KCAN_CANFD_OBJ f{};
    f.id = id;
    f.len = len;
    f.frameFlags = flags;
    for (int i = 0; i < 64; ++i)
        f.data[i] = static_cast<uint8_t>(i);
    return f;
}

TEST(FdProtocolPackets, ClassicPacketBytes) {
    _KCAN_CAN_OBJ f = classicFrame(0x123, 3);
    f.txOption = 0xF5;  // only the low nibble travels
    uint8_t out[kMaxClassicPacket];
    ASSERT_EQ(encodeClassicPacket(2, &f, 1, out), 26u);
    EXPECT_EQ(span(out, 26), (Bytes{0x55, 0xF2, 0x00, 0x00, 0x13, 0x00, 0x01,  // header
                                    0x25, 0x00, 0,    0,    0,    0,    0x23, 0x01, 0x00, 0x00,
                                    0x03, 0xA0, 0xA1, 0xA2, 0,    0,    0,    0,    0}));
}

TEST(FdProtocolPackets, RecordFieldsFromFrames) {
    struct Case {
        const char* what;
        bool fd;
        _KCAN_CAN_OBJ classic;
        _KCAN_CANFD_OBJ canfd;
        uint32_t channel;
        uint8_t byte0, flags;
        uint32_t id;
        uint8_t len;
    } cases[] = {
        {"classic remote len 8 goes out as 0",
         false,
         classicFrame(0x7FF, 8, 1, 0),
         {},
         0,
         0x00,
         0x02,
         0x7FF,
         0},
        {"classic extended, id masked",
         false,
         classicFrame(0xFFFFFFFF, 8, 0, 1),
         {},
         1,
         0x10,
         0x04,
         0x1FFFFFFF,
         8},
        {"classic remote extended",
         false,
         classicFrame(0x1234, 2, 1, 1),
         {},
         15,
         0xF0,
         0x06,
         0x1234,
         0},
        {"channel taken modulo 16", false, classicFrame(1, 1), {}, 17, 0x10, 0x00, 1, 1},
        {"FD BRS -> 0x11",
         true,
         {},
         fdFrame(0x10, 64, KCAN_FRAME_FLAG_BRS),
         3,
         0x30,
         0x11,
         0x10,
         64},
        {"FD BRS + extra -> 0x19", true, {}, fdFrame(0x10, 12, 0x18), 0, 0x00, 0x19, 0x10, 12},
        {"FD extra only -> 0x09", true, {}, fdFrame(0x10, 12, 0x10), 0, 0x00, 0x09, 0x10, 12},
        {"FD id masked", true, {}, fdFrame(0xFFFFFFFF, 0), 7, 0x70, 0x01, 0x1FFFFFFF, 0},
    };
    for (Case& c : cases) {
        uint8_t out[kMaxFdPacket];
        size_t n = c.fd ? encodeFdPacket(c.channel, &c.canfd, 1, out)
                        : encodeClassicPacket(c.channel, &c.classic, 1, out);
        size_t recSize = c.fd ? kFdRecordSize : kClassicRecordSize;
        ASSERT_EQ(n, kPacketHeaderSize + recSize) << c.what;
        EXPECT_EQ(out[4] | (out[5] << 8), static_cast<int>(recSize)) << c.what;
        const uint8_t* rec = out + kPacketHeaderSize;
        EXPECT_EQ(rec[0], c.byte0) << c.what;
        EXPECT_EQ(rec[1], c.flags) << c.what;
        EXPECT_EQ(span(rec + 2, 4), Bytes(4, 0)) << c.what << ": time stamp 0 on transmit";
        uint32_t id =
            rec[6] | (rec[7] << 8) | (rec[8] << 16) | (static_cast<uint32_t>(rec[9]) << 24);
        EXPECT_EQ(id, c.id) << c.what;
        EXPECT_EQ(rec[10], c.len) << c.what;
        size_t slot = c.fd ? kFdDataSlot : kClassicDataSlot;
        const uint8_t* data = c.fd ? c.canfd.data : c.classic.data;
        for (size_t i = 0; i < slot; ++i) {
            uint8_t expected = i < c.len ? data[i] : 0;
            ASSERT_EQ(rec[11 + i], expected) << c.what << " data byte " << i;
        }
    }
}

TEST(FdProtocolPackets, TenFramesAtMost) {
    _KCAN_CAN_OBJ frames[11] = {};
    uint8_t out[kMaxFdPacket];
    EXPECT_EQ(encodeClassicPacket(0, frames, 10, out), kMaxClassicPacket);
    EXPECT_EQ(out[6], 10);
    EXPECT_EQ(out[4] | (out[5] << 8), 190);
    EXPECT_EQ(encodeClassicPacket(0, frames, 11, out), 0u);
    EXPECT_EQ(encodeClassicPacket(0, frames, 0, out), 0u);
    _KCAN_CANFD_OBJ fds[10] = {};
    EXPECT_EQ(encodeFdPacket(0, fds, 10, out), kMaxFdPacket);
    EXPECT_EQ(encodeFdPacket(0, fds, 10, std::span<uint8_t>(out, kMaxFdPacket - 1)), 0u);
}

// ---- Received records -------------------------------------------------------------------

Bytes record(bool fd, uint8_t byte0, uint8_t flags, uint32_t stamp, uint32_t id, uint8_t len) {
    Bytes r(fd ? kFdRecordSize : kClassicRecordSize, 0);
    r[0] = byte0;
    r[1] = static_cast<uint8_t>(flags | (fd ? kRecFlagFd : 0));
    for (int i = 0; i < 4; ++i)
        r[2 + i] = static_cast<uint8_t>(stamp >> (8 * i));
    for (int i = 0; i < 4; ++i)
        r[6 + i] = static_cast<uint8_t>(id >> (8 * i));
    r[10] = len;
    for (size_t i = 11; i < r.size(); ++i)
        r[i] = static_cast<uint8_t>(i);
    return r;
}

TEST(FdProtocolRecords, ClassicConversion) {
    const struct {
        const char* what;
        Bytes rec;
        uint32_t queue, id, stamp;
        uint8_t rtr, ext, len;
    } cases[] = {
        {"plain", record(false, 0x00, 0, 0x11223344, 0x123, 8), 0, 0x123, 0x11223344, 0, 0, 8},
        {"length 12 capped", record(false, 0x10, 0, 0, 0x1, 12), 1, 0x1, 0, 0, 0, 8},
        {"remote + extended", record(false, 0x2F, 0x06, 5, 0x1ABCDEF, 0), 2, 0x1ABCDEF, 5, 1, 1, 0},
        {"channel 9 -> queue 7", record(false, 0x90, 0, 0, 0x7, 1), 7, 0x7, 0, 0, 0, 1},
        {"channel 15 -> queue 7", record(false, 0xF0, 0, 0, 0x7, 1), 7, 0x7, 0, 0, 0, 1},
        {"id 0xFFFFFFFF masked", record(false, 0x00, 0, 0, 0xFFFFFFFF, 0), 0, 0x1FFFFFFF, 0, 0, 0,
         0},
        {"transmit-only flag ignored", record(false, 0x00, 0x18, 0, 1, 0), 0, 1, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        _KCAN_CAN_OBJ out;
        std::memset(&out, 0xEE, sizeof out);
        uint32_t queue = 99;
        ASSERT_TRUE(decodeClassicRecord(c.rec, &out, &queue)) << c.what;
        EXPECT_EQ(queue, c.queue) << c.what;
        EXPECT_EQ(out.id, c.id) << c.what;
        EXPECT_EQ(out.timeStamp, c.stamp) << c.what;
        EXPECT_EQ(out.rtr, c.rtr) << c.what;
        EXPECT_EQ(out.ext, c.ext) << c.what;
        EXPECT_EQ(out.len, c.len) << c.what;
        EXPECT_EQ(out.frameFlags, 0) << c.what;
        EXPECT_EQ(span(out.data, out.len), span(c.rec.data() + 11, c.len)) << c.what;
        EXPECT_EQ(span(out.data + out.len, 8 - out.len), Bytes(8 - out.len, 0)) << c.what;
    }
    _KCAN_CAN_OBJ out{};
    uint32_t queue = 0;
    Bytes shortRec = record(false, 0, 0, 0, 1, 1);
    shortRec.pop_back();
    EXPECT_FALSE(decodeClassicRecord(shortRec, &out, &queue));
}

TEST(FdProtocolRecords, FdConversion) {
    const struct {
        const char* what;
        Bytes rec;
        uint32_t queue;
        uint8_t flags, len;
    } cases[] = {
        {"BRS set", record(true, 0x30, kRecFlagBrs, 0, 1, 64), 3, KCAN_FRAME_FLAG_BRS, 64},
        {"flag bit 3 is not BRS", record(true, 0x30, kRecFlagExtra, 0, 1, 20), 3, 0, 20},
        {"length 200 capped at 64", record(true, 0x90, 0, 0, 1, 200), 7, 0, 64},
    };
    for (const auto& c : cases) {
        _KCAN_CANFD_OBJ out{};
        uint32_t queue = 99;
        ASSERT_TRUE(decodeFdRecord(c.rec, &out, &queue)) << c.what;
        EXPECT_EQ(queue, c.queue) << c.what;
        EXPECT_EQ(out.frameFlags, c.flags) << c.what;
        EXPECT_EQ(out.len, c.len) << c.what;
        EXPECT_EQ(span(out.data, out.len), span(c.rec.data() + 11, c.len)) << c.what;
    }
}

// Encoding then parsing gives the frames back.
struct Collect : RecordSink {
    std::vector<std::pair<uint32_t, _KCAN_CAN_OBJ>> classic;
    std::vector<std::pair<uint32_t, _KCAN_CANFD_OBJ>> fd;
    void onClassic(uint32_t q, const _KCAN_CAN_OBJ& f) override { classic.emplace_back(q, f); }
    void onFd(uint32_t q, const _KCAN_CANFD_OBJ& f) override { fd.emplace_back(q, f); }
};

TEST(FdProtocolRecords, EncodeParseRoundTrip) {
    _KCAN_CANFD_OBJ frames[3] = {fdFrame(0x100, 64, KCAN_FRAME_FLAG_BRS), fdFrame(0x1ABCDE, 7),
                                 fdFrame(0x3, 0)};
    frames[1].ext = 1;
    uint8_t out[kMaxFdPacket];
    size_t n = encodeFdPacket(5, frames, 3, out);
    Collect sink;
    EXPECT_EQ(parseFramePackets(std::span<const uint8_t>(out, n), sink), n);
    ASSERT_EQ(sink.fd.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sink.fd[i].first, 5u);
        EXPECT_EQ(sink.fd[i].second.id, frames[i].id);
        EXPECT_EQ(sink.fd[i].second.ext, frames[i].ext);
        EXPECT_EQ(sink.fd[i].second.len, frames[i].len);
        EXPECT_EQ(sink.fd[i].second.frameFlags, frames[i].frameFlags);
        EXPECT_EQ(span(sink.fd[i].second.data, frames[i].len), span(frames[i].data, frames[i].len));
    }
}

TEST(FdProtocolModels, TypesIdsAndChannels) {
    const struct {
        uint32_t type;
        uint16_t vid, pid;
        uint32_t channels;
        uint16_t clock;
    } cases[] = {
        {41, 0x3068, 0x0009, 2, 60}, {42, 0x3068, 0x0009, 2, 60}, {43, 0x3068, 0x0009, 2, 60},
        {64, 0x0471, 0x3014, 4, 60}, {65, 0x0471, 0x2014, 4, 60}, {66, 0x0471, 0x2018, 8, 80},
        {67, 0x0471, 0x3018, 8, 80},
    };
    for (const auto& c : cases) {
        const FdModel& m = modelForType(c.type);
        EXPECT_TRUE(isFdFamilyType(c.type));
        EXPECT_EQ(m.vendorId, c.vid) << c.type;
        EXPECT_EQ(m.productId, c.pid) << c.type;
        EXPECT_EQ(m.channels, c.channels) << c.type;
        EXPECT_EQ(m.clockMhz, c.clock) << c.type;
    }
    EXPECT_FALSE(isFdFamilyType(63));
    EXPECT_FALSE(isFdFamilyType(3));
}

}  // namespace
