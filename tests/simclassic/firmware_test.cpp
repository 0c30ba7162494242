// The virtual classic adapter and recorder through the device seam, as a host
// drives them. The scripted adapter pins the drivers to the wire formats;
// these pin the firmware the end-to-end runs use to the same formats and to
// the refusals (not started, not initialised, rates apart, power-on state)
// without which a driver fault would pass there unnoticed.
#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../classic/hex_text.h"
#include "virtual_device.h"

namespace {

using hextext::bytes;
using hextext::hex;
using Bytes = std::vector<uint8_t>;

// "?" in the pattern matches any one character.
bool like(const std::string& text, const std::string& pattern) {
    return text.size() == pattern.size() &&
           std::equal(text.begin(), text.end(), pattern.begin(),
                      [](char t, char p) { return p == '?' || t == p; });
}

// Writes a request (hex text) on 0x01 and returns the answer on 0x81, "" when none.
std::string ask(ksim::VirtualDevice& d, const std::string& request, unsigned timeoutMs = 1000) {
    Bytes req = bytes(request), reply(64);
    int n = 0;
    EXPECT_EQ(d.transferOut(0x01, req.data(), static_cast<int>(req.size()), 100, &n), 0);
    if (d.transferIn(0x81, reply.data(), 64, timeoutMs, &n) != LIBUSB_SUCCESS) {
        return "";
    }
    reply.resize(static_cast<size_t>(n));
    return hex(reply);
}

using Exchange = std::pair<std::string, std::string>;  // request, reply pattern

void expectExchanges(ksim::VirtualDevice& d, const std::vector<Exchange>& script) {
    for (const Exchange& e : script) {
        EXPECT_PRED2(like, ask(d, e.first), e.second) << e.first;
    }
}

// One stream read of up to capacity bytes; empty on time-out.
Bytes readStream(ksim::VirtualDevice& d, unsigned timeoutMs, int capacity = 64) {
    Bytes b(static_cast<size_t>(capacity));
    int n = 0;
    if (d.transferIn(0x82, b.data(), capacity, timeoutMs, &n) != LIBUSB_SUCCESS) {
        return {};
    }
    b.resize(static_cast<size_t>(n));
    return b;
}

void writeRecords(ksim::VirtualDevice& d, const std::string& records) {
    Bytes b = bytes(records);
    int n = 0;
    ASSERT_EQ(d.transferOut(0x02, b.data(), static_cast<int>(b.size()), 100, &n), 0);
    ASSERT_EQ(n, static_cast<int>(b.size()));
}

constexpr uint16_t kClassic = 0x1200;
const char* const kInit0At500k = "12 03 06 00 00 00 1c 02 57";
const char* const kInit1At500k = "12 03 06 00 10 00 1c 02 57";
const char* const kStart0 = "12 0e 02 00 00";
const char* const kStart1 = "12 0e 02 00 10";
// A host record on channel 0: standard 0x123 with three bytes (time stamp and
// flag bytes do not travel).
const char* const kStdRecord = "de ad be ef 5a a5 03 60 24 00 00 11 22 33 00 00 00 00 00";

TEST(ClassicFirmware, AnswersEveryDriverCommandInTheLayoutTheDriverReads) {
    auto d = ksim::createVirtualDevice(0x0471, kClassic, 20);
    ASSERT_EQ(d->control({"board", "serial", "SN-7"}), "ok");
    ASSERT_EQ(d->control({"board", "hwtype", "USBCAN-2C PLUS"}), "ok");
    expectExchanges(
        *d, {
                {"12 01 01 00", "12 01 03 00 ?? ??"},  // exactly 6 bytes, version in 4 and 5
                {"12 12 01 00", "12 12 03 00 ?? ??"},
                {"12 13 01 00", "12 13 02 00 02"},  // channel count last
                {"12 14 01 00", "12 14 05 00 53 4e 2d 37"},
                {"12 15 01 00", "12 15 0f 00 55 53 42 43 41 4e 2d 32 43 20 50 4c 55 53"},
                {kStart0, "12 0e 02 04 00"},  // not initialised
                {kInit0At500k, "12 03 81 00 00 1c"},
                {"12 03 06 00 90 00 14 02 57", "12 03 82 90 00 14"},  // mode 1, channel 1
                {"12 03 06 00 00 00 1c 02 58", "12 03 80 00 00 1c"},  // wrong closing byte
                {"12 03 06 00 10 00 13 02 57", "12 03 80 10 00 13"},  // 7 quanta: refused
                {kStart0, kStart0},
                {"12 a4 01 00", "12 a4 06 00 00 00 00 00 1c"},  // timing bytes in 6 and 8
                {"12 a4 01 01", "12 a4 06 00 01 00 00 00 14"},  // the refusal kept channel 1
                {"12 80 01 00 00 00", "12 80 09 00 00 0c 03 00 1c 00 00 00"},
                {"12 b1 02 5a 01", "12 b1 02 5a 01"},
                {"12 b2 02 00 00", "12 b2 02 5a 01"},
                {"12 a7 01 02 03", "12 a7 01 02 03"},
                {"12 0f 02 00 00", "12 0f 02 00 00"},
                {kStart0, kStart0},  // a reset channel stays initialised
            });
}

TEST(ClassicFirmware, RecordsCrossOnlyBetweenStartedChannelsOfEqualRate) {
    auto d = ksim::createVirtualDevice(0x0471, kClassic, 22);
    expectExchanges(*d, {{kInit0At500k, "12 03 81 ?? ?? ??"},
                         {kStart0, kStart0},
                         {kInit1At500k, "12 03 82 ?? ?? ??"}});
    writeRecords(*d, kStdRecord);
    EXPECT_TRUE(readStream(*d, 50).empty()) << "channel 1 is not started";
    ASSERT_PRED2(like, ask(*d, kStart1), kStart1);
    // Extended 0x12345678 with eight bytes; channel 1's remote frame 0x7FF
    // with length 4 goes to channel 0.
    writeRecords(*d, std::string(kStdRecord) +
                         " 00 00 00 00 00 00 88 c0 b3 a2 91 01 02 03 04 05 06 07 08"
                         " 00 00 00 00 00 00 54 e0 ff 00 00 00 00 00 00 00 00 00 00");
    writeRecords(*d, kStdRecord);
    // The four frames take 0.64 ms on the bus at 500 kbit/s; once they have
    // left, a tight stream of 19-byte records, whatever the read size; bytes
    // 0..2 are the adapter's clock.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Bytes s = readStream(*d, 1000);
    ASSERT_EQ(s.size(), 64u);
    const Bytes rest = readStream(*d, 1000);
    s.insert(s.end(), rest.begin(), rest.end());
    EXPECT_PRED2(like, hex(s),
                 "?? ?? ?? 01 00 00 13 60 24 00 00 11 22 33 00 00 00 00 00 "
                 "?? ?? ?? 01 00 00 98 c0 b3 a2 91 01 02 03 04 05 06 07 08 "
                 "?? ?? ?? 01 00 00 44 e0 ff 00 00 00 00 00 00 00 00 00 00 "
                 "?? ?? ?? 01 00 00 13 60 24 00 00 11 22 33 00 00 00 00 00");
    // Reset takes channel 1 off the bus; unequal rates keep the channels apart.
    expectExchanges(*d, {{"12 0f 02 00 10", "12 0f 02 00 10"}});
    writeRecords(*d, kStdRecord);
    EXPECT_TRUE(readStream(*d, 50).empty()) << "channel 1 was reset";
    expectExchanges(*d, {{"12 03 06 00 10 01 1c 02 57", "12 03 82 ?? ?? ??"}, {kStart1, kStart1}});
    writeRecords(*d, kStdRecord);
    EXPECT_TRUE(readStream(*d, 50).empty()) << "500 kbit/s against 250 kbit/s";
}

// What a driver's recovery relies on: after a USB reset or a power cycle the
// channels are down until initialised and started again.
TEST(ClassicFirmware, ResetAndPowerCycleReturnToThePowerOnState) {
    auto d = ksim::createVirtualDevice(0x0471, kClassic, 23);
    for (int cycle = 0; cycle < 2; ++cycle) {
        expectExchanges(*d, {{kInit0At500k, "12 03 81 ?? ?? ??"},
                             {kStart0, kStart0},
                             {kInit1At500k, "12 03 82 ?? ?? ??"},
                             {kStart1, kStart1},
                             {"12 b1 02 01 02", "12 b1 02 01 02"}});
        // Leave a frame in the stream, half read.
        writeRecords(*d, std::string(kStdRecord) + " " + kStdRecord);
        ASSERT_EQ(readStream(*d, 100, 10).size(), 10u);
        if (cycle == 0) {
            d->usbReset();
        } else {
            d->setAttached(false);
            d->setAttached(true);
        }
        EXPECT_TRUE(readStream(*d, 30).empty()) << cycle;
        expectExchanges(*d, {{kStart0, "12 0e 02 04 00"}, {"12 b2 02 00 00", "12 b2 02 00 00"}});
    }
}

// ---- Recorder ----------------------------------------------------------------------

// The 25 setting bytes: options, isoMode 2, mode, clock 80, abitTiming
// 0x12345678 as 48 00 68 78 00 56 00, clock 80, dbitTiming fields, flags, params.
const std::string kSettings =
    "01 02 01 50 00 48 00 68 78 00 56 00 50 00 ff 03 7f ff 00 7f 00 03 a1 b2 c3";
const std::string kZeroSettings =
    "00 00 00 50 00 00 00 00 00 00 00 00 50 00 00 00 00 00 00 00 00 00 01 02 03";

TEST(RecorderFirmware, KeepsSettingsAndFiltersPerChannelAsWritten) {
    auto r = ksim::createVirtualDevice(0x0471, 0x2601, 31);
    const std::string stored1 = "55 a4 01 " + kSettings;
    const std::string stored0 = "55 a4 00 " + kZeroSettings;
    expectExchanges(*r,
                    {
                        {"55 01 01 01", "55 01 03 00 ?? ??"},
                        {"55 12 01 01", "55 12 03 00 ?? ??"},
                        {"55 13 01 01", "55 13 02 00 02"},
                        {"55 03 01 " + kSettings, "55 03 02 00 01"},
                        {"55 03 00 " + kZeroSettings, "55 03 02 00 00"},
                        {"55 a4 01", stored1},  // isoMode 2 comes back whole
                        {"55 a4 00", stored0},
                        {"55 05 00 01 00 00", "55 05 04 00 00 00 00"},
                        {"55 04 01 01 00 00 01 00 00 ff 01 00 00", "55 04 03 00 01 01"},
                        {"55 04 01 01 ee 78 56 34 12 ff ff ff 1f", "55 04 03 00 01 01"},
                        {"55 04 02 01 00 00 00 00 00 00 00 00 00", "55 04 03 00 02 01"},
                        {"55 05 00 01 00 00", "55 05 04 00 02 00 01"},
                        {"55 05 01 01 01 00", "55 05 0a 00 ee 78 56 34 12 ff ff ff 1f"},
                        {"55 04 03 01 00 00 00 00 00 00 00 00 00", "55 04 03 00 03 01"},
                        {"55 05 00 01 00 00", "55 05 04 00 02 00 00"},  // disabled, entries kept
                    });
    // Stored in the recorder: a USB reset and a power cycle keep them.
    r->usbReset();
    r->setAttached(false);
    r->setAttached(true);
    expectExchanges(*r, {{"55 a4 01", stored1}, {"55 05 00 01 00 00", "55 05 04 00 02 00 00"}});
}

}  // namespace
