// Firmware of the classic two-channel adapter (0x0471:0x1200; the DUNLIN1
// and DUNLIN2 models).
//
// Answers command requests on the interrupt pair 0x01/0x81 (one answer
// pending at a time: a new request discards an answer the host did not
// read), transmits the frame records written to bulk 0x02 onto the virtual
// bus (a write waits while the transmit buffer is full: the protocol has no
// acknowledgement, so this is what holds the host to the bus's pace), and
// hands out the frames its started channels receive as a byte
// stream of 19-byte records on bulk 0x82, packed tight whatever the read
// size. Each channel is an SJA1000-compatible controller at 16 MHz whose
// bit rate comes from the BTR0/BTR1 bytes of the init command; frames pass
// only between channels (of any adapter on the same bus segment) at equal
// bit rates.
//
// Besides the VirtualDevice seam it offers a C++ API for tests: channel
// state, counters, board texts and relays here; frame injection, traffic
// generators and fault switches from fwkit::BusFirmware (the same things
// control() reaches by text).
//
// Locking: the base's one mutex guards the whole firmware state. It is never
// held while calling the bus, so frames can pass between channels in any
// direction.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bus/firmware_table.h"
#include "bus/traffic_generator.h"
#include "bus/virtual_bus.h"
#include "classic/classic_wire.h"
#include "firmware/bus_firmware.h"
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

using ClassicGeneratorStats = fwkit::GeneratorStats;  // filtered stays 0: no acceptance filter

struct ClassicCounters : fwkit::BusCounters {
    uint64_t unreadReplies = 0;   // answers discarded by a newer request or a reset
    uint64_t records = 0;         // well-formed frame records on 0x02
    uint64_t refusedRecords = 0;  // parsed but refused (channel, length, not started)
};

// Never Filtered: the controller has no acceptance filter.
using ClassicInject = fwkit::InjectResult;

class ClassicFirmware final : public fwkit::BusFirmware {
  public:
    // Frames the transmit buffer holds ahead of the bus, both channels
    // together; a write to 0x02 waits until its records fit.
    static constexpr size_t kTxBuffer = 16;

    ClassicFirmware(const FirmwareModel& model, int ordinal);

    ClassicChannelSnapshot channel(int ch) const;
    ClassicCounters counters() const;
    // The relay bytes last set (0, 0 at power-on).
    std::pair<uint8_t, uint8_t> relays() const;

    // The texts answered to board queries 20 and 21 (at most 14 characters).
    bool setBoardText(uint8_t query, const std::string& text);

  private:
    struct Channel : fwkit::BusChannel {
        bool modeFlag = false;
        uint8_t btr0 = 0;
        uint8_t btr1 = 0;
        uint32_t bitRate = 0;
        uint8_t txErrors = 0;
        uint8_t rxErrors = 0;
        Clock::time_point txEnd{};  // when its last frame leaves the bus
    };

    static ClassicChannelSnapshot snapshotOf(const Channel& c);
    ClassicCounters countersLocked() const;
    void dropPendingLocked(int ch);

    // Commands.
    fwkit::Message executeCommand(const uint8_t* req, size_t len, bool apply,
                                  Clock::time_point now) override;
    void forceStatus(const uint8_t* req, size_t len, int code, uint8_t status,
                     fwkit::Message* m) override;
    fwkit::Message channelStateReply(uint8_t ch, Clock::time_point now) const;
    uint8_t applyInit(const uint8_t* req, bool apply);
    void stoppedLocked(int ch) override;

    // Frame records from the host.
    int writeData(const uint8_t* data, size_t len, unsigned timeoutMs, size_t* taken) override;
    // Free places in the transmit buffer at `now`.
    size_t txRoomLocked(Clock::time_point now) const;
    // When the buffer next has room; max() when that waits for frames still
    // being put on the bus.
    Clock::time_point txRoomAtLocked(Clock::time_point now) const;
    // Frames put on the bus: their places in the buffer until they leave it,
    // and the transmit error counters.
    void noteSentLocked(const std::vector<Outgoing>& frames, const std::vector<Sent>& sent);

    // Receiving and the stream.
    fwkit::BusChannel& busChannel(int ch) override;
    fwkit::BusCounters& busCounters() override { return counters_; }
    BusTiming timingOf(int ch) const override;
    ClassicInject receiveLocked(int ch, const BusFrame& frame, const BusTiming& sender) override;
    std::string generatorRefusal(int ch, const GeneratorConfig& config) const override;
    size_t streamRead(uint8_t* data, size_t length, Clock::time_point now) override;
    bool nextRecord(Clock::time_point now);

    void powerOnLocked(Clock::time_point now) override;
    void wakeLocked() override;

    // Control.
    const char* helpText() const override;
    std::string infoDetails() const override;
    std::string stateText(int ch) const override;
    std::string countersText() const override;
    std::optional<std::string> controlUnlocked(const std::vector<std::string>& args) override;
    std::optional<std::string> controlLocked(const std::vector<std::string>& args) override;
    std::string controlInject(const std::vector<std::string>& args) override;
    std::string parseGenFrame(const std::vector<std::string>& args,
                              GeneratorConfig* config) const override;
    std::vector<uint8_t> garbagePattern(size_t n) const override;

    std::vector<Channel> channels_;
    std::multiset<Clock::time_point> txQueued_;  // end times of frames in the buffer
    size_t txPutting_ = 0;                       // frames taken in, not yet on the bus
    std::condition_variable txCv_;               // writes waiting for room
    uint8_t relayA_ = 0;
    uint8_t relayB_ = 0;
    std::string serialText_;
    std::string hwTypeText_;
    ClassicCounters counters_;
    fwkit::BusAttachment bus_{this};  // last: attaches after the state above, detaches before it
};

}  // namespace ksim::classic
