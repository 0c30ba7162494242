#include "app/workers.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "app/console.h"
#include "app/frame_text.h"
#include "app/models.h"
#include "app/rpc.h"
#include "kcan.h"

namespace {

constexpr uint32_t kRecvBatch = 32;
constexpr int32_t kRecvWaitMs = 100;
constexpr auto kSleepSlice = std::chrono::milliseconds(100);
// How long a client waits for the owner's answer to its last request.
constexpr auto kLastResultWait = std::chrono::seconds(5);

std::atomic<uint64_t> g_sendFailures{0};

std::mutex g_txMutex;
std::condition_variable g_txCond;
bool g_txResultsEnded = false;  // guarded by g_txMutex

// Signalled when a channel becomes initialised, so the receive worker starts
// its readers at once.
std::mutex g_initMutex;
std::condition_variable g_initCond;

std::atomic_ref<uint8_t> txPending() {
    return std::atomic_ref<uint8_t>(canAst.txPending);
}

bool channelInited(uint32_t channel) {
    return __atomic_load_n(&canAst.chInited[channel], __ATOMIC_ACQUIRE) != 0;
}

bool isFdFamily(uint32_t type) {
    return (type >= KCAN_TYPE_DUNLINFD2 && type <= KCAN_TYPE_DUNLINFD_MINI) ||
           (type >= KCAN_TYPE_ZARO3014 && type <= KCAN_TYPE_ZARO3018);
}

// Sleeps `total`, waking early when the run ends.
template <typename Duration>
void sleepWhileRunning(Duration total) {
    auto end = std::chrono::steady_clock::now() + total;
    while (g_running.load()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end) {
            return;
        }
        auto left = end - now;
        std::this_thread::sleep_for(left < kSleepSlice ? left : kSleepSlice);
    }
}

uint8_t frameLen(const _KCAN_USER_OBJ& obj) {
    return obj.isFd ? obj.canfdObj.len : obj.canObj.len;
}

// Reads one kind of frame (classic or FD) of one channel until the run ends.
// Every initialised channel has its own readers, so a busy channel is never
// held back by the library's wait on a quiet one.
void channelReader(uint32_t devType, uint32_t devIndex, uint32_t channel, bool fd) {
    static_assert(sizeof(_KCAN_CANFD_OBJ) >= sizeof(_KCAN_CAN_OBJ));
    _KCAN_CAN_OBJ canBuf[kRecvBatch];
    _KCAN_CANFD_OBJ fdBuf[kRecvBatch];
    _KCAN_USER_OBJ objs[kRecvBatch];
    std::memset(objs, 0, sizeof objs);
    while (g_running.load()) {
        uint32_t n = fd ? KCAN_ReceiveFD(devType, devIndex, channel, fdBuf, kRecvBatch, kRecvWaitMs)
                        : KCAN_Receive(devType, devIndex, channel, canBuf, kRecvBatch, kRecvWaitMs);
        if (n > kRecvBatch) {
            n = kRecvBatch;
        }
        for (uint32_t i = 0; i < n; ++i) {
            if (fd) {
                canfdObj2UserObj(&fdBuf[i], &objs[i]);
            } else {
                canObj2UserObj(&canBuf[i], &objs[i]);
            }
            objs[i].direction = 1;
        }
        if (n > 0) {
            hwObjRecvHandle(devType, devIndex, channel, objs, static_cast<int>(n));
        }
    }
}

}  // namespace

int hwInit(uint32_t devType, uint32_t devIndex, uint32_t channel, uint8_t fd, uint32_t arbRate,
           uint32_t dataRate, uint8_t iso) {
    if (devType == KCAN_TYPE_DUNLIN1 || devType == KCAN_TYPE_DUNLIN2) {
        _KCAN_INIT_CONFIG cfg;
        std::memset(&cfg, 0, sizeof cfg);
        if (dunlin2GetTimingParams(arbRate, &cfg.timing0, &cfg.timing1) != 0) {
            log_error("不支持的波特率<%uHz>", arbRate);
            hwDevBaudSupporList();
            return -1;
        }
        if (KCAN_InitCAN(devType, devIndex, channel, &cfg) == 0) {
            log_error("波特率<%uHz>配置失败", arbRate);
            return -1;
        }
        return 0;
    }
    if (devType == KCAN_TYPE_ZARO2014) {
        _KCAN_INITFD_CONFIG cfg;
        std::memset(&cfg, 0, sizeof cfg);
        cfg.abitBaudRate = arbRate;
        if (dunlinfd2ChkTimingParams(devType, arbRate, arbRate) < 0) {
            log_error("不支持的波特率<%uHz>", arbRate);
            hwDevBaudSupporList();
            return -1;
        }
        if (KCAN_InitCANFD(devType, devIndex, channel, &cfg) == 0) {
            log_error("波特率<%uHz>配置失败", arbRate);
            return -1;
        }
        return 0;
    }
    if (isFdFamily(devType)) {
        _KCAN_INITFD_CONFIG cfg;
        std::memset(&cfg, 0, sizeof cfg);
        cfg.abitBaudRate = arbRate;
        cfg.dbitBaudRate = dataRate;
        // ZARO2018 has no data phase: its channels always run classic CAN.
        cfg.fdEnable = devType == KCAN_TYPE_ZARO2018 ? 0 : fd;
        cfg.isoMode = iso;
        if (dunlinfd2ChkTimingParams(devType, arbRate, dataRate) < 0) {
            log_error("不支持的波特率<%uHz, %uHz>", arbRate, dataRate);
            hwDevBaudSupporList();
            return -1;
        }
        if (KCAN_InitCANFD(devType, devIndex, channel, &cfg) == 0) {
            log_error("波特率<%uHz,%uHz>配置失败", arbRate, dataRate);
            return -1;
        }
        return 0;
    }
    return 0;
}

uint32_t hwSendUserObj(uint32_t devType, uint32_t devIndex, uint32_t channel,
                       const _KCAN_USER_OBJ* obj) {
    uint32_t result;
    if (obj->isFd) {
        _KCAN_CANFD_OBJ frame = obj->canfdObj;
        result = KCAN_TransmitFD(devType, devIndex, channel, &frame, 1);
    } else {
        _KCAN_CAN_OBJ frame = obj->canObj;
        result = KCAN_Transmit(devType, devIndex, channel, &frame, 1);
    }
    if (channel < static_cast<uint32_t>(kMaxChannels)) {
        if (result == 1) {
            stats_update_tx(&canAst.stats[channel], 1, frameLen(*obj), 0);
        } else {
            stats_update_tx(&canAst.stats[channel], 0, 0, 1);
        }
    }
    return result;
}

void hwObjRecvHandle(uint32_t devType, uint32_t devIndex, uint32_t channel,
                     const _KCAN_USER_OBJ* objs, int n) {
    if (channel >= static_cast<uint32_t>(kMaxChannels) || objs == nullptr || n <= 0) {
        return;
    }
    uint64_t bytes = 0;
    for (int i = 0; i < n; ++i) {
        bytes += frameLen(objs[i]);
    }
    stats_update_rx(&canAst.stats[channel], static_cast<uint64_t>(n), bytes, 0);
    // Each process shows its own channel's frames; the others belong to clients.
    if (canAst.recvMode && channel == canAst.channel) {
        canUserObjShow(objs, n);
    }
    RpcFramePkg pkgs[kRecvBatch];
    int done = 0;
    while (done < n) {
        int batch =
            n - done < static_cast<int>(kRecvBatch) ? n - done : static_cast<int>(kRecvBatch);
        for (int i = 0; i < batch; ++i) {
            RpcFramePkg& pkg = pkgs[i];
            std::memset(&pkg, 0, sizeof pkg);
            pkg.cmd = RPC_RECV_FRAME;
            pkg.devType = devType;
            pkg.devIndex = devIndex;
            pkg.channel = channel;
            pkg.userObj = objs[done + i];
        }
        rpcBroadcastPkgs(pkgs, static_cast<size_t>(batch));
        done += batch;
    }
}

void hwMarkChannelInited(uint32_t channel) {
    if (channel >= static_cast<uint32_t>(kMaxChannels)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_initMutex);
        __atomic_store_n(&canAst.chInited[channel], 1, __ATOMIC_RELEASE);
    }
    g_initCond.notify_all();
}

void hwRecvThread(uint32_t devType, uint32_t devIndex, uint32_t /*channel*/) {
    std::vector<std::thread> readers;
    bool started[kMaxChannels] = {};
    // Channels get initialised while the run goes on (clients ask for theirs),
    // so new readers are started as their channels appear.
    while (g_running.load()) {
        for (uint32_t c = 0; c < static_cast<uint32_t>(kMaxChannels); ++c) {
            if (started[c] || !channelInited(c)) {
                continue;
            }
            started[c] = true;
            readers.emplace_back(channelReader, devType, devIndex, c, false);
            if (isFdFamily(devType)) {
                readers.emplace_back(channelReader, devType, devIndex, c, true);
            }
        }
        std::unique_lock<std::mutex> lock(g_initMutex);
        g_initCond.wait_for(lock, kSleepSlice, [&] {
            for (uint32_t c = 0; c < static_cast<uint32_t>(kMaxChannels); ++c) {
                if (!started[c] && channelInited(c)) {
                    return true;
                }
            }
            return false;
        });
    }
    for (std::thread& reader : readers) {
        reader.join();
    }
}

uint32_t hwNextSweepId(const TaskTxConfig& config, uint32_t current, uint32_t random) {
    if (config.idRandom == 1) {
        uint32_t range = config.idEnd + 1 - config.idStart;
        // A range of 0 means the whole 32-bit space.
        return range == 0 ? random : random % range + config.idStart;
    }
    uint32_t next = current + config.idStep;
    return next > config.idEnd ? config.idStart : next;
}

uint64_t hwSendFailures() {
    return g_sendFailures.load();
}

void hwNoteOwnSendResult(int32_t result) {
    if (result <= 0) {
        g_sendFailures.fetch_add(1);
    }
}

void hwTxPendingClear() {
    {
        std::lock_guard<std::mutex> lock(g_txMutex);
        txPending().store(0);
    }
    g_txCond.notify_all();
}

void hwTxResultsEnded() {
    {
        std::lock_guard<std::mutex> lock(g_txMutex);
        g_txResultsEnded = true;
    }
    g_txCond.notify_all();
}

void hwSendThread(int isOwner, int socket, TaskTxConfig config, _KCAN_USER_OBJ frame,
                  bool showProgress) {
    uint32_t currentId = frame.isFd ? frame.canfdObj.id : frame.canObj.id;
    auto pause = std::chrono::microseconds(static_cast<uint64_t>(config.period) * 1000u);
    frame.direction = 0;
    txPending().store(0);
    uint32_t sent = 0;
    _KCAN_USER_OBJ out;

    while (g_running.load()) {
        if (!isOwner) {
            // Wait for the owner's answer to the previous request.
            std::unique_lock<std::mutex> lock(g_txMutex);
            if (txPending().load() != 0) {
                g_txCond.wait_for(lock, kSleepSlice,
                                  [] { return txPending().load() == 0 || g_txResultsEnded; });
                continue;
            }
        }

        std::memset(&out, 0, sizeof out);
        if (frame.isFd) {
            _KCAN_CANFD_OBJ fdObj = frame.canfdObj;
            fdObj.id = currentId;
            fdObj.timeStamp = 0;
            fdObj.txOption = 0;
            std::memset(fdObj.reserved, 0, sizeof fdObj.reserved);
            canfdObj2UserObj(&fdObj, &out);
        } else {
            _KCAN_CAN_OBJ canObj = frame.canObj;
            canObj.id = currentId;
            canObj.timeStamp = 0;
            canObj.txOption = 0;
            canObj.frameFlags = 0;
            std::memset(canObj.reserved, 0, sizeof canObj.reserved);
            canObj2UserObj(&canObj, &out);
        }
        out.direction = 0;
        if (config.idSweep) {
            currentId = hwNextSweepId(config, currentId, static_cast<uint32_t>(rand()));
        }

        RpcFramePkg pkg;
        std::memset(&pkg, 0, sizeof pkg);
        pkg.devType = canAst.devType;
        pkg.devIndex = canAst.devIndex;
        pkg.channel = canAst.channel;
        pkg.userObj = out;
        if (isOwner) {
            uint32_t r = hwSendUserObj(canAst.devType, canAst.devIndex, canAst.channel, &out);
            if (config.echo || r == 0) {
                canUserObjShow(&out, 1);
            }
            if (r == 0) {
                log_error("发送失败.");
                g_sendFailures.fetch_add(1);
            }
            pkg.cmd = RPC_SEND_RESULT;
            pkg.result = static_cast<int32_t>(r);
            rpcBroadcastUserObj(&pkg);
            ++sent;
        } else {
            pkg.cmd = RPC_SEND_REQ;
            rpcClientTagRequest(&pkg);
            {
                std::lock_guard<std::mutex> lock(g_txMutex);
                txPending().store(1);
            }
            if (rpcPkgWrite(socket, &pkg) == 0) {
                ++sent;
            } else {
                hwTxPendingClear();
                log_error("发送失败...");
                g_sendFailures.fetch_add(1);
            }
        }

        if (showProgress) {
            printProgress(sent, config.count);
        }
        if (config.count != 0 && sent >= config.count) {
            break;
        }
        if (config.period == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        } else {
            sleepWhileRunning(pause);
        }
    }

    if (!isOwner) {
        // The owner's result for the last request carries its echo or its
        // failure; wait for it (bounded) before the run ends.
        std::unique_lock<std::mutex> lock(g_txMutex);
        g_txCond.wait_for(lock, kLastResultWait,
                          [] { return txPending().load() == 0 || g_txResultsEnded; });
    }
    g_running.store(false);
}

void statusStatisticsThread(bool isOwner) {
    while (g_running.load()) {
        if (isOwner) {
            for (uint32_t c = 0; c < static_cast<uint32_t>(kMaxChannels); ++c) {
                if (!channelInited(c)) {
                    continue;
                }
                stats_calculate_rate(&canAst.stats[c]);
                if (canAst.statusMode) {
                    stats_display(&canAst.stats[c], deviceNameGetByType(canAst.devType),
                                  static_cast<int>(c));
                }
                RpcFramePkg pkg;
                std::memset(&pkg, 0, sizeof pkg);
                pkg.cmd = RPC_STATS;
                pkg.devType = canAst.devType;
                pkg.devIndex = canAst.devIndex;
                pkg.channel = c;
                stats_snapshot(&canAst.stats[c], &pkg.stats);
                rpcBroadcastUserObj(&pkg);
            }
        }
        sleepWhileRunning(std::chrono::seconds(1));
    }
}
