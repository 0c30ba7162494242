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

#include "fd/fd_firmware.h"
#include "virtual_device.h"

namespace simfd {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<std::string>;

constexpr uint16_t kVidDunlin = 0x3068, kPidDunlin = 0x0009, kVidZaro = 0x0471;
constexpr uint16_t kPid3014 = 0x3014, kPid2014 = 0x2014, kPid2018 = 0x2018, kPid3018 = 0x3018;
// Bit-rate table words: brp 31..22, sjw 21..15, tseg2 14..8, tseg1 7..0, each minus one.
constexpr uint32_t k60_1M = 0x01400106, k60_500k = 0x02C00106, k60_250k = 0x05C00106,
                   k60_2M = 0x00800106, k60_5M = 0x00800001;
constexpr uint32_t k80_1M = 0x00C0030E, k80_500k = 0x01C0030E, k80_2M = 0x00C00106,
                   k80_5M = 0x00400005;

inline void put16(Bytes& b, uint32_t v) {
    b.insert(b.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
}
inline void put32(Bytes& b, uint32_t v) {
    put16(b, v);
    put16(b, v >> 16);
}
inline uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The 24-byte bit-timing request a correct host sends for two table words.
inline Bytes bitTiming(uint8_t ch, uint16_t clock, uint32_t arb, uint32_t data, uint8_t iso = 0,
                       uint8_t fd = 1, uint8_t mode = 0) {
    Bytes b{0x55, 0x03, ch, fd, iso, mode};
    for (uint32_t w : {arb, data}) {
        put16(b, clock);
        put16(b, w >> 22);
        b.push_back((w >> 15) & 0x7F);
        put16(b, w & 0xFF);
        put16(b, (w >> 8) & 0x7F);
    }
    return b;
}
// Start (0x0E) and stop (0x0F) requests, and their replies with a status.
inline Bytes chCmd(uint8_t code, uint8_t ch, uint8_t status = 0x00) {
    return {0x55, code, 0x02, status, static_cast<uint8_t>(ch << 4)};
}
inline Bytes filterCmd(uint8_t op, uint8_t ch, uint32_t start, uint32_t end) {
    Bytes b{0x55, 0x04, 0x0A, op, static_cast<uint8_t>(ch << 4)};
    put32(b, start);
    put32(b, end);
    return b;
}
inline Bytes ack(uint8_t status, uint8_t frames) {
    return {0x55, 0xF2, status, frames};
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
        body.insert(body.end(), {static_cast<uint8_t>(r.ch << 4), r.flags, 0, 0, 0, 0});
        put32(body, r.id);
        body.push_back(r.len);
        Bytes data = r.data;
        data.resize((r.flags & 0x01) ? 64 : 8, 0);
        body.insert(body.end(), data.begin(), data.end());
    }
    Bytes p{0x55, 0xF2, 0, 0};
    put16(p, static_cast<uint32_t>(body.size()));
    p.push_back(static_cast<uint8_t>(records.size()));
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

struct RxRecord {
    uint8_t ch, flags;
    uint32_t timeStamp, id;
    Bytes data;  // as many bytes as the length field says
};

// Strictly parses whole packets; any byte that does not fit fails the test.
inline std::vector<RxRecord> parsePackets(const Bytes& s) {
    std::vector<RxRecord> out;
    for (size_t pos = 0; pos < s.size();) {
        if (s.size() - pos < 7 || s[pos] != 0x55 || s[pos + 1] != 0xF2) {
            ADD_FAILURE() << "no packet header at " << pos;
            return out;
        }
        const size_t end = pos + 7 + (s[pos + 4] | (s[pos + 5] << 8));
        size_t r = pos + 7;
        for (size_t i = 0; i < s[pos + 6]; ++i) {
            const size_t size = (r + 1 < s.size() && (s[r + 1] & 0x01)) ? 75 : 19;
            const uint8_t* p = &s[r];
            if (r + size > s.size() || p[10] > size - 11) {
                ADD_FAILURE() << "record " << i << " of the packet at " << pos << " does not fit";
                return out;
            }
            out.push_back(
                {uint8_t(p[0] >> 4), p[1], le32(p + 2), le32(p + 6), {p + 11, p + 11 + p[10]}});
            r += size;
        }
        EXPECT_EQ(r, end) << "body length disagrees with the records";
        pos = end;
    }
    return out;
}

// A virtual adapter and the transfers a host makes with it.
struct Device {
    Device(uint16_t vid, uint16_t pid, int ordinal)
        : dev(ksim::createVirtualDevice(vid, pid, ordinal)),
          fw(dynamic_cast<ksim::fd::FdFirmware*>(dev.get())) {
        EXPECT_NE(fw, nullptr) << std::hex << vid << ":" << pid;
    }
    std::string ctl(const Words& words) { return dev->control(words); }

    // One message from an IN endpoint; empty on time-out or error.
    Bytes read(uint8_t ep, unsigned timeoutMs, int capacity = 4096) {
        Bytes b(static_cast<size_t>(capacity));
        int n = 0;
        if (dev->transferIn(ep, b.data(), capacity, timeoutMs, &n) != LIBUSB_SUCCESS) {
            return {};
        }
        b.resize(static_cast<size_t>(n));
        return b;
    }
    // Bytes out on 0x01 (a request) or 0x02 (frame packets), and the first
    // reply or acknowledgement on the matching IN endpoint.
    Bytes exchange(uint8_t out, const Bytes& bytes, unsigned timeoutMs = 1000) {
        int n = 0;
        EXPECT_EQ(dev->transferOut(out, bytes.data(), static_cast<int>(bytes.size()), 1000, &n),
                  LIBUSB_SUCCESS);
        return read(static_cast<uint8_t>(out | 0x80), timeoutMs, 64);
    }
    Bytes cmd(const Bytes& request, unsigned ms = 1000) { return exchange(0x01, request, ms); }
    Bytes send(const std::vector<TxRecord>& records) { return exchange(0x02, packet(records)); }

    // Initialises and starts a channel; both replies must report success.
    void up(uint8_t ch, uint16_t clock, uint32_t arb, uint32_t data, uint8_t iso = 0,
            uint8_t fd = 1) {
        ASSERT_EQ(cmd(bitTiming(ch, clock, arb, data, iso, fd)),
                  (Bytes{0x55, 0x03, 0x02, 0x00, ch}));
        ASSERT_EQ(cmd(chCmd(0x0E, ch)), chCmd(0x0E, ch));
    }
    // Reads the stream until `want` records arrived or timeoutMs passed.
    std::vector<RxRecord> collect(size_t want, unsigned timeoutMs) {
        std::vector<RxRecord> all;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (all.size() < want && std::chrono::steady_clock::now() < end) {
            for (const RxRecord& r : parsePackets(read(0x83, 50))) {
                all.push_back(r);
            }
        }
        return all;
    }

    std::unique_ptr<ksim::VirtualDevice> dev;
    ksim::fd::FdFirmware* fw;
};

}  // namespace simfd
