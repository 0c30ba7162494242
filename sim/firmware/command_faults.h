// Fault switches of the command exchange, shared by every firmware family,
// keyed by the command code (byte 1 of the request; 0xA7 for the direct
// transfer). A request that a status or foreign switch hits is answered but
// not carried out; a truncate switch cuts the answer of a request that was.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "firmware/reply_queue.h"

namespace ksim::fwkit {

struct CommandFaults {
    std::array<bool, 256> noReply{};
    std::array<int16_t, 256> status{};    // -1: none
    std::array<int16_t, 256> foreign{};   // -1: none
    std::array<int16_t, 256> truncate{};  // -1: none; else the reply is cut to this length
    uint32_t latencyUs = 0;

    CommandFaults() { reset(); }
    void reset();
    // code is byte 1 of the request, -1 for a request shorter than that.
    bool dropsReply(int code) const;
    // True when the request must be answered without being carried out.
    bool blocksExecution(int code) const;
    // The status byte a switch forces into the reply to `code`.
    std::optional<uint8_t> forcedStatus(int code) const;
    // Applies the foreign and truncate switches of `code` to a reply.
    void reshape(int code, Message* m) const;
    // "noreply=... status=... foreign=... truncate=... latency_us=..."; the
    // truncate lengths in decimal or as two hex digits.
    std::string text(bool truncateInDecimal) const;
    // Handles "fault noreply|status|foreign|truncate|latency ..." (args[0] is
    // "fault"). Returns "" when args[1] names none of these.
    std::string control(const std::vector<std::string>& args);
};

// Writes a status byte at offset `at` of a reply, lengthening a shorter one.
void putStatus(size_t at, uint8_t status, Message* m);

}  // namespace ksim::fwkit
