#include "sim_control.h"

#include <cctype>
#include <sstream>

#include "simulator.h"
#include "transcript.h"

namespace ksim {

namespace {

using core::Simulator;
using core::Slot;

std::shared_ptr<Slot> findSlot(int position, std::string* error) {
    std::shared_ptr<Slot> slot = Simulator::instance().slot(position);
    if (slot == nullptr && error != nullptr) {
        const size_t count = Simulator::instance().slots().size();
        *error = "no device " + std::to_string(position) +
                 (count == 0 ? std::string(" (no devices attached)")
                             : " (devices 0.." + std::to_string(count - 1) + ")");
    }
    return slot;
}

TransferCounters readCounters(Slot& slot) {
    core::Counters& c = slot.counters();
    TransferCounters out;
    out.opens = c.opens.load(std::memory_order_relaxed);
    out.resets = c.resets.load(std::memory_order_relaxed);
    out.clearHalts = c.clearHalts.load(std::memory_order_relaxed);
    out.transfersOut = c.transfersOut.load(std::memory_order_relaxed);
    out.transfersIn = c.transfersIn.load(std::memory_order_relaxed);
    out.bytesOut = c.bytesOut.load(std::memory_order_relaxed);
    out.bytesIn = c.bytesIn.load(std::memory_order_relaxed);
    out.timeouts = c.timeouts.load(std::memory_order_relaxed);
    out.failures = c.failures.load(std::memory_order_relaxed);
    return out;
}

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// A device position in decimal, at most 9 digits.
bool parsePosition(const std::string& text, int* position) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    int value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    *position = value;
    return true;
}

// A decimal number of at most 9 digits, optionally negative.
bool parseInt(const std::string& text, int* value) {
    const bool negative = !text.empty() && text[0] == '-';
    int magnitude = 0;
    if (!parsePosition(negative ? text.substr(1) : text, &magnitude)) {
        return false;
    }
    *value = negative ? -magnitude : magnitude;
    return true;
}

// "cut N EP BYTES [TIMES] [rc=CODE]" from its third word on.
bool parseCut(const std::vector<std::string>& words, TransferCut* cut) {
    if (words.size() < 4 || words.size() > 6 || words[2].empty() || words[2].size() > 2 ||
        words[2].find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
        !parsePosition(words[3], &cut->bytes)) {
        return false;
    }
    cut->endpoint = static_cast<uint8_t>(std::stoul(words[2], nullptr, 16));
    for (size_t i = 4; i < words.size(); ++i) {
        if (words[i].rfind("rc=", 0) == 0) {
            if (!parseInt(words[i].substr(3), &cut->result)) {
                return false;
            }
        } else if (i != 4 || !parsePosition(words[i], &cut->times)) {
            return false;
        }
    }
    return true;
}

const char kHelp[] =
    "help                    this list\n"
    "list                    devices: position, model, USB ids, #index, plugged|unplugged\n"
    "counters N              simulator counts of device N\n"
    "unplug N                unplug device N\n"
    "plug N                  plug device N back in (fresh power-on state)\n"
    "dev N WORDS...          send WORDS to the firmware of device N\n"
    "cut N EP BYTES [TIMES] [rc=CODE]\n"
    "                        transfers on endpoint EP (hex) of device N that would move\n"
    "                        more than BYTES end after BYTES with a time-out (or CODE);\n"
    "                        TIMES transfers (default 1, 0 = until cut N off)\n"
    "cut N off               clear the cut switch of device N\n"
    "transcript PATH|off     append the transcript to PATH, or stop it";

std::string formatCounters(const TransferCounters& c) {
    std::ostringstream out;
    out << "opens=" << c.opens << " resets=" << c.resets << " clear_halts=" << c.clearHalts
        << " out=" << c.transfersOut << " in=" << c.transfersIn << " bytes_out=" << c.bytesOut
        << " bytes_in=" << c.bytesIn << " timeouts=" << c.timeouts << " failures=" << c.failures;
    return out.str();
}

}  // namespace

bool configureDevices(const std::string& list, std::string* error) {
    std::string reason;
    const bool ok = Simulator::instance().configure(list, &reason);
    if (!ok && error != nullptr) {
        *error = reason;
    }
    return ok;
}

std::vector<DeviceStatus> listDevices() {
    std::vector<DeviceStatus> result;
    for (const std::shared_ptr<Slot>& slot : Simulator::instance().slots()) {
        DeviceStatus status;
        status.position = slot->tag().position;
        status.vendorId = slot->tag().vendorId;
        status.productId = slot->tag().productId;
        status.model = slot->model();
        status.ordinal = slot->tag().ordinal;
        status.attached = slot->attached();
        status.counters = readCounters(*slot);
        result.push_back(std::move(status));
    }
    return result;
}

bool unplugDevice(int position, std::string* error) {
    std::string reason;
    std::shared_ptr<Slot> slot = findSlot(position, &reason);
    const bool ok = slot != nullptr && slot->unplug(&reason);
    if (!ok && error != nullptr) {
        *error = reason;
    }
    return ok;
}

bool plugDevice(int position, std::string* error) {
    std::string reason;
    std::shared_ptr<Slot> slot = findSlot(position, &reason);
    const bool ok = slot != nullptr && slot->plug(&reason);
    if (!ok && error != nullptr) {
        *error = reason;
    }
    return ok;
}

std::string controlDevice(int position, const std::vector<std::string>& words) {
    std::string reason;
    std::shared_ptr<Slot> slot = findSlot(position, &reason);
    if (slot == nullptr) {
        return "error: " + reason;
    }
    if (words.empty()) {
        return "error: no command for device " + std::to_string(position);
    }
    return slot->firmware().control(words);
}

bool setTransferCut(int position, const TransferCut& cut, std::string* error) {
    std::string reason;
    std::shared_ptr<Slot> slot = findSlot(position, &reason);
    if (slot != nullptr && (cut.bytes < 0 || cut.times < 0 || cut.result >= 0)) {
        reason = "a cut needs BYTES and TIMES of 0 or more and a negative result code";
        slot = nullptr;
    }
    if (slot == nullptr) {
        if (error != nullptr) {
            *error = reason;
        }
        return false;
    }
    slot->setCut(cut);
    return true;
}

bool clearTransferCut(int position, std::string* error) {
    std::string reason;
    std::shared_ptr<Slot> slot = findSlot(position, &reason);
    if (slot == nullptr) {
        if (error != nullptr) {
            *error = reason;
        }
        return false;
    }
    slot->setCut(std::nullopt);
    return true;
}

bool setTranscript(const std::string& path, std::string* error) {
    std::string reason;
    const bool ok = core::transcript().open(path, &reason);
    if (!ok && error != nullptr) {
        *error = reason;
    }
    return ok;
}

std::string executeControlCommand(const std::string& line) {
    const std::vector<std::string> words = splitWords(line);
    if (words.empty()) {
        return "error: empty command (try help)";
    }
    const std::string& command = words[0];
    if (command == "help") {
        return kHelp;
    }
    if (command == "list") {
        if (words.size() != 1) {
            return "error: list takes no arguments";
        }
        std::ostringstream out;
        for (const DeviceStatus& d : listDevices()) {
            if (d.position > 0) {
                out << '\n';
            }
            out << d.position << ' ' << d.model << ' ' << core::formatUsbId(d.vendorId, d.productId)
                << " #" << d.ordinal << ' ' << (d.attached ? "plugged" : "unplugged");
        }
        const std::string text = out.str();
        return text.empty() ? "no devices" : text;
    }
    if (command == "transcript") {
        if (words.size() != 2) {
            return "error: usage: transcript PATH|off";
        }
        std::string reason;
        return setTranscript(words[1] == "off" ? "" : words[1], &reason) ? "ok"
                                                                         : "error: " + reason;
    }
    if (command != "counters" && command != "unplug" && command != "plug" && command != "dev" &&
        command != "cut") {
        return "error: unknown command \"" + command + "\" (try help)";
    }
    int position = 0;
    if (words.size() < 2 || !parsePosition(words[1], &position)) {
        return "error: usage: " + command + " N" +
               (command == "dev"   ? " WORDS..."
                : command == "cut" ? " EP BYTES..."
                                   : "") +
               " (N: a device position from list)";
    }
    if (command == "dev") {
        return controlDevice(position, std::vector<std::string>(words.begin() + 2, words.end()));
    }
    std::string reason;
    if (command == "cut") {
        TransferCut cut;
        if (words.size() == 3 && words[2] == "off") {
            return clearTransferCut(position, &reason) ? "ok" : "error: " + reason;
        }
        if (!parseCut(words, &cut)) {
            return "error: usage: cut N EP BYTES [TIMES] [rc=CODE] | cut N off";
        }
        return setTransferCut(position, cut, &reason) ? "ok" : "error: " + reason;
    }
    if (words.size() != 2) {
        return "error: " + command + " takes one device position";
    }
    if (command == "counters") {
        std::shared_ptr<Slot> slot = findSlot(position, &reason);
        return slot ? formatCounters(readCounters(*slot)) : "error: " + reason;
    }
    const bool ok =
        command == "unplug" ? unplugDevice(position, &reason) : plugDevice(position, &reason);
    return ok ? "ok" : "error: " + reason;
}

}  // namespace ksim
