// Frame records both ways: host records onto the bus, received frames as
// stream records; bit-rate matching; channels shared with FD adapters.
#include "simclassic_util.h"

using namespace simcl;

namespace {

TEST(ClassicFrames, HostRecordsArriveOnThePartnerChannelByteForByte) {
    Classic d = makeClassic(32);
    bringUp(*d.dev, 0, k500k);
    bringUp(*d.dev, 1, k500k);
    Bytes out = records({
        Frame{0, 0x123, false, false, 3, {0x11, 0x22, 0x33}, 0xDEADBEEF},
        Frame{0, 0x12345678, true, false, 8, {1, 2, 3, 4, 5, 6, 7, 8}, 0},
        Frame{1, 0x7FF, false, true, 4, {}, 0},
    });
    out[4] = 0x5A;  // the host's frame flags and transmit option do not travel
    out[5] = 0xA5;
    writeRecords(*d.dev, out);
    Bytes s;
    for (int i = 0; i < 20 && s.size() < 57; ++i) {
        const Bytes b = readStream(*d.dev, 100);
        s.insert(s.end(), b.begin(), b.end());
    }
    ASSERT_EQ(s.size(), 57u);
    // Bytes 3..18 of each record are fixed by the frame; 0..2 are the clock.
    const Bytes want0{0x01, 0x00, 0x00, 0x13, 0x60, 0x24, 0x00, 0x00,
                      0x11, 0x22, 0x33, 0,    0,    0,    0,    0};
    const Bytes want1{0x01, 0x00, 0x00, 0x98, 0xC0, 0xB3, 0xA2, 0x91, 1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes want2{0x01, 0x00, 0x00, 0x44, 0xE0, 0xFF, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(s.begin() + 3, s.begin() + 19), want0);
    EXPECT_EQ(Bytes(s.begin() + 22, s.begin() + 38), want1);
    EXPECT_EQ(Bytes(s.begin() + 41, s.begin() + 57), want2);
    // Time stamps: microseconds since power-on, in order, not in the future.
    const auto got = parseRecords(s);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_LE(got[0].micros, got[1].micros);
    EXPECT_LE(got[1].micros, got[2].micros);
    EXPECT_LE(got[2].micros, d.fw->adapterMicros() & 0xFFFFFF);
    EXPECT_EQ(d.fw->channel(0).txFrames, 2u);
    EXPECT_EQ(d.fw->channel(1).rxFrames, 2u);
    EXPECT_EQ(d.fw->channel(0).rxFrames, 1u);
}

TEST(ClassicFrames, BatchesOfThreeAndLongerTransfersKeepOrder) {
    Classic d = makeClassic(33);
    bringUp(*d.dev, 0, k1M);
    bringUp(*d.dev, 1, k1M);
    std::vector<Frame> frames;
    for (uint32_t i = 0; i < 7; ++i) {
        frames.push_back(Frame{0, 0x100 + i, false, false, 1, {static_cast<uint8_t>(i)}});
    }
    const Bytes all = records(frames);
    // 57, 57 and 19 bytes, as the driver batches them; then all 7 at once.
    writeRecords(*d.dev, Bytes(all.begin(), all.begin() + 57));
    writeRecords(*d.dev, Bytes(all.begin() + 57, all.begin() + 114));
    writeRecords(*d.dev, Bytes(all.begin() + 114, all.end()));
    writeRecords(*d.dev, all);
    const auto got = collect(*d.dev, 14, 2000);
    ASSERT_EQ(got.size(), 14u);
    for (size_t i = 0; i < 14; ++i) {
        EXPECT_EQ(got[i].id, 0x100 + i % 7) << i;
        EXPECT_EQ(got[i].ch, 1);
        EXPECT_EQ(got[i].data[0], i % 7);
    }
    EXPECT_EQ(d.fw->counters().records, 14u);
}

TEST(ClassicFrames, BadRecordsAreRefusedOneByOne) {
    Classic d = makeClassic(34);
    bringUp(*d.dev, 0, k250k);
    bringUp(*d.dev, 1, k250k);
    Bytes bad = records({Frame{0, 0x1, false, false, 1, {1}}, Frame{0, 0x2, false, false, 1, {2}},
                         Frame{0, 0x3, false, false, 1, {3}}, Frame{0, 0x4, false, false, 1, {4}}});
    bad[19 + 6] |= 0x20;  // second record: channel 2
    bad[38 + 6] = 0x09;   // third record: length 9
    bad.push_back(0x77);  // a partial record after the fourth
    writeRecords(*d.dev, bad);
    const auto got = collect(*d.dev, 3, 300);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, 0x1u);
    EXPECT_EQ(got[1].id, 0x4u);
    const auto k = d.fw->counters();
    EXPECT_EQ(k.records, 2u);
    EXPECT_EQ(k.refusedRecords, 2u);
    EXPECT_EQ(k.malformed, 1u);
    // A channel that is not started sends nothing.
    ASSERT_EQ(command(*d.dev, resetCmd(0)), (Bytes{0x12, 0x0F, 0x02, 0x00, 0x00}));
    writeRecords(*d.dev, hostRecord(Frame{0, 0x5, false, false, 0, {}}));
    EXPECT_EQ(readStream(*d.dev, 50), Bytes{});
    EXPECT_EQ(d.fw->counters().refusedRecords, 3u);
}

struct RatePair {
    const char* what;
    Rate tx, rx;
    bool arrives;
};

TEST(ClassicFrames, FramesPassOnlyBetweenEqualBitRates) {
    const RatePair cases[] = {
        {"500k to 500k", k500k, k500k, true},
        {"500k to 250k", k500k, k250k, false},
        {"800k to 1M", k800k, k1M, false},
        {"50k to 100k", k50k, k100k, false},
        {"125k to 125k", k125k, k125k, true},
        // Different registers, same bit rate: jump width 2 against 1.
        {"250k, two register sets", k250k, Rate{250000, 0x41, 0x1C}, true},
    };
    for (const RatePair& c : cases) {
        Classic d = makeClassic(35);
        bringUp(*d.dev, 0, c.tx);
        bringUp(*d.dev, 1, c.rx);
        writeRecords(*d.dev, hostRecord(Frame{0, 0x42, false, false, 2, {9, 9}}));
        const auto got = collect(*d.dev, 1, c.arrives ? 1000 : 60);
        EXPECT_EQ(got.size(), c.arrives ? 1u : 0u) << c.what;
        EXPECT_EQ(d.fw->counters().framesUnheard, c.arrives ? 0u : 1u) << c.what;
    }
}

// FD adapter stream: 7-byte packet header, then 19-byte classic records.
std::vector<Received> fdCollect(ksim::VirtualDevice& fd, size_t want, unsigned timeoutMs) {
    std::vector<Received> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < want && std::chrono::steady_clock::now() < end) {
        Bytes b(4096);
        int n = 0;
        if (fd.transferIn(0x83, b.data(), 4096, 50, &n) != LIBUSB_SUCCESS) {
            continue;
        }
        for (size_t p = 7; p + 19 <= static_cast<size_t>(n); p += 19) {
            Received r;
            r.ch = b[p] >> 4;
            r.ext = (b[p + 1] & 0x04) != 0;
            r.id = le32(&b[p + 6]);
            r.len = b[p + 10];
            r.data.assign(b.begin() + static_cast<long>(p + 11),
                          b.begin() + static_cast<long>(p + 19));
            out.push_back(r);
        }
    }
    return out;
}

TEST(ClassicFrames, SharesABusSegmentWithAnFdAdapterInClassicMode) {
    WiringGuard guard;
    Classic d = makeClassic(36);
    std::unique_ptr<ksim::VirtualDevice> fd = ksim::createVirtualDevice(0x3068, 0x0009, 37);
    ASSERT_NE(fd, nullptr);
    ksim::WiringPlan plan;
    plan.defaultPairs = false;
    plan.segments.push_back(
        {ksim::BusEndpoint{kVid, kPidClassic, 36, 1}, ksim::BusEndpoint{0x3068, 0x0009, 37, 0}});
    ksim::VirtualBus::instance().setWiring(plan);

    struct Case {
        const char* what;
        uint32_t fdWord;
        uint8_t fdFlag;
        Rate classic;
        bool arrives;
    };
    const Case cases[] = {
        {"FD channel classic-only at 500k", kFd60_500k, 0, k500k, true},
        {"FD channel in FD mode, 500k arbitration", kFd60_500k, 1, k500k, true},
        {"1M against 500k", kFd60_1M, 0, k500k, false},
        {"250k against 250k", kFd60_250k, 0, k250k, true},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(command(*fd, fdBitTiming(0, 60, c.fdWord, c.fdFlag)),
                  (Bytes{0x55, 0x03, 0x02, 0x00, 0x00}))
            << c.what;
        ASSERT_EQ(command(*fd, {0x55, 0x0E, 0x02, 0x00, 0x00}),
                  (Bytes{0x55, 0x0E, 0x02, 0x00, 0x00}));
        bringUp(*d.dev, 1, c.classic);
        // Classic to FD.
        writeRecords(*d.dev, hostRecord(Frame{1, 0x1ABCDE, true, false, 2, {0xCA, 0xFE}}));
        const auto atFd = fdCollect(*fd, 1, c.arrives ? 1000 : 60);
        ASSERT_EQ(atFd.size(), c.arrives ? 1u : 0u) << c.what;
        if (c.arrives) {
            EXPECT_EQ(atFd[0].id, 0x1ABCDEu);
            EXPECT_TRUE(atFd[0].ext);
            EXPECT_EQ(atFd[0].len, 2);
            EXPECT_EQ(atFd[0].data[1], 0xFE);
        }
        // FD adapter (classic frame) to classic.
        const Bytes pkt = fdPacket(0, 0x321, {7, 6, 5});
        int n = 0;
        ASSERT_EQ(fd->transferOut(0x02, pkt.data(), static_cast<int>(pkt.size()), 100, &n),
                  LIBUSB_SUCCESS);
        Bytes ack(64);
        ASSERT_EQ(fd->transferIn(0x82, ack.data(), 64, 1000, &n), LIBUSB_SUCCESS);
        const auto atClassic = collect(*d.dev, 1, c.arrives ? 1000 : 60);
        ASSERT_EQ(atClassic.size(), c.arrives ? 1u : 0u) << c.what;
        if (c.arrives) {
            EXPECT_EQ(atClassic[0].ch, 1);
            EXPECT_EQ(atClassic[0].id, 0x321u);
            EXPECT_EQ(atClassic[0].len, 3);
        }
    }
    // A CAN FD frame never reaches the classic controller.
    ASSERT_EQ(command(*fd, fdBitTiming(0, 60, kFd60_500k, 1)),
              (Bytes{0x55, 0x03, 0x02, 0x00, 0x00}));
    ASSERT_EQ(command(*fd, {0x55, 0x0E, 0x02, 0x00, 0x00}), (Bytes{0x55, 0x0E, 0x02, 0x00, 0x00}));
    bringUp(*d.dev, 1, k500k);
    const Bytes fdFrame = fdPacket(0, 0x55, Bytes(12, 0xEE), true);
    int n = 0;
    ASSERT_EQ(fd->transferOut(0x02, fdFrame.data(), static_cast<int>(fdFrame.size()), 100, &n),
              LIBUSB_SUCCESS);
    EXPECT_EQ(collect(*d.dev, 1, 100).size(), 0u);
}

}  // namespace
