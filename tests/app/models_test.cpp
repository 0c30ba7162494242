#include "app/models.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_stdout.h"

namespace {

struct Model {
    uint32_t type;
    const char* name;
    int32_t fd;
};
const Model kExpectedModels[] = {
    {3, "DUNLIN1", -1},   {4, "DUNLIN2", -1},       {41, "DUNLINFD2", 0},
    {42, "DUNLINFD1", 0}, {43, "DUNLINFD-Mini", 0}, {64, "ZARO3014", 0},
    {65, "ZARO2014", -1}, {66, "ZARO2018", -1},     {67, "ZARO3018", 0},
};

TEST(AppModels, NamesTypesAndFdCapability) {
    for (const Model& m : kExpectedModels) {
        SCOPED_TRACE(m.name);
        EXPECT_EQ(m.type, deviceTypeGetByName(m.name));
        EXPECT_STREQ(m.name, deviceNameGetByType(m.type));
        EXPECT_EQ(m.fd, deviceFdIsSupport(m.type));
    }
}

TEST(AppModels, UnknownNamesAndTypes) {
    const char* notNames[] = {"dunlin1", "DUNLIN1 ", " DUNLIN1", "DUNLINFD-MINI", "ZAR3018",
                              "Unknown", "",         "DUNLIN",   "DUNLIN12"};
    for (const char* name : notNames) {
        EXPECT_EQ(0u, deviceTypeGetByName(name)) << '"' << name << '"';
    }
    EXPECT_EQ(0u, deviceTypeGetByName(nullptr));

    const uint32_t unknownTypes[] = {0, 1, 2, 5, 40, 44, 61, 62, 63, 68, 69, 1000, 0xFFFFFFFFu};
    for (uint32_t type : unknownTypes) {
        EXPECT_STREQ("Unknown", deviceNameGetByType(type)) << type;
        EXPECT_EQ(-1, deviceFdIsSupport(type)) << type;
    }
    // Every type has a printable name and only the nine models map back.
    int named = 0;
    for (uint32_t type = 0; type < 300; ++type) {
        const char* name = deviceNameGetByType(type);
        ASSERT_NE(nullptr, name);
        if (std::string(name) != "Unknown") {
            ++named;
            EXPECT_EQ(type, deviceTypeGetByName(name));
        }
    }
    EXPECT_EQ(9, named);
}

TEST(AppModels, ClassicTimingTable) {
    struct Row {
        uint32_t rate;
        uint8_t t0, t1;
    } rows[] = {{50000, 0x09, 0x1C},  {100000, 0x04, 0x1C}, {125000, 0x03, 0x1C},
                {250000, 0x01, 0x1C}, {500000, 0x00, 0x1C}, {800000, 0x00, 0x16},
                {1000000, 0x00, 0x14}};
    for (const Row& r : rows) {
        uint8_t t0 = 0xEE, t1 = 0xEE;
        ASSERT_EQ(0, dunlin2GetTimingParams(r.rate, &t0, &t1)) << r.rate;
        EXPECT_EQ(r.t0, t0) << r.rate;
        EXPECT_EQ(r.t1, t1) << r.rate;
    }
    for (uint32_t rate : {0u, 20000u, 49999u, 50001u, 2000000u, 500u}) {
        uint8_t t0 = 0xEE, t1 = 0xEE;
        EXPECT_EQ(-1, dunlin2GetTimingParams(rate, &t0, &t1)) << rate;
        EXPECT_EQ(0xEE, t0);
        EXPECT_EQ(0xEE, t1);
    }
}

TEST(AppModels, ExtendedTimingTable) {
    struct Row {
        uint32_t kbps;
        uint8_t t0, t1;
    } rows[] = {{5, 0xBF, 0xFF},   {10, 0x31, 0x1C},  {20, 0x18, 0x1C},  {40, 0x87, 0xFF},
                {50, 0x09, 0x1C},  {80, 0x83, 0xFF},  {100, 0x04, 0x1C}, {125, 0x03, 0x1C},
                {250, 0x01, 0x1C}, {400, 0x80, 0xFA}, {500, 0x00, 0x1C}, {666, 0x80, 0xB6},
                {800, 0x00, 0x16}, {1000, 0x00, 0x14}};
    ASSERT_EQ(std::size(rows), kBaudRateTableSize);
    for (size_t i = 0; i < kBaudRateTableSize; ++i) {
        const Row& r = rows[i];
        uint8_t t0 = 0xEE, t1 = 0xEE;
        ASSERT_EQ(0, get_baudrate_timing(r.kbps, &t0, &t1)) << r.kbps;
        EXPECT_EQ(r.t0, t0) << r.kbps;
        EXPECT_EQ(r.t1, t1) << r.kbps;
        EXPECT_EQ(r.kbps, g_baudrate_table[i].kbps);  // searched in this order
        EXPECT_EQ(0, g_baudrate_table[i].reserved[0] | g_baudrate_table[i].reserved[1]);
    }
    uint8_t t1 = 0;
    EXPECT_EQ(0, get_baudrate_timing(666, nullptr, &t1));  // either pointer may be null
    EXPECT_EQ(0xB6, t1);
    EXPECT_EQ(0, get_baudrate_timing(5, nullptr, nullptr));
    for (uint32_t kbps : {0u, 1u, 200u, 1001u, 500000u}) {
        EXPECT_EQ(-1, get_baudrate_timing(kbps, nullptr, nullptr)) << kbps;
    }
}

TEST(AppModels, FdArbitrationRateCheck) {
    for (uint32_t rate : {50000u, 100000u, 125000u, 250000u, 500000u, 800000u, 1000000u}) {
        for (uint32_t type : {41u, 67u, 3u, 0u}) {
            EXPECT_EQ(0, dunlinfd2ChkTimingParams(type, rate, 0)) << rate;
        }
        EXPECT_EQ(0, dunlinfd2ChkTimingParams(41, rate, 3000000)) << rate;
    }
    for (uint32_t rate : {0u, 20000u, 2000000u, 4000000u, 5000000u, 499999u}) {
        EXPECT_EQ(-1, dunlinfd2ChkTimingParams(41, rate, 0)) << rate;
    }
}

TEST(AppModels, SupportedRateListIsSevenLogLines) {
    std::string out = captureStdout([] { hwDevBaudSupporList(); });
    const std::vector<std::string> expected = {
        "DUNLIN1/DUNLIN2/ZARO2014/ZARO2018支持波特率(arb-rate):",
        "50000/100000/125000/250000/500000/800000/1000000Hz",
        "DUNLINFD-Mini/DUNLINFD1/DUNLINFD2/ZARO3014/ZAR3018支持波特率如下:",
        "仲裁域(arb-rate)->",
        "50000/100000/125000/250000/500000/800000/1000000Hz",
        "数据域(data-rate)->",
        "50000/100000/125000/250000/500000/800000/1000000/2000000/4000000/5000000Hz",
    };
    const std::string tag = "\033[0;32m[INFO] \033[0m";
    size_t pos = 0;
    for (const std::string& text : expected) {
        size_t end = out.find('\n', pos);
        ASSERT_NE(std::string::npos, end);
        std::string l = out.substr(pos, end - pos);
        ASSERT_GT(l.size(), tag.size() + text.size());
        EXPECT_EQ(tag + text, l.substr(l.size() - tag.size() - text.size()));
        pos = end + 1;
    }
    EXPECT_EQ(out.size(), pos);
}

}  // namespace
