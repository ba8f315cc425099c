#include "core/state.h"
#include "policy/rules.h"
#include "runtime/heap.h"
#include "tests/unit/fresh_server.h"
#include <gtest/gtest.h>
#include <string>

namespace {

struct Policy : FreshServer {
    i64 verdict(const std::string& cmd, i64 profile = 0) { return check_command_policy(cmd.data(), (i64)cmd.size(), profile); }
};

TEST_F(Policy, StrictVerdicts)
{
    EXPECT_EQ(verdict("ls -la"), 0);
    EXPECT_EQ(verdict("ls"), 0);
    EXPECT_EQ(verdict("ls|wc -l"), 0);
    EXPECT_EQ(verdict("ls;id"), 0);
    EXPECT_EQ(verdict("wc"), 0);
    EXPECT_EQ(verdict("python3 -c 'import os'"), 0);
    EXPECT_EQ(verdict("lsof"), 2);
    EXPECT_EQ(verdict(" ls"), 2);
    EXPECT_EQ(verdict("/bin/ls"), 2);
    EXPECT_EQ(verdict("ls\t-la"), 2);
    EXPECT_EQ(verdict("cat /etc/passwd"), 1);
    EXPECT_EQ(verdict("echo rm -rf /"), 1);
    EXPECT_EQ(verdict("python -c 'import os'"), 1);
    EXPECT_EQ(verdict("echo mycurlx"), 1);
    EXPECT_EQ(verdict("echo CURL"), 0);
}

// The profile passed in judges, not the global one: an agent's own profile may differ.
TEST_F(Policy, OtherProfilesSkipTheWhitelist)
{
    for (i64 p : { 1, 2 }) {
        EXPECT_EQ(verdict("lsof", p), 0) << p;
        EXPECT_EQ(verdict("/bin/ls", p), 0) << p;
        EXPECT_EQ(verdict("id", p), 0) << p;
        EXPECT_EQ(verdict("curl x", p), 1) << p;
    }
    apply_profile(2);
    EXPECT_EQ(verdict("id", 0), 2);
}

TEST_F(Policy, EmptyWhitelistRefusesEverythingInStrict)
{
    state.whitelist_count = 0;
    state.whitelist_used = 0;
    state.whitelist[0] = 0;
    EXPECT_EQ(verdict("ls"), 2);
    EXPECT_EQ(verdict("wget"), 1);
}

TEST_F(Policy, ApplyProfileSetsRowsAndRefusesNumbersWithoutARow)
{
    EXPECT_TRUE(apply_profile(2));
    EXPECT_EQ(state.timeout_ms, 300000);
    EXPECT_EQ(state.max_fsize, 104857600);
    apply_profile(1);
    apply_profile(0);
    EXPECT_EQ(state.timeout_ms, 5000);
    EXPECT_EQ(state.max_mem_mb, 64);
    EXPECT_EQ(state.max_cpu_sec, 5);
    EXPECT_EQ(state.max_procs, 16);
    EXPECT_EQ(state.max_fsize, 10485760);
    EXPECT_EQ(state.max_nofile, 32);
    apply_profile(1);
    for (i64 p : { (i64)3, (i64)7, (i64)-1, k_i64_max, -k_i64_max - 1 }) {
        EXPECT_FALSE(apply_profile(p)) << p;
        EXPECT_EQ(state.profile, 1);
        EXPECT_EQ(state.max_nofile, 64);
        EXPECT_EQ(profile_name(p), nullptr);
    }
    EXPECT_STREQ(profile_name(1), "moderate");
}

TEST_F(Policy, DefaultListsAreStoredLengthPrefixed)
{
    EXPECT_EQ(state.blacklist_count, 17);
    EXPECT_EQ(state.blacklist_used, 142);
    EXPECT_EQ(state.whitelist_count, 14);
    EXPECT_EQ(std::string(state.blacklist, 9), std::string("\x08rm -rf /", 9));
    EXPECT_EQ(state.blacklist[142], 0);
}

TEST_F(Policy, AppendRefusesBadLengthsAndKeepsDuplicates)
{
    std::string r200(200, 'x'), r201(201, 'y');
    EXPECT_EQ(add_whitelist_rule(r201.data(), 201), 0);
    EXPECT_EQ(add_whitelist_rule("", 0), 0);
    EXPECT_EQ(state.whitelist_count, 14);
    EXPECT_EQ(add_whitelist_rule(r200.data(), 200), 1);
    EXPECT_EQ(add_blacklist_rule("curl", 4), 1);
    EXPECT_EQ(state.blacklist_count, 18);
    EXPECT_EQ(verdict(r200), 0);
}

TEST_F(Policy, AppendRefusesRuleThatNoLongerFitsItsArea)
{
    state.blacklist = (char*)heap_alloc(k_blacklist_area + 8);
    state.blacklist_count = state.blacklist_used = 0;
    std::string big(200, 'b');
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(add_blacklist_rule(big.data(), 200), 1);
    EXPECT_EQ(state.blacklist_used, 2010);
    std::string last(36, 'z');
    EXPECT_EQ(add_blacklist_rule((last + "z").data(), 37), 0);
    EXPECT_EQ(state.blacklist_used, 2010);
    EXPECT_EQ(state.blacklist_count, 10);
    EXPECT_EQ(add_blacklist_rule(last.data(), 36), 1);
    EXPECT_EQ(state.blacklist_used, 2047);
    EXPECT_EQ(add_blacklist_rule("a", 1), 0);
    EXPECT_EQ(state.blacklist[2047], 0);
    EXPECT_EQ(state.blacklist[2048], 0);
    EXPECT_EQ(verdict("echo " + last), 1);
}

} // namespace
