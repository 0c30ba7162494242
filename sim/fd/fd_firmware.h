// Firmware of the FD-family adapters (DUNLINFD1/2/Mini, ZARO2014/2018/3014/3018).
//
// Answers the command requests on the interrupt pair 0x01/0x81, transmits
// the frame packets written to bulk 0x02 onto the virtual bus and acknowledges
// each on bulk 0x82 once its frames have left the bus, and streams the frames its started channels
// receive as frame packets on bulk 0x83. Besides the VirtualDevice seam it offers a C++ API for
// tests: channel state, counters and the acknowledgement fault switches here; frame injection,
// traffic generators and the other fault switches from fwkit::BusFirmware (the same things
// control() reaches by text).
//
// Locking: the base's one mutex guards the whole firmware state. It is never
// held while calling the bus, so frames can pass between channels of one
// adapter and between adapters in any direction.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus/firmware_table.h"
#include "bus/traffic_generator.h"
#include "bus/virtual_bus.h"
#include "fd/fd_timing.h"
#include "firmware/bus_firmware.h"
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

using GeneratorStats = fwkit::GeneratorStats;

struct FirmwareCounters : fwkit::BusCounters {
    uint64_t packets = 0;  // well-formed frame packets on 0x02
    uint64_t acks = 0;     // acknowledgements queued on 0x82
    uint64_t withheldAcks = 0;
    uint64_t refusedPackets = 0;  // parsed but refused (channel, length, state)
    uint64_t filtered = 0;
};

using InjectResult = fwkit::InjectResult;

class FdFirmware final : public fwkit::BusFirmware {
  public:
    FdFirmware(const FirmwareModel& model, int ordinal);

    uint16_t clockMhz() const { return model_.clockMhz; }
    // A channel's state; a default snapshot for channels beyond the count.
    ChannelSnapshot channel(int ch) const;
    FirmwareCounters counters() const;

    // Fault switches of the frame packets' acknowledgements (the command and
    // stream ones come from the bases).
    void setAckWithheld(bool withheld);
    void setAckLatencyUs(uint32_t us);

  private:
    struct Channel : fwkit::BusChannel {
        bool fdMode = false;
        bool iso = false;
        uint8_t mode = 0;
        PhaseTiming arbTiming;
        PhaseTiming dataTiming;
        uint32_t arbRate = 0;
        uint32_t dataRate = 0;
        bool filterEnabled = false;
        std::vector<FilterRange> ranges;
        uint64_t filtered = 0;

        bool passes(const BusFrame& f) const;
        void keepBenchOf(const Channel& before) {
            BusChannel::keepBenchOf(before);
            filtered = before.filtered;
        }
    };

    static ChannelSnapshot snapshotOf(const Channel& c);
    // Commands.
    fwkit::Message executeCommand(const uint8_t* req, size_t len, bool apply,
                                  Clock::time_point now) override;
    void forceStatus(const uint8_t* req, size_t len, int code, uint8_t status,
                     fwkit::Message* m) override;
    uint8_t applyBitTiming(const uint8_t* req, size_t len, bool apply, uint8_t* channel);
    uint8_t applyFilter(int ch, uint8_t op, uint32_t start, uint32_t end, bool apply);

    // Frame packets from the host.
    int writeData(const uint8_t* data, size_t len, unsigned timeoutMs, size_t* taken) override;
    uint8_t parsePacket(const uint8_t* p, size_t body, size_t records,
                        std::vector<Outgoing>* out) const;
    // The acknowledgement becomes readable at `left`, when the packet's frames
    // have left (when it arrived, for a refused packet), plus the ack latency.
    void queueAck(uint8_t status, size_t records, Clock::time_point left);
    int readData(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                 int* transferred) override;

    // Receiving and the stream.
    fwkit::BusChannel& busChannel(int ch) override;
    fwkit::BusCounters& busCounters() override { return counters_; }
    BusTiming timingOf(int ch) const override;
    InjectResult receiveLocked(int ch, const BusFrame& frame, const BusTiming& sender) override;
    bool hearsGenerator(int ch) const override;
    std::string generatorRefusal(int ch, const GeneratorConfig& config) const override;
    size_t streamRead(uint8_t* data, size_t length, Clock::time_point now) override;
    size_t packPackets(uint8_t* buf, size_t cap, size_t maxPackets, Clock::time_point now);
    size_t emitOne(uint8_t* out, size_t room, Clock::time_point now);

    void powerOnLocked(Clock::time_point now) override;
    void wakeLocked() override;
    void clearFamilyFaultsLocked() override;

    // Control.
    const char* helpText() const override;
    std::string infoDetails() const override;
    std::string stateText(int ch) const override;
    std::string countersText() const override;
    std::string faultsText() const override;
    std::optional<std::string> controlUnlocked(const std::vector<std::string>& args) override;
    std::optional<std::string> controlFamilyFault(const std::vector<std::string>& args) override;
    std::string controlInject(const std::vector<std::string>& args) override;
    std::string parseGenFrame(const std::vector<std::string>& args,
                              GeneratorConfig* config) const override;
    std::vector<uint8_t> garbagePattern(size_t n) const override;

    std::vector<Channel> channels_;
    fwkit::ReplyQueue acks_{0};
    bool ackWithheld_ = false;
    uint32_t ackLatencyUs_ = 0;
    FirmwareCounters counters_;
    fwkit::BusAttachment bus_{this};  // last: attaches after the state above, detaches before it
};

}  // namespace ksim::fd
