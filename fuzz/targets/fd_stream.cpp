// FD adapter received stream: bytes in arbitrary chunkings through the
// driver's reassembly (usbRxDataProcess) and packet parser.
//
// Input byte 0 picks the form:
//   even  "packets": the rest describes well-formed packets (header body
//         length covering its records, optional padding) separated by
//         garbage that holds no 0x55; the exact records queued are known.
//   odd   "raw": the rest is the stream itself, hostile headers and all.
// Invariants:
//   - every queued frame has len <= 8 (classic) or <= 64 (FD), zero data
//     beyond len, rtr/ext of 0 or 1, and sits on a queue 0..7;
//   - the driver queues exactly what the parser hands out for the whole
//     stream at once, queue by queue, in order;
//   - the reassembly buffer never holds 4096 bytes between reads;
//   - packets form: the frames are the same whatever the chunking (one shot,
//     chunks from the input, byte by byte) and equal the records encoded.
// A raw stream is not compared across chunkings: the record count drives the
// walk and it ends at the held data, so a header whose count overruns its
// body length legitimately yields more records when more bytes are held.
#include <algorithm>
#include <cstring>
#include <vector>

#include "drivers/fd/QDeviceDunlinFd2.h"
#include "drivers/fd/fd_protocol.h"
#include "fuzz/targets/fuzz_support.h"

using namespace dunlinfd;

namespace {

using Bytes = std::vector<uint8_t>;

struct Queued {
    std::vector<_KCAN_CAN_OBJ> classic[kMaxChannels];
    std::vector<_KCAN_CANFD_OBJ> fd[kMaxChannels];
};

bool sameClassic(const _KCAN_CAN_OBJ& a, const _KCAN_CAN_OBJ& b) {
    return a.id == b.id && a.timeStamp == b.timeStamp && a.len == b.len && a.rtr == b.rtr &&
           a.ext == b.ext && std::memcmp(a.data, b.data, sizeof a.data) == 0;
}

bool sameFd(const _KCAN_CANFD_OBJ& a, const _KCAN_CANFD_OBJ& b) {
    return a.id == b.id && a.timeStamp == b.timeStamp && a.len == b.len && a.rtr == b.rtr &&
           a.ext == b.ext && a.frameFlags == b.frameFlags &&
           std::memcmp(a.data, b.data, sizeof a.data) == 0;
}

bool sameQueued(const Queued& a, const Queued& b) {
    for (uint32_t q = 0; q < kMaxChannels; ++q) {
        if (a.classic[q].size() != b.classic[q].size() || a.fd[q].size() != b.fd[q].size())
            return false;
        for (size_t i = 0; i < a.classic[q].size(); ++i)
            if (!sameClassic(a.classic[q][i], b.classic[q][i]))
                return false;
        for (size_t i = 0; i < a.fd[q].size(); ++i)
            if (!sameFd(a.fd[q][i], b.fd[q][i]))
                return false;
    }
    return true;
}

template <typename Obj>
void checkFrame(const Obj& f, size_t slot) {
    FUZZ_CHECK(f.len <= slot);
    FUZZ_CHECK(f.rtr <= 1 && f.ext <= 1);
    for (size_t i = f.len; i < slot; ++i)
        FUZZ_CHECK(f.data[i] == 0);
}

// What the parser hands out, with the queue index it names.
class Collect final : public RecordSink {
  public:
    void onClassic(uint32_t queue, const _KCAN_CAN_OBJ& frame) override {
        FUZZ_CHECK(queue <= kLastQueue);
        checkFrame(frame, kClassicDataSlot);
        got.classic[queue].push_back(frame);
    }
    void onFd(uint32_t queue, const _KCAN_CANFD_OBJ& frame) override {
        FUZZ_CHECK(queue <= kLastQueue);
        checkFrame(frame, kFdDataSlot);
        got.fd[queue].push_back(frame);
    }
    Queued got;
};

// Everything a device queued, queue by queue.
Queued drain(QDeviceDunlinFd2& dev) {
    Queued q;
    _KCAN_CAN_OBJ c[32];
    _KCAN_CANFD_OBJ f[32];
    for (uint32_t ch = 0; ch < kMaxChannels; ++ch) {
        int32_t n = 0;
        while ((n = dev.receive(ch, c, 32, 0)) > 0) {
            FUZZ_CHECK(n <= 32);
            for (int32_t i = 0; i < n; ++i) {
                checkFrame(c[i], kClassicDataSlot);
                q.classic[ch].push_back(c[i]);
            }
        }
        while ((n = dev.receiveFD(ch, f, 32, 0)) > 0) {
            FUZZ_CHECK(n <= 32);
            for (int32_t i = 0; i < n; ++i) {
                checkFrame(f[i], kFdDataSlot);
                q.fd[ch].push_back(f[i]);
            }
        }
    }
    // Channels 8..15 share queue 7, which is now empty.
    for (uint32_t ch = kMaxChannels; ch < 16; ++ch)
        FUZZ_CHECK(dev.receive(ch, c, 32, 0) == 0 && dev.receiveFD(ch, f, 32, 0) == 0);
    return q;
}

// Feeds the stream in chunks of the given sizes (cycled); returns what came out.
// One device for the whole run: a device opens its own USB context, which
// would cost more than the stream itself. clearBuffer empties the reassembly
// buffer (and a queue); drain() leaves every queue empty.
Queued feedChunked(const Bytes& stream, const std::vector<size_t>& sizes) {
    static QDeviceDunlinFd2& dev = *new QDeviceDunlinFd2;
    FUZZ_CHECK(dev.clearBuffer(0) == 1 && dev.rxLength() == 0);
    size_t at = 0;
    for (size_t k = 0; at < stream.size(); ++k) {
        size_t n = std::min(sizes[k % sizes.size()], stream.size() - at);
        dev.usbRxDataProcess(stream.data() + at, static_cast<uint32_t>(n));
        FUZZ_CHECK(dev.rxLength() < kRxBufferSize);
        at += n;
    }
    return drain(dev);
}

// Garbage between packets: never 0x55, so it cannot start a header.
void appendGarbage(fuzz::InputReader& in, Bytes& stream, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = in.u8();
        stream.push_back(b == kPacketMagic0 ? 0x54 : b);
    }
}

// Builds the packets form; the expected frames go to `expected`.
Bytes buildPackets(fuzz::InputReader& in, Queued& expected) {
    Bytes stream;
    while (in.remaining() > 0 && stream.size() < 16384) {
        uint8_t ctl = in.u8();
        appendGarbage(in, stream, ctl & 0x07);
        size_t count = (ctl >> 3) % (kMaxFramesPerPacket + 1);
        Bytes body;
        for (size_t r = 0; r < count; ++r) {
            uint8_t chFlags = in.u8();
            bool fd = (chFlags & 0x80) != 0;
            Bytes rec(fd ? kFdRecordSize : kClassicRecordSize);
            in.take(rec.data(), rec.size());
            rec[0] = static_cast<uint8_t>((chFlags & 0x0F) << 4 | (rec[0] & 0x0F));
            rec[kRecordFlagsOffset] =
                static_cast<uint8_t>(fd ? (rec[kRecordFlagsOffset] | kRecFlagFd)
                                        : (rec[kRecordFlagsOffset] & ~kRecFlagFd));
            const uint32_t queue = queueForChannel(chFlags & 0x0F);
            const size_t slot = fd ? kFdDataSlot : kClassicDataSlot;
            const uint8_t len = static_cast<uint8_t>(std::min<size_t>(rec[10], slot));
            if (fd) {
                _KCAN_CANFD_OBJ f;
                uint32_t q = 99;
                FUZZ_CHECK(decodeFdRecord(rec, &f, &q));
                FUZZ_CHECK(q == queue && f.len == len);
                FUZZ_CHECK(std::memcmp(f.data, rec.data() + 11, len) == 0);
                FUZZ_CHECK(f.ext == ((rec[1] & kRecFlagExtended) ? 1 : 0));
                FUZZ_CHECK(f.rtr == ((rec[1] & kRecFlagRemote) ? 1 : 0));
                expected.fd[queue].push_back(f);
            } else {
                _KCAN_CAN_OBJ c;
                uint32_t q = 99;
                FUZZ_CHECK(decodeClassicRecord(rec, &c, &q));
                FUZZ_CHECK(q == queue && c.len == len);
                FUZZ_CHECK(std::memcmp(c.data, rec.data() + 11, len) == 0);
                FUZZ_CHECK(c.ext == ((rec[1] & kRecFlagExtended) ? 1 : 0));
                FUZZ_CHECK(c.rtr == ((rec[1] & kRecFlagRemote) ? 1 : 0));
                expected.classic[queue].push_back(c);
            }
            body.insert(body.end(), rec.begin(), rec.end());
        }
        // Padding after the records is inside the body; without 0x55 it is
        // skipped as garbage once the records are walked.
        size_t padding = (ctl & 0x80) ? in.u8() % 32 : 0;
        if (body.empty() && padding == 0)
            padding = 1;  // a body length of 0 is not a header
        for (size_t i = 0; i < padding; ++i) {
            uint8_t b = in.u8();
            body.push_back(b == kPacketMagic0 ? 0x54 : b);
        }
        const size_t total = body.size();
        stream.insert(stream.end(),
                      {kPacketMagic0, kPacketMagic1, in.u8(), in.u8(), static_cast<uint8_t>(total),
                       static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(count)});
        stream.insert(stream.end(), body.begin(), body.end());
    }
    return stream;
}

}  // namespace

int fuzzOneFdStream(const uint8_t* data, size_t size) {
    fuzz::InputReader in(data, size);
    const uint8_t form = in.u8();
    const uint64_t seed = in.u32();
    Queued expected;
    Bytes stream;
    const bool packets = (form & 1) == 0;
    if (packets) {
        stream = buildPackets(in, expected);
    } else {
        stream.assign(in.rest(), in.rest() + std::min<size_t>(in.remaining(), 16384));
    }

    // The parser over the whole stream is the reference.
    Collect whole;
    size_t consumed = parseFramePackets(stream, whole);
    FUZZ_CHECK(consumed <= stream.size());
    if (packets) {
        // Padding at the very end stays unconsumed when under a header's size.
        FUZZ_CHECK(stream.size() - consumed < kPacketHeaderSize);
        FUZZ_CHECK(sameQueued(whole.got, expected));
    }

    // The driver, whole stream in reads of at most 4096 bytes as the worker does.
    Queued oneShot = feedChunked(stream, {kRxBufferSize});
    if (packets || stream.size() <= kRxBufferSize)
        FUZZ_CHECK(sameQueued(oneShot, whole.got));

    // Chunk sizes from the input.
    fuzz::SplitMix rng(seed);
    std::vector<size_t> sizes;
    for (int i = 0; i < 16; ++i) {
        uint64_t r = rng.next();
        sizes.push_back((r & 3) == 0 ? 1 + (r >> 8) % kRxBufferSize : 1 + (r >> 8) % 96);
    }
    Queued chunked = feedChunked(stream, sizes);
    if (packets)
        FUZZ_CHECK(sameQueued(chunked, expected));

    if (stream.size() <= 512) {
        Queued bytewise = feedChunked(stream, {1});
        if (packets)
            FUZZ_CHECK(sameQueued(bytewise, expected));
    }
    return 0;
}
