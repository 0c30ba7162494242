// Classic adapter received stream through the driver's stream assembler, in
// chunkings from the input (fuzz/README.md).
#include <memory>

#include "drivers/classic/dunlin2_protocol.h"
#include "fuzz/targets/fuzz_support.h"

using namespace dunlin2;

namespace {

// A record starts where byte 3 is 0x01 and bytes 4 and 5 are 0, else a byte
// is skipped. Time stamp and identifier field little-endian at 0 and 7; byte
// 6: bit 7 extended, bit 6 remote, bit 4 channel, bits 3..0 length (8 kept).
std::vector<ReceivedFrame> recordsOf(const fuzz::Bytes& s) {
    std::vector<ReceivedFrame> out;
    for (size_t p = 0; s.size() - p >= kRecordSize; ++p) {
        const uint8_t* r = s.data() + p;
        if (r[3] != 0x01 || r[4] != 0 || r[5] != 0)
            continue;
        ReceivedFrame& f = out.emplace_back();
        f.channel = (r[6] >> 4) & 1;
        f.frame.timeStamp = fuzz::le32(r);
        f.frame.ext = r[6] >> 7;
        f.frame.rtr = (r[6] >> 6) & 1;
        f.frame.len = std::min(r[6] & 0x0F, 8);
        f.frame.id = (fuzz::le32(r + 7) >> (f.frame.ext ? 3 : 5)) & 0x1FFFFFFF;
        std::memcpy(f.frame.data, r + 11, f.frame.len);
        p += kRecordSize - 1;
    }
    return out;
}

std::vector<ReceivedFrame> assembled(const fuzz::Bytes& s, const std::vector<size_t>& sizes) {
    auto assembler = std::make_unique<StreamAssembler>();
    auto got = std::make_unique<ReceivedFrame[]>(StreamAssembler::kMaxFramesPerFeed);
    std::vector<ReceivedFrame> out;
    fuzz::feedInChunks(s, sizes, [&](const uint8_t* data, size_t n) {
        const size_t count = assembler->feed(data, n, got.get());
        FUZZ_CHECK(count <= StreamAssembler::kMaxFramesPerFeed &&
                   assembler->pending() < kRecordSize);
        out.insert(out.end(), got.get(), got.get() + count);
    });
    return out;
}

}  // namespace

int fuzzOneClassicStream(const uint8_t* data, size_t size) {
    fuzz::InputReader in(data, size);
    const bool records = in.u8() & 1;
    const uint64_t seed = in.u32();
    fuzz::Bytes stream = records ? fuzz::Bytes{} : in.rest(16384);
    while (records && in.remaining() > 0 && stream.size() < 16384) {
        const uint8_t ctl = in.u8();
        for (size_t i = 0; i < (ctl & 0x0F) + kRecordSize; ++i)
            stream.push_back(in.u8());
        uint8_t* rec = &stream[stream.size() - kRecordSize];
        rec[3] = 0x01;
        rec[4] = rec[5] = 0;
    }
    const std::vector<ReceivedFrame> expected = recordsOf(stream);
    FUZZ_CHECK(fuzz::sameAll(assembled(stream, {kStreamReadSize}), expected));
    const auto sizes = fuzz::chunkSizes(seed, kReassemblySize - (kRecordSize - 1), 80);
    FUZZ_CHECK(fuzz::sameAll(assembled(stream, sizes), expected));
    FUZZ_CHECK(stream.size() > 2048 || fuzz::sameAll(assembled(stream, {1}), expected));
    return 0;
}
