// Firmware of the classic two-channel adapter (0x0471:0x1200; the DUNLIN1
// and DUNLIN2 models).
//
// Answers command requests on the interrupt pair 0x01/0x81 (one answer
// pending at a time: a new request discards an answer the host did not
// read), transmits the frame records written to bulk 0x02 onto the virtual
// bus, and hands out the frames its started channels receive as a byte
// stream of 19-byte records on bulk 0x82, packed tight whatever the read
// size. Each channel is an SJA1000-compatible controller at 16 MHz whose
// bit rate comes from the BTR0/BTR1 bytes of the init command; frames pass
// only between channels (of any adapter on the same bus segment) at equal
// bit rates.
//
// Besides the VirtualDevice seam it offers a C++ API for tests: channel
// state, counters, frame injection, traffic generators and fault switches
// (the same things control() reaches by text).
//
// Locking: one mutex guards the whole firmware state. It is never held while
// calling the bus, so frames can pass between channels in any direction.
#pragma once

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
#include "classic/classic_wire.h"
#include "bus/fw_common.h"
#include "virtual_device.h"

namespace ksim::classic {

// Factory for the firmware table.
std::unique_ptr<VirtualDevice> createClassicFirmware(const FirmwareModel& model, int ordinal);

struct ClassicChannelSnapshot {
    bool initialised = false;
    bool started = false;
    bool modeFlag = false;  // bit 7 of the init mode byte
    uint8_t btr0 = 0;
    uint8_t btr1 = 0;
    uint32_t bitRate = 0;
    uint8_t txErrors = 0;  // transmit error counter
    uint8_t rxErrors = 0;  // receive error counter
    uint64_t txFrames = 0;
    uint64_t rxFrames = 0;
    uint64_t overruns = 0;
};

struct ClassicGeneratorStats {
    bool running = false;
    uint64_t produced = 0;
    uint64_t delivered = 0;
    uint64_t lost = 0;
    double framesPerSecond = 0;
};

struct ClassicCounters {
    uint64_t commands = 0;           // requests on 0x01
    uint64_t replies = 0;            // answers made ready on 0x81
    uint64_t unreadReplies = 0;      // answers discarded by a newer request or a reset
    uint64_t suppressedReplies = 0;  // requests left unanswered by a fault switch
    uint64_t malformed = 0;          // requests or record bytes that did not parse
    uint64_t records = 0;            // well-formed frame records on 0x02
    uint64_t refusedRecords = 0;     // parsed but refused (channel, length, not started)
    uint64_t framesTx = 0;
    uint64_t framesUnheard = 0;  // transmitted with no channel taking them
    uint64_t framesRx = 0;
    uint64_t overruns = 0;
    uint64_t streamBytes = 0;  // bytes handed out on 0x82
};

enum class ClassicInject { Delivered, Overrun, NotStarted, Incompatible, BadChannel };

class ClassicFirmware final : public VirtualDevice {
  public:
    using Clock = fwkit::Clock;

    // Frames the receive buffer holds before further frames are lost.
    static constexpr size_t kRxCapacity = 65536;
    // Generator frames due but not yet read beyond which the oldest are lost.
    static constexpr uint64_t kGeneratorBacklog = 1u << 20;

    ClassicFirmware(const FirmwareModel& model, int ordinal);
    ~ClassicFirmware() override;

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

    int ordinal() const { return ordinal_; }
    ClassicChannelSnapshot channel(int ch) const;
    ClassicCounters counters() const;
    // Microseconds since power-on; the stream carries its low 24 bits.
    uint32_t adapterMicros() const;
    // The relay bytes last set (0, 0 at power-on).
    std::pair<uint8_t, uint8_t> relays() const;

    // The texts answered to board queries 20 and 21 (at most 14 characters).
    bool setBoardText(uint8_t query, const std::string& text);

    // A classic frame arriving at a channel from a node on its bus.
    ClassicInject inject(int ch, const BusFrame& frame);

    // Traffic generators, one per channel, classic frames only. Pace::Wire
    // needs an initialised channel.
    bool startGenerator(int ch, const GeneratorConfig& config, std::string* error);
    bool stopGenerator(int ch);
    ClassicGeneratorStats generatorStats(int ch) const;

    // Fault switches (see fwkit::CommandFaults for the command ones).
    void setNoReply(uint8_t code, bool on);
    void setReplyStatus(uint8_t code, std::optional<uint8_t> status);
    void setForeignReply(uint8_t code, std::optional<uint8_t> replyCode);
    void setReplyTruncate(uint8_t code, std::optional<uint8_t> length);
    void setReplyLatencyUs(uint32_t us);
    // Bytes put into the stream before the next record.
    void injectGarbage(const std::vector<uint8_t>& bytes);
    // Each stream read returns at most `at` bytes; 0 turns it off.
    void setStreamSplit(size_t at);
    void clearFaults();

  private:
    struct Channel {
        bool initialised = false;
        bool started = false;
        bool modeFlag = false;
        uint8_t btr0 = 0;
        uint8_t btr1 = 0;
        uint32_t bitRate = 0;
        uint8_t txErrors = 0;
        uint8_t rxErrors = 0;
        uint64_t txFrames = 0;
        uint64_t rxFrames = 0;
        uint64_t overruns = 0;
        TrafficGenerator gen;

        BusTiming timing() const { return BusTiming{bitRate, 0, false, false}; }
    };
    struct RxEntry {
        uint8_t channel;
        uint32_t micros;
        BusFrame frame;
    };
    struct Outgoing {
        int channel;
        BusFrame frame;
        BusTiming timing;
    };
    class Port final : public BusPort {
      public:
        Port(ClassicFirmware* fw, int ch) : fw_(fw), ch_(ch) {}
        bool busDeliver(const BusFrame& frame, const BusTiming& sender) override;

      private:
        ClassicFirmware* fw_;
        int ch_;
    };

    void powerOnLocked(Clock::time_point now);
    uint32_t microsAt(Clock::time_point t) const;
    ClassicInject deliverLocked(int ch, const BusFrame& frame, const BusTiming& sender);
    void dropPendingLocked(int ch);

    void handleCommand(const uint8_t* req, size_t len, Clock::time_point now);
    fwkit::Message executeCommand(const uint8_t* req, size_t len, bool apply,
                                  Clock::time_point now);
    uint8_t applyInit(const uint8_t* req, bool apply);
    uint8_t applyStartReset(int ch, bool start, bool apply, Clock::time_point now);

    void handleRecords(const uint8_t* data, size_t len);

    int readReply(uint8_t* data, int length, unsigned timeoutMs, int* transferred);
    int readStream(uint8_t* data, int length, unsigned timeoutMs, int* transferred);
    size_t streamRead(uint8_t* data, size_t length, Clock::time_point now);
    bool nextRecord(Clock::time_point now);
    void settleGenerators(Clock::time_point now);
    Clock::time_point nextGeneratorDue(Clock::time_point now) const;

    std::string controlLocked(const std::vector<std::string>& args);
    std::string controlGen(const std::vector<std::string>& args);
    std::string controlInject(const std::vector<std::string>& args);
    std::string controlFault(const std::vector<std::string>& args);
    std::string stateText(int ch) const;
    std::string countersText() const;

    const FirmwareModel& model_;
    const int ordinal_;

    mutable std::mutex mu_;
    std::condition_variable replyCv_;
    std::condition_variable streamCv_;
    bool attached_ = true;
    Clock::time_point powerOn_;
    std::vector<Channel> channels_;
    uint8_t relayA_ = 0;
    uint8_t relayB_ = 0;
    std::string serialText_;
    std::string hwTypeText_;
    std::optional<fwkit::Message> reply_;
    std::deque<RxEntry> rx_;
    std::vector<uint8_t> out_;  // stream bytes built but not yet read
    size_t outPos_ = 0;
    std::vector<uint8_t> garbage_;
    size_t genCursor_ = 0;
    fwkit::CommandFaults faults_;
    size_t splitAt_ = 0;
    ClassicCounters counters_;

    std::vector<std::unique_ptr<Port>> ports_;
    uint64_t busHandle_ = 0;
};

}  // namespace ksim::classic
