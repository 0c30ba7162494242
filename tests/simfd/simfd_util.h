// Helpers for driving the virtual FD firmware byte by byte, the way a host
// would: requests built from the documented layouts, and a stream parser
// written independently of the firmware's encoder.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus/virtual_bus.h"
#include "fd/fd_firmware.h"
#include "virtual_device.h"

namespace simfd {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kVidDunlin = 0x3068, kPidDunlin = 0x0009;
constexpr uint16_t kVidZaro = 0x0471;
constexpr uint16_t kPid3014 = 0x3014, kPid2014 = 0x2014, kPid2018 = 0x2018, kPid3018 = 0x3018;

struct Device {
    std::unique_ptr<ksim::VirtualDevice> dev;
    ksim::fd::FdFirmware* fw = nullptr;
};

inline Device makeDevice(uint16_t vid, uint16_t pid, int ordinal) {
    Device d;
    d.dev = ksim::createVirtualDevice(vid, pid, ordinal);
    d.fw = dynamic_cast<ksim::fd::FdFirmware*>(d.dev.get());
    return d;
}

// Writes a request on 0x01 and reads its reply on 0x81; empty on time-out.
inline Bytes command(ksim::VirtualDevice& dev, const Bytes& request, unsigned timeoutMs = 1000) {
    int n = 0;
    EXPECT_EQ(dev.transferOut(0x01, request.data(), static_cast<int>(request.size()), 1000, &n),
              LIBUSB_SUCCESS);
    Bytes reply(64);
    const int rc = dev.transferIn(0x81, reply.data(), 64, timeoutMs, &n);
    if (rc != LIBUSB_SUCCESS) {
        return {};
    }
    reply.resize(static_cast<size_t>(n));
    return reply;
}

// The packed timing word of the bit-rate tables: brp 31..22, sjw 21..15,
// tseg2 14..8, tseg1 7..0 (each value minus one).
struct Word {
    uint32_t w;
    uint16_t brp() const { return static_cast<uint16_t>(w >> 22); }
    uint8_t sjw() const { return static_cast<uint8_t>((w >> 15) & 0x7F); }
    uint16_t tseg2() const { return static_cast<uint16_t>((w >> 8) & 0x7F); }
    uint16_t tseg1() const { return static_cast<uint16_t>(w & 0xFF); }
};

// The 24-byte bit-timing request a correct host sends.
inline Bytes bitTiming(uint8_t ch, uint16_t clock, uint32_t arbWord, uint32_t dataWord,
                       uint8_t iso = 0, uint8_t mode = 0, uint8_t fdFlag = 1) {
    const Word a{arbWord};
    const Word d{dataWord};
    return Bytes{0x55,
                 0x03,
                 ch,
                 fdFlag,
                 iso,
                 mode,
                 static_cast<uint8_t>(clock),
                 static_cast<uint8_t>(clock >> 8),
                 static_cast<uint8_t>(a.brp()),
                 static_cast<uint8_t>(a.brp() >> 8),
                 a.sjw(),
                 static_cast<uint8_t>(a.tseg1()),
                 static_cast<uint8_t>(a.tseg1() >> 8),
                 static_cast<uint8_t>(a.tseg2()),
                 static_cast<uint8_t>(a.tseg2() >> 8),
                 static_cast<uint8_t>(clock),
                 static_cast<uint8_t>(clock >> 8),
                 static_cast<uint8_t>(d.brp()),
                 static_cast<uint8_t>(d.brp() >> 8),
                 d.sjw(),
                 static_cast<uint8_t>(d.tseg1()),
                 static_cast<uint8_t>(d.tseg1() >> 8),
                 static_cast<uint8_t>(d.tseg2()),
                 static_cast<uint8_t>(d.tseg2() >> 8)};
}

inline Bytes startCmd(uint8_t ch) {
    return {0x55, 0x0E, 0x02, 0x00, static_cast<uint8_t>(ch << 4)};
}
inline Bytes stopCmd(uint8_t ch) {
    return {0x55, 0x0F, 0x02, 0x00, static_cast<uint8_t>(ch << 4)};
}
inline Bytes filterCmd(uint8_t op, uint8_t ch, uint32_t start, uint32_t end) {
    Bytes b{0x55, 0x04, 0x0A, op, static_cast<uint8_t>(ch << 4)};
    for (uint32_t v : {start, end}) {
        for (int i = 0; i < 4; ++i) {
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    }
    return b;
}

// Words of the 60 and 80 MHz tables used by most tests.
constexpr uint32_t k60_500k = 0x02C00106, k60_2M = 0x00800106, k60_1M = 0x01400106,
                   k60_250k = 0x05C00106, k60_5M = 0x00800001;
constexpr uint32_t k80_500k = 0x01C0030E, k80_2M = 0x00C00106, k80_1M = 0x00C0030E,
                   k80_5M = 0x00400005;

// Initialises and starts a channel; expects both replies to report success.
inline void bringUp(ksim::VirtualDevice& dev, uint8_t ch, uint16_t clock, uint32_t arbWord,
                    uint32_t dataWord, uint8_t iso = 0, uint8_t fdFlag = 1) {
    const Bytes r = command(dev, bitTiming(ch, clock, arbWord, dataWord, iso, 0, fdFlag));
    ASSERT_EQ(r, (Bytes{0x55, 0x03, 0x02, 0x00, ch}));
    ASSERT_EQ(command(dev, startCmd(ch)),
              (Bytes{0x55, 0x0E, 0x02, 0x00, static_cast<uint8_t>(ch << 4)}));
}

// One record of a host frame packet.
struct TxRecord {
    uint8_t ch = 0;
    uint8_t flags = 0;  // 0x01 FD, 0x02 RTR, 0x04 EXT, 0x10 BRS
    uint32_t id = 0;
    uint8_t len = 0;
    Bytes data;
};

inline Bytes packet(const std::vector<TxRecord>& records) {
    Bytes body;
    for (const TxRecord& r : records) {
        const size_t slot = (r.flags & 0x01) ? 64 : 8;
        body.push_back(static_cast<uint8_t>(r.ch << 4));
        body.push_back(r.flags);
        body.insert(body.end(), 4, 0);
        for (int i = 0; i < 4; ++i) {
            body.push_back(static_cast<uint8_t>(r.id >> (8 * i)));
        }
        body.push_back(r.len);
        Bytes data = r.data;
        data.resize(slot, 0);
        body.insert(body.end(), data.begin(), data.end());
    }
    Bytes p{0x55,
            0xF2,
            0,
            0,
            static_cast<uint8_t>(body.size()),
            static_cast<uint8_t>(body.size() >> 8),
            static_cast<uint8_t>(records.size())};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

// Writes bytes on 0x02 and reads one acknowledgement; empty on time-out.
inline Bytes sendPacket(ksim::VirtualDevice& dev, const Bytes& bytes, unsigned timeoutMs = 1000) {
    int n = 0;
    EXPECT_EQ(dev.transferOut(0x02, bytes.data(), static_cast<int>(bytes.size()), 1000, &n),
              LIBUSB_SUCCESS);
    Bytes ack(64);
    if (dev.transferIn(0x82, ack.data(), 64, timeoutMs, &n) != LIBUSB_SUCCESS) {
        return {};
    }
    ack.resize(static_cast<size_t>(n));
    return ack;
}

// One read of the stream; empty on time-out.
inline Bytes readStream(ksim::VirtualDevice& dev, unsigned timeoutMs, int capacity = 4096) {
    Bytes b(static_cast<size_t>(capacity));
    int n = 0;
    if (dev.transferIn(0x83, b.data(), capacity, timeoutMs, &n) != LIBUSB_SUCCESS) {
        return {};
    }
    b.resize(static_cast<size_t>(n));
    return b;
}

struct RxRecord {
    uint8_t ch = 0;
    uint8_t flags = 0;
    uint32_t timeStamp = 0;
    uint32_t id = 0;
    uint8_t len = 0;
    Bytes data;  // len bytes
};

inline uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Strictly parses whole packets; any byte that does not fit fails the test.
inline std::vector<RxRecord> parsePackets(const Bytes& s) {
    std::vector<RxRecord> out;
    size_t pos = 0;
    while (pos < s.size()) {
        EXPECT_GE(s.size() - pos, 7u);
        if (s.size() - pos < 7) {
            return out;
        }
        EXPECT_EQ(s[pos], 0x55);
        EXPECT_EQ(s[pos + 1], 0xF2);
        const size_t body = s[pos + 4] | (s[pos + 5] << 8);
        const size_t count = s[pos + 6];
        EXPECT_LE(pos + 7 + body, s.size());
        if (pos + 7 + body > s.size()) {
            return out;
        }
        size_t r = pos + 7;
        for (size_t i = 0; i < count; ++i) {
            const size_t size = (s[r + 1] & 0x01) ? 75 : 19;
            EXPECT_LE(r + size, pos + 7 + body);
            RxRecord rec;
            rec.ch = s[r] >> 4;
            rec.flags = s[r + 1];
            rec.timeStamp = le32(&s[r + 2]);
            rec.id = le32(&s[r + 6]);
            rec.len = s[r + 10];
            rec.data.assign(s.begin() + static_cast<long>(r + 11),
                            s.begin() + static_cast<long>(r + 11 + rec.len));
            out.push_back(rec);
            r += size;
        }
        EXPECT_EQ(r, pos + 7 + body) << "body length disagrees with the records";
        pos += 7 + body;
    }
    return out;
}

// Reads the stream until `want` records arrived or timeoutMs passed.
inline std::vector<RxRecord> collect(ksim::VirtualDevice& dev, size_t want, unsigned timeoutMs) {
    std::vector<RxRecord> all;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (all.size() < want && std::chrono::steady_clock::now() < end) {
        const Bytes b = readStream(dev, 50);
        for (const RxRecord& r : parsePackets(b)) {
            all.push_back(r);
        }
    }
    return all;
}

// Puts the process-wide wiring back to default after a test that changes it.
struct WiringGuard {
    ~WiringGuard() { ksim::VirtualBus::instance().setWiring(ksim::WiringPlan{}); }
};

}  // namespace simfd
