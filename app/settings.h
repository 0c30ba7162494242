// The tool-wide settings and state: what the command line asked for and what
// the run has set up. One instance of each, shared by the workers.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/statistics.h"

constexpr int kMaxChannels = 16;        // per-channel tables hold channels 0..15
constexpr int kMessageTextSize = 1024;  // -m text, at most 1023 characters kept

struct CanAst {
    uint32_t devType;   // adapter type code; 0 = none or unknown model
    uint32_t devIndex;  // index among adapters of the same model
    uint32_t channel;   // CAN channel used by this process
    uint32_t arbRate;   // arbitration bit rate, bit/s; 0 = not given
    uint32_t dataRate;  // data bit rate, bit/s; 0 = not given
    uint8_t sendMode;
    uint8_t recvMode;
    uint8_t statusMode;
    uint8_t fdMode;  // set by validation when a data rate was given
    uint8_t isOwner;
    uint8_t echo;
    uint8_t iso;
    uint8_t serveMode;  // --serve: an owner that only serves clients
    uint8_t chInited[kMaxChannels];
    statistics_t stats[kMaxChannels];
};

struct TaskTxConfig {
    uint32_t period;  // ms between frames; 0 = no pause
    uint32_t count;   // frames to send; 0 = unlimited
    uint32_t idStart;
    uint32_t idEnd;
    uint32_t idStep;
    uint32_t idRandom;
    uint32_t idSweep;
    uint32_t brs;
    uint8_t echo;
};

extern CanAst canAst;
extern TaskTxConfig taskTxConfig;
extern char messageText[kMessageTextSize];
extern std::atomic<bool> g_running;

// The send settings before any option is applied.
TaskTxConfig defaultTaskTxConfig();
