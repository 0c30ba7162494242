// Command requests on the interrupt pair and their byte-exact replies.
#include "simfd_util.h"

using namespace simfd;

namespace {

struct Identity {
    uint16_t vid, pid;
    const char* name;
    uint8_t channels;
    Bytes hw, fw;  // version bytes 4..5, high byte first
};

const Identity kIdentities[] = {
    {kVidDunlin, kPidDunlin, "DUNLINFD2", 2, {0x01, 0x10}, {0x02, 0x05}},
    {kVidZaro, kPid3014, "ZARO3014", 4, {0x01, 0x20}, {0x03, 0x01}},
    {kVidZaro, kPid2014, "ZARO2014", 4, {0x01, 0x20}, {0x03, 0x01}},
    {kVidZaro, kPid2018, "ZARO2018", 8, {0x01, 0x30}, {0x03, 0x02}},
    {kVidZaro, kPid3018, "ZARO3018", 8, {0x01, 0x30}, {0x03, 0x02}},
};

TEST(FdSimCommands, IdentityTableAndQueriesPerModel) {
    // The FD identities lead the default device list, in this order.
    const auto& ids = ksim::emulatedIdentities();
    ASSERT_GE(ids.size(), std::size(kIdentities));
    for (size_t i = 0; i < std::size(kIdentities); ++i) {
        const Identity& want = kIdentities[i];
        EXPECT_EQ(ids[i].vendorId, want.vid);
        EXPECT_EQ(ids[i].productId, want.pid);
        EXPECT_STREQ(ids[i].name, want.name);
        Device d = makeDevice(want.vid, want.pid, 41);
        ASSERT_NE(d.fw, nullptr) << want.name;
        EXPECT_EQ(d.dev->modelName(), want.name);
        EXPECT_EQ(d.dev->vendorId(), want.vid);
        EXPECT_EQ(d.dev->productId(), want.pid);
        EXPECT_EQ(command(*d.dev, {0x55, 0x01, 0x01, 0x01}),
                  (Bytes{0x55, 0x01, 0x03, 0x00, want.hw[0], want.hw[1]}));
        EXPECT_EQ(command(*d.dev, {0x55, 0x12, 0x01, 0x01}),
                  (Bytes{0x55, 0x12, 0x03, 0x00, want.fw[0], want.fw[1]}));
        EXPECT_EQ(command(*d.dev, {0x55, 0x13, 0x01, 0x01}),
                  (Bytes{0x55, 0x13, 0x02, 0x00, want.channels}));
    }
    EXPECT_EQ(ksim::createVirtualDevice(0x1234, 0x5678, 0), nullptr);
    EXPECT_EQ(ksim::createVirtualDevice(0x0471, 0x3018, -1), nullptr);
}

TEST(FdSimCommands, StartAndStopReplies) {
    Device d = makeDevice(kVidZaro, kPid3018, 41);
    // Start before any bit timing: refused, the channel stays off.
    EXPECT_EQ(command(*d.dev, startCmd(3)), (Bytes{0x55, 0x0E, 0x02, 0x04, 0x30}));
    EXPECT_FALSE(d.fw->channel(3).started);
    ASSERT_EQ(command(*d.dev, bitTiming(3, 80, k80_500k, k80_2M)),
              (Bytes{0x55, 0x03, 0x02, 0x00, 0x03}));
    EXPECT_EQ(command(*d.dev, startCmd(3)), (Bytes{0x55, 0x0E, 0x02, 0x00, 0x30}));
    EXPECT_TRUE(d.fw->channel(3).started);
    EXPECT_EQ(command(*d.dev, startCmd(3)), (Bytes{0x55, 0x0E, 0x02, 0x00, 0x30}));
    EXPECT_EQ(command(*d.dev, stopCmd(3)), (Bytes{0x55, 0x0F, 0x02, 0x00, 0x30}));
    EXPECT_FALSE(d.fw->channel(3).started);
    EXPECT_TRUE(d.fw->channel(3).initialised);
    EXPECT_EQ(command(*d.dev, stopCmd(3)), (Bytes{0x55, 0x0F, 0x02, 0x00, 0x30}));
    // The low nibble of the channel byte is not part of the channel.
    EXPECT_EQ(command(*d.dev, {0x55, 0x0E, 0x02, 0x00, 0x3F}),
              (Bytes{0x55, 0x0E, 0x02, 0x00, 0x3F}));
    EXPECT_TRUE(d.fw->channel(3).started);
}

TEST(FdSimCommands, ChannelBeyondCountIsRefusedByEveryChannelCommand) {
    Device d = makeDevice(kVidZaro, kPid2014, 41);  // 4 channels
    for (uint8_t ch : {4, 8, 15}) {
        const uint8_t hi = static_cast<uint8_t>(ch << 4);
        EXPECT_EQ(command(*d.dev, startCmd(ch)), (Bytes{0x55, 0x0E, 0x02, 0x01, hi}));
        EXPECT_EQ(command(*d.dev, stopCmd(ch)), (Bytes{0x55, 0x0F, 0x02, 0x01, hi}));
        EXPECT_EQ(command(*d.dev, filterCmd(4, ch, 0, 0)),
                  (Bytes{0x55, 0x04, 0x03, 0x01, 0x04, hi}));
        EXPECT_EQ(command(*d.dev, bitTiming(ch, 60, k60_500k, k60_2M)),
                  (Bytes{0x55, 0x03, 0x02, 0x01, ch}));
    }
    EXPECT_EQ(d.fw->channel(15).arbRate, 0u);  // out-of-range snapshot is empty
}

TEST(FdSimCommands, DirectTransferEchoesThePayloadItCarries) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 41);
    Bytes req{0x12, 0xA7};
    for (uint8_t i = 0; i < 62; ++i) {
        req.push_back(static_cast<uint8_t>(0xC0 ^ i));
    }
    EXPECT_EQ(command(*d.dev, req), req);
    EXPECT_EQ(command(*d.dev, {0x12, 0xA7, 0x99}), (Bytes{0x12, 0xA7, 0x99}));
    EXPECT_EQ(command(*d.dev, {0x12, 0xA7}), (Bytes{0x12, 0xA7}));
}

TEST(FdSimCommands, UnknownAndMalformedRequestsGetErrorReplies) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 41);
    const std::pair<Bytes, Bytes> cases[] = {
        {{0x55, 0x77, 0x00}, {0x55, 0x77, 0x01, 0x7F}},        // unknown code
        {{0x56, 0x01, 0x01, 0x01}, {0x56, 0x01, 0x01, 0x7E}},  // no 0x55 prefix
        {{0x55}, {0x55, 0x00, 0x01, 0x7E}},                    // one byte
        {{0x55, 0x01}, {0x55, 0x01, 0x01, 0x7E}},              // two bytes
        {{0x55, 0x0E, 0x02, 0x00}, {0x55, 0x0E, 0x01, 0x03}},  // byte 2 claims more than sent
        {{0x55, 0x0E, 0x01, 0x00}, {0x55, 0x0E, 0x01, 0x03}},  // start without channel byte
        {{0x55, 0x04, 0x0A, 0x04, 0x00}, {0x55, 0x04, 0x01, 0x03}},
        {{0x55, 0x04, 0x02, 0x04, 0x00}, {0x55, 0x04, 0x01, 0x03}},
        {Bytes(65, 0x55), {0x55, 0x55, 0x01, 0x03}},  // longer than an interrupt packet
    };
    for (const auto& [req, reply] : cases) {
        EXPECT_EQ(command(*d.dev, req), reply) << "request of " << req.size() << " bytes";
    }
    // A zero-length write is not a request: nothing to read afterwards.
    int n = 0;
    EXPECT_EQ(d.dev->transferOut(0x01, nullptr, 0, 100, &n), LIBUSB_SUCCESS);
    uint8_t buf[64];
    EXPECT_EQ(d.dev->transferIn(0x81, buf, 64, 30, &n), LIBUSB_ERROR_TIMEOUT);
    // Trailing padding after a complete request is ignored.
    Bytes padded{0x55, 0x13, 0x01, 0x01};
    padded.resize(64, 0);
    EXPECT_EQ(command(*d.dev, padded), (Bytes{0x55, 0x13, 0x02, 0x00, 0x02}));
    EXPECT_GE(d.fw->counters().malformed, 8u);
}

TEST(FdSimCommands, ReplyLargerThanReadBufferOverflows) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 41);
    const Bytes req{0x55, 0x01, 0x01, 0x01};
    int n = 0;
    ASSERT_EQ(d.dev->transferOut(0x01, req.data(), 4, 100, &n), LIBUSB_SUCCESS);
    uint8_t buf[3];
    EXPECT_EQ(d.dev->transferIn(0x81, buf, 3, 100, &n), LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(n, 3);
}

TEST(FdSimCommands, TransfersOnWrongEndpointsOrWithBadArguments) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 41);
    uint8_t buf[8] = {0x55, 0x13, 0x01, 0x01};
    int n = -1;
    EXPECT_EQ(d.dev->transferOut(0x81, buf, 4, 100, &n), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(d.dev->transferOut(0x03, buf, 4, 100, &n), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(d.dev->transferIn(0x01, buf, 8, 100, &n), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(d.dev->transferIn(0x84, buf, 8, 100, &n), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(d.dev->transferOut(0x01, buf, -1, 100, &n), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(d.dev->transferOut(0x02, nullptr, 5, 100, &n), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(d.dev->transferIn(0x83, buf, -5, 100, &n), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(d.dev->transferIn(0x81, nullptr, 8, 100, &n), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(d.fw->counters().commands, 0u);
}

}  // namespace
