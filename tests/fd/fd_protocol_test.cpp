// FD wire codecs (commands, frame packets, received records; the timing tables
// are checked through channel init) and the driver's receive path without an
// adapter: stream bytes into usbRxDataProcess, records out of receive(FD).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <numeric>
#include <thread>
#include <vector>

#include "QErrMgr.h"
#include "drivers/fd/QDeviceDunlinFd2.h"
#include "drivers/fd/fd_protocol.h"
#include "platform/le_bytes.h"

using namespace dunlinfd;
using Bytes = std::vector<uint8_t>;
using Ids = std::vector<uint32_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

Bytes span(const uint8_t* p, size_t n) {
    return Bytes(p, p + n);
}

TEST(FdProtocol, CommandBytes) {
    // Timing words go out field by field, as stored (each value minus one).
    const BitTimingRequest timing{7, 1, 5, 60, 80, 0xFFFFFFFF, 0x00008000};
    uint8_t out[kBitTimingCmdSize];
    ASSERT_EQ(buildBitTimingCommand(timing, out), kBitTimingCmdSize);
    EXPECT_EQ(span(out, sizeof out),
              (Bytes{0x55, 0x03, 0x07, 0x01, 0x01, 0x05, 0x3C, 0x00, 0xFF, 0x03, 0x7F, 0xFF,
                     0x00, 0x7F, 0x00, 0x50, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(buildBitTimingCommand(timing, std::span<uint8_t>(out, 23)), 0u);

    ASSERT_EQ(buildQueryCommand(kCmdChannelCount, out), 4u);
    EXPECT_EQ(span(out, 4), (Bytes{0x55, 0x13, 0x01, 0x01}));
    EXPECT_EQ(buildQueryCommand(kCmdChannelCount, std::span<uint8_t>(out, 3)), 0u);
    ASSERT_EQ(buildChannelCommand(kCmdStop, 7, out), 5u);
    EXPECT_EQ(span(out, 5), (Bytes{0x55, 0x0F, 0x02, 0x00, 0x70}));
    EXPECT_EQ(buildChannelCommand(kCmdStop, 7, std::span<uint8_t>(out, 4)), 0u);
    ASSERT_EQ(buildFilterCommand(kFilterOpStandardRange, 1, 0x100, 0x1FF, out), 13u);
    EXPECT_EQ(span(out, 13), (Bytes{0x55, 0x04, 0x0A, 0x02, 0x10, 0x00, 0x01, 0x00, 0x00, 0xFF,
                                    0x01, 0x00, 0x00}));
    EXPECT_EQ(buildFilterCommand(kFilterOpEnable, 0, 0, 0, std::span<uint8_t>(out, 12)), 0u);

    // The direct transfer carries the first 62 payload bytes, unpadded.
    uint8_t payload[100];
    std::iota(payload, payload + 100, 1);
    uint8_t direct[kDirectCmdSize];
    ASSERT_EQ(buildDirectTransfer(payload, sizeof payload, direct), 64u);
    EXPECT_EQ(span(direct, 3), (Bytes{0x12, 0xA7, 0x01}));
    EXPECT_EQ(span(direct + 2, 62), span(payload, 62));
    EXPECT_EQ(buildDirectTransfer(payload, 3, direct), 5u);
}

TEST(FdProtocol, ReplyMatchingAndVersionWord) {
    const uint8_t req[] = {0x55, 0x0E, 0x02, 0x00, 0x30};
    const std::pair<Bytes, bool> cases[] = {
        {{0x55, 0x0E, 0x00}, true},
        {{0x55, 0x0E}, false},  // two bytes never match
        {{0x55, 0x0F, 0x00, 0x00}, false},
        {{0xAA, 0x0E, 0x00}, false},
    };
    for (const auto& [reply, matches] : cases)
        EXPECT_EQ(replyMatches(req, reply), matches) << reply.size();
    uint16_t word = 0;
    const uint8_t version[] = {0x55, 0x01, 0x00, 0x00, 0x01, 0x17};
    EXPECT_TRUE(replyVersionWord(version, &word) && word == 0x0117) << "big-endian";
    EXPECT_FALSE(replyVersionWord(std::span<const uint8_t>(version, 5), &word));
    EXPECT_TRUE(isFdFamilyType(41) && isFdFamilyType(67) && !isFdFamilyType(63));
}

// One frame's record: channel nibble and transmit option, flags, zero time
// stamp, masked identifier and length; data beyond the length is zero.
TEST(FdProtocol, PacketOfOneFrame) {
    const struct {
        bool fd;
        uint32_t channel, id;
        uint8_t len, rtr, ext, frameFlags, txOption;
        uint8_t byte0, flags;
        uint32_t wireId;
        uint8_t wireLen;
    } cases[] = {
        {false, 2, 0x123, 3, 0, 0, 0, 0xF5, 0x25, 0x00, 0x123, 3},  // option: low nibble
        {false, 0, 0x7FF, 8, 1, 0, 0, 0, 0x00, 0x02, 0x7FF, 0},     // remote: length 0
        {false, 1, 0xFFFFFFFF, 8, 0, 1, 0, 0, 0x10, 0x04, 0x1FFFFFFF, 8},
        {false, 15, 0x1234, 2, 1, 1, 0, 0, 0xF0, 0x06, 0x1234, 0},
        {false, 17, 1, 1, 0, 0, 0x18, 0, 0x10, 0x00, 1, 1},  // channel modulo 16
        {true, 3, 0x10, 64, 0, 0, KCAN_FRAME_FLAG_BRS, 0, 0x30, 0x11, 0x10, 64},
        {true, 0, 0x10, 12, 0, 0, 0x18, 0, 0x00, 0x19, 0x10, 12},
        {true, 0, 0x10, 12, 0, 0, KCAN_FRAME_FLAG_EXTRA, 0, 0x00, 0x09, 0x10, 12},
        {true, 7, 0xFFFFFFFF, 9, 1, 1, 0, 0, 0x70, 0x07, 0x1FFFFFFF, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        _KCAN_CANFD_OBJ fd{};
        _KCAN_CAN_OBJ classic{};
        auto fill = [&c](auto& f) {
            f.id = c.id;
            f.len = c.len;
            f.rtr = c.rtr;
            f.ext = c.ext;
            f.frameFlags = c.frameFlags;
            f.txOption = c.txOption;
            for (size_t i = 0; i < sizeof f.data; ++i)
                f.data[i] = static_cast<uint8_t>(0xA0 + i);
        };
        fill(fd);
        fill(classic);
        uint8_t out[kMaxFdPacket];
        const size_t n = c.fd ? encodeFdPacket(c.channel, &fd, 1, out)
                              : encodeClassicPacket(c.channel, &classic, 1, out);
        const size_t slot = c.fd ? kFdDataSlot : kClassicDataSlot;
        ASSERT_EQ(n, kPacketHeaderSize + 11 + slot);
        Bytes expected = {0x55, 0xF2, 0, 0, static_cast<uint8_t>(11 + slot), 0, 1, c.byte0, c.flags,
                          0,    0,    0, 0};  // header, record head, time stamp
        for (int i = 0; i < 4; ++i)
            expected.push_back(static_cast<uint8_t>(c.wireId >> (8 * i)));
        expected.push_back(c.wireLen);
        expected.resize(n, 0);
        memcpy(expected.data() + kPacketHeaderSize + 11, fd.data, c.wireLen);
        EXPECT_EQ(span(out, n), expected);
    }
}

TEST(FdProtocol, TenFramesAtMostInAPacket) {
    _KCAN_CAN_OBJ frames[11] = {};
    _KCAN_CANFD_OBJ fds[11] = {};
    uint8_t out[kMaxFdPacket];
    EXPECT_EQ(encodeClassicPacket(0, frames, 10, out), kMaxClassicPacket);
    EXPECT_EQ(span(out + 4, 3), (Bytes{190, 0, 10}));
    EXPECT_EQ(encodeClassicPacket(0, frames, 11, out), 0u);
    EXPECT_EQ(encodeClassicPacket(0, frames, 0, out), 0u);
    EXPECT_EQ(encodeClassicPacket(0, frames, 1, std::span<uint8_t>(out, 25)), 0u);
    EXPECT_EQ(encodeFdPacket(0, fds, 10, out), kMaxFdPacket);
    EXPECT_EQ(encodeFdPacket(0, fds, 11, out), 0u);
    EXPECT_EQ(encodeFdPacket(0, fds, 10, std::span<uint8_t>(out, kMaxFdPacket - 1)), 0u);
}

// A received record: channel in the high nibble of byte 0, flags, time stamp,
// identifier and length; the data slot after them.
Bytes record(bool fd, uint8_t byte0, uint32_t id, uint8_t len, uint8_t flags = 0,
             uint32_t stamp = 0) {
    Bytes r(fd ? kFdRecordSize : kClassicRecordSize, 0);
    r[0] = byte0;
    r[1] = static_cast<uint8_t>(flags | (fd ? kRecFlagFd : 0));
    for (int i = 0; i < 4; ++i) {
        r[2 + i] = static_cast<uint8_t>(stamp >> (8 * i));
        r[6 + i] = static_cast<uint8_t>(id >> (8 * i));
    }
    r[10] = len;
    for (size_t i = 11; i < r.size(); ++i)
        r[i] = static_cast<uint8_t>(i);
    return r;
}

TEST(FdProtocol, ReceivedRecords) {
    const struct {
        Bytes rec;
        uint32_t queue, id, stamp;
        uint8_t rtr, ext, len, frameFlags;
    } cases[] = {
        {record(false, 0x00, 0x123, 8, 0, 0x11223344), 0, 0x123, 0x11223344, 0, 0, 8, 0},
        {record(false, 0x10, 0x1, 12), 1, 0x1, 0, 0, 0, 8, 0},  // length capped
        {record(false, 0x2F, 0x1ABCDEF, 0, 0x06, 5), 2, 0x1ABCDEF, 5, 1, 1, 0, 0},
        {record(false, 0x90, 0x7, 1, 0x18), 7, 0x7, 0, 0, 0, 1, 0},  // channel 9: queue 7
        {record(false, 0xF0, 0xFFFFFFFF, 0), 7, 0x1FFFFFFF, 0, 0, 0, 0, 0},
        {record(true, 0x30, 1, 64, kRecFlagBrs), 3, 1, 0, 0, 0, 64, KCAN_FRAME_FLAG_BRS},
        {record(true, 0x30, 1, 20, kRecFlagExtra | 0x06, 9), 3, 1, 9, 1, 1, 20, 0},
        {record(true, 0x90, 1, 200), 7, 1, 0, 0, 0, 64, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        auto check = [&c](const auto& f, size_t slot) {
            EXPECT_EQ(f.id, c.id);
            EXPECT_EQ(f.timeStamp, c.stamp);
            EXPECT_EQ(f.rtr, c.rtr);
            EXPECT_EQ(f.ext, c.ext);
            EXPECT_EQ(f.len, c.len);
            EXPECT_EQ(f.frameFlags, c.frameFlags);
            Bytes data(slot, 0);
            memcpy(data.data(), c.rec.data() + 11, c.len);
            EXPECT_EQ(span(f.data, slot), data) << "zero beyond the length";
        };
        uint32_t queue = 99;
        if (c.rec.size() == kFdRecordSize) {
            _KCAN_CANFD_OBJ f;
            memset(&f, 0xEE, sizeof f);
            ASSERT_TRUE(decodeFdRecord(c.rec, &f, &queue));
            check(f, kFdDataSlot);
        } else {
            _KCAN_CAN_OBJ f;
            memset(&f, 0xEE, sizeof f);
            ASSERT_TRUE(decodeClassicRecord(c.rec, &f, &queue));
            check(f, kClassicDataSlot);
        }
        EXPECT_EQ(queue, c.queue);
    }
    _KCAN_CAN_OBJ out{};
    uint32_t queue = 0;
    const Bytes shortRec = record(false, 0, 1, 1);
    EXPECT_FALSE(decodeClassicRecord({shortRec.data(), shortRec.size() - 1}, &out, &queue));
}

// A packet of records of the given kinds ('C' classic, 'F' FD) on `channel`,
// identifiers counting up from `firstId`.
Bytes packet(const char* kinds, uint8_t channel, uint32_t firstId) {
    // Bytes 2..3 are not examined on receive.
    Bytes p = {0x55, 0xF2, 0xAB, 0xCD, 0, 0, static_cast<uint8_t>(strlen(kinds))};
    for (const char* k = kinds; *k != '\0'; ++k) {
        const Bytes r = record(*k == 'F', static_cast<uint8_t>(channel << 4), firstId++, 8);
        p.resize(p.size() + r.size());
        std::copy(r.begin(), r.end(), p.end() - static_cast<long>(r.size()));
    }
    put_le16(&p[4], static_cast<uint16_t>(p.size() - kPacketHeaderSize));
    return p;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void feed(QDeviceDunlinFd2& dev, const Bytes& bytes) {
    dev.usbRxDataProcess(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// The identifiers queued for a channel, in order, emptying the queue.
Ids ids(QDeviceDunlinFd2& dev, uint32_t channel, bool fd) {
    Ids out;
    _KCAN_CAN_OBJ classic[64];
    _KCAN_CANFD_OBJ canfd[64];
    for (int32_t n = 1; n > 0;) {
        n = fd ? dev.receiveFD(channel, canfd, 64, 0) : dev.receive(channel, classic, 64, 0);
        for (int32_t i = 0; i < n; ++i)
            out.push_back(fd ? canfd[i].id : classic[i].id);
    }
    return out;
}

// Classic and FD records mixed in both orders, and a channel-9 record that
// lands on queue 7.
const Bytes kSample = packet("CF", 0, 0x100) + packet("FC", 1, 0x200) + packet("C", 9, 0x300);

void expectSample(QDeviceDunlinFd2& dev) {
    EXPECT_EQ(ids(dev, 0, false), Ids{0x100});
    EXPECT_EQ(ids(dev, 0, true), Ids{0x101});
    EXPECT_EQ(ids(dev, 1, true), Ids{0x200});
    EXPECT_EQ(ids(dev, 1, false), Ids{0x201});
    EXPECT_EQ(ids(dev, 7, false), Ids{0x300});
    EXPECT_EQ(dev.rxLength(), 0u);
}

TEST(FdReceivePath, EverySplitPointYieldsEachRecordOnce) {
    const size_t firstPacket = kPacketHeaderSize + kClassicRecordSize + kFdRecordSize;
    for (size_t split = 0; split <= kSample.size(); ++split) {
        SCOPED_TRACE(split);
        QDeviceDunlinFd2 dev;
        feed(dev, Bytes(kSample.begin(), kSample.begin() + static_cast<long>(split)));
        if (split < firstPacket) {
            ASSERT_EQ(dev.getReceiveNum(0, 2), 0) << "nothing before its packet is whole";
        }
        feed(dev, Bytes(kSample.begin() + static_cast<long>(split), kSample.end()));
        expectSample(dev);
    }
    QDeviceDunlinFd2 dev;
    for (uint8_t b : kSample)
        dev.usbRxDataProcess(&b, 1);
    expectSample(dev);
}

TEST(FdReceivePath, GarbageAndFalseHeadersAreSkipped) {
    const Bytes prefixes[] = {
        {0x00, 0x13, 0x55, 0x37, 0xF2, 0xFF},
        {0x55, 0xF2, 0x00, 0x00, 0x00, 0x00, 0x01},  // body length 0
        {0x55, 0x55, 0xF2},
        {0x55, 0xF2, 0x00, 0x00, 0xFA, 0x0F, 0x05},  // body 4090: can never fit
        {0x55, 0xF2, 0x00, 0x00, 0xFF, 0xFF, 0xFF},
    };
    for (const Bytes& prefix : prefixes) {
        SCOPED_TRACE(&prefix - prefixes);
        QDeviceDunlinFd2 dev;
        feed(dev, prefix + kSample);
        expectSample(dev);
    }
}

TEST(FdReceivePath, LargestBodyThatFitsAndStreamsLongerThanTheBuffer) {
    // A body of 4089 bytes fills the buffer exactly: 215 classic records
    // (4085 bytes) and 4 bytes of padding.
    Bytes p = packet(std::string(215, 'C').c_str(), 2, 0) + Bytes(4, 0);
    p[4] = static_cast<uint8_t>(kMaxBodyLength);
    p[5] = static_cast<uint8_t>(kMaxBodyLength >> 8);
    ASSERT_EQ(p.size(), kRxBufferSize);
    QDeviceDunlinFd2 dev;
    feed(dev, p + packet("C", 3, 0x999));
    EXPECT_EQ(ids(dev, 2, false).size(), 215u);
    EXPECT_EQ(ids(dev, 3, false), Ids{0x999});

    Bytes stream;
    Ids expected;
    for (uint32_t i = 0; i < 300; ++i) {
        stream = stream + packet("F", 4, i);
        expected.push_back(i);
    }
    ASSERT_GT(stream.size(), 2 * kRxBufferSize);
    feed(dev, stream);
    EXPECT_EQ(ids(dev, 4, true), expected) << "in order, none lost";
}

TEST(FdReceivePath, ClearDropsHalfReceivedPacketOfEveryChannel) {
    const Bytes p = packet("C", 5, 0x55);
    QDeviceDunlinFd2 dev;
    feed(dev, packet("C", 1, 0x11) + Bytes(p.begin(), p.begin() + 10));
    EXPECT_EQ(dev.rxLength(), 10u);
    EXPECT_EQ(dev.clearBuffer(0), 1) << "clearing channel 0";
    EXPECT_EQ(dev.rxLength(), 0u);
    feed(dev, Bytes(p.begin() + 10, p.end()));
    EXPECT_TRUE(ids(dev, 5, false).empty()) << "the tail alone is no packet";
    EXPECT_EQ(ids(dev, 1, false), Ids{0x11}) << "other queues stay";
}

TEST(FdReceivePath, CountsClearAndChannelMapping) {
    QDeviceDunlinFd2 dev;
    feed(dev, packet("CCF", 3, 1) + packet("C", 12, 0x77));
    const int32_t waiting[] = {2, 1, 3, 0};  // kinds: classic, FD, both, none
    for (uint8_t kind = 0; kind < 4; ++kind)
        EXPECT_EQ(dev.getReceiveNum(3, kind), waiting[kind]) << int(kind);
    EXPECT_EQ(dev.stop(3), 1) << "stop of a channel never initialised empties its queues";
    EXPECT_EQ(dev.getReceiveNum(3, 2), 0);
    EXPECT_EQ(ids(dev, 12, false), Ids{0x77}) << "channel 12 reads channel 7's queue";

    feed(dev, packet("CF", 0, 1));
    _KCAN_CAN_OBJ buf[1];
    _KCAN_CANFD_OBJ fdbuf[1];
    const std::function<int32_t()> refused[] = {
        [&] { return dev.getReceiveNum(8, 0); },
        [&] { return dev.clearBuffer(8); },
        [&] { return dev.receive(0, buf, 0, -1); },
        [&] { return dev.receiveFD(0, fdbuf, 0, -1); },
        [&] { return dev.receive(0, nullptr, 1, 0); },
        [&] { return dev.receiveFD(0, nullptr, 1, 0); },
    };
    for (const auto& call : refused) {
        QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
        EXPECT_EQ(call(), 0) << &call - refused;
        EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_PARAMETER) << &call - refused;
    }
    EXPECT_EQ(dev.getReceiveNum(0, 2), 2) << "nothing was taken";
}

TEST(FdReceivePath, ReturnsWhatIsQueuedUpToMaxCountOrWaits) {
    QDeviceDunlinFd2 dev;
    feed(dev, packet("CCC", 0, 1));
    _KCAN_CAN_OBJ buf[10];
    auto t0 = Clock::now();
    EXPECT_EQ(dev.receive(0, buf, 10, 5000), 3);
    EXPECT_LT(Clock::now() - t0, 2s) << "no wait with records queued";
    feed(dev, packet("CCC", 0, 4));
    EXPECT_EQ(dev.receive(0, buf, 2, 0), 2);
    EXPECT_EQ(buf[1].id, 5u);
    EXPECT_EQ(dev.receive(0, buf, 2, 0), 1);
    EXPECT_EQ(buf[0].id, 6u);

    // With nothing queued: 0 and negative waits other than -1 poll once, a
    // timed wait returns 0 after its time.
    t0 = Clock::now();
    EXPECT_EQ(dev.receive(0, buf, 4, 0), 0);
    EXPECT_EQ(dev.receive(0, buf, 4, -2), 0);
    EXPECT_LT(Clock::now() - t0, 500ms);
    EXPECT_EQ(dev.receive(0, buf, 4, 100), 0);
    EXPECT_GE(Clock::now() - t0, 100ms);
    EXPECT_LT(Clock::now() - t0, 3s);
}

// A blocked reader is woken by the worker's append; frames for another
// channel or kind do not end its wait.
TEST(FdReceivePath, WaitEndsAtTheFirstFrameOfItsChannelAndKind) {
    for (int32_t waitMs : {-1, 60000}) {
        SCOPED_TRACE(waitMs);
        QDeviceDunlinFd2 dev;
        std::atomic<int32_t> got{-1};
        _KCAN_CANFD_OBJ buf[4];
        std::thread reader([&] { got = dev.receiveFD(2, buf, 4, waitMs); });
        std::this_thread::sleep_for(100ms);
        feed(dev, packet("C", 2, 0x1) + packet("F", 3, 0x2));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(got.load(), -1) << "a classic frame or another channel does not end the wait";
        const auto t0 = Clock::now();
        feed(dev, packet("F", 2, 0x3));
        reader.join();
        EXPECT_LT(Clock::now() - t0, 3s);
        EXPECT_EQ(got.load(), 1);
        EXPECT_EQ(buf[0].id, 0x3u);
    }
}

// Clearing from an application thread while the stream is being fed never
// corrupts the reassembly: afterwards a fresh packet is decoded whole.
TEST(FdReceivePath, ClearRacingTheStream) {
    QDeviceDunlinFd2 dev;
    std::atomic<bool> stop{false};
    const Bytes p = packet("FC", 1, 0xABC);
    std::thread feeder([&] {
        while (!stop) {
            for (size_t i = 0; i < p.size(); i += 37) {
                dev.usbRxDataProcess(p.data() + i,
                                     static_cast<uint32_t>(std::min<size_t>(37, p.size() - i)));
            }
        }
    });
    for (int i = 0; i < 2000; ++i)
        dev.clearBuffer(static_cast<uint32_t>(i % 8));
    stop = true;
    feeder.join();
    dev.clearBuffer(1);
    feed(dev, p);
    EXPECT_EQ(ids(dev, 1, true), Ids{0xABC});
    EXPECT_EQ(ids(dev, 1, false), Ids{0xABD});
}

}  // namespace
