#include "app/canlog/candump.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kErrorFrameFlag = 0x20000000;
constexpr uint32_t kExtendedIdMask = 0x1FFFFFFF;
constexpr uint64_t kMaxSeconds = UINT64_MAX / 1000000 - 1;
constexpr char kHex[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Splits on runs of blanks (can-utils pads interface names to one width);
// returns the field count, which stops at kMaxFields.
constexpr size_t kMaxFields = 5;
size_t splitFields(std::string_view line, std::string_view (&out)[kMaxFields]) {
    size_t count = 0;
    size_t i = 0;
    while (count < kMaxFields) {
        while (i < line.size() && isBlank(line[i])) {
            ++i;
        }
        size_t start = i;
        while (i < line.size() && !isBlank(line[i])) {
            ++i;
        }
        if (i == start) {
            break;
        }
        out[count++] = line.substr(start, i - start);
    }
    return count;
}

// "(SECONDS.FRACTION)" with 1..9 fraction digits, kept to the microsecond.
bool parseTime(std::string_view text, uint64_t* us) {
    if (text.size() < 4 || text.front() != '(' || text.back() != ')') {
        return false;
    }
    text = text.substr(1, text.size() - 2);
    size_t dot = text.find('.');
    if (dot == 0 || dot == std::string_view::npos) {
        return false;
    }
    size_t fractionDigits = text.size() - dot - 1;
    if (fractionDigits < 1 || fractionDigits > 9) {
        return false;
    }
    uint64_t seconds = 0;
    for (size_t i = 0; i < dot; ++i) {
        if (text[i] < '0' || text[i] > '9' || seconds > kMaxSeconds / 10) {
            return false;
        }
        seconds = seconds * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    uint64_t micro = 0;
    for (size_t i = 0; i < 6; ++i) {
        size_t pos = dot + 1 + i;
        char c = pos < text.size() ? text[pos] : '0';
        if (c < '0' || c > '9') {
            return false;
        }
        micro = micro * 10 + static_cast<uint64_t>(c - '0');
    }
    for (size_t pos = dot + 7; pos < text.size(); ++pos) {
        if (text[pos] < '0' || text[pos] > '9') {
            return false;
        }
    }
    if (seconds > kMaxSeconds) {
        return false;
    }
    *us = seconds * 1000000 + micro;
    return true;
}

// Hex pairs into data; returns the byte count or -1 (odd count, not hex).
int parseData(std::string_view text, uint8_t* data, size_t capacity, std::string* error) {
    if (text.size() % 2 != 0) {
        *error = "odd number of data digits";
        return -1;
    }
    size_t n = text.size() / 2;
    for (size_t i = 0; i < n; ++i) {
        int hi = hexValue(text[2 * i]);
        int lo = hexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            *error = "data \"" + std::string(text) + "\" is not hexadecimal";
            return -1;
        }
        if (i < capacity) {
            data[i] = static_cast<uint8_t>(hi << 4 | lo);
        }
    }
    return static_cast<int>(n);
}

CandumpParse parseFrame(std::string_view text, LogFrame* f, std::string* error) {
    size_t hash = text.find('#');
    if (hash == std::string_view::npos) {
        *error = "no '#' in the frame \"" + std::string(text) + "\"";
        return CandumpParse::Invalid;
    }
    std::string_view idText = text.substr(0, hash);
    if (idText.size() != 3 && idText.size() != 8) {
        *error = "identifier of " + std::to_string(idText.size()) +
                 " digits: standard ids have 3, extended 8";
        return CandumpParse::Invalid;
    }
    uint32_t id = 0;
    for (char c : idText) {
        int v = hexValue(c);
        if (v < 0) {
            *error = "identifier \"" + std::string(idText) + "\" is not hexadecimal";
            return CandumpParse::Invalid;
        }
        id = id << 4 | static_cast<uint32_t>(v);
    }
    f->ext = idText.size() == 8;
    if (f->ext && (id & kErrorFrameFlag) != 0) {
        return CandumpParse::Skip;
    }
    if (id > (f->ext ? kExtendedIdMask : 0x7FFu)) {
        *error = "identifier " + std::string(idText) + " out of range";
        return CandumpParse::Invalid;
    }
    f->id = id;

    std::string_view rest = text.substr(hash + 1);
    if (!rest.empty() && rest[0] == '#') {
        int flags = rest.size() > 1 ? hexValue(rest[1]) : -1;
        if (flags < 0) {
            *error = "FD frame without its flags digit";
            return CandumpParse::Invalid;
        }
        f->fd = true;
        f->brs = (flags & 0x1) != 0;
        f->esi = (flags & 0x2) != 0;
        int n = parseData(rest.substr(2), f->data, sizeof f->data, error);
        if (n < 0) {
            return CandumpParse::Invalid;
        }
        if (n > 64 || canFdLength(static_cast<uint8_t>(n)) != n) {
            *error = "FD length " + std::to_string(n) + " is not a valid CAN FD length";
            return CandumpParse::Invalid;
        }
        f->len = static_cast<uint8_t>(n);
        return CandumpParse::Frame;
    }
    if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
        f->rtr = true;
        if (rest.size() == 2 && rest[1] >= '0' && rest[1] <= '8') {
            f->len = static_cast<uint8_t>(rest[1] - '0');
        } else if (rest.size() != 1) {
            *error = "remote frame length \"" + std::string(rest.substr(1)) + "\" is not 0..8";
            return CandumpParse::Invalid;
        }
        return CandumpParse::Frame;
    }
    int n = parseData(rest, f->data, 8, error);
    if (n < 0) {
        return CandumpParse::Invalid;
    }
    if (n > 8) {
        *error = "classic frame with " + std::to_string(n) + " data bytes";
        return CandumpParse::Invalid;
    }
    f->len = static_cast<uint8_t>(n);
    return CandumpParse::Frame;
}

}  // namespace

size_t formatCandumpLine(const LogFrame& frame, char* out, size_t size) {
    char line[kCandumpLineMax];
    int n = snprintf(line, sizeof line, "(%010llu.%06llu) can%u ",
                     static_cast<unsigned long long>(frame.stampUs / 1000000),
                     static_cast<unsigned long long>(frame.stampUs % 1000000), frame.channel);
    size_t pos = static_cast<size_t>(n);
    uint32_t id = frame.id & (frame.ext ? kExtendedIdMask : 0x7FFu);
    for (int shift = frame.ext ? 28 : 8; shift >= 0; shift -= 4) {
        line[pos++] = kHex[(id >> shift) & 0xF];
    }
    line[pos++] = '#';
    size_t len = frame.len;
    if (frame.fd) {
        line[pos++] = '#';
        line[pos++] = kHex[(frame.brs ? 1 : 0) | (frame.esi ? 2 : 0)];
        len = canFdLength(frame.len);
    } else if (frame.rtr) {
        line[pos++] = 'R';
        if (frame.len != 0) {
            line[pos++] = static_cast<char>('0' + (frame.len > 8 ? 8 : frame.len));
        }
        len = 0;
    } else if (len > 8) {
        len = 8;
    }
    for (size_t i = 0; i < len; ++i) {
        line[pos++] = kHex[frame.data[i] >> 4];
        line[pos++] = kHex[frame.data[i] & 0xF];
    }
    line[pos++] = '\n';
    if (pos > size) {
        return 0;
    }
    memcpy(out, line, pos);
    return pos;
}

CandumpParse parseCandumpLine(std::string_view line, LogFrame* frame, std::string* ifname,
                              std::string* error) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    std::string_view f[kMaxFields];
    size_t count = splitFields(line, f);
    if (count == 0) {
        return CandumpParse::Skip;
    }
    if (count < 3) {
        *error = "expected \"(time) interface frame\"";
        return CandumpParse::Invalid;
    }
    // python-can's writer ends each line with its direction.
    bool direction = count > 3 && (f[3] == "T" || f[3] == "R");
    size_t extra = direction ? 4 : 3;
    if (count > extra) {
        *error = "unexpected \"" + std::string(f[extra]) + "\" after the frame";
        return CandumpParse::Invalid;
    }
    LogFrame parsed;
    if (!parseTime(f[0], &parsed.stampUs)) {
        *error = "bad time stamp \"" + std::string(f[0]) + "\"";
        return CandumpParse::Invalid;
    }
    CandumpParse result = parseFrame(f[2], &parsed, error);
    if (result != CandumpParse::Frame) {
        return result;
    }
    parsed.channel = channelOfInterface(f[1]);
    parsed.outbound = direction && f[3] == "T";
    *frame = parsed;
    *ifname = std::string(f[1]);
    return CandumpParse::Frame;
}
