// Command requests and frame packets with their byte-exact replies and
// acknowledgements, the bit-timing words, and the fault switches.
#include "simfd_util.h"

using namespace simfd;
using Clock = std::chrono::steady_clock;

namespace {

TEST(FdSimCommands, EachModelAnswersItsQueriesAndTakesOnlyItsOwnClock) {
    const struct {
        uint16_t vid, pid;
        uint8_t channels, clock;
        uint16_t hw, fw;
    } models[] = {
        {kVidDunlin, kPidDunlin, 2, 60, 0x0110, 0x0205},
        {kVidZaro, kPid3014, 4, 60, 0x0120, 0x0301},
        {kVidZaro, kPid2014, 4, 60, 0x0120, 0x0301},
        {kVidZaro, kPid2018, 8, 80, 0x0130, 0x0302},
        {kVidZaro, kPid3018, 8, 80, 0x0130, 0x0302},
    };
    for (const auto& m : models) {
        Device d(m.vid, m.pid, 41);
        EXPECT_EQ(d.cmd({0x55, 0x01, 0x01, 0x01}),
                  (Bytes{0x55, 1, 3, 0, uint8_t(m.hw >> 8), uint8_t(m.hw)}));
        EXPECT_EQ(d.cmd({0x55, 0x12, 0x01, 0x01}),
                  (Bytes{0x55, 0x12, 3, 0, uint8_t(m.fw >> 8), uint8_t(m.fw)}));
        EXPECT_EQ(d.cmd({0x55, 0x13, 0x01, 0x01}), (Bytes{0x55, 0x13, 0x02, 0x00, m.channels}));
        const uint8_t last = m.channels - 1;
        EXPECT_EQ(d.cmd(bitTiming(last, 140 - m.clock, k60_500k, k60_2M)),
                  (Bytes{0x55, 3, 2, 2, last}));
        EXPECT_EQ(d.cmd(bitTiming(last, m.clock, k60_500k, k60_2M)), (Bytes{0x55, 3, 2, 0, last}));
        EXPECT_EQ(d.cmd(chCmd(0x0E, m.channels)), chCmd(0x0E, m.channels, 0x01));
    }
}

TEST(FdSimCommands, TableWordsDecodeToTheirRatesOnBothClocks) {
    // Bit rate, 60 MHz word, 80 MHz word. The arbitration table is the rows
    // from 1 Mbit/s down; the data table is all of them.
    const uint32_t table[][3] = {
        {5000000, 0x00800001, 0x00400005}, {4000000, 0x00800002, 0x00400106},
        {2000000, 0x00800106, 0x00C00106}, {1000000, 0x01400106, 0x00C0030E},
        {800000, 0x0100020A, 0x0100030E},  {500000, 0x02C00106, 0x01C0030E},
        {250000, 0x05C00106, 0x03C0030E},  {125000, 0x0BC00106, 0x07C0030E},
        {100000, 0x0EC00106, 0x09C0030E},  {50000, 0x1DC00106, 0x13C0030E},
    };
    for (int col : {1, 2}) {
        const uint16_t clock = col == 1 ? 60 : 80;
        Device d(kVidZaro, col == 1 ? kPid3014 : kPid2018, 40);
        for (size_t a = 3; a < std::size(table); ++a) {
            for (const auto& data : table) {
                ASSERT_EQ(d.cmd(bitTiming(1, clock, table[a][col], data[col], 1)).at(3), 0);
                EXPECT_EQ(d.fw->channel(1).arbRate, table[a][0]) << std::hex << table[a][col];
                EXPECT_EQ(d.fw->channel(1).dataRate, data[0]) << std::hex << data[col];
            }
        }
        // Classic only (byte 3 is 0): the data-phase fields are ignored.
        ASSERT_EQ(d.cmd(bitTiming(0, clock, table[6][col], table[0][col], 0, 0, 7)).at(3), 0);
        EXPECT_EQ(d.ctl({"state", "0"}).substr(0, 62),
                  "ch=0 init=1 started=0 fd=0 iso=0 mode=7 arb=250000 data=250000");
        EXPECT_EQ(d.ctl({"state", "1"}).substr(0, 39), "ch=1 init=1 started=0 fd=1 iso=1 mode=0");
    }
    // Written out byte by byte: ZARO2018 channel 5, 500k / 2M.
    Device d(kVidZaro, kPid2018, 40);
    EXPECT_EQ(d.cmd({0x55, 0x03, 0x05, 0x01, 0x00, 0x07, 0x50, 0x00, 0x07, 0x00, 0x00, 0x0E,
                     0x00, 0x03, 0x00, 0x50, 0x00, 0x03, 0x00, 0x00, 0x06, 0x00, 0x01, 0x00}),
              (Bytes{0x55, 0x03, 0x02, 0x00, 0x05}));
    EXPECT_EQ(d.fw->channel(5).arbRate, 500000u);
    EXPECT_EQ(d.fw->channel(5).dataRate, 2000000u);
}

// One transfer after another on one adapter: replies depend on what came before.
TEST(FdSimCommands, RequestsAndPacketsInOrderAndTheirReplies) {
    Device d(kVidZaro, kPid2014, 41);  // 4 channels, 60 MHz; channel 2 classic only
    ASSERT_EQ(d.cmd(bitTiming(2, 60, k60_500k, k60_500k, 0, 0)).at(3), 0);
    ASSERT_EQ(d.cmd(chCmd(0x0E, 2)), chCmd(0x0E, 2));
    const Bytes timing = bitTiming(0, 60, k60_500k, k60_2M), frame = packet({{0, 0, 1, 1, {9}}}),
                good = packet({{2, 0, 1, 1, {9}}});
    auto with = [](Bytes b, size_t at, uint8_t v) {
        b[at] = v;
        return b;
    };
    const Bytes refused{0x55, 0x03, 0x02, 0x02, 0x00}, done{0x55, 0x03, 0x02, 0x00, 0x00};
    Bytes echo(64, 0xC5);
    echo[0] = 0x12, echo[1] = 0xA7;
    const struct {
        const char* what;
        uint8_t ep;
        Bytes request, reply;
    } script[] = {
        {"start before bit timing", 1, chCmd(0x0E, 0), chCmd(0x0E, 0, 0x04)},
        {"timing, channel 4 of 4", 1, with(timing, 2, 4), {0x55, 0x03, 0x02, 0x01, 0x04}},
        {"data clock differs", 1, with(timing, 15, 80), refused},
        {"sjw above tseg2", 1, bitTiming(0, 60, k60_500k | (5u << 15), k60_2M), refused},
        {"arbitration above 1M", 1, bitTiming(0, 60, k60_2M, k60_2M), refused},
        {"FD byte 2", 1, with(timing, 3, 2), refused},
        {"ISO byte 2", 1, with(timing, 4, 2), refused},
        {"23 bytes", 1, Bytes(timing.begin(), timing.end() - 1), {0x55, 0x03, 0x01, 0x03}},
        {"refusals left it off", 1, chCmd(0x0E, 0), chCmd(0x0E, 0, 0x04)},
        {"timing", 1, timing, done},
        {"not started: no transmit", 2, frame, ack(0x04, 0)},
        {"start", 1, chCmd(0x0E, 0), chCmd(0x0E, 0)},
        {"transmit, no receiver", 2, frame, ack(0x00, 1)},
        {"timing again stops it", 1, timing, done},
        {"so transmit is refused", 2, frame, ack(0x04, 0)},
        {"stop", 1, chCmd(0x0F, 0), chCmd(0x0F, 0)},
        {"stopped: no transmit", 2, frame, ack(0x04, 0)},
        {"filter channel 8", 1, filterCmd(4, 8, 0, 0), {0x55, 0x04, 0x03, 0x01, 0x04, 0x80}},
        {"range start above end", 1, filterCmd(2, 0, 0x200, 0x100), {0x55, 4, 3, 2, 2, 0}},
        {"standard beyond 11 bits", 1, filterCmd(2, 0, 0, 0x800), {0x55, 4, 3, 2, 2, 0}},
        {"extended beyond 29 bits", 1, filterCmd(3, 0, 0, 0x20000000), {0x55, 4, 3, 2, 3, 0}},
        {"direct transfer, 62 bytes", 1, echo, echo},
        {"direct transfer, 1 byte", 1, {0x12, 0xA7, 0x99}, {0x12, 0xA7, 0x99}},
        {"unknown code", 1, {0x55, 0x77, 0x00}, {0x55, 0x77, 0x01, 0x7F}},
        {"no 0x55 prefix", 1, {0x56, 0x01, 0x01, 0x01}, {0x56, 0x01, 0x01, 0x7E}},
        {"byte 2 claims more", 1, {0x55, 0x0E, 0x02, 0x00}, {0x55, 0x0E, 0x01, 0x03}},
        {"filter cut short", 1, {0x55, 0x04, 0x0A, 0x04, 0x00}, {0x55, 0x04, 0x01, 0x03}},
        {"zero-length write", 1, {}, {}},
        {"body length 0", 2, {0x55, 0xF2, 0, 0, 0, 0, 1}, ack(0x03, 0)},
        {"record count 0", 2, with(good, 6, 0), ack(0x03, 0)},
        {"two records in the body of one", 2, with(good, 6, 2), ack(0x03, 0)},
        {"body beyond the transfer", 2, Bytes(good.begin(), good.end() - 1), ack(0x03, 0)},
        {"FD flag on a 19-byte record", 2, with(good, 8, 0x01), ack(0x03, 0)},
        {"classic length 9", 2, packet({{2, 0, 1, 9, {}}}), ack(0x03, 0)},
        {"FD length 65", 2, packet({{2, 0x01, 1, 65, {}}}), ack(0x03, 0)},
        {"channel 4 of 4", 2, packet({{4, 0, 1, 0, {}}}), ack(0x01, 0)},
        {"FD remote frame", 2, packet({{2, 0x03, 1, 0, {}}}), ack(0x02, 0)},
        {"FD on a classic-only channel", 2, packet({{2, 0x01, 1, 8, {}}}), ack(0x02, 0)},
        {"classic on it", 2, good, ack(0x00, 1)},
        {"ten records", 2, packet(std::vector<TxRecord>(10, {2, 0, 1, 8, {}})), ack(0x00, 10)},
    };
    for (const auto& s : script) {
        EXPECT_EQ(d.exchange(s.ep, s.request, s.reply.empty() ? 30 : 1000), s.reply) << s.what;
    }
}

TEST(FdSimFaults, CommandFaultsShapeTheReplyAndWhetherTheRequestIsCarriedOut) {
    Device d(kVidDunlin, kPidDunlin, 52);
    d.up(0, 60, k60_500k, k60_2M);
    const Bytes version{0x55, 0x01, 0x01, 0x01}, stop = chCmd(0x0F, 0),
                                                 fast = bitTiming(0, 60, k60_1M, k60_5M);
    const struct {
        Words fault;
        Bytes request, reply;
        bool stillStarted;  // channel 0 after the request
    } cases[] = {
        {{"fault", "noreply", "0f"}, stop, {}, true},
        {{"fault", "noreply", "0xa7"}, {0x12, 0xA7, 1}, {}, true},
        {{"fault", "status", "0f", "01"}, stop, chCmd(0x0F, 0, 0x01), true},
        {{"fault", "status", "03", "01"}, fast, {0x55, 0x03, 0x02, 0x01, 0x00}, true},
        {{"fault", "status", "01", "80"}, version, {0x55, 0x01, 0x03, 0x80, 0x01, 0x10}, true},
        {{"fault", "status", "a7", "05"}, {0x12, 0xA7, 1}, {0x12, 0xA7, 0x01, 0x05}, true},
        {{"fault", "foreign", "0f", "13"}, stop, {0x55, 0x13, 0x02, 0x00, 0x00}, true},
        {{"fault", "truncate", "0f", "3"}, stop, {0x55, 0x0F, 0x02}, false},
        {{"fault", "truncate", "01", "5"}, version, {0x55, 0x01, 0x03, 0x00, 0x01}, true},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(d.ctl(c.fault), "ok");
        EXPECT_EQ(d.cmd(c.request, c.reply.empty() ? 100 : 1000), c.reply) << c.fault[1];
        EXPECT_EQ(d.fw->channel(0).started, c.stillStarted) << c.fault[1];
        EXPECT_EQ(d.cmd({0x55, 0x13, 0x01, 0x01}), (Bytes{0x55, 0x13, 0x02, 0x00, 0x02}))
            << "other codes are answered";
        ASSERT_EQ(d.ctl({"fault", "clear"}), "ok");
        ASSERT_EQ(d.cmd(chCmd(0x0E, 0)), chCmd(0x0E, 0));
    }
    EXPECT_NE(d.ctl({"counters"}).find(" suppressed=2 "), std::string::npos);
}

TEST(FdSimFaults, AcknowledgementsWithheldOrLateAndRepliesLate) {
    Device d(kVidDunlin, kPidDunlin, 53);
    d.up(0, 60, k60_500k, k60_2M);
    d.up(1, 60, k60_500k, k60_2M);
    const Bytes frame = packet({{0, 0, 0x1, 0, {}}});
    ASSERT_EQ(d.ctl({"fault", "ack", "withhold"}), "ok");
    EXPECT_EQ(d.exchange(0x02, frame, 100), Bytes{});
    EXPECT_EQ(d.collect(1, 1000).size(), 1u) << "the frame went out all the same";
    EXPECT_NE(d.ctl({"counters"}).find(" packets=1 acks=0 withheld=1 "), std::string::npos);
    ASSERT_EQ(d.ctl({"fault", "ack", "deliver"}), "ok");
    ASSERT_EQ(d.ctl({"fault", "ack-latency", "300000"}), "ok");
    ASSERT_EQ(d.ctl({"fault", "latency", "300000"}), "ok");
    for (const Bytes& out : {Bytes{0x55, 0x13, 0x01, 0x01}, frame}) {
        const auto t0 = Clock::now();
        const uint8_t ep = out[1] == 0xF2 ? 0x02 : 0x01;
        EXPECT_EQ(d.exchange(ep, out, 50), Bytes{});
        EXPECT_EQ(d.read(ep | 0x80, 2000).size(), ep == 0x01 ? 5u : 4u);
        EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(299));
    }
}

}  // namespace
