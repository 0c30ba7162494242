#include "bus/fw_common.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace ksim::fwkit {

void CommandFaults::reset() {
    noReply.fill(false);
    status.fill(-1);
    foreign.fill(-1);
    truncate.fill(-1);
    latencyUs = 0;
}

bool CommandFaults::blocksExecution(int code) const {
    if (code < 0) {
        return false;
    }
    const auto i = static_cast<size_t>(code);
    return status[i] >= 0 || foreign[i] >= 0;
}

void CommandFaults::shape(int code, size_t statusAt, Message* m) const {
    if (code < 0) {
        return;
    }
    const auto i = static_cast<size_t>(code);
    if (status[i] >= 0) {
        if (m->length <= statusAt) {
            m->length = statusAt + 1;
        }
        m->bytes[statusAt] = static_cast<uint8_t>(status[i]);
    }
    if (foreign[i] >= 0 && m->length > 1) {
        m->bytes[1] = static_cast<uint8_t>(foreign[i]);
    }
    if (truncate[i] >= 0 && static_cast<size_t>(truncate[i]) < m->length) {
        m->length = static_cast<size_t>(truncate[i]);
    }
}

std::string CommandFaults::text() const {
    std::string noReplyText, statusText, foreignText, truncateText;
    char buf[32];
    auto add = [&buf](std::string* list, int code, int value) {
        if (value < 0) {
            std::snprintf(buf, sizeof buf, "%s%02x", list->empty() ? "" : ",", code);
        } else {
            std::snprintf(buf, sizeof buf, "%s%02x:%02x", list->empty() ? "" : ",", code, value);
        }
        *list += buf;
    };
    for (int code = 0; code < 256; ++code) {
        const auto i = static_cast<size_t>(code);
        if (noReply[i]) {
            add(&noReplyText, code, -1);
        }
        if (status[i] >= 0) {
            add(&statusText, code, status[i]);
        }
        if (foreign[i] >= 0) {
            add(&foreignText, code, foreign[i]);
        }
        if (truncate[i] >= 0) {
            add(&truncateText, code, truncate[i]);
        }
    }
    auto orDash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    return "noreply=" + orDash(noReplyText) + " status=" + orDash(statusText) +
           " foreign=" + orDash(foreignText) + " truncate=" + orDash(truncateText) +
           " latency_us=" + std::to_string(latencyUs);
}

std::string CommandFaults::control(const std::vector<std::string>& args) {
    const std::string name = args.size() > 1 ? lower(args[1]) : "";
    const std::string v1 = args.size() > 2 ? lower(args[2]) : "";
    const std::string v2 = args.size() > 3 ? lower(args[3]) : "";
    uint64_t code = 0;
    uint64_t value = 0;
    if (name == "noreply") {
        if (v1 == "off" && args.size() == 3) {
            noReply.fill(false);
            return "ok";
        }
        if (args.size() <= 4 && parseNumber(v1, 16, 0xFF, &code) &&
            (args.size() == 3 || v2 == "on" || v2 == "off")) {
            noReply[code] = v2 != "off";
            return "ok";
        }
        return error("usage: fault noreply <code> [on|off] | fault noreply off");
    }
    if (name == "status" || name == "foreign" || name == "truncate") {
        auto& table = name == "status" ? status : name == "foreign" ? foreign : truncate;
        if (v1 == "off" && args.size() == 3) {
            table.fill(-1);
            return "ok";
        }
        if (args.size() == 4 && parseNumber(v1, 16, 0xFF, &code)) {
            if (v2 == "off") {
                table[code] = -1;
                return "ok";
            }
            const bool ok = name == "truncate" ? parseNumber(v2, 10, kCommandPacket, &value)
                                               : parseNumber(v2, 16, 0xFF, &value);
            if (ok) {
                table[code] = static_cast<int16_t>(value);
                return "ok";
            }
        }
        const char* what = name == "truncate" ? "<length 0..64|off>" : "<byte|off>";
        return error("usage: fault " + name + " <code> " + what + " | fault " + name + " off");
    }
    if (name == "latency") {
        if (args.size() == 3 && parseNumber(v1, 10, 60000000, &value)) {
            latencyUs = static_cast<uint32_t>(value);
            return "ok";
        }
        return error("usage: fault latency <us>");
    }
    return "";
}

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

}  // namespace ksim::fwkit
