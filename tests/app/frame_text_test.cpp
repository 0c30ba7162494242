#include "app/frame_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture_stdout.h"

namespace {

// Bytes as upper-case hexadecimal text, e.g. "1122".
std::string hex(const uint8_t* data, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += "0123456789ABCDEF"[data[i] >> 4];
        s += "0123456789ABCDEF"[data[i] & 15];
    }
    return s;
}

// The frame side selected by isFd, as "fd ext rtr id data".
std::string parsed(const _KCAN_USER_OBJ& o) {
    char head[64];
    if (o.isFd) {
        const _KCAN_CANFD_OBJ& f = o.canfdObj;
        snprintf(head, sizeof(head), "F%d%d %X ", f.ext, f.rtr, f.id);
        return head + hex(f.data, f.len);
    }
    const _KCAN_CAN_OBJ& c = o.canObj;
    snprintf(head, sizeof(head), "C%d%d %X ", c.ext, c.rtr, c.id);
    return head + hex(c.data, c.len);
}

std::string parseQuietly(const std::string& text, int* result) {
    _KCAN_USER_OBJ obj;
    captureStdout([&] { *result = cmdLineStrMsgParse(text.c_str(), &obj); });
    return *result == 0 ? parsed(obj) : "";
}

TEST(AppFrameText, ParsesValidForms) {
    const struct {
        std::string text, expect;
    } cases[] = {
        {"C#S#D#123#1122", "C00 123 1122"},
        {"c#s#d#7FF#", "C00 7FF "},
        {"F#E#D#1ABCDE#11223344", "F10 1ABCDE 11223344"},
        {"f#e#r#1abcde#1122", "F11 1ABCDE "},  // remote: data ignored
        {"C#S#R#123#1122", "C01 123 "},
        {"C#S#D#123#112233445566778899", "C00 123 1122334455667788"},  // capped at 8
        {"C#S#D#123#123", "C00 123 12"},                               // odd character ignored
        {"C#S#D#1#1GGG", "C00 1 0100"},                                // "1G" stops at G, "GG" is 0
        {"C#S#D#1#11#22", "C00 1 1100"},              // a later '#' belongs to the data text
        {"C#S#D##ab", "C00 0 AB"},                    // empty identifier
        {"C#E#D#xyz#", "C10 0 "},                     // F2 alone decides ext
        {"C#E#D#123456789ABCDEF#", "C10 89ABCDEF "},  // 15 characters, cut to 32 bits
    };
    for (const auto& c : cases) {
        int result;
        EXPECT_EQ(c.expect, parseQuietly(c.text, &result)) << c.text;
    }
}

TEST(AppFrameText, DataLengthIsCappedAndCountedModulo256) {
    const struct {
        char kind;
        size_t dataChars;
        size_t expectLen;
    } cases[] = {{'F', 130, 64}, {'F', 129, 64}, {'F', 255, 64}, {'F', 256, 0},
                 {'F', 262, 3},  {'C', 258, 1},  {'C', 17, 8},   {'F', 1000, 64}};
    for (const auto& c : cases) {
        std::string data;
        for (size_t i = 0; i < c.dataChars; ++i) {
            data += "0123456789ABCDEF"[i % 16];
        }
        int result;
        std::string got = parseQuietly(std::string(1, c.kind) + "#S#D#1#" + data, &result);
        EXPECT_EQ(std::string(1, c.kind) + "00 1 " + data.substr(0, 2 * c.expectLen), got)
            << c.dataChars;
    }
}

TEST(AppFrameText, RejectsMalformedText) {
    const char* bad[] = {
        "",           "C",          "C#",          "C#S#D",       "C#S#D#",
        "C#S#D#123",  "X#S#D#1#00", "C-S#D#1#00",  "C#X#D#1#00",  "C#S-D#1#00",
        "C#S#X#1#00", "C#S#D-1#00", "CC#S#D#1#00", " C#S#D#1#00", "c#s#d#1234567890ABCDEF#00"};
    for (const char* text : bad) {
        _KCAN_USER_OBJ obj;
        int result = 0;
        // The caller reports the error: nothing is printed.
        EXPECT_EQ("", captureStdout([&] { result = cmdLineStrMsgParse(text, &obj); }));
        EXPECT_EQ(-1, result) << text;
    }
    _KCAN_USER_OBJ obj;
    EXPECT_EQ(-1, cmdLineStrMsgParse(nullptr, &obj));
    EXPECT_EQ(-1, cmdLineStrMsgParse("C#S#D#1#00", nullptr));
}

TEST(AppFrameText, ClearsRecordAndLogsParsedFields) {
    _KCAN_USER_OBJ obj;
    memset(&obj, 0xAA, sizeof(obj));
    std::string out = captureStdout([&] { cmdLineStrMsgParse("F#E#D#1ABCDE#11223344", &obj); });
    _KCAN_USER_OBJ expect{};
    expect.isFd = 1;
    expect.canfdObj.id = 0x1ABCDE;
    expect.canfdObj.ext = 1;
    expect.canfdObj.len = 4;
    memcpy(expect.canfdObj.data, "\x11\x22\x33\x44", 4);
    EXPECT_EQ(0, memcmp(&expect, &obj, sizeof(obj)));
    EXPECT_NE(std::string::npos,
              out.find("[INFO] \033[0mmsg->fd:1 id:0x1abcde ext:1 rtr:0 len:4\n"));

    out = captureStdout([&] { cmdLineStrMsgParse("C#S#R#123#1122", &obj); });
    EXPECT_NE(std::string::npos, out.find("msg->fd:0 id:0x123 ext:0 rtr:1 len:0\n"));
}

TEST(AppFrameText, LibraryRecordsWrapIntoTheirSide) {
    _KCAN_USER_OBJ obj;
    memset(&obj, 0x55, sizeof(obj));
    _KCAN_CAN_OBJ can{};
    can.id = 0x321;
    ASSERT_EQ(0, canObj2UserObj(&can, &obj));
    EXPECT_EQ(0, obj.isFd);
    EXPECT_EQ(0x55, obj.direction);  // left to the caller
    EXPECT_EQ(0, memcmp(&can, &obj.canObj, sizeof(can)));
    EXPECT_EQ(0x55, obj.canfdObj.data[63]);

    _KCAN_CANFD_OBJ fd{};
    fd.len = 64;
    ASSERT_EQ(0, canfdObj2UserObj(&fd, &obj));
    EXPECT_EQ(1, obj.isFd);
    EXPECT_EQ(0, memcmp(&fd, &obj.canfdObj, sizeof(fd)));
    EXPECT_EQ(0x321u, obj.canObj.id);
    EXPECT_EQ(-1, canObj2UserObj(nullptr, &obj));
    EXPECT_EQ(-1, canfdObj2UserObj(&fd, nullptr));
}

TEST(AppFrameText, HexDataSeparatorsNibblesAndMax) {
    const struct {
        const char* text;
        int max;
        const char* expect;
    } cases[] = {
        {"11-22 33:44", 8, "11223344"},
        {"11 -: 22", 8, "1122"},
        {"A", 8, "A0"},
        {"1:2", 8, "1020"},
        {"1g2", 8, "1020"},
        {"zz11", 8, "11"},
        {"11--", 8, "11"},
        {"---", 8, ""},
        {"", 8, ""},
        {"aabbccdd", 2, "AABB"},
        {"11", 0, ""},
        {"112233445566778899", 8, "1122334455667788"},
    };
    for (const auto& c : cases) {
        uint8_t out[16];
        memset(out, 0xEE, sizeof(out));
        int n = parse_hex_data(c.text, out, c.max);
        ASSERT_GE(n, 0);
        EXPECT_EQ(c.expect, hex(out, static_cast<size_t>(n))) << c.text;
        EXPECT_EQ(0xEE, out[n]) << c.text;  // nothing written past the count
    }
    uint8_t out[1];
    EXPECT_EQ(0, parse_hex_data(nullptr, out, 1));
    EXPECT_EQ(0, parse_hex_data("11", nullptr, 1));
}

TEST(AppFrameText, AlternativeFrameParser) {
    const struct {
        const char* text;
        const char* expect;  // "ext id data", or nullptr for -1
    } cases[] = {
        {"123#1122", "0 123 1122"},
        {"18FF1234:01 02", "1 18FF1234 0102"},
        {"7FF#", "0 7FF "},
        {"800#", "1 800 "},
        {"1#2:3", "0 1 2030"},  // '#' wins over ':'
        {"123#112233445566778899", "0 123 1122334455667788"},
        {"00000000000007F#", "0 7F "},   // 15 characters
        {"000000000000007F#", nullptr},  // 16 characters
        {"123", nullptr},
    };
    for (const auto& c : cases) {
        _KCAN_CAN_OBJ obj{};
        obj.timeStamp = 99;
        obj.rtr = 1;
        obj.txOption = 5;
        int result = parse_can_frame(c.text, &obj);
        EXPECT_EQ(c.expect ? 0 : -1, result) << c.text;
        EXPECT_EQ(99u, obj.timeStamp);  // other fields are left alone
        EXPECT_EQ(1, obj.rtr);
        if (c.expect != nullptr && result == 0) {
            char head[32];
            snprintf(head, sizeof(head), "%d %X ", obj.ext, obj.id);
            EXPECT_EQ(c.expect, head + hex(obj.data, obj.len)) << c.text;
            EXPECT_EQ(0, obj.txOption);
        }
    }
    EXPECT_EQ(-1, parse_can_frame(nullptr, nullptr));
    EXPECT_EQ(0x7FFu, parse_hex_id("7ff"));
    EXPECT_EQ(0x1Au, parse_hex_id("0x1A"));
    EXPECT_EQ(0u, parse_hex_id("zz"));
    EXPECT_EQ(0u, parse_hex_id(nullptr));
}

}  // namespace
