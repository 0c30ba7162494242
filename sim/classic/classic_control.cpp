// Text control commands of the classic adapter firmware (kestrun-simctl and
// tests). The syntax follows the FD firmware's so one client drives both.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "classic/classic_firmware.h"

namespace ksim::classic {

namespace {

using fwkit::error;
using fwkit::lower;
using fwkit::parseHexBytes;
using fwkit::parseNumber;

const char kHelp[] =
    "commands: info | state <ch> | counters | reset | relays"
    " | board serial|hwtype <text>"
    " | inject <ch> C <S|E> <D|R> <idhex> <datahex|-|len=<n>>"
    " | gen start <ch> C <S|E> <len> <fps|wire|max> [count] [id=<hex>]"
    " | gen stop <ch> | gen count <ch>"
    " | fault noreply <code> [on|off] | fault noreply off"
    " | fault status <code> <byte|off> | fault status off"
    " | fault foreign <code> <code|off> | fault foreign off"
    " | fault truncate <code> <len|off> | fault truncate off"
    " | fault latency <us> | fault garbage <n> | fault garbage-hex <hex>"
    " | fault split <n|off> | fault clear | faults"
    " | wire show | wire set <wiring> | wire reset";

const char* injectText(ClassicInject r) {
    switch (r) {
        case ClassicInject::Delivered:
            return "ok delivered";
        case ClassicInject::Overrun:
            return "ok overrun";
        case ClassicInject::NotStarted:
            return "error: channel not started";
        case ClassicInject::Incompatible:
            return "error: channel cannot receive this frame format";
        case ClassicInject::BadChannel:
            return "error: channel out of range";
    }
    return "error: unknown result";
}

// Garbage without 0x00 bytes: it can never show the 01 00 00 that marks a
// record, so a reader resynchronising on it skips every byte.
std::vector<uint8_t> garbagePattern(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        const auto b = static_cast<uint8_t>(i * 73 + 0x21);
        bytes[i] = b == 0 ? 0x5A : b;
    }
    return bytes;
}

}  // namespace

std::string ClassicFirmware::control(const std::vector<std::string>& args) {
    if (args.empty()) {
        return error("empty command; try 'help'");
    }
    const std::string cmd = lower(args[0]);
    if (cmd == "help") {
        return kHelp;
    }
    if (cmd == "reset" && args.size() == 1) {
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
    if (cmd == "board") {
        const std::string which = args.size() > 1 ? lower(args[1]) : "";
        std::string text;
        for (size_t i = 2; i < args.size(); ++i) {
            text += (i > 2 ? " " : "") + args[i];
        }
        if ((which == "serial" || which == "hwtype") &&
            setBoardText(which == "serial" ? kCmdSerial : kCmdHwType, text)) {
            return "ok";
        }
        return error("usage: board serial|hwtype <text of at most 14 characters>");
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

std::string ClassicFirmware::controlLocked(const std::vector<std::string>& args) {
    const std::string cmd = lower(args[0]);
    if (cmd == "info" && args.size() == 1) {
        char buf[240];
        std::snprintf(buf, sizeof buf,
                      "model=%s vid=%04x pid=%04x ordinal=%d channels=%d clock=16 hw=%04x "
                      "fw=%04x serial=%s hwtype=\"%s\" attached=%d uptime_us=%u",
                      model_.name, model_.vendorId, model_.productId, ordinal_, kChannels,
                      model_.hwVersion, model_.fwVersion, serialText_.c_str(), hwTypeText_.c_str(),
                      attached_ ? 1 : 0, microsAt(Clock::now()));
        return buf;
    }
    if (cmd == "state" && args.size() == 2) {
        uint64_t ch = 0;
        if (!parseNumber(args[1], 10, 255, &ch) || ch >= static_cast<uint64_t>(kChannels)) {
            return error("channel '" + args[1] + "' out of range (0..1)");
        }
        return stateText(static_cast<int>(ch));
    }
    if (cmd == "counters" && args.size() == 1) {
        return countersText();
    }
    if (cmd == "relays" && args.size() == 1) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "a=%02x b=%02x", relayA_, relayB_);
        return buf;
    }
    if (cmd == "faults" && args.size() == 1) {
        return faults_.text() + " garbage_pending=" + std::to_string(garbage_.size()) +
               " split=" + std::to_string(splitAt_);
    }
    return error("unknown command '" + args[0] + "'; try 'help'");
}

std::string ClassicFirmware::stateText(int ch) const {
    const Channel& c = channels_[static_cast<size_t>(ch)];
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "ch=%d init=%d started=%d mode=%d btr0=%02x btr1=%02x rate=%" PRIu32
                  " tec=%u rec=%u tx=%" PRIu64 " rx=%" PRIu64 " overruns=%" PRIu64,
                  ch, c.initialised ? 1 : 0, c.started ? 1 : 0, c.modeFlag ? 1 : 0, c.btr0, c.btr1,
                  c.bitRate, c.txErrors, c.rxErrors, c.txFrames, c.rxFrames, c.overruns);
    return buf;
}

std::string ClassicFirmware::countersText() const {
    const ClassicCounters& k = counters_;
    char buf[400];
    std::snprintf(buf, sizeof buf,
                  "commands=%" PRIu64 " replies=%" PRIu64 " unread=%" PRIu64 " suppressed=%" PRIu64
                  " malformed=%" PRIu64 " records=%" PRIu64 " refused=%" PRIu64 " tx=%" PRIu64
                  " unheard=%" PRIu64 " rx=%" PRIu64 " overruns=%" PRIu64 " stream_bytes=%" PRIu64,
                  k.commands, k.replies, k.unreadReplies, k.suppressedReplies, k.malformed,
                  k.records, k.refusedRecords, k.framesTx, k.framesUnheard, k.framesRx, k.overruns,
                  k.streamBytes);
    return buf;
}

std::string ClassicFirmware::controlInject(const std::vector<std::string>& args) {
    if (args.size() != 7) {
        return error("usage: inject <ch> C <S|E> <D|R> <idhex> <datahex|-|len=<n>>");
    }
    uint64_t ch = 0;
    if (!parseNumber(args[1], 10, 255, &ch)) {
        return error("bad channel '" + args[1] + "'");
    }
    const std::string kind = lower(args[2]);
    const std::string idKind = lower(args[3]);
    const std::string type = lower(args[4]);
    if (kind == "f") {
        return error("a classic channel receives no CAN FD frames");
    }
    if (kind != "c" || (idKind != "s" && idKind != "e") || (type != "d" && type != "r")) {
        return error("frame kind must be C, S|E, D|R");
    }
    BusFrame f;
    f.ext = idKind == "e";
    f.rtr = type == "r";
    uint64_t id = 0;
    if (!parseNumber(args[5], 16, f.ext ? 0x1FFFFFFF : 0x7FF, &id)) {
        return error("identifier '" + args[5] + "' is not hex within " + (f.ext ? "29" : "11") +
                     " bits");
    }
    f.id = static_cast<uint32_t>(id);
    const std::string dataWord = lower(args[6]);
    uint64_t len = 0;
    if (f.rtr && dataWord.rfind("len=", 0) == 0 && parseNumber(dataWord.substr(4), 10, 8, &len)) {
        f.len = static_cast<uint8_t>(len);  // the length a remote frame asks for
    } else if (dataWord != "-") {
        std::vector<uint8_t> data;
        if (f.rtr || !parseHexBytes(dataWord, 8, &data)) {
            return error(f.rtr ? "a remote frame carries no data; give '-' or len=<n>"
                               : "data '" + args[6] + "' is not up to 8 hex bytes");
        }
        f.len = static_cast<uint8_t>(data.size());
        std::copy(data.begin(), data.end(), f.data);
    }
    return injectText(inject(static_cast<int>(ch), f));
}

std::string ClassicFirmware::controlGen(const std::vector<std::string>& args) {
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
        if (channel >= kChannels) {
            return error("channel out of range");
        }
        const ClassicGeneratorStats s = generatorStats(channel);
        char buf[200];
        std::snprintf(buf, sizeof buf,
                      "produced=%" PRIu64 " delivered=%" PRIu64 " filtered=0 lost=%" PRIu64
                      " running=%d",
                      s.produced, s.delivered, s.lost, s.running ? 1 : 0);
        return buf;
    }
    if (sub != "start" || args.size() < 7 || args.size() > 9) {
        return error("usage: gen start <ch> C <S|E> <len> <fps|wire|max> [count] [id=<hex>]");
    }
    GeneratorConfig config;
    const std::string kind = lower(args[3]);
    const std::string idKind = lower(args[4]);
    if (kind == "f") {
        return error("a classic channel receives no CAN FD frames");
    }
    if (kind != "c" || (idKind != "s" && idKind != "e")) {
        return error("frame kind must be C and S|E");
    }
    config.ext = idKind == "e";
    uint64_t len = 0;
    if (!parseNumber(args[5], 10, 8, &len)) {
        return error("bad length '" + args[5] + "' (0..8)");
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
        config.framesPerSecond = static_cast<double>(fps);
    }
    for (size_t i = 7; i < args.size(); ++i) {
        const std::string word = lower(args[i]);
        uint64_t value = 0;
        if (word.rfind("id=", 0) == 0 && parseNumber(word.substr(3), 16, 0x1FFFFFFF, &value)) {
            config.firstId = static_cast<uint32_t>(value);
        } else if (i == 7 && parseNumber(word, 10, UINT64_MAX, &value)) {
            config.count = value;
        } else {
            return error("unexpected '" + args[i] + "' (count, id=<hex>)");
        }
    }
    std::string why;
    if (!startGenerator(channel, config, &why)) {
        return error(why);
    }
    if (config.pace == GeneratorConfig::Pace::Max) {
        return "ok fps=max";
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "ok fps=%.1f", generatorStats(channel).framesPerSecond);
    return buf;
}

std::string ClassicFirmware::controlFault(const std::vector<std::string>& args) {
    const std::string name = args.size() > 1 ? lower(args[1]) : "";
    const std::string v1 = args.size() > 2 ? lower(args[2]) : "";
    uint64_t n = 0;
    if (name == "clear" && args.size() == 2) {
        clearFaults();
        return "ok";
    }
    {
        std::lock_guard lock(mu_);
        std::string reply = faults_.control(args);
        if (!reply.empty()) {
            return reply;
        }
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

}  // namespace ksim::classic
