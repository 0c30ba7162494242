// The plumbing of an adapter whose channels sit on the virtual bus (the
// classic and FD families): one bus port per channel, the receive queue and
// the waiting reads of the frame stream, frame injection, traffic generators,
// the stream fault switches (garbage, split) and their control commands.
//
// A family supplies its channel state (deriving from BusChannel), whether a
// channel takes a frame, how its stream is packed, and the words of its
// inject and gen commands, and holds a BusAttachment as its last member.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus/traffic_generator.h"
#include "bus/virtual_bus.h"
#include "firmware/firmware_device.h"

namespace ksim::fwkit {

// The start and stop requests of the bus families: prefix, code, a count of
// at least 2, 0, channel << 4.
constexpr uint8_t kCmdStart = 0x0E;
constexpr uint8_t kCmdStop = 0x0F;

// What became of a frame offered to a channel.
enum class InjectResult { Delivered, Filtered, NotStarted, Incompatible, Overrun, BadChannel };

struct GeneratorStats {
    bool running = false;
    uint64_t produced = 0;
    uint64_t delivered = 0;
    uint64_t filtered = 0;
    uint64_t lost = 0;  // produced while the channel could not receive them
    double framesPerSecond = 0;
};

struct BusCounters : CommandCounters {
    uint64_t framesTx = 0;
    uint64_t framesUnheard = 0;  // transmitted with no channel taking them
    uint64_t framesRx = 0;
    uint64_t overruns = 0;
    uint64_t streamBytes = 0;  // bytes handed out on the stream endpoint
};

// The part of a channel every bus family has.
struct BusChannel {
    bool initialised = false;
    bool started = false;
    uint64_t txFrames = 0;  // sent onto the bus
    uint64_t rxFrames = 0;  // queued for the host
    uint64_t overruns = 0;  // received while the receive buffer was full
    TrafficGenerator gen;

    // Counters and the generator belong to the bench, not to the adapter:
    // a channel powering on keeps them from `before`.
    void keepBenchOf(const BusChannel& before);
};

// Puts a family's channels in their power-on state; C::keepBenchOf says what
// stays.
template <class C>
void powerOnChannels(std::vector<C>* channels) {
    for (C& c : *channels) {
        C fresh;
        fresh.keepBenchOf(c);
        c = std::move(fresh);
    }
}

// How the bus families differ in their stream endpoint and in the words of
// their "gen start" command.
struct BusLayout {
    uint8_t streamEndpoint;  // IN: received frames
    const char* genUsage;    // the "gen start" usage line
    size_t genMaxWords;      // words of the longest "gen start" command
    const char* genOptions;  // its trailing words, for the error text
};

class BusFirmware : public FirmwareDevice {
  public:
    // Frames the receive buffer holds before further frames are lost.
    static constexpr size_t kRxCapacity = 65536;
    // Generator frames due but not yet read beyond which the oldest are lost.
    static constexpr uint64_t kGeneratorBacklog = 1u << 20;

    // A frame arriving at a channel from a node on its bus.
    InjectResult inject(int ch, const BusFrame& frame);

    // Traffic generators, one per channel. Pace::Wire needs an initialised
    // channel. Returns false with a reason for bad settings.
    bool startGenerator(int ch, const GeneratorConfig& config, std::string* error);
    bool stopGenerator(int ch);
    GeneratorStats generatorStats(int ch) const;

    // Bytes put into the stream before the next record or packet.
    void injectGarbage(const std::vector<uint8_t>& bytes);
    // Each stream read returns at most `at` bytes of a record or packet, the
    // rest coming with the next read; 0 turns it off.
    void setStreamSplit(size_t at);

  protected:
    struct RxEntry {
        uint8_t channel;
        uint32_t micros;          // adapter time of reception: the frame's end on the bus
        Clock::time_point ready;  // the host sees it from then on
        BusFrame frame;
    };
    struct Outgoing {  // one frame to put on the bus
        int channel;
        BusFrame frame;
        BusTiming timing;
    };
    struct Sent {               // what became of an Outgoing
        int heard;              // channels that took it
        Clock::time_point end;  // when it left the bus
    };
    BusFirmware(const FirmwareModel& model, int ordinal, const CommandChannel& channel,
                const BusLayout& layout);

    // ---- Family hooks.
    virtual BusChannel& busChannel(int ch) = 0;
    const BusChannel& busChannel(int ch) const {
        return const_cast<BusFirmware*>(this)->busChannel(ch);
    }
    virtual BusCounters& busCounters() = 0;
    // The channel's rates as the bus sees them.
    virtual BusTiming timingOf(int ch) const = 0;
    // Whether a started channel takes a frame off the bus: Delivered when it
    // does, else why not. Counts what the family counts.
    virtual InjectResult receiveLocked(int ch, const BusFrame& frame, const BusTiming& sender) = 0;
    // A stop request has just taken channel ch off the bus.
    virtual void stoppedLocked(int /*ch*/) {}
    // Whether a started channel can receive its generator's frames.
    virtual bool hearsGenerator(int /*ch*/) const { return true; }
    // Why the family refuses a generator on channel ch, or "".
    virtual std::string generatorRefusal(int ch, const GeneratorConfig& config) const = 0;
    // Fills up to `length` bytes of a stream read; 0 when nothing is due.
    virtual size_t streamRead(uint8_t* data, size_t length, Clock::time_point now) = 0;
    // n bytes of garbage that the family's host cannot take for a record.
    virtual std::vector<uint8_t> garbagePattern(size_t n) const = 0;
    virtual std::string controlInject(const std::vector<std::string>& args) = 0;
    // Reads words 3..5 of "gen start" (frame kind and length) into config;
    // returns why they are refused, or "".
    virtual std::string parseGenFrame(const std::vector<std::string>& args,
                                      GeneratorConfig* config) const = 0;

    // ---- FirmwareDevice hooks; a family overriding one calls this one too.
    CommandCounters& commandCounters() override { return busCounters(); }
    int readData(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                 int* transferred) override;
    void powerOnLocked(Clock::time_point now) override;
    void unpluggedLocked() override;
    void wakeLocked() override;
    void clearFamilyFaultsLocked() override;
    std::string faultsText() const override;
    std::optional<std::string> controlUnlocked(const std::vector<std::string>& args) override;
    std::optional<std::string> controlFamilyFault(const std::vector<std::string>& args) override;

    // Carries out (only checks unless `apply`) a start or stop request of
    // len bytes, at least 5, and returns its reply: the status
    // (kStatusBadChannel, kStatusNotReady for a start before bit timing, or
    // kStatusOk) and the channel byte.
    Message startStopReply(const uint8_t* req, size_t len, bool apply, Clock::time_point now);
    // Puts frames on the bus one after the other, the first not before
    // `arrival`; call without the lock.
    std::vector<Sent> transmit(const std::vector<Outgoing>& frames, Clock::time_point arrival);
    // Counts frames that transmit() sent.
    void countSentLocked(const std::vector<Outgoing>& frames, const std::vector<Sent>& sent);
    // The oldest received frame if its end on the bus has passed, else null.
    const RxEntry* readyRx(Clock::time_point now) const;
    // Drops generator frames the channels could not receive, and a backlog
    // beyond kGeneratorBacklog.
    void settleGenerators(Clock::time_point now);
    // " garbage_pending=N split=N"
    std::string streamFaultsText() const;
    static const char* injectText(InjectResult r);
    // Reads the identifier word of "inject" (hex, within 11 or 29 bits as
    // f->ext says) into f->id; returns why it is refused, or "".
    static std::string parseIdentifier(const std::string& word, BusFrame* f);

    std::condition_variable streamCv_;
    std::deque<RxEntry> rx_;
    std::vector<uint8_t> out_;  // stream bytes built but not yet read
    size_t outPos_ = 0;
    std::vector<uint8_t> garbage_;
    size_t splitAt_ = 0;
    size_t genCursor_ = 0;  // channel whose generator is asked first
    // Max-pace generators rest until then (all their frames were filtered).
    Clock::time_point maxPaceIdleUntil_{};

  private:
    friend class BusAttachment;
    class Port final : public BusPort {
      public:
        Port(BusFirmware* fw, int ch) : fw_(fw), ch_(ch) {}
        bool busDeliver(const BusFrame& frame, const BusTiming& sender,
                        Clock::time_point end) override;

      private:
        BusFirmware* fw_;
        int ch_;
    };

    void attachToBus();
    // After this no other adapter's transmission can reach our ports.
    void detachFromBus();
    InjectResult deliverLocked(int ch, const BusFrame& frame, const BusTiming& sender,
                               Clock::time_point end);
    Clock::time_point nextGeneratorDue(Clock::time_point now) const;
    std::string controlGen(const std::vector<std::string>& args);
    std::string controlWire(const std::vector<std::string>& args);

    const BusLayout layout_;
    std::vector<std::unique_ptr<Port>> ports_;
    uint64_t busHandle_ = 0;
};

// A family's channels on the bus. The family holds it as its last member, so
// the ports attach once the family's channels exist and detach, waiting for
// deliveries in progress, before those go: a frame from another adapter
// never reaches a channel that is not there.
class BusAttachment {
  public:
    explicit BusAttachment(BusFirmware* fw) : fw_(fw) { fw_->attachToBus(); }
    ~BusAttachment() { fw_->detachFromBus(); }
    BusAttachment(const BusAttachment&) = delete;
    BusAttachment& operator=(const BusAttachment&) = delete;

  private:
    BusFirmware* fw_;
};

}  // namespace ksim::fwkit
