// The KESTRUN_SIM device-list syntax: accepted lists and their order and
// indexes, and every kind of refused list with its reason.
#include <gtest/gtest.h>

#include "device_list.h"

namespace {

using ksim::core::DeviceListEntry;
using ksim::core::parseDeviceList;

const std::vector<ksim::UsbIdentity> kKnown = {
    {0x0471, 0x3018, "ZARO3018"},
    {0x3068, 0x0009, "DUNLINFD2"},
    {0x0471, 0x2014, "ZARO2014"},
};

std::string describe(const std::vector<DeviceListEntry>& entries) {
    std::string text;
    for (const DeviceListEntry& e : entries) {
        text += (text.empty() ? "" : " ") + e.model + "#" + std::to_string(e.ordinal);
    }
    return text;
}

TEST(DeviceList, AcceptedListsGiveDevicesInListOrderWithPerIdentityIndexes) {
    const struct {
        const char* list;
        const char* devices;
    } cases[] = {
        {"ZARO3018", "ZARO3018#0"},
        {"zaro3018", "ZARO3018#0"},
        {"ZARO3018*2,DUNLINFD2", "ZARO3018#0 ZARO3018#1 DUNLINFD2#0"},
        {"ZARO3018, DUNLINFD2 ,ZARO3018", "ZARO3018#0 DUNLINFD2#0 ZARO3018#1"},
        {"0471:3018*2,3068:0009", "ZARO3018#0 ZARO3018#1 DUNLINFD2#0"},
        {"471:3018", "ZARO3018#0"},
        {"0471:3018, zaro3018 * 2", "ZARO3018#0 ZARO3018#1 ZARO3018#2"},
        {"3068:0009*256", nullptr},  // checked by size below
        {"", ""},
        {"   ", ""},
    };
    for (const auto& c : cases) {
        std::vector<DeviceListEntry> entries;
        std::string error;
        ASSERT_TRUE(parseDeviceList(c.list, kKnown, &entries, &error)) << c.list << ": " << error;
        if (c.devices != nullptr) {
            EXPECT_EQ(describe(entries), c.devices) << c.list;
        } else {
            ASSERT_EQ(entries.size(), 256u);
            EXPECT_EQ(entries.back().ordinal, 255);
        }
    }
}

TEST(DeviceList, RefusedListsNameTheProblemAndGiveNoDevices) {
    const struct {
        const char* list;
        const char* reason;
    } cases[] = {
        {"FOO", "unknown adapter \"FOO\" (known: ZARO3018, DUNLINFD2, ZARO2014"},
        {"1234:5678", "unknown adapter \"1234:5678\""},
        {"0471:", "unknown adapter \"0471:\""},
        {"0471:30x8", "unknown adapter \"0471:30x8\""},
        {"00471:3018", "unknown adapter \"00471:3018\""},
        {"ZARO3018*", "bad count \"\" in \"ZARO3018*\""},
        {"ZARO3018*0", "bad count \"0\""},
        {"ZARO3018*257", "bad count \"257\""},
        {"ZARO3018*-1", "bad count \"-1\""},
        {"ZARO3018*2x", "bad count \"2x\""},
        {"ZARO3018**2", "bad count \"*2\""},
        {"*2", "names no adapter"},
        {"ZARO3018,", "entry 2 is empty"},
        {",ZARO3018", "entry 1 is empty"},
        {"ZARO3018,,DUNLINFD2", "entry 2 is empty"},
        {"ZARO3018*200,DUNLINFD2*57", "more than 256 adapters"},
        {"ZARO3018;DUNLINFD2", "unknown adapter \"ZARO3018;DUNLINFD2\""},
    };
    for (const auto& c : cases) {
        std::vector<DeviceListEntry> entries = {{1, 2, "stale", 0}};
        std::string error;
        EXPECT_FALSE(parseDeviceList(c.list, kKnown, &entries, &error)) << c.list;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.list << " -> " << error;
        EXPECT_TRUE(entries.empty()) << c.list;
    }
}

TEST(DeviceList, HostileInputIsRefusedWithoutHarm) {
    std::vector<DeviceListEntry> entries;
    std::string error;
    const std::string huge(100000, ',');
    EXPECT_FALSE(parseDeviceList(huge, kKnown, &entries, &error));
    const std::string longCount = "ZARO3018*" + std::string(5000, '9');
    EXPECT_FALSE(parseDeviceList(longCount, kKnown, &entries, &error));
    const std::string binary(
        "ZARO\0"
        "3018\xff",
        10);
    EXPECT_FALSE(parseDeviceList(binary, kKnown, &entries, &error));
    EXPECT_TRUE(entries.empty());
}

}  // namespace
