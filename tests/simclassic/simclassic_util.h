// Helpers for driving the virtual classic adapter and recorder firmware the
// way a host does: requests and frame records built from the documented byte
// layouts, and a stream parser written apart from the firmware's encoder.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus/firmware_table.h"
#include "bus/virtual_bus.h"
#include "classic/classic_firmware.h"
#include "record/record_firmware.h"
#include "virtual_device.h"

namespace simcl {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kVid = 0x0471;
constexpr uint16_t kPidClassic = 0x1200;
constexpr uint16_t kPidRecord1 = 0x2601;
constexpr uint16_t kPidRecord2 = 0x2602;

struct Classic {
    std::unique_ptr<ksim::VirtualDevice> dev;
    ksim::classic::ClassicFirmware* fw = nullptr;
};

inline Classic makeClassic(int ordinal) {
    Classic d;
    d.dev = ksim::createVirtualDevice(kVid, kPidClassic, ordinal);
    d.fw = dynamic_cast<ksim::classic::ClassicFirmware*>(d.dev.get());
    return d;
}

struct Recorder {
    std::unique_ptr<ksim::VirtualDevice> dev;
    ksim::record::RecordFirmware* fw = nullptr;
};

inline Recorder makeRecorder(uint16_t pid, int ordinal) {
    Recorder d;
    d.dev = ksim::createVirtualDevice(kVid, pid, ordinal);
    d.fw = dynamic_cast<ksim::record::RecordFirmware*>(d.dev.get());
    return d;
}

// Writes a request on 0x01 and reads its answer on 0x81; empty on time-out.
inline Bytes command(ksim::VirtualDevice& dev, const Bytes& request, unsigned timeoutMs = 1000) {
    int n = 0;
    EXPECT_EQ(dev.transferOut(0x01, request.data(), static_cast<int>(request.size()), 1000, &n),
              LIBUSB_SUCCESS);
    Bytes reply(64);
    if (dev.transferIn(0x81, reply.data(), 64, timeoutMs, &n) != LIBUSB_SUCCESS) {
        return {};
    }
    reply.resize(static_cast<size_t>(n));
    return reply;
}

// Classic adapter requests.
inline Bytes initCmd(uint8_t ch, uint8_t mode, uint8_t t0, uint8_t t1) {
    const uint8_t m = static_cast<uint8_t>((mode ? 0x80 : 0x00) | (ch << 4));
    return {0x12, 0x03, 0x06, 0x00, m, t0, t1, 0x02, 0x57};
}
inline Bytes startCmd(uint8_t ch) {
    return {0x12, 0x0E, 0x02, 0x00, static_cast<uint8_t>(ch << 4)};
}
inline Bytes resetCmd(uint8_t ch) {
    return {0x12, 0x0F, 0x02, 0x00, static_cast<uint8_t>(ch << 4)};
}

// Bus-timing bytes of the classic rate table.
struct Rate {
    uint32_t bitRate;
    uint8_t t0, t1;
};
constexpr Rate k50k{50000, 0x09, 0x1C}, k100k{100000, 0x04, 0x1C}, k125k{125000, 0x03, 0x1C},
    k250k{250000, 0x01, 0x1C}, k500k{500000, 0x00, 0x1C}, k800k{800000, 0x00, 0x16},
    k1M{1000000, 0x00, 0x14};

// Initialises and starts a channel; expects both answers to report success.
inline void bringUp(ksim::VirtualDevice& dev, uint8_t ch, const Rate& r) {
    const Bytes init = command(dev, initCmd(ch, 0, r.t0, r.t1));
    ASSERT_GE(init.size(), 3u);
    ASSERT_EQ(init[2], 0x81 + ch);
    ASSERT_EQ(command(dev, startCmd(ch)),
              (Bytes{0x12, 0x0E, 0x02, 0x00, static_cast<uint8_t>(ch << 4)}));
}

// One 19-byte frame record as the host writes it.
struct Frame {
    uint8_t ch = 0;
    uint32_t id = 0;
    bool ext = false;
    bool rtr = false;
    uint8_t len = 0;
    Bytes data;
    uint32_t timeStamp = 0;
};

inline Bytes hostRecord(const Frame& f) {
    Bytes r(19, 0);
    r[0] = static_cast<uint8_t>(f.timeStamp >> 24);
    r[1] = static_cast<uint8_t>(f.timeStamp >> 16);
    r[2] = static_cast<uint8_t>(f.timeStamp >> 8);
    r[3] = static_cast<uint8_t>(f.timeStamp);
    r[6] = static_cast<uint8_t>((f.ext ? 0x80 : 0) | (f.rtr ? 0x40 : 0) | (f.ch << 4) |
                                (f.len & 0x0F));
    const uint32_t field = f.ext ? f.id << 3 : f.id << 5;
    for (int i = 0; i < 4; ++i) {
        r[static_cast<size_t>(7 + i)] = static_cast<uint8_t>(field >> (8 * i));
    }
    for (size_t i = 0; i < f.data.size() && i < 8; ++i) {
        r[11 + i] = f.data[i];
    }
    return r;
}

inline Bytes records(const std::vector<Frame>& frames) {
    Bytes all;
    for (const Frame& f : frames) {
        const Bytes r = hostRecord(f);
        all.insert(all.end(), r.begin(), r.end());
    }
    return all;
}

inline void writeRecords(ksim::VirtualDevice& dev, const Bytes& bytes) {
    int n = 0;
    ASSERT_EQ(dev.transferOut(0x02, bytes.data(), static_cast<int>(bytes.size()), 1000, &n),
              LIBUSB_SUCCESS);
    ASSERT_EQ(n, static_cast<int>(bytes.size()));
}

// One read of the received stream; empty on time-out.
inline Bytes readStream(ksim::VirtualDevice& dev, unsigned timeoutMs, int capacity = 64) {
    Bytes b(static_cast<size_t>(capacity));
    int n = 0;
    if (dev.transferIn(0x82, b.data(), capacity, timeoutMs, &n) != LIBUSB_SUCCESS) {
        return {};
    }
    b.resize(static_cast<size_t>(n));
    return b;
}

// A received record, decoded field by field.
struct Received {
    uint8_t ch = 0;
    uint32_t micros = 0;  // bytes 0..2
    uint32_t id = 0;
    bool ext = false;
    bool rtr = false;
    uint8_t len = 0;
    Bytes data;  // all 8 data bytes
};

inline uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Strictly parses whole records; any byte that does not fit fails the test.
inline std::vector<Received> parseRecords(const Bytes& s) {
    std::vector<Received> out;
    EXPECT_EQ(s.size() % 19, 0u) << "stream ends inside a record";
    for (size_t p = 0; p + 19 <= s.size(); p += 19) {
        EXPECT_EQ(s[p + 3], 0x01) << "record marker at " << p;
        EXPECT_EQ(s[p + 4], 0x00);
        EXPECT_EQ(s[p + 5], 0x00);
        EXPECT_EQ(s[p + 6] & 0x20, 0) << "channel bit 5 set";
        Received r;
        r.micros = s[p] | (s[p + 1] << 8) | (s[p + 2] << 16);
        r.ext = (s[p + 6] & 0x80) != 0;
        r.rtr = (s[p + 6] & 0x40) != 0;
        r.ch = (s[p + 6] >> 4) & 0x01;
        r.len = s[p + 6] & 0x0F;
        const uint32_t field = le32(&s[p + 7]);
        r.id = r.ext ? field >> 3 : field >> 5;
        EXPECT_EQ(field & (r.ext ? 0x7u : 0x1Fu), 0u) << "unused identifier bits set";
        r.data.assign(s.begin() + static_cast<long>(p + 11), s.begin() + static_cast<long>(p + 19));
        out.push_back(r);
    }
    return out;
}

// Reads the stream (64 bytes at a time) until at least `want` whole records
// arrived or timeoutMs passed.
inline std::vector<Received> collect(ksim::VirtualDevice& dev, size_t want, unsigned timeoutMs) {
    Bytes all;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // A read may end inside a record: keep reading until the record is whole.
    while ((all.size() < want * 19 || all.size() % 19 != 0) &&
           std::chrono::steady_clock::now() < end) {
        const Bytes b = readStream(dev, 50);
        all.insert(all.end(), b.begin(), b.end());
    }
    return parseRecords(all);
}

// FD adapter requests, for the channels shared with FD adapters: bit timing
// from a packed word (brp 31..22, sjw 21..15, tseg2 14..8, tseg1 7..0).
inline Bytes fdBitTiming(uint8_t ch, uint16_t clock, uint32_t word, uint8_t fdFlag) {
    const uint16_t brp = static_cast<uint16_t>(word >> 22);
    const uint8_t sjw = static_cast<uint8_t>((word >> 15) & 0x7F);
    const uint16_t tseg2 = static_cast<uint16_t>((word >> 8) & 0x7F);
    const uint16_t tseg1 = static_cast<uint16_t>(word & 0xFF);
    Bytes b{0x55, 0x03, ch, fdFlag, 0, 0};
    for (int phase = 0; phase < 2; ++phase) {
        for (uint16_t v : {clock, brp}) {
            b.push_back(static_cast<uint8_t>(v));
            b.push_back(static_cast<uint8_t>(v >> 8));
        }
        b.push_back(sjw);
        for (uint16_t v : {tseg1, tseg2}) {
            b.push_back(static_cast<uint8_t>(v));
            b.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    return b;
}
constexpr uint32_t kFd60_500k = 0x02C00106, kFd60_1M = 0x01400106, kFd60_250k = 0x05C00106;

// A one-record FD frame packet: a classic frame, or a CAN FD one (flag 0x01).
inline Bytes fdPacket(uint8_t ch, uint32_t id, const Bytes& data, bool fd = false) {
    Bytes body{static_cast<uint8_t>(ch << 4), static_cast<uint8_t>(fd ? 0x01 : 0x00), 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        body.push_back(static_cast<uint8_t>(id >> (8 * i)));
    }
    body.push_back(static_cast<uint8_t>(data.size()));
    Bytes padded = data;
    padded.resize(fd ? 64 : 8, 0);
    body.insert(body.end(), padded.begin(), padded.end());
    Bytes p{0x55, 0xF2, 0, 0, static_cast<uint8_t>(body.size()), 0, 1};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

// Puts the process-wide wiring back to default after a test that changes it.
struct WiringGuard {
    ~WiringGuard() { ksim::VirtualBus::instance().setWiring(ksim::WiringPlan{}); }
};

}  // namespace simcl
