// Channel-sharing packets from hostile local processes, served by an owner
// whose adapter is a virtual ZARO3018 (the in-process simulator), opened once
// per process as device index 1 of two.
//
// Input byte 0 seeds the chunking; the rest is the byte stream a client sends.
// It is accumulated by an RpcPkgAssembler in chunks as the owner's server
// reads it, and every whole packet goes through the owner's handler
// (rpcServerRpcPkgHandle, from a socketpair client in g_client_fds) and the
// client's (rpcClientRpcPkgHandle). Bit 0 of the packet's last reserved byte
// points the packet at this process's adapter, so that both the refused and
// the accepted paths are reached. Each input starts from an adapter reset to
// its power-on state whose channel 2, the owner's own, is initialised and
// started; its channels have no bus partners, so nothing sent comes back.
// Invariants:
//   - the assembler yields exactly one packet per 272 bytes, whatever the
//     chunking, byte for byte;
//   - a send or init request for another adapter or a channel >= 16 is
//     answered with exactly one packet: the matching result command, result
//     -1, the request's adapter and channel; no settings table changes and
//     no command or frame reaches the adapter;
//   - an accepted request is answered with exactly one result packet, and only
//     the entries of its own channel (< 16) may change;
//   - an init for a channel the owner has initialised already gets result 0
//     without a command to the adapter; any other init gets result 0 exactly
//     when the adapter can serve it (channel < 8, supported bit rates, ISO
//     flag 0 or 1), and then the adapter reports the channel initialised and
//     started at the requested rates; a refused one leaves the channel on the
//     adapter as it was;
//   - an accepted send reaches the adapter as one frame packet, which it
//     acknowledges (result 1), and goes out on the bus exactly when the
//     channel is started and the frame is one the channel can send;
//   - every other command gets no answer and changes nothing, on the adapter
//     neither;
//   - the client's handler returns -1 exactly for packets not of its own
//     adapter and channel, and changes no per-channel table;
//   - the adapter with device index 0 is never opened nor written to.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/models.h"
#include "app/rpc.h"
#include "app/settings.h"
#include "core/sim_control.h"
#include "drivers/fd/fd_protocol.h"
#include "fuzz/targets/fuzz_support.h"
#include "kcan.h"

namespace {

constexpr uint32_t kOwnType = KCAN_TYPE_ZARO3018;
constexpr uint32_t kOwnIndex = 1;
constexpr int kOwnPosition = 1;    // in the simulator's device list
constexpr int kOtherPosition = 0;  // the ZARO3018 with device index 0
constexpr uint32_t kAdapterChannels = 8;
constexpr uint32_t kOwnChannel = 2;
constexpr uint16_t kClockMhz = 80;

// Attaches two virtual ZARO3018 and opens the second, once per process.
bool adapterReady() {
    static const bool ready = [] {
        std::string error;
        if (!ksim::configureDevices("ZARO3018*2", &error)) {
            std::fprintf(stderr, "rpc_packets: %s\n", error.c_str());
            return false;
        }
        // No bus partners: frames sent by one input never arrive in a later one.
        if (ksim::controlDevice(kOwnPosition, {"wire", "set", "none"}).rfind("ok", 0) != 0) {
            return false;
        }
        fuzz::Quiet quiet;
        return KCAN_OpenDevice(kOwnType, kOwnIndex) == 1;
    }();
    return ready;
}

// The number after " key=" (or "key=" at the start) in a firmware report.
uint64_t reported(const std::string& text, const std::string& key) {
    const std::string needle = key + "=";
    size_t at = text.rfind(needle, 0) == 0 ? 0 : text.find(" " + needle);
    FUZZ_CHECK(at != std::string::npos);
    at = text.find('=', at) + 1;
    return std::strtoull(text.c_str() + at, nullptr, 10);
}

// What the adapter reports: its firmware counters and one channel's state.
struct AdapterView {
    std::string counters;
    std::string state;  // empty for a channel the adapter does not have

    uint64_t count(const char* key) const { return reported(counters, key); }
    uint64_t channel(const char* key) const { return reported(state, key); }
};

AdapterView viewAdapter(uint32_t channel) {
    AdapterView v;
    v.counters = ksim::controlDevice(kOwnPosition, {"counters"});
    if (channel < kAdapterChannels) {
        v.state = ksim::controlDevice(kOwnPosition, {"state", std::to_string(channel)});
    }
    return v;
}

// Whether the adapter can serve an init request: the owner's checks, the
// driver's bit-rate tables and the adapter's own limits.
bool serviceable(const RpcFramePkg& pkg) {
    uint32_t word = 0;
    return pkg.channel < kAdapterChannels && pkg.iso <= 1 &&
           dunlinfd2ChkTimingParams(kOwnType, pkg.arbRate, pkg.dataRate) == 0 &&
           dunlinfd::arbitrationTimingWord(pkg.arbRate, kClockMhz, &word) &&
           (pkg.fdMode == 0 || dunlinfd::dataTimingWord(pkg.dataRate, kClockMhz, &word));
}

// Whether a started channel puts the frame on the bus (the adapter refuses
// oversized data and remote CAN FD frames).
bool transmittable(const _KCAN_USER_OBJ& obj) {
    if (obj.isFd) {
        return obj.canfdObj.rtr == 0 && obj.canfdObj.len <= 64;
    }
    return obj.canObj.rtr != 0 || obj.canObj.len <= 8;
}

// Bytes that reached the peer end of the client socket or wait in its queue.
std::vector<uint8_t> takeReplies(int peer) {
    std::vector<uint8_t> out;
    {
        std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
        FUZZ_CHECK(g_client_fds.size() == 1);
        RpcClient& c = g_client_fds[0];
        FUZZ_CHECK(!c.dead);
        // Socket first: whatever is still queued was queued after it.
        uint8_t buf[4 * kRpcPkgSize];
        ssize_t n;
        while ((n = recv(peer, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            out.insert(out.end(), buf, buf + n);
        out.insert(out.end(), c.out.begin() + static_cast<std::ptrdiff_t>(c.outOffset),
                   c.out.end());
        c.out.clear();
        c.outOffset = 0;
    }
    return out;
}

bool otherChannelsSame(const CanAst& before, const CanAst& after, uint32_t channel) {
    for (uint32_t c = 0; c < static_cast<uint32_t>(kMaxChannels); ++c) {
        if (c == channel)
            continue;
        if (before.chInited[c] != after.chInited[c] ||
            std::memcmp(&before.stats[c], &after.stats[c], sizeof before.stats[c]) != 0)
            return false;
    }
    return true;
}

void ownerHandles(int fd, int peer, const RpcFramePkg& sent) {
    RpcFramePkg pkg = sent;
    const CanAst before = canAst;
    const AdapterView adapterBefore = viewAdapter(sent.channel);
    FUZZ_CHECK(rpcServerRpcPkgHandle(fd, &pkg) == 0);
    const std::vector<uint8_t> replies = takeReplies(peer);
    const AdapterView adapterAfter = viewAdapter(sent.channel);
    const bool adapterUntouched =
        adapterAfter.count("commands") == adapterBefore.count("commands") &&
        adapterAfter.count("acks") == adapterBefore.count("acks");

    const bool request = sent.cmd == RPC_SEND_REQ || sent.cmd == RPC_INIT_REQ;
    if (!request) {
        FUZZ_CHECK(replies.empty());
        FUZZ_CHECK(std::memcmp(&before, &canAst, sizeof before) == 0);
        FUZZ_CHECK(adapterUntouched);
        return;
    }
    FUZZ_CHECK(replies.size() == kRpcPkgSize);
    RpcFramePkg reply;
    std::memcpy(&reply, replies.data(), sizeof reply);
    const uint8_t resultCmd = sent.cmd == RPC_SEND_REQ ? RPC_SEND_RESULT : RPC_INIT_RESULT;
    FUZZ_CHECK(reply.cmd == resultCmd);
    FUZZ_CHECK(reply.devType == sent.devType && reply.devIndex == sent.devIndex &&
               reply.channel == sent.channel);
    const bool forUs = sent.devType == canAst.devType && sent.devIndex == canAst.devIndex &&
                       sent.channel < static_cast<uint32_t>(kMaxChannels);
    if (!forUs) {
        FUZZ_CHECK(reply.result == -1);
        FUZZ_CHECK(std::memcmp(&before, &canAst, sizeof before) == 0);
        FUZZ_CHECK(adapterUntouched);
        return;
    }
    FUZZ_CHECK(otherChannelsSame(before, canAst, sent.channel));
    const uint32_t ch = sent.channel;
    if (sent.cmd == RPC_INIT_REQ) {
        {
            std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
            FUZZ_CHECK(g_client_fds[0].channel == static_cast<int32_t>(ch));
        }
        if (before.chInited[ch]) {
            // A shared channel keeps the bit rates set first.
            FUZZ_CHECK(reply.result == 0 && canAst.chInited[ch] == 1);
            FUZZ_CHECK(adapterUntouched && adapterAfter.state == adapterBefore.state);
            return;
        }
        const bool ok = serviceable(sent);
        FUZZ_CHECK(reply.result == (ok ? 0 : -1));
        FUZZ_CHECK(canAst.chInited[ch] == (ok ? 1 : 0));
        if (ok) {
            FUZZ_CHECK(adapterAfter.channel("init") == 1 && adapterAfter.channel("started") == 1);
            FUZZ_CHECK(adapterAfter.channel("arb") == sent.arbRate);
            FUZZ_CHECK(adapterAfter.channel("data") ==
                       (sent.fdMode != 0 ? sent.dataRate : sent.arbRate));
            FUZZ_CHECK(adapterAfter.channel("iso") == sent.iso);
        } else {
            FUZZ_CHECK(adapterAfter.state == adapterBefore.state);
        }
        return;
    }
    // A send: one frame packet, acknowledged, whatever the adapter made of it.
    FUZZ_CHECK(reply.result == 1);
    FUZZ_CHECK(adapterAfter.count("acks") == adapterBefore.count("acks") + 1);
    FUZZ_CHECK(adapterAfter.count("commands") == adapterBefore.count("commands"));
    if (ch < kAdapterChannels) {
        const bool goesOut = adapterBefore.channel("started") == 1 && transmittable(sent.userObj);
        FUZZ_CHECK(adapterAfter.channel("tx") == adapterBefore.channel("tx") + (goesOut ? 1 : 0));
    }
}

void clientHandles(const RpcFramePkg& pkg) {
    const CanAst before = canAst;
    const bool own = pkg.devType == canAst.devType && pkg.devIndex == canAst.devIndex &&
                     pkg.channel == canAst.channel;
    FUZZ_CHECK(rpcClientRpcPkgHandle(&pkg) == (own ? 0 : -1));
    FUZZ_CHECK(std::memcmp(before.chInited, canAst.chInited, sizeof before.chInited) == 0);
    FUZZ_CHECK(std::memcmp(before.stats, canAst.stats, sizeof before.stats) == 0);
}

}  // namespace

int fuzzOneRpcPackets(const uint8_t* data, size_t size) {
    fuzz::Quiet quiet;
    fuzz::InputReader in(data, size);
    const uint64_t seed = in.u8();
    std::vector<uint8_t> stream(in.rest(),
                                in.rest() + std::min<size_t>(in.remaining(), 32 * kRpcPkgSize));

    // The adapter at power-on with the owner's channel running.
    FUZZ_CHECK(adapterReady());
    FUZZ_CHECK(ksim::controlDevice(kOwnPosition, {"reset"}) == "ok");
    _KCAN_INITFD_CONFIG own;
    std::memset(&own, 0, sizeof own);
    own.abitBaudRate = 500000;
    own.dbitBaudRate = 2000000;
    own.fdEnable = 1;
    FUZZ_CHECK(KCAN_InitCANFD(kOwnType, kOwnIndex, kOwnChannel, &own) == 1);

    std::memset(&canAst, 0, sizeof canAst);
    canAst.devType = kOwnType;
    canAst.devIndex = kOwnIndex;
    canAst.channel = kOwnChannel;
    canAst.chInited[kOwnChannel] = 1;
    canAst.recvMode = 1;
    g_running.store(true);

    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    fcntl(sv[0], F_SETFL, O_NONBLOCK);
    {
        std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
        FUZZ_CHECK(g_client_fds.empty());
        RpcClient client;
        client.fd = sv[0];
        g_client_fds.push_back(std::move(client));
    }

    fuzz::SplitMix rng(seed);
    RpcPkgAssembler assembler;
    size_t at = 0;
    size_t packets = 0;
    while (at < stream.size()) {
        size_t chunk = std::min<size_t>(1 + rng.next() % (3 * kRpcPkgSize), stream.size() - at);
        size_t used = 0;
        while (used < chunk) {
            size_t took = assembler.feed(stream.data() + at + used, chunk - used);
            FUZZ_CHECK(took > 0 || assembler.ready());
            used += took;
            FUZZ_CHECK(assembler.pending() <= kRpcPkgSize);
            if (!assembler.ready())
                continue;
            RpcFramePkg pkg = assembler.take();
            FUZZ_CHECK(assembler.pending() == 0);
            FUZZ_CHECK(std::memcmp(&pkg, stream.data() + packets * kRpcPkgSize, kRpcPkgSize) == 0);
            ++packets;
            if (pkg.reserved1[5] & 1) {
                pkg.devType = canAst.devType;
                pkg.devIndex = canAst.devIndex;
            }
            ownerHandles(sv[0], sv[1], pkg);
            clientHandles(pkg);
        }
        at += chunk;
    }
    FUZZ_CHECK(packets == stream.size() / kRpcPkgSize);
    FUZZ_CHECK(assembler.pending() == stream.size() % kRpcPkgSize);

    rpcCloseAllClients();  // closes sv[0]
    close(sv[1]);

    const std::vector<ksim::DeviceStatus> devices = ksim::listDevices();
    FUZZ_CHECK(devices.size() == 2);
    FUZZ_CHECK(devices[kOtherPosition].counters.opens == 0 &&
               devices[kOtherPosition].counters.transfersOut == 0);
    return 0;
}
