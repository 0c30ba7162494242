#include "bus/virtual_bus.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <tuple>

#include "bus/firmware_table.h"
#include "bus/frame_timing.h"

namespace ksim {

bool frameReaches(const BusFrame& f, const BusTiming& tx, const BusTiming& rx) {
    if (tx.arbRate == 0 || tx.arbRate != rx.arbRate) {
        return false;
    }
    if (!f.fd) {
        return true;
    }
    return tx.fdCapable && rx.fdCapable && tx.iso == rx.iso && tx.dataRate == rx.dataRate;
}

BusClock::duration wireTime(const BusFrame& frame, const BusTiming& sender) {
    const FrameShape shape{
        .fd = frame.fd, .ext = frame.ext, .rtr = frame.rtr, .brs = frame.brs, .len = frame.len};
    const double seconds = frameWireSeconds(shape, sender.arbRate, sender.dataRate);
    return std::chrono::round<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
}

bool BusEndpoint::operator<(const BusEndpoint& o) const {
    return std::tie(vendorId, productId, ordinal, channel) <
           std::tie(o.vendorId, o.productId, o.ordinal, o.channel);
}

bool BusEndpoint::operator==(const BusEndpoint& o) const {
    return vendorId == o.vendorId && productId == o.productId && ordinal == o.ordinal &&
           channel == o.channel;
}

namespace {

std::string trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) {
        ++b;
    }
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) {
        --e;
    }
    return s.substr(b, e - b);
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

// Parses a whole decimal or hexadecimal number within [0, max].
bool parseNumber(const std::string& text, int base, unsigned long max, unsigned long* out) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    for (char c : text) {
        const bool ok = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                                   : std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (!ok) {
            return false;
        }
    }
    const unsigned long v = std::strtoul(text.c_str(), nullptr, base);
    if (v > max) {
        return false;
    }
    *out = v;
    return true;
}

bool parseEndpoint(const std::string& rawText, BusEndpoint* e, std::string* error) {
    const std::string text = trim(rawText);
    const size_t slash = text.rfind('/');
    if (slash == std::string::npos) {
        *error = "endpoint '" + text + "' lacks '/channel'";
        return false;
    }
    std::string device = text.substr(0, slash);
    const std::string channelText = text.substr(slash + 1);
    unsigned long ordinal = 0;
    const size_t hash = device.find('#');
    if (hash != std::string::npos) {
        if (!parseNumber(device.substr(hash + 1), 10, 63, &ordinal)) {
            *error = "bad ordinal in '" + text + "' (0..63)";
            return false;
        }
        device = device.substr(0, hash);
    }
    const FirmwareModel* model = nullptr;
    const size_t colon = device.find(':');
    if (colon != std::string::npos) {
        unsigned long vid = 0;
        unsigned long pid = 0;
        if (!parseNumber(device.substr(0, colon), 16, 0xFFFF, &vid) ||
            !parseNumber(device.substr(colon + 1), 16, 0xFFFF, &pid)) {
            *error = "bad USB identity in '" + text + "' (VVVV:PPPP in hex)";
            return false;
        }
        model = findFirmwareModel(static_cast<uint16_t>(vid), static_cast<uint16_t>(pid));
    } else {
        model = findFirmwareModelByName(device);
    }
    if (model == nullptr) {
        *error = "unknown adapter '" + device + "' in '" + text + "'";
        return false;
    }
    unsigned long channel = 0;
    if (!parseNumber(channelText, 10, 255, &channel) ||
        channel >= static_cast<unsigned long>(model->channels)) {
        *error = "channel '" + channelText + "' out of range for " + model->name + " (0.." +
                 std::to_string(model->channels - 1) + ")";
        return false;
    }
    e->vendorId = model->vendorId;
    e->productId = model->productId;
    e->ordinal = static_cast<int>(ordinal);
    e->channel = static_cast<int>(channel);
    return true;
}

std::string endpointText(const BusEndpoint& e) {
    const FirmwareModel* model = findFirmwareModel(e.vendorId, e.productId);
    char buf[64];
    if (model != nullptr) {
        std::snprintf(buf, sizeof buf, "%s#%d/%d", model->name, e.ordinal, e.channel);
    } else {
        std::snprintf(buf, sizeof buf, "%04x:%04x#%d/%d", e.vendorId, e.productId, e.ordinal,
                      e.channel);
    }
    return buf;
}

}  // namespace

bool parseWiring(const std::string& text, WiringPlan* plan, std::string* error) {
    WiringPlan parsed;
    std::set<BusEndpoint> seen;
    for (const std::string& rawItem : split(text, ';')) {
        const std::string item = trim(rawItem);
        if (item.empty()) {
            continue;
        }
        if (item == "none") {
            parsed.defaultPairs = false;
            continue;
        }
        if (item == "default") {
            parsed.defaultPairs = true;
            continue;
        }
        const std::vector<std::string> names = split(item, '=');
        if (names.size() < 2) {
            *error = "segment '" + item + "' needs at least two endpoints joined by '='";
            return false;
        }
        std::vector<BusEndpoint> segment;
        for (const std::string& name : names) {
            BusEndpoint e;
            if (!parseEndpoint(name, &e, error)) {
                return false;
            }
            if (!seen.insert(e).second) {
                *error = "endpoint " + endpointText(e) + " is wired twice";
                return false;
            }
            segment.push_back(e);
        }
        parsed.segments.push_back(std::move(segment));
    }
    *plan = std::move(parsed);
    return true;
}

std::string formatWiring(const WiringPlan& plan) {
    std::string out = plan.defaultPairs ? "default" : "none";
    for (const auto& segment : plan.segments) {
        out += ";";
        for (size_t i = 0; i < segment.size(); ++i) {
            out += (i == 0 ? "" : "=") + endpointText(segment[i]);
        }
    }
    return out;
}

VirtualBus& VirtualBus::instance() {
    static VirtualBus bus;
    return bus;
}

VirtualBus::VirtualBus() {
    const char* env = std::getenv("KESTRUN_SIM_WIRING");
    if (env == nullptr) {
        return;
    }
    std::string error;
    if (!setWiring(env, &error)) {
        std::fprintf(stderr, "kestrun-usbsim: KESTRUN_SIM_WIRING ignored: %s\n", error.c_str());
    }
}

uint64_t VirtualBus::attachAdapter(uint16_t vendorId, uint16_t productId, int ordinal,
                                   std::vector<BusPort*> ports) {
    std::unique_lock lock(mutex_);
    const uint64_t handle = nextHandle_++;
    adapters_[handle] = Adapter{vendorId, productId, ordinal, std::move(ports)};
    return handle;
}

void VirtualBus::detachAdapter(uint64_t handle) {
    std::unique_lock lock(mutex_);
    adapters_.erase(handle);
    std::lock_guard schedule(scheduleMutex_);
    std::erase_if(busyUntil_, [handle](const auto& e) { return e.first.first == handle; });
}

bool VirtualBus::named(const BusEndpoint& e) const {
    return segmentOf_.count(e) != 0;
}

int VirtualBus::transmit(uint64_t handle, int channel, const BusFrame& frame,
                         const BusTiming& timing, BusClock::time_point arrival,
                         BusClock::time_point* end) {
    *end = arrival;
    std::shared_lock lock(mutex_);
    const auto it = adapters_.find(handle);
    if (it == adapters_.end() || channel < 0 ||
        channel >= static_cast<int>(it->second.ports.size())) {
        return 0;
    }
    const Adapter& sender = it->second;
    BusPort* const self = sender.ports[static_cast<size_t>(channel)];
    const BusEndpoint me{sender.vendorId, sender.productId, sender.ordinal, channel};
    std::vector<BusPort*> peers;
    SegmentKey segment{handle, -1 - channel};
    const auto seg = segmentOf_.find(me);
    if (seg != segmentOf_.end()) {
        segment = {0, static_cast<int>(seg->second)};
        for (const BusEndpoint& member : plan_.segments[seg->second]) {
            for (const auto& [h, a] : adapters_) {
                if (a.vendorId != member.vendorId || a.productId != member.productId ||
                    a.ordinal != member.ordinal ||
                    member.channel >= static_cast<int>(a.ports.size())) {
                    continue;
                }
                BusPort* port = a.ports[static_cast<size_t>(member.channel)];
                if (port != self) {
                    peers.push_back(port);
                }
            }
        }
    } else if (const int partner = channel ^ 1;
               plan_.defaultPairs && partner < static_cast<int>(sender.ports.size()) &&
               !named(BusEndpoint{sender.vendorId, sender.productId, sender.ordinal, partner})) {
        segment = {handle, channel >> 1};
        peers.push_back(sender.ports[static_cast<size_t>(partner)]);
    }
    std::lock_guard schedule(scheduleMutex_);
    BusClock::time_point& busy = busyUntil_[segment];
    *end = std::max(arrival, busy) + wireTime(frame, timing);
    busy = *end;
    int taken = 0;
    for (BusPort* port : peers) {
        if (port->busDeliver(frame, timing, *end)) {
            ++taken;
        }
    }
    return taken;
}

bool VirtualBus::setWiring(const std::string& text, std::string* error) {
    WiringPlan plan;
    if (!parseWiring(text, &plan, error)) {
        return false;
    }
    setWiring(plan);
    return true;
}

void VirtualBus::setWiring(const WiringPlan& plan) {
    std::unique_lock lock(mutex_);
    plan_ = plan;
    segmentOf_.clear();
    {
        // The segments are new; their schedules start afresh.
        std::lock_guard schedule(scheduleMutex_);
        busyUntil_.clear();
    }
    for (size_t i = 0; i < plan_.segments.size(); ++i) {
        for (const BusEndpoint& e : plan_.segments[i]) {
            segmentOf_[e] = i;
        }
    }
}

WiringPlan VirtualBus::wiring() const {
    std::shared_lock lock(mutex_);
    return plan_;
}

}  // namespace ksim
