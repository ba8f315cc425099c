#include "core/state.h"
#include "exec/sandbox_runner.h"
#include <gtest/gtest.h>

TEST(RunsPerAgent, HalfTheRunSlotsAtLeastOneUnlessConfigured)
{
    state_init_defaults();
    EXPECT_EQ(runs_per_agent(), 4);
    struct Case {
        i64 slots;
        i64 configured;
        i64 share;
    };
    for (Case c : { Case { 1, 0, 1 }, { 2, 0, 1 }, { 3, 0, 1 }, { 5, 0, 2 }, { 64, 0, 32 }, { 8, 8, 8 }, { 2, 1, 1 }, { 1, 320, 320 } }) {
        state.max_concurrent_runs = c.slots;
        state.max_runs_per_agent = c.configured;
        EXPECT_EQ(runs_per_agent(), c.share) << c.slots << " slots, " << c.configured << " configured";
    }
    state_init_defaults();
}
