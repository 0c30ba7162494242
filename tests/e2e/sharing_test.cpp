// Several kestrun processes sharing one virtual adapter: the owner serves
// its clients over the socket, each process shows its own channel.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>
#include <thread>

#include "app/rpc_packet.h"
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
    std::vector<std::string> owner, client, frames;
};

const std::vector<std::string> kOwner = {"-a", "500000", "-c", "1", "-r"};
std::string classic(const char* id, const char* data) {
    return std::string("CAN ID:0x") + id + " EXT:0 RTR:0 DLC:" + std::to_string(strlen(data) / 3) +
           " Data:" + data + "\n";
}

const Transfer kTransfers[] = {
    {{1},
     kOwner,
     {"-a", "500000", "-c", "0", "-s", "-m", "C#S#D#123#1122", "-p", "20", "-n", "5", "-e"},
     std::vector<std::string>(5, classic("123", "11 22 "))},
    // The identifier sweep starts with the message's own identifier.
    {{5},
     kOwner,
     {"-a", "500000", "-c", "0", "-s", "-m", "C#S#D#200#01", "-p", "10", "-n", "5", "--id-start",
      "100", "--id-end", "102"},
     {classic("200", "01 "), classic("100", "01 "), classic("101", "01 "), classic("102", "01 "),
      classic("100", "01 ")}},
    {{9},
     {"-a", "500000", "-d", "2000000", "-c", "1", "-r"},
     {"-a", "500000", "-d", "2000000", "-c", "0", "-s", "--brs", "-m", "F#E#D#1ABCDE#11223344"},
     {"FD ID:0x1ABCDE EXT:1 RTR:0 BRS:1 DLC:4 Data:11 22 33 44 \n"}},
    // --brs leaves a classic frame classic.
    {{10},
     kOwner,
     {"-a", "500000", "-c", "0", "-s", "--brs", "-m", "C#S#D#55#AA"},
     {classic("55", "AA ")}},
    {{11, "DUNLIN2"},
     {"-a", "1000000", "-c", "1", "-r"},
     {"-a", "1000000", "-c", "0", "-s", "-e", "-m", "C#E#D#12345678#0102030405060708", "-n", "3",
      "-p", "10"},
     std::vector<std::string>(
         3, "CAN ID:0x12345678 EXT:1 RTR:0 DLC:8 Data:01 02 03 04 05 06 07 08 \n")},
};

class Transfers : public testing::TestWithParam<int> {};

TEST_P(Transfers, OwnerReceivesTheClientsFramesInOrder) {
    const Transfer& t = kTransfers[GetParam()];
    auto owner = t.adapter.start(t.owner);
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    auto client = t.adapter.start(t.client);
    EXPECT_EQ(client->wait(30s), 0) << client->out();
    std::string out = client->out();
    EXPECT_EQ(countOf(out, kInited), 1) << out;
    EXPECT_EQ(countOf(out, "任务完毕,程序退出..."), 1) << out;
    bool echo = std::find(t.client.begin(), t.client.end(), "-e") != t.client.end();
    EXPECT_TRUE(shows(out, "发送->", echo ? t.frames : std::vector<std::string>{}));

    ASSERT_TRUE(owner->waitFor("接收->", t.frames.size(), 10s)) << owner->out();
    EXPECT_TRUE(shows(owner->out(), "接收->", t.frames));
    // A receive-only owner shows the frames it sent for its clients.
    EXPECT_TRUE(shows(owner->out(), "发送->", t.frames));
    owner->signal(SIGINT);
    EXPECT_EQ(owner->wait(10s), 0) << owner->out();
}

INSTANTIATE_TEST_SUITE_P(Sharing, Transfers, testing::Range(0, 5));

TEST(Sharing, EachProcessShowsOnlyItsOwnChannel) {
    E2eAdapter a{2};
    auto owner = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    auto other = a.start({"-a", "250000", "-c", "1", "-r"});
    auto shared = a.start({"-a", "125000", "-c", "0", "-r"});  // the owner's channel and rates
    ASSERT_TRUE(other->waitFor(kInited)) << other->out();
    ASSERT_TRUE(shared->waitFor(kInited)) << shared->out();
    ASSERT_EQ(a.inject(0, "100", "00").status, 0);
    ASSERT_EQ(a.inject(1, "101", "01").status, 0);
    ASSERT_TRUE(owner->waitFor("接收->CAN ID:0x100 ")) << owner->out();
    ASSERT_TRUE(shared->waitFor("接收->CAN ID:0x100 ")) << shared->out();
    ASSERT_TRUE(other->waitFor("接收->CAN ID:0x101 ")) << other->out();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(countOf(owner->out() + shared->out(), "ID:0x101"), 0);
    EXPECT_EQ(countOf(other->out(), "ID:0x100"), 0) << other->out();
}

TEST(Sharing, ClientInStatusViewGetsABlockOfItsChannelEverySecond) {
    E2eAdapter a{3};
    auto owner = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    auto client = a.start({"-a", "500000", "-c", "1", "--status"});
    ASSERT_TRUE(client->waitFor("CAN Statistics - DUNLINFD2 Channel 1", 2)) << client->out();
    EXPECT_EQ(countOf(client->out(), "CAN Statistics - DUNLINFD2 Channel 0"), 0);
    client->signal(SIGINT);
    EXPECT_EQ(client->wait(10s), 0);
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

TEST(Sharing, StoppedClientDoesNotStallTheOwner) {
    E2eAdapter a{7};
    auto owner = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted)) << owner->out();
    auto stopped = a.start({"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(stopped->waitFor(kInited)) << stopped->out();
    stopped->signal(SIGSTOP);
    // Far more frames than a socket buffer holds.
    ASSERT_EQ(a.simctl({"dev", "7", "gen", "start", "0", "C", "S", "8", "wire", "20000"}).status,
              0);
    EXPECT_TRUE(owner->waitFor("接收->", 20000, 30s)) << countOf(owner->out(), "接收->");
}

constexpr uid_t kStranger = 65534;  // nobody

// Another local user's process that took the adapter's lock file and, when
// `serve` is set, serves the socket too, answering every client as a
// friendly owner would and sending it a frame. Needs root to change user.
pid_t startStranger(const E2eAdapter& a, bool serve) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid != 0) {
        close(ready[1]);
        char byte = 0;
        bool ok = pid > 0 && read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        return ok ? pid : -1;
    }
    close(ready[0]);
    if (setgid(kStranger) != 0 || setuid(kStranger) != 0) {
        _exit(2);
    }
    int lock = open(a.path(".lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
        _exit(3);
    }
    int listener = -1;
    if (serve) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, a.path(".sock").c_str(), sizeof addr.sun_path - 1);
        listener = socket(AF_UNIX, SOCK_STREAM, 0);
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener, 5) != 0) {
            _exit(4);
        }
    }
    [[maybe_unused]] ssize_t n = write(ready[1], "r", 1);
    for (;;) {
        int fd = serve ? accept(listener, nullptr, nullptr) : -1;
        if (fd < 0) {
            pause();
            continue;
        }
        RpcFramePkg request{};
        if (read(fd, &request, sizeof request) != sizeof request) {
            close(fd);
            continue;
        }
        RpcFramePkg reply = request;
        reply.cmd = RPC_INIT_RESULT;
        reply.result = 0;
        n = write(fd, &reply, sizeof reply);
        reply.cmd = RPC_RECV_FRAME;
        reply.userObj.canObj.id = 0x666;
        reply.userObj.canObj.len = 1;
        n = write(fd, &reply, sizeof reply);
    }
}

TEST(Sharing, ClientRefusesAnAdapterHeldByAnotherUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a process as another user";
    }
    const std::pair<bool, const char*> rows[] = {
        {true, "/tmp/Kestrun_DUNLINFD2_14.sock is served by another user (uid 65534)"},
        {false, "Lock file /tmp/Kestrun_DUNLINFD2_14.lock belongs to another user (uid 65534)"},
    };
    E2eAdapter a{14};
    for (const auto& [serve, says] : rows) {
        unlink(a.path(".lock").c_str());
        unlink(a.path(".sock").c_str());
        pid_t stranger = startStranger(a, serve);
        ASSERT_GT(stranger, 0);
        auto client = a.start({"-a", "500000", "-c", "0", "-r"});
        EXPECT_EQ(client->wait(15s), 1) << client->out();
        std::string out = client->out();
        EXPECT_EQ(countOf(out, says), 1) << out;
        EXPECT_EQ(countOf(out, kInited) + countOf(out, "接收->"), 0) << out;
        kill(stranger, SIGKILL);
        waitpid(stranger, nullptr, 0);
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
