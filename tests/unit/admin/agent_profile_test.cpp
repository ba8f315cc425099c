#include "admin/agent_profile.h"
#include <gtest/gtest.h>
#include <string>

static AgentProfileField field(const std::string& json) { return read_agent_profile_field(json.data(), (i64)json.size()); }

// Names, numbers and null are read whole: a value with anything glued to it is refused.
TEST(AgentProfileField, ReadsNamesNumbersAndAWholeNull)
{
    EXPECT_EQ(field(R"({"profile":"moderate"})").status, k_agent_profile_set);
    EXPECT_EQ(field(R"({"profile":"moderate"})").profile, 1);
    EXPECT_EQ(field(R"({"profile": 2 })").profile, 2);
    EXPECT_EQ(field(R"({"profile":null})").status, k_agent_profile_clear);
    EXPECT_EQ(field(R"({"profile": null ,"x":1})").status, k_agent_profile_clear);
    EXPECT_EQ(field(R"({})").status, k_agent_profile_missing);
    for (const char* bad : { R"({"profile":nullx})", R"({"profile":null1})", R"({"profile":3})", R"({"profile":"moderat"})",
             R"({"profile":"permissive-ish"})", R"({"profile":true})" })
        EXPECT_EQ(field(bad).status, k_agent_profile_invalid) << bad;
}
