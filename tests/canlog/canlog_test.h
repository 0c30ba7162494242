// Helpers shared by the log format tests.
#pragma once

#include <cstdio>
#include <string>

#include "app/canlog/log_frame.h"

namespace canlogtest {

// Every field of a frame in one line, so a mismatch shows which one differs.
inline std::string describe(const LogFrame& f) {
    char head[96];
    snprintf(head, sizeof head, "t=%llu ch%u %s %X%s%s%s%s%s len=%u ",
             static_cast<unsigned long long>(f.stampUs), f.channel, f.outbound ? "out" : "in", f.id,
             f.ext ? " ext" : "", f.rtr ? " rtr" : "", f.fd ? " fd" : "", f.brs ? " brs" : "",
             f.esi ? " esi" : "", f.len);
    std::string s = head;
    for (int i = 0; i < 64; ++i) {
        snprintf(head, sizeof head, "%02X", f.data[i]);
        if (i < f.len) {
            s += head;
        } else if (f.data[i] != 0) {
            return s + " and bytes past the length";
        }
    }
    return s;
}

// "0A0D 0D0A ..." as bytes; blanks are for reading only.
inline std::string bytes(const std::string& hex) {
    std::string out;
    std::string digits;
    for (char c : hex) {
        if (c != ' ' && c != '\n') {
            digits += c;
        }
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline LogFrame frame(uint64_t stampUs, uint32_t channel, uint32_t id, std::string data) {
    LogFrame f;
    f.stampUs = stampUs;
    f.channel = channel;
    f.id = id;
    f.len = static_cast<uint8_t>(data.size());
    data.copy(reinterpret_cast<char*>(f.data), data.size());
    return f;
}

}  // namespace canlogtest
