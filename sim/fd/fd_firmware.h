// Firmware of the FD-family adapters (DUNLINFD1/2/Mini, ZARO2014/2018/3014/3018).
//
// Answers the command requests on the interrupt pair 0x01/0x81, transmits
// the frame packets written to bulk 0x02 onto the virtual bus and acknowledges
// each on bulk 0x82, and streams the frames its started channels receive as
// frame packets on bulk 0x83. Besides the VirtualDevice seam it offers a C++
// API for tests: channel state, counters, frame injection, traffic generators
// and fault switches (the same things control() reaches by text).
//
// Locking: one mutex guards the whole firmware state. It is never held while
// calling the bus, so frames can pass between channels of one adapter and
// between adapters in any direction.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bus/firmware_table.h"
#include "bus/traffic_generator.h"
#include "bus/virtual_bus.h"
#include "fd/fd_timing.h"
#include "virtual_device.h"

namespace ksim::fd {

// Factory for the firmware table.
std::unique_ptr<VirtualDevice> createFdFirmware(const FirmwareModel& model, int ordinal);

struct FilterRange {
    enum class Kind : uint8_t { Standard, Extended, Any };
    Kind kind = Kind::Standard;
    uint32_t start = 0;
    uint32_t end = 0;
};

struct ChannelSnapshot {
    bool initialised = false;
    bool started = false;
    bool fdMode = false;  // takes part in CAN FD traffic
    bool iso = false;
    uint8_t mode = 0;
    PhaseTiming arbTiming;
    PhaseTiming dataTiming;
    uint32_t arbRate = 0;
    uint32_t dataRate = 0;
    bool filterEnabled = false;
    std::vector<FilterRange> ranges;
    uint64_t txFrames = 0;  // sent onto the bus
    uint64_t rxFrames = 0;  // queued for the host
    uint64_t filtered = 0;  // received but refused by the acceptance filter
    uint64_t overruns = 0;  // received while the receive buffer was full
};

struct GeneratorStats {
    bool running = false;
    uint64_t produced = 0;
    uint64_t delivered = 0;
    uint64_t filtered = 0;
    uint64_t lost = 0;  // produced while the channel could not receive them
    double framesPerSecond = 0;
};

struct FirmwareCounters {
    uint64_t commands = 0;           // requests on 0x01
    uint64_t replies = 0;            // replies queued on 0x81
    uint64_t suppressedReplies = 0;  // requests left unanswered by a fault switch
    uint64_t packets = 0;            // well-formed frame packets on 0x02
    uint64_t acks = 0;               // acknowledgements queued on 0x82
    uint64_t withheldAcks = 0;
    uint64_t malformed = 0;       // requests or packets that did not parse
    uint64_t refusedPackets = 0;  // parsed but refused (channel, length, state)
    uint64_t framesTx = 0;
    uint64_t framesUnheard = 0;  // transmitted with no channel taking them
    uint64_t framesRx = 0;
    uint64_t filtered = 0;
    uint64_t overruns = 0;
    uint64_t streamBytes = 0;  // bytes handed out on 0x83
};

enum class InjectResult { Delivered, Filtered, NotStarted, Incompatible, Overrun, BadChannel };

class FdFirmware final : public VirtualDevice {
  public:
    using Clock = std::chrono::steady_clock;

    // Frames the receive buffer holds before further frames are lost.
    static constexpr size_t kRxCapacity = 65536;
    // Generator frames due but not yet read beyond which the oldest are lost.
    static constexpr uint64_t kGeneratorBacklog = 1u << 20;

    FdFirmware(const FirmwareModel& model, int ordinal);
    ~FdFirmware() override;

    uint16_t vendorId() const override { return model_.vendorId; }
    uint16_t productId() const override { return model_.productId; }
    std::string modelName() const override { return model_.name; }
    int transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned timeoutMs,
                    int* transferred) override;
    int transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                   int* transferred) override;
    void usbReset() override;
    void setAttached(bool attached) override;
    std::string control(const std::vector<std::string>& args) override;

    int channelCount() const { return model_.channels; }
    uint16_t clockMhz() const { return model_.clockMhz; }
    int ordinal() const { return ordinal_; }
    // A channel's state; a default snapshot for channels beyond the count.
    ChannelSnapshot channel(int ch) const;
    FirmwareCounters counters() const;
    // Microseconds since power-on, the adapter's time stamp clock.
    uint32_t adapterMicros() const;

    // A frame arriving at a channel from a node on its bus.
    InjectResult inject(int ch, const BusFrame& frame);

    // Traffic generators, one per channel. Pace::Wire needs an initialised
    // channel. Returns false with a reason for bad settings.
    bool startGenerator(int ch, const GeneratorConfig& config, std::string* error);
    bool stopGenerator(int ch);
    GeneratorStats generatorStats(int ch) const;

    // Fault switches. Command faults are keyed by byte 1 of the request (the
    // command code; 0xA7 for the direct transfer). A faulted request is not
    // carried out.
    void setNoReply(uint8_t code, bool on);
    void setReplyStatus(uint8_t code, std::optional<uint8_t> status);
    void setForeignReply(uint8_t code, std::optional<uint8_t> replyCode);
    // Cuts the reply to `length` bytes; the request is carried out.
    void setReplyTruncate(uint8_t code, std::optional<uint8_t> length);
    void setReplyLatencyUs(uint32_t us);
    void setAckWithheld(bool withheld);
    void setAckLatencyUs(uint32_t us);
    // Bytes put into the stream before the next packet.
    void injectGarbage(const std::vector<uint8_t>& bytes);
    // Cuts every stream packet after `at` bytes: the rest comes with the next
    // read. 0 turns it off.
    void setStreamSplit(size_t at);
    void clearFaults();

  private:
    struct Channel {
        bool initialised = false;
        bool started = false;
        bool fdMode = false;
        bool iso = false;
        uint8_t mode = 0;
        PhaseTiming arbTiming;
        PhaseTiming dataTiming;
        uint32_t arbRate = 0;
        uint32_t dataRate = 0;
        bool filterEnabled = false;
        std::vector<FilterRange> ranges;
        uint64_t txFrames = 0;
        uint64_t rxFrames = 0;
        uint64_t filtered = 0;
        uint64_t overruns = 0;
        TrafficGenerator gen;

        BusTiming timing() const { return BusTiming{arbRate, dataRate, fdMode, iso}; }
        bool passes(const BusFrame& f) const;
    };
    struct Message {
        Clock::time_point ready;
        size_t length = 0;
        std::array<uint8_t, 64> bytes{};
    };
    struct RxEntry {
        uint8_t channel;
        uint32_t timeStamp;
        BusFrame frame;
    };
    struct Faults {
        std::array<bool, 256> noReply{};
        std::array<int16_t, 256> status{};    // -1: none
        std::array<int16_t, 256> foreign{};   // -1: none
        std::array<int16_t, 256> truncate{};  // -1: none; else the reply's length
        uint32_t replyLatencyUs = 0;
        bool ackWithheld = false;
        uint32_t ackLatencyUs = 0;
        size_t splitAt = 0;
        Faults() { reset(); }
        void reset();
    };
    struct Outgoing {  // one frame to put on the bus
        int channel;
        BusFrame frame;
        BusTiming timing;
    };
    class Port final : public BusPort {
      public:
        Port(FdFirmware* fw, int ch) : fw_(fw), ch_(ch) {}
        bool busDeliver(const BusFrame& frame, const BusTiming& sender) override;

      private:
        FdFirmware* fw_;
        int ch_;
    };

    void powerOnLocked(Clock::time_point now);
    uint32_t microsAt(Clock::time_point t) const;
    bool deliver(int ch, const BusFrame& frame, const BusTiming& sender);
    InjectResult deliverLocked(int ch, const BusFrame& frame, const BusTiming& sender);

    // Commands.
    void handleCommand(const uint8_t* req, size_t len, Clock::time_point now);
    Message executeCommand(const uint8_t* req, size_t len, bool apply, Clock::time_point now);
    uint8_t applyBitTiming(const uint8_t* req, size_t len, bool apply, uint8_t* channel);
    uint8_t applyFilter(int ch, uint8_t op, uint32_t start, uint32_t end, bool apply);
    uint8_t applyStartStop(int ch, bool start, bool apply, Clock::time_point now);

    // Frame packets from the host.
    void handleFramePackets(const uint8_t* data, size_t len);
    uint8_t parsePacket(const uint8_t* p, size_t body, size_t records,
                        std::vector<Outgoing>* out) const;
    void queueAck(uint8_t status, size_t records, Clock::time_point received);

    // Stream.
    int readQueue(std::deque<Message>& q, uint8_t* data, int length, unsigned timeoutMs,
                  int* transferred);
    int readStream(uint8_t* data, int length, unsigned timeoutMs, int* transferred);
    size_t streamRead(uint8_t* data, size_t length, Clock::time_point now);
    size_t packPackets(uint8_t* buf, size_t cap, size_t maxPackets, Clock::time_point now);
    size_t emitOne(uint8_t* out, size_t room, Clock::time_point now);
    void settleGenerators(Clock::time_point now);
    Clock::time_point nextGeneratorDue(Clock::time_point now) const;

    std::string controlLocked(const std::vector<std::string>& args);
    std::string controlFault(const std::vector<std::string>& args);
    std::string controlGen(const std::vector<std::string>& args);
    std::string controlInject(const std::vector<std::string>& args);
    std::string stateText(int ch) const;
    std::string countersText() const;
    std::string faultsText() const;

    const FirmwareModel& model_;
    const int ordinal_;

    mutable std::mutex mu_;
    std::condition_variable commandCv_;
    std::condition_variable ackCv_;
    std::condition_variable streamCv_;
    bool attached_ = true;
    Clock::time_point powerOn_;
    std::vector<Channel> channels_;
    std::deque<Message> replies_;
    std::deque<Message> acks_;
    std::deque<RxEntry> rx_;
    std::vector<uint8_t> out_;  // stream bytes built but not yet read
    size_t outPos_ = 0;
    std::vector<uint8_t> garbage_;
    size_t genCursor_ = 0;
    Clock::time_point maxPaceIdleUntil_{};
    Faults faults_;
    FirmwareCounters counters_;

    std::vector<std::unique_ptr<Port>> ports_;
    uint64_t busHandle_ = 0;
};

}  // namespace ksim::fd
