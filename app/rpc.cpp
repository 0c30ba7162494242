#include "app/rpc.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>

#include "app/console.h"
#include "app/frame_log.h"
#include "app/models.h"
#include "app/settings.h"
#include "app/workers.h"

std::vector<RpcClient> g_client_fds;
std::recursive_mutex g_client_mutex;

namespace {

// Waits for socket traffic look at g_running this often: an idle process
// wakes no more often, and the run's end is seen this late at most.
constexpr int kServerPollMs = 1000;
constexpr int kClientReadPollMs = 1000;
// A client waiting for room in the owner's socket looks at g_running this often.
constexpr int kClientPollMs = 200;

// Wakes the server thread when a broadcast left bytes for it to flush or
// marked a client dead.
int g_server_wake_fd = -1;

void wakeServer() {
    if (g_server_wake_fd >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(g_server_wake_fd, &one, sizeof one);
    }
}

// Sends up to `size` bytes the socket takes now; false when the peer failed.
bool sendNow(int fd, const uint8_t* bytes, size_t size, size_t* sent) {
    *sent = 0;
    while (*sent < size) {
        ssize_t n = send(fd, bytes + *sent, size - *sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            *sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
    return true;
}

// Sends what the socket takes now; marks the client dead on a failed peer.
// Caller holds g_client_mutex.
void flushClientLocked(RpcClient& client) {
    if (!client.dead && client.outOffset < client.out.size()) {
        size_t sent = 0;
        if (!sendNow(client.fd, client.out.data() + client.outOffset,
                     client.out.size() - client.outOffset, &sent)) {
            client.dead = true;
        }
        client.outOffset += sent;
    }
    if (client.outOffset == client.out.size()) {
        client.out.clear();
        client.outOffset = 0;
        if (client.out.capacity() > kRpcClientOutKeep) {
            std::vector<uint8_t>().swap(client.out);
        }
    } else if (client.outOffset > client.out.size() / 2) {
        client.out.erase(client.out.begin(),
                         client.out.begin() + static_cast<std::ptrdiff_t>(client.outOffset));
        client.outOffset = 0;
    }
}

void flushQueuedLocked(RpcClient& client);
RpcClient* findClientLocked(int fd);

// Queues packets for one client and sends what the socket takes at once.
void queueForClientLocked(RpcClient& client, const RpcFramePkg* pkgs, size_t count) {
    if (client.dead) {
        return;
    }
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(pkgs);
    client.out.insert(client.out.end(), bytes, bytes + count * kRpcPkgSize);
    flushQueuedLocked(client);
}

// Sends what is queued for the client unless another thread is sending to
// it (that thread sends them when done); drops a client that lags too far.
void flushQueuedLocked(RpcClient& client) {
    if (!client.sending) {
        flushClientLocked(client);
    }
    if (!client.dead && client.out.size() - client.outOffset > kRpcClientBacklogMax) {
        log_error("Client (%d) too slow, dropped", client.fd);
        client.dead = true;
    }
    if (client.dead || client.outOffset < client.out.size()) {
        wakeServer();
    }
}

// Queues packets for the client on `fd`, if it is still a client of
// `channel`, and sends them. A client with nothing queued and nobody sending to it gets them
// straight from `pkgs` with g_client_mutex released, so the readers of
// different channels do not wait on one another's send(). Meanwhile others
// queue behind (`sending`), and the server thread does not close the
// descriptor. `lock` holds g_client_mutex on entry and on return.
void sendToClient(std::unique_lock<std::recursive_mutex>& lock, int fd, int32_t channel,
                  const RpcFramePkg* pkgs, size_t count) {
    RpcClient* client = findClientLocked(fd);
    if (client == nullptr || client->channel != channel) {
        return;
    }
    if (client->dead || client->sending || client->outOffset < client->out.size()) {
        queueForClientLocked(*client, pkgs, count);
        return;
    }
    client->sending = true;
    lock.unlock();
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(pkgs);
    const size_t size = count * kRpcPkgSize;
    size_t sent = 0;
    const bool alive = sendNow(fd, bytes, size, &sent);
    lock.lock();
    client = findClientLocked(fd);  // kept while `sending`
    client->sending = false;
    if (!alive) {
        client->dead = true;
    }
    if (client->dead) {
        wakeServer();  // to reap it
        return;
    }
    // What the socket did not take goes ahead of what others queued meanwhile.
    client->out.insert(client->out.begin() + static_cast<std::ptrdiff_t>(client->outOffset),
                       bytes + sent, bytes + size);
    if (client->outOffset < client->out.size()) {
        flushQueuedLocked(*client);
    }
}

RpcClient* findClientLocked(int fd) {
    for (RpcClient& client : g_client_fds) {
        if (client.fd == fd) {
            return &client;
        }
    }
    return nullptr;
}

void replyToClient(int fd, const RpcFramePkg& pkg) {
    std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
    if (RpcClient* client = findClientLocked(fd)) {
        queueForClientLocked(*client, &pkg, 1);
    }
}

void acceptClient(int listenFd) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;
    }
    if (!rpcPeerAllowed(fd, nullptr)) {
        log_error("Client (%d) refused: peer runs as another user", fd);
        close(fd);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
    if (g_client_fds.size() >= static_cast<size_t>(kRpcMaxClients)) {
        close(fd);
        return;
    }
    RpcClient client;
    client.fd = fd;
    g_client_fds.push_back(std::move(client));
    log_info("New Client (%d) Link...", fd);
}

// Clients gone so far, for an owner that ends once nobody uses it.
std::mutex g_goneMutex;
std::condition_variable g_goneCond;
uint64_t g_clientsGone = 0;

void noteClientGone() {
    {
        std::lock_guard<std::mutex> lock(g_goneMutex);
        ++g_clientsGone;
    }
    g_goneCond.notify_all();
}

// Closes and forgets clients marked dead. Server thread only.
void reapDeadClients() {
    std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
    for (auto it = g_client_fds.begin(); it != g_client_fds.end();) {
        if (it->dead && !it->sending) {
            log_info("Client (%d) Dislink", it->fd);
            close(it->fd);
            it = g_client_fds.erase(it);
            noteClientGone();
        } else {
            ++it;
        }
    }
}

bool packetIsForThisAdapter(const RpcFramePkg& pkg);

// Whether two send requests can go to the library in one call.
bool sameSendRun(const RpcFramePkg& a, const RpcFramePkg& b) {
    return b.cmd == RPC_SEND_REQ && a.devType == b.devType && a.devIndex == b.devIndex &&
           a.channel == b.channel && a.userObj.isFd == b.userObj.isFd;
}

// Handles the packets of one read in order; consecutive send requests for
// one channel go to the library together, so a client that keeps several
// requests in flight fills the bus.
void handleClientPackets(int fd, RpcFramePkg* pkgs, size_t count) {
    size_t i = 0;
    while (i < count) {
        size_t run = 1;
        if (pkgs[i].cmd == RPC_SEND_REQ && packetIsForThisAdapter(pkgs[i])) {
            while (i + run < count && sameSendRun(pkgs[i], pkgs[i + run])) {
                ++run;
            }
        }
        if (run > 1) {
            rpcServerSendBatch(fd, pkgs + i, run);
        } else {
            rpcServerRpcPkgHandle(fd, &pkgs[i]);
        }
        i += run;
    }
}

// Reads what the client sent and handles every whole packet in order.
// Server thread only: the assembler of a client is touched by no other thread.
void serveClientInput(int fd) {
    constexpr size_t kReadPkgs = kRpcSendBatch;
    uint8_t buf[kReadPkgs * kRpcPkgSize];
    RpcFramePkg pkgs[kReadPkgs];
    while (g_running.load()) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (n <= 0) {
            std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
            if (RpcClient* client = findClientLocked(fd)) {
                client->dead = true;
            }
            return;
        }
        size_t used = 0;
        while (used < static_cast<size_t>(n)) {
            size_t complete = 0;
            {
                std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
                RpcClient* client = findClientLocked(fd);
                if (client == nullptr || client->dead) {
                    return;
                }
                while (used < static_cast<size_t>(n) && complete < kReadPkgs) {
                    used += client->in.feed(buf + used, static_cast<size_t>(n) - used);
                    if (client->in.ready()) {
                        pkgs[complete++] = client->in.take();
                    }
                }
            }
            handleClientPackets(fd, pkgs, complete);
        }
    }
}

bool packetIsForThisAdapter(const RpcFramePkg& pkg) {
    return pkg.devType == canAst.devType && pkg.devIndex == canAst.devIndex &&
           pkg.channel < static_cast<uint32_t>(kMaxChannels);
}

}  // namespace

bool rpcPeerAllowed(int fd, uint32_t* peerUid) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        return false;
    }
    if (peerUid != nullptr) {
        *peerUid = cred.uid;
    }
    return cred.uid == geteuid() || cred.uid == 0;
}

int rpcSocketPath(const char* name, uint32_t devIndex, char* buffer, size_t size) {
    sockaddr_un addr;
    int n = std::snprintf(buffer, size, "/tmp/Kestrun_%s_%u.sock", name, devIndex);
    if (n < 0 || static_cast<size_t>(n) >= size || static_cast<size_t>(n) >= sizeof addr.sun_path) {
        return -1;
    }
    return 0;
}

int rpcStartServer(const char* name, uint32_t devIndex) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (rpcSocketPath(name, devIndex, addr.sun_path, sizeof addr.sun_path) != 0) {
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    unlink(addr.sun_path);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 5) != 0) {
        close(fd);
        return -1;
    }
    if (g_server_wake_fd < 0) {
        g_server_wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    return fd;
}

int rpcConnectServer(const char* name, uint32_t devIndex) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (rpcSocketPath(name, devIndex, addr.sun_path, sizeof addr.sun_path) != 0) {
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int rpcPkgsWrite(int fd, const RpcFramePkg* pkgs, size_t count) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(pkgs);
    const size_t total = count * kRpcPkgSize;
    size_t done = 0;
    while (done < total) {
        ssize_t n = send(fd, bytes + done, total - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The owner is busy; wait for room, but give up when the run ends.
            if (!g_running.load() && done == 0) {
                return -1;
            }
            pollfd pfd{fd, POLLOUT, 0};
            poll(&pfd, 1, kClientPollMs);
            continue;
        }
        return -1;
    }
    return 0;
}

int rpcPkgWrite(int fd, const RpcFramePkg* pkg) {
    return rpcPkgsWrite(fd, pkg, 1);
}

int rpcPkgRead(int fd, RpcFramePkg* pkg) {
    RpcPkgAssembler assembler;
    uint8_t buf[kRpcPkgSize];
    while (!assembler.ready()) {
        ssize_t n = read(fd, buf, kRpcPkgSize - assembler.pending());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        assembler.feed(buf, static_cast<size_t>(n));
    }
    *pkg = assembler.take();
    return 0;
}

void rpcServerManageThread(int listenFd, uint32_t /*devType*/, uint32_t /*devIndex*/,
                           uint32_t /*channel*/) {
    std::vector<pollfd> fds;
    while (g_running.load()) {
        fds.clear();
        fds.push_back({listenFd, POLLIN, 0});
        if (g_server_wake_fd >= 0) {
            fds.push_back({g_server_wake_fd, POLLIN, 0});
        }
        size_t firstClient = fds.size();
        {
            std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
            for (const RpcClient& client : g_client_fds) {
                short events = POLLIN;
                if (client.outOffset < client.out.size()) {
                    events |= POLLOUT;
                }
                fds.push_back({client.fd, events, 0});
            }
        }
        int ready = poll(fds.data(), fds.size(), kServerPollMs);
        if (ready < 0) {
            continue;
        }
        if (fds.size() > 1 && fds[1].fd == g_server_wake_fd && fds[1].revents != 0) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = read(g_server_wake_fd, &count, sizeof count);
        }
        for (size_t i = firstClient; i < fds.size(); ++i) {
            if (fds[i].revents & POLLOUT) {
                std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
                RpcClient* client = findClientLocked(fds[i].fd);
                if (client != nullptr && !client->sending) {
                    flushClientLocked(*client);
                }
            }
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                serveClientInput(fds[i].fd);
            }
        }
        reapDeadClients();
        if (fds[0].revents & POLLIN) {
            acceptClient(listenFd);
        }
    }
}

int rpcServerRpcPkgHandle(int fd, RpcFramePkg* pkg) {
    if (pkg->cmd != RPC_SEND_REQ && pkg->cmd != RPC_INIT_REQ) {
        return 0;
    }
    if (!packetIsForThisAdapter(*pkg)) {
        // Another adapter's or an impossible channel: refuse without touching
        // any per-channel table.
        pkg->cmd = pkg->cmd == RPC_SEND_REQ ? RPC_SEND_RESULT : RPC_INIT_RESULT;
        pkg->result = -1;
        replyToClient(fd, *pkg);
        return 0;
    }
    uint32_t channel = pkg->channel;
    if (pkg->cmd == RPC_SEND_REQ) {
        rpcServerSendBatch(fd, pkg, 1);
        return 0;
    }

    // RPC_INIT_REQ
    {
        std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
        if (RpcClient* client = findClientLocked(fd)) {
            client->channel = static_cast<int32_t>(channel);
        }
    }
    if (canAst.chInited[channel]) {
        pkg->result = 0;  // shared channel: the bit rates set first stay in force
    } else {
        pkg->result = hwInit(pkg->devType, pkg->devIndex, channel, pkg->fdMode, pkg->arbRate,
                             pkg->dataRate, pkg->iso);
        if (pkg->result == 0) {
            hwMarkChannelInited(channel);
        }
    }
    pkg->cmd = RPC_INIT_RESULT;
    replyToClient(fd, *pkg);
    return 0;
}

void rpcServerSendBatch(int fd, RpcFramePkg* pkgs, size_t count) {
    constexpr size_t kMaxBatch = kRpcSendBatch;
    while (count > kMaxBatch) {
        rpcServerSendBatch(fd, pkgs, kMaxBatch);
        pkgs += kMaxBatch;
        count -= kMaxBatch;
    }
    _KCAN_USER_OBJ objs[kMaxBatch] = {};
    uint8_t ok[kMaxBatch] = {};
    for (size_t i = 0; i < count; ++i) {
        pkgs[i].userObj.direction = 0;
        objs[i] = pkgs[i].userObj;
    }
    const uint32_t channel = pkgs[0].channel;
    hwSendUserObjs(pkgs[0].devType, pkgs[0].devIndex, channel, objs, static_cast<uint32_t>(count),
                   ok);
    const uint64_t stamp = frameLogNowUs();
    const bool show = !canAst.sendMode && !canAst.statusMode && !canAst.serveMode;
    for (size_t i = 0; i < count; ++i) {
        RpcFramePkg& pkg = pkgs[i];
        pkg.result = ok[i] ? 1 : 0;
        pkg.cmd = RPC_SEND_RESULT;
        rpcPkgSetStampUs(&pkg, stamp);
        if (show) {
            canUserObjShow(&pkg.userObj, 1);
            if (!ok[i]) {
                log_error("发送失败.");
            }
        }
    }
    // The requester gets its results even before its init request
    // registered a channel for it.
    std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
    RpcClient* requester = findClientLocked(fd);
    if (requester != nullptr && requester->channel != static_cast<int32_t>(channel)) {
        queueForClientLocked(*requester, pkgs, count);
    }
    rpcBroadcastPkgs(pkgs, count);
}

void rpcBroadcastUserObj(const RpcFramePkg* pkg) {
    rpcBroadcastPkgs(pkg, 1);
}

void rpcBroadcastPkgs(const RpcFramePkg* pkgs, size_t count) {
    if (count == 0) {
        return;
    }
    // Clients keep only their own channel's packets; the others are not
    // worth the socket traffic. Batches share one channel.
    const auto channel = static_cast<int32_t>(pkgs[0].channel);
    std::unique_lock<std::recursive_mutex> lock(g_client_mutex);
    int fds[kRpcMaxClients];
    size_t n = 0;
    for (const RpcClient& client : g_client_fds) {
        if (client.channel == channel && n < static_cast<size_t>(kRpcMaxClients)) {
            fds[n++] = client.fd;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        sendToClient(lock, fds[i], channel, pkgs, count);
    }
}

void rpcCloseAllClients() {
    std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
    for (RpcClient& client : g_client_fds) {
        close(client.fd);
    }
    g_client_fds.clear();
}

size_t rpcClientCount() {
    std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
    return g_client_fds.size();
}

uint64_t rpcAwaitClientGone(uint64_t seen, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(g_goneMutex);
    g_goneCond.wait_for(lock, timeout, [seen] { return g_clientsGone != seen; });
    return g_clientsGone;
}

namespace {

bool isOwnChannel(const RpcFramePkg& pkg) {
    return pkg.devType == canAst.devType && pkg.devIndex == canAst.devIndex &&
           pkg.channel == canAst.channel;
}

// A client logs a received frame with the owner's stamp, so that every
// process's log of the channel carries the same time for it.
void logReceived(const RpcFramePkg& pkg) {
    const uint64_t stamp = rpcPkgStampUs(pkg);
    frameLogAppend(canAst.channel, &pkg.userObj, &stamp, 1, false);
}

// Received frames of one read are shown together, in one write, instead of a
// write per frame: at full bus load that is what keeps a client in step.
class FrameShowBatch {
  public:
    void add(const _KCAN_USER_OBJ& obj) {
        frames_[count_++] = obj;
        if (count_ == kCapacity) {
            flush();
        }
    }
    void flush() {
        canUserObjShow(frames_, count_);
        count_ = 0;
    }

  private:
    static constexpr int kCapacity = 32;
    _KCAN_USER_OBJ frames_[kCapacity];
    int count_ = 0;
};

}  // namespace

namespace {

// The client's view of its init request, shared by the reader (which learns
// the answer) and the main thread (which waits for it).
std::mutex g_initMutex;
std::condition_variable g_initCond;
RpcInitOutcome g_initOutcome = RpcInitOutcome::Pending;

void settleInit(RpcInitOutcome outcome) {
    {
        std::lock_guard<std::mutex> lock(g_initMutex);
        if (g_initOutcome != RpcInitOutcome::Pending) {
            return;
        }
        g_initOutcome = outcome;
    }
    g_initCond.notify_all();
}

// Whatever way the reader ends, nobody will answer this client any more:
// release whoever waits for an answer.
struct ReaderEndNotice {
    ~ReaderEndNotice() {
        settleInit(RpcInitOutcome::ConnectionEnded);
        hwTxResultsEnded();
    }
};

}  // namespace

RpcInitOutcome rpcClientAwaitInit() {
    std::unique_lock<std::mutex> lock(g_initMutex);
    g_initCond.wait(lock, [] { return g_initOutcome != RpcInitOutcome::Pending; });
    return g_initOutcome;
}

void rpcRecvThread(int fd) {
    ReaderEndNotice notice;
    RpcPkgAssembler assembler;
    FrameShowBatch shown;
    uint8_t buf[32 * kRpcPkgSize];
    while (g_running.load()) {
        pollfd pfd{fd, POLLIN, 0};
        int ready = poll(&pfd, 1, kClientReadPollMs);
        if (ready <= 0) {
            continue;  // time-out or signal: look at g_running again
        }
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            log_error("(%d)与服务器断开", fd);
            g_running.store(false);
            return;
        }
        size_t used = 0;
        while (used < static_cast<size_t>(n)) {
            used += assembler.feed(buf + used, static_cast<size_t>(n) - used);
            if (!assembler.ready()) {
                continue;
            }
            RpcFramePkg pkg = assembler.take();
            if (pkg.cmd == RPC_RECV_FRAME && isOwnChannel(pkg)) {
                logReceived(pkg);
                if (canAst.recvMode) {
                    shown.add(pkg.userObj);
                }
            } else {
                shown.flush();  // keep the order of everything shown
                rpcClientRpcPkgHandle(&pkg);
            }
        }
        shown.flush();
    }
}

namespace {

uint8_t g_client_tag[3];

bool ownTag(const RpcFramePkg& pkg) {
    return std::memcmp(pkg.reserved0, g_client_tag, sizeof g_client_tag) == 0;
}

}  // namespace

void rpcClientTagRequest(RpcFramePkg* pkg) {
    static const bool tagged = [] {
        uint32_t pid = static_cast<uint32_t>(getpid());
        g_client_tag[0] = static_cast<uint8_t>(pid);
        g_client_tag[1] = static_cast<uint8_t>(pid >> 8);
        g_client_tag[2] = static_cast<uint8_t>((pid >> 16) | 0x80);  // never all zero
        return true;
    }();
    (void)tagged;
    std::memcpy(pkg->reserved0, g_client_tag, sizeof g_client_tag);
}

int rpcClientRpcPkgHandle(const RpcFramePkg* pkg) {
    if (!isOwnChannel(*pkg)) {
        return -1;
    }
    switch (pkg->cmd) {
        case RPC_RECV_FRAME:
            logReceived(*pkg);
            if (canAst.recvMode) {
                canUserObjShow(&pkg->userObj, 1);
            }
            break;
        case RPC_STATS:
            if (canAst.statusMode) {
                stats_display(&pkg->stats, deviceNameGetByType(canAst.devType),
                              static_cast<int>(canAst.channel));
            }
            break;
        case RPC_SEND_RESULT: {
            const bool own = ownTag(*pkg);
            if (own) {
                hwNoteOwnSendResult(pkg->result);
                if (pkg->result > 0) {
                    const uint64_t stamp = rpcPkgStampUs(*pkg);
                    frameLogAppend(canAst.channel, &pkg->userObj, &stamp, 1, true);
                }
            }
            hwTxResultReceived(own);
            if (canAst.statusMode) {
                break;
            }
            bool failed = pkg->result <= 0;
            if (canAst.sendMode) {
                if (taskTxConfig.echo || failed) {
                    canUserObjShow(&pkg->userObj, 1);
                }
                if (failed) {
                    log_error("发送失败.");
                }
            }
            if (canAst.recvMode) {
                canUserObjShow(&pkg->userObj, 1);
                if (failed) {
                    log_error("发送失败.");
                }
            }
            break;
        }
        case RPC_INIT_RESULT:
            if (pkg->result >= 0) {
                log_info("设备初始化成功...");
                settleInit(RpcInitOutcome::Accepted);
            } else {
                log_error("设备初始化失败...");
                settleInit(RpcInitOutcome::Refused);
            }
            break;
        default:
            break;
    }
    return 0;
}
