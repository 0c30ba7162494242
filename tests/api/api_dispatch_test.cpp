// The exported functions' dispatch by type code (which driver serves a call,
// the facade's own checks, the error each path leaves) and the device
// registry behind them.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <string>
#include <tuple>
#include <vector>

#include "QErrMgr.h"
#include "QKCANDevMgr.h"
#include "kcan.h"

namespace {

// A QDevice that counts its closes and its destruction.
struct FakeDevice : QDevice {
    static inline std::atomic<int> destroyed{0};
    ~FakeDevice() override { ++destroyed; }
    int closes = 0;
    int32_t closeDevice() override { return ++closes > 0; }
    int32_t openDevice(uint32_t, uint32_t, uint32_t) override { return 1; }
    int32_t initCAN(uint32_t, _KCAN_INIT_CONFIG*) override { return 0; }
    int32_t initCANFD(uint32_t, _KCAN_INITFD_CONFIG*) override { return 0; }
    int32_t getBoardInf(_KCAN_BOARD_INFO*) override { return 0; }
    int32_t isDeviceOnLine() override { return 0; }
    int32_t transmit(uint32_t, _KCAN_CAN_OBJ*, uint32_t) override { return 0; }
    int32_t transmitFD(uint32_t, _KCAN_CANFD_OBJ*, uint32_t) override { return 0; }
    int32_t receiveFD(uint32_t, _KCAN_CANFD_OBJ*, uint32_t, int32_t) override { return 0; }
    int32_t receive(uint32_t, _KCAN_CAN_OBJ*, uint32_t, int32_t) override { return 0; }
    int32_t start(uint32_t) override { return 0; }
    int32_t stop(uint32_t) override { return 0; }
    int32_t clearBuffer(uint32_t) override { return 0; }
    int32_t getReceiveNum(uint32_t, uint8_t) override { return 0; }
    int32_t transmitData(uint8_t*, uint32_t) override { return 0; }
    int32_t setFliter(uint32_t, _KCAN_FLITER_CONFIG*) override { return 0; }
};

TEST(DevMgrRegistry, AddFindDeleteAndCloseAtTheEnd) {
    FakeDevice a, b, c;  // outlive the registry
    const int destroyed = FakeDevice::destroyed;
    {
        QKCANDevMgr mgr;
        EXPECT_EQ(mgr.deviceFind(67, 0), nullptr) << "type never opened";
        EXPECT_EQ(mgr.deviceAdd(67, 0, &a), 1);
        EXPECT_EQ(mgr.deviceAdd(67, 0, &b), 1);
        EXPECT_EQ(mgr.deviceAdd(67, 1, &b), 1);
        EXPECT_EQ(mgr.deviceAdd(41, 3, &c), 1);
        EXPECT_EQ(mgr.deviceFind(67, 0), &a) << "a second add keeps the first device";
        EXPECT_EQ(mgr.deviceFind(67, 2), nullptr) << "index not opened under an opened type";
        ASSERT_NE(mgr.devFind(67, 1), nullptr);
        EXPECT_EQ(mgr.devFind(67, 1)->device, &b);
        EXPECT_EQ(mgr.deviceDel(67, 0), 1);
        EXPECT_EQ(a.closes, 1);
        EXPECT_EQ(mgr.deviceFind(67, 0), nullptr);
        EXPECT_EQ(mgr.deviceFind(67, 1), &b);
        EXPECT_EQ(mgr.deviceDel(67, 0), 1) << "deleting an absent key";
        EXPECT_EQ(mgr.deviceDel(99, 0), 1) << "deleting under an absent type";
        EXPECT_EQ(b.closes + c.closes, 0);
    }
    // The destructor closes every device still registered, once, and deletes none.
    EXPECT_EQ(std::make_tuple(a.closes, b.closes, c.closes), std::make_tuple(1, 1, 1));
    EXPECT_EQ(FakeDevice::destroyed, destroyed);
}

// A code no current operation sets, so any change to it is visible.
constexpr int kSentinel = KCAN_ERR_PARAM_NOT_SUPPORTED;

_KCAN_CAN_OBJ g_frames[5];
_KCAN_CANFD_OBJ g_fdFrames[5];
_KCAN_INIT_CONFIG g_init;
_KCAN_INITFD_CONFIG g_initFd;
_KCAN_BOARD_INFO g_info;
_KCAN_FLITER_CONFIG g_filter;
_KCAN_FLITER_INFO g_filterInfo;
_KCAN_RECORD_CONFIG g_record;
uint8_t g_bytes[64];

// What each function does for every type of a family when no device of that
// type is open (forwarding to an open device is checked with the FD driver on
// the virtual adapters). One cell per family: FD, recorder, reserved,
// unsupported, and classic where the facade answers before the classic driver.
// '6'..'8', 'D' (13): returns 0 with that error code; '-': returns 0 and
// leaves the error alone; '1': returns 1 and leaves it alone; ' ': not checked.
TEST(ApiDispatch, EveryFunctionForEveryFamilyWithNothingOpen) {
    using Call = uint32_t (*)(uint32_t type);
    const std::tuple<const char*, Call, const char*> rows[] = {
        {"Open", [](uint32_t t) { return KCAN_OpenDevice(t, 0); }, "  66 "},
        {"Close", [](uint32_t t) { return KCAN_CloseDevice(t, 0); }, "1166 "},
        {"BoardInfo", [](uint32_t t) { return KCAN_BoardInfoGet(t, 0, &g_info); }, "7766 "},
        {"Direct", [](uint32_t t) { return KCAN_DataDirectTransfer(t, 0, g_bytes, 4); }, "7766 "},
        {"InitCAN", [](uint32_t t) { return KCAN_InitCAN(t, 0, 0, &g_init); }, "6666 "},
        {"InitCANFD", [](uint32_t t) { return KCAN_InitCANFD(t, 0, 0, &g_initFd); }, "76-6 "},
        {"Start", [](uint32_t t) { return KCAN_Start(t, 0, 0); }, "7666 "},
        {"Stop", [](uint32_t t) { return KCAN_Stop(t, 0, 0); }, "7666 "},
        {"ClearBuffer", [](uint32_t t) { return KCAN_ClearBuffer(t, 0, 0); }, "-666 "},
        // The reserved codes take the classic path, whose driver refuses them.
        {"ReceiveNum 0", [](uint32_t t) { return KCAN_GetReceiveNum(t, 0, 0, 0); }, "76D6 "},
        {"ReceiveNum 1", [](uint32_t t) { return KCAN_GetReceiveNum(t, 0, 0, 1); }, "76-6-"},
        {"SetFliter", [](uint32_t t) { return KCAN_SetFliter(t, 0, 0, &g_filter); }, "7666 "},
        {"Transmit", [](uint32_t t) { return KCAN_Transmit(t, 0, 0, g_frames, 5); }, "76-6 "},
        {"Transmit 0", [](uint32_t t) { return KCAN_Transmit(t, 0, 0, g_frames, 0); }, "76-68"},
        {"TransmitFD", [](uint32_t t) { return KCAN_TransmitFD(t, 0, 0, g_fdFrames, 5); }, "7666 "},
        {"Receive", [](uint32_t t) { return KCAN_Receive(t, 0, 0, g_frames, 5, 0); }, "76-6 "},
        {"Receive 0", [](uint32_t t) { return KCAN_Receive(t, 0, 0, g_frames, 0, 0); }, "76-68"},
        {"ReceiveFD", [](uint32_t t) { return KCAN_ReceiveFD(t, 0, 0, g_fdFrames, 5, 0); },
         "7666 "},
        {"RecordSet", [](uint32_t t) { return KCAN_RecordSettingSet(t, 0, 0, &g_record); },
         "-7-- "},
        {"RecordGet", [](uint32_t t) { return KCAN_RecordSettingGet(t, 0, 0, &g_record); },
         "---- "},
        {"FliterClr", [](uint32_t t) { return KCAN_RecordFliterClr(t, 0, 0); }, "---- "},
        {"FliterInfo", [](uint32_t t) { return KCAN_RecordFliterInfoGet(t, 0, 0, &g_filterInfo); },
         "---- "},
        {"RelaySet", [](uint32_t t) { return KCAN_DevRelayStatusSet(t, 0, 1, 1); }, "6666 "},
        {"RelayGet", [](uint32_t t) { return KCAN_DevRelayStatusGet(t, 0, g_bytes, g_bytes); },
         "6666 "},
        {"BaudPara", [](uint32_t t) { return KCAN_DevBaudParaGet(t, 0, 0, g_bytes, g_bytes); },
         "6666 "},
        {"ChState",
         [](uint32_t t) { return KCAN_DevChStateGet(t, 0, 0, g_bytes, g_bytes, g_bytes); },
         "6666 "},
    };
    const std::vector<uint32_t> families[] = {
        {41, 42, 43, 64, 65, 66, 67},
        {61, 62},
        {63, 68, 69, 70, 71, 72, 73},
        {0, 1, 2, 5, 40, 44, 60, 74, 0xFFFFFFFFu},
        {3, 4},
    };
    for (const auto& [what, call, cells] : rows) {
        for (size_t f = 0; f < std::size(families); ++f) {
            const char cell = cells[f];
            for (uint32_t type : families[f]) {
                if (cell == ' ')
                    continue;
                QErrInfoMgr::getinstance()->setLastError(kSentinel);
                EXPECT_EQ(call(type), cell == '1' ? 1u : 0u) << what << " type " << type;
                const int error = cell == 'D'                   ? 13
                                  : isdigit(cell) && cell > '1' ? cell - '0'
                                                                : kSentinel;
                EXPECT_EQ(KCAN_GetLastError(), error) << what << " type " << type;
            }
        }
    }
}

}  // namespace
