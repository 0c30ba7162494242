// Shared set-up of the FD benchmarks: a virtual ZARO3018 (linked in place of
// libusb), opened through the exported functions with all 8 channels
// initialised, and small timing helpers.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/sim_control.h"
#include "kcan.h"

namespace bench {

constexpr uint32_t kType = KCAN_TYPE_ZARO3018;
constexpr uint32_t kChannels = 8;

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Runs a control command of the virtual adapters; stops the benchmark on a
// refusal.
inline std::string sim(const std::string& line) {
    std::string reply = ksim::executeControlCommand(line);
    if (reply.rfind("error", 0) == 0) {
        std::fprintf(stderr, "simulator refused '%s': %s\n", line.c_str(), reply.c_str());
        std::exit(2);
    }
    return reply;
}

// One ZARO3018 at device position 0, opened, every channel initialised for
// CAN FD at 1 Mbit/s / 5 Mbit/s. Exits with a message on failure.
inline void openAdapter() {
    std::string error;
    if (!ksim::configureDevices("ZARO3018", &error)) {
        std::fprintf(stderr, "device list: %s\n", error.c_str());
        std::exit(2);
    }
    if (KCAN_OpenDevice(kType, 0) != 1) {
        std::fprintf(stderr, "open failed: %s\n", KCAN_GetLastErrorStr());
        std::exit(2);
    }
    for (uint32_t ch = 0; ch < kChannels; ++ch) {
        _KCAN_INITFD_CONFIG cfg{};
        cfg.abitBaudRate = 1000000;
        cfg.dbitBaudRate = 5000000;
        cfg.fdEnable = 1;
        if (KCAN_InitCANFD(kType, 0, ch, &cfg) != 1) {
            std::fprintf(stderr, "init of channel %u failed: %s\n", ch, KCAN_GetLastErrorStr());
            std::exit(2);
        }
    }
}

inline void closeAdapter() {
    KCAN_CloseDevice(kType, 0);
}

// A value "key=<number>" from a reply line of the simulator, or 0.
inline unsigned long long field(const std::string& reply, const std::string& key) {
    size_t at = reply.find(key + "=");
    return at == std::string::npos
               ? 0
               : std::strtoull(reply.c_str() + at + key.size() + 1, nullptr, 10);
}

inline bool hasFlag(int argc, char** argv, const char* flag) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0)
            return true;
    }
    return false;
}

// Nearest-rank percentile of sorted samples.
inline double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty())
        return 0;
    size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size()));
    return sorted[std::min(rank, sorted.size() - 1)];
}

}  // namespace bench
