// What the fuzz targets share. Each fuzzOne<Name>(data, size) returns 0 and
// aborts on a broken invariant, under libFuzzer and in the corpus replay.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int fuzzOneFdStream(const uint8_t* data, size_t size);
int fuzzOneClassicStream(const uint8_t* data, size_t size);
int fuzzOneReplies(const uint8_t* data, size_t size);
int fuzzOneRpcPackets(const uint8_t* data, size_t size);
int fuzzOneFrameText(const uint8_t* data, size_t size);
int fuzzOneCommandLine(const uint8_t* data, size_t size);
int fuzzOneLogIni(const uint8_t* data, size_t size);
int fuzzOneCandumpLine(const uint8_t* data, size_t size);
int fuzzOnePcapng(const uint8_t* data, size_t size);

#define FUZZ_CHECK(cond)                                  \
    do {                                                  \
        if (!(cond))                                      \
            ::fuzz::failCheck(__FILE__, __LINE__, #cond); \
    } while (0)

namespace fuzz {

using Bytes = std::vector<uint8_t>;

inline const char* g_currentInput = nullptr;  // the replayed file, for the message

[[noreturn]] inline void failCheck(const char* file, int line, const char* expr) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s (input: %s)\n", file, line, expr,
                 g_currentInput != nullptr ? g_currentInput : "fuzzer");
    std::abort();
}

// Takes choices from the front of the input; past its end every value is 0.
class InputReader {
  public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16() | (static_cast<uint32_t>(u16()) << 16)); }
    size_t remaining() const { return size_ - pos_; }
    void take(void* out, size_t n) {
        n = std::min(n, remaining());
        if (n > 0)
            std::memcpy(out, data_ + pos_, n);
        pos_ += n;
    }
    Bytes rest(size_t limit) {
        Bytes b(std::min(limit, remaining()));
        take(b.data(), b.size());
        return b;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Sixteen sizes from a seed (SplitMix64): one in four 1..large, else 1..small.
inline std::vector<size_t> chunkSizes(uint64_t seed, size_t large, size_t small) {
    std::vector<size_t> sizes;
    for (int i = 0; i < 16; ++i) {
        uint64_t r = (seed += 0x9E3779B97F4A7C15ULL);
        r = (r ^ (r >> 30)) * 0xBF58476D1CE4E5B9ULL;
        r = (r ^ (r >> 27)) * 0x94D049BB133111EBULL;
        r ^= r >> 31;
        sizes.push_back(1 + (r >> 8) % ((r & 3) == 0 ? large : small));
    }
    return sizes;
}

template <typename Feed>
void feedInChunks(const Bytes& s, const std::vector<size_t>& sizes, Feed feed) {
    for (size_t at = 0, k = 0; at < s.size(); at += sizes[k++ % sizes.size()])
        feed(s.data() + at, std::min(sizes[k % sizes.size()], s.size() - at));
}

inline uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

template <typename T>
void poison(T* value) {
    std::memset(static_cast<void*>(value), 0xEE, sizeof *value);
}

template <typename T>
bool same(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

template <typename T>
bool sameAll(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same<T>);
}

template <typename Obj>
void checkFrame(const Obj& f) {
    FUZZ_CHECK(f.len <= sizeof f.data && f.rtr <= 1 && f.ext <= 1);
    for (size_t i = f.len; i < sizeof f.data; ++i)
        FUZZ_CHECK(f.data[i] == 0);
}

// Sends a descriptor to /dev/null while alive: the code under test prints.
class Quiet {
  public:
    explicit Quiet(int fd = 1) : fd_(fd) {
        std::fflush(nullptr);
        saved_ = dup(fd_);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0 && saved_ >= 0)
            dup2(null, fd_);
        close(null);
    }
    ~Quiet() {
        std::fflush(nullptr);
        if (saved_ >= 0 && dup2(saved_, fd_) >= 0)
            close(saved_);
    }

  private:
    const int fd_;
    int saved_;
};

// Replaces the simulator's adapters (sim_devices.cpp: needs the simulator).
bool attachDevices(const char* list);

}  // namespace fuzz
