// Bytes as hex text ("12 03 06") and back, for tests that state wire bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace hextext {

inline std::string hex(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        char b[4];
        s.append(b, std::snprintf(b, sizeof b, i == 0 ? "%02x" : " %02x", p[i]));
    }
    return s;
}

inline std::string hex(const std::vector<uint8_t>& b) {
    return hex(b.data(), b.size());
}

inline std::vector<uint8_t> bytes(const std::string& text) {
    std::istringstream in(text);
    std::vector<uint8_t> out;
    for (unsigned v; in >> std::hex >> v;) {
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

}  // namespace hextext
