// candump lines and the conversions between log frames and the tool's records.
#include <gtest/gtest.h>

#include <cstring>

#include "app/canlog/candump.h"
#include "canlog_test.h"

namespace {

using canlogtest::describe;
using canlogtest::frame;

LogFrame with(LogFrame f, void (*change)(LogFrame&)) {
    change(f);
    return f;
}

std::string format(const LogFrame& f) {
    char line[kCandumpLineMax];
    return std::string(line, formatCandumpLine(f, line, sizeof line));
}

TEST(Candump, LinesRoundTrip) {
    std::string all64;
    for (int i = 0; i < 64; ++i) {
        all64.push_back(static_cast<char>(i));
    }
    const std::pair<LogFrame, std::string> cases[] = {
        {frame(1700000000123456, 0, 0x123, "\xDE\xAD\xBE\xEF"),
         "(1700000000.123456) can0 123#DEADBEEF\n"},
        {with(frame(1000001, 3, 0x12345678, ""), [](LogFrame& f) { f.ext = true; }),
         "(0000000001.000001) can3 12345678#\n"},
        {frame(0, 1, 0x7FF, "\x01\x02\x03\x04\x05\x06\x07\x08"),
         "(0000000000.000000) can1 7FF#0102030405060708\n"},
        {with(frame(5, 0, 0x001, ""), [](LogFrame& f) { f.rtr = true; }),
         "(0000000000.000005) can0 001#R\n"},
        {with(frame(5, 0, 0x123, ""),
              [](LogFrame& f) {
                  f.rtr = true;
                  f.len = 4;
              }),
         "(0000000000.000005) can0 123#R4\n"},
        {with(frame(2000000, 2, 0x456, ""), [](LogFrame& f) { f.fd = true; }),
         "(0000000002.000000) can2 456##0\n"},
        {with(frame(2000000, 2, 0x456, "\xAA\xBB\xCC\xDD\xEE\xFF\x10\x11\x22\x33\x44\x55"),
              [](LogFrame& f) {
                  f.fd = true;
                  f.brs = true;
              }),
         "(0000000002.000000) can2 456##1AABBCCDDEEFF101122334455\n"},
        {with(frame(2000000, 2, 0x1FFFFFFF, all64),
              [](LogFrame& f) { f.fd = f.ext = f.brs = f.esi = true; }),
         "(0000000002.000000) can2 1FFFFFFF##3000102030405060708090A0B0C0D0E0F101112131415161718"
         "191A1B1C1D1E1F202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D3E3F\n"},
    };
    for (const auto& [f, line] : cases) {
        EXPECT_EQ(format(f), line);
        LogFrame parsed;
        std::string ifname, error;
        ASSERT_EQ(parseCandumpLine(line, &parsed, &ifname, &error), CandumpParse::Frame) << error;
        EXPECT_EQ(describe(parsed), describe(f)) << line;
        EXPECT_EQ(ifname, "can" + std::to_string(f.channel));
    }
    char small[20];
    EXPECT_EQ(formatCandumpLine(cases[0].first, small, sizeof small), 0u);
}

// What other writers put into their lines, and lines that carry no frame.
TEST(Candump, ParseAcceptsOtherWriters) {
    const std::pair<std::string, std::string> cases[] = {
        {"(1700000000.5) can1 1ab#aabb T\r\n", "can1 t=1700000000500000 ch1 out 1AB len=2 AABB"},
        {"(1.123456789)   vcan0\t123#R R\n", "vcan0 t=1123456 ch0 in 123 rtr len=0 "},
        {"(0000000010.000000) can255 123##F", "can255 t=10000000 ch255 in 123 fd brs esi len=0 "},
        {"(0000000010.000000) can256 123##4", "can256 t=10000000 ch0 in 123 fd len=0 "},
        {"", "skip"},
        {"  \t\r\n", "skip"},
        {"(1.000000) can0 20000080#0000000000000000", "skip"},
    };
    for (const auto& [line, expect] : cases) {
        LogFrame f;
        std::string ifname, error;
        CandumpParse r = parseCandumpLine(line, &f, &ifname, &error);
        std::string got = r == CandumpParse::Skip    ? "skip"
                          : r == CandumpParse::Frame ? ifname + " " + describe(f)
                                                     : "invalid: " + error;
        EXPECT_EQ(got, expect) << line;
    }
}

TEST(Candump, ParseErrors) {
    const std::pair<std::string, std::string> cases[] = {
        {"(17x0.1) can0 123#00", "bad time stamp \"(17x0.1)\""},
        {"(1.1234567890) can0 123#", "bad time stamp \"(1.1234567890)\""},
        {"(1.) can0 123#", "bad time stamp \"(1.)\""},
        {"1.5 can0 123#", "bad time stamp \"1.5\""},
        {"(18446744073709.551616) can0 123#", "bad time stamp \"(18446744073709.551616)\""},
        {"(1.0) can0", "expected \"(time) interface frame\""},
        {"(1.0) can0 123#00 X", "unexpected \"X\" after the frame"},
        {"(1.0) can0 123#00 T T", "unexpected \"T\" after the frame"},
        {"(1.0) can0 123", "no '#' in the frame \"123\""},
        {"(1.0) can0 12345#00", "identifier of 5 digits: standard ids have 3, extended 8"},
        {"(1.0) can0 #00", "identifier of 0 digits: standard ids have 3, extended 8"},
        {"(1.0) can0 12G#", "identifier \"12G\" is not hexadecimal"},
        {"(1.0) can0 800#", "identifier 800 out of range"},
        {"(1.0) can0 40000000#", "identifier 40000000 out of range"},
        {"(1.0) can0 123#123", "odd number of data digits"},
        {"(1.0) can0 123#0G", "data \"0G\" is not hexadecimal"},
        {"(1.0) can0 123#112233445566778899", "classic frame with 9 data bytes"},
        {"(1.0) can0 123##1" + std::string(26, '0'), "FD length 13 is not a valid CAN FD length"},
        {"(1.0) can0 123##1" + std::string(130, '0'), "FD length 65 is not a valid CAN FD length"},
        {"(1.0) can0 123##", "FD frame without its flags digit"},
        {"(1.0) can0 123##G00", "FD frame without its flags digit"},
        {"(1.0) can0 123#R9", "remote frame length \"9\" is not 0..8"},
        {"(1.0) can0 123#R12", "remote frame length \"12\" is not 0..8"},
    };
    for (const auto& [line, expect] : cases) {
        LogFrame f;
        std::string ifname, error;
        EXPECT_EQ(parseCandumpLine(line, &f, &ifname, &error), CandumpParse::Invalid) << line;
        EXPECT_EQ(error, expect) << line;
    }
}

TEST(LogFrame, FromAndToTheToolsRecord) {
    _KCAN_USER_OBJ fd{};
    fd.isFd = 1;
    fd.canfdObj.id = 0xFFFFF123;  // bits above 11 are not part of a standard id
    fd.canfdObj.frameFlags = 0x08 | 0x10;
    fd.canfdObj.len = 13;  // went out padded to 16
    memset(fd.canfdObj.data, 0xAB, sizeof fd.canfdObj.data);
    EXPECT_EQ(describe(logFrameFromUserObj(fd, 2, 77, true)),
              "t=77 ch2 out 123 fd brs len=16 ABABABABABABABABABABABABAB000000");

    _KCAN_USER_OBJ remote{};
    remote.canObj.id = 0x12345678;
    remote.canObj.ext = 1;
    remote.canObj.rtr = 1;
    remote.canObj.len = 5;
    remote.canObj.data[0] = 0xFF;
    EXPECT_EQ(describe(logFrameFromUserObj(remote, 0, 1, false)),
              "t=1 ch0 in 12345678 ext rtr len=5 0000000000");

    _KCAN_USER_OBJ classic{};
    classic.canObj.len = 12;
    memset(classic.canObj.data, 0x11, sizeof classic.canObj.data);
    EXPECT_EQ(logFrameFromUserObj(classic, 0, 0, false).len, 8);

    LogFrame f = frame(9, 1, 0x1ABCDEF, "\x01\x02\x03");
    f.ext = f.fd = f.brs = f.esi = true;
    _KCAN_USER_OBJ o = userObjFromLogFrame(f);
    EXPECT_EQ(o.isFd, 1);
    EXPECT_EQ(o.direction, 0);
    EXPECT_EQ(o.canfdObj.id, 0x1ABCDEFu);
    EXPECT_EQ(o.canfdObj.ext, 1);
    EXPECT_EQ(o.canfdObj.frameFlags, 0x08);  // ESI is the bus's to set, not ours
    EXPECT_EQ(o.canfdObj.len, 3);
    EXPECT_EQ(o.canfdObj.data[2], 0x03);
    EXPECT_EQ(o.canfdObj.timeStamp, 0u);

    f = frame(9, 1, 0x7FF, "");
    f.rtr = true;
    f.len = 3;
    o = userObjFromLogFrame(f);
    EXPECT_EQ(o.isFd, 0);
    EXPECT_EQ(o.canObj.rtr, 1);
    EXPECT_EQ(o.canObj.len, 3);
}

}  // namespace
