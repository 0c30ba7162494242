// Classic adapter received stream: bytes in arbitrary chunkings through the
// stream assembler that the driver's receive thread uses (19-byte records,
// byte-by-byte resynchronisation).
//
// Invariants:
//   - the frames are the same whatever the chunking (the driver's 64-byte
//     reads, chunk sizes from the input, byte by byte) and equal those of a
//     plain scan of the whole stream;
//   - every frame names channel 0 or 1, has len <= 8, zero data beyond len,
//     rtr/ext of 0 or 1, and the fields of its record;
//   - one feed never yields more than kMaxFramesPerFeed frames and leaves
//     fewer than 19 bytes pending.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "drivers/classic/dunlin2_protocol.h"
#include "fuzz/targets/fuzz_support.h"

using namespace dunlin2;

namespace {

using Bytes = std::vector<uint8_t>;

bool sameFrame(const ReceivedFrame& a, const ReceivedFrame& b) {
    return a.channel == b.channel && a.frame.id == b.frame.id &&
           a.frame.timeStamp == b.frame.timeStamp && a.frame.len == b.frame.len &&
           a.frame.rtr == b.frame.rtr && a.frame.ext == b.frame.ext &&
           std::memcmp(a.frame.data, b.frame.data, sizeof a.frame.data) == 0;
}

bool sameFrames(const std::vector<ReceivedFrame>& a, const std::vector<ReceivedFrame>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), sameFrame);
}

// The record at p, checked field by field against its bytes.
void checkFrame(const ReceivedFrame& f, const uint8_t* p) {
    const uint8_t info = p[6];
    FUZZ_CHECK(f.channel == ((info & kInfoChannel) ? 1u : 0u));
    FUZZ_CHECK(f.frame.len == std::min<uint8_t>(info & kInfoLength, kMaxDataLength));
    FUZZ_CHECK(f.frame.ext == ((info & kInfoExt) ? 1 : 0));
    FUZZ_CHECK(f.frame.rtr == ((info & kInfoRtr) ? 1 : 0));
    FUZZ_CHECK(f.frame.id <= kIdMask);
    FUZZ_CHECK(std::memcmp(f.frame.data, p + 11, f.frame.len) == 0);
    for (size_t i = f.frame.len; i < sizeof f.frame.data; ++i)
        FUZZ_CHECK(f.frame.data[i] == 0);
}

// The plain scan the assembler must agree with.
std::vector<ReceivedFrame> scanWhole(const Bytes& s) {
    std::vector<ReceivedFrame> out;
    size_t p = 0;
    while (s.size() - p >= kRecordSize) {
        if (s[p + 3] == kRecordMarker && s[p + 4] == 0 && s[p + 5] == 0) {
            ReceivedFrame f{};
            f.channel = decodeFrame(s.data() + p, &f.frame);
            checkFrame(f, s.data() + p);
            out.push_back(f);
            p += kRecordSize;
        } else {
            ++p;
        }
    }
    return out;
}

std::vector<ReceivedFrame> feedChunked(const Bytes& s, const std::vector<size_t>& sizes) {
    auto assembler = std::make_unique<StreamAssembler>();
    auto frames = std::make_unique<ReceivedFrame[]>(StreamAssembler::kMaxFramesPerFeed);
    std::vector<ReceivedFrame> out;
    size_t at = 0;
    for (size_t k = 0; at < s.size(); ++k) {
        size_t n = std::min(sizes[k % sizes.size()], s.size() - at);
        size_t count = assembler->feed(s.data() + at, n, frames.get());
        FUZZ_CHECK(count <= StreamAssembler::kMaxFramesPerFeed);
        FUZZ_CHECK(assembler->pending() < kRecordSize);
        for (size_t i = 0; i < count; ++i) {
            FUZZ_CHECK(frames[i].channel < kChannelCount);
            out.push_back(frames[i]);
        }
        at += n;
    }
    return out;
}

}  // namespace

int fuzzOneClassicStream(const uint8_t* data, size_t size) {
    fuzz::InputReader in(data, size);
    const uint8_t form = in.u8();
    const uint64_t seed = in.u32();
    Bytes stream;
    if (form & 1) {
        // Records form: the rest describes records (marker bytes set) and
        // garbage runs, so that resynchronisation after garbage is reached.
        while (in.remaining() > 0 && stream.size() < 16384) {
            uint8_t ctl = in.u8();
            for (size_t i = 0; i < (ctl & 0x0F); ++i)
                stream.push_back(in.u8());
            uint8_t rec[kRecordSize];
            for (uint8_t& b : rec)
                b = in.u8();
            rec[3] = kRecordMarker;
            rec[4] = 0;
            rec[5] = 0;
            stream.insert(stream.end(), rec, rec + kRecordSize);
        }
    } else {
        stream.assign(in.rest(), in.rest() + std::min<size_t>(in.remaining(), 16384));
    }

    const std::vector<ReceivedFrame> reference = scanWhole(stream);
    FUZZ_CHECK(sameFrames(feedChunked(stream, {kStreamReadSize}), reference));

    // Any read up to the room the assembler always has left.
    constexpr size_t kMaxRead = kReassemblySize - (kRecordSize - 1);
    fuzz::SplitMix rng(seed);
    std::vector<size_t> sizes;
    for (int i = 0; i < 16; ++i) {
        uint64_t r = rng.next();
        sizes.push_back((r & 3) == 0 ? 1 + (r >> 8) % kMaxRead : 1 + (r >> 8) % 80);
    }
    FUZZ_CHECK(sameFrames(feedChunked(stream, sizes), reference));
    if (stream.size() <= 2048)
        FUZZ_CHECK(sameFrames(feedChunked(stream, {1}), reference));
    return 0;
}
