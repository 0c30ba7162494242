// Text control commands of the FD firmware (kestrun-simctl and tests).
#include <cinttypes>
#include <cstdio>
#include <string>

#include "bus/frame_timing.h"
#include "bus/fw_common.h"
#include "fd/fd_firmware.h"
#include "fd/fd_wire.h"

namespace ksim::fd {

namespace {

const char kHelp[] =
    "commands: info | state <ch> | counters | reset"
    " | inject <ch> <C|F> <S|E> <D|R> <idhex> <datahex|-> [brs]"
    " | gen start <ch> <C|F> <S|E> <len> <fps|wire|max> [count] [brs] [id=<hex>]"
    " | gen stop <ch> | gen count <ch>"
    " | fault noreply <code> [on|off] | fault noreply off"
    " | fault status <code> <byte|off> | fault status off"
    " | fault foreign <code> <code|off> | fault foreign off"
    " | fault truncate <code> <len|off> | fault truncate off"
    " | fault latency <us> | fault ack <withhold|deliver> | fault ack-latency <us>"
    " | fault garbage <n> | fault garbage-hex <hex> | fault split <n|off> | fault clear"
    " | faults | wire show | wire set <wiring> | wire reset";

using fwkit::error;
using fwkit::lower;
using fwkit::parseHexBytes;
using fwkit::parseNumber;

const char* injectText(InjectResult r) {
    switch (r) {
        case InjectResult::Delivered:
            return "ok delivered";
        case InjectResult::Filtered:
            return "ok filtered";
        case InjectResult::Overrun:
            return "ok overrun";
        case InjectResult::NotStarted:
            return "error: channel not started";
        case InjectResult::Incompatible:
            return "error: channel cannot receive this frame format";
        case InjectResult::BadChannel:
            return "error: channel out of range";
    }
    return "error: unknown result";
}

std::string rangeText(const FilterRange& r) {
    const char* kind = r.kind == FilterRange::Kind::Standard   ? "std"
                       : r.kind == FilterRange::Kind::Extended ? "ext"
                                                               : "any";
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s:%" PRIx32 "-%" PRIx32, kind, r.start, r.end);
    return buf;
}

// Garbage that never contains 0x55 directly followed by 0xF2, so it cannot
// pass for a packet header.
std::vector<uint8_t> garbagePattern(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        auto b = static_cast<uint8_t>(i * 73 + 0x21);
        if (b == 0xF2 && i > 0 && bytes[i - 1] == 0x55) {
            b = 0xF3;
        }
        bytes[i] = b;
    }
    return bytes;
}

}  // namespace

std::string FdFirmware::control(const std::vector<std::string>& args) {
    if (args.empty()) {
        return error("empty command; try 'help'");
    }
    const std::string cmd = lower(args[0]);
    if (cmd == "help") {
        return kHelp;
    }
    if (cmd == "reset") {
        usbReset();
        return "ok";
    }
    if (cmd == "inject") {
        return controlInject(args);
    }
    if (cmd == "gen") {
        return controlGen(args);
    }
    if (cmd == "fault") {
        return controlFault(args);
    }
    if (cmd == "wire") {
        const std::string sub = args.size() > 1 ? lower(args[1]) : "";
        if (sub == "show" && args.size() == 2) {
            return formatWiring(VirtualBus::instance().wiring());
        }
        if (sub == "reset" && args.size() == 2) {
            VirtualBus::instance().setWiring(WiringPlan{});
            return "ok";
        }
        if (sub == "set" && args.size() >= 3) {
            std::string text;
            for (size_t i = 2; i < args.size(); ++i) {
                text += (i > 2 ? " " : "") + args[i];
            }
            std::string why;
            if (!VirtualBus::instance().setWiring(text, &why)) {
                return error(why);
            }
            return "ok " + formatWiring(VirtualBus::instance().wiring());
        }
        return error("usage: wire show | wire set <wiring> | wire reset");
    }
    std::lock_guard lock(mu_);
    return controlLocked(args);
}

std::string FdFirmware::controlLocked(const std::vector<std::string>& args) {
    const std::string cmd = lower(args[0]);
    if (cmd == "info" && args.size() == 1) {
        char buf[200];
        std::snprintf(buf, sizeof buf,
                      "model=%s vid=%04x pid=%04x ordinal=%d channels=%d clock=%u hw=%04x "
                      "fw=%04x attached=%d uptime_us=%u",
                      model_.name, model_.vendorId, model_.productId, ordinal_, model_.channels,
                      model_.clockMhz, model_.hwVersion, model_.fwVersion, attached_ ? 1 : 0,
                      microsAt(Clock::now()));
        return buf;
    }
    if (cmd == "state" && args.size() == 2) {
        uint64_t ch = 0;
        if (!parseNumber(args[1], 10, 255, &ch) || ch >= static_cast<uint64_t>(model_.channels)) {
            return error("channel '" + args[1] + "' out of range (0.." +
                         std::to_string(model_.channels - 1) + ")");
        }
        return stateText(static_cast<int>(ch));
    }
    if (cmd == "counters" && args.size() == 1) {
        return countersText();
    }
    if (cmd == "faults" && args.size() == 1) {
        return faultsText();
    }
    return error("unknown command '" + args[0] + "'; try 'help'");
}

std::string FdFirmware::stateText(int ch) const {
    const Channel& c = channels_[static_cast<size_t>(ch)];
    std::string ranges;
    for (const FilterRange& r : c.ranges) {
        ranges += (ranges.empty() ? "" : ",") + rangeText(r);
    }
    char buf[256];
    std::snprintf(
        buf, sizeof buf,
        "ch=%d init=%d started=%d fd=%d iso=%d mode=%u arb=%" PRIu32 " data=%" PRIu32
        " filter=%s ranges=%s tx=%" PRIu64 " rx=%" PRIu64 " filtered=%" PRIu64 " overruns=%" PRIu64,
        ch, c.initialised ? 1 : 0, c.started ? 1 : 0, c.fdMode ? 1 : 0, c.iso ? 1 : 0, c.mode,
        c.arbRate, c.dataRate, c.filterEnabled ? "on" : "off",
        ranges.empty() ? "-" : ranges.c_str(), c.txFrames, c.rxFrames, c.filtered, c.overruns);
    return buf;
}

std::string FdFirmware::countersText() const {
    const FirmwareCounters& k = counters_;
    char buf[400];
    std::snprintf(buf, sizeof buf,
                  "commands=%" PRIu64 " replies=%" PRIu64 " suppressed=%" PRIu64 " packets=%" PRIu64
                  " acks=%" PRIu64 " withheld=%" PRIu64 " malformed=%" PRIu64 " refused=%" PRIu64
                  " tx=%" PRIu64 " unheard=%" PRIu64 " rx=%" PRIu64 " filtered=%" PRIu64
                  " overruns=%" PRIu64 " stream_bytes=%" PRIu64,
                  k.commands, k.replies, k.suppressedReplies, k.packets, k.acks, k.withheldAcks,
                  k.malformed, k.refusedPackets, k.framesTx, k.framesUnheard, k.framesRx,
                  k.filtered, k.overruns, k.streamBytes);
    return buf;
}

std::string FdFirmware::faultsText() const {
    std::string noReply, status, foreign, truncate;
    char buf[32];
    auto add = [&buf](std::string* list, const char* format, int code, int value) {
        std::snprintf(buf, sizeof buf, format, code, value);
        *list += (list->empty() ? "" : ",") + std::string(buf);
    };
    for (int code = 0; code < 256; ++code) {
        const auto i = static_cast<size_t>(code);
        if (faults_.noReply[i]) {
            add(&noReply, "%02x", code, 0);
        }
        if (faults_.status[i] >= 0) {
            add(&status, "%02x:%02x", code, faults_.status[i]);
        }
        if (faults_.foreign[i] >= 0) {
            add(&foreign, "%02x:%02x", code, faults_.foreign[i]);
        }
        if (faults_.truncate[i] >= 0) {
            add(&truncate, "%02x:%d", code, faults_.truncate[i]);  // a length, in decimal
        }
    }
    auto orDash = [](const std::string& list) { return list.empty() ? std::string("-") : list; };
    char tail[160];
    std::snprintf(tail, sizeof tail,
                  " latency_us=%u ack=%s ack_latency_us=%u garbage_pending=%zu split=%zu",
                  faults_.replyLatencyUs, faults_.ackWithheld ? "withhold" : "deliver",
                  faults_.ackLatencyUs, garbage_.size(), faults_.splitAt);
    return "noreply=" + orDash(noReply) + " status=" + orDash(status) +
           " foreign=" + orDash(foreign) + " truncate=" + orDash(truncate) + tail;
}

std::string FdFirmware::controlInject(const std::vector<std::string>& args) {
    if (args.size() < 7 || args.size() > 8) {
        return error("usage: inject <ch> <C|F> <S|E> <D|R> <idhex> <datahex|-> [brs]");
    }
    uint64_t ch = 0;
    if (!parseNumber(args[1], 10, 255, &ch)) {
        return error("bad channel '" + args[1] + "'");
    }
    BusFrame f;
    const std::string kind = lower(args[2]);
    const std::string idKind = lower(args[3]);
    const std::string type = lower(args[4]);
    if ((kind != "c" && kind != "f") || (idKind != "s" && idKind != "e") ||
        (type != "d" && type != "r")) {
        return error("frame kind must be C|F, S|E, D|R");
    }
    f.fd = kind == "f";
    f.ext = idKind == "e";
    f.rtr = type == "r";
    if (f.fd && f.rtr) {
        return error("CAN FD has no remote frames");
    }
    uint64_t id = 0;
    if (!parseNumber(args[5], 16, f.ext ? 0x1FFFFFFF : 0x7FF, &id)) {
        return error("identifier '" + args[5] + "' is not hex within " + (f.ext ? "29" : "11") +
                     " bits");
    }
    f.id = static_cast<uint32_t>(id);
    std::vector<uint8_t> data;
    if (args[6] != "-" && !parseHexBytes(args[6], f.fd ? 64 : 8, &data)) {
        return error("data '" + args[6] + "' is not up to " + (f.fd ? "64" : "8") + " hex bytes");
    }
    if (f.rtr && !data.empty()) {
        return error("a remote frame carries no data; give '-'");
    }
    if (f.fd && !isFdLength(static_cast<unsigned>(data.size()))) {
        return error("FD data length " + std::to_string(data.size()) + " is not a valid length");
    }
    f.len = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.data);
    if (args.size() == 8) {
        if (lower(args[7]) != "brs" || !f.fd) {
            return error("the optional last word is 'brs', for FD frames");
        }
        f.brs = true;
    }
    return injectText(inject(static_cast<int>(ch), f));
}

std::string FdFirmware::controlGen(const std::vector<std::string>& args) {
    const std::string sub = args.size() > 1 ? lower(args[1]) : "";
    uint64_t ch = 0;
    if (args.size() < 3 || !parseNumber(args[2], 10, 255, &ch)) {
        return error("usage: gen start|stop|count <ch> ...");
    }
    const int channel = static_cast<int>(ch);
    if (sub == "stop" && args.size() == 3) {
        if (!stopGenerator(channel)) {
            return error("channel out of range");
        }
        return "ok produced=" + std::to_string(generatorStats(channel).produced);
    }
    if (sub == "count" && args.size() == 3) {
        if (channel >= model_.channels) {
            return error("channel out of range");
        }
        const GeneratorStats s = generatorStats(channel);
        char buf[200];
        std::snprintf(buf, sizeof buf,
                      "produced=%" PRIu64 " delivered=%" PRIu64 " filtered=%" PRIu64
                      " lost=%" PRIu64 " running=%d",
                      s.produced, s.delivered, s.filtered, s.lost, s.running ? 1 : 0);
        return buf;
    }
    if (sub != "start" || args.size() < 7 || args.size() > 10) {
        return error(
            "usage: gen start <ch> <C|F> <S|E> <len> <fps|wire|max> [count] [brs] [id=<hex>]");
    }
    GeneratorConfig config;
    const std::string kind = lower(args[3]);
    const std::string idKind = lower(args[4]);
    if ((kind != "c" && kind != "f") || (idKind != "s" && idKind != "e")) {
        return error("frame kind must be C|F and S|E");
    }
    config.fd = kind == "f";
    config.ext = idKind == "e";
    uint64_t len = 0;
    if (!parseNumber(args[5], 10, 64, &len)) {
        return error("bad length '" + args[5] + "'");
    }
    config.len = static_cast<uint8_t>(len);
    const std::string pace = lower(args[6]);
    if (pace == "wire") {
        config.pace = GeneratorConfig::Pace::Wire;
    } else if (pace == "max") {
        config.pace = GeneratorConfig::Pace::Max;
    } else {
        uint64_t fps = 0;
        if (!parseNumber(pace, 10, 100000000, &fps) || fps == 0) {
            return error("pace '" + args[6] + "' is not frames/s (1..100000000), wire or max");
        }
        config.pace = GeneratorConfig::Pace::Rate;
        config.framesPerSecond = static_cast<double>(fps);
    }
    for (size_t i = 7; i < args.size(); ++i) {
        const std::string word = lower(args[i]);
        uint64_t value = 0;
        if (word == "brs" && config.fd) {
            config.brs = true;
        } else if (word.rfind("id=", 0) == 0 &&
                   parseNumber(word.substr(3), 16, 0x1FFFFFFF, &value)) {
            config.firstId = static_cast<uint32_t>(value);
        } else if (i == 7 && parseNumber(word, 10, UINT64_MAX, &value)) {
            config.count = value;
        } else {
            return error("unexpected '" + args[i] + "' (count, brs for FD, id=<hex>)");
        }
    }
    std::string why;
    if (!startGenerator(channel, config, &why)) {
        return error(why);
    }
    const GeneratorStats s = generatorStats(channel);
    char buf[96];
    std::snprintf(buf, sizeof buf, "ok fps=%.1f", s.framesPerSecond);
    return config.pace == GeneratorConfig::Pace::Max ? "ok fps=max" : buf;
}

std::string FdFirmware::controlFault(const std::vector<std::string>& args) {
    const std::string name = args.size() > 1 ? lower(args[1]) : "";
    const std::string v1 = args.size() > 2 ? lower(args[2]) : "";
    const std::string v2 = args.size() > 3 ? lower(args[3]) : "";
    uint64_t n = 0;
    uint64_t code = 0;
    uint64_t value = 0;
    if (name == "clear" && args.size() == 2) {
        clearFaults();
        return "ok";
    }
    if (name == "noreply") {
        std::lock_guard lock(mu_);
        if (v1 == "off" && args.size() == 3) {
            faults_.noReply.fill(false);
            return "ok";
        }
        if (parseNumber(v1, 16, 0xFF, &code) && (args.size() == 3 || v2 == "on" || v2 == "off") &&
            args.size() <= 4) {
            faults_.noReply[code] = v2 != "off";
            return "ok";
        }
        return error("usage: fault noreply <code> [on|off] | fault noreply off");
    }
    if (name == "status" || name == "foreign" || name == "truncate") {
        std::lock_guard lock(mu_);
        auto& table = name == "status"    ? faults_.status
                      : name == "foreign" ? faults_.foreign
                                          : faults_.truncate;
        if (v1 == "off" && args.size() == 3) {
            table.fill(-1);
            return "ok";
        }
        if (args.size() == 4 && parseNumber(v1, 16, 0xFF, &code)) {
            if (v2 == "off") {
                table[code] = -1;
                return "ok";
            }
            const bool ok = name == "truncate" ? parseNumber(v2, 10, kInterruptPacket, &value)
                                               : parseNumber(v2, 16, 0xFF, &value);
            if (ok) {
                table[code] = static_cast<int16_t>(value);
                return "ok";
            }
        }
        const char* what = name == "truncate" ? "<length 0..64|off>" : "<byte|off>";
        return error("usage: fault " + name + " <code> " + what + " | fault " + name + " off");
    }
    if ((name == "latency" || name == "ack-latency") && args.size() == 3 &&
        parseNumber(v1, 10, 60000000, &n)) {
        if (name == "latency") {
            setReplyLatencyUs(static_cast<uint32_t>(n));
        } else {
            setAckLatencyUs(static_cast<uint32_t>(n));
        }
        return "ok";
    }
    if (name == "ack" && args.size() == 3 && (v1 == "withhold" || v1 == "deliver")) {
        setAckWithheld(v1 == "withhold");
        return "ok";
    }
    if (name == "garbage" && args.size() == 3 && parseNumber(v1, 10, 65536, &n) && n > 0) {
        injectGarbage(garbagePattern(static_cast<size_t>(n)));
        return "ok";
    }
    if (name == "garbage-hex" && args.size() == 3) {
        std::vector<uint8_t> bytes;
        if (!parseHexBytes(v1, 65536, &bytes) || bytes.empty()) {
            return error("garbage-hex wants an even number of hex digits");
        }
        injectGarbage(bytes);
        return "ok";
    }
    if (name == "split" && args.size() == 3) {
        if (v1 == "off") {
            setStreamSplit(0);
            return "ok";
        }
        if (parseNumber(v1, 10, 65536, &n) && n > 0) {
            setStreamSplit(static_cast<size_t>(n));
            return "ok";
        }
    }
    return error("unknown or malformed fault command; try 'help'");
}

}  // namespace ksim::fd
