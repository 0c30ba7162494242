// Channel sharing between processes.
//
// The owner of an adapter serves a Unix stream socket
// "/tmp/Kestrun_<model>_<index>.sock"; every other process for the same
// adapter connects as a client, asks the owner to initialise its channel and
// to transmit its frames, and receives the frames, send results and
// statistics of its channel. Every message is one 272-byte RpcFramePkg.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "app/rpc_packet.h"

constexpr int kRpcMaxClients = 10;
// Send requests the owner hands the library in one call, and a client's send
// batch: whole packets of the FD (10 frames) and classic (3) adapters.
constexpr uint32_t kRpcSendBatch = 30;
// A client that falls this far behind the owner's broadcasts is dropped
// rather than allowed to stall the owner or grow its memory without bound.
constexpr size_t kRpcClientBacklogMax = 8u << 20;
// A client's queue that grew past this during a burst gives its memory back
// once it has drained, so a passing lag does not keep megabytes for the run.
constexpr size_t kRpcClientOutKeep = 64u << 10;

// One connected client, as the owner's server sees it.
struct RpcClient {
    int fd = -1;
    int32_t channel = -1;      // from its init request; -1 until then
    bool dead = false;         // to be closed and removed by the server thread
    bool sending = false;      // a thread sends to it outside g_client_mutex
    std::vector<uint8_t> out;  // bytes not yet taken by the socket
    size_t outOffset = 0;
    RpcPkgAssembler in;
};

// The connected clients; guarded by g_client_mutex. Only the server thread
// adds, closes and removes entries, so a descriptor is never reused while
// another thread still refers to it.
extern std::vector<RpcClient> g_client_fds;
extern std::recursive_mutex g_client_mutex;

// Writes the socket path into buffer (`size` bytes); -1 when it does not fit
// a Unix socket address.
int rpcSocketPath(const char* name, uint32_t devIndex, char* buffer, size_t size);

// Whether the peer of a connected socket runs as this process's effective
// user or as root: only such peers may drive the adapter or be believed as
// its owner (/tmp is world-writable). `peerUid` (optional) gets the peer's
// user id when it can be read.
bool rpcPeerAllowed(int fd, uint32_t* peerUid);

// Listening socket for the owner, or -1. A stale socket file is replaced.
int rpcStartServer(const char* name, uint32_t devIndex);
// Connected socket for a client, or -1.
int rpcConnectServer(const char* name, uint32_t devIndex);

// Blocking transfer of exactly one packet, resuming after partial transfers
// and signals; 0 on success, -1 when the peer is gone (or, for writes, the
// run ended while the peer did not take the packet).
int rpcPkgWrite(int fd, const RpcFramePkg* pkg);
// Writes `count` packets, in as few writes as the socket takes.
int rpcPkgsWrite(int fd, const RpcFramePkg* pkgs, size_t count);
int rpcPkgRead(int fd, RpcFramePkg* pkg);

// Owner: accepts clients and handles their packets until g_running clears.
void rpcServerManageThread(int listenFd, uint32_t devType, uint32_t devIndex, uint32_t channel);
// Owner: handles one packet from the client on `fd`. Returns 0.
int rpcServerRpcPkgHandle(int fd, RpcFramePkg* pkg);
// Owner: transmits send requests of the client on `fd` (one channel, one
// frame kind; a single request too) together and answers each with its result.
void rpcServerSendBatch(int fd, RpcFramePkg* pkgs, size_t count);
// Owner: hands a packet to every client of the packet's channel without
// waiting for any of them.
void rpcBroadcastUserObj(const RpcFramePkg* pkg);
void rpcBroadcastPkgs(const RpcFramePkg* pkgs, size_t count);

// Client: how the owner answered this process's init request.
enum class RpcInitOutcome { Pending, Accepted, Refused, ConnectionEnded };
// Client: waits until the reader has the owner's answer to the init request
// or has ended (lost connection, end of the run).
RpcInitOutcome rpcClientAwaitInit();

// Client: reads the owner's packets until the connection ends or g_running
// clears; a lost connection ends the run.
void rpcRecvThread(int fd);
// Client: 0 when the packet was for this process and handled, -1 otherwise.
int rpcClientRpcPkgHandle(const RpcFramePkg* pkg);

// Client: the tag this process puts into its send requests, so that it can
// tell the results of its own requests from those of other clients.
void rpcClientTagRequest(RpcFramePkg* pkg);

// Owner: closes every client connection (at the end of the run).
void rpcCloseAllClients();

// Owner: the clients connected now.
size_t rpcClientCount();
// Owner: the number of clients gone since the start, after waiting (at most
// `timeout`) until it differs from `seen`.
uint64_t rpcAwaitClientGone(uint64_t seen, std::chrono::milliseconds timeout);
