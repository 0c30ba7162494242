#include "app/workers.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "app/canlog/replay_source.h"
#include "app/console.h"
#include "app/frame_log.h"
#include "app/frame_text.h"
#include "app/models.h"
#include "app/rpc.h"
#include "kcan.h"

namespace {

constexpr uint32_t kRecvBatch = 32;
// Frames handed to the library in one transmit call when they are due faster
// than one acknowledgement round trip; the drivers pack them several a packet
// (10 a packet on the FD family, 3 on the classic adapters): whole packets.
constexpr uint32_t kSendBatch = kRpcSendBatch;
// Requests a client may have in flight: two batches, so the owner finds the
// next batch waiting while it transmits one.
constexpr uint32_t kClientWindow = 2 * kSendBatch;
// Long enough that idle readers cost next to nothing; the run's end waits
// for the readers at most this long.
constexpr int32_t kRecvWaitMs = 1000;
constexpr auto kSleepSlice = std::chrono::milliseconds(100);
// How often idle waits look at g_running: the run's end is seen this late at
// most, and an idle process wakes no more often.
constexpr auto kIdleLook = std::chrono::seconds(1);
// How long a client waits for the owner's answer to its last request.
constexpr auto kLastResultWait = std::chrono::seconds(5);

std::atomic<uint64_t> g_sendFailures{0};

std::mutex g_txMutex;
std::condition_variable g_txCond;
bool g_txResultsEnded = false;  // guarded by g_txMutex
uint32_t g_txInFlight = 0;      // client: own requests without a result; guarded by g_txMutex

// A run that failed other than by a send (a replay file that does not parse).
std::atomic<bool> g_runFailed{false};

ReplayRequest g_replay;

// Signalled when a channel becomes initialised, so the receive worker starts
// its readers at once.
std::mutex g_initMutex;
std::condition_variable g_initCond;

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

uint32_t hwSendUserObjs(uint32_t devType, uint32_t devIndex, uint32_t channel,
                        const _KCAN_USER_OBJ* objs, uint32_t n, uint8_t* ok) {
    static_assert(sizeof(_KCAN_CANFD_OBJ) >= sizeof(_KCAN_CAN_OBJ));
    uint32_t sent = 0;
    uint32_t i = 0;
    while (i < n) {
        // One call carries a run of frames of one kind, at most a batch.
        const bool fd = objs[i].isFd != 0;
        uint32_t run = 1;
        while (i + run < n && run < kSendBatch && (objs[i + run].isFd != 0) == fd) {
            ++run;
        }
        _KCAN_CAN_OBJ canBuf[kSendBatch];
        _KCAN_CANFD_OBJ fdBuf[kSendBatch];
        uint32_t done = 0;
        while (done < run) {
            // The library stops at the first frame it cannot send; that frame
            // fails and the rest go on in the next call, so every frame is
            // tried exactly once, as with one frame a call.
            const uint32_t left = run - done;
            uint32_t result;
            if (fd) {
                for (uint32_t k = 0; k < left; ++k) {
                    fdBuf[k] = objs[i + done + k].canfdObj;
                }
                result = KCAN_TransmitFD(devType, devIndex, channel, fdBuf, left);
            } else {
                for (uint32_t k = 0; k < left; ++k) {
                    canBuf[k] = objs[i + done + k].canObj;
                }
                result = KCAN_Transmit(devType, devIndex, channel, canBuf, left);
            }
            if (result > left) {
                result = left;
            }
            const uint32_t settled = result < left ? result + 1 : result;
            for (uint32_t k = 0; k < settled; ++k) {
                const bool sentOk = k < result;
                ok[i + done + k] = sentOk ? 1 : 0;
                if (channel < static_cast<uint32_t>(kMaxChannels)) {
                    if (sentOk) {
                        stats_update_tx(&canAst.stats[channel], 1, frameLen(objs[i + done + k]), 0);
                    } else {
                        stats_update_tx(&canAst.stats[channel], 0, 0, 1);
                    }
                }
            }
            sent += result;
            done += settled;
        }
        i += run;
    }
    return sent;
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
    // One stamp per frame for every process: the clients get it in the packet.
    uint64_t stamps[kRecvBatch];
    const int stamped = n < static_cast<int>(kRecvBatch) ? n : static_cast<int>(kRecvBatch);
    for (int i = 0; i < stamped; ++i) {
        stamps[i] = frameLogStampReceived(devType, channel, objs[i]);
    }
    // Each process shows its own channel's frames; the others belong to clients.
    if (channel == canAst.channel) {
        if (canAst.recvMode) {
            canUserObjShow(objs, n);
        }
        frameLogAppend(channel, objs, stamped == n ? stamps : nullptr, n, false);
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
            if (done + i < stamped) {
                rpcPkgSetStampUs(&pkg, stamps[done + i]);
            }
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
        g_initCond.wait_for(lock, kIdleLook, [&] {
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

void hwTxResultReceived(bool own) {
    if (!own) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_txMutex);
        if (g_txInFlight > 0) {
            --g_txInFlight;
        }
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

void hwSetReplay(const ReplayRequest& request) {
    g_replay = request;
}

bool hwRunFailed() {
    return g_runFailed.load();
}

namespace {

// A packet about a frame of this process's channel.
RpcFramePkg ownChannelPkg(uint8_t cmd, const _KCAN_USER_OBJ& obj) {
    RpcFramePkg pkg;
    std::memset(&pkg, 0, sizeof pkg);
    pkg.cmd = cmd;
    pkg.devType = canAst.devType;
    pkg.devIndex = canAst.devIndex;
    pkg.channel = canAst.channel;
    pkg.userObj = obj;
    return pkg;
}

// Hands a batch of the process's own frames to the adapter (owner) or to
// the owner (client) and accounts for them; returns the frames handed over.
class FrameSender {
  public:
    FrameSender(int isOwner, int socket, bool echo)
        : isOwner_(isOwner), socket_(socket), echo_(echo) {}

    // Client: the owner's socket refused a request; nothing more can be sent.
    bool broken() const { return broken_; }

    uint32_t send(_KCAN_USER_OBJ* objs, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            objs[i].direction = 0;
        }
        return isOwner_ ? sendHere(objs, n) : sendToOwner(objs, n);
    }

    // Client: waits (bounded) for the results of the requests still out;
    // they carry the echo or the failure of the last frames.
    void awaitResults() {
        if (isOwner_) {
            return;
        }
        std::unique_lock<std::mutex> lock(g_txMutex);
        g_txCond.wait_for(lock, kLastResultWait,
                          [] { return g_txInFlight == 0 || g_txResultsEnded; });
    }

  private:
    uint32_t sendHere(const _KCAN_USER_OBJ* objs, uint32_t n) {
        uint8_t ok[kSendBatch] = {};
        hwSendUserObjs(canAst.devType, canAst.devIndex, canAst.channel, objs, n, ok);
        const uint64_t stamp = frameLogNowUs();
        RpcFramePkg pkgs[kSendBatch];
        uint32_t sent = 0;
        uint32_t shownFrom = 0;  // echoed frames not yet shown start here
        for (uint32_t i = 0; i < n; ++i) {
            if (ok[i]) {
                ++sent;
                frameLogAppend(canAst.channel, &objs[i], &stamp, 1, true);
            } else {
                // Echo the frames before it, then the failed one and its error.
                if (echo_ && i > shownFrom) {
                    canUserObjShow(objs + shownFrom, static_cast<int>(i - shownFrom));
                }
                canUserObjShow(&objs[i], 1);
                log_error("发送失败.");
                g_sendFailures.fetch_add(1);
                shownFrom = i + 1;
            }
            pkgs[i] = ownChannelPkg(RPC_SEND_RESULT, objs[i]);
            pkgs[i].result = ok[i] ? 1 : 0;
            rpcPkgSetStampUs(&pkgs[i], stamp);
        }
        if (echo_ && n > shownFrom) {
            canUserObjShow(objs + shownFrom, static_cast<int>(n - shownFrom));
        }
        rpcBroadcastPkgs(pkgs, n);
        return n;
    }

    uint32_t sendToOwner(const _KCAN_USER_OBJ* objs, uint32_t n) {
        {
            // Room in the window for the whole batch first.
            std::unique_lock<std::mutex> lock(g_txMutex);
            while (g_running.load() && !g_txResultsEnded && g_txInFlight + n > kClientWindow) {
                g_txCond.wait_for(lock, kSleepSlice);
            }
            if (g_txResultsEnded) {
                return 0;
            }
            g_txInFlight += n;
        }
        RpcFramePkg pkgs[kSendBatch];
        for (uint32_t i = 0; i < n; ++i) {
            pkgs[i] = ownChannelPkg(RPC_SEND_REQ, objs[i]);
            rpcClientTagRequest(&pkgs[i]);
        }
        if (rpcPkgsWrite(socket_, pkgs, n) == 0) {
            return n;
        }
        {
            std::lock_guard<std::mutex> lock(g_txMutex);
            g_txInFlight -= n;
        }
        log_error("发送失败...");
        g_sendFailures.fetch_add(n);
        broken_ = true;  // the owner is gone: nothing more can be sent
        return 0;
    }

    int isOwner_;
    int socket_;
    bool echo_;
    bool broken_ = false;
};

// The next frame of the -m text: the user's frame with the current
// identifier of the sweep.
_KCAN_USER_OBJ sweepFrame(const _KCAN_USER_OBJ& frame, uint32_t id) {
    _KCAN_USER_OBJ out;
    std::memset(&out, 0, sizeof out);
    if (frame.isFd) {
        _KCAN_CANFD_OBJ fdObj = frame.canfdObj;
        fdObj.id = id;
        fdObj.timeStamp = 0;
        fdObj.txOption = 0;
        std::memset(fdObj.reserved, 0, sizeof fdObj.reserved);
        canfdObj2UserObj(&fdObj, &out);
    } else {
        _KCAN_CAN_OBJ canObj = frame.canObj;
        canObj.id = id;
        canObj.timeStamp = 0;
        canObj.txOption = 0;
        canObj.frameFlags = 0;
        std::memset(canObj.reserved, 0, sizeof canObj.reserved);
        canObj2UserObj(&canObj, &out);
    }
    out.direction = 0;
    return out;
}

void sendFromText(FrameSender& sender, const TaskTxConfig& config, const _KCAN_USER_OBJ& frame,
                  bool showProgress) {
    uint32_t currentId = frame.isFd ? frame.canfdObj.id : frame.canObj.id;
    auto pause = std::chrono::microseconds(static_cast<uint64_t>(config.period) * 1000u);
    uint32_t sent = 0;
    _KCAN_USER_OBJ batch[kSendBatch];
    while (g_running.load()) {
        // Without a pause the frames are due at once: several go in one call.
        uint32_t n = config.period == 0 ? kSendBatch : 1;
        if (config.count != 0 && config.count - sent < n) {
            n = config.count - sent;
        }
        for (uint32_t i = 0; i < n; ++i) {
            batch[i] = sweepFrame(frame, currentId);
            if (config.idSweep) {
                currentId = hwNextSweepId(config, currentId, static_cast<uint32_t>(rand()));
            }
        }
        sent += sender.send(batch, n);
        if (sender.broken()) {
            break;
        }
        if (showProgress) {
            printProgress(sent, config.count);
        }
        if (config.count != 0 && sent >= config.count) {
            break;
        }
        if (config.period != 0) {
            sleepWhileRunning(pause);
        }
    }
}

// Sleeps until `due` (steady clock), waking early when the run ends.
void sleepUntilWhileRunning(std::chrono::steady_clock::time_point due) {
    auto now = std::chrono::steady_clock::now();
    if (due > now) {
        sleepWhileRunning(due - now);
    }
}

// Plays the log file `count` times (0: until the run ends). Frames leave at
// their recorded offsets from the first frame of the pass, every `period` ms
// when -p was given, or as fast as the bus takes them with -p 0.
void sendFromReplay(FrameSender& sender, const TaskTxConfig& config, bool showProgress) {
    ReplaySource source;
    std::string error;
    if (!source.open(g_replay.path, &error)) {
        log_error("Replay %s", error.c_str());
        g_runFailed.store(true);
        return;
    }
    const bool paced = !g_replay.periodGiven;
    if (paced) {
        // The kernel's default timer slack (50 us) would add to every frame's
        // wake-up; this thread does nothing else but send.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    const auto pause = std::chrono::milliseconds(config.period);
    uint32_t sent = 0;
    _KCAN_USER_OBJ batch[kSendBatch];
    for (uint32_t pass = 0; g_running.load() && (config.count == 0 || pass < config.count);
         ++pass) {
        if (pass > 0 && !source.rewind(&error)) {
            log_error("Replay %s", error.c_str());
            g_runFailed.store(true);
            return;
        }
        const auto passStart = std::chrono::steady_clock::now();
        bool haveBase = false;
        uint64_t baseUs = 0;
        uint32_t framesInPass = 0;
        LogFrame next;
        bool pending = false;  // `next` read but not sent yet
        bool passEnded = false;
        while (g_running.load() && !passEnded) {
            uint32_t n = 0;
            auto due = std::chrono::steady_clock::now();
            while (n < kSendBatch) {
                if (!pending) {
                    std::string ifname;
                    ReplaySource::Result r = source.next(&next, &ifname, &error);
                    if (r == ReplaySource::Result::End) {
                        passEnded = true;
                        break;
                    }
                    if (r == ReplaySource::Result::Invalid) {
                        if (n > 0) {
                            sent += sender.send(batch, n);
                        }
                        log_error("Replay %s", error.c_str());
                        g_runFailed.store(true);
                        return;
                    }
                    if (!g_replay.ifname.empty() && ifname != g_replay.ifname) {
                        continue;
                    }
                    if (next.fd && !canAst.fdMode) {
                        if (n > 0) {
                            sent += sender.send(batch, n);
                        }
                        log_error(
                            "Replay %s: CAN FD frame, but the channel runs classic CAN (no -d)",
                            source.where().c_str());
                        g_runFailed.store(true);
                        return;
                    }
                    pending = true;
                }
                // When this frame is due.
                auto frameDue = std::chrono::steady_clock::now();
                if (paced) {
                    if (!haveBase) {
                        haveBase = true;
                        baseUs = next.stampUs;
                    }
                    uint64_t offset = next.stampUs > baseUs ? next.stampUs - baseUs : 0;
                    frameDue = passStart + std::chrono::microseconds(offset);
                } else if (config.period != 0 && framesInPass + n > 0) {
                    // One frame a pause: the batch holds one frame.
                    if (n > 0) {
                        break;
                    }
                    frameDue = due + pause;
                }
                if (n == 0) {
                    due = frameDue;
                    sleepUntilWhileRunning(due);
                    if (!g_running.load()) {
                        break;
                    }
                } else if (frameDue > std::chrono::steady_clock::now()) {
                    break;  // not due yet: send what is due
                }
                batch[n++] = userObjFromLogFrame(next);
                pending = false;
            }
            if (n > 0) {
                sent += sender.send(batch, n);
                if (sender.broken()) {
                    return;
                }
                framesInPass += n;
                if (showProgress) {
                    printProgress(sent, 0);
                }
            }
        }
        if (framesInPass == 0 && passEnded) {
            break;  // nothing to play: do not spin through empty passes
        }
    }
}

}  // namespace

void hwSendThread(int isOwner, int socket, TaskTxConfig config, _KCAN_USER_OBJ frame,
                  bool showProgress) {
    {
        std::lock_guard<std::mutex> lock(g_txMutex);
        g_txInFlight = 0;
    }
    FrameSender sender(isOwner, socket, config.echo != 0);
    if (g_replay.path.empty()) {
        sendFromText(sender, config, frame, showProgress);
    } else {
        sendFromReplay(sender, config, showProgress);
    }
    sender.awaitResults();
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
        std::this_thread::sleep_for(kIdleLook);  // once a second, one wake-up
    }
}
