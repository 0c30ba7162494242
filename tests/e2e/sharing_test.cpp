// Several kestrun processes sharing one virtual adapter: the owner serves
// its clients over the socket, each process shows its own channel.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <thread>

#include "e2e_env.h"

namespace {

// Whether `out` shows exactly these frames after `direction`, in this order.
testing::AssertionResult shows(const std::string& out, const std::string& direction,
                               const std::vector<std::string>& frames) {
    size_t at = 0;
    for (const std::string& frame : frames) {
        if ((at = out.find(direction + frame, at)) == std::string::npos) {
            return testing::AssertionFailure() << "no " << direction << frame << "in\n" << out;
        }
        ++at;
    }
    if (countOf(out, direction) != static_cast<int>(frames.size())) {
        return testing::AssertionFailure() << "other frames after " << direction << "in\n" << out;
    }
    return testing::AssertionSuccess();
}

// A client sends on channel 0, which the adapter wires to the owner's
// channel 1: the frames as the owner receives them.
struct Transfer {
    E2eAdapter adapter;
    std::vector<std::string> rates, send, frames;
};

std::string classic(const char* id, const char* data) {
    return std::string("CAN ID:0x") + id + " EXT:0 RTR:0 DLC:" + std::to_string(strlen(data) / 3) +
           " Data:" + data + "\n";
}

const Transfer kTransfers[] = {
    // The identifier sweep starts with the message's own identifier.
    {{5, "DUNLIN2"},
     {"-a", "500000"},
     {"-m", "C#S#D#200#01", "-p", "10", "-n", "5", "--id-start", "100", "--id-end", "102"},
     {classic("200", "01 "), classic("100", "01 "), classic("101", "01 "), classic("102", "01 "),
      classic("100", "01 ")}},
    {{9},
     {"-a", "500000", "-d", "2000000"},
     {"--brs", "-m", "F#E#D#1ABCDE#11223344"},
     {"FD ID:0x1ABCDE EXT:1 RTR:0 BRS:1 DLC:4 Data:11 22 33 44 \n"}},
    // --brs leaves a classic frame classic.
    {{10},
     {"-a", "500000"},
     {"-e", "--brs", "-m", "C#S#D#123#1122", "-p", "20", "-n", "5"},
     std::vector<std::string>(5, classic("123", "11 22 "))},
    {{11, "DUNLIN2"},
     {"-a", "1000000"},
     {"-e", "-m", "C#E#D#12345678#0102030405060708", "-n", "3", "-p", "10"},
     std::vector<std::string>(
         3, "CAN ID:0x12345678 EXT:1 RTR:0 DLC:8 Data:01 02 03 04 05 06 07 08 \n")},
};

class Transfers : public testing::TestWithParam<int> {};

TEST_P(Transfers, OwnerReceivesTheClientsFramesInOrder) {
    const Transfer& t = kTransfers[GetParam()];
    std::vector<std::string> ownerArgs = t.rates, clientArgs = t.rates;
    ownerArgs.insert(ownerArgs.end(), {"-c", "1", "-r"});
    clientArgs.insert(clientArgs.end(), {"-c", "0", "-s"});
    clientArgs.insert(clientArgs.end(), t.send.begin(), t.send.end());
    auto owner = t.adapter.start(ownerArgs);
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    auto client = t.adapter.start(clientArgs);
    EXPECT_EQ(client->wait(30s), 0) << client->out();
    std::string out = client->out();
    EXPECT_EQ(countOf(out, kInited), 1) << out;
    EXPECT_EQ(countOf(out, "任务完毕,程序退出..."), 1) << out;
    bool echo = t.send[0] == "-e";
    EXPECT_TRUE(shows(out, "发送->", echo ? t.frames : std::vector<std::string>{}));

    ASSERT_TRUE(owner->waitFor("接收->", t.frames.size(), 10s)) << owner->out();
    EXPECT_TRUE(shows(owner->out(), "接收->", t.frames));
    // A receive-only owner shows the frames it sent for its clients.
    EXPECT_TRUE(shows(owner->out(), "发送->", t.frames));
    owner->signal(SIGINT);
    EXPECT_EQ(owner->wait(10s), 0) << owner->out();
}

INSTANTIATE_TEST_SUITE_P(Sharing, Transfers, testing::Range(0, 4));

TEST(Sharing, EachProcessShowsOnlyItsOwnChannelsFramesAndStatistics) {
    E2eAdapter a{2};
    auto owner = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    auto other = a.start({"-a", "250000", "-c", "1", "-r", "--status"});
    auto shared = a.start({"-a", "125000", "-c", "0", "-r"});  // the owner's channel and rates
    ASSERT_TRUE(other->waitFor(kInited)) << other->out();
    ASSERT_TRUE(shared->waitFor(kInited)) << shared->out();
    ASSERT_EQ(a.inject(0, "100", "00").status + a.inject(1, "101", "01").status, 0);
    ASSERT_TRUE(owner->waitFor("接收->CAN ID:0x100 ")) << owner->out();
    ASSERT_TRUE(shared->waitFor("接收->CAN ID:0x100 ")) << shared->out();
    ASSERT_TRUE(other->waitFor("接收->CAN ID:0x101 ")) << other->out();
    // In the status view, a block of its own channel every second.
    ASSERT_TRUE(other->waitFor("CAN Statistics - DUNLINFD2 Channel 1", 2)) << other->out();
    EXPECT_EQ(countOf(owner->out() + shared->out(), "ID:0x101"), 0);
    EXPECT_EQ(countOf(other->out(), "ID:0x100") + countOf(other->out(), "Channel 0"), 0)
        << other->out();
    other->signal(SIGINT);
    EXPECT_EQ(other->wait(10s), 0);
    // The owner's orderly end ends its clients.
    owner->signal(SIGTERM);
    EXPECT_EQ(owner->wait(10s), 0) << owner->out();
    EXPECT_GE(shared->wait(10s), 0) << shared->out();
    EXPECT_EQ(countOf(shared->out(), "与服务器断开"), 1) << shared->out();
}

TEST(Sharing, TenClientsAtMostAndAKilledOneLeavesItsPlaceAndTheOthersRunning) {
    E2eAdapter a{6};
    const std::vector<std::string> args = {"-a", "500000", "-c", "1", "-r"};
    auto owner = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    std::vector<std::unique_ptr<Process>> clients;
    for (int i = 0; i < 10; ++i) {
        clients.push_back(a.start(args));
        ASSERT_TRUE(clients.back()->waitFor(kInited)) << clients.back()->out();
    }
    auto eleventh = a.start(args);
    EXPECT_GE(eleventh->wait(10s), 0) << eleventh->out();
    EXPECT_EQ(countOf(eleventh->out(), "与服务器断开"), 1) << eleventh->out();
    clients[0]->signal(SIGKILL);
    ASSERT_TRUE(owner->waitFor("Dislink", 1, 5s)) << owner->out();
    clients[0] = a.start(args);
    ASSERT_TRUE(clients[0]->waitFor(kInited)) << clients[0]->out();
    ASSERT_EQ(a.inject(1, "77", "01").status, 0);
    for (auto& c : clients) {
        EXPECT_TRUE(c->waitFor("接收->CAN ID:0x77 ", 1, 10s)) << c->out();
    }
}

TEST(Sharing, ClientRefusesAnAdapterHeldByAnotherUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a process as another user";
    }
    E2eAdapter a{14};
    const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups"};
    std::vector<std::string> lockOnly = nobody;
    lockOnly.insert(lockOnly.end(),
                    {"/usr/bin/flock", a.path(".lock"), "-c", "echo held; sleep 60"});
    // Another user's owner, which would serve this client like any other;
    // then another user's process holding the lock file only.
    for (bool serving : {true, false}) {
        unlink(a.path(".lock").c_str());
        unlink(a.path(".sock").c_str());
        auto stranger = serving ? a.start({"-a", "500000", "-c", "0", "-r"}, nobody)
                                : std::make_unique<Process>(lockOnly);
        ASSERT_TRUE(stranger->waitFor(serving ? kStarted : "held")) << stranger->out();
        auto client = a.start({"-a", "500000", "-c", "0", "-r"});
        EXPECT_EQ(client->wait(15s), 1) << client->out();
        std::string out = client->out();
        EXPECT_EQ(countOf(out, serving ? a.path(".sock") + " is served by another user (uid 65534)"
                                       : "Lock file " + a.path(".lock") +
                                             " belongs to another user (uid 65534)"),
                  1)
            << out;
        EXPECT_EQ(countOf(out, kInited) + countOf(out, "接收->"), 0) << out;
    }
    unlink(a.path(".lock").c_str());
    unlink(a.path(".sock").c_str());
}

TEST(Sharing, ClientWhoseChannelIsRefusedEndsWithStatusOne) {
    E2eAdapter a{15};
    auto owner = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    for (std::vector<std::string> mode :
         {std::vector<std::string>{"-r"}, {"-s", "-m", "C#S#D#123#11", "-n", "0", "-p", "10"}}) {
        std::vector<std::string> args = {"-a", "12345", "-c", "1"};
        args.insert(args.end(), mode.begin(), mode.end());
        auto client = a.start(args);
        EXPECT_EQ(client->wait(15s), 1) << client->out();
        EXPECT_EQ(countOf(client->out(), "设备初始化失败..."), 1) << client->out();
    }
    // No frame of the refused sender reached the adapter.
    EXPECT_EQ(countOf(owner->out(), "发送->"), 0) << owner->out();
    EXPECT_TRUE(owner->running());
}

TEST(Sharing, ClientWaitingForAResultEndsAtOnceWhenItsOwnerDies) {
    E2eAdapter a{16};
    auto owner = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    auto client = a.start(
        {"-a", "500000", "-c", "1", "-s", "-e", "-m", "C#S#D#123#11", "-n", "0", "-p", "50"});
    ASSERT_TRUE(client->waitFor("发送->")) << client->out();
    // A stopped owner leaves the client's next request unanswered.
    owner->signal(SIGSTOP);
    std::this_thread::sleep_for(500ms);
    owner->signal(SIGKILL);
    auto lost = std::chrono::steady_clock::now();
    EXPECT_GE(client->wait(10s), 0) << client->out();
    // The request's own wait would have lasted 5 s.
    EXPECT_LT(std::chrono::steady_clock::now() - lost, 3s) << client->out();
    EXPECT_EQ(countOf(client->out(), "与服务器断开"), 1) << client->out();
}

}  // namespace
