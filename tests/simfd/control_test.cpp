// Text control commands that are not covered with their feature.
#include "simfd_util.h"

using namespace simfd;

namespace {

TEST(FdSimControl, InjectStateCountersAndInfo) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 80);
    auto ctl = [&](std::vector<std::string> w) { return d.dev->control(w); };
    EXPECT_EQ(ctl({"inject", "0", "C", "S", "D", "123", "11"}), "error: channel not started");
    bringUp(*d.dev, 0, 60, k60_500k, k60_2M, 1);
    EXPECT_EQ(ctl({"state", "0"}),
              "ch=0 init=1 started=1 fd=1 iso=1 mode=0 arb=500000 data=2000000 filter=off "
              "ranges=- tx=0 rx=0 filtered=0 overruns=0");
    EXPECT_EQ(ctl({"inject", "0", "C", "S", "D", "123", "1122"}), "ok delivered");
    EXPECT_EQ(ctl({"inject", "0", "f", "e", "d", "1abcdef", std::string(128, 'a'), "brs"}),
              "ok delivered");
    EXPECT_EQ(ctl({"inject", "0", "C", "E", "R", "1f", "-"}), "ok delivered");
    const auto got = collect(*d.dev, 3, 1000);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].id, 0x123u);
    EXPECT_EQ(got[0].data, (Bytes{0x11, 0x22}));
    EXPECT_EQ(got[1].flags, 0x15);
    EXPECT_EQ(got[1].data, Bytes(64, 0xAA));
    EXPECT_EQ(got[2].flags, 0x06);
    EXPECT_EQ(ctl({"counters"}).find("rx=3 "), ctl({"counters"}).find("rx="));
    EXPECT_NE(ctl({"counters"}).find(" rx=3 "), std::string::npos);
    EXPECT_EQ(
        ctl({"info"}).rfind("model=DUNLINFD2 vid=3068 pid=0009 ordinal=80 channels=2 clock=60 "
                            "hw=0110 fw=0205 attached=1 uptime_us=",
                            0),
        0u);
    EXPECT_EQ(ctl({"reset"}), "ok");
    EXPECT_EQ(ctl({"state", "0"}).rfind("ch=0 init=0 started=0", 0), 0u);
}

TEST(FdSimControl, RefusedCommandsStartWithError) {
    Device d = makeDevice(kVidDunlin, kPidDunlin, 81);
    bringUp(*d.dev, 0, 60, k60_500k, k60_500k, 0, 0);  // classic only
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"bogus"},
        {"state"},
        {"state", "2"},
        {"state", "-1"},
        {"info", "x"},
        {"inject", "0", "C", "S", "D", "123"},
        {"inject", "9", "C", "S", "D", "1", "-"},
        {"inject", "0", "C", "S", "D", "800", "-"},                 // 12-bit standard id
        {"inject", "0", "C", "E", "D", "20000000", "-"},            // 30-bit extended id
        {"inject", "0", "C", "S", "D", "1", "112233445566778899"},  // 9 bytes
        {"inject", "0", "C", "S", "D", "1", "123"},                 // odd digits
        {"inject", "0", "C", "S", "R", "1", "11"},                  // remote with data
        {"inject", "0", "F", "S", "R", "1", "-"},                   // FD remote
        {"inject", "0", "F", "S", "D", "1", "112233445566778899"},  // FD length 9
        {"inject", "0", "F", "S", "D", "1", "11"},                  // classic-only channel
        {"inject", "0", "C", "S", "D", "1", "11", "brs"},           // brs on classic
        {"inject", "0", "Q", "S", "D", "1", "11"},
        {"wire"},
        {"wire", "set"},
    };
    for (const auto& words : bad) {
        const std::string reply = d.dev->control(words);
        EXPECT_EQ(reply.rfind("error:", 0), 0u)
            << (words.empty() ? "" : words[0]) << " -> " << reply;
    }
    EXPECT_EQ(d.fw->counters().framesRx, 0u);
    EXPECT_NE(d.dev->control({"help"}).find("gen start"), std::string::npos);
}

}  // namespace
