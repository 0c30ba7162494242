// How runs start and end: signals, a killed owner, files left in /tmp, the
// adapter pulled and plugged back, reads cut short, and the exit statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>

#include <thread>

#include "e2e_env.h"

namespace {

class SignalEndsRunInOrder : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(SignalEndsRunInOrder, LockSocketAndDeviceAreReleased) {
    E2eAdapter a{GetParam().second};
    auto owner = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    EXPECT_EQ(access(a.path(".lock").c_str(), F_OK) + access(a.path(".sock").c_str(), F_OK), 0);
    owner->signal(GetParam().first);
    EXPECT_EQ(owner->wait(10s), 0) << owner->out();
    EXPECT_EQ(countOf(owner->out(), "任务完毕,程序退出..."), 1);
    EXPECT_NE(access(a.path(".lock").c_str(), F_OK), 0);
    EXPECT_NE(access(a.path(".sock").c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalEndsRunInOrder,
                         testing::Values(std::pair{SIGINT, 20}, std::pair{SIGTERM, 21},
                                         std::pair{SIGTSTP, 22}));

TEST(Lifecycle, KilledOwnerEndsItsClientsAndLeavesFilesANewOwnerReuses) {
    E2eAdapter a{30};
    auto owner = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    auto client = a.start({"-a", "500000", "-c", "1", "-r"});
    ASSERT_TRUE(client->waitFor(kInited)) << client->out();
    owner->signal(SIGKILL);
    EXPECT_EQ(client->wait(10s), 0) << client->out();
    EXPECT_EQ(countOf(client->out(), "与服务器断开"), 1);
    // The stale lock and socket files do not stop the next owner.
    ASSERT_EQ(access(a.path(".lock").c_str(), F_OK) + access(a.path(".sock").c_str(), F_OK), 0);
    auto next = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(next->waitFor(kStarted)) << next->out();
    auto nextClient = a.start({"-a", "500000", "-c", "1", "-r"});
    EXPECT_TRUE(nextClient->waitFor(kInited)) << nextClient->out();
}

TEST(Lifecycle, ClientWithoutAnOwnerGivesUp) {
    E2eAdapter a{31};
    // A lock held by a process that is not a kestrun owner: no socket appears.
    int fd = open(a.path(".lock").c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    auto client = a.start({"-a", "500000", "-c", "1", "-r"});
    EXPECT_EQ(client->wait(15s), 1) << client->out();
    EXPECT_EQ(countOf(client->out(), "Fail To Link Server..."), 1) << client->out();
    close(fd);
    unlink(a.path(".lock").c_str());
}

TEST(Lifecycle, AdapterPulledAndPluggedBackResumesTheChannel) {
    E2eAdapter a{32};
    auto owner = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    ASSERT_EQ(a.inject(0, "10", "01").status, 0);
    ASSERT_TRUE(owner->waitFor("接收->CAN ID:0x10 ")) << owner->out();
    ASSERT_EQ(a.simctl({"unplug", "32"}).status, 0);
    ASSERT_TRUE(owner->waitFor("DisLink")) << owner->out();
    ASSERT_EQ(a.simctl({"plug", "32"}).status, 0);
    ASSERT_TRUE(owner->waitFor("VORM Tip:DUNLINFD OK...")) << owner->out();
    ASSERT_EQ(a.inject(0, "11", "02").status, 0);
    EXPECT_TRUE(owner->waitFor("接收->CAN ID:0x11 ")) << owner->out();
    EXPECT_EQ(countOf(owner->out(), "VORM Tip:DUNLINFD OK..."), 1);
}

// Runs that end by themselves: a missing adapter, refused bit rates (with
// the list of the supported ones) and send runs that complete; what they
// show, how often.
TEST(Lifecycle, OwnerRunsEndWithTheirStatus) {
    const std::string arbRates = "50000/100000/125000/250000/500000/800000/1000000Hz";
    const std::tuple<E2eAdapter, std::vector<std::string>, int,
                     std::vector<std::pair<std::string, int>>>
        rows[] = {
            {{33},
             {"-a", "300000", "-r"},
             1,
             {{"不支持的波特率<300000Hz, 0Hz>", 1}, {arbRates, 2}, {"数据域(data-rate)->", 1}}},
            {{33}, {"-i", "40", "-a", "500000", "-r"}, 1, {{"VORM Device Open Fail...", 1}}},
            {{28, "DUNLIN2"},
             {"-a", "20000", "-r"},
             1,
             {{"不支持的波特率<20000Hz>", 1}, {arbRates, 2}}},
            {{33, "ZARO2014"}, {"-a", "20000", "-r"}, 1, {{"不支持的波特率<20000Hz>", 1}}},
            // Without -e a sender shows no frame it sent.
            {{33}, {"-a", "500000", "-d", "2000000", "-s", "-m", "F#S#D#1#00"}, 0, {{"发送->", 0}}},
            {{33, "ZARO2014"},
             {"-a", "500000", "-s", "-e", "-m", "C#S#D#1#00", "-n", "2"},
             0,
             {{"发送->CAN ID:0x1 EXT:0 RTR:0 DLC:1 Data:00 \n", 2}}},
        };
    for (const auto& [adapter, args, status, shows] : rows) {
        auto run = adapter.start(args);
        EXPECT_EQ(run->wait(20s), status) << run->out();
        for (const auto& [text, times] : shows) {
            EXPECT_EQ(countOf(run->out(), text), times) << text << "\n" << run->out();
        }
    }
}

TEST(Lifecycle, SendThatTheAdapterNeverAcknowledgesEndsWithStatusOne) {
    E2eAdapter a{34};
    auto owner = a.start({"-a", "500000", "-c", "1", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    ASSERT_EQ(a.simctl({"dev", "34", "fault", "ack", "withhold"}).status, 0);
    auto client = a.start({"-a", "500000", "-c", "0", "-s", "-m", "C#S#D#1#01", "-n", "1"});
    EXPECT_EQ(client->wait(20s), 1) << client->out();
    EXPECT_EQ(countOf(client->out(), "发送失败."), 1) << client->out();
    EXPECT_TRUE(owner->waitFor("发送失败.", 1, 5s)) << owner->out();
}

// Stream reads that libusb ends with a time-out after part of the data
// moved: every frame of a burst is shown once, on either family's stream
// (adapter, stream endpoint, bytes moved before the time-out).
const std::tuple<E2eAdapter, const char*, const char*> kCuts[] = {{{35}, "83", "512"},
                                                                  {{27, "DUNLIN2"}, "82", "16"}};

class CutStreamReads : public testing::TestWithParam<int> {};

TEST_P(CutStreamReads, EveryFrameOfABurstIsShownOnce) {
    const auto& [a, endpoint, cutAt] = kCuts[GetParam()];
    auto owner = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    const std::string position = std::to_string(a.index);
    ASSERT_EQ(a.simctl({"cut", position, endpoint, cutAt, "0"}).status, 0);
    // 40 frames at once; frame i has identifier 0x100 + i and first data byte i.
    ASSERT_EQ(a.simctl({"dev", position, "gen", "start", "0", "C", "S", "8", "max", "40", "id=100"})
                  .status,
              0);
    ASSERT_TRUE(owner->waitFor("接收->CAN ID:0x127 ", 1, 15s)) << owner->out();
    std::this_thread::sleep_for(300ms);
    const std::string out = owner->out();
    for (int i = 0; i < 40; ++i) {
        char line[64];
        snprintf(line, sizeof line, "接收->CAN ID:0x%X EXT:0 RTR:0 DLC:8 Data:%02X 00 00 00 ",
                 0x100 + i, i);
        EXPECT_EQ(countOf(out, line), 1) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Families, CutStreamReads, testing::Range(0, 2));

}  // namespace
