// Shared pieces of the fuzz targets: the entry functions, the invariant check,
// a reader that turns the input into choices, and a standard-output silencer.
//
// Each target's body is a function fuzzOne<Name>(data, size) that returns 0
// and aborts on a broken invariant. The same functions run under libFuzzer
// (fuzz/) and in the normal test run, which replays every corpus file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int fuzzOneFdStream(const uint8_t* data, size_t size);
int fuzzOneClassicStream(const uint8_t* data, size_t size);
int fuzzOneReplies(const uint8_t* data, size_t size);
int fuzzOneRpcPackets(const uint8_t* data, size_t size);
int fuzzOneFrameText(const uint8_t* data, size_t size);
int fuzzOneCommandLine(const uint8_t* data, size_t size);
int fuzzOneLogIni(const uint8_t* data, size_t size);

namespace fuzz {

// Name of the input being replayed, for the failure message; may be null.
extern const char* g_currentInput;

[[noreturn]] void failCheck(const char* file, int line, const char* expr);

}  // namespace fuzz

// An invariant: a violation prints where and aborts, which libFuzzer records
// as a crash and the replay test reports as a failure.
#define FUZZ_CHECK(cond)                                  \
    do {                                                  \
        if (!(cond))                                      \
            ::fuzz::failCheck(__FILE__, __LINE__, #cond); \
    } while (0)

namespace fuzz {

// Takes choices from the front of the input; past its end every value is 0.
class InputReader {
  public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16() | (static_cast<uint32_t>(u16()) << 16)); }
    size_t remaining() const { return size_ - pos_; }
    const uint8_t* rest() const { return data_ + pos_; }
    // Up to n bytes from the front; returns how many were taken.
    size_t take(uint8_t* out, size_t n) {
        size_t k = n < remaining() ? n : remaining();
        for (size_t i = 0; i < k; ++i)
            out[i] = data_[pos_ + i];
        pos_ += k;
        return k;
    }
    void skipAll() { pos_ = size_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A small deterministic generator for chunk sizes derived from the input.
class SplitMix {
  public:
    explicit SplitMix(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

  private:
    uint64_t state_;
};

// Sends a descriptor (standard output by default) to /dev/null while alive:
// the code under test prints frames, log lines and getopt diagnostics.
// Restores it afterwards.
class Quiet {
  public:
    explicit Quiet(int fd = 1);
    ~Quiet();
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

  private:
    int fd_;
    int saved_ = -1;
};

}  // namespace fuzz
