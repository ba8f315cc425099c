#include "admin/policy_endpoints.h"
#include "core/state.h"
#include "policy/policy_file.h"
#include "policy/rules.h"
#include "runtime/heap.h"
#include "tests/unit/fresh_server.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct PolicyState : FreshServer {

    void load(const std::string& text) { load_policy_text(text.data(), (i64)text.size(), k_policy_startup); }
    std::string report()
    {
        std::vector<char> out(k_policy_report_size);
        i64 len = build_policy_report(out.data());
        EXPECT_LE(len, k_policy_report_size);
        return std::string(out.data(), len);
    }
};

using BuildPolicyReport = PolicyState;

TEST_F(BuildPolicyReport, DefaultsExactly)
{
    EXPECT_EQ(report(),
        R"({"blacklist":["rm -rf /","dd if","mkfs",":(){ :","wget","curl","netcat","python -c 'im",)"
        R"("chmod 777","chown root","shutdown","reboot","nmap","/etc/shadow","/etc/passwd",".ssh/id_",)"
        R"("/dev/sda"],"whitelist":["ls","cat","echo","pwd","head","tail","wc","grep","find","date",)"
        R"("whoami","uname","python3","node"],"blacklist_count":17,"whitelist_count":14,"profile":0,)"
        R"("max_rate_per_agent":120,"default_token_budget":0,"matcher":"bytes"})");
}

TEST_F(BuildPolicyReport, EmptyListsAndSettings)
{
    load("[config]\nprofile=2\nmax_rate_per_agent=5\ndefault_token_budget=700\n");
    EXPECT_EQ(report(),
        R"({"blacklist":[],"whitelist":[],"blacklist_count":0,"whitelist_count":0,"profile":2,)"
        R"("max_rate_per_agent":5,"default_token_budget":700,"matcher":"bytes"})");
}

TEST_F(BuildPolicyReport, EscapesSoEveryRuleDecodesToItsBytes)
{
    load("");
    add_blacklist_rule("a\"b\\c", 5);
    add_blacklist_rule("t\tx\x01\x1f", 5);
    add_whitelist_rule("caf\xC3\xA9\x7f", 6);
    EXPECT_EQ(report(),
        R"({"blacklist":["a\"b\\c","t\tx\u0001\u001f"],"whitelist":["caf)"
        "\xC3\xA9\x7f"
        R"("],"blacklist_count":2,"whitelist_count":1,"profile":0,"max_rate_per_agent":120,"default_token_budget":0,"matcher":"bytes"})");
}

TEST_F(BuildPolicyReport, WorstCaseFitsTheBuffer)
{
    load("");
    std::string controls(200, '\x01');
    while (add_blacklist_rule(controls.data(), 200))
        ;
    while (add_blacklist_rule("\x02", 1))
        ;
    while (add_whitelist_rule(controls.data(), 200))
        ;
    while (add_whitelist_rule("\"", 1))
        ;
    state.profile = state.max_rate_per_agent = state.default_token_budget = -9223372036854775807L - 1;
    std::string text = report();
    EXPECT_GT(text.size(), 5u * (k_blacklist_area + k_whitelist_area));
    EXPECT_EQ(text.find('\x01'), std::string::npos);
}

TEST(ClassifyRuleAction, ByFirstFourthAndFifthByte)
{
    struct Row {
        const char* action;
        RuleActionKind kind;
        i64 blacklist;
        i64 whitelist;
    };
    static constexpr Row rows[] = {
        { "add_bl", k_rule_add, 1, 0 },
        { "rm_bl", k_rule_remove, 1, 0 },
        { "add_wl", k_rule_add, 0, 1 },
        { "rm_wl", k_rule_remove, 0, 1 },
        { "remove", k_rule_remove, 0, 0 },
        { "rm_bw", k_rule_remove, 1, 1 },
        { "xdd_bl", k_rule_none, 1, 0 },
        { "a", k_rule_add, 0, 0 },
    };
    for (const Row& row : rows) {
        char text[16] = {};
        std::string(row.action).copy(text, 15);
        RuleAction action = classify_rule_action(text);
        EXPECT_EQ(action.kind, row.kind) << row.action;
        EXPECT_EQ(action.blacklist, row.blacklist) << row.action;
        EXPECT_EQ(action.whitelist, row.whitelist) << row.action;
    }
}

TEST(RuleStorable, RefusesWhatTheFileCannotHold)
{
    auto storable = [](const std::string& rule) { return rule_storable(rule.data(), (i64)rule.size()); };
    EXPECT_EQ(storable("sudo"), 1);
    EXPECT_EQ(storable("rm -rf /tmp/#x [y]"), 1);
    EXPECT_EQ(storable(" #"), 1);
    EXPECT_EQ(storable("#sudo"), 0);
    EXPECT_EQ(storable("[whitelist]"), 0);
    EXPECT_EQ(storable("a\nb"), 0);
    EXPECT_EQ(storable("ab\r"), 0);
}

using RemoveRule = PolicyState;

TEST_F(RemoveRule, TakesOnlyTheFirstEqualRuleAndKeepsTheEndMark)
{
    load("[blacklist]\ncurl\nsudo\ncurl\nwget\n");
    i64 used = state.blacklist_used;
    EXPECT_EQ(remove_rule(state.blacklist, k_blacklist_area, &state.blacklist_count, &state.blacklist_used, "curl", 4), 1);
    EXPECT_EQ(state.blacklist_count, 3);
    EXPECT_EQ(state.blacklist_used, used - 5);
    EXPECT_EQ(state.blacklist[state.blacklist_used], 0);
    for (i64 i = state.blacklist_used; i < used; i++)
        EXPECT_EQ(state.blacklist[i], 0) << i;
    EXPECT_EQ(std::string(state.blacklist, state.blacklist_used),
        std::string("\x04sudo\x04"
                    "curl\x04wget"));
    // The list stays appendable where the removed bytes were.
    EXPECT_EQ(add_blacklist_rule("nc", 2), 1);
    EXPECT_EQ(std::string(state.blacklist + 15, 3), "\x02nc");
}

TEST_F(RemoveRule, NeedsSameLengthAndBytes)
{
    i64 count = state.whitelist_count;
    EXPECT_EQ(remove_rule(state.whitelist, k_whitelist_area, &state.whitelist_count, &state.whitelist_used, "perl", 4), 0);
    EXPECT_EQ(remove_rule(state.whitelist, k_whitelist_area, &state.whitelist_count, &state.whitelist_used, "l", 1), 0);
    EXPECT_EQ(remove_rule(state.whitelist, k_whitelist_area, &state.whitelist_count, &state.whitelist_used, "lss", 3), 0);
    EXPECT_EQ(state.whitelist_count, count);
    EXPECT_EQ(remove_rule(state.whitelist, k_whitelist_area, &state.whitelist_count, &state.whitelist_used, "node", 4), 1);
    EXPECT_EQ(state.whitelist_count, count - 1);
    EXPECT_EQ(state.whitelist[state.whitelist_used], 0);
}

TEST(ReadProfileField, TheProfileMemberAsAnIntegerFromZeroToTwo)
{
    auto field = [](const std::string& body) {
        std::string req = "POST /api/profile HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        ProfileField read = read_profile_field(req.data(), (i64)req.size());
        return read.status == k_profile_given ? read.profile : read.status == k_profile_missing ? -1 : -2;
    };
    EXPECT_EQ(field(R"({"profile":2})"), 2);
    EXPECT_EQ(field(R"( { "x":"profile 1", "profile" : 0 } )"), 0);
    EXPECT_EQ(field(R"({"profile":10})"), -2);
    EXPECT_EQ(field(R"({"profile":7})"), -2);
    EXPECT_EQ(field(R"({"profile":-1})"), -2);
    EXPECT_EQ(field(R"({"profile":99999999999999999999})"), -2);
    EXPECT_EQ(field(R"({"profile":"0"})"), -2);
    EXPECT_EQ(field(R"({"profile":1.5})"), -2);
    EXPECT_EQ(field(R"({"nested":{"profile":1}})"), -1);
    EXPECT_EQ(field("{}"), -1);
    EXPECT_EQ(field(""), -1);
    std::string no_body = "POST /api/profile HTTP/1.1\r\n";
    EXPECT_EQ(read_profile_field(no_body.data(), (i64)no_body.size()).status, k_profile_missing);
}

} // namespace
