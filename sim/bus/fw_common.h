// Pieces shared by the adapter firmware: the command fault switches and reply
// message of the classic and recorder firmware, and the text helpers of every
// firmware's control commands.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ksim::fwkit {

using Clock = std::chrono::steady_clock;

// Largest command request and reply on the command endpoints.
constexpr size_t kCommandPacket = 64;

// One reply waiting on a command IN endpoint.
struct Message {
    Clock::time_point ready{};
    size_t length = 0;
    std::array<uint8_t, kCommandPacket> bytes{};
};

// Fault switches of the command exchange, keyed by the command code (byte 1
// of the request; 0xA7 for the direct transfer). A request that a status or
// foreign switch hits is answered but not carried out.
struct CommandFaults {
    std::array<bool, 256> noReply{};
    std::array<int16_t, 256> status{};    // -1: none
    std::array<int16_t, 256> foreign{};   // -1: none
    std::array<int16_t, 256> truncate{};  // -1: none; else the reply is cut to this length
    uint32_t latencyUs = 0;

    CommandFaults() { reset(); }
    void reset();
    // True when the request must be answered without being carried out.
    bool blocksExecution(int code) const;
    // Applies the status, foreign and truncate switches of `code` to a reply.
    // statusAt is the reply byte that carries the status for this command.
    void shape(int code, size_t statusAt, Message* m) const;
    // "noreply=... status=... foreign=... truncate=... latency_us=..."
    std::string text() const;
    // Handles "fault noreply|status|foreign|truncate|latency ..." (args[0] is
    // "fault"). Returns "" when args[1] names none of these.
    std::string control(const std::vector<std::string>& args);
};

std::string lower(std::string s);
// A whole number in [0, max]; base 16 accepts an optional 0x prefix.
bool parseNumber(std::string text, int base, uint64_t max, uint64_t* out);
// An even number of hex digits, at most maxBytes bytes.
bool parseHexBytes(const std::string& text, size_t maxBytes, std::vector<uint8_t>* out);
std::string hexText(const uint8_t* data, size_t length);
inline std::string error(const std::string& what) {
    return "error: " + what;
}

// Deadline of a transfer: timeoutMs 0 means no limit.
inline Clock::time_point deadlineAfter(Clock::time_point now, unsigned timeoutMs) {
    return timeoutMs == 0 ? Clock::time_point::max() : now + std::chrono::milliseconds(timeoutMs);
}

}  // namespace ksim::fwkit
