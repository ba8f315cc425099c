#include "agents/agent_tokens.h"
#include "agents/registry.h"
#include "tests/unit/fresh_server.h"
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

// The field after the last ':' is a profile only when it is a word of letters: a token may
// hold ':' itself, and a word that names no profile skips the line rather than binding a
// token the agent does not send.
TEST(ApplyAgentTokensText, ALastWordOfLettersNamesTheProfile)
{
    std::string text = "strict-one:tok-a:strict\nroomy:tok-b : permissive \nplain:tok-c\ncolons:tok:d:1\n"
                       "typo:tok-e:moderat\nshouty:tok-f:Strict\nmid:tok-g:moderate\nempty:tok-h:\nbare:moderate\n";
    // "bare:moderate" has no field after its token: "moderate" is the token.
    EXPECT_EQ(load(text), (std::vector<std::string> { "strict-one", "roomy", "plain", "colons", "mid", "empty", "bare" }));
    EXPECT_EQ(match("tok-a"), 0);
    EXPECT_EQ(match("tok-b"), 1);
    EXPECT_EQ(match("tok:d:1"), 3);
    EXPECT_EQ(match("tok-g"), 4);
    EXPECT_EQ(match("tok-h:"), 5);
    EXPECT_EQ(match("moderate"), 6);
    EXPECT_EQ(match("tok-a:strict"), -1);
    EXPECT_EQ(match("tok-e"), -1);
    const OwnProfile expected[] = { own_profile_code(0), own_profile_code(2), k_no_own_profile, k_no_own_profile, own_profile_code(1),
        k_no_own_profile, k_no_own_profile };
    for (i64 i = 0; i < 7; i++)
        EXPECT_EQ(agent_token_profile(i), expected[i]) << i;
    EXPECT_EQ(token_profile_for_name({ "roomy", 5 }), own_profile_code(2));
    EXPECT_EQ(token_profile_for_name({ "room", 4 }), k_no_own_profile);
    load("");
}

// A token agent takes its line's profile when it registers and again at each reload; an
// agent no line names keeps the profile the admin gave it.
struct TokenProfiles : FreshServer { };

TEST_F(TokenProfiles, RegistrationAndReloadApplyTheFilesProfile)
{
    load("coder:tok-1:permissive\nplanner:tok-2\n");
    i64 coder = register_agent("coder", 5);
    i64 planner = register_agent("planner", 7);
    i64 guest = register_agent("guest", 5);
    EXPECT_EQ(agent_run_limits(coder).profile, 2);
    EXPECT_EQ(agent_run_limits(coder).timeout_ms, 300000);
    EXPECT_EQ(agent_run_limits(planner).profile, 0);
    agent_record(coder)->own_profile = own_profile_code(1);
    agent_record(guest)->own_profile = own_profile_code(1);
    load("coder:tok-1\nplanner:tok-2:moderate\n");
    apply_token_profiles();
    EXPECT_EQ(agent_record(coder)->own_profile, k_no_own_profile);
    EXPECT_EQ(agent_record(planner)->own_profile, own_profile_code(1));
    EXPECT_EQ(agent_record(guest)->own_profile, own_profile_code(1));
    // Before it registers, a token agent's runs are judged by its line's profile already.
    load("late:tok-3:strict\n");
    apply_profile(2);
    EXPECT_EQ(agent_run_limits_by_name("late", 4).profile, 0);
    EXPECT_EQ(agent_run_limits_by_name("other", 5).profile, 2);
    EXPECT_EQ(agent_run_limits_by_name("guest", 5).profile, 1);
    load("");
}

} // namespace
