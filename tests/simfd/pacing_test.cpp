// Transmit pacing: frames take their wire time on the bus, a packet is
// acknowledged once its frames have left, and the receiving channel stamps
// each frame with its end on the bus.
#include <algorithm>
#include <cmath>

#include "simfd_util.h"

using namespace simfd;
using Clock = std::chrono::steady_clock;

namespace {

double usSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// Largest deviation of consecutive stamps from `wireUs`; the smallest gap.
std::pair<double, double> stampGaps(const std::vector<RxRecord>& got, double wireUs) {
    double worst = 0, smallest = 1e9;
    for (size_t i = 1; i < got.size(); ++i) {
        const double gap = static_cast<uint32_t>(got[i].timeStamp - got[i - 1].timeStamp);
        worst = std::max(worst, std::fabs(gap - wireUs));
        smallest = std::min(smallest, gap);
    }
    return {worst, smallest};
}

// Bit counts from the reference table, at 1 Mbit/s with a 5 Mbit/s data phase.
TEST(FdSimPacing, FramesLeaveAtWireSpeedAndAreAcknowledgedAfterwards) {
    const struct {
        const char* what;
        uint8_t flags, len;
        double wireUs;
        uint32_t frames;  // about 50 ms of bus time
    } cases[] = {
        {"classic standard, 8 bytes", 0x00, 8, 111, 500},
        {"classic extended, 8 bytes", 0x04, 8, 131, 400},
        {"classic remote: no data bits", 0x02, 8, 47, 1000},
        {"FD 64 bytes with BRS", 0x11, 64, 30 + 549 / 5.0, 400},
        {"FD 64 bytes without BRS", 0x01, 64, 579, 100},
    };
    for (const auto& c : cases) {
        Device d(kVidDunlin, kPidDunlin, 70);
        d.up(0, 60, k60_1M, k60_5M);
        d.up(1, 60, k60_1M, k60_5M);
        std::vector<Bytes> packets;
        for (uint32_t id = 0; id < c.frames; id += 10) {
            std::vector<TxRecord> recs;
            for (uint32_t i = id; i < id + 10; ++i) {
                recs.push_back({0, c.flags, i, c.len, Bytes(c.len, 0x5A)});
            }
            packets.push_back(packet(recs));
        }
        // The host writes every packet before it reads an acknowledgement,
        // so the bus never waits for it.
        const auto t0 = Clock::now();
        for (const Bytes& p : packets) {
            int n = 0;
            ASSERT_EQ(d.dev->transferOut(0x02, p.data(), int(p.size()), 1000, &n), LIBUSB_SUCCESS);
        }
        for (size_t i = 0; i < packets.size(); ++i) {
            ASSERT_EQ(d.read(0x82, 2000, 64), ack(0, 10)) << c.what << " packet " << i;
        }
        const double busUs = c.frames * c.wireUs;
        const double elapsedUs = usSince(t0);
        EXPECT_GE(elapsedUs, busUs) << c.what << ": acknowledged before the frames left";
        // Generous: the host's own work and a loaded machine add to the bus time.
        EXPECT_LE(elapsedUs, 3 * busUs + 100000) << c.what << ": far below the wire rate";
        const auto got = d.collect(c.frames, 2000);
        ASSERT_EQ(got.size(), c.frames) << c.what;
        EXPECT_LE(stampGaps(got, c.wireUs).first, 1.0) << c.what;
    }
}

TEST(FdSimPacing, ChannelsOfOneSegmentTakeTurnsOnTheBus) {
    Device d(kVidDunlin, kPidDunlin, 71);
    d.up(0, 60, k60_1M, k60_5M);
    d.up(1, 60, k60_1M, k60_5M);
    // Both ends of the loopback pair send ten frames at once; the receivers
    // share the adapter's clock, so all twenty stamps lie on one time line.
    for (uint8_t ch : {0, 1}) {
        std::vector<TxRecord> recs(10, TxRecord{ch, 0, ch, 8, Bytes(8, 0)});
        const Bytes p = packet(recs);
        int n = 0;
        ASSERT_EQ(d.dev->transferOut(0x02, p.data(), int(p.size()), 1000, &n), LIBUSB_SUCCESS);
    }
    auto got = d.collect(20, 2000);
    ASSERT_EQ(got.size(), 20u);
    std::sort(got.begin(), got.end(),
              [](const RxRecord& a, const RxRecord& b) { return a.timeStamp < b.timeStamp; });
    EXPECT_GE(stampGaps(got, 111).second, 110.0) << "two frames on the segment at once";
}

}  // namespace
