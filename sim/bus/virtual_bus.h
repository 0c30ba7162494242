// The virtual CAN bus that joins the channels of emulated adapters.
//
// Every adapter attaches one port per channel. A frame a channel transmits
// goes to the other channels of its bus segment; each receiving port decides,
// under its own lock, whether it takes the frame (started, same bit rates,
// able to receive the frame format, acceptance filter).
//
// A segment carries one frame at a time: each frame occupies it for its wire
// time (frame_timing.h, no stuff bits) at the sender's bit rates, starting
// when it arrives or when the segment's previous frame ends, whichever is
// later. Receivers get the frame at once, together with its end time, which
// is when their host may see it; deliveries on the bus happen in bus order.
//
// Segments come from the wiring: by default channel 2k and 2k+1 of each
// adapter form a segment (a bench loopback cable). KESTRUN_SIM_WIRING, read
// when the bus is first used, or setWiring() join channels across adapters:
//
//   wiring   := item { ";" item }
//   item     := "none" | "default" | endpoint "=" endpoint { "=" endpoint }
//   endpoint := device "/" channel
//   device   := MODEL [ "#" ordinal ] | VVVV ":" PPPP [ "#" ordinal ]
//
// "none" drops the default pairs of every adapter, "default" keeps them (the
// default). A channel named in a segment leaves its default pair. Example:
//   ZARO3018#0/0=ZARO3018#1/0; DUNLINFD2/1=ZARO3014/3=ZARO2014/0
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace ksim {

// One frame as it travels on the bus.
struct BusFrame {
    uint32_t id = 0;   // 11 or 29 bits
    bool ext = false;  // 29-bit identifier
    bool rtr = false;  // classic remote frame
    bool fd = false;   // CAN FD frame format
    bool brs = false;  // FD data phase at the data bit rate
    uint8_t len = 0;   // data bytes (0..8 classic, a valid FD length up to 64)
    uint8_t data[64] = {};
};

// How a channel is configured, as far as the bus cares.
struct BusTiming {
    uint32_t arbRate = 0;    // arbitration bit rate, bit/s (0: not configured)
    uint32_t dataRate = 0;   // FD data-phase bit rate, bit/s
    bool fdCapable = false;  // the controller takes part in CAN FD traffic
    bool iso = false;        // ISO CAN FD (false: non-ISO)
};

// Whether a receiver configured as rx can receive frame f sent by a channel
// configured as tx: the arbitration rates must be equal; an FD frame also needs
// an FD-capable receiver with the same data rate and the same ISO setting.
bool frameReaches(const BusFrame& f, const BusTiming& tx, const BusTiming& rx);

using BusClock = std::chrono::steady_clock;

// The receiving side of a channel. busDeliver runs on the transmitting
// thread while the bus holds its delivery lock: it must not call the bus.
class BusPort {
  public:
    virtual ~BusPort() = default;
    // Returns true when the channel took the frame, which leaves the bus at `end`.
    virtual bool busDeliver(const BusFrame& frame, const BusTiming& sender,
                            BusClock::time_point end) = 0;
};

// How long the frame occupies the bus at the sender's rates (no stuff bits),
// rounded to the nanosecond; zero without the rates it needs.
BusClock::duration wireTime(const BusFrame& frame, const BusTiming& sender);

// A channel named in the wiring: adapter identity, ordinal among adapters of
// that identity, channel.
struct BusEndpoint {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    int ordinal = 0;
    int channel = 0;
    bool operator<(const BusEndpoint& o) const;
    bool operator==(const BusEndpoint& o) const;
};

struct WiringPlan {
    bool defaultPairs = true;
    std::vector<std::vector<BusEndpoint>> segments;
};

// Parses the wiring text above; on failure returns false with a message.
bool parseWiring(const std::string& text, WiringPlan* plan, std::string* error);
// The plan in the same syntax (model names, explicit ordinals).
std::string formatWiring(const WiringPlan& plan);

class VirtualBus {
  public:
    // The process-wide bus. Reads KESTRUN_SIM_WIRING on first use; a text that
    // does not parse is reported on stderr and the default wiring is used.
    static VirtualBus& instance();

    VirtualBus();
    VirtualBus(const VirtualBus&) = delete;
    VirtualBus& operator=(const VirtualBus&) = delete;

    // Attaches an adapter's channels (ports[i] is channel i); returns a
    // handle for transmit and detach. Ports must outlive the attachment.
    uint64_t attachAdapter(uint16_t vendorId, uint16_t productId, int ordinal,
                           std::vector<BusPort*> ports);
    // Waits for deliveries in progress, so no port is used after it returns.
    void detachAdapter(uint64_t handle);

    // Puts a frame a channel sends on its segment, not before `arrival`, and
    // offers it to the other channels there. Returns how many took it and sets
    // *end to when it leaves the bus. Must be called without the sender's own
    // lock.
    int transmit(uint64_t handle, int channel, const BusFrame& frame, const BusTiming& timing,
                 BusClock::time_point arrival, BusClock::time_point* end);

    // Replaces the wiring; on a parse error the wiring stays and false returns.
    bool setWiring(const std::string& text, std::string* error);
    void setWiring(const WiringPlan& plan);
    WiringPlan wiring() const;

  private:
    struct Adapter {
        uint16_t vendorId;
        uint16_t productId;
        int ordinal;
        std::vector<BusPort*> ports;
    };
    // A segment's key in busyUntil_: a wired segment (handle 0, its index), a
    // default pair (adapter, channel / 2) or a lone channel (adapter, -1 - channel).
    using SegmentKey = std::pair<uint64_t, int>;
    bool named(const BusEndpoint& e) const;

    mutable std::shared_mutex mutex_;
    // Taken inside mutex_ and held over a frame's slot and its deliveries, so
    // receivers get the frames of a segment in bus order.
    std::mutex scheduleMutex_;
    std::map<SegmentKey, BusClock::time_point> busyUntil_;
    uint64_t nextHandle_ = 1;
    std::map<uint64_t, Adapter> adapters_;
    WiringPlan plan_;
    std::map<BusEndpoint, size_t> segmentOf_;  // endpoint -> index in plan_.segments
};

}  // namespace ksim
