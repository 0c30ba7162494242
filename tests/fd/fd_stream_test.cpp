// The FD driver's receive path without an adapter: stream bytes go straight
// into usbRxDataProcess, records come out through receive / receiveFD.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "QErrMgr.h"
#include "drivers/fd/QDeviceDunlinFd2.h"

using namespace dunlinfd;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

Bytes record(bool fd, uint8_t channel, uint32_t id, uint8_t len, uint8_t flags = 0) {
    Bytes r(fd ? kFdRecordSize : kClassicRecordSize, 0);
    r[0] = static_cast<uint8_t>(channel << 4);
    r[1] = static_cast<uint8_t>(flags | (fd ? kRecFlagFd : 0));
    for (int i = 0; i < 4; ++i)
        r[6 + i] = static_cast<uint8_t>(id >> (8 * i));
    r[10] = len;
    for (size_t i = 11; i < r.size(); ++i)
        r[i] = static_cast<uint8_t>(id + i);
    return r;
}

Bytes packet(const std::vector<Bytes>& records) {
    size_t body = 0;
    for (const Bytes& r : records)
        body += r.size();
    Bytes p(kPacketHeaderSize + body);
    p[0] = 0x55;
    p[1] = 0xF2;
    p[2] = 0xAB;  // not examined on receive
    p[3] = 0xCD;
    p[4] = static_cast<uint8_t>(body);
    p[5] = static_cast<uint8_t>(body >> 8);
    p[6] = static_cast<uint8_t>(records.size());
    size_t at = kPacketHeaderSize;
    for (const Bytes& r : records) {
        std::copy(r.begin(), r.end(), p.begin() + static_cast<long>(at));
        at += r.size();
    }
    return p;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& b : parts)
        out.insert(out.end(), b.begin(), b.end());
    return out;
}

void feed(QDeviceDunlinFd2& dev, const Bytes& bytes) {
    dev.usbRxDataProcess(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::vector<uint32_t> classicIds(QDeviceDunlinFd2& dev, uint32_t channel) {
    std::vector<uint32_t> ids;
    _KCAN_CAN_OBJ buf[64];
    int32_t n = 0;
    while ((n = dev.receive(channel, buf, 64, 0)) > 0) {
        for (int32_t i = 0; i < n; ++i)
            ids.push_back(buf[i].id);
    }
    return ids;
}

std::vector<uint32_t> fdIds(QDeviceDunlinFd2& dev, uint32_t channel) {
    std::vector<uint32_t> ids;
    _KCAN_CANFD_OBJ buf[64];
    int32_t n = 0;
    while ((n = dev.receiveFD(channel, buf, 64, 0)) > 0) {
        for (int32_t i = 0; i < n; ++i)
            ids.push_back(buf[i].id);
    }
    return ids;
}

// A stream of three packets: classic + FD mixed in both orders, and a
// channel-9 record that lands on queue 7.
Bytes sampleStream() {
    return concat({packet({record(false, 0, 0x101, 8), record(true, 1, 0x201, 64)}),
                   packet({record(true, 0, 0x202, 12, kRecFlagBrs), record(false, 1, 0x102, 2)}),
                   packet({record(false, 9, 0x103, 1)})});
}

void expectSampleRecords(QDeviceDunlinFd2& dev, const std::string& what) {
    EXPECT_EQ(classicIds(dev, 0), std::vector<uint32_t>{0x101}) << what;
    EXPECT_EQ(classicIds(dev, 1), std::vector<uint32_t>{0x102}) << what;
    EXPECT_EQ(classicIds(dev, 7), std::vector<uint32_t>{0x103}) << what;
    EXPECT_EQ(fdIds(dev, 0), std::vector<uint32_t>{0x202}) << what;
    EXPECT_EQ(fdIds(dev, 1), std::vector<uint32_t>{0x201}) << what;
}

// ---- Reassembly ---------------------------------------------------------------------

TEST(FdStreamReassembly, EverySplitPointYieldsEachRecordOnce) {
    const Bytes stream = sampleStream();
    const size_t firstPacket = kPacketHeaderSize + kClassicRecordSize + kFdRecordSize;
    for (size_t split = 0; split <= stream.size(); ++split) {
        QDeviceDunlinFd2 dev;
        feed(dev, Bytes(stream.begin(), stream.begin() + static_cast<long>(split)));
        // Nothing of a packet cut before its end comes out early.
        if (split < firstPacket) {
            ASSERT_EQ(dev.getReceiveNum(0, 2) + dev.getReceiveNum(1, 2), 0) << split;
        }
        feed(dev, Bytes(stream.begin() + static_cast<long>(split), stream.end()));
        expectSampleRecords(dev, "split at " + std::to_string(split));
        ASSERT_EQ(dev.rxLength(), 0u) << split;
    }
}

TEST(FdStreamReassembly, ByteByByte) {
    const Bytes stream = sampleStream();
    QDeviceDunlinFd2 dev;
    for (uint8_t b : stream)
        dev.usbRxDataProcess(&b, 1);
    expectSampleRecords(dev, "byte by byte");
}

TEST(FdStreamReassembly, GarbageAndFalseHeadersAreSkipped) {
    const struct {
        const char* what;
        Bytes prefix;
    } cases[] = {
        {"random bytes", {0x00, 0x13, 0x55, 0x37, 0xF2, 0xFF}},
        {"zero body length header", {0x55, 0xF2, 0x00, 0x00, 0x00, 0x00, 0x01}},
        {"lone magic bytes", {0x55, 0x55, 0xF2}},
        {"oversize header", {0x55, 0xF2, 0x00, 0x00, 0xFA, 0x0F, 0x05}},  // body 4090
        {"largest body", {0x55, 0xF2, 0x00, 0x00, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        QDeviceDunlinFd2 dev;
        feed(dev, concat({c.prefix, sampleStream()}));
        expectSampleRecords(dev, c.what);
        EXPECT_EQ(dev.rxLength(), 0u) << c.what;
    }
}

TEST(FdStreamReassembly, LargestBodyThatFitsStillCompletes) {
    // A body of 4089 bytes fills the buffer exactly: 215 classic records
    // (4085 bytes) and 4 bytes of padding.
    std::vector<Bytes> records;
    for (uint32_t i = 0; i < 215; ++i)
        records.push_back(record(false, 2, i, 8));
    Bytes p = packet(records);
    p.insert(p.end(), 4, 0);
    p[4] = static_cast<uint8_t>(kMaxBodyLength);
    p[5] = static_cast<uint8_t>(kMaxBodyLength >> 8);
    ASSERT_EQ(p.size(), kRxBufferSize);
    QDeviceDunlinFd2 dev;
    feed(dev, concat({p, packet({record(false, 3, 0x999, 1)})}));
    EXPECT_EQ(classicIds(dev, 2).size(), 215u);
    EXPECT_EQ(classicIds(dev, 3), std::vector<uint32_t>{0x999});
}

TEST(FdStreamReassembly, CappedLengthKeepsRecordSize) {
    QDeviceDunlinFd2 dev;
    feed(dev, packet({record(false, 0, 0x1, 12), record(false, 0, 0x2, 3)}));
    _KCAN_CAN_OBJ buf[4];
    ASSERT_EQ(dev.receive(0, buf, 4, 0), 2);
    EXPECT_EQ(buf[0].len, 8);
    EXPECT_EQ(buf[1].id, 0x2u);
    EXPECT_EQ(buf[1].len, 3);
}

TEST(FdStreamReassembly, StreamLongerThanTheBuffer) {
    Bytes stream;
    std::vector<uint32_t> expected;
    for (uint32_t i = 0; i < 300; ++i) {
        stream = concat({stream, packet({record(true, 4, i, 16)})});
        expected.push_back(i);
    }
    ASSERT_GT(stream.size(), 2 * kRxBufferSize);
    QDeviceDunlinFd2 dev;
    feed(dev, stream);
    EXPECT_EQ(fdIds(dev, 4), expected) << "in order, none lost";
}

TEST(FdStreamReassembly, ClearDropsHalfReceivedPacketOfEveryChannel) {
    Bytes p = packet({record(false, 5, 0x55, 8)});
    QDeviceDunlinFd2 dev;
    feed(dev, packet({record(false, 1, 0x11, 1)}));
    feed(dev, Bytes(p.begin(), p.begin() + 10));
    EXPECT_EQ(dev.rxLength(), 10u);
    EXPECT_EQ(dev.clearBuffer(0), 1) << "clearing channel 0";
    EXPECT_EQ(dev.rxLength(), 0u);
    feed(dev, Bytes(p.begin() + 10, p.end()));
    EXPECT_TRUE(classicIds(dev, 5).empty()) << "the tail alone is no packet";
    EXPECT_EQ(classicIds(dev, 1), std::vector<uint32_t>{0x11}) << "other queues stay";
}

// ---- Queues -----------------------------------------------------------------------------

TEST(FdReceiveQueues, CountsClearAndChannelMapping) {
    QDeviceDunlinFd2 dev;
    feed(dev, packet({record(false, 3, 1, 0), record(false, 3, 2, 0), record(true, 3, 3, 0)}));
    EXPECT_EQ(dev.getReceiveNum(3, 0), 2);
    EXPECT_EQ(dev.getReceiveNum(3, 1), 1);
    EXPECT_EQ(dev.getReceiveNum(3, 2), 3);
    EXPECT_EQ(dev.getReceiveNum(3, 3), 0);

    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
    EXPECT_EQ(dev.getReceiveNum(8, 0), 0);
    EXPECT_EQ(QErrInfoMgr::getinstance()->getLastError(), KCAN_ERR_PARAMETER);

    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
    EXPECT_EQ(dev.clearBuffer(8), 0);
    EXPECT_EQ(QErrInfoMgr::getinstance()->getLastError(), KCAN_ERR_PARAMETER);

    EXPECT_EQ(dev.stop(3), 1) << "stop of a channel never initialised empties its queues";
    EXPECT_EQ(dev.getReceiveNum(3, 2), 0);

    feed(dev, packet({record(false, 12, 0x77, 0)}));
    _KCAN_CAN_OBJ buf[2];
    ASSERT_EQ(dev.receive(12, buf, 2, 0), 1) << "channel 12 reads channel 7's queue";
    EXPECT_EQ(buf[0].id, 0x77u);
}

TEST(FdReceiveQueues, ReturnsWhatIsQueuedUpToMaxCount) {
    QDeviceDunlinFd2 dev;
    feed(dev, packet({record(false, 0, 1, 0), record(false, 0, 2, 0), record(false, 0, 3, 0)}));
    _KCAN_CAN_OBJ buf[10];
    auto t0 = Clock::now();
    EXPECT_EQ(dev.receive(0, buf, 10, 5000), 3);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2)) << "no wait with records queued";

    feed(dev, packet({record(false, 0, 4, 0), record(false, 0, 5, 0), record(false, 0, 6, 0)}));
    EXPECT_EQ(dev.receive(0, buf, 2, 0), 2);
    EXPECT_EQ(buf[1].id, 5u);
    EXPECT_EQ(dev.receive(0, buf, 2, 0), 1);
    EXPECT_EQ(buf[0].id, 6u);
}

TEST(FdReceiveQueues, ZeroMaxCountOrNullBufferIsAParameterError) {
    QDeviceDunlinFd2 dev;
    feed(dev, packet({record(false, 0, 1, 0), record(true, 0, 2, 0)}));
    _KCAN_CAN_OBJ buf[1];
    _KCAN_CANFD_OBJ fdbuf[1];
    const struct {
        const char* what;
        std::function<int32_t()> call;
    } cases[] = {
        {"receive maxCount 0 wait -1", [&] { return dev.receive(0, buf, 0, -1); }},
        {"receiveFD maxCount 0 wait -1", [&] { return dev.receiveFD(0, fdbuf, 0, -1); }},
        {"receive null buffer", [&] { return dev.receive(0, nullptr, 1, 0); }},
        {"receiveFD null buffer", [&] { return dev.receiveFD(0, nullptr, 1, 0); }},
    };
    for (const auto& c : cases) {
        QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
        EXPECT_EQ(c.call(), 0) << c.what;
        EXPECT_EQ(QErrInfoMgr::getinstance()->getLastError(), KCAN_ERR_PARAMETER) << c.what;
    }
    EXPECT_EQ(dev.getReceiveNum(0, 2), 2) << "nothing was taken";
}

// ---- Waiting ------------------------------------------------------------------------------

TEST(FdReceiveWait, ZeroWaitPollsOnce) {
    QDeviceDunlinFd2 dev;
    _KCAN_CANFD_OBJ buf[4];
    auto t0 = Clock::now();
    EXPECT_EQ(dev.receiveFD(0, buf, 4, 0), 0);
    EXPECT_EQ(dev.receiveFD(0, buf, 4, -2), 0) << "other negative waits poll once";
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
}

TEST(FdReceiveWait, TimedWaitReturnsZeroAfterTheWait) {
    QDeviceDunlinFd2 dev;
    _KCAN_CAN_OBJ buf[4];
    auto t0 = Clock::now();
    EXPECT_EQ(dev.receive(0, buf, 4, 100), 0);
    auto elapsed = Clock::now() - t0;
    EXPECT_GE(elapsed, std::chrono::milliseconds(100));
    EXPECT_LT(elapsed, std::chrono::seconds(3));
}

// A reader blocked with `waitMs` is woken by the worker's append; frames for
// another channel or kind do not end its wait.
void expectWokenByFrame(int32_t waitMs) {
    QDeviceDunlinFd2 dev;
    std::atomic<int32_t> got{-1};
    std::atomic<bool> started{false};
    _KCAN_CANFD_OBJ buf[4];
    std::thread reader([&] {
        started = true;
        got = dev.receiveFD(2, buf, 4, waitMs);
    });
    while (!started)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    feed(dev, packet({record(false, 2, 0x1, 0), record(true, 3, 0x2, 0)}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(got.load(), -1) << "a classic frame or another channel does not end the wait";
    auto t0 = Clock::now();
    feed(dev, packet({record(true, 2, 0x3, 5)}));
    reader.join();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
    EXPECT_EQ(got.load(), 1);
    EXPECT_EQ(buf[0].id, 0x3u);
}

TEST(FdReceiveWait, UnlimitedWaitIsWokenByAFrame) {
    expectWokenByFrame(-1);
}

TEST(FdReceiveWait, LongTimedWaitEndsAtTheFirstFrame) {
    expectWokenByFrame(60000);
}

TEST(FdReceiveWait, ManyReadersOneChannelEach) {
    QDeviceDunlinFd2 dev;
    std::atomic<int> total{0};
    std::vector<std::thread> readers;
    for (uint32_t ch = 0; ch < kMaxChannels; ++ch) {
        readers.emplace_back([&, ch] {
            _KCAN_CAN_OBJ buf[8];
            int n = 0;
            while (n < 3)
                n += dev.receive(ch, buf, 8, -1);
            total += n;
        });
    }
    for (int round = 0; round < 3; ++round) {
        std::vector<Bytes> records;
        for (uint8_t ch = 0; ch < kMaxChannels; ++ch)
            records.push_back(record(false, ch, ch, 0));
        feed(dev, packet(records));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(total.load(), 24);
}

// Clearing from an application thread while the stream is being fed never
// corrupts the reassembly: afterwards a fresh packet is decoded whole.
TEST(FdReceiveWait, ClearRacingTheStream) {
    QDeviceDunlinFd2 dev;
    std::atomic<bool> stop{false};
    Bytes p = packet({record(true, 1, 0xABC, 64), record(false, 1, 0xDEF, 8)});
    std::thread feeder([&] {
        while (!stop) {
            for (size_t i = 0; i < p.size(); i += 37) {
                size_t n = std::min<size_t>(37, p.size() - i);
                dev.usbRxDataProcess(p.data() + i, static_cast<uint32_t>(n));
            }
        }
    });
    for (int i = 0; i < 2000; ++i)
        dev.clearBuffer(static_cast<uint32_t>(i % 8));
    stop = true;
    feeder.join();
    dev.clearBuffer(1);
    feed(dev, p);
    _KCAN_CANFD_OBJ fd[4];
    _KCAN_CAN_OBJ cl[4];
    ASSERT_EQ(dev.receiveFD(1, fd, 4, 0), 1);
    EXPECT_EQ(fd[0].id, 0xABCu);
    EXPECT_EQ(fd[0].len, 64);
    ASSERT_EQ(dev.receive(1, cl, 4, 0), 1);
    EXPECT_EQ(cl[0].id, 0xDEFu);
}

}  // namespace
