#include "app/console.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "capture_stdout.h"

namespace {

// True when s is well-formed UTF-8 (no cut multi-byte character).
bool validUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) {
            return false;
        }
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += n;
    }
    return true;
}

_KCAN_USER_OBJ frame(uint8_t isFd, uint8_t direction, uint32_t id, std::vector<uint8_t> data,
                     uint8_t flags = 0, uint8_t ext = 0) {
    _KCAN_USER_OBJ obj{};
    obj.isFd = isFd;
    obj.direction = direction;
    _KCAN_CANFD_OBJ& f = obj.canfdObj;  // both sides share the first 16 bytes
    f.id = id;
    f.ext = ext;
    f.frameFlags = flags;
    f.len = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.data);
    if (!isFd) {
        memcpy(&obj.canObj, &f, sizeof(obj.canObj));
    }
    return obj;
}

std::string line(const _KCAN_USER_OBJ& obj) {
    char buf[kFrameLineMax];
    int n = formatUserObjLine(buf, sizeof(buf), obj, "12:00:01.250");
    return std::string(buf, static_cast<size_t>(n));
}

TEST(AppConsole, FrameLinesAreByteExact) {
    EXPECT_EQ("[12:00:01.250] 接收->CAN ID:0x123 EXT:0 RTR:0 DLC:2 Data:11 22 \n",
              line(frame(0, 1, 0x123, {0x11, 0x22})));
    EXPECT_EQ("[12:00:01.250] 发送->CAN ID:0x7FF EXT:0 RTR:0 DLC:0\n",
              line(frame(0, 0, 0x7FF, {})));
    EXPECT_EQ("[12:00:01.250] 发送->FD ID:0x1ABCDE EXT:1 RTR:0 BRS:1 DLC:3 Data:0A FF 00 \n",
              line(frame(1, 0, 0x1ABCDE, {0x0A, 0xFF, 0x00}, 0x08, 1)));
    // Only bit 3 is BRS.
    EXPECT_EQ("[12:00:01.250] 发送->FD ID:0x0 EXT:0 RTR:0 BRS:0 DLC:0\n",
              line(frame(1, 0, 0, {}, 0x10 | 0x07)));

    _KCAN_USER_OBJ remote = frame(0, 1, 0x10, {});
    remote.canObj.rtr = 1;
    remote.canObj.ext = 1;
    EXPECT_EQ("[12:00:01.250] 接收->CAN ID:0x10 EXT:1 RTR:1 DLC:0\n", line(remote));

    std::vector<uint8_t> full(64);
    for (size_t i = 0; i < full.size(); ++i) {
        full[i] = static_cast<uint8_t>(i);
    }
    std::string fdLine = line(frame(1, 0, 1, full));
    EXPECT_NE(std::string::npos, fdLine.find("DLC:64 Data:00 01 02 "));
    EXPECT_EQ("3D 3E 3F \n", fdLine.substr(fdLine.size() - 10));
}

TEST(AppConsole, HostileLengthShowsOnlyTheRecordsBytes) {
    _KCAN_USER_OBJ obj = frame(0, 1, 1, {1, 2, 3, 4, 5, 6, 7, 8});
    obj.canObj.len = 200;
    memset(&obj.canfdObj, 0x99, sizeof(obj.canfdObj));
    EXPECT_EQ("[12:00:01.250] 接收->CAN ID:0x1 EXT:0 RTR:0 DLC:200 Data:01 02 03 04 05 06 07 08 \n",
              line(obj));
    obj.isFd = 1;
    obj.canfdObj.len = 255;
    std::string fdLine = line(obj);
    EXPECT_NE(std::string::npos, fdLine.find("DLC:255"));
    EXPECT_EQ(64u * 3, fdLine.size() - fdLine.find("Data:") - 5 - 1);
}

// Every buffer size gives a terminated, in-bounds, well-formed prefix.
TEST(AppConsole, FormattersCutSafelyAtAnySize) {
    _KCAN_USER_OBJ obj = frame(1, 0, 0x1ABCDE, std::vector<uint8_t>(64, 0xAB), 8, 1);
    EXPECT_EQ(0, formatUserObjLine(nullptr, 100, obj, "12:00:01.250"));
    std::string longMessage;
    for (int i = 0; i < 200; ++i) {
        longMessage += "接收";  // cuts land inside multi-byte characters
    }
    for (size_t size = 0; size < kFrameLineMax; ++size) {
        SCOPED_TRACE(size);
        std::vector<char> buf(size + 1, '\x7F');
        int m = formatUserObjLine(buf.data(), size, obj, "12:00:01.250");
        EXPECT_EQ('\x7F', buf[size]);
        if (size == 0) {
            EXPECT_EQ(0, m);
            continue;
        }
        ASSERT_LT(static_cast<size_t>(m), size);
        EXPECT_EQ(strlen(buf.data()), static_cast<size_t>(m));
        std::string text(buf.data(), static_cast<size_t>(m));
        EXPECT_TRUE(validUtf8(text));
        if (size >= 2) {
            EXPECT_EQ('\n', text.back());
        }
        m = formatLogLine(buf.data(), size, "2024-01-02 03:04:05", true, longMessage.c_str());
        ASSERT_LT(static_cast<size_t>(m), size);
        EXPECT_TRUE(validUtf8(std::string(buf.data(), static_cast<size_t>(m))));
    }
}

TEST(AppConsole, LogLineFormat) {
    char buf[kLogLineMax];
    int n = formatLogLine(buf, sizeof(buf), "2024-01-02 03:04:05", false, "启动完成...");
    EXPECT_EQ("[2024-01-02 03:04:05] \033[0;32m[INFO] \033[0m启动完成...\n", std::string(buf, n));
    n = formatLogLine(buf, sizeof(buf), "2024-01-02 03:04:05", true, "发送失败.");
    EXPECT_EQ("[2024-01-02 03:04:05] \033[0;31m[ERROR] \033[0m发送失败.\n", std::string(buf, n));

    std::string huge(10000, 'y');
    std::string out = captureStdout([&] {
        log_info("%s", "plain");
        log_error("code %d", -7);
        log_info("%s", huge.c_str());
        log_debug("never %d", 1);
    });
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(out.substr(start, nl + 1 - start));
    }
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(start, out.size());  // nothing after the last newline
    const std::string stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )";
    const std::string info = "\x1b\\[0;32m\\[INFO\\] \x1b\\[0m";
    const std::string error = "\x1b\\[0;31m\\[ERROR\\] \x1b\\[0m";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(stamp + info + "plain\n"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(stamp + error + "code -7\n"))) << lines[1];
    // The long message is cut so that the whole line fits kLogLineMax.
    EXPECT_TRUE(std::regex_search(lines[2], std::regex(stamp + info + "yyy"),
                                  std::regex_constants::match_continuous));
    EXPECT_EQ(kLogLineMax - 1, lines[2].size());
    EXPECT_EQ("yyy\n", lines[2].substr(lines[2].size() - 4));

    std::string prefix = captureStdout([] { log_time(); });
    EXPECT_TRUE(std::regex_match(prefix, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )")));
}

TEST(AppConsole, ProgressLine) {
    // "\rProgress: [" + eq '=' + optional '>' + blanks to 50 + "] " + tail
    auto bar = [](int eq, bool arrow, const std::string& tail) {
        std::string b(static_cast<size_t>(eq), '=');
        b += arrow ? ">" : "";
        return "\rProgress: [" + b + std::string(50 - b.size(), ' ') + "] " + tail;
    };
    struct Case {
        uint32_t sent, total;
        std::string expect;
    } cases[] = {
        {25, 100, bar(12, true, " 25.0% (25/100)")},
        {100, 100, bar(50, false, "100.0% (100/100)\n")},
        {0, 100, bar(0, true, "  0.0% (0/100)")},
        {99, 100, bar(49, true, " 99.0% (99/100)")},
        {150, 100, bar(50, false, "150.0% (150/100)\n")},
        {1, 3, bar(16, true, " 33.3% (1/3)")},
        {4294967295u, 1, bar(50, false, "429496729600.0% (4294967295/1)\n")},
        {0, 0, "\rSent: 0 frames"},
        {4294967295u, 0, "\rSent: 4294967295 frames"},
    };
    for (const Case& c : cases) {
        char buf[kProgressLineMax];
        int n = formatProgress(buf, sizeof(buf), c.sent, c.total);
        EXPECT_EQ(c.expect, std::string(buf, n));
    }
    EXPECT_EQ("\rSent: 7 frames", captureStdout([] { printProgress(7, 0); }));
}

TEST(AppConsole, TimeStrings) {
    char buf[32];
    get_time_string_with_ms(buf, sizeof(buf));
    EXPECT_TRUE(std::regex_match(buf, std::regex(R"(\d\d:\d\d:\d\d\.\d{3})"))) << buf;
    memset(buf, 'z', sizeof(buf));
    get_time_string_with_ms(buf, 15);
    EXPECT_EQ('z', buf[0]);
    get_time_string_with_ms(nullptr, 32);
    get_time_string(buf, sizeof(buf));
    EXPECT_TRUE(std::regex_match(buf, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << buf;
}

TEST(AppConsole, FrameShowWritesOneLinePerRecord) {
    _KCAN_USER_OBJ objs[3] = {frame(0, 1, 1, {0x11}), frame(1, 0, 2, {}, 8), frame(0, 0, 3, {})};
    std::string out = captureStdout([&] { canUserObjShow(objs, 3); });
    std::regex re(R"(\[(\d\d:\d\d:\d\d\.\d{3})\] 接收->CAN ID:0x1 EXT:0 RTR:0 DLC:1 Data:11 \n)"
                  R"(\[\1\] 发送->FD ID:0x2 EXT:0 RTR:0 BRS:1 DLC:0\n)"
                  R"(\[\1\] 发送->CAN ID:0x3 EXT:0 RTR:0 DLC:0\n)");
    EXPECT_TRUE(std::regex_match(out, re)) << out;

    std::vector<_KCAN_USER_OBJ> many(40, frame(1, 0, 5, std::vector<uint8_t>(64, 1)));
    out = captureStdout([&] { canUserObjShow(many.data(), 40); });
    EXPECT_EQ(40 * line(many[0]).size(), out.size());

    EXPECT_EQ("", captureStdout([&] {
                  canUserObjShow(nullptr, 1);
                  canUserObjShow(objs, 0);
                  canUserObjShow(objs, -1);
                  vormCanObjShow(nullptr, 1);
                  vormCanfdObjShow(&objs[0].canfdObj, 0);
              }));

    _KCAN_CAN_OBJ can[2] = {};
    can[1].id = 0x55;
    out = captureStdout([&] { vormCanObjShow(can, 2); });
    EXPECT_NE(std::string::npos, out.find("] 接收->CAN ID:0x0 EXT:0"));
    EXPECT_NE(std::string::npos, out.find("] 接收->CAN ID:0x55 EXT:0"));
    out = captureStdout([&] { vormCanfdObjShow(&objs[1].canfdObj, 1); });
    EXPECT_NE(std::string::npos, out.find("] 接收->FD ID:0x2 EXT:0 RTR:0 BRS:1 DLC:0\n"));
}

}  // namespace
