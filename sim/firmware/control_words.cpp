#include "firmware/control_words.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace ksim::fwkit {

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

bool parseNumber(std::string text, int base, uint64_t max, uint64_t* out) {
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text = text.substr(2);
    }
    if (text.empty() || text.size() > 20) {
        return false;
    }
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (base == 16 ? !std::isxdigit(u) : !std::isdigit(u)) {
            return false;
        }
    }
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, base);
    if (errno != 0 || v > max) {
        return false;
    }
    *out = v;
    return true;
}

bool parseHexBytes(const std::string& text, size_t maxBytes, std::vector<uint8_t>* out) {
    if (text.size() % 2 != 0 || text.size() / 2 > maxBytes) {
        return false;
    }
    out->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        uint64_t b = 0;
        if (!parseNumber(text.substr(i, 2), 16, 0xFF, &b)) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(b));
    }
    return true;
}

std::string hexText(const uint8_t* data, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        s += kDigits[data[i] >> 4];
        s += kDigits[data[i] & 0x0F];
    }
    return s;
}

std::string joinWords(const std::vector<std::string>& words, size_t from) {
    std::string text;
    for (size_t i = from; i < words.size(); ++i) {
        text += (i > from ? " " : "") + words[i];
    }
    return text;
}

}  // namespace ksim::fwkit
