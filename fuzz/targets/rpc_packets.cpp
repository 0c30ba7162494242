// Channel-sharing packets from hostile local processes, with no adapter open
// (every library call fails harmlessly).
//
// Input byte 0 seeds the chunking; the rest is the byte stream a client sends.
// It is accumulated by an RpcPkgAssembler in chunks as the owner's server
// reads it, and every whole packet goes through the owner's handler
// (rpcServerRpcPkgHandle, from a socketpair client in g_client_fds) and the
// client's (rpcClientRpcPkgHandle). Bit 0 of the packet's last reserved byte
// points the packet at this process's adapter, so that both the refused and
// the accepted paths are reached.
// Invariants:
//   - the assembler yields exactly one packet per 272 bytes, whatever the
//     chunking, byte for byte;
//   - a send or init request for another adapter or a channel >= 16 is
//     answered with exactly one packet: the matching result command, result
//     -1, the request's adapter and channel; no settings table changes;
//   - an accepted request is answered with exactly one result packet, and only
//     the entries of its own channel (< 16) may change;
//   - every other command gets no answer and changes nothing;
//   - the client's handler returns -1 exactly for packets not of its own
//     adapter and channel, and changes no per-channel table.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "app/rpc.h"
#include "app/settings.h"
#include "fuzz/targets/fuzz_support.h"

namespace {

constexpr uint32_t kOwnType = 41;
constexpr uint32_t kOwnIndex = 3;

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
    FUZZ_CHECK(rpcServerRpcPkgHandle(fd, &pkg) == 0);
    const std::vector<uint8_t> replies = takeReplies(peer);

    const bool request = sent.cmd == RPC_SEND_REQ || sent.cmd == RPC_INIT_REQ;
    if (!request) {
        FUZZ_CHECK(replies.empty());
        FUZZ_CHECK(std::memcmp(&before, &canAst, sizeof before) == 0);
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
        return;
    }
    FUZZ_CHECK(otherChannelsSame(before, canAst, sent.channel));
    if (sent.cmd == RPC_INIT_REQ) {
        // No adapter is open: an init succeeds only on an initialised channel.
        if (before.chInited[sent.channel])
            FUZZ_CHECK(reply.result == 0);
        else
            FUZZ_CHECK(reply.result != 0);
        FUZZ_CHECK(canAst.chInited[sent.channel] == before.chInited[sent.channel]);
        std::lock_guard<std::recursive_mutex> lock(g_client_mutex);
        FUZZ_CHECK(g_client_fds[0].channel == static_cast<int32_t>(sent.channel));
    } else {
        FUZZ_CHECK(reply.result == 0);  // nothing can be transmitted
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

    std::memset(&canAst, 0, sizeof canAst);
    canAst.devType = kOwnType;
    canAst.devIndex = kOwnIndex;
    canAst.channel = 2;
    canAst.chInited[2] = 1;
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
    return 0;
}
