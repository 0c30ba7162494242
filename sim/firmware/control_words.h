// Words of the firmware control commands (kestrun-simctl and tests): the
// parsing and printing every family's control() shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ksim::fwkit {

std::string lower(std::string s);
// A whole number in [0, max]; base 16 accepts an optional 0x prefix.
bool parseNumber(std::string text, int base, uint64_t max, uint64_t* out);
// An even number of hex digits, at most maxBytes bytes.
bool parseHexBytes(const std::string& text, size_t maxBytes, std::vector<uint8_t>* out);
std::string hexText(const uint8_t* data, size_t length);
// words[from..] joined by single blanks, for arguments that may hold blanks.
std::string joinWords(const std::vector<std::string>& words, size_t from);
inline std::string error(const std::string& what) {
    return "error: " + what;
}

}  // namespace ksim::fwkit
