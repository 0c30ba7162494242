#include "app/run_plan.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "app/console.h"
#include "app/lockfile.h"
#include "app/rpc.h"
#include "app/settings.h"
#include "app/workers.h"
#include "kcan.h"

namespace {

// An owner creates its socket only after opening the adapter and
// initialising its channel; a client started meanwhile keeps trying.
constexpr auto kConnectPatience = std::chrono::seconds(3);
constexpr auto kConnectRetry = std::chrono::milliseconds(50);
// --serve ends this long after its last client has gone (or after its start
// when no client comes): long enough for a script to reconnect, short enough
// that a started owner does not outlive its users by much.
constexpr int kServeLingerSeconds = 3;
constexpr auto kServeLinger = std::chrono::seconds(kServeLingerSeconds);
constexpr auto kServeWakeSlice = std::chrono::seconds(1);

int exitStatusOfRun() {
    return hwSendFailures() > 0 ? 1 : 0;
}

// A client that found no owner says so when the lock file belongs to another
// user: that user's process, or a file it left behind, blocks the adapter.
void reportForeignLock(const char* name, uint32_t index) {
    uint32_t uid = 0;
    if (devLockFileOwner(name, index, &uid) == 0 && uid != geteuid() && uid != 0) {
        char path[256];
        devLockNameGet(name, index, path);
        log_error("Lock file %s belongs to another user (uid %u)", path, uid);
    }
}

// --serve: runs until kServeLinger passed without a client, or the run ends.
void serveWhileUsed() {
    using Clock = std::chrono::steady_clock;
    auto idleSince = Clock::now();
    uint64_t gone = rpcAwaitClientGone(0, std::chrono::milliseconds(0));
    while (g_running.load()) {
        const uint64_t now = rpcAwaitClientGone(gone, kServeWakeSlice);
        if (now != gone || rpcClientCount() > 0) {
            gone = now;
            idleSince = Clock::now();
        } else if (Clock::now() - idleSince >= kServeLinger) {
            log_info("%d 秒无客户端, 服务结束...", kServeLingerSeconds);
            g_running.store(false);
        }
    }
}

}  // namespace

int serveAlreadyOwned(const char* name) {
    log_info("%s 设备索引->%u 已有进程占用并提供服务, --serve 无需启动", name, canAst.devIndex);
    return 0;
}

int runOwner(const char* name, const _KCAN_USER_OBJ& frame) {
    const uint32_t type = canAst.devType;
    const uint32_t index = canAst.devIndex;
    if (devLock(name, index, 10) != 0) {
        // Another process took the lock between our probe and our attempt:
        // it owns the adapter now, so serve as its client instead.
        if (devLockIsLock(name, index) == 0) {
            canAst.isOwner = 0;
            return canAst.serveMode ? serveAlreadyOwned(name) : runClient(name, frame);
        }
        log_error("设备锁定失败...");
        return 1;
    }
    if (KCAN_OpenDevice(type, index) != 1) {
        log_error("VORM Device Open Fail...");
        devUnlock(name, index);
        return 1;
    }
    if (hwInit(type, index, canAst.channel, canAst.fdMode, canAst.arbRate, canAst.dataRate,
               canAst.iso) < 0) {
        devUnlock(name, index);
        KCAN_CloseDevice(type, index);
        return 1;
    }
    hwMarkChannelInited(canAst.channel);
    int listenFd = rpcStartServer(name, index);
    if (listenFd < 0) {
        log_error("Server Start Fail.");
        devUnlock(name, index);
        KCAN_CloseDevice(type, index);
        return 1;
    }

    // The server thread is joined (not left detached) so that it can no
    // longer call into the library once the device is closed.
    std::thread server(rpcServerManageThread, listenFd, type, index, canAst.channel);
    std::thread receiver(hwRecvThread, type, index, canAst.channel);
    std::thread statistics(statusStatisticsThread, true);
    std::thread sender;
    if (canAst.sendMode) {
        sender = std::thread(hwSendThread, 1, listenFd, taskTxConfig, frame, !canAst.recvMode);
    }
    log_info("启动完成...");
    if (canAst.serveMode) {
        serveWhileUsed();
    }

    if (sender.joinable()) {
        sender.join();
    }
    receiver.join();
    statistics.join();
    server.join();
    log_info("任务完毕,程序退出...");

    close(listenFd);
    rpcCloseAllClients();
    char path[128];
    if (rpcSocketPath(name, index, path, sizeof path) == 0) {
        unlink(path);
    }
    devUnlock(name, index);
    KCAN_CloseDevice(type, index);
    return exitStatusOfRun();
}

int runClient(const char* name, const _KCAN_USER_OBJ& frame) {
    int fd = -1;
    auto giveUp = std::chrono::steady_clock::now() + kConnectPatience;
    while (g_running.load()) {
        fd = rpcConnectServer(name, canAst.devIndex);
        if (fd >= 0 || std::chrono::steady_clock::now() >= giveUp) {
            break;
        }
        std::this_thread::sleep_for(kConnectRetry);
    }
    if (fd < 0) {
        log_error("Fail To Link Server...");
        reportForeignLock(name, canAst.devIndex);
        return 1;
    }
    uint32_t peerUid = 0;
    if (!rpcPeerAllowed(fd, &peerUid)) {
        // Anybody can serve a socket under /tmp: frames from a stranger are
        // not the adapter's, and ours must not go to them.
        char path[128] = "";
        rpcSocketPath(name, canAst.devIndex, path, sizeof path);
        log_error("Socket %s is served by another user (uid %u): not using it", path, peerUid);
        close(fd);
        return 1;
    }

    RpcFramePkg init;
    std::memset(&init, 0, sizeof init);
    init.cmd = RPC_INIT_REQ;
    init.devType = canAst.devType;
    init.devIndex = canAst.devIndex;
    init.channel = canAst.channel;
    init.arbRate = canAst.arbRate;
    init.dataRate = canAst.dataRate;
    init.fdMode = canAst.fdMode;
    init.iso = canAst.iso;
    rpcPkgWrite(fd, &init);

    std::thread reader(rpcRecvThread, fd);
    // No frame goes to the owner before it has taken our channel: a refused
    // channel would hand them to the library uninitialised.
    RpcInitOutcome answer = rpcClientAwaitInit();
    if (answer == RpcInitOutcome::Refused) {
        g_running.store(false);
        reader.join();
        log_info("任务完毕,程序退出...");
        close(fd);
        return 1;
    }
    std::thread sender;
    if (answer == RpcInitOutcome::Accepted) {
        if (canAst.sendMode) {
            sender = std::thread(hwSendThread, 0, fd, taskTxConfig, frame, !canAst.recvMode);
        }
        log_info("启动完成...");
    }

    if (sender.joinable()) {
        sender.join();
    }
    reader.join();
    log_info("任务完毕,程序退出...");
    close(fd);
    return exitStatusOfRun();
}
