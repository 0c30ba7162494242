// How runs start and end: signals, a killed owner, files left in /tmp, the
// adapter pulled and plugged back, and the exit statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "e2e_env.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const char* kStarted = "启动完成...";

std::unique_ptr<Process> start(const E2eAdapter& a, std::vector<std::string> args) {
    return std::make_unique<Process>(KESTRUN_SIM_LAUNCHER, a.args(std::move(args)), a.env());
}

class SignalEndsRunInOrder : public ::testing::TestWithParam<int> {};

TEST_P(SignalEndsRunInOrder, LockSocketAndDeviceAreReleased) {
    E2eAdapter a{20 + GetParam()};
    auto owner = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    struct stat st;
    EXPECT_EQ(stat(a.lockPath().c_str(), &st), 0);
    EXPECT_EQ(stat(a.socketPath().c_str(), &st), 0);
    owner->signal(GetParam());
    EXPECT_EQ(owner->wait(seconds(10)), 0) << owner->output();
    EXPECT_EQ(countOf(owner->output(), "任务完毕,程序退出..."), 1);
    EXPECT_NE(access(a.lockPath().c_str(), F_OK), 0);
    EXPECT_NE(access(a.socketPath().c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalEndsRunInOrder,
                         ::testing::Values(SIGINT, SIGTERM, SIGTSTP));

TEST(Lifecycle, KilledOwnerEndsItsClientsAndLeavesFilesANewOwnerReuses) {
    E2eAdapter a{30};
    auto owner = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    auto client = start(a, {"-a", "500000", "-c", "1", "-r"});
    ASSERT_TRUE(client->waitFor("设备初始化成功...", seconds(10))) << client->output();
    owner->signal(SIGKILL);
    owner->wait(seconds(5));
    EXPECT_EQ(client->wait(seconds(10)), 0) << client->output();
    EXPECT_EQ(countOf(client->output(), "与服务器断开"), 1);

    // The stale lock and socket files do not stop the next owner.
    struct stat st;
    ASSERT_EQ(stat(a.lockPath().c_str(), &st), 0);
    ASSERT_EQ(stat(a.socketPath().c_str(), &st), 0);
    auto next = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(next->waitFor(kStarted, seconds(20))) << next->output();
    auto nextClient = start(a, {"-a", "500000", "-c", "1", "-r"});
    EXPECT_TRUE(nextClient->waitFor("设备初始化成功...", seconds(10))) << nextClient->output();
}

TEST(Lifecycle, ClientWithoutAnOwnerGivesUp) {
    E2eAdapter a{31};
    // A lock held by a process that is not a kestrun owner: no socket appears.
    int fd = open(a.lockPath().c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    auto client = start(a, {"-a", "500000", "-c", "1", "-r"});
    EXPECT_EQ(client->wait(seconds(15)), 1) << client->output();
    EXPECT_EQ(countOf(client->output(), "Fail To Link Server..."), 1) << client->output();
    close(fd);
    unlink(a.lockPath().c_str());
}

TEST(Lifecycle, AdapterPulledAndPluggedBackResumesTheChannel) {
    E2eAdapter a{32};
    auto owner = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    a.inject(0, "10", "01");
    ASSERT_TRUE(owner->waitFor("接收->CAN ID:0x10 ", seconds(10))) << owner->output();
    int status = -1;
    a.simctl({"unplug", std::to_string(a.index)}, &status);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(owner->waitFor("DisLink", seconds(10))) << owner->output();
    a.simctl({"plug", std::to_string(a.index)}, &status);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(owner->waitFor("VORM Tip:DUNLINFD OK...", seconds(15))) << owner->output();
    a.inject(0, "11", "02");
    EXPECT_TRUE(owner->waitFor("接收->CAN ID:0x11 ", seconds(10))) << owner->output();
    EXPECT_EQ(countOf(owner->output(), "VORM Tip:DUNLINFD OK..."), 1);
}

TEST(Lifecycle, ExitStatuses) {
    E2eAdapter a{33};
    // No adapter of that index: the owner cannot open it.
    auto missing =
        std::make_unique<Process>(KESTRUN_SIM_LAUNCHER, a.args({"-a", "500000", "-r"}),
                                  std::map<std::string, std::string>{{"KESTRUN_SIM", "DUNLINFD2"}});
    EXPECT_EQ(missing->wait(seconds(20)), 1);
    EXPECT_EQ(countOf(missing->output(), "VORM Device Open Fail..."), 1) << missing->output();
    EXPECT_NE(access(a.lockPath().c_str(), F_OK), 0);

    // An unsupported bit rate: the channel cannot be initialised.
    auto badRate = start(a, {"-a", "300000", "-r"});
    EXPECT_EQ(badRate->wait(seconds(20)), 1);
    EXPECT_EQ(countOf(badRate->output(), "不支持的波特率<300000Hz, 0Hz>"), 1) << badRate->output();

    // A send run that completes: 0.
    auto sender = start(a, {"-a", "500000", "-s", "-m", "F#S#D#1#00", "-d", "2000000"});
    EXPECT_EQ(sender->wait(seconds(20)), 0) << sender->output();
}

}  // namespace

namespace {

TEST(Lifecycle, SendThatTheAdapterNeverAcknowledgesEndsWithStatusOne) {
    E2eAdapter a{34};
    auto owner = start(a, {"-a", "500000", "-c", "1", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    std::string reply = a.simctl({"dev", std::to_string(a.index), "fault", "ack", "withhold"});
    ASSERT_EQ(reply.rfind("error", 0), std::string::npos) << reply;
    auto client = start(a, {"-a", "500000", "-c", "0", "-s", "-m", "C#S#D#1#01", "-n", "1"});
    EXPECT_EQ(client->wait(seconds(20)), 1) << client->output();
    EXPECT_EQ(countOf(client->output(), "发送失败."), 1) << client->output();
    EXPECT_TRUE(owner->waitFor("发送失败.", seconds(5))) << owner->output();
}

}  // namespace

namespace {

// Stream reads that libusb ends with a time-out after part of the data
// moved: every frame of a burst is shown once, on either family's stream.
struct CutStream {
    const char* model;
    int index;
    const char* streamEndpoint;
    const char* cutAt;
};

void PrintTo(const CutStream& c, std::ostream* os) {
    *os << c.model;
}

class CutStreamReads : public ::testing::TestWithParam<CutStream> {};

TEST_P(CutStreamReads, EveryFrameOfABurstIsShownOnce) {
    const CutStream& c = GetParam();
    E2eAdapter a{c.index, c.model};
    auto owner = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    const std::string position = std::to_string(a.index);
    int status = -1;
    a.simctl({"cut", position, c.streamEndpoint, c.cutAt, "0"}, &status);
    ASSERT_EQ(status, 0);
    // 40 frames at once; frame i has identifier 0x100 + i and first data byte i.
    a.simctl({"dev", position, "gen", "start", "0", "C", "S", "8", "max", "40", "id=100"}, &status);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(owner->waitFor("接收->CAN ID:0x127 ", seconds(15))) << owner->output();
    std::this_thread::sleep_for(milliseconds(300));
    const std::string out = owner->output();
    for (int i = 0; i < 40; ++i) {
        char line[64];
        snprintf(line, sizeof line, "接收->CAN ID:0x%X EXT:0 RTR:0 DLC:8 Data:%02X 00 00 00 ",
                 0x100 + i, i);
        EXPECT_EQ(countOf(out, line), 1) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Families, CutStreamReads,
                         ::testing::Values(CutStream{"DUNLINFD2", 35, "83", "512"},
                                           CutStream{"DUNLIN2", 27, "82", "16"}),
                         [](const auto& info) { return std::string(info.param.model); });

}  // namespace
