// Bad input from the host: short, oversized and foreign requests, channel
// numbers out of range, unknown codes, and random bytes on every endpoint.
#include "simclassic_util.h"

#include <random>

using namespace simcl;

namespace {

struct Case {
    const char* what;
    Bytes request;
    Bytes reply;  // empty: no answer at all
};

TEST(ClassicMalformed, EveryBadRequestGetsAShortAnswer) {
    const Case cases[] = {
        {"empty write", {}, {}},
        {"one byte", {0x12}, {0x12, 0x00, 0x01, 0x7E}},
        {"wrong prefix", {0x55, 0x01, 0x01, 0x01}, {0x55, 0x01, 0x01, 0x7E}},
        {"no count byte", {0x12, 0x01}, {0x12, 0x01, 0x01, 0x03}},
        {"count beyond the request", {0x12, 0x0E, 0x02, 0x00}, {0x12, 0x0E, 0x01, 0x03}},
        {"start with count 1", {0x12, 0x0E, 0x01, 0x00}, {0x12, 0x0E, 0x01, 0x03}},
        {"relay set with count 1", {0x12, 0xB1, 0x01, 0x05}, {0x12, 0xB1, 0x01, 0x03}},
        {"init with count 5",
         {0x12, 0x03, 0x05, 0x00, 0x00, 0x00, 0x1C, 0x02, 0x57},
         {0x12, 0x03, 0x01, 0x03}},
        {"unknown code", {0x12, 0x42, 0x00}, {0x12, 0x42, 0x01, 0x7F}},
        {"start channel 3", {0x12, 0x0E, 0x02, 0x00, 0x30}, {0x12, 0x0E, 0x02, 0x01, 0x30}},
        {"reset channel 15", {0x12, 0x0F, 0x02, 0x00, 0xF0}, {0x12, 0x0F, 0x02, 0x01, 0xF0}},
        {"timing query channel 2",
         {0x12, 0xA4, 0x01, 0x02},
         {0x12, 0xA4, 0x06, 0x01, 0x02, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        Classic d = makeClassic(70);
        EXPECT_EQ(command(*d.dev, c.request, 50), c.reply) << c.what;
        EXPECT_FALSE(d.fw->channel(0).initialised);
    }
    // 65 bytes do not fit the interrupt packet.
    Classic d = makeClassic(70);
    Bytes big(65, 0x00);
    big[0] = 0x12;
    big[1] = 0xA7;
    EXPECT_EQ(command(*d.dev, big), (Bytes{0x12, 0xA7, 0x01, 0x03}));
    int n = 0;
    EXPECT_EQ(d.dev->transferOut(0x03, big.data(), 4, 10, &n), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(d.dev->transferIn(0x83, big.data(), 4, 10, &n), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(d.dev->transferOut(0x01, nullptr, 4, 10, &n), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(d.dev->transferIn(0x81, big.data(), -1, 10, &n), LIBUSB_ERROR_INVALID_PARAM);
}

TEST(RecorderMalformed, EveryBadRequestGetsAShortAnswer) {
    const Case cases[] = {
        {"empty write", {}, {}},
        {"two bytes", {0x55, 0x01}, {0x55, 0x01, 0x01, 0x7E}},
        {"wrong prefix", {0x12, 0x01, 0x01, 0x01}, {0x12, 0x01, 0x01, 0x7E}},
        {"unknown code", {0x55, 0x77, 0x00}, {0x55, 0x77, 0x01, 0x7F}},
        {"filter read without index", {0x55, 0x05, 0x01, 0x00, 0x00}, {0x55, 0x05, 0x01, 0x03}},
        {"filter read channel 9", {0x55, 0x05, 0x00, 0x09, 0x00, 0x00}, {0x55, 0x05, 0x01, 0x01}},
    };
    for (const Case& c : cases) {
        Recorder r = makeRecorder(kPidRecord1, 71);
        EXPECT_EQ(command(*r.dev, c.request, 50), c.reply) << c.what;
    }
}

// Random requests and records: the firmware answers or drops them, never
// crashes (the sanitizer build checks its memory use), and keeps serving.
TEST(FirmwareFuzz, RandomBytesOnEveryEndpointLeaveTheFirmwareWorking) {
    std::mt19937 rng(20240611);
    Classic d = makeClassic(72);
    Recorder r = makeRecorder(kPidRecord2, 73);
    bringUp(*d.dev, 0, k500k);
    bringUp(*d.dev, 1, k500k);
    uint8_t buf[128];
    int n = 0;
    for (int i = 0; i < 3000; ++i) {
        Bytes junk(rng() % 100);
        for (uint8_t& b : junk) {
            b = static_cast<uint8_t>(rng());
        }
        if (!junk.empty() && rng() % 2 == 0) {
            junk[0] = rng() % 2 ? 0x12 : 0x55;
        }
        d.dev->transferOut(0x01, junk.data(), static_cast<int>(junk.size()), 10, &n);
        d.dev->transferIn(0x81, buf, static_cast<int>(rng() % 65), 0 + 1, &n);
        d.dev->transferOut(0x02, junk.data(), static_cast<int>(junk.size()), 10, &n);
        d.dev->transferIn(0x82, buf, static_cast<int>(rng() % 128), 1, &n);
        r.dev->transferOut(0x01, junk.data(), static_cast<int>(junk.size()), 10, &n);
        r.dev->transferIn(0x81, buf, static_cast<int>(rng() % 65), 1, &n);
    }
    // Both still answer properly afterwards.
    d.dev->usbReset();
    EXPECT_EQ(command(*d.dev, {0x12, 0x13, 0x01, 0x00}), (Bytes{0x12, 0x13, 0x02, 0x00, 0x02}));
    r.dev->usbReset();
    EXPECT_EQ(command(*r.dev, {0x55, 0x13, 0x01, 0x01}), (Bytes{0x55, 0x13, 0x02, 0x00, 0x02}));
}

}  // namespace
