// Channel workers: channel initialisation, sending one frame, the receive
// worker that polls every initialised channel, the send worker and the
// statistics worker. The receive and statistics workers run in the owner of
// the adapter only; the send worker runs in owner and client alike.
#pragma once

#include <cstdint>
#include <string>

#include "app/settings.h"
#include "app/user_obj.h"

// 0 when the channel is ready (or the type needs no initialisation here);
// -1 after a printed error.
int hwInit(uint32_t devType, uint32_t devIndex, uint32_t channel, uint8_t fd, uint32_t arbRate,
           uint32_t dataRate, uint8_t iso);

// Transmits objs[0..n) with as few library calls as the frames allow and
// counts each; ok[i] tells whether frame i went out. Every frame is tried
// once, in order, as if sent one a call. Returns the frames sent.
uint32_t hwSendUserObjs(uint32_t devType, uint32_t devIndex, uint32_t channel,
                        const _KCAN_USER_OBJ* objs, uint32_t n, uint8_t* ok);

// Accounts, shows (own channel, receive mode) and forwards received frames of
// one channel: objs[0..n).
void hwObjRecvHandle(uint32_t devType, uint32_t devIndex, uint32_t channel,
                     const _KCAN_USER_OBJ* objs, int n);

// Marks a channel initialised by this (owner) process; the receive worker
// starts reading it at once. Channels outside 0..15 are ignored.
void hwMarkChannelInited(uint32_t channel);

// Receive worker: reads every initialised channel until g_running clears.
void hwRecvThread(uint32_t devType, uint32_t devIndex, uint32_t channel);

// A log file to play instead of the -m frame (--replay).
struct ReplayRequest {
    std::string path;          // empty: no replay
    std::string ifname;        // only frames recorded on this interface; empty: all
    bool periodGiven = false;  // -p given: fixed pause or (0) full speed, not the recorded pace
};
void hwSetReplay(const ReplayRequest& request);
// A run that failed other than by a send (a replay file that could not be read).
bool hwRunFailed();

// Send worker: repeats `frame` with period, count and identifier sweep, or
// plays the log set by hwSetReplay.
// A client (isOwner 0) hands each frame to the owner over `socket`.
void hwSendThread(int isOwner, int socket, TaskTxConfig config, _KCAN_USER_OBJ frame,
                  bool showProgress);

// Statistics worker: once a second per initialised channel (owner only).
void statusStatisticsThread(bool isOwner);

// Next identifier of a sweep after `current` (random or stepped); `random` is
// the value drawn for a random sweep.
uint32_t hwNextSweepId(const TaskTxConfig& config, uint32_t current, uint32_t random);

// Frames whose send failed in this process (owner: transmit result; client:
// a refused request or a failed result for one of its own requests).
uint64_t hwSendFailures();
// Called by the client's reader for results of this process's own requests.
void hwNoteOwnSendResult(int32_t result);

// Client side of the send worker's flow control: the reader reports each
// send result for this channel; `own` when it answers this process's request.
void hwTxResultReceived(bool own);
// Client: the reader has ended, so no result will come for a pending request;
// the send worker stops waiting for one.
void hwTxResultsEnded();
