// Transmit pacing of the classic adapter: with no acknowledgement in its
// protocol, a write of frame records waits while the transmit buffer is full;
// frames take their wire time on the bus and are stamped at their end.
#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "classic/classic_firmware.h"
#include "virtual_device.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

double usSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// A request on 0x01 and its answer on 0x81.
Bytes ask(ksim::VirtualDevice& d, Bytes req) {
    Bytes reply(64);
    int n = 0;
    EXPECT_EQ(d.transferOut(0x01, req.data(), int(req.size()), 100, &n), LIBUSB_SUCCESS);
    EXPECT_EQ(d.transferIn(0x81, reply.data(), 64, 1000, &n), LIBUSB_SUCCESS);
    reply.resize(size_t(n));
    return reply;
}

// Both channels initialised (BTR0, BTR1) and started.
std::unique_ptr<ksim::VirtualDevice> adapter(int ordinal, uint8_t btr0, uint8_t btr1) {
    auto d = ksim::createVirtualDevice(0x0471, 0x1200, ordinal);
    for (uint8_t ch : {0, 1}) {
        const uint8_t m = uint8_t(ch << 4);
        EXPECT_EQ(ask(*d, {0x12, 0x03, 0x06, 0x00, m, btr0, btr1, 0x02, 0x57})[2], 0x81 + ch);
        EXPECT_EQ(ask(*d, {0x12, 0x0E, 0x02, 0x00, m}), (Bytes{0x12, 0x0E, 0x02, 0x00, m}));
    }
    return d;
}

// n records for channel 0: byte 6 is ext << 7 | rtr << 6 | channel << 4 | length.
Bytes records(size_t n, uint8_t kind) {
    Bytes b;
    for (size_t i = 0; i < n; ++i) {
        const Bytes r{0, 0, 0, 0, 0, 0, uint8_t(kind | 8), 0x20, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
        b.insert(b.end(), r.begin(), r.end());
    }
    return b;
}

void write(ksim::VirtualDevice& d, const Bytes& b) {
    int n = 0;
    ASSERT_EQ(d.transferOut(0x02, b.data(), int(b.size()), 1000, &n), LIBUSB_SUCCESS);
    ASSERT_EQ(n, int(b.size()));
}

TEST(ClassicPacing, WritesWaitForTheBusAndFramesArriveAtWireSpeed) {
    constexpr size_t kBuffer = ksim::classic::ClassicFirmware::kTxBuffer;
    const struct {
        const char* what;
        uint8_t kind;
        double wireUs;  // reference bit counts at 1 Mbit/s
        size_t frames;  // about 50 ms of bus time
    } cases[] = {
        {"standard, 8 bytes", 0x00, 111, 450},
        {"extended, 8 bytes", 0x80, 131, 390},
        {"remote: no data bits", 0x40, 47, 1080},
    };
    for (const auto& c : cases) {
        auto d = adapter(40, 0x00, 0x14);
        // A full buffer in one transfer, then three records a transfer, as
        // the driver writes them.
        const auto t0 = Clock::now();
        write(*d, records(kBuffer, c.kind));
        for (size_t sent = kBuffer; sent < c.frames; sent += 3) {
            write(*d, records(3, c.kind));
        }
        EXPECT_GE(usSince(t0), (c.frames - kBuffer) * c.wireUs) << c.what << ": ran ahead";
        Bytes s;
        while (s.size() < c.frames * 19) {
            Bytes b(4096);
            int n = 0;
            ASSERT_EQ(d->transferIn(0x82, b.data(), int(b.size()), 1000, &n), LIBUSB_SUCCESS)
                << c.what << " after " << s.size() / 19 << " frames";
            s.insert(s.end(), b.begin(), b.begin() + n);
        }
        const double busUs = c.frames * c.wireUs;
        EXPECT_GE(usSince(t0), busUs) << c.what << ": received before the frames left";
        EXPECT_LE(usSince(t0), 3 * busUs + 100000) << c.what << ": far below the wire rate";
        // The buffer's frames went out back to back; later ones never closer.
        double worst = 0, smallest = 1e9;
        for (size_t i = 1; i < c.frames; ++i) {
            const auto stamp = [&](size_t k) {
                return s[k * 19] | s[k * 19 + 1] << 8 | s[k * 19 + 2] << 16;
            };
            const double gap = (stamp(i) - stamp(i - 1)) & 0xFFFFFF;
            worst = i < kBuffer ? std::max(worst, std::fabs(gap - c.wireUs)) : worst;
            smallest = std::min(smallest, gap);
        }
        EXPECT_LE(worst, 1.0) << c.what;
        EXPECT_GE(smallest, c.wireUs - 1) << c.what;
    }
}

TEST(ClassicPacing, ChannelStateTellsWhenTheFramesHaveGone) {
    auto d = adapter(41, 0x31, 0x1C);  // 10 kbit/s: 16 frames take 178 ms
    const Bytes query{0x12, 0x80, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(ask(*d, query)[5] & 0x0C, 0x0C) << "idle: buffer free, transmission complete";
    write(*d, records(16, 0x00));
    const auto written = Clock::now();
    EXPECT_EQ(ask(*d, query)[5] & 0x08, 0) << "frames still on the bus";
    std::this_thread::sleep_until(written + std::chrono::milliseconds(200));
    EXPECT_EQ(ask(*d, query)[5] & 0x0C, 0x0C);
}

}  // namespace
