// The identifier sweep of the send worker.
#include <gtest/gtest.h>

#include <vector>

#include "app/workers.h"

namespace {

TEST(IdentifierSweep, SteppedSweepStartsWithTheMessageIdAndWraps) {
    TaskTxConfig config = defaultTaskTxConfig();
    config.idSweep = 1;
    config.idStart = 0x100;
    config.idEnd = 0x102;
    config.idStep = 1;
    std::vector<uint32_t> ids = {0x200};
    for (int i = 0; i < 5; ++i) {
        ids.push_back(hwNextSweepId(config, ids.back(), 0));
    }
    EXPECT_EQ(ids, (std::vector<uint32_t>{0x200, 0x100, 0x101, 0x102, 0x100, 0x101}));
}

TEST(IdentifierSweep, StepPastTheTopOfTheIdSpaceWrapsToStart) {
    TaskTxConfig config = defaultTaskTxConfig();
    config.idStart = 5;
    config.idEnd = 0xFFFFFFFF;
    config.idStep = 0x10;
    // The sum wraps around 32 bits; it is not past the end, so it is taken.
    EXPECT_EQ(hwNextSweepId(config, 0xFFFFFFF8, 0), 0x8u);
}

TEST(IdentifierSweep, RandomDrawsStayInsideTheRange) {
    TaskTxConfig config = defaultTaskTxConfig();
    config.idRandom = 1;
    config.idStart = 0x10;
    config.idEnd = 0x1F;
    for (uint32_t draw : {0u, 1u, 15u, 16u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        uint32_t id = hwNextSweepId(config, 0x123, draw);
        EXPECT_GE(id, 0x10u);
        EXPECT_LE(id, 0x1Fu);
    }
    config.idStart = 0;
    config.idEnd = 0xFFFFFFFF;  // the whole space: no modulo by zero
    EXPECT_EQ(hwNextSweepId(config, 0, 0xDEADBEEF), 0xDEADBEEFu);
}

}  // namespace
