// Text control commands of both firmware, as kestrun-simctl sends them.
#include "simclassic_util.h"

using namespace simcl;

namespace {

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

TEST(ClassicControl, StateInjectGeneratorsAndFaults) {
    Classic d = makeClassic(80);
    ksim::VirtualDevice& v = *d.dev;
    EXPECT_TRUE(startsWith(v.control({"info"}), "model=DUNLIN2 vid=0471 pid=1200 ordinal=80"));
    bringUp(v, 1, k800k);
    EXPECT_TRUE(startsWith(v.control({"state", "1"}),
                           "ch=1 init=1 started=1 mode=0 btr0=00 btr1=16 rate=800000"));
    EXPECT_TRUE(startsWith(v.control({"state", "2"}), "error:"));
    // Inject: data, remote with a length, and the refusals.
    EXPECT_EQ(v.control({"inject", "1", "C", "E", "D", "1abcdef", "0102"}), "ok delivered");
    EXPECT_EQ(v.control({"inject", "1", "C", "S", "R", "7ff", "len=3"}), "ok delivered");
    EXPECT_EQ(v.control({"inject", "0", "C", "S", "D", "1", "-"}), "error: channel not started");
    EXPECT_TRUE(startsWith(v.control({"inject", "1", "F", "S", "D", "1", "00"}), "error:"));
    EXPECT_TRUE(startsWith(v.control({"inject", "1", "C", "S", "D", "800", "00"}), "error:"));
    EXPECT_TRUE(
        startsWith(v.control({"inject", "1", "C", "S", "D", "1", "001122334455667788"}), "error:"));
    const auto got = collect(v, 2, 1000);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, 0x1ABCDEFu);
    EXPECT_TRUE(got[0].ext);
    EXPECT_EQ(got[0].data[1], 0x02);
    EXPECT_TRUE(got[1].rtr);
    EXPECT_EQ(got[1].len, 3);
    // Generators.
    EXPECT_EQ(v.control({"gen", "start", "1", "C", "S", "8", "wire", "50"}), "ok fps=7207.2");
    EXPECT_EQ(collect(v, 50, 3000).size(), 50u);
    EXPECT_EQ(v.control({"gen", "count", "1"}),
              "produced=50 delivered=50 filtered=0 lost=0 running=0");
    EXPECT_TRUE(startsWith(v.control({"gen", "start", "1", "F", "S", "8", "wire"}), "error:"));
    EXPECT_TRUE(startsWith(v.control({"gen", "start", "0", "C", "S", "8", "wire"}), "error:"));
    EXPECT_TRUE(startsWith(v.control({"gen", "stop", "1"}), "ok produced=50"));
    // Faults.
    EXPECT_EQ(v.control({"fault", "noreply", "13"}), "ok");
    EXPECT_EQ(v.control({"fault", "status", "03", "80"}), "ok");
    EXPECT_EQ(v.control({"fault", "truncate", "01", "5"}), "ok");
    EXPECT_EQ(v.control({"fault", "split", "7"}), "ok");
    EXPECT_EQ(v.control({"faults"}),
              "noreply=13 status=03:80 foreign=- truncate=01:05 latency_us=0 "
              "garbage_pending=0 split=7");
    EXPECT_EQ(command(v, {0x12, 0x13, 0x01, 0x00}, 30), Bytes{});
    EXPECT_EQ(v.control({"fault", "clear"}), "ok");
    EXPECT_EQ(command(v, {0x12, 0x13, 0x01, 0x00}).size(), 5u);
    EXPECT_TRUE(startsWith(v.control({"fault", "bogus"}), "error:"));
    // Board texts, relays, counters, reset.
    EXPECT_EQ(v.control({"board", "serial", "SN-7"}), "ok");
    EXPECT_EQ(command(v, {0x12, 0x14, 0x01, 0x00}),
              (Bytes{0x12, 0x14, 0x05, 0x00, 'S', 'N', '-', '7'}));
    EXPECT_TRUE(startsWith(v.control({"board", "serial", "far-too-long-serial"}), "error:"));
    ASSERT_EQ(command(v, {0x12, 0xB1, 0x02, 0x0F, 0xF0}).size(), 5u);
    EXPECT_EQ(v.control({"relays"}), "a=0f b=f0");
    EXPECT_TRUE(startsWith(v.control({"counters"}), "commands="));
    EXPECT_EQ(v.control({"reset"}), "ok");
    EXPECT_TRUE(startsWith(v.control({"state", "1"}), "ch=1 init=0 started=0"));
    EXPECT_TRUE(startsWith(v.control({"nonsense"}), "error:"));
    EXPECT_TRUE(startsWith(v.control({}), "error:"));
}

TEST(ClassicControl, WiringCommandsReachTheSharedBus) {
    WiringGuard guard;
    Classic a = makeClassic(30);
    Classic b = makeClassic(31);
    EXPECT_EQ(a.dev->control({"wire", "set", "DUNLIN2#30/0=DUNLIN1#31/1;", "none"}),
              "ok none;DUNLIN2#30/0=DUNLIN2#31/1");
    bringUp(*a.dev, 0, k125k);
    bringUp(*a.dev, 1, k125k);
    bringUp(*b.dev, 1, k125k);
    writeRecords(*a.dev, hostRecord(Frame{0, 0x77, false, false, 0, {}}));
    const auto got = collect(*b.dev, 1, 1000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].ch, 1);
    EXPECT_EQ(collect(*a.dev, 1, 50).size(), 0u);  // channel 1 of the same adapter is unwired
    EXPECT_EQ(a.dev->control({"wire", "reset"}), "ok");
}

TEST(RecorderControl, StateEraseAndRefusedBusCommands) {
    Recorder r = makeRecorder(kPidRecord1, 82);
    ksim::VirtualDevice& v = *r.dev;
    EXPECT_TRUE(startsWith(v.control({"info"}), "model="));
    ASSERT_EQ(command(v, {0x55, 0x04, 0x01, 0x00, 0x03, 0x10, 0, 0, 0, 0x20, 0, 0, 0})[3], 0);
    EXPECT_EQ(v.control({"state", "0"}),
              "ch=0 settings=" + std::string(50, '0') + " filter=off entries=1 list=03:10-20");
    EXPECT_TRUE(startsWith(v.control({"inject", "0", "C", "S", "D", "1", "-"}), "error:"));
    EXPECT_TRUE(startsWith(v.control({"gen", "start", "0"}), "error:"));
    EXPECT_EQ(v.control({"fault", "status", "04", "02"}), "ok");
    EXPECT_EQ(v.control({"faults"}), "noreply=- status=04:02 foreign=- truncate=- latency_us=0");
    EXPECT_EQ(v.control({"fault", "clear"}), "ok");
    EXPECT_EQ(v.control({"erase"}), "ok");
    EXPECT_TRUE(startsWith(v.control({"state", "0"}), "ch=0 settings=00"));
    EXPECT_NE(v.control({"state", "0"}).find("entries=0"), std::string::npos);
    EXPECT_TRUE(startsWith(v.control({"state", "2"}), "error:"));
    EXPECT_TRUE(startsWith(v.control({"counters"}), "commands="));
}

}  // namespace
