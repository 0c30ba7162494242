// Per-channel traffic counters and per-interval rates.
//
// statistics_t is a plain record because a copy travels inside the
// channel-sharing packet; its layout is pinned below. Several threads update
// one record, so every counter is added, and every field that another thread
// may read is stored, with atomic operations on the plain fields.
#pragma once

#include <cstddef>
#include <cstdint>

struct statistics_t {
    uint64_t txFrames;      // frames sent successfully
    uint64_t txBytes;       // data bytes of those frames
    uint64_t txFailed;      // failed sends
    uint64_t rxFrames;      // frames received
    uint64_t rxBytes;       // data bytes received
    uint64_t rxDropped;     // dropped received frames
    int64_t startTime;      // stats_init time, seconds since the epoch
    int64_t lastUpdate;     // time of the last counter update, seconds
    double txFps;           // frames sent during the last rate interval
    double rxFps;           // frames received during the last rate interval
    double txKbps;          // kilobits of payload sent during the last interval
    double rxKbps;          // kilobits of payload received during the last interval
    uint64_t lastTxFrames;  // counters at the previous rate computation
    uint64_t lastRxFrames;
    uint64_t lastTxBytes;
    uint64_t lastRxBytes;
};

static_assert(sizeof(statistics_t) == 128, "statistics_t is 128 bytes");
static_assert(alignof(statistics_t) == 8, "statistics_t is 8-byte aligned");
static_assert(offsetof(statistics_t, txFrames) == 0, "txFrames at 0");
static_assert(offsetof(statistics_t, txBytes) == 8, "txBytes at 8");
static_assert(offsetof(statistics_t, txFailed) == 16, "txFailed at 16");
static_assert(offsetof(statistics_t, rxFrames) == 24, "rxFrames at 24");
static_assert(offsetof(statistics_t, rxBytes) == 32, "rxBytes at 32");
static_assert(offsetof(statistics_t, rxDropped) == 40, "rxDropped at 40");
static_assert(offsetof(statistics_t, startTime) == 48, "startTime at 48");
static_assert(offsetof(statistics_t, lastUpdate) == 56, "lastUpdate at 56");
static_assert(offsetof(statistics_t, txFps) == 64, "txFps at 64");
static_assert(offsetof(statistics_t, rxFps) == 72, "rxFps at 72");
static_assert(offsetof(statistics_t, txKbps) == 80, "txKbps at 80");
static_assert(offsetof(statistics_t, rxKbps) == 88, "rxKbps at 88");
static_assert(offsetof(statistics_t, lastTxFrames) == 96, "lastTxFrames at 96");
static_assert(offsetof(statistics_t, lastRxFrames) == 104, "lastRxFrames at 104");
static_assert(offsetof(statistics_t, lastTxBytes) == 112, "lastTxBytes at 112");
static_assert(offsetof(statistics_t, lastRxBytes) == 120, "lastRxBytes at 120");

// Buffer sizes that hold a whole block with a model name.
constexpr size_t kStatsTextMax = 1024;
constexpr size_t kStatsJsonMax = 1024;

// Clears the record and sets startTime and lastUpdate to now. Not atomic:
// call it before other threads see the record.
void stats_init(statistics_t* s);
// Atomically adds to the send / receive counters and stamps lastUpdate.
// A null record is ignored.
void stats_update_tx(statistics_t* s, uint64_t frames, uint64_t bytes, uint64_t failures);
void stats_update_rx(statistics_t* s, uint64_t frames, uint64_t bytes, uint64_t drops);
// Rates of the interval since the previous call (no division by time: called
// once a second they read per second), then remembers the counters. One
// caller at a time; concurrent updates are safe. A null record is ignored.
void stats_calculate_rate(statistics_t* s);
// Copies the record field by field with atomic loads, e.g. into a packet
// while other threads keep counting. Null arguments are ignored.
void stats_snapshot(const statistics_t* s, statistics_t* out);

// Print the text / JSON block in one write. A null record is ignored.
void stats_display(const statistics_t* s, const char* deviceName, int channel);
void stats_display_json(const statistics_t* s, const char* deviceName, int channel);

// Pure formatters of the two blocks, now being the current time in seconds.
// They fill buf (NUL-terminated when size > 0) and return the number of
// bytes stored, always less than size; what does not fit is cut. A null
// deviceName shows as "Unknown". The JSON block escapes the name.
int stats_format_text(char* buf, size_t size, const statistics_t& s, const char* deviceName,
                      int channel, int64_t now);
int stats_format_json(char* buf, size_t size, const statistics_t& s, const char* deviceName,
                      int channel, int64_t now);
