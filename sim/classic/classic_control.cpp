// Text control commands of the classic adapter firmware (kestrun-simctl and
// tests). The syntax follows the FD firmware's so one client drives both.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "classic/classic_firmware.h"
#include "firmware/control_words.h"

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

}  // namespace

const char* ClassicFirmware::helpText() const {
    return kHelp;
}

std::optional<std::string> ClassicFirmware::controlUnlocked(const std::vector<std::string>& args) {
    if (lower(args[0]) != "board") {
        return BusFirmware::controlUnlocked(args);
    }
    const std::string which = args.size() > 1 ? lower(args[1]) : "";
    if ((which == "serial" || which == "hwtype") &&
        setBoardText(which == "serial" ? kCmdSerial : kCmdHwType, fwkit::joinWords(args, 2))) {
        return "ok";
    }
    return error("usage: board serial|hwtype <text of at most 14 characters>");
}

std::string ClassicFirmware::infoDetails() const {
    char buf[96];
    std::snprintf(buf, sizeof buf, " clock=16 hw=%04x fw=%04x serial=%s hwtype=\"%s\"",
                  model_.hwVersion, model_.fwVersion, serialText_.c_str(), hwTypeText_.c_str());
    return buf;
}

std::optional<std::string> ClassicFirmware::controlLocked(const std::vector<std::string>& args) {
    if (lower(args[0]) == "relays" && args.size() == 1) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "a=%02x b=%02x", relayA_, relayB_);
        return buf;
    }
    return std::nullopt;
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
    const ClassicCounters k = countersLocked();
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
    const std::string badId = parseIdentifier(args[5], &f);
    if (!badId.empty()) {
        return error(badId);
    }
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

std::string ClassicFirmware::parseGenFrame(const std::vector<std::string>& args,
                                           GeneratorConfig* config) const {
    const std::string kind = lower(args[3]);
    const std::string idKind = lower(args[4]);
    if (kind == "f") {
        return "a classic channel receives no CAN FD frames";
    }
    if (kind != "c" || (idKind != "s" && idKind != "e")) {
        return "frame kind must be C and S|E";
    }
    config->ext = idKind == "e";
    uint64_t len = 0;
    if (!parseNumber(args[5], 10, 8, &len)) {
        return "bad length '" + args[5] + "' (0..8)";
    }
    config->len = static_cast<uint8_t>(len);
    return "";
}

// Garbage without 0x00 bytes: it can never show the 01 00 00 that marks a
// record, so a reader resynchronising on it skips every byte.
std::vector<uint8_t> ClassicFirmware::garbagePattern(size_t n) const {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        const auto b = static_cast<uint8_t>(i * 73 + 0x21);
        bytes[i] = b == 0 ? 0x5A : b;
    }
    return bytes;
}

}  // namespace ksim::classic
