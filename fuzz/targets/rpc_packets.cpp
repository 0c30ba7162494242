// Channel-sharing packets from a hostile client through the owner's and the
// client's handlers; the owner's adapter is a virtual ZARO3018 (fuzz/README.md).
#include <fcntl.h>
#include <sys/socket.h>

#include <string>

#include "app/rpc.h"
#include "app/settings.h"
#include "core/sim_control.h"
#include "fuzz/targets/fuzz_support.h"
#include "kcan.h"

namespace {

constexpr uint32_t kOwnType = KCAN_TYPE_ZARO3018;
constexpr uint32_t kOwnIndex = 1;
constexpr int kOwnPosition = 1;  // in the simulator's device list; 0 has index 0
constexpr uint32_t kOwnChannel = 2;

struct AdapterView {
    std::string counters, state;

    static uint64_t value(const std::string& text, const std::string& key) {
        const size_t at = text.rfind(key + "=", 0) == 0 ? 0 : text.find(" " + key + "=");
        FUZZ_CHECK(at != std::string::npos);
        return std::strtoull(text.c_str() + text.find('=', at) + 1, nullptr, 10);
    }
    uint64_t count(const char* key) const { return value(counters, key); }
    uint64_t channel(const char* key) const { return value(state, key); }
};

AdapterView viewAdapter(uint32_t ch) {
    return {ksim::controlDevice(kOwnPosition, {"counters"}),
            ch < 8 ? ksim::controlDevice(kOwnPosition, {"state", std::to_string(ch)}) : ""};
}

// The rates the tool publishes for the FD models; data rates add 2, 4, 5M.
bool serviceable(const RpcFramePkg& pkg) {
    static constexpr uint32_t kRates[] = {50000,  100000,  125000,  250000,  500000,
                                          800000, 1000000, 2000000, 4000000, 5000000};
    return pkg.channel < 8 && pkg.iso <= 1 && std::count(kRates, kRates + 7, pkg.arbRate) &&
           (pkg.fdMode == 0 || std::count(kRates, kRates + 10, pkg.dataRate));
}

// The adapter refuses oversized data and remote CAN FD frames.
bool transmittable(const _KCAN_USER_OBJ& obj) {
    return obj.isFd ? obj.canfdObj.rtr == 0 && obj.canfdObj.len <= 64
                    : obj.canObj.rtr != 0 || obj.canObj.len <= 8;
}

fuzz::Bytes takeReplies(int peer) {
    fuzz::Bytes out;
    uint8_t buf[4 * kRpcPkgSize];
    for (ssize_t n; (n = recv(peer, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        out.insert(out.end(), buf, buf + n);
    std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
    FUZZ_CHECK(g_client_fds.size() == 1 && !g_client_fds[0].dead);
    RpcClient& c = g_client_fds[0];
    out.insert(out.end(), c.out.begin() + static_cast<std::ptrdiff_t>(c.outOffset), c.out.end());
    c.out.clear();
    c.outOffset = 0;
    return out;
}

void ownerHandles(int fd, int peer, const RpcFramePkg& sent) {
    RpcFramePkg pkg = sent;
    const CanAst before = canAst;
    const uint32_t ch = sent.channel;
    const AdapterView was = viewAdapter(ch);
    FUZZ_CHECK(rpcServerRpcPkgHandle(fd, &pkg) == 0);
    const fuzz::Bytes replies = takeReplies(peer);
    const AdapterView now = viewAdapter(ch);
    const bool untouched =
        now.count("commands") == was.count("commands") && now.count("acks") == was.count("acks");
    if (sent.cmd != RPC_SEND_REQ && sent.cmd != RPC_INIT_REQ) {
        FUZZ_CHECK(replies.empty() && fuzz::same(before, canAst) && untouched);
        return;
    }
    RpcFramePkg reply;
    FUZZ_CHECK(replies.size() == sizeof reply);
    std::memcpy(&reply, replies.data(), sizeof reply);
    FUZZ_CHECK(reply.cmd == (sent.cmd == RPC_SEND_REQ ? RPC_SEND_RESULT : RPC_INIT_RESULT));
    FUZZ_CHECK(reply.devType == sent.devType && reply.devIndex == sent.devIndex &&
               reply.channel == ch);
    if (sent.devType != kOwnType || sent.devIndex != kOwnIndex || ch >= kMaxChannels) {
        FUZZ_CHECK(reply.result == -1 && fuzz::same(before, canAst) && untouched);
        return;
    }
    for (uint32_t c = 0; c < kMaxChannels; ++c)
        FUZZ_CHECK(c == ch || (before.chInited[c] == canAst.chInited[c] &&
                               fuzz::same(before.stats[c], canAst.stats[c])));
    if (sent.cmd == RPC_INIT_REQ) {
        {
            std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
            FUZZ_CHECK(g_client_fds[0].channel == static_cast<int32_t>(ch));
        }
        // A shared channel keeps the rates set first.
        const bool ok = before.chInited[ch] || serviceable(sent);
        FUZZ_CHECK(reply.result == (ok ? 0 : -1) && canAst.chInited[ch] == (ok ? 1 : 0));
        FUZZ_CHECK(!before.chInited[ch] || (untouched && now.state == was.state));
        FUZZ_CHECK(before.chInited[ch] || ok || now.state == was.state);
        FUZZ_CHECK(before.chInited[ch] || !ok ||
                   (now.channel("init") == 1 && now.channel("started") == 1 &&
                    now.channel("arb") == sent.arbRate && now.channel("iso") == sent.iso &&
                    now.channel("data") == (sent.fdMode ? sent.dataRate : sent.arbRate)));
        return;
    }
    FUZZ_CHECK(reply.result == 1 && now.count("acks") == was.count("acks") + 1);
    FUZZ_CHECK(now.count("commands") == was.count("commands"));
    const bool goesOut = ch < 8 && was.channel("started") == 1 && transmittable(sent.userObj);
    FUZZ_CHECK(ch >= 8 || now.channel("tx") == was.channel("tx") + (goesOut ? 1 : 0));
}

void clientHandles(const RpcFramePkg& pkg) {
    const CanAst before = canAst;
    const bool own =
        pkg.devType == kOwnType && pkg.devIndex == kOwnIndex && pkg.channel == kOwnChannel;
    FUZZ_CHECK(rpcClientRpcPkgHandle(&pkg) == (own ? 0 : -1));
    FUZZ_CHECK(fuzz::same(before.chInited, canAst.chInited) &&
               fuzz::same(before.stats, canAst.stats));
}

}  // namespace

int fuzzOneRpcPackets(const uint8_t* data, size_t size) {
    fuzz::Quiet quiet;
    fuzz::InputReader in(data, size);
    const uint64_t seed = in.u8();
    const fuzz::Bytes stream = in.rest(32 * kRpcPkgSize);

    // No bus partners: frames sent by one input never arrive in a later one.
    static const bool ready =
        fuzz::attachDevices("ZARO3018*2") &&
        ksim::controlDevice(kOwnPosition, {"wire", "set", "none"}).rfind("ok", 0) == 0 &&
        KCAN_OpenDevice(kOwnType, kOwnIndex) == 1;
    _KCAN_INITFD_CONFIG own{};
    own.abitBaudRate = 500000;
    own.dbitBaudRate = 2000000;
    own.fdEnable = 1;
    FUZZ_CHECK(ready && ksim::controlDevice(kOwnPosition, {"reset"}) == "ok");
    FUZZ_CHECK(KCAN_InitCANFD(kOwnType, kOwnIndex, kOwnChannel, &own) == 1);
    canAst = CanAst{};
    canAst.devType = kOwnType;
    canAst.devIndex = kOwnIndex;
    canAst.channel = kOwnChannel;
    canAst.recvMode = canAst.chInited[kOwnChannel] = 1;
    g_running.store(true);
    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    fcntl(sv[0], F_SETFL, O_NONBLOCK);
    {
        std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
        FUZZ_CHECK(g_client_fds.empty());
        g_client_fds.emplace_back().fd = sv[0];
    }

    RpcPkgAssembler assembler;
    size_t packets = 0;
    const auto chunks = fuzz::chunkSizes(seed, 3 * kRpcPkgSize, 3 * kRpcPkgSize);
    fuzz::feedInChunks(stream, chunks, [&](const uint8_t* chunk, size_t n) {
        for (size_t used = 0; used < n;) {
            const size_t took = assembler.feed(chunk + used, n - used);
            FUZZ_CHECK((took > 0 || assembler.ready()) && assembler.pending() <= kRpcPkgSize);
            used += took;
            if (!assembler.ready())
                continue;
            RpcFramePkg pkg = assembler.take();
            FUZZ_CHECK(assembler.pending() == 0);
            FUZZ_CHECK(std::memcmp(&pkg, &stream[packets++ * kRpcPkgSize], kRpcPkgSize) == 0);
            // Bit 0 of the last reserved byte points the packet at this adapter.
            if (pkg.reserved1[5] & 1) {
                pkg.devType = kOwnType;
                pkg.devIndex = kOwnIndex;
            }
            ownerHandles(sv[0], sv[1], pkg);
            clientHandles(pkg);
        }
    });
    FUZZ_CHECK(packets == stream.size() / kRpcPkgSize);
    FUZZ_CHECK(assembler.pending() == stream.size() % kRpcPkgSize);
    rpcCloseAllClients();  // closes sv[0]
    close(sv[1]);
    const std::vector<ksim::DeviceStatus> devices = ksim::listDevices();
    FUZZ_CHECK(devices.size() == 2 && devices[0].counters.opens == 0 &&
               devices[0].counters.transfersOut == 0);
    return 0;
}
