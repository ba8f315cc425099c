#include "core/config.h"
#include "core/state.h"
#include "exec/jail.h"
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

TEST(BuildJailPasswd, RootEverySandboxUidAndNobody)
{
    state_init_defaults();
    std::string text(jail_account_text_size(), '\0');
    text.resize(build_jail_passwd(text.data()));
    std::vector<std::string> rows = lines(text);
    ASSERT_EQ(rows.size(), (size_t)k_default_max_agents + 3);
    EXPECT_EQ(rows.front(), "root:x:0:0:root:/root:/bin/sh");
    EXPECT_EQ(rows[1], "sandbox:x:60000:60000:sandbox:/tmp:/bin/sh");
    EXPECT_EQ(rows[1025], "sandbox:x:61024:61024:sandbox:/tmp:/bin/sh");
    EXPECT_EQ(rows.back(), "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin");
    EXPECT_EQ(text.back(), '\n');
}

// The largest registry at the highest base it allows: every line at its widest still fits.
TEST(BuildJailPasswd, AccountsFollowTheRegistryAndStayBelowNobody)
{
    state_init_defaults();
    state.max_agents = k_max_agents_high;
    state.uid_base = uid_base_high(k_max_agents_high);
    std::string text(jail_account_text_size(), '\0');
    i64 len = build_jail_passwd(text.data());
    EXPECT_LE(len, jail_account_text_size());
    text.resize(len);
    std::vector<std::string> rows = lines(text);
    ASSERT_EQ(rows.size(), (size_t)k_max_agents_high + 3);
    EXPECT_EQ(rows[1], "sandbox:x:61437:61437:sandbox:/tmp:/bin/sh");
    EXPECT_EQ(rows[k_max_agents_high + 1], "sandbox:x:65533:65533:sandbox:/tmp:/bin/sh");
    EXPECT_EQ(rows.back(), "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin");
    std::string groups(jail_account_text_size(), '\0');
    groups.resize(build_jail_group(groups.data()));
    EXPECT_NE(groups.find("\nsandbox:x:65533:\nnogroup:x:65534:\n"), std::string::npos);
    state_init_defaults();
}

TEST(BuildJailGroup, MatchesThePasswdIds)
{
    state_init_defaults();
    state.max_agents = 32;
    std::string text(jail_account_text_size(), '\0');
    text.resize(build_jail_group(text.data()));
    std::vector<std::string> rows = lines(text);
    ASSERT_EQ(rows.size(), 35u);
    EXPECT_EQ(rows.front(), "root:x:0:");
    EXPECT_EQ(rows[17], "sandbox:x:60016:");
    EXPECT_EQ(rows.back(), "nogroup:x:65534:");
    state_init_defaults();
}

} // namespace
