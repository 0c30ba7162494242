// The candump log format of can-utils: one frame a line,
//   (1700000000.123456) can3 123#DEADBEEF
// written so that can-utils, python-can, tshark and SavvyCAN all read it
// (no direction suffix: tshark refuses one).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "app/canlog/log_frame.h"

// Longest line formatCandumpLine writes, the newline included.
constexpr size_t kCandumpLineMax = 192;

// Writes the line of `frame` (interface "can<channel>", newline included)
// into out; returns its length, 0 when `size` is too small.
size_t formatCandumpLine(const LogFrame& frame, char* out, size_t size);

enum class CandumpParse {
    Frame,    // *frame and *ifname are set
    Skip,     // a blank line or a frame that cannot be sent (an error frame)
    Invalid,  // *error says why
};

// Parses one line (a trailing "\n" or "\r\n" allowed). Accepts what candump
// -l, python-can's writer (with its " T"/" R" suffix, which sets outbound)
// and can-utils' converters write: 3-digit standard and 8-digit extended
// identifiers, data, remote frames with an optional length digit, FD frames
// with their flags digit. channel is taken from an interface name
// "can<number>" and is 0 otherwise.
CandumpParse parseCandumpLine(std::string_view line, LogFrame* frame, std::string* ifname,
                              std::string* error);
