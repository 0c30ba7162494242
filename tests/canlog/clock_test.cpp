// The adapter clock: frames keep the bus's intervals, and the host clock
// takes over where the adapter's cannot be trusted.
#include <gtest/gtest.h>

#include <vector>

#include "app/canlog/adapter_clock.h"

namespace {

constexpr uint64_t H = 1000000000;  // host microseconds at the first frame

struct Step {
    uint32_t adapter;
    uint64_t host;
    uint64_t expect;
};

TEST(AdapterClock, Stamps) {
    const struct {
        const char* name;
        unsigned bits;
        std::vector<Step> steps;
    } cases[] = {
        {"back to back", 24, {{5000, H, H}, {5100, H + 900, H + 100}, {5350, H + 950, H + 350}}},
        {"24-bit wrap", 24, {{16777000, H, H}, {200, H + 1000, H + 416}}},
        {"32-bit wrap", 32, {{0xFFFFFF00, H, H}, {0x100, H + 600, H + 512}}},
        // Two wraps and 6.4 s: the host's 39.99 s tells how many wraps.
        {"gap longer than a wrap", 24, {{1000000, H, H}, {7445568, H + 39990000, H + 40000000}}},
        {"adapter reset",
         24,
         {{9000000, H, H}, {10, H + 1000, H + 1000}, {110, H + 1200, H + 1100}}},
        {"frame handled late",
         24,
         {{5000, H, H}, {4950, H + 100, H - 50}, {5050, H + 200, H + 50}}},
        {"drift beyond the bound",
         24,
         {{0, H, H}, {1000000, H + 1150000, H + 1000000}, {2000000, H + 2300000, H + 2300000}}},
        {"never backwards",
         32,
         {{0, H, H}, {150000, H + 100, H + 150000}, {400000, H + 120000, H + 150000}}},
    };
    for (const auto& c : cases) {
        AdapterClock clock(c.bits);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            EXPECT_EQ(clock.stamp(c.steps[i].adapter, c.steps[i].host), c.steps[i].expect)
                << c.name << ", frame " << i;
        }
    }
}

}  // namespace
