// FD adapter received stream through the driver's reassembly and packet
// parser, in chunkings from the input (fuzz/README.md).
#include <array>

#include "drivers/fd/QDeviceDunlinFd2.h"
#include "drivers/fd/fd_protocol.h"
#include "fuzz/targets/fuzz_support.h"

using namespace dunlinfd;

namespace {

// The frames' bytes per queue, classic then FD.
struct Queued final : RecordSink {
    std::array<fuzz::Bytes, 16> q;

    template <typename Obj>
    void add(uint32_t queue, const Obj& f) {
        FUZZ_CHECK(queue < 8);
        fuzz::checkFrame(f);
        const auto* p = reinterpret_cast<const uint8_t*>(&f);
        fuzz::Bytes& bytes = q[queue + (sizeof f.data > 8 ? 8 : 0)];
        bytes.insert(bytes.end(), p, p + sizeof f);
    }
    void onClassic(uint32_t queue, const _KCAN_CAN_OBJ& f) override { add(queue, f); }
    void onFd(uint32_t queue, const _KCAN_CANFD_OBJ& f) override { add(queue, f); }
    bool operator==(const Queued& o) const { return q == o.q; }
};

// One device serves every run: each would open a USB context.
Queued feedChunked(const fuzz::Bytes& stream, const std::vector<size_t>& sizes) {
    static QDeviceDunlinFd2& dev = *new QDeviceDunlinFd2;
    FUZZ_CHECK(dev.clearBuffer(0) == 1 && dev.rxLength() == 0);
    fuzz::feedInChunks(stream, sizes, [](const uint8_t* data, size_t n) {
        dev.usbRxDataProcess(data, static_cast<uint32_t>(n));
        FUZZ_CHECK(dev.rxLength() < kRxBufferSize);
    });
    Queued q;
    _KCAN_CAN_OBJ c[32];
    _KCAN_CANFD_OBJ f[32];
    for (uint32_t ch = 0; ch < 16; ++ch) {
        // Channels 8..15 share queue 7, emptied by then: 99 fails the check.
        for (int32_t n; (n = dev.receive(ch, c, 32, 0)) > 0;)
            for (int32_t i = 0; i < n; ++i)
                q.onClassic(ch < 8 && n <= 32 ? ch : 99, c[i]);
        for (int32_t n; (n = dev.receiveFD(ch, f, 32, 0)) > 0;)
            for (int32_t i = 0; i < n; ++i)
                q.onFd(ch < 8 && n <= 32 ? ch : 99, f[i]);
    }
    return q;
}

// A record as the wire rules read it: byte 0 channel << 4, byte 1 flags
// (FD 0x01, remote 0x02, extended 0x04, bit-rate switch 0x10), time stamp and
// identifier little-endian at 2 and 6 (29 bits), length at 10, data at 11.
template <typename Obj>
void expectRecord(Queued& expected, const fuzz::Bytes& rec) {
    Obj f{};
    f.timeStamp = fuzz::le32(&rec[2]);
    f.id = fuzz::le32(&rec[6]) & 0x1FFFFFFF;
    f.rtr = (rec[1] >> 1) & 1;
    f.ext = (rec[1] >> 2) & 1;
    f.frameFlags = sizeof f.data > 8 && (rec[1] & 0x10) ? KCAN_FRAME_FLAG_BRS : 0;
    f.len = std::min<uint8_t>(rec[10], sizeof f.data);
    std::memcpy(f.data, &rec[11], f.len);
    expected.add(std::min(rec[0] >> 4, 7), f);  // 8..15 share queue 7
}

// Never 0x55, so it cannot start a header.
void appendGarbage(fuzz::InputReader& in, fuzz::Bytes& out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = in.u8();
        out.push_back(b == kPacketMagic0 ? 0x54 : b);
    }
}

fuzz::Bytes buildPackets(fuzz::InputReader& in, Queued& expected) {
    fuzz::Bytes stream;
    while (in.remaining() > 0 && stream.size() < 16384) {
        const uint8_t ctl = in.u8();
        appendGarbage(in, stream, ctl & 0x07);
        const size_t count = (ctl >> 3) % (kMaxFramesPerPacket + 1);
        fuzz::Bytes body;
        for (size_t r = 0; r < count; ++r) {
            const uint8_t chFlags = in.u8();
            const bool fd = (chFlags & 0x80) != 0;
            fuzz::Bytes rec(fd ? kFdRecordSize : kClassicRecordSize);
            in.take(rec.data(), rec.size());
            rec[0] = static_cast<uint8_t>((chFlags & 0x0F) << 4 | (rec[0] & 0x0F));
            rec[1] = static_cast<uint8_t>(fd ? (rec[1] | 0x01) : (rec[1] & ~0x01));
            fd ? expectRecord<_KCAN_CANFD_OBJ>(expected, rec)
               : expectRecord<_KCAN_CAN_OBJ>(expected, rec);
            body.insert(body.end(), rec.begin(), rec.end());
        }
        const size_t padding = (ctl & 0x80) ? in.u8() % 32 : 0;
        appendGarbage(in, body, body.empty() && padding == 0 ? 1 : padding);  // body 0: no header
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
    const bool packets = (in.u8() & 1) == 0;
    const uint64_t seed = in.u32();
    Queued expected;
    const fuzz::Bytes stream = packets ? buildPackets(in, expected) : in.rest(16384);

    // A raw stream is compared across chunkings only when one read takes it.
    Queued whole;
    const size_t consumed = parseFramePackets(stream, whole);
    const Queued oneShot = feedChunked(stream, {kRxBufferSize});
    FUZZ_CHECK(consumed <= stream.size() &&
               ((!packets && stream.size() > kRxBufferSize) || oneShot == whole));
    FUZZ_CHECK(!packets || (stream.size() - consumed < kPacketHeaderSize && whole == expected));
    FUZZ_CHECK(feedChunked(stream, fuzz::chunkSizes(seed, kRxBufferSize, 96)) == expected ||
               !packets);
    FUZZ_CHECK(stream.size() > 512 || feedChunked(stream, {1}) == expected || !packets);
    return 0;
}
