// Channel sharing: packet assembly, the owner's handling of client packets,
// the broadcast, and the client's filtering — without an adapter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "app/rpc.h"
#include "app/settings.h"
#include "app/workers.h"

namespace {

RpcFramePkg makePkg(uint8_t cmd, uint32_t channel) {
    RpcFramePkg pkg;
    std::memset(&pkg, 0, sizeof pkg);
    pkg.cmd = cmd;
    pkg.devType = canAst.devType;
    pkg.devIndex = canAst.devIndex;
    pkg.channel = channel;
    return pkg;
}

// Reads one whole packet within a time bound; false when none came.
bool readPkg(int fd, RpcFramePkg* pkg, int timeoutMs = 2000) {
    RpcPkgAssembler assembler;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!assembler.ready()) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now())
                                        .count());
        pollfd pfd{fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, left) <= 0) {
            return false;
        }
        uint8_t buf[kRpcPkgSize];
        ssize_t n = read(fd, buf, kRpcPkgSize - assembler.pending());
        if (n <= 0) {
            return false;
        }
        assembler.feed(buf, static_cast<size_t>(n));
    }
    *pkg = assembler.take();
    return true;
}

class OwnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(&canAst, 0, sizeof canAst);
        canAst.devType = 41;
        canAst.devIndex = 3;
        canAst.channel = 0;
        canAst.chInited[0] = 1;
        canAst.recvMode = 1;
        g_running.store(true);
    }
    void TearDown() override { rpcCloseAllClients(); }

    // A connected client as the owner's list holds it; returns the peer end.
    int addClient(int32_t channel) {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        fcntl(sv[0], F_SETFL, O_NONBLOCK);
        RpcClient client;
        client.fd = sv[0];
        client.channel = channel;
        std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
        g_client_fds.push_back(std::move(client));
        peers_.push_back(sv[1]);
        return sv[1];
    }
    std::vector<int> peers_;

  public:
    ~OwnerTest() override {
        for (int fd : peers_) {
            close(fd);
        }
    }
};

TEST(RpcPacket, LayoutIsPinned) {
    EXPECT_EQ(sizeof(RpcFramePkg), 272u);
    EXPECT_EQ(offsetof(RpcFramePkg, userObj), 16u);
    EXPECT_EQ(offsetof(RpcFramePkg, stats), 128u);
}

TEST(RpcPacket, AssemblerYieldsTheSamePacketsWhateverTheSplit) {
    RpcFramePkg pkgs[3];
    for (int i = 0; i < 3; ++i) {
        std::memset(&pkgs[i], 0, sizeof pkgs[i]);
        pkgs[i].cmd = static_cast<uint8_t>(i + 1);
        pkgs[i].channel = static_cast<uint32_t>(i * 5);
        pkgs[i].userObj.canfdObj.data[63] = static_cast<uint8_t>(0xA0 + i);
    }
    const uint8_t* stream = reinterpret_cast<const uint8_t*>(pkgs);
    for (size_t split = 1; split < sizeof pkgs; split += 7) {
        RpcPkgAssembler assembler;
        std::vector<RpcFramePkg> got;
        for (size_t start = 0; start < sizeof pkgs;) {
            size_t chunk = std::min(split, sizeof pkgs - start);
            size_t used = 0;
            while (used < chunk) {
                used += assembler.feed(stream + start + used, chunk - used);
                if (assembler.ready()) {
                    got.push_back(assembler.take());
                }
            }
            start += chunk;
        }
        ASSERT_EQ(got.size(), 3u) << "split " << split;
        EXPECT_EQ(std::memcmp(got.data(), pkgs, sizeof pkgs), 0) << "split " << split;
        EXPECT_EQ(assembler.pending(), 0u);
    }
}

TEST_F(OwnerTest, PacketsForAnotherAdapterOrImpossibleChannelAreRefused) {
    int peer = addClient(-1);
    struct Case {
        uint8_t cmd;
        uint32_t type, index, channel;
        uint8_t reply;
    } cases[] = {
        {RPC_INIT_REQ, 41, 3, 16, RPC_INIT_RESULT},
        {RPC_INIT_REQ, 41, 3, 0xFFFFFFFF, RPC_INIT_RESULT},
        {RPC_INIT_REQ, 42, 3, 1, RPC_INIT_RESULT},
        {RPC_SEND_REQ, 41, 4, 1, RPC_SEND_RESULT},
        {RPC_SEND_REQ, 41, 3, 200, RPC_SEND_RESULT},
    };
    for (const Case& c : cases) {
        RpcFramePkg pkg = makePkg(c.cmd, c.channel);
        pkg.devType = c.type;
        pkg.devIndex = c.index;
        int fd = g_client_fds.back().fd;
        EXPECT_EQ(rpcServerRpcPkgHandle(fd, &pkg), 0);
        RpcFramePkg reply;
        ASSERT_TRUE(readPkg(peer, &reply)) << int(c.cmd) << " " << c.channel;
        EXPECT_EQ(reply.cmd, c.reply);
        EXPECT_EQ(reply.result, -1);
    }
    for (int c = 1; c < kMaxChannels; ++c) {
        EXPECT_EQ(canAst.chInited[c], 0);
        EXPECT_EQ(canAst.stats[c].txFailed, 0u);
    }
}

TEST_F(OwnerTest, InitOfTheOwnersChannelIsAnsweredAtOnce) {
    int peer = addClient(-1);
    RpcFramePkg pkg = makePkg(RPC_INIT_REQ, 0);
    pkg.arbRate = 125000;  // other rates than the owner's: they do not apply
    rpcServerRpcPkgHandle(g_client_fds.back().fd, &pkg);
    RpcFramePkg reply;
    ASSERT_TRUE(readPkg(peer, &reply));
    EXPECT_EQ(reply.cmd, RPC_INIT_RESULT);
    EXPECT_EQ(reply.result, 0);
    EXPECT_EQ(g_client_fds.back().channel, 0);
}

TEST_F(OwnerTest, FailedInitIsReportedAndLeavesTheChannelUninitialised) {
    int peer = addClient(-1);
    RpcFramePkg pkg = makePkg(RPC_INIT_REQ, 2);
    pkg.arbRate = 123;  // no such bit rate
    testing::internal::CaptureStdout();
    rpcServerRpcPkgHandle(g_client_fds.back().fd, &pkg);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("不支持的波特率<123Hz, 0Hz>"), std::string::npos) << out;
    RpcFramePkg reply;
    ASSERT_TRUE(readPkg(peer, &reply));
    EXPECT_EQ(reply.result, -1);
    EXPECT_EQ(canAst.chInited[2], 0);
}

TEST_F(OwnerTest, BroadcastReachesOnlyClientsOfThePacketsChannel) {
    int one = addClient(1);
    int two = addClient(2);
    RpcFramePkg pkg = makePkg(RPC_RECV_FRAME, 1);
    pkg.userObj.canObj.id = 0x123;
    rpcBroadcastUserObj(&pkg);
    RpcFramePkg got;
    ASSERT_TRUE(readPkg(one, &got));
    EXPECT_EQ(got.userObj.canObj.id, 0x123u);
    EXPECT_FALSE(readPkg(two, &got, 100));
}

TEST_F(OwnerTest, AStalledClientIsDroppedWithoutStallingTheOthers) {
    addClient(1);  // never reads
    int reader = addClient(1);
    std::atomic<bool> draining{true};
    std::atomic<size_t> received{0};
    std::thread drain([&] {
        uint8_t buf[65536];
        while (draining.load()) {
            pollfd pfd{reader, POLLIN, 0};
            if (poll(&pfd, 1, 50) > 0) {
                ssize_t n = read(reader, buf, sizeof buf);
                if (n > 0) {
                    received += static_cast<size_t>(n);
                }
            }
        }
    });
    RpcFramePkg batch[32];
    for (RpcFramePkg& p : batch) {
        p = makePkg(RPC_RECV_FRAME, 1);
    }
    const size_t batches = (kRpcClientBacklogMax / sizeof batch) + 64;
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < batches; ++i) {
        rpcBroadcastPkgs(batch, 32);
    }
    auto took = std::chrono::steady_clock::now() - start;
    // Handing packets over never waits for a reader.
    EXPECT_LT(took, std::chrono::seconds(20));
    {
        std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
        ASSERT_EQ(g_client_fds.size(), 2u);
        EXPECT_TRUE(g_client_fds[0].dead);
        EXPECT_FALSE(g_client_fds[1].dead);
    }
    draining.store(false);
    drain.join();
    EXPECT_GT(received.load(), 0u);
}

TEST_F(OwnerTest, AClientsQueueGivesBackItsMemoryOnceDrained) {
    int peer = addClient(1);  // does not read until the burst is queued
    RpcFramePkg batch[32];
    for (RpcFramePkg& p : batch) {
        p = makePkg(RPC_RECV_FRAME, 1);
    }
    for (int i = 0; i < 128; ++i) {  // about 1 MiB, far below the drop limit
        rpcBroadcastPkgs(batch, 32);
    }
    {
        std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
        ASSERT_FALSE(g_client_fds[0].dead);
        ASSERT_GT(g_client_fds[0].out.capacity(), kRpcClientOutKeep);
    }
    // The client catches up; each further packet lets the owner send more.
    bool drained = false;
    uint8_t buf[65536];
    for (int round = 0; round < 10000 && !drained; ++round) {
        while (recv(peer, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
        rpcBroadcastPkgs(batch, 1);
        std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
        drained = g_client_fds[0].out.size() == g_client_fds[0].outOffset;
    }
    std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
    ASSERT_TRUE(drained);
    EXPECT_FALSE(g_client_fds[0].dead);
    EXPECT_LE(g_client_fds[0].out.capacity(), kRpcClientOutKeep);
}

TEST_F(OwnerTest, ServerAcceptsAssemblesSplitPacketsAndEndsWithTheRun) {
    std::string name = "RpcTest" + std::to_string(getpid());
    int listenFd = rpcStartServer(name.c_str(), 3);
    ASSERT_GE(listenFd, 0);
    std::thread server(rpcServerManageThread, listenFd, 41u, 3u, 0u);
    int fd = rpcConnectServer(name.c_str(), 3);
    ASSERT_GE(fd, 0);

    RpcFramePkg init = makePkg(RPC_INIT_REQ, 0);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&init);
    ASSERT_EQ(write(fd, bytes, 100), 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(write(fd, bytes + 100, kRpcPkgSize - 100), static_cast<ssize_t>(kRpcPkgSize - 100));
    RpcFramePkg reply;
    ASSERT_TRUE(readPkg(fd, &reply, 5000));
    EXPECT_EQ(reply.cmd, RPC_INIT_RESULT);
    EXPECT_EQ(reply.result, 0);

    auto stop = std::chrono::steady_clock::now();
    g_running.store(false);
    server.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::seconds(2));
    close(fd);
    close(listenFd);
    char path[128];
    rpcSocketPath(name.c_str(), 3, path, sizeof path);
    unlink(path);
}

TEST_F(OwnerTest, PeerOfAnotherUserIsRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as another user";
    }
    std::string name = "RpcPeer" + std::to_string(getpid());
    int listenFd = rpcStartServer(name.c_str(), 3);
    ASSERT_GE(listenFd, 0);
    char path[128];
    rpcSocketPath(name.c_str(), 3, path, sizeof path);
    chmod(path, 0777);
    std::thread server(rpcServerManageThread, listenFd, 41u, 3u, 0u);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        int fd = rpcConnectServer(name.c_str(), 3);
        if (fd < 0) {
            _exit(3);
        }
        RpcFramePkg init = makePkg(RPC_INIT_REQ, 0);
        // The owner may already have hung up: no SIGPIPE for this write.
        (void)!send(fd, &init, sizeof init, MSG_NOSIGNAL);
        RpcFramePkg reply;
        // The owner closes the connection instead of answering.
        _exit(readPkg(fd, &reply, 3000) ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    g_running.store(false);
    server.join();
    close(listenFd);
    unlink(path);
}

TEST(ClientHandling, KeepsOnlyItsOwnAdapterAndChannel) {
    std::memset(&canAst, 0, sizeof canAst);
    canAst.devType = 67;
    canAst.devIndex = 1;
    canAst.channel = 2;
    canAst.recvMode = 1;
    RpcFramePkg pkg = makePkg(RPC_RECV_FRAME, 2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(rpcClientRpcPkgHandle(&pkg), 0);
    pkg.channel = 3;
    EXPECT_EQ(rpcClientRpcPkgHandle(&pkg), -1);
    pkg.channel = 2;
    pkg.devIndex = 0;
    EXPECT_EQ(rpcClientRpcPkgHandle(&pkg), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

TEST(ClientHandling, SendResultClearsPendingAndShowsFailures) {
    std::memset(&canAst, 0, sizeof canAst);
    canAst.devType = 67;
    canAst.channel = 2;
    canAst.sendMode = 1;
    canAst.txPending = 1;
    RpcFramePkg pkg = makePkg(RPC_SEND_RESULT, 2);
    pkg.result = 0;
    testing::internal::CaptureStdout();
    rpcClientRpcPkgHandle(&pkg);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(canAst.txPending, 0);
    EXPECT_NE(out.find("发送->CAN ID:0x0"), std::string::npos) << out;
    EXPECT_NE(out.find("发送失败."), std::string::npos) << out;

    RpcFramePkg init = makePkg(RPC_INIT_RESULT, 2);
    init.result = -1;
    testing::internal::CaptureStdout();
    rpcClientRpcPkgHandle(&init);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("设备初始化失败..."), std::string::npos);
}

}  // namespace
