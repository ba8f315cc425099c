#include "core/state.h"
#include "policy/command_judge.h"
#include "policy/policy_file.h"
#include "policy/rules.h"
#include "runtime/heap.h"
#include "runtime/fields.h"
#include "tests/unit/fresh_server.h"
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Rules = std::vector<std::string>;

Rules rules_of(const char* area, i64 area_size, i64 count)
{
    Rules out;
    for_each_rule(area, area_size, count, [&](const char* rule, i64 len) { out.emplace_back(rule, len); });
    return out;
}

Rules blacklist() { return rules_of(state.blacklist, k_blacklist_area, state.blacklist_count); }
Rules whitelist() { return rules_of(state.whitelist, k_whitelist_area, state.whitelist_count); }

struct PolicyFixture : FreshServer {

    void load(const std::string& text, PolicyVariant variant = k_policy_startup)
    {
        load_policy_text(text.data(), (i64)text.size(), variant);
    }
    std::string file_text()
    {
        std::vector<char> out(k_policy_text_size);
        i64 len = build_policy_file_text(out.data());
        EXPECT_LE(len, k_policy_text_size);
        return std::string(out.data(), len);
    }
};

using BuildPolicyFileText = PolicyFixture;
using LoadPolicyText = PolicyFixture;

TEST_F(BuildPolicyFileText, DefaultsInCanonicalForm)
{
    EXPECT_EQ(file_text(),
        "# Cindervox Policy \xE2\x80\x94 auto-saved by dashboard\n"
        "[config]\nprofile=0\nmax_rate_per_agent=120\ndefault_token_budget=0\nmatcher=bytes\n"
        "\n[blacklist]\n"
        "rm -rf /\ndd if\nmkfs\n:(){ :\nwget\ncurl\nnetcat\npython -c 'im\nchmod 777\nchown root\n"
        "shutdown\nreboot\nnmap\n/etc/shadow\n/etc/passwd\n.ssh/id_\n/dev/sda\n"
        "\n[whitelist]\n"
        "ls\ncat\necho\npwd\nhead\ntail\nwc\ngrep\nfind\ndate\nwhoami\nuname\npython3\nnode\n");
}

TEST_F(BuildPolicyFileText, EmptyListsKeepTheirHeaders)
{
    load("[config]\nprofile=1\n");
    state.default_token_budget = 5000;
    std::string text = file_text();
    EXPECT_NE(text.find("profile=1\nmax_rate_per_agent=120\ndefault_token_budget=5000\nmatcher=bytes\n\n[blacklist]\n\n[whitelist]\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 13), "\n[whitelist]\n");
}

TEST_F(BuildPolicyFileText, WorstCaseFitsTheBuffer)
{
    load("");
    while (add_blacklist_rule("x", 1))
        ;
    while (add_whitelist_rule("y", 1))
        ;
    EXPECT_EQ(state.blacklist_count, (k_blacklist_area - 1) / 2);
    EXPECT_EQ(state.whitelist_count, (k_whitelist_area - 1) / 2);
    state.profile = -9223372036854775807L - 1;
    state.max_rate_per_agent = -9223372036854775807L - 1;
    state.default_token_budget = -9223372036854775807L - 1;
    state.matcher = k_matcher_words;
    std::string text = file_text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10 + state.blacklist_count + state.whitelist_count);
    EXPECT_LE((i64)text.size(), 4096);

    // Long rules fill an area more densely than one-byte ones.
    load("");
    std::string rule(200, 'r');
    while (add_blacklist_rule(rule.data(), 200))
        ;
    while (add_blacklist_rule("z", 1))
        ;
    EXPECT_GE(state.blacklist_used, k_blacklist_area - 2);
    file_text();
}

TEST_F(LoadPolicyText, RoundTripsBothVariants)
{
    load("[blacklist]\nsudo \nrm \"x\" \\y\ncurl\ncurl\n[whitelist]\nls\ngit status\n[config]\nprofile=2\n"
         "max_rate_per_agent=77\ndefault_token_budget=123456\n");
    Rules black = blacklist();
    Rules white = whitelist();
    ASSERT_EQ(black, (Rules { "sudo ", "rm \"x\" \\y", "curl", "curl" }));
    std::string text = file_text();
    for (PolicyVariant variant : { k_policy_startup, k_policy_reload }) {
        SetUp();
        load(text, variant);
        EXPECT_EQ(blacklist(), black);
        EXPECT_EQ(whitelist(), white);
        EXPECT_EQ(state.profile, 2);
        EXPECT_EQ(state.timeout_ms, 300000);
        EXPECT_EQ(state.max_rate_per_agent, 77);
        EXPECT_EQ(state.default_token_budget, 123456);
        EXPECT_EQ(file_text(), text);
    }
}

TEST_F(LoadPolicyText, CrLfCommentsAndLastLineWithoutLf)
{
    load("# comment\r\n[blacklist]\r\ncurl\r\n#not a rule\r\n\r\n  spaced  \r\n[whitelist]\r\nls\r\nnode");
    EXPECT_EQ(blacklist(), (Rules { "curl", "  spaced  " }));
    EXPECT_EQ(whitelist(), (Rules { "ls", "node" }));
    // CR, LF and CR LF all end a line; the empty lines between are skipped.
    load("[blacklist]\nab\r\r\n\rcd\r\n");
    EXPECT_EQ(blacklist(), (Rules { "ab", "cd" }));
}

TEST_F(LoadPolicyText, ReplacesListsEvenWithoutListSections)
{
    load("[config]\nprofile=0\n");
    EXPECT_EQ(state.blacklist_count, 0);
    EXPECT_EQ(state.whitelist_count, 0);
    EXPECT_EQ(state.blacklist_used, 0);
    EXPECT_EQ(state.blacklist[0], 0);
    EXPECT_EQ(check_command_policy("ls", 2, 0), 2);
}

TEST_F(LoadPolicyText, LinesBeforeAnySectionAndUnknownHeadersAreIgnored)
{
    load("curl\nprofile=2\n[black]\nwget\n[blacklist]\na\n[zzzzzzzzzz]\nb\n");
    EXPECT_EQ(blacklist(), (Rules { "a", "b" }));
    EXPECT_EQ(state.profile, 0);
}

TEST_F(LoadPolicyText, HeaderLengthsDifferByVariant)
{
    load("[blocked]\nsudo\n", k_policy_startup);
    EXPECT_EQ(blacklist(), (Rules { "sudo" }));
    load("[whitelist]\nls\n[blocked]\nsudo\n", k_policy_reload);
    EXPECT_EQ(blacklist(), Rules {});
    EXPECT_EQ(whitelist(), (Rules { "ls", "sudo" }));
    // "[cfg....]": 8 to 10 bytes select the config section in both variants.
    load("[cfgxxxx]\nprofile=1\n", k_policy_reload);
    EXPECT_EQ(state.profile, 1);
    load("[cfg]\nprofile=2\n", k_policy_startup);
    EXPECT_EQ(state.profile, 1);
}

TEST_F(LoadPolicyText, RateKeyDiffersByVariant)
{
    load("[config]\nmax_mem_mb=5\n", k_policy_startup);
    EXPECT_EQ(state.max_rate_per_agent, 5);
    load("[config]\nmax_mem_mb=9\nmax_r=7\nm=3\n", k_policy_reload);
    EXPECT_EQ(state.max_rate_per_agent, 7);
}

TEST_F(LoadPolicyText, KeysAreKnownByTheirFirstLetterAndCommentsFollowValues)
{
    load("[config]\nprofile=1 # moderate\nmax_rate_per_agent=5\ndefault_token_budget=12\n");
    EXPECT_EQ(state.profile, 1);
    EXPECT_EQ(state.timeout_ms, 30000);
    // A rate limit below 1 would stop every agent: the current one stays.
    load("[config]\nmax_rate_per_agent=5\ndefault_token_budget=12\nmax_rate_per_agent=\ndefault_token_budget\npizza=2\nmax_rate_per_agent=0\n");
    EXPECT_EQ(state.max_rate_per_agent, 5);
    EXPECT_EQ(state.default_token_budget, 12);
    EXPECT_EQ(state.profile, 2);
}

// The console text of loading text in the given variant.
std::string load_watched(PolicyFixture* fixture, const std::string& text, PolicyVariant variant)
{
    testing::internal::CaptureStdout();
    fixture->load(text, variant);
    return testing::internal::GetCapturedStdout();
}

TEST_F(LoadPolicyText, ProfileOutsideTheTableIsIgnoredWithItsLineNamed)
{
    for (PolicyVariant variant : { k_policy_startup, k_policy_reload }) {
        load("[config]\nprofile=1\n", variant);
        std::string console = load_watched(this, "# mine\n[config]\nprofile=7\n\nprofile=123456789012345678901\n", variant);
        EXPECT_EQ(state.profile, 1);
        EXPECT_EQ(state.timeout_ms, 30000);
        EXPECT_EQ(state.max_mem_mb, 256);
        EXPECT_EQ(console,
            "[Cindervox] /etc/cindervox/policy.conf line 3: profile must be 0, 1 or 2; ignored\n"
            "[Cindervox] /etc/cindervox/policy.conf line 5: profile must be 0, 1 or 2; ignored\n");
    }
}

TEST_F(LoadPolicyText, RateAndBudgetOutsideTheirRangesAreIgnored)
{
    load("[config]\nmax_rate_per_agent=100000\ndefault_token_budget=4294967295\n");
    EXPECT_EQ(state.max_rate_per_agent, k_rate_limit_high);
    EXPECT_EQ(state.default_token_budget, k_token_budget_high);
    std::string console = load_watched(this,
        "[config]\r\nmax_rate_per_agent=100001\r\ndefault_token_budget=99999999999999999999999999\r\nmax_rate_per_agent=0\r\n",
        k_policy_reload);
    EXPECT_EQ(state.max_rate_per_agent, k_rate_limit_high);
    EXPECT_EQ(state.default_token_budget, k_token_budget_high);
    EXPECT_EQ(console,
        "[Cindervox] /etc/cindervox/policy.conf line 2: max_rate_per_agent must be a whole number from 1 to 100000; ignored\n"
        "[Cindervox] /etc/cindervox/policy.conf line 3: default_token_budget must be a whole number from 0 to 4294967295; ignored\n"
        "[Cindervox] /etc/cindervox/policy.conf line 4: max_rate_per_agent must be a whole number from 1 to 100000; ignored\n");
}

TEST_F(LoadPolicyText, ValuesThatAreNoPlainNumberAreIgnored)
{
    load("[config]\nprofile=1\nmax_rate_per_agent=30\ndefault_token_budget=5\n");
    // A digit in a comment, a sign or a letter never makes a different number.
    std::string console = load_watched(this,
        "[config]\nprofile=0   # was 2 before the audit\nmax_rate_per_agent=-1\ndefault_token_budget=5 # 0 = none\nprofile=1a2\n",
        k_policy_reload);
    EXPECT_EQ(state.profile, 0);
    EXPECT_EQ(state.max_rate_per_agent, 30);
    EXPECT_EQ(state.default_token_budget, 5);
    EXPECT_EQ(console,
        "[Cindervox] /etc/cindervox/policy.conf line 3: max_rate_per_agent must be a whole number from 1 to 100000; ignored\n"
        "[Cindervox] /etc/cindervox/policy.conf line 5: profile must be 0, 1 or 2; ignored\n");
}

TEST_F(LoadPolicyText, MatcherIsBytesOrWordsAndOtherValuesAreIgnored)
{
    for (PolicyVariant variant : { k_policy_startup, k_policy_reload }) {
        load("[config]\nmatcher= words \n", variant);
        EXPECT_EQ(state.matcher, k_matcher_words);
        i64 rate = state.max_rate_per_agent;
        std::string console = load_watched(this, "[config]\nmatcher=fast\nmatcher=Bytes\n", variant);
        EXPECT_EQ(state.matcher, k_matcher_words);
        EXPECT_EQ(state.max_rate_per_agent, rate);
        EXPECT_EQ(console,
            "[Cindervox] /etc/cindervox/policy.conf line 2: matcher must be bytes or words; ignored\n"
            "[Cindervox] /etc/cindervox/policy.conf line 3: matcher must be bytes or words; ignored\n");
        load("[config]\nmatcher=bytes\n", variant);
        EXPECT_EQ(state.matcher, k_matcher_bytes);
    }
}

TEST(SettingValue, DigitsWithBlanksAndAnOptionalComment)
{
    struct Case {
        const char* text;
        i64 value;
    };
    for (Case c : { Case { "5", 5 }, { " 42\t", 42 }, { "7 # seven", 7 }, { "7#", 7 }, { "0", 0 }, { "", -1 }, { "  ", -1 },
             { "# 5", -1 }, { "1a2", -1 }, { "-5", -1 }, { "+5", -1 }, { "1 2", -1 }, { "99999999999999999999", -1 },
             { "9223372036854775807", 9223372036854775807L } })
        EXPECT_EQ(setting_value(c.text, (i64)strlen(c.text)), c.value) << c.text;
}

TEST_F(LoadPolicyText, OverflowingAreaKeepsRulesThatFit)
{
    std::string text = "[whitelist]\n";
    for (int i = 0; i < 10; i++)
        text += std::string(150, (char)('a' + i)) + "\n";
    text += "tail\n" + std::string(201, 'x') + "\n";
    load(text);
    Rules white = whitelist();
    ASSERT_EQ(white.size(), 7u);
    EXPECT_EQ(white[5], std::string(150, 'f'));
    EXPECT_EQ(white[6], "tail");
    EXPECT_LE(state.whitelist_used, k_whitelist_area - 1);
}

} // namespace
