#include "agents/agent_tokens.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr ByteSpan k_admin { "admin-token", 11 };

std::vector<std::string> load(const std::string& text)
{
    apply_agent_tokens_text(text.data(), (i64)text.size(), k_admin);
    std::vector<std::string> names;
    for (i64 i = 0; i < agent_token_count(); i++)
        names.emplace_back(agent_token_name(i).ptr, agent_token_name(i).len);
    return names;
}

i64 match(const std::string& token) { return match_agent_token({ token.data(), (i64)token.size() }); }

TEST(ApplyAgentTokensText, BindsNamesAndSkipsWhatDoesNotParse)
{
    std::string text = "# agents\r\ncoder:tok-a\r\n\r\n  planner : tok-b  \r\nno colon\r\n:tok-c\r\nempty:\r\n"
                       "spaced:to k\r\n" +
        std::string(32, 'n') + ":tok-d\r\nreviewer:" + std::string(129, 't') + "\r\nlast:tok-e";
    EXPECT_EQ(load(text), (std::vector<std::string> { "coder", "planner", "last" }));
    EXPECT_EQ(match("tok-a"), 0);
    EXPECT_EQ(match("tok-b"), 1);
    EXPECT_EQ(match("tok-e"), 2);
    EXPECT_EQ(match("tok-"), -1);
    EXPECT_EQ(match("tok-aa"), -1);
    EXPECT_EQ(match(""), -1);
}

TEST(ApplyAgentTokensText, NameOrTokenTakenTwiceAndTheAdminTokenAreSkipped)
{
    EXPECT_EQ(load("a:t1\nb:t1\na:t2\nc:admin-token\nd:t3\n"), (std::vector<std::string> { "a", "d" }));
}

TEST(ApplyAgentTokensText, KeepsTheFirst32Agents)
{
    std::string text;
    for (int i = 0; i < 40; i++)
        text += "agent" + std::to_string(i) + ":token" + std::to_string(i) + "\n";
    EXPECT_EQ(load(text).size(), 32u);
    EXPECT_EQ(match("token31"), 31);
    EXPECT_EQ(match("token32"), -1);
    EXPECT_TRUE(load("").empty());
    EXPECT_EQ(match("token0"), -1);
}

} // namespace
