#include "firmware/command_faults.h"

#include <cstdio>

#include "firmware/control_words.h"

namespace ksim::fwkit {

void CommandFaults::reset() {
    noReply.fill(false);
    status.fill(-1);
    foreign.fill(-1);
    truncate.fill(-1);
    latencyUs = 0;
}

bool CommandFaults::dropsReply(int code) const {
    return code >= 0 && noReply[static_cast<size_t>(code)];
}

bool CommandFaults::blocksExecution(int code) const {
    if (code < 0) {
        return false;
    }
    const auto i = static_cast<size_t>(code);
    return status[i] >= 0 || foreign[i] >= 0;
}

std::optional<uint8_t> CommandFaults::forcedStatus(int code) const {
    if (code < 0 || status[static_cast<size_t>(code)] < 0) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(status[static_cast<size_t>(code)]);
}

void CommandFaults::reshape(int code, Message* m) const {
    if (code < 0) {
        return;
    }
    const auto i = static_cast<size_t>(code);
    if (foreign[i] >= 0 && m->length > 1) {
        m->bytes[1] = static_cast<uint8_t>(foreign[i]);
    }
    if (truncate[i] >= 0 && static_cast<size_t>(truncate[i]) < m->length) {
        m->length = static_cast<size_t>(truncate[i]);
    }
}

void putStatus(size_t at, uint8_t status, Message* m) {
    if (m->length <= at) {
        m->length = at + 1;
    }
    m->bytes[at] = status;
}

std::string CommandFaults::text(bool truncateInDecimal) const {
    std::string noReplyText, statusText, foreignText, truncateText;
    char buf[32];
    auto add = [&buf](std::string* list, const char* format, int code, int value) {
        std::snprintf(buf, sizeof buf, format, code, value);
        *list += (list->empty() ? "" : ",") + std::string(buf);
    };
    for (int code = 0; code < 256; ++code) {
        const auto i = static_cast<size_t>(code);
        if (noReply[i]) {
            add(&noReplyText, "%02x", code, 0);
        }
        if (status[i] >= 0) {
            add(&statusText, "%02x:%02x", code, status[i]);
        }
        if (foreign[i] >= 0) {
            add(&foreignText, "%02x:%02x", code, foreign[i]);
        }
        if (truncate[i] >= 0) {
            add(&truncateText, truncateInDecimal ? "%02x:%d" : "%02x:%02x", code, truncate[i]);
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

}  // namespace ksim::fwkit
