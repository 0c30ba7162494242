// The tool's text: the -m frame text and the other text parsers, frame and
// log lines, the progress bar, and how every formatter cuts its output.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "app/console.h"
#include "app/frame_text.h"
#include "app/statistics.h"
#include "process.h"

namespace {

using testproc::stdoutOf;

// "<ext><rtr> <id> <data in hex>" of a frame record.
template <typename Frame>
std::string fields(const Frame& f) {
    std::string s = std::to_string(f.ext) + std::to_string(f.rtr) + " ";
    char hex[16];
    snprintf(hex, sizeof hex, "%X ", f.id);
    s += hex;
    for (int i = 0; i < f.len; ++i) {
        snprintf(hex, sizeof hex, "%02X", f.data[i]);
        s += hex;
    }
    return s;
}

// The -m text as "<C|F>" + fields of the side it selects, or "refused" when
// parsing fails and prints nothing (the caller reports it).
std::string parsed(const std::string& text) {
    _KCAN_USER_OBJ o;
    int rc = 0;
    std::string log = stdoutOf([&] { rc = cmdLineStrMsgParse(text.c_str(), &o); });
    if (rc != 0) {
        return rc == -1 && log.empty() ? "refused" : "printed " + log;
    }
    return o.isFd ? "F" + fields(o.canfdObj) : "C" + fields(o.canObj);
}

TEST(FrameText, MessageText) {
    const std::pair<std::string, std::string> valid[] = {
        {"C#S#D#123#1122", "C00 123 1122"},
        {"c#s#d#7FF#", "C00 7FF "},
        {"F#E#D#1ABCDE#11223344", "F10 1ABCDE 11223344"},
        {"f#e#r#1abcde#1122", "F11 1ABCDE "},  // remote: data ignored
        {"C#S#R#123#1122", "C01 123 "},
        {"C#S#D#123#112233445566778899", "C00 123 1122334455667788"},  // capped at 8
        {"C#S#D#123#123", "C00 123 12"},                               // odd character ignored
        {"C#S#D#1#1GGG", "C00 1 0100"},                                // "1G" stops at G, "GG" is 0
        {"C#S#D#1#11#22", "C00 1 1100"},              // a later '#' belongs to the data
        {"C#S#D##ab", "C00 0 AB"},                    // empty identifier
        {"C#E#D#xyz#", "C10 0 "},                     // F2 alone decides ext
        {"C#E#D#123456789ABCDEF#", "C10 89ABCDEF "},  // 15 characters, cut to 32 bits
    };
    for (const auto& [text, expect] : valid) {
        EXPECT_EQ(parsed(text), expect) << text;
    }
    for (const char* text : {"", "C", "C#", "C#S#D", "C#S#D#", "C#S#D#123", "X#S#D#1#00",
                             "C-S#D#1#00", "C#X#D#1#00", "C#S-D#1#00", "C#S#X#1#00", "C#S#D-1#00",
                             "CC#S#D#1#00", " C#S#D#1#00", "c#s#d#1234567890ABCDEF#00"}) {
        EXPECT_EQ(parsed(text), "refused") << text;
    }
    // The data length is an 8-bit count of characters, then capped per kind.
    const int lengths[][3] = {{'F', 130, 64}, {'F', 129, 64}, {'F', 255, 64}, {'F', 256, 0},
                              {'F', 262, 3},  {'C', 258, 1},  {'C', 17, 8}};
    for (auto [kind, chars, len] : lengths) {
        std::string data;
        for (int i = 0; i < chars; ++i) {
            data += "0123456789ABCDEF"[i % 16];
        }
        EXPECT_EQ(parsed(std::string(1, kind) + "#S#D#1#" + data),
                  std::string(1, kind) + "00 1 " + data.substr(0, 2 * len))
            << chars;
    }
}

// The "ID#DATA" form, whose data part is read like parse_hex_data's.
TEST(FrameText, IdHashDataAndHexData) {
    const std::pair<const char*, const char*> frames[] = {
        {"123#1122", "00 123 1122"},
        {"18FF1234:01 02", "10 18FF1234 0102"},
        {"800#", "10 800 "},
        {"7FF#11-22 33:44", "00 7FF 11223344"},
        {"1#11 -: 22", "00 1 1122"},
        {"1#aB:C", "00 1 ABC0"},
        {"1#1:2", "00 1 1020"},  // a separator or ...
        {"1#1g2", "00 1 1020"},  // ... a non-hex character ends a byte
        {"1#zz11--", "00 1 11"},
        {"1#2:3", "00 1 2030"},  // '#' wins over ':'

        {"1#---", "00 1 "},
        {"123#112233445566778899", "00 123 1122334455667788"},
        {"00000000000007F#", "00 7F "},  // 15 characters
        {"000000000000007F#", "refused"},
        {"123", "refused"},
    };
    for (auto [text, expect] : frames) {
        _KCAN_CAN_OBJ obj{};
        obj.timeStamp = 99;
        obj.txOption = 5;
        int rc = parse_can_frame(text, &obj);
        EXPECT_EQ(rc == 0 ? fields(obj) : "refused", expect) << text;
        EXPECT_EQ(obj.timeStamp, 99u);  // other fields are left alone
        EXPECT_EQ(obj.txOption, rc == 0 ? 0 : 5);
    }
    uint8_t out[4] = {0, 0, 0xEE, 0xEE};
    EXPECT_EQ(parse_hex_data("aabbccdd", out, 2), 2);
    EXPECT_EQ(out[1] + out[2], 0xBB + 0xEE);  // nothing written past max
    EXPECT_EQ(parse_hex_data("11", out, 0), 0);
    EXPECT_EQ(parse_hex_id("0x1A") + parse_hex_id("zz"), 0x1Au);
}

_KCAN_USER_OBJ frame(bool fd, uint8_t direction, uint32_t id, std::vector<uint8_t> data,
                     uint8_t flags = 0, uint8_t ext = 0, uint8_t rtr = 0) {
    const uint8_t len = static_cast<uint8_t>(data.size());
    _KCAN_USER_OBJ o{fd,
                     direction,
                     {},
                     {id, 0, flags, 0, rtr, ext, len, {}, {}},
                     {id, 0, flags, 0, rtr, ext, len, {}, {}}};
    std::copy(data.begin(), data.end(), fd ? o.canfdObj.data : o.canObj.data);
    return o;
}

std::string line(const _KCAN_USER_OBJ& obj) {
    char buf[kFrameLineMax];
    return std::string(buf, formatUserObjLine(buf, sizeof buf, obj, "12:00:01.250"));
}

TEST(Console, FrameLines) {
    std::vector<uint8_t> counting(64);
    for (size_t i = 0; i < counting.size(); ++i) {
        counting[i] = static_cast<uint8_t>(i);
    }
    _KCAN_USER_OBJ hostile = frame(0, 1, 1, {1, 2, 3, 4, 5, 6, 7, 8});
    hostile.canObj.len = 200;  // only the record's 8 bytes are shown
    const std::pair<_KCAN_USER_OBJ, std::string> rows[] = {
        {frame(0, 1, 0x123, {0x11, 0x22}), "接收->CAN ID:0x123 EXT:0 RTR:0 DLC:2 Data:11 22 \n"},
        {frame(0, 0, 0x7FF, {}), "发送->CAN ID:0x7FF EXT:0 RTR:0 DLC:0\n"},
        {frame(1, 0, 0x1ABCDE, {0x0A, 0xFF, 0}, 0x08, 1),
         "发送->FD ID:0x1ABCDE EXT:1 RTR:0 BRS:1 DLC:3 Data:0A FF 00 \n"},
        {frame(1, 0, 0, {}, 0x17), "发送->FD ID:0x0 EXT:0 RTR:0 BRS:0 DLC:0\n"},  // BRS is bit 3
        {frame(0, 1, 0x10, {}, 0, 1, 1), "接收->CAN ID:0x10 EXT:1 RTR:1 DLC:0\n"},
        {hostile, "接收->CAN ID:0x1 EXT:0 RTR:0 DLC:200 Data:01 02 03 04 05 06 07 08 \n"},
    };
    for (const auto& [obj, text] : rows) {
        EXPECT_EQ(line(obj), "[12:00:01.250] " + text);
    }
    std::string full = line(frame(1, 0, 1, counting));
    EXPECT_NE(full.find("DLC:64 Data:00 01 02 "), std::string::npos);
    EXPECT_EQ(full.substr(full.size() - 10), "3D 3E 3F \n");
    _KCAN_USER_OBJ fdHostile = frame(1, 0, 1, counting);
    fdHostile.canfdObj.len = 255;
    EXPECT_EQ(line(fdHostile), std::regex_replace(full, std::regex("DLC:64"), "DLC:255"));
}

// True when s is well-formed UTF-8 (no cut multi-byte character).
bool validUtf8(const std::string& s) {
    for (size_t i = 0, n; i < s.size(); i += n) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        for (size_t k = 1; k < n && i + k < s.size(); ++k) {
            n = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80 ? n : 0;
        }
        if (n == 0 || i + n > s.size()) {
            return false;
        }
    }
    return true;
}

// Every buffer size gives a terminated, in-bounds, well-formed line.
TEST(Console, FormattersCutSafelyAtAnySize) {
    _KCAN_USER_OBJ obj = frame(1, 1, 0x1ABCDE, std::vector<uint8_t>(64, 0xAB), 8, 1);
    std::string message;
    for (int i = 0; i < 200; ++i) {
        message += "接收";  // cuts land inside multi-byte characters
    }
    EXPECT_EQ(formatUserObjLine(nullptr, 100, obj, "12:00:01.250"), 0);
    for (size_t size = 0; size < kFrameLineMax; ++size) {
        for (int log = 0; log < 2; ++log) {
            SCOPED_TRACE(std::to_string(size) + (log ? " log" : " frame"));
            std::vector<char> buf(size + 1, '\x7F');
            int m =
                log ? formatLogLine(buf.data(), size, "2024-01-02 03:04:05", true, message.c_str())
                    : formatUserObjLine(buf.data(), size, obj, "12:00:01.250");
            EXPECT_EQ(buf[size], '\x7F');
            if (size == 0) {
                EXPECT_EQ(m, 0);
                continue;
            }
            ASSERT_LT(static_cast<size_t>(m), size);
            ASSERT_EQ(strlen(buf.data()), static_cast<size_t>(m));
            EXPECT_TRUE(validUtf8(std::string(buf.data(), m)));
            EXPECT_TRUE(size < 2 || buf[m - 1] == '\n');
        }
    }
}

TEST(Console, LogLinesAndTimeStamps) {
    std::string huge(10000, 'y');
    std::string out = stdoutOf([&] {
        log_info("%s", "plain");
        log_error("code %d", -7);
        log_info("%s", huge.c_str());
        log_debug("never %d", 1);
        log_time();
    });
    const std::string stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )";
    const std::string info = "\x1b\\[0;32m\\[INFO\\] \x1b\\[0m";
    // A long message is cut so that its whole line fits kLogLineMax with its
    // 41 bytes of stamp, tag and newline.
    EXPECT_TRUE(std::regex_match(
        out,
        std::regex(stamp + info + "plain\n" + stamp + "\x1b\\[0;31m\\[ERROR\\] \x1b\\[0mcode -7\n" +
                   stamp + info + "y{" + std::to_string(kLogLineMax - 42) + "}\n" + stamp)))
        << out;

    char time[32];
    memset(time, 'z', sizeof time);
    get_time_string_with_ms(time, 15);  // too small for "HH:MM:SS.mmm": untouched
    EXPECT_EQ(time[0], 'z');
    get_time_string_with_ms(time, 16);
    EXPECT_TRUE(std::regex_match(time, std::regex(R"(\d\d:\d\d:\d\d\.\d{3})"))) << time;
}

TEST(Console, FramesOfOneCallShareATimeStamp) {
    _KCAN_USER_OBJ objs[3] = {frame(0, 1, 1, {0x11}), frame(1, 0, 2, {}, 8), frame(0, 0, 3, {})};
    _KCAN_CAN_OBJ can[2] = {};
    can[1].id = 0x55;
    std::string out = stdoutOf([&] {
        canUserObjShow(objs, 3);
        vormCanObjShow(can, 2);  // library records, shown as received
        vormCanfdObjShow(&objs[1].canfdObj, 1);
    });
    EXPECT_TRUE(std::regex_match(
        out,
        std::regex(R"(\[(\d\d:\d\d:\d\d\.\d{3})\] 接收->CAN ID:0x1 EXT:0 RTR:0 DLC:1 Data:11 \n)"
                   R"(\[\1\] 发送->FD ID:0x2 EXT:0 RTR:0 BRS:1 DLC:0\n)"
                   R"(\[\1\] 发送->CAN ID:0x3 EXT:0 RTR:0 DLC:0\n)"
                   R"(\[.{12}\] 接收->CAN ID:0x0 EXT:0 RTR:0 DLC:0\n)"
                   R"(\[.{12}\] 接收->CAN ID:0x55 EXT:0 RTR:0 DLC:0\n)"
                   R"(\[.{12}\] 接收->FD ID:0x2 EXT:0 RTR:0 BRS:1 DLC:0\n)")))
        << out;
    // More lines than one write block holds: none is lost or cut.
    std::vector<_KCAN_USER_OBJ> many(40, frame(1, 0, 5, std::vector<uint8_t>(64, 1)));
    EXPECT_EQ(stdoutOf([&] { canUserObjShow(many.data(), 40); }).size(), 40 * line(many[0]).size());
}

TEST(Console, ProgressLine) {
    // "\rProgress: [" + '=' * eq + optional '>' + blanks to 50 + "] " + tail
    auto bar = [](int eq, bool arrow, const std::string& tail) {
        std::string b = std::string(eq, '=') + (arrow ? ">" : "");
        return "\rProgress: [" + b + std::string(50 - b.size(), ' ') + "] " + tail;
    };
    const std::tuple<uint32_t, uint32_t, std::string> rows[] = {
        {25, 100, bar(12, true, " 25.0% (25/100)")},
        {100, 100, bar(50, false, "100.0% (100/100)\n")},
        {0, 100, bar(0, true, "  0.0% (0/100)")},
        {99, 100, bar(49, true, " 99.0% (99/100)")},
        {150, 100, bar(50, false, "150.0% (150/100)\n")},
        {1, 3, bar(16, true, " 33.3% (1/3)")},
        {4294967295u, 1, bar(50, false, "429496729600.0% (4294967295/1)\n")},
        {4294967295u, 0, "\rSent: 4294967295 frames"},
    };
    for (const auto& [sent, total, expect] : rows) {
        char buf[kProgressLineMax];
        EXPECT_EQ(std::string(buf, formatProgress(buf, sizeof buf, sent, total)), expect);
    }
    EXPECT_EQ(stdoutOf([] { printProgress(7, 0); }), "\rSent: 7 frames");
}

TEST(ToolInputs, NullAndEmptyInputsAreRefusedQuietly) {
    _KCAN_USER_OBJ obj{};
    _KCAN_CAN_OBJ can{};
    uint8_t byte = 0;
    statistics_t stats{};
    EXPECT_EQ(cmdLineStrMsgParse(nullptr, &obj) + cmdLineStrMsgParse("C#S#D#1#00", nullptr), -2);
    EXPECT_EQ(canObj2UserObj(nullptr, &obj) + canfdObj2UserObj(&obj.canfdObj, nullptr), -2);
    EXPECT_EQ(parse_can_frame(nullptr, &can), -1);
    EXPECT_EQ(parse_hex_data(nullptr, &byte, 1) + parse_hex_data("11", nullptr, 1), 0);
    EXPECT_EQ(parse_hex_id(nullptr), 0u);
    get_time_string_with_ms(nullptr, 32);
    stats_init(nullptr);
    stats_update_tx(nullptr, 1, 1, 1);
    stats_update_rx(nullptr, 1, 1, 1);
    stats_calculate_rate(nullptr);
    stats_snapshot(nullptr, &stats);
    stats_snapshot(&stats, nullptr);
    EXPECT_EQ(stdoutOf([&] {
                  canUserObjShow(nullptr, 1);
                  canUserObjShow(&obj, 0);
                  canUserObjShow(&obj, -1);
                  vormCanObjShow(nullptr, 1);
                  vormCanfdObjShow(&obj.canfdObj, 0);
                  stats_display(nullptr, "x", 0);
                  stats_display_json(nullptr, "x", 0);
              }),
              "");
}

}  // namespace
