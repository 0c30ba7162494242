// The virtual CAN bus that joins the channels of emulated adapters.
//
// Every adapter attaches one port per channel. A frame a channel transmits
// goes to the other channels of its bus segment; each receiving port decides,
// under its own lock, whether it takes the frame (started, same bit rates,
// able to receive the frame format, acceptance filter).
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

#include <cstdint>
#include <map>
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

// The receiving side of a channel. busDeliver runs on the transmitting
// thread while the bus holds its delivery lock: it must not call the bus.
class BusPort {
  public:
    virtual ~BusPort() = default;
    // Returns true when the channel took the frame.
    virtual bool busDeliver(const BusFrame& frame, const BusTiming& sender) = 0;
};

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

    // Offers a frame sent by a channel to the other channels of its segment.
    // Returns how many took it. Must be called without the sender's own lock.
    int transmit(uint64_t handle, int channel, const BusFrame& frame, const BusTiming& timing);

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
    bool named(const BusEndpoint& e) const;

    mutable std::shared_mutex mutex_;
    uint64_t nextHandle_ = 1;
    std::map<uint64_t, Adapter> adapters_;
    WiringPlan plan_;
    std::map<BusEndpoint, size_t> segmentOf_;  // endpoint -> index in plan_.segments
};

}  // namespace ksim
