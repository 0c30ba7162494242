// Bit-rate tables of the 60 MHz and 80 MHz adapters. For each entry,
// clock / ((brp + 1) * (1 + (tseg1 + 1) + (tseg2 + 1))) is the bit rate.
#include <array>

#include "fd_protocol.h"

namespace dunlinfd {

namespace {

struct RateEntry {
    uint32_t bitRate;
    uint32_t word60M;
    uint32_t word80M;
};

constexpr std::array<RateEntry, 7> kArbitrationRates = {{
    {1000000, 0x01400106, 0x00C0030E},
    {800000, 0x0100020A, 0x0100030E},
    {500000, 0x02C00106, 0x01C0030E},
    {250000, 0x05C00106, 0x03C0030E},
    {125000, 0x0BC00106, 0x07C0030E},
    {100000, 0x0EC00106, 0x09C0030E},
    {50000, 0x1DC00106, 0x13C0030E},
}};

constexpr std::array<RateEntry, 10> kDataRates = {{
    {5000000, 0x00800001, 0x00400005},
    {4000000, 0x00800002, 0x00400106},
    {2000000, 0x00800106, 0x00C00106},
    {1000000, 0x01400106, 0x00C0030E},
    {800000, 0x0100020A, 0x0100030E},
    {500000, 0x02C00106, 0x01C0030E},
    {250000, 0x05C00106, 0x03C0030E},
    {125000, 0x0BC00106, 0x07C0030E},
    {100000, 0x0EC00106, 0x09C0030E},
    {50000, 0x1DC00106, 0x13C0030E},
}};

constexpr uint32_t bitRateOf(uint32_t word, uint32_t clockHz) {
    uint32_t brp = (word >> 22) + 1;
    uint32_t quanta = 1 + ((word & 0xFF) + 1) + (((word >> 8) & 0x7F) + 1);
    return clockHz / (brp * quanta);
}

template <size_t N>
constexpr bool tableConsistent(const std::array<RateEntry, N>& table) {
    for (const RateEntry& e : table) {
        if (bitRateOf(e.word60M, 60000000) != e.bitRate ||
            bitRateOf(e.word80M, 80000000) != e.bitRate) {
            return false;
        }
    }
    return true;
}
static_assert(tableConsistent(kArbitrationRates), "arbitration words match their rates");
static_assert(tableConsistent(kDataRates), "data words match their rates");

template <size_t N>
bool lookup(const std::array<RateEntry, N>& table, uint32_t bitRate, uint16_t clockMhz,
            uint32_t* word) {
    if (bitRate == 0 || word == nullptr)
        return false;
    for (const RateEntry& e : table) {
        if (e.bitRate == bitRate) {
            *word = clockMhz == 80 ? e.word80M : e.word60M;
            return true;
        }
    }
    return false;
}

}  // namespace

TimingFields unpackTimingWord(uint32_t word) {
    return TimingFields{
        static_cast<uint16_t>(word >> 22), static_cast<uint8_t>((word >> 15) & 0x7F),
        static_cast<uint16_t>(word & 0xFF), static_cast<uint16_t>((word >> 8) & 0x7F)};
}

bool arbitrationTimingWord(uint32_t bitRate, uint16_t clockMhz, uint32_t* word) {
    return lookup(kArbitrationRates, bitRate, clockMhz, word);
}

bool dataTimingWord(uint32_t bitRate, uint16_t clockMhz, uint32_t* word) {
    return lookup(kDataRates, bitRate, clockMhz, word);
}

}  // namespace dunlinfd
