#include "core/run_limits.h"
#include "core/state.h"
#include "policy/rules.h"
#include <gtest/gtest.h>

namespace {

TEST(ProfileByName, ExactNamesOnly)
{
    EXPECT_EQ(profile_by_name({ "strict", 6 }), 0);
    EXPECT_EQ(profile_by_name({ "moderate", 8 }), 1);
    EXPECT_EQ(profile_by_name({ "permissive", 10 }), 2);
    for (const char* word : { "Strict", "strict ", "stric", "", "1", "custom" })
        EXPECT_EQ(profile_by_name({ word, text_length(word) }), -1) << word;
}

// An agent without a profile of its own follows the global limits as the state holds them
// (an admin time-out included); one with its own gets that profile's row whatever the
// global one is.
TEST(RunLimitsFor, OwnProfileRowElseTheGlobalLimits)
{
    state_init_defaults();
    apply_profile(1);
    state.timeout_ms = 1234;
    RunLimits global = run_limits_for(k_no_own_profile);
    EXPECT_EQ(global.profile, 1);
    EXPECT_EQ(global.timeout_ms, 1234);
    EXPECT_EQ(global.max_mem_mb, 256);
    RunLimits strict = run_limits_for(own_profile_code(0));
    EXPECT_EQ(strict.profile, 0);
    EXPECT_EQ(strict.timeout_ms, 5000);
    EXPECT_EQ(strict.max_procs, 16);
    EXPECT_EQ(strict.max_nofile, 32);
    RunLimits roomy = run_limits_for(own_profile_code(2));
    EXPECT_EQ(roomy.timeout_ms, 300000);
    EXPECT_EQ(roomy.max_mem_mb, 1024);
    EXPECT_EQ(roomy.max_procs, 50);
    // Codes without a row are no profile of its own.
    EXPECT_EQ(own_profile_code(3), k_no_own_profile);
    EXPECT_EQ(own_profile_code(-1), k_no_own_profile);
    EXPECT_EQ(run_limits_for(4).timeout_ms, 1234);
    state_init_defaults();
}

} // namespace
