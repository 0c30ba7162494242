// Frame wire lengths against the published reference values.
#include <gtest/gtest.h>

#include <cmath>

#include "bus/frame_timing.h"

using ksim::FrameShape;
using ksim::Stuffing;

namespace {

FrameShape shape(bool fd, bool ext, unsigned len, bool brs = false) {
    FrameShape s;
    s.fd = fd;
    s.ext = ext;
    s.len = static_cast<uint8_t>(len);
    s.brs = brs;
    return s;
}

struct BitsCase {
    FrameShape frame;
    uint32_t nominal, data, worstNominal, worstData;
};

TEST(FdSimFrameTiming, BitCountsMatchReferenceTable) {
    const BitsCase cases[] = {
        {shape(false, false, 8), 111, 0, 135, 0},
        {shape(false, true, 8), 131, 0, 160, 0},
        {shape(true, false, 64), 30, 549, 33, 679},
        {shape(true, true, 64), 49, 549, 57, 679},
    };
    for (const BitsCase& c : cases) {
        const auto none = ksim::frameBits(c.frame, Stuffing::None);
        const auto worst = ksim::frameBits(c.frame, Stuffing::WorstCase);
        EXPECT_EQ(none.nominal, c.nominal) << "fd=" << c.frame.fd << " ext=" << c.frame.ext;
        EXPECT_EQ(none.data, c.data);
        EXPECT_EQ(worst.nominal, c.worstNominal);
        EXPECT_EQ(worst.data, c.worstData);
    }
}

TEST(FdSimFrameTiming, RemoteFrameHasNoDataBits) {
    FrameShape remote = shape(false, false, 8);
    remote.rtr = true;
    EXPECT_EQ(ksim::frameBits(remote, Stuffing::None).nominal,
              ksim::frameBits(shape(false, false, 0), Stuffing::None).nominal);
}

struct RateCase {
    FrameShape frame;
    uint32_t arb, data;
    double fps;  // frames per second at 100 % load, without stuffing
};

TEST(FdSimFrameTiming, FramesPerSecondMatchReferenceTable) {
    const RateCase cases[] = {
        {shape(false, false, 8), 1000000, 0, 9009},
        {shape(false, true, 8), 1000000, 0, 7634},
        {shape(false, false, 0), 1000000, 0, 21277},
        {shape(false, false, 8), 500000, 0, 4505},
        {shape(true, false, 64, true), 500000, 2000000, 2990},
        {shape(true, false, 64, true), 1000000, 5000000, 7153},
        {shape(true, false, 8, true), 1000000, 5000000, 20325},
        {shape(true, false, 0, true), 1000000, 5000000, 27473},
    };
    for (const RateCase& c : cases) {
        const double fps = 1.0 / ksim::frameWireSeconds(c.frame, c.arb, c.data);
        EXPECT_NEAR(fps, c.fps, 0.5) << "len=" << int(c.frame.len) << " arb=" << c.arb;
    }
}

TEST(FdSimFrameTiming, FdWithoutBrsRunsWholeFrameAtArbitrationRate) {
    const double t = ksim::frameWireSeconds(shape(true, false, 8, false), 1000000, 5000000);
    const auto bits = ksim::frameBits(shape(true, false, 8), Stuffing::None);
    EXPECT_DOUBLE_EQ(t, (bits.nominal + bits.data) / 1e6);
    EXPECT_EQ(ksim::frameWireSeconds(shape(true, false, 8, true), 1000000, 0), 0.0);
    EXPECT_EQ(ksim::frameWireSeconds(shape(false, false, 8), 0, 0), 0.0);
}

TEST(FdSimFrameTiming, FdLengthsRoundUp) {
    const std::pair<unsigned, unsigned> cases[] = {{0, 0},   {8, 8},   {9, 12},  {12, 12},
                                                   {13, 16}, {17, 20}, {21, 24}, {25, 32},
                                                   {33, 48}, {49, 64}, {64, 64}, {200, 64}};
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(ksim::roundUpFdLength(in), out) << in;
        EXPECT_EQ(ksim::isFdLength(in), in == out) << in;
    }
    // A 9-byte FD frame occupies the bus like a 12-byte one.
    EXPECT_EQ(ksim::frameBits(shape(true, false, 9), Stuffing::None).data,
              ksim::frameBits(shape(true, false, 12), Stuffing::None).data);
}

}  // namespace
