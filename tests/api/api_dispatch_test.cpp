// The exported functions' dispatch by type code: which driver serves a call,
// the facade's own checks and the error each path leaves.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "QErrMgr.h"
#include "QKCANDevMgr.h"
#include "fake_device.h"
#include "kcan.h"

namespace {

// A code no current operation sets, so any change to it is visible.
constexpr int kSentinel = KCAN_ERR_PARAM_NOT_SUPPORTED;
constexpr int kUnchanged = -1;

struct Case {
    std::string what;
    std::function<uint32_t()> call;
    uint32_t result;
    int error;  // kUnchanged: the sentinel stays
};

void runCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        QErrInfoMgr::getinstance()->setLastError(kSentinel);
        EXPECT_EQ(c.call(), c.result) << c.what;
        int expected = c.error == kUnchanged ? kSentinel : c.error;
        EXPECT_EQ(KCAN_GetLastError(), expected) << c.what;
    }
}

_KCAN_CAN_OBJ g_frames[5];
_KCAN_CANFD_OBJ g_fdFrames[5];
_KCAN_INIT_CONFIG g_init;
_KCAN_INITFD_CONFIG g_initFd;
_KCAN_BOARD_INFO g_info;
_KCAN_FLITER_CONFIG g_filter;
_KCAN_FLITER_INFO g_filterInfo;
_KCAN_RECORD_CONFIG g_record;
uint8_t g_bytes[64];

constexpr int E6 = KCAN_ERR_TYPE_NOT_SUPPORTED;
constexpr int E7 = KCAN_ERR_DEVICE_NOT_OPENED;
constexpr int E8 = KCAN_ERR_PARAMETER;
constexpr int E13 = KCAN_ERR_CAN_NOT_INIT;

TEST(ApiDispatch, NoDeviceOpened) {
    runCases({
        {"Close FD not open", [] { return KCAN_CloseDevice(41, 0); }, 1, kUnchanged},
        {"Close recorder not open", [] { return KCAN_CloseDevice(61, 0); }, 1, kUnchanged},
        {"BoardInfo FD", [] { return KCAN_BoardInfoGet(67, 0, &g_info); }, 0, E7},
        {"BoardInfo recorder", [] { return KCAN_BoardInfoGet(62, 0, &g_info); }, 0, E7},
        {"ClearBuffer FD not open: no error", [] { return KCAN_ClearBuffer(41, 0, 0); }, 0,
         kUnchanged},
        {"DirectTransfer FD", [] { return KCAN_DataDirectTransfer(41, 0, g_bytes, 4); }, 0, E7},
        {"DirectTransfer recorder", [] { return KCAN_DataDirectTransfer(61, 0, g_bytes, 4); }, 0,
         E7},
        {"SetFliter FD", [] { return KCAN_SetFliter(64, 0, 0, &g_filter); }, 0, E7},
        {"GetReceiveNum FD", [] { return KCAN_GetReceiveNum(65, 0, 0, 0); }, 0, E7},
        {"InitCANFD FD", [] { return KCAN_InitCANFD(41, 0, 0, &g_initFd); }, 0, E7},
        {"Start FD", [] { return KCAN_Start(42, 0, 0); }, 0, E7},
        {"Stop FD", [] { return KCAN_Stop(43, 0, 0); }, 0, E7},
        {"Receive FD", [] { return KCAN_Receive(41, 0, 0, g_frames, 5, 0); }, 0, E7},
        {"ReceiveFD FD", [] { return KCAN_ReceiveFD(41, 0, 0, g_fdFrames, 5, 0); }, 0, E7},
        {"Transmit FD 5 frames", [] { return KCAN_Transmit(41, 0, 0, g_frames, 5); }, 0, E7},
        {"TransmitFD FD", [] { return KCAN_TransmitFD(66, 0, 0, g_fdFrames, 5); }, 0, E7},
        {"RecordSettingSet recorder", [] { return KCAN_RecordSettingSet(61, 0, 0, &g_record); }, 0,
         E7},
        {"RecordSettingGet recorder: no error",
         [] { return KCAN_RecordSettingGet(61, 0, 0, &g_record); }, 0, kUnchanged},
        {"RecordCmdExecute recorder: no error",
         [] { return KCAN_RecordCmdExecute(62, 0, 0, 4, &g_filterInfo, nullptr); }, 0, kUnchanged},
        {"RecordFliterInfoGet recorder",
         [] { return KCAN_RecordFliterInfoGet(61, 0, 0, &g_filterInfo); }, 0, kUnchanged},
    });
}

TEST(ApiDispatch, TypesOutsideTheirFunctions) {
    runCases({
        {"InitCAN on FD", [] { return KCAN_InitCAN(41, 0, 0, &g_init); }, 0, E6},
        {"InitCAN on recorder", [] { return KCAN_InitCAN(61, 0, 0, &g_init); }, 0, E6},
        {"SetFliter classic", [] { return KCAN_SetFliter(3, 0, 0, &g_filter); }, 0, E6},
        {"SetFliter recorder", [] { return KCAN_SetFliter(61, 0, 0, &g_filter); }, 0, E6},
        {"InitCANFD classic", [] { return KCAN_InitCANFD(3, 0, 0, &g_initFd); }, 0, E6},
        {"InitCANFD recorder", [] { return KCAN_InitCANFD(62, 0, 0, &g_initFd); }, 0, E6},
        {"ReceiveFD classic", [] { return KCAN_ReceiveFD(4, 0, 0, g_fdFrames, 5, 0); }, 0, E6},
        {"TransmitFD classic", [] { return KCAN_TransmitFD(3, 0, 0, g_fdFrames, 5); }, 0, E6},
        {"ClearBuffer recorder", [] { return KCAN_ClearBuffer(61, 0, 0); }, 0, E6},
        {"GetReceiveNum recorder", [] { return KCAN_GetReceiveNum(61, 0, 0, 0); }, 0, E6},
        {"Start recorder", [] { return KCAN_Start(61, 0, 0); }, 0, E6},
        {"Stop recorder", [] { return KCAN_Stop(62, 0, 0); }, 0, E6},
        {"Receive recorder", [] { return KCAN_Receive(61, 0, 0, g_frames, 5, 0); }, 0, E6},
        {"Transmit recorder", [] { return KCAN_Transmit(61, 0, 0, g_frames, 5); }, 0, E6},
        {"RelaySet FD", [] { return KCAN_DevRelayStatusSet(41, 0, 1, 1); }, 0, E6},
        {"RelayGet recorder", [] { return KCAN_DevRelayStatusGet(61, 0, g_bytes, g_bytes); }, 0,
         E6},
        {"BaudPara FD", [] { return KCAN_DevBaudParaGet(67, 0, 0, g_bytes, g_bytes); }, 0, E6},
        {"ChState FD", [] { return KCAN_DevChStateGet(41, 0, 0, g_bytes, g_bytes, g_bytes); }, 0,
         E6},
        {"RecordSettingSet on FD", [] { return KCAN_RecordSettingSet(41, 0, 0, &g_record); }, 0,
         kUnchanged},
        {"RecordSettingGet on classic", [] { return KCAN_RecordSettingGet(3, 0, 0, &g_record); }, 0,
         kUnchanged},
        {"RecordFliterClr on FD", [] { return KCAN_RecordFliterClr(41, 0, 0); }, 0, kUnchanged},
    });
}

TEST(ApiDispatch, ClassicFacadeChecks) {
    runCases({
        {"Transmit count 0", [] { return KCAN_Transmit(3, 0, 0, g_frames, 0); }, 0, E8},
        {"Receive capacity 0", [] { return KCAN_Receive(4, 0, 0, g_frames, 0, 0); }, 0, E8},
        {"GetReceiveNum kind 1", [] { return KCAN_GetReceiveNum(3, 0, 0, 1); }, 0, kUnchanged},
        {"GetReceiveNum kind 2", [] { return KCAN_GetReceiveNum(4, 0, 0, 2); }, 0, kUnchanged},
    });
}

TEST(ApiDispatch, ReservedCodes) {
    for (uint32_t t : {63u, 68u, 69u, 70u, 71u, 72u, 73u}) {
        const std::string T = "type " + std::to_string(t) + ": ";
        runCases({
            {T + "Open", [t] { return KCAN_OpenDevice(t, 0); }, 0, E6},
            {T + "Close", [t] { return KCAN_CloseDevice(t, 0); }, 0, E6},
            {T + "BoardInfo", [t] { return KCAN_BoardInfoGet(t, 0, &g_info); }, 0, E6},
            {T + "ClearBuffer", [t] { return KCAN_ClearBuffer(t, 0, 0); }, 0, E6},
            {T + "DirectTransfer", [t] { return KCAN_DataDirectTransfer(t, 0, g_bytes, 1); }, 0,
             E6},
            {T + "SetFliter", [t] { return KCAN_SetFliter(t, 0, 0, &g_filter); }, 0, E6},
            {T + "GetReceiveNum kind 0", [t] { return KCAN_GetReceiveNum(t, 0, 0, 0); }, 0, E13},
            {T + "GetReceiveNum kind 1", [t] { return KCAN_GetReceiveNum(t, 0, 0, 1); }, 0,
             kUnchanged},
            {T + "InitCAN", [t] { return KCAN_InitCAN(t, 0, 0, &g_init); }, 0, E6},
            {T + "InitCANFD", [t] { return KCAN_InitCANFD(t, 0, 0, &g_initFd); }, 0, kUnchanged},
            {T + "Start", [t] { return KCAN_Start(t, 0, 0); }, 0, E6},
            {T + "Stop", [t] { return KCAN_Stop(t, 0, 0); }, 0, E6},
            {T + "Receive", [t] { return KCAN_Receive(t, 0, 0, g_frames, 5, 0); }, 0, kUnchanged},
            {T + "ReceiveFD", [t] { return KCAN_ReceiveFD(t, 0, 0, g_fdFrames, 5, 0); }, 0, E6},
            {T + "Transmit", [t] { return KCAN_Transmit(t, 0, 0, g_frames, 5); }, 0, kUnchanged},
            {T + "TransmitFD", [t] { return KCAN_TransmitFD(t, 0, 0, g_fdFrames, 5); }, 0, E6},
            {T + "RecordSettingSet", [t] { return KCAN_RecordSettingSet(t, 0, 0, &g_record); }, 0,
             kUnchanged},
            {T + "RelaySet", [t] { return KCAN_DevRelayStatusSet(t, 0, 0, 0); }, 0, E6},
        });
    }
}

TEST(ApiDispatch, UnsupportedCodes) {
    for (uint32_t t : {0u, 1u, 2u, 5u, 40u, 44u, 60u, 74u, 0xFFFFFFFFu}) {
        const std::string T = "type " + std::to_string(t) + ": ";
        runCases({
            {T + "Open", [t] { return KCAN_OpenDevice(t, 0); }, 0, E6},
            {T + "Close", [t] { return KCAN_CloseDevice(t, 0); }, 0, E6},
            {T + "BoardInfo", [t] { return KCAN_BoardInfoGet(t, 0, &g_info); }, 0, E6},
            {T + "ClearBuffer", [t] { return KCAN_ClearBuffer(t, 0, 0); }, 0, E6},
            {T + "DirectTransfer", [t] { return KCAN_DataDirectTransfer(t, 0, g_bytes, 1); }, 0,
             E6},
            {T + "SetFliter", [t] { return KCAN_SetFliter(t, 0, 0, &g_filter); }, 0, E6},
            {T + "GetReceiveNum", [t] { return KCAN_GetReceiveNum(t, 0, 0, 0); }, 0, E6},
            {T + "InitCAN", [t] { return KCAN_InitCAN(t, 0, 0, &g_init); }, 0, E6},
            {T + "InitCANFD", [t] { return KCAN_InitCANFD(t, 0, 0, &g_initFd); }, 0, E6},
            {T + "Start", [t] { return KCAN_Start(t, 0, 0); }, 0, E6},
            {T + "Stop", [t] { return KCAN_Stop(t, 0, 0); }, 0, E6},
            {T + "Receive", [t] { return KCAN_Receive(t, 0, 0, g_frames, 5, 0); }, 0, E6},
            {T + "ReceiveFD", [t] { return KCAN_ReceiveFD(t, 0, 0, g_fdFrames, 5, 0); }, 0, E6},
            {T + "Transmit", [t] { return KCAN_Transmit(t, 0, 0, g_frames, 5); }, 0, E6},
            {T + "TransmitFD", [t] { return KCAN_TransmitFD(t, 0, 0, g_fdFrames, 5); }, 0, E6},
            {T + "RecordSettingSet", [t] { return KCAN_RecordSettingSet(t, 0, 0, &g_record); }, 0,
             kUnchanged},
            {T + "RecordSettingGet", [t] { return KCAN_RecordSettingGet(t, 0, 0, &g_record); }, 0,
             kUnchanged},
            {T + "RecordCmdExecute",
             [t] { return KCAN_RecordCmdExecute(t, 0, 0, 0, nullptr, nullptr); }, 0, kUnchanged},
            {T + "RelayGet", [t] { return KCAN_DevRelayStatusGet(t, 0, g_bytes, g_bytes); }, 0, E6},
            {T + "BaudPara", [t] { return KCAN_DevBaudParaGet(t, 0, 0, g_bytes, g_bytes); }, 0, E6},
            {T + "ChState", [t] { return KCAN_DevChStateGet(t, 0, 0, g_bytes, g_bytes, g_bytes); },
             0, E6},
        });
    }
}

// Forwarding to a registered device object, through a stand-in registered
// under (41, 5) as KCAN_OpenDevice would.
class ApiForwarding : public ::testing::Test {
  protected:
    void SetUp() override {
        dev = new FakeDevice;
        dev->devType = 41;
        dev->devIndex = 5;
        kcanDevMgr.deviceAdd(41, 5, dev);
    }
    void TearDown() override {
        if (kcanDevMgr.deviceFind(41, 5) != nullptr)
            KCAN_CloseDevice(41, 5);
    }
    FakeDevice* dev = nullptr;
};

TEST_F(ApiForwarding, InitCANFDStartsOnlyAfterASuccessfulInit) {
    const struct {
        int32_t init, start;
        uint32_t result;
        int starts;
    } cases[] = {{1, 1, 1, 1}, {0, 1, 0, 0}, {1, 0, 0, 1}};
    for (const auto& c : cases) {
        dev->initResult = c.init;
        dev->startResult = c.start;
        dev->starts = 0;
        EXPECT_EQ(KCAN_InitCANFD(41, 5, 3, &g_initFd), c.result);
        EXPECT_EQ(dev->starts, c.starts);
        EXPECT_EQ(dev->lastChannel, 3u);
    }
}

TEST_F(ApiForwarding, ArgumentsAndResultsPassThrough) {
    dev->frameResult = 4;
    EXPECT_EQ(KCAN_Transmit(41, 5, 1, g_frames, 5), 4u);
    EXPECT_EQ(dev->lastCount, 5u);
    EXPECT_EQ(dev->lastChannel, 1u);
    EXPECT_EQ(KCAN_ReceiveFD(41, 5, 2, g_fdFrames, 5, -1), 4u);
    EXPECT_EQ(dev->lastWait, -1);
    EXPECT_EQ(dev->lastChannel, 2u);
    EXPECT_EQ(KCAN_GetReceiveNum(41, 5, 0, 2), 42u);
    EXPECT_EQ(KCAN_DataDirectTransfer(41, 5, g_bytes, 9), 9u);
    EXPECT_EQ(KCAN_ClearBuffer(41, 5, 0), 1u);
    EXPECT_EQ(KCAN_SetFliter(41, 5, 0, &g_filter), 1u);
    EXPECT_EQ(KCAN_RecordSettingGet(41, 5, 0, &g_record), 0u) << "FD row: return 0";
}

TEST_F(ApiForwarding, LaterSuccessLeavesTheLastError) {
    dev->frameResult = 5;
    EXPECT_EQ(KCAN_Transmit(41, 9, 0, g_frames, 5), 0u);
    EXPECT_EQ(KCAN_GetLastError(), E7);
    EXPECT_STREQ(KCAN_GetLastErrorStr(), "Device Not Opened!");
    EXPECT_EQ(KCAN_Transmit(41, 5, 0, g_frames, 5), 5u);
    EXPECT_EQ(KCAN_GetLastError(), E7);
    EXPECT_STREQ(KCAN_GetLastErrorStr(), "Device Not Opened!");
}

TEST_F(ApiForwarding, OpenOfARegisteredKeyIsANoOp) {
    QErrInfoMgr::getinstance()->setLastError(kSentinel);
    EXPECT_EQ(KCAN_OpenDevice(41, 5), 1u);
    EXPECT_EQ(KCAN_GetLastError(), kSentinel) << "already open: error untouched";
    EXPECT_EQ(kcanDevMgr.deviceFind(41, 5), dev);
}

TEST_F(ApiForwarding, CloseClosesUnregistersAndDeletes) {
    int destroyed = FakeDevice::destroyed;
    EXPECT_EQ(KCAN_CloseDevice(41, 5), 1u);
    EXPECT_EQ(FakeDevice::destroyed, destroyed + 1);
    EXPECT_EQ(kcanDevMgr.deviceFind(41, 5), nullptr);
    EXPECT_EQ(KCAN_CloseDevice(41, 5), 1u) << "closing again";
    QErrInfoMgr::getinstance()->setLastError(kSentinel);
    EXPECT_EQ(KCAN_Start(41, 5, 0), 0u);
    EXPECT_EQ(KCAN_GetLastError(), E7);
}

}  // namespace
