// Control commands of the bus families: traffic generators, the wiring of
// the shared bus and the stream fault switches.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "firmware/bus_firmware.h"
#include "firmware/control_words.h"

namespace ksim::fwkit {

const char* BusFirmware::injectText(InjectResult r) {
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

std::string BusFirmware::parseIdentifier(const std::string& word, BusFrame* f) {
    uint64_t id = 0;
    if (!parseNumber(word, 16, f->ext ? 0x1FFFFFFF : 0x7FF, &id)) {
        return "identifier '" + word + "' is not hex within " + (f->ext ? "29" : "11") + " bits";
    }
    f->id = static_cast<uint32_t>(id);
    return "";
}

std::optional<std::string> BusFirmware::controlUnlocked(const std::vector<std::string>& args) {
    const std::string cmd = lower(args[0]);
    if (cmd == "inject") {
        return controlInject(args);
    }
    if (cmd == "gen") {
        return controlGen(args);
    }
    if (cmd == "wire") {
        return controlWire(args);
    }
    return std::nullopt;
}

std::string BusFirmware::controlWire(const std::vector<std::string>& args) {
    const std::string sub = args.size() > 1 ? lower(args[1]) : "";
    if (sub == "show" && args.size() == 2) {
        return formatWiring(VirtualBus::instance().wiring());
    }
    if (sub == "reset" && args.size() == 2) {
        VirtualBus::instance().setWiring(WiringPlan{});
        return "ok";
    }
    if (sub == "set" && args.size() >= 3) {
        std::string why;
        if (!VirtualBus::instance().setWiring(joinWords(args, 2), &why)) {
            return error(why);
        }
        return "ok " + formatWiring(VirtualBus::instance().wiring());
    }
    return error("usage: wire show | wire set <wiring> | wire reset");
}

std::string BusFirmware::controlGen(const std::vector<std::string>& args) {
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
        if (channel >= channelCount()) {
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
    if (sub != "start" || args.size() < 7 || args.size() > layout_.genMaxWords) {
        return error(layout_.genUsage);
    }
    GeneratorConfig config;
    const std::string refused = parseGenFrame(args, &config);
    if (!refused.empty()) {
        return error(refused);
    }
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
            return error("unexpected '" + args[i] + "' (" + layout_.genOptions + ")");
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

std::optional<std::string> BusFirmware::controlFamilyFault(const std::vector<std::string>& args) {
    const std::string name = args.size() > 1 ? lower(args[1]) : "";
    const std::string v1 = args.size() > 2 ? lower(args[2]) : "";
    uint64_t n = 0;
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
    return std::nullopt;
}

std::string BusFirmware::streamFaultsText() const {
    return " garbage_pending=" + std::to_string(garbage_.size()) +
           " split=" + std::to_string(splitAt_);
}

std::string BusFirmware::faultsText() const {
    return FirmwareDevice::faultsText() + streamFaultsText();
}

}  // namespace ksim::fwkit
