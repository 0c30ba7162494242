// Several kestrun processes sharing one virtual adapter: the owner serves
// its clients over the socket, each process shows its own channel.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "app/rpc_packet.h"
#include "e2e_env.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const char* kStarted = "启动完成...";

std::unique_ptr<Process> start(const E2eAdapter& a, std::vector<std::string> args) {
    return std::make_unique<Process>(KESTRUN_SIM_LAUNCHER, a.args(std::move(args)), a.env());
}

TEST(Sharing, OwnerReceivesWhatAClientSendsOverTheWiredChannel) {
    E2eAdapter a{1};
    auto owner = start(a, {"-a", "500000", "-c", "1", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    auto client = start(
        a, {"-a", "500000", "-c", "0", "-s", "-m", "C#S#D#123#1122", "-p", "20", "-n", "5", "-e"});
    EXPECT_EQ(client->wait(seconds(30)), 0) << client->output();
    std::string out = client->output();
    EXPECT_EQ(countOf(out, "设备初始化成功..."), 1) << out;
    EXPECT_EQ(countOf(out, "发送->CAN ID:0x123 EXT:0 RTR:0 DLC:2 Data:11 22 \n"), 5) << out;
    EXPECT_EQ(countOf(out, "任务完毕,程序退出..."), 1);

    ASSERT_TRUE(
        owner->waitFor("接收->CAN ID:0x123 EXT:0 RTR:0 DLC:2 Data:11 22 \n", seconds(10), 5))
        << owner->output();
    // A receive-only owner shows the frames it sent for its clients.
    EXPECT_EQ(countOf(owner->output(), "发送->CAN ID:0x123"), 5);

    owner->signal(SIGINT);
    EXPECT_EQ(owner->wait(seconds(10)), 0) << owner->output();
    EXPECT_EQ(countOf(owner->output(), "任务完毕,程序退出..."), 1);
    EXPECT_NE(access(a.lockPath().c_str(), F_OK), 0);
    EXPECT_NE(access(a.socketPath().c_str(), F_OK), 0);
}

TEST(Sharing, EachProcessShowsOnlyItsOwnChannel) {
    E2eAdapter a{2};
    auto owner = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    auto client = start(a, {"-a", "250000", "-c", "1", "-r"});
    ASSERT_TRUE(client->waitFor("设备初始化成功...", seconds(20))) << client->output();

    a.inject(0, "100", "00");
    a.inject(1, "101", "01");
    ASSERT_TRUE(owner->waitFor("接收->CAN ID:0x100 ", seconds(10))) << owner->output();
    ASSERT_TRUE(client->waitFor("接收->CAN ID:0x101 ", seconds(10))) << client->output();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(countOf(owner->output(), "ID:0x101"), 0) << owner->output();
    EXPECT_EQ(countOf(client->output(), "ID:0x100"), 0) << client->output();

    owner->signal(SIGTERM);
    EXPECT_EQ(owner->wait(seconds(10)), 0);
    // The owner's end ends its clients.
    EXPECT_GE(client->wait(seconds(10)), 0) << client->output();
    EXPECT_EQ(countOf(client->output(), "与服务器断开"), 1) << client->output();
}

TEST(Sharing, ClientInStatusViewGetsABlockEverySecond) {
    E2eAdapter a{3};
    auto owner = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    auto client = start(a, {"-a", "500000", "-c", "1", "--status"});
    ASSERT_TRUE(client->waitFor("CAN Statistics - DUNLINFD2 Channel 1", seconds(10), 2))
        << client->output();
    EXPECT_EQ(countOf(client->output(), "CAN Statistics - DUNLINFD2 Channel 0"), 0);
    client->signal(SIGINT);
    EXPECT_EQ(client->wait(seconds(10)), 0);
    ASSERT_TRUE(owner->waitFor("Dislink", seconds(5))) << owner->output();
}

TEST(Sharing, ClientOnTheOwnersChannelSharesItAndItsBitRates) {
    E2eAdapter a{4};
    auto owner = start(a, {"-a", "500000", "-c", "1", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    // Asks for other rates: the channel keeps the owner's.
    auto shared = start(a, {"-a", "125000", "-c", "1", "-r"});
    ASSERT_TRUE(shared->waitFor("设备初始化成功...", seconds(10))) << shared->output();
    auto sender = start(a, {"-a", "500000", "-c", "0", "-s", "-m", "C#S#D#321#AA", "-n", "1"});
    EXPECT_EQ(sender->wait(seconds(20)), 0) << sender->output();
    // The 500 kbit/s frame reaches the shared channel: both its processes show it.
    EXPECT_TRUE(owner->waitFor("接收->CAN ID:0x321", seconds(10))) << owner->output();
    EXPECT_TRUE(shared->waitFor("接收->CAN ID:0x321", seconds(10))) << shared->output();
}

TEST(Sharing, IdentifierSweepReachesTheReceiverInOrder) {
    E2eAdapter a{5};
    auto owner = start(a, {"-a", "500000", "-c", "1", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    auto client = start(a, {"-a", "500000", "-c", "0", "-s", "-m", "C#S#D#200#01", "-p", "10", "-n",
                            "5", "--id-start", "100", "--id-end", "102"});
    EXPECT_EQ(client->wait(seconds(30)), 0) << client->output();
    ASSERT_TRUE(owner->waitFor("接收->", seconds(10), 5)) << owner->output();
    std::string out = owner->output();
    size_t pos = 0;
    for (const char* id : {"0x200", "0x100", "0x101", "0x102", "0x100"}) {
        pos = out.find(std::string("接收->CAN ID:") + id + " ", pos);
        ASSERT_NE(pos, std::string::npos) << id << "\n" << out;
        ++pos;
    }
}

TEST(Sharing, KilledClientLeavesOwnerAndOtherClientsRunning) {
    E2eAdapter a{6};
    auto owner = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    auto doomed = start(a, {"-a", "500000", "-c", "1", "-r"});
    auto survivor = start(a, {"-a", "500000", "-c", "1", "-r"});
    ASSERT_TRUE(doomed->waitFor("设备初始化成功...", seconds(10)));
    ASSERT_TRUE(survivor->waitFor("设备初始化成功...", seconds(10)));
    doomed->signal(SIGKILL);
    doomed->wait(seconds(5));
    ASSERT_TRUE(owner->waitFor("Dislink", seconds(5))) << owner->output();
    a.inject(1, "77", "01");
    EXPECT_TRUE(survivor->waitFor("接收->CAN ID:0x77 ", seconds(10))) << survivor->output();
}

TEST(Sharing, StoppedClientDoesNotStallTheOwner) {
    E2eAdapter a{7};
    auto owner = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    auto stopped = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(stopped->waitFor("设备初始化成功...", seconds(10)));
    stopped->signal(SIGSTOP);
    // Far more frames than a socket buffer holds.
    std::string reply = a.simctl(
        {"dev", std::to_string(a.index), "gen", "start", "0", "C", "S", "8", "wire", "20000"});
    ASSERT_EQ(reply.rfind("error", 0), std::string::npos) << reply;
    EXPECT_TRUE(owner->waitFor("接收->", seconds(30), 20000)) << countOf(owner->output(), "接收->");
    stopped->signal(SIGCONT);
    stopped->signal(SIGKILL);
}

TEST(Sharing, EleventhClientIsTurnedAway) {
    E2eAdapter a{8};
    auto owner = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    std::vector<std::unique_ptr<Process>> clients;
    for (int i = 0; i < 10; ++i) {
        clients.push_back(start(a, {"-a", "500000", "-c", "1", "-r"}));
        ASSERT_TRUE(clients.back()->waitFor("设备初始化成功...", seconds(20)))
            << clients.back()->output();
    }
    auto eleventh = start(a, {"-a", "500000", "-c", "1", "-r"});
    EXPECT_GE(eleventh->wait(seconds(10)), 0) << eleventh->output();
    EXPECT_EQ(countOf(eleventh->output(), "与服务器断开"), 1) << eleventh->output();
    for (auto& c : clients) {
        EXPECT_TRUE(c->running());
    }
}

}  // namespace

namespace {

TEST(Sharing, FdFrameWithBitRateSwitchArrivesAsSent) {
    E2eAdapter a{9};
    auto owner = start(a, {"-a", "500000", "-d", "2000000", "-c", "1", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    auto client = start(a, {"-a", "500000", "-d", "2000000", "-c", "0", "-s", "--brs", "-m",
                            "F#E#D#1ABCDE#11223344"});
    EXPECT_EQ(client->wait(seconds(20)), 0) << client->output();
    EXPECT_TRUE(owner->waitFor("接收->FD ID:0x1ABCDE EXT:1 RTR:0 BRS:1 DLC:4 Data:11 22 33 44 \n",
                               seconds(10)))
        << owner->output();
}

TEST(Sharing, ClassicMessageWithBrsOptionStaysClassic) {
    E2eAdapter a{10};
    auto owner = start(a, {"-a", "500000", "-c", "1", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    auto client = start(a, {"-a", "500000", "-c", "0", "-s", "--brs", "-m", "C#S#D#55#AA"});
    EXPECT_EQ(client->wait(seconds(20)), 0) << client->output();
    EXPECT_TRUE(owner->waitFor("接收->CAN ID:0x55 EXT:0 RTR:0 DLC:1 Data:AA \n", seconds(10)))
        << owner->output();
}

}  // namespace

namespace {

TEST(ClassicSharing, Dunlin2OwnerAndClientOnWiredChannels) {
    E2eAdapter a{11, "DUNLIN2"};
    auto owner = start(a, {"-a", "1000000", "-c", "1", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    auto client = start(a, {"-a", "1000000", "-c", "0", "-s", "-e", "-m",
                            "C#E#D#12345678#0102030405060708", "-n", "3", "-p", "10"});
    EXPECT_EQ(client->wait(seconds(20)), 0) << client->output();
    EXPECT_EQ(countOf(client->output(), "发送->CAN ID:0x12345678 EXT:1"), 3) << client->output();
    EXPECT_TRUE(
        owner->waitFor("接收->CAN ID:0x12345678 EXT:1 RTR:0 DLC:8 Data:01 02 03 04 05 06 07 08 \n",
                       seconds(10), 3))
        << owner->output();
    owner->signal(SIGINT);
    EXPECT_EQ(owner->wait(seconds(10)), 0) << owner->output();
}

TEST(ClassicSharing, UnsupportedRateIsRefusedWithTheRateList) {
    E2eAdapter a{12, "DUNLIN2"};
    auto owner = start(a, {"-a", "20000", "-r"});
    EXPECT_EQ(owner->wait(seconds(20)), 1) << owner->output();
    std::string out = owner->output();
    EXPECT_EQ(countOf(out, "不支持的波特率<20000Hz>"), 1) << out;
    EXPECT_EQ(countOf(out, "50000/100000/125000/250000/500000/800000/1000000Hz"), 2) << out;
}

TEST(ClassicSharing, EveryClassicRateOfTheTableCarriesFrames) {
    E2eAdapter a{13, "DUNLIN2"};
    for (const char* rate :
         {"50000", "100000", "125000", "250000", "500000", "800000", "1000000"}) {
        auto owner = start(a, {"-a", rate, "-c", "1", "-r"});
        ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << rate << owner->output();
        auto client = start(a, {"-a", rate, "-c", "0", "-s", "-m", "C#S#D#7FF#AA"});
        EXPECT_EQ(client->wait(seconds(20)), 0) << rate << client->output();
        EXPECT_TRUE(owner->waitFor("接收->CAN ID:0x7FF ", seconds(10))) << rate << owner->output();
        owner->signal(SIGINT);
        EXPECT_EQ(owner->wait(seconds(10)), 0);
    }
}

}  // namespace

namespace {

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
    int lock = open(a.lockPath().c_str(), O_RDWR | O_CREAT, 0644);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
        _exit(3);
    }
    int listener = -1;
    if (serve) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, a.socketPath().c_str(), sizeof addr.sun_path - 1);
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
    struct Row {
        bool serve;
        const char* says;
    };
    const Row rows[] = {
        {true, "/tmp/Kestrun_DUNLINFD2_14.sock is served by another user (uid 65534)"},
        {false, "Lock file /tmp/Kestrun_DUNLINFD2_14.lock belongs to another user (uid 65534)"},
    };
    E2eAdapter a{14};
    for (const Row& row : rows) {
        unlink(a.lockPath().c_str());
        unlink(a.socketPath().c_str());
        pid_t stranger = startStranger(a, row.serve);
        ASSERT_GT(stranger, 0);
        auto client = start(a, {"-a", "500000", "-c", "0", "-r"});
        EXPECT_EQ(client->wait(seconds(15)), 1) << client->output();
        std::string out = client->output();
        EXPECT_EQ(countOf(out, row.says), 1) << out;
        EXPECT_EQ(countOf(out, "设备初始化成功..."), 0) << out;
        EXPECT_EQ(countOf(out, "接收->"), 0) << out;
        kill(stranger, SIGKILL);
        waitpid(stranger, nullptr, 0);
        client.reset();
    }
    unlink(a.lockPath().c_str());
    unlink(a.socketPath().c_str());
}

TEST(Sharing, ClientWhoseChannelIsRefusedEndsWithStatusOne) {
    E2eAdapter a{15};
    auto owner = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    for (std::vector<std::string> mode :
         {std::vector<std::string>{"-r"}, {"-s", "-m", "C#S#D#123#11", "-n", "0", "-p", "10"}}) {
        std::vector<std::string> args = {"-a", "12345", "-c", "1"};
        args.insert(args.end(), mode.begin(), mode.end());
        auto client = start(a, args);
        EXPECT_EQ(client->wait(seconds(15)), 1) << client->output();
        EXPECT_EQ(countOf(client->output(), "设备初始化失败..."), 1) << client->output();
    }
    // No frame of the refused sender reached the adapter.
    EXPECT_EQ(countOf(owner->output(), "发送->"), 0) << owner->output();
    EXPECT_TRUE(owner->running());
}

TEST(Sharing, ClientWaitingForAResultEndsAtOnceWhenItsOwnerDies) {
    E2eAdapter a{16};
    auto owner = start(a, {"-a", "500000", "-c", "0", "-r"});
    ASSERT_TRUE(owner->waitFor(kStarted, seconds(20))) << owner->output();
    auto client = start(
        a, {"-a", "500000", "-c", "1", "-s", "-e", "-m", "C#S#D#123#11", "-n", "0", "-p", "50"});
    ASSERT_TRUE(client->waitFor("发送->", seconds(20))) << client->output();
    // A stopped owner leaves the client's next request unanswered.
    owner->signal(SIGSTOP);
    std::this_thread::sleep_for(milliseconds(500));
    owner->signal(SIGKILL);
    auto lost = std::chrono::steady_clock::now();
    EXPECT_GE(client->wait(seconds(10)), 0) << client->output();
    // The request's own wait would have lasted 5 s.
    EXPECT_LT(std::chrono::steady_clock::now() - lost, seconds(3)) << client->output();
    EXPECT_EQ(countOf(client->output(), "与服务器断开"), 1) << client->output();
}

}  // namespace
