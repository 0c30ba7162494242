// Text control commands of the FD firmware (kestrun-simctl and tests).
#include <cinttypes>
#include <cstdio>
#include <string>

#include "bus/frame_timing.h"
#include "fd/fd_firmware.h"
#include "fd/fd_wire.h"
#include "firmware/control_words.h"

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

std::string rangeText(const FilterRange& r) {
    const char* kind = r.kind == FilterRange::Kind::Standard   ? "std"
                       : r.kind == FilterRange::Kind::Extended ? "ext"
                                                               : "any";
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s:%" PRIx32 "-%" PRIx32, kind, r.start, r.end);
    return buf;
}

}  // namespace

const char* FdFirmware::helpText() const {
    return kHelp;
}

std::optional<std::string> FdFirmware::controlUnlocked(const std::vector<std::string>& args) {
    if (lower(args[0]) == "reset") {
        usbReset();  // words after it are ignored
        return "ok";
    }
    return BusFirmware::controlUnlocked(args);
}

std::string FdFirmware::infoDetails() const {
    char buf[48];
    std::snprintf(buf, sizeof buf, " clock=%u hw=%04x fw=%04x", model_.clockMhz, model_.hwVersion,
                  model_.fwVersion);
    return buf;
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
    char ack[80];
    std::snprintf(ack, sizeof ack, " ack=%s ack_latency_us=%u",
                  ackWithheld_ ? "withhold" : "deliver", ackLatencyUs_);
    return FirmwareDevice::faultsText() + ack + streamFaultsText();
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
    const std::string badId = parseIdentifier(args[5], &f);
    if (!badId.empty()) {
        return error(badId);
    }
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

std::string FdFirmware::parseGenFrame(const std::vector<std::string>& args,
                                      GeneratorConfig* config) const {
    const std::string kind = lower(args[3]);
    const std::string idKind = lower(args[4]);
    if ((kind != "c" && kind != "f") || (idKind != "s" && idKind != "e")) {
        return "frame kind must be C|F and S|E";
    }
    config->fd = kind == "f";
    config->ext = idKind == "e";
    uint64_t len = 0;
    if (!parseNumber(args[5], 10, 64, &len)) {
        return "bad length '" + args[5] + "'";
    }
    config->len = static_cast<uint8_t>(len);
    return "";
}

std::optional<std::string> FdFirmware::controlFamilyFault(const std::vector<std::string>& args) {
    const std::string name = args.size() > 1 ? lower(args[1]) : "";
    const std::string v1 = args.size() > 2 ? lower(args[2]) : "";
    uint64_t n = 0;
    if (name == "latency" || name == "ack-latency") {
        if (args.size() == 3 && parseNumber(v1, 10, 60000000, &n)) {
            if (name == "latency") {
                setReplyLatencyUs(static_cast<uint32_t>(n));
            } else {
                setAckLatencyUs(static_cast<uint32_t>(n));
            }
            return "ok";
        }
        return error("unknown or malformed fault command; try 'help'");
    }
    if (name == "ack" && args.size() == 3 && (v1 == "withhold" || v1 == "deliver")) {
        setAckWithheld(v1 == "withhold");
        return "ok";
    }
    return BusFirmware::controlFamilyFault(args);
}

// Garbage that never contains 0x55 directly followed by 0xF2, so it cannot
// pass for a packet header.
std::vector<uint8_t> FdFirmware::garbagePattern(size_t n) const {
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

}  // namespace ksim::fd
