// The virtual bus: default loopback pairs, wiring across adapters, and the
// bit-rate and format rules that decide whether a frame arrives.
#include <cstdlib>

#include "simfd_util.h"

using namespace simfd;

namespace {

const Bytes kAck1{0x55, 0xF2, 0x00, 0x01};

Bytes classic(uint8_t ch, uint32_t id) {
    return packet({TxRecord{ch, 0x00, id, 1, {0x42}}});
}
Bytes fdFrame(uint8_t ch, uint32_t id, bool brs = true) {
    return packet({TxRecord{ch, static_cast<uint8_t>(brs ? 0x11 : 0x01), id, 16, Bytes(16, 7)}});
}

TEST(FdSimBus, DefaultPairsLoopBackBothWaysButNeverToTheSender) {
    Device d = makeDevice(kVidZaro, kPid3014, 44);  // channels 0-1 and 2-3 paired
    for (uint8_t ch = 0; ch < 4; ++ch) {
        bringUp(*d.dev, ch, 60, k60_500k, k60_2M);
    }
    ASSERT_EQ(sendPacket(*d.dev, classic(0, 0x10)), kAck1);
    ASSERT_EQ(sendPacket(*d.dev, classic(1, 0x11)), kAck1);
    ASSERT_EQ(sendPacket(*d.dev, classic(3, 0x13)), kAck1);
    const auto got = collect(*d.dev, 3, 1000);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].ch, 1);
    EXPECT_EQ(got[0].id, 0x10u);
    EXPECT_EQ(got[1].ch, 0);
    EXPECT_EQ(got[1].id, 0x11u);
    EXPECT_EQ(got[2].ch, 2);
    EXPECT_EQ(got[2].id, 0x13u);
    EXPECT_EQ(readStream(*d.dev, 30), Bytes{});
    EXPECT_EQ(d.fw->counters().framesUnheard, 0u);
}

struct Pairing {
    const char* what;
    uint32_t txArb, txData;
    uint8_t txIso, txFd;
    uint32_t rxArb, rxData;
    uint8_t rxIso, rxFd;
    bool classicArrives, fdArrives;
};

TEST(FdSimBus, FramesArriveOnlyWhereRatesAndFormatMatch) {
    const Pairing cases[] = {
        {"same settings", k60_500k, k60_2M, 0, 1, k60_500k, k60_2M, 0, 1, true, true},
        {"arbitration differs", k60_500k, k60_2M, 0, 1, k60_250k, k60_2M, 0, 1, false, false},
        {"data rate differs", k60_500k, k60_2M, 0, 1, k60_500k, k60_5M, 0, 1, true, false},
        {"ISO against non-ISO", k60_500k, k60_2M, 1, 1, k60_500k, k60_2M, 0, 1, true, false},
        {"receiver classic only", k60_500k, k60_2M, 0, 1, k60_500k, k60_500k, 0, 0, true, false},
        {"1M against 800k", k60_1M, k60_5M, 0, 1, 0x0100020A /*800k*/, k60_5M, 0, 1, false, false},
    };
    for (const Pairing& c : cases) {
        Device d = makeDevice(kVidDunlin, kPidDunlin, 45);
        bringUp(*d.dev, 0, 60, c.txArb, c.txData, c.txIso, c.txFd);
        bringUp(*d.dev, 1, 60, c.rxArb, c.rxData, c.rxIso, c.rxFd);
        ASSERT_EQ(sendPacket(*d.dev, classic(0, 0x100)), kAck1) << c.what;
        ASSERT_EQ(sendPacket(*d.dev, fdFrame(0, 0x200)), kAck1) << c.what;
        const auto got = collect(*d.dev, 2, 150);
        size_t classics = 0, fds = 0;
        for (const RxRecord& r : got) {
            (r.flags & 0x01 ? fds : classics)++;
        }
        EXPECT_EQ(classics, c.classicArrives ? 1u : 0u) << c.what;
        EXPECT_EQ(fds, c.fdArrives ? 1u : 0u) << c.what;
        EXPECT_EQ(d.fw->counters().framesUnheard,
                  (c.classicArrives ? 0u : 1u) + (c.fdArrives ? 0u : 1u))
            << c.what;
    }
}

TEST(FdSimBus, StoppedOrUninitialisedReceiverGetsNothing) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 46);
    bringUp(*d.dev, 0, 60, k60_500k, k60_2M);
    ASSERT_EQ(sendPacket(*d.dev, classic(0, 1)), kAck1);  // channel 1 never set up
    ASSERT_EQ(command(*d.dev, bitTiming(1, 60, k60_500k, k60_2M)),
              (Bytes{0x55, 0x03, 0x02, 0x00, 0x01}));
    ASSERT_EQ(sendPacket(*d.dev, classic(0, 2)), kAck1);  // initialised, not started
    ASSERT_EQ(command(*d.dev, startCmd(1)), (Bytes{0x55, 0x0E, 0x02, 0x00, 0x10}));
    ASSERT_EQ(command(*d.dev, stopCmd(1)), (Bytes{0x55, 0x0F, 0x02, 0x00, 0x10}));
    ASSERT_EQ(sendPacket(*d.dev, classic(0, 3)), kAck1);  // stopped again
    EXPECT_EQ(collect(*d.dev, 1, 100).size(), 0u);
    EXPECT_EQ(d.fw->counters().framesUnheard, 3u);
}

TEST(FdSimBus, WiringJoinsAdaptersAndReplacesTheDefaultPair) {
    WiringGuard guard;
    Device a = makeDevice(kVidZaro, kPid3018, 47);
    Device b = makeDevice(kVidDunlin, kPidDunlin, 47);
    std::string why;
    ASSERT_TRUE(ksim::VirtualBus::instance().setWiring(
        "ZARO3018#47/0 = DUNLINFD1#47/1 = 0471:3018#47/5", &why))
        << why;
    for (uint8_t ch : {0, 1, 5}) {
        bringUp(*a.dev, ch, 80, k80_500k, k80_2M);
    }
    bringUp(*b.dev, 0, 60, k60_500k, k60_2M);
    bringUp(*b.dev, 1, 60, k60_500k, k60_2M);
    // From ZARO3018/0: reaches DUNLIN/1 and ZARO3018/5 (60 and 80 MHz clocks
    // at the same bit rates), no longer its default partner 1.
    ASSERT_EQ(sendPacket(*a.dev, fdFrame(0, 0x77)), kAck1);
    auto onA = collect(*a.dev, 1, 1000);
    auto onB = collect(*b.dev, 1, 1000);
    ASSERT_EQ(onA.size(), 1u);
    EXPECT_EQ(onA[0].ch, 5);
    ASSERT_EQ(onB.size(), 1u);
    EXPECT_EQ(onB[0].ch, 1);
    EXPECT_EQ(collect(*a.dev, 1, 50).size(), 0u);
    // ZARO3018/1 lost its partner; DUNLIN/0 too (its partner is named).
    ASSERT_EQ(sendPacket(*a.dev, classic(1, 0x1)), kAck1);
    ASSERT_EQ(sendPacket(*b.dev, classic(0, 0x2)), kAck1);
    EXPECT_EQ(collect(*a.dev, 1, 50).size() + collect(*b.dev, 1, 50).size(), 0u);
    // The control command shows and changes the same wiring.
    EXPECT_EQ(a.dev->control({"wire", "show"}),
              "default;ZARO3018#47/0=DUNLINFD2#47/1=ZARO3018#47/5");
    EXPECT_EQ(a.dev->control({"wire", "set", "none"}), "ok none");
    ASSERT_EQ(sendPacket(*a.dev, classic(0, 0x3)), kAck1);
    EXPECT_EQ(collect(*a.dev, 1, 50).size(), 0u);
    EXPECT_EQ(a.dev->control({"wire", "reset"}), "ok");
    ASSERT_EQ(sendPacket(*a.dev, classic(0, 0x4)), kAck1);
    EXPECT_EQ(collect(*a.dev, 1, 1000).size(), 1u);
}

TEST(FdSimBus, WiringTextErrors) {
    const std::pair<const char*, const char*> cases[] = {
        {"ZARO3018/0", "at least two endpoints"},
        {"ZARO3018/0=ZARO9999/1", "unknown adapter"},
        {"ZARO3014/4=ZARO3014/0", "out of range"},
        {"ZARO3018/0=ZARO3018/1;ZARO3018/1=ZARO3018/2", "wired twice"},
        {"ZARO3018#x/0=ZARO3018/1", "bad ordinal"},
        {"ZARO3018/0=ZARO3018", "lacks '/channel'"},
        {"0471:zz/0=ZARO3018/1", "bad USB identity"},
        {"DUNLINFD2/-1=DUNLINFD2/0", "out of range"},
    };
    for (const auto& [text, message] : cases) {
        ksim::WiringPlan plan;
        std::string why;
        EXPECT_FALSE(ksim::parseWiring(text, &plan, &why)) << text;
        EXPECT_NE(why.find(message), std::string::npos) << text << " -> " << why;
    }
    Device d = makeDevice(kVidDunlin, kPidDunlin, 48);
    EXPECT_EQ(d.dev->control({"wire", "set", "ZARO3018/0"}).rfind("error:", 0), 0u);
    ksim::WiringPlan plan;
    std::string why;
    ASSERT_TRUE(ksim::parseWiring(" none ; dunlinfd-mini/0 = zaro2014#3/2 ", &plan, &why)) << why;
    EXPECT_FALSE(plan.defaultPairs);
    EXPECT_EQ(ksim::formatWiring(plan), "none;DUNLINFD2#0/0=ZARO2014#3/2");
}

TEST(FdSimBus, WiringComesFromTheEnvironment) {
    ASSERT_EQ(setenv("KESTRUN_SIM_WIRING", "none; ZARO3018/0 = zaro3018#1/0", 1), 0);
    const ksim::VirtualBus fromEnv;
    EXPECT_EQ(ksim::formatWiring(fromEnv.wiring()), "none;ZARO3018#0/0=ZARO3018#1/0");
    ASSERT_EQ(setenv("KESTRUN_SIM_WIRING", "ZARO3018/0", 1), 0);
    testing::internal::CaptureStderr();
    const ksim::VirtualBus badEnv;
    const std::string err = testing::internal::GetCapturedStderr();
    unsetenv("KESTRUN_SIM_WIRING");
    EXPECT_EQ(ksim::formatWiring(badEnv.wiring()), "default");
    EXPECT_NE(err.find("KESTRUN_SIM_WIRING ignored"), std::string::npos) << err;
}

// A classic-only node on the bus, standing in for a classic adapter channel.
class ClassicPort : public ksim::BusPort {
  public:
    bool busDeliver(const ksim::BusFrame& f, const ksim::BusTiming& sender) override {
        if (!ksim::frameReaches(f, sender, timing)) {
            return false;
        }
        received.push_back(f.id);
        return true;
    }
    ksim::BusTiming timing{500000, 500000, false, false};
    std::vector<uint32_t> received;
};

TEST(FdSimBus, ClassicOnlyChannelTakesClassicFramesOfAnFdChannel) {
    WiringGuard guard;
    ClassicPort classicNode, other;
    auto& bus = ksim::VirtualBus::instance();
    const uint64_t h = bus.attachAdapter(kVidZaro, kPid2014, 49, {&classicNode, &other});
    std::string why;
    ASSERT_TRUE(bus.setWiring("ZARO2014#49/0=DUNLINFD2#49/0", &why)) << why;
    Device d = makeDevice(kVidDunlin, kPidDunlin, 49);
    bringUp(*d.dev, 0, 60, k60_500k, k60_2M);
    ASSERT_EQ(sendPacket(*d.dev, classic(0, 0x301)), kAck1);
    ASSERT_EQ(sendPacket(*d.dev, fdFrame(0, 0x302, false)), kAck1);
    EXPECT_EQ(classicNode.received, (std::vector<uint32_t>{0x301}));
    // And the classic node's frame reaches the FD channel.
    ksim::BusFrame f;
    f.id = 0x444;
    f.len = 0;
    EXPECT_EQ(bus.transmit(h, 0, f, classicNode.timing), 1);
    const auto got = collect(*d.dev, 1, 1000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 0x444u);
    EXPECT_TRUE(other.received.empty());
    bus.detachAdapter(h);
}

}  // namespace
