// The owner's side of channel sharing without an adapter (its queues, its
// server thread), the identifier sweep, and the device lock file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "app/lockfile.h"
#include "app/rpc.h"
#include "app/settings.h"
#include "app/workers.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;

RpcFramePkg makePkg(uint8_t cmd, uint32_t channel) {
    RpcFramePkg pkg;
    memset(&pkg, 0, sizeof pkg);
    pkg.cmd = cmd;
    pkg.devType = canAst.devType;
    pkg.devIndex = canAst.devIndex;
    pkg.channel = channel;
    return pkg;
}

// Reads one whole packet within a time bound; false when none came.
bool readPkg(int fd, RpcFramePkg* pkg, int timeoutMs = 2000) {
    RpcPkgAssembler assembler;
    while (!assembler.ready()) {
        pollfd pfd{fd, POLLIN, 0};
        uint8_t buf[kRpcPkgSize];
        ssize_t n =
            poll(&pfd, 1, timeoutMs) > 0 ? read(fd, buf, kRpcPkgSize - assembler.pending()) : 0;
        if (n <= 0) {
            return false;
        }
        assembler.feed(buf, static_cast<size_t>(n));
    }
    *pkg = assembler.take();
    return true;
}

class Owner : public ::testing::Test {
  protected:
    void SetUp() override {
        memset(&canAst, 0, sizeof canAst);
        canAst.devType = 41;
        canAst.devIndex = 3;
        canAst.chInited[0] = 1;
        canAst.recvMode = 1;
        g_running.store(true);
    }
    void TearDown() override {
        rpcCloseAllClients();
        for (int fd : peers_) {
            close(fd);
        }
    }
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
};

// Broadcasts go to the clients of the packet's channel only; a client that
// lags is queued for, one that never reads is dropped at the backlog limit,
// and neither stalls the owner.
TEST_F(Owner, BroadcastsQueueForSlowClientsUntilTheLimitWithoutStallingOthers) {
    int lagging = addClient(1);
    int other = addClient(2);
    RpcFramePkg pkg = makePkg(RPC_RECV_FRAME, 1);
    pkg.userObj.canObj.id = 0x123;
    rpcBroadcastUserObj(&pkg);
    ASSERT_TRUE(readPkg(lagging, &pkg));
    EXPECT_EQ(pkg.userObj.canObj.id, 0x123u);
    RpcFramePkg batch[32];
    for (RpcFramePkg& p : batch) {
        p = makePkg(RPC_RECV_FRAME, 1);
    }
    for (int i = 0; i < 128; ++i) {  // about 1 MiB, far below the limit
        rpcBroadcastPkgs(batch, 32);
    }
    std::unique_lock<std::recursive_mutex> lock(g_client_mutex);
    ASSERT_FALSE(g_client_fds[0].dead);
    ASSERT_GT(g_client_fds[0].out.capacity(), kRpcClientOutKeep);
    lock.unlock();
    // The client catches up, every packet whole after the owner's partial
    // sends; each further packet lets the owner send more, and the drained
    // queue gives its memory back.
    bool drained = false;
    uint8_t buf[65536];
    RpcPkgAssembler stream;
    for (int round = 0; round < 10000 && !drained; ++round) {
        for (ssize_t n; (n = recv(lagging, buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
            for (ssize_t used = 0; used < n; used += stream.feed(buf + used, n - used)) {
                if (stream.ready()) {
                    ASSERT_EQ(stream.take().channel, 1u);
                }
            }
        }
        rpcBroadcastPkgs(batch, 1);
        std::lock_guard<std::recursive_mutex> guard(g_client_mutex);
        drained = g_client_fds[0].out.size() == g_client_fds[0].outOffset;
    }
    lock.lock();
    ASSERT_TRUE(drained);
    EXPECT_LE(g_client_fds[0].out.capacity(), kRpcClientOutKeep);
    lock.unlock();

    addClient(1);  // never reads
    std::atomic<bool> draining{true};
    std::atomic<size_t> received{0};
    std::thread drain([&] {
        pollfd pfd{lagging, POLLIN, 0};
        while (draining.load()) {
            ssize_t n = poll(&pfd, 1, 50) > 0 ? read(lagging, buf, sizeof buf) : 0;
            received += n > 0 ? static_cast<size_t>(n) : 0;
        }
    });
    for (size_t i = 0; i < kRpcClientBacklogMax / sizeof batch + 64; ++i) {
        rpcBroadcastPkgs(batch, 32);  // never waits for a reader
    }
    lock.lock();
    EXPECT_FALSE(g_client_fds[0].dead);
    EXPECT_TRUE(g_client_fds[2].dead);
    lock.unlock();
    draining.store(false);
    drain.join();
    EXPECT_GT(received.load(), 0u);
    EXPECT_FALSE(readPkg(other, &pkg, 100));
}

// A channel's classic and FD readers broadcast to its client at the same
// time, each sending with the client list unlocked: every packet arrives
// whole, once, and each reader's in its order, also when the socket takes
// only part of a batch; the server thread sends what is left queued. (1.5 MiB
// in all: below the backlog limit, so a stalled drain cannot get the client
// dropped.)
TEST_F(Owner, ConcurrentBroadcastsToOneClientArriveWholeAndInOrder) {
    std::string name = "RpcOrder" + std::to_string(getpid());
    int listenFd = rpcStartServer(name.c_str(), 4);
    ASSERT_GE(listenFd, 0);
    std::thread server(rpcServerManageThread, listenFd, 41u, 4u, 0u);
    int peer = addClient(1);
    {
        // A small socket buffer: sends stop part-way through batches often.
        std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
        int size = 4096;
        setsockopt(g_client_fds[0].fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    constexpr uint32_t kBatches = 700;
    constexpr uint32_t kBatch = 4;
    auto reader = [](uint32_t who) {
        RpcFramePkg batch[kBatch];
        for (uint32_t b = 0; b < kBatches; ++b) {
            for (uint32_t i = 0; i < kBatch; ++i) {
                batch[i] = makePkg(RPC_RECV_FRAME, 1);
                batch[i].userObj.canObj.id = who << 16 | (b * kBatch + i);
            }
            rpcBroadcastPkgs(batch, kBatch);
        }
    };
    std::thread classic(reader, 1u);
    std::thread fd(reader, 2u);
    uint32_t next[3] = {};
    uint32_t total = 0;
    RpcPkgAssembler stream;
    uint8_t buf[65536];
    pollfd pfd{peer, POLLIN, 0};
    // A failed check leaves the lambda, and the readers are still joined.
    [&] {
        while (total < 2 * kBatches * kBatch && poll(&pfd, 1, 5000) > 0) {
            ssize_t n = read(peer, buf, sizeof buf);
            ASSERT_GT(n, 0);
            for (ssize_t used = 0; used < n;) {
                used +=
                    static_cast<ssize_t>(stream.feed(buf + used, static_cast<size_t>(n - used)));
                if (!stream.ready()) {
                    continue;
                }
                const uint32_t id = stream.take().userObj.canObj.id;
                const uint32_t who = id >> 16;
                ASSERT_TRUE(who == 1 || who == 2) << std::hex << id;
                ASSERT_EQ(id & 0xFFFF, next[who]++);
                ++total;
            }
        }
    }();
    RpcFramePkg pkg;
    classic.join();
    fd.join();
    EXPECT_EQ(total, 2 * kBatches * kBatch);
    EXPECT_FALSE(readPkg(peer, &pkg, 100));
    {
        std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
        EXPECT_FALSE(g_client_fds[0].dead);
        EXPECT_FALSE(g_client_fds[0].sending);
    }
    g_running.store(false);
    server.join();
    char path[128];
    rpcSocketPath(name.c_str(), 4, path, sizeof path);
    close(listenFd);
    unlink(path);
}

TEST_F(Owner, ServerAssemblesSplitPacketsRefusesOtherUsersAndEndsWithTheRun) {
    std::string name = "RpcTest" + std::to_string(getpid());
    int listenFd = rpcStartServer(name.c_str(), 3);
    ASSERT_GE(listenFd, 0);
    char path[128];
    rpcSocketPath(name.c_str(), 3, path, sizeof path);
    chmod(path, 0777);
    std::thread server(rpcServerManageThread, listenFd, 41u, 3u, 0u);
    int fd = rpcConnectServer(name.c_str(), 3);
    ASSERT_GE(fd, 0);
    RpcFramePkg init = makePkg(RPC_INIT_REQ, 0);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&init);
    ASSERT_EQ(write(fd, bytes, 100), 100);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(write(fd, bytes + 100, kRpcPkgSize - 100), static_cast<ssize_t>(kRpcPkgSize - 100));
    RpcFramePkg reply;
    ASSERT_TRUE(readPkg(fd, &reply, 5000));
    EXPECT_EQ(reply.cmd, RPC_INIT_RESULT);
    EXPECT_EQ(reply.result, 0);

    // A peer of another user is closed without an answer.
    if (geteuid() == 0) {
        pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) {
                _exit(2);
            }
            int stranger = rpcConnectServer(name.c_str(), 3);
            (void)!send(stranger, &init, sizeof init, MSG_NOSIGNAL);
            alarm(5);  // an owner that neither answers nor hangs up ends the child
            _exit(stranger >= 0 && rpcPkgRead(stranger, &reply) == -1 ? 0 : 1);
        }
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_EQ(status, 0);
    }

    auto stop = std::chrono::steady_clock::now();
    g_running.store(false);
    server.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stop, 2s);
    close(fd);
    close(listenFd);
    unlink(path);
}

TEST(IdentifierSweep, StepsWrapAtTheTopAndRandomDrawsStayInTheRange) {
    TaskTxConfig c = defaultTaskTxConfig();
    c.idStart = 5;
    c.idEnd = 0xFFFFFFFF;
    c.idStep = 0x10;
    // The sum wraps around 32 bits; it is not past the end, so it is taken.
    EXPECT_EQ(hwNextSweepId(c, 0xFFFFFFF8, 0), 0x8u);
    c.idRandom = 1;
    c.idStart = 0x10;
    c.idEnd = 0x1F;
    for (uint32_t draw : {0u, 1u, 15u, 16u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(hwNextSweepId(c, 0x123, draw), 0x10 + draw % 16);
    }
    c.idStart = 0;  // the whole space: no modulo by zero
    c.idEnd = 0xFFFFFFFF;
    EXPECT_EQ(hwNextSweepId(c, 0, 0xDEADBEEF), 0xDEADBEEFu);
}

std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(LockFile, TakenWhenFreeRefusedWhileHeldAndRemovedOnRelease) {
    // A model name of this process keeps parallel runs apart.
    const std::string name = "LockTest" + std::to_string(getpid());
    const std::string path = "/tmp/Kestrun_" + name + "_5.lock";
    unlink(path.c_str());
    EXPECT_EQ(devLockIsLock(name.c_str(), 5), -1);  // free: the probe creates the file
    ASSERT_EQ(access(path.c_str(), F_OK), 0);

    // Held by another open file (as by another process), with an old pid.
    int other = open(path.c_str(), O_RDWR);
    ASSERT_EQ(write(other, "999999999999", 12), 12);
    ASSERT_EQ(flock(other, LOCK_EX), 0);
    EXPECT_EQ(devLockIsLock(name.c_str(), 5), 0);
    EXPECT_EQ(devLock(name.c_str(), 5, 10), -1);
    EXPECT_EQ(g_lock_fd, -1);
    close(other);  // the holder ended without releasing: its file does not stop a new owner

    EXPECT_EQ(devLock(name.c_str(), 5, 10), 0);
    EXPECT_EQ(contents(path), std::to_string(getpid()));
    EXPECT_TRUE(fcntl(g_lock_fd, F_GETFD) & FD_CLOEXEC);  // not inherited by programs
    EXPECT_EQ(devLock(name.c_str(), 5, 10), 0);           // already held
    EXPECT_EQ(devUnlock(name.c_str(), 5), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_EQ(g_lock_fd, -1);
    EXPECT_EQ(devUnlock(name.c_str(), 5), 0);  // nothing held: nothing done

    // A symbolic link planted as the lock file is never followed.
    char target[] = "/tmp/kestrun-lock-target-XXXXXX";
    int fd = mkstemp(target);
    ASSERT_EQ(write(fd, "precious", 8), 8);
    close(fd);
    ASSERT_EQ(symlink(target, path.c_str()), 0);
    EXPECT_EQ(devLockIsLock(name.c_str(), 5), 0);
    std::string out = testproc::stdoutOf([&] { EXPECT_EQ(devLock(name.c_str(), 5, 10), -1); });
    EXPECT_NE(out.find("file " + path + " creat fail..."), std::string::npos) << out;
    EXPECT_EQ(contents(target), "precious");
    unlink(target);
    unlink(path.c_str());
}

}  // namespace
