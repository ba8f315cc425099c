#include "fleet/fleet_file.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

static bool parses(const std::string& line, FleetEntryText* text = nullptr)
{
    FleetEntryText scratch;
    return parse_fleet_line(line.data(), (i64)line.size(), text ? text : &scratch) == 1;
}

struct Applied {
    FleetFileOutcome outcome;
    FleetConfig config;
    std::vector<FleetEntryText> texts;
};

static Applied apply(const std::string& file)
{
    Applied a { {}, fleet_config, std::vector<FleetEntryText>(k_fleet_sandbox_slots) };
    a.outcome = apply_fleet_file_text(file.data(), (i64)file.size(), a.texts.data(), &a.config);
    return a;
}

TEST(ParseFleetLine, ReadsNameUrlAndOptionalLogin)
{
    FleetEntryText t;
    ASSERT_TRUE(parses("edge-1 http://10.0.0.5:7575", &t));
    EXPECT_STREQ(t.name, "edge-1");
    EXPECT_STREQ(t.url, "http://10.0.0.5:7575");
    EXPECT_STREQ(t.auth, "");
    ASSERT_TRUE(parses("\tedge_2\t https://box.example:8443/cvx/ \tops:s3cr#t:x \r", &t));
    EXPECT_STREQ(t.name, "edge_2");
    EXPECT_STREQ(t.url, "https://box.example:8443/cvx");
    EXPECT_STREQ(t.auth, "b3BzOnMzY3IjdDp4");  // ops:s3cr#t:x
    ASSERT_TRUE(parses("v6 http://[fd00::2]:7575", &t));
    EXPECT_STREQ(t.url, "http://[fd00::2]:7575");
}

TEST(ParseFleetLine, RefusesWhatWouldNeedEscapingOrIsMalformed)
{
    const char* bad[] = {
        "lonely",
        "a http://h:1 u:p extra",
        "a ftp://h:1",
        "a http://",
        "a http:///",
        "a http://h'+alert(1)+'",
        "a http://h\"x",
        "a http://h<x>",
        "a\\b http://h:1",
        "<img> http://h:1",
        "a'b http://h:1",
        "a http://h:1 nocolon",
        "a http://h:1 u:p\x7f",
    };
    for (const char* line : bad)
        EXPECT_FALSE(parses(line)) << line;
}

TEST(ParseFleetLine, HoldsLengthsToTheirBounds)
{
    std::string url = "http://" + std::string(k_fleet_url_max - 7, 'h');
    std::string name(k_fleet_name_max, 'n');
    std::string login = "u:" + std::string(k_fleet_login_max - 2, 'p');
    FleetEntryText t;
    ASSERT_TRUE(parses(name + " " + url + " " + login, &t));
    EXPECT_EQ(std::string(t.auth).size(), (size_t)k_fleet_auth_max);
    EXPECT_FALSE(parses(name + "n " + url));
    EXPECT_FALSE(parses(name + " " + url + "h"));
    EXPECT_FALSE(parses(name + " " + url + " " + login + "p"));
}

TEST(ApplyFleetFileText, TakesSandboxesInFileOrderSkippingCommentsAndBadLines)
{
    Applied a = apply("# fleet\r\n"
                      "\r\n"
                      "east http://10.1.0.2:7575 admin:pw\r\n"
                      "broken\r\n"
                      "   # indented comment\n"
                      "west http://10.1.0.3:7575\n"
                      "bad http://x'y\n"
                      "north http://10.1.0.4:7575");
    EXPECT_EQ(a.outcome.entries, 3);
    EXPECT_EQ(a.outcome.skipped_count, 2);
    EXPECT_EQ(a.outcome.skipped_lines[0], 4);
    EXPECT_EQ(a.outcome.skipped_lines[1], 7);
    ASSERT_EQ(a.config.sandbox_count, 3);
    EXPECT_STREQ(a.config.sandboxes[0].name, "east");
    EXPECT_STREQ(a.config.sandboxes[0].auth, "YWRtaW46cHc=");
    EXPECT_STREQ(a.config.sandboxes[1].url, "http://10.1.0.3:7575");
    EXPECT_EQ(a.config.sandboxes[1].auth, nullptr);
    EXPECT_STREQ(a.config.sandboxes[2].name, "north");
}

TEST(ApplyFleetFileText, KeepsTheBuiltInTableWhenNothingIsNamed)
{
    for (const char* file : { "", "# only a comment\n", "junk\n\n" }) {
        Applied a = apply(file);
        EXPECT_EQ(a.outcome.entries, 0);
        EXPECT_EQ(a.config.sandbox_count, 2);
        EXPECT_STREQ(a.config.sandboxes[0].url, "http://localhost:7575");
    }
}

TEST(ApplyFleetFileText, IgnoresSandboxesBeyondTheTable)
{
    std::string file;
    for (int i = 0; i < k_fleet_sandbox_slots + 3; i++)
        file += "s" + std::to_string(i) + " http://10.2.0." + std::to_string(i + 2) + ":7575\n";
    for (int i = 0; i < k_fleet_skipped_named + 2; i++)
        file += "bad\n";
    Applied a = apply(file);
    EXPECT_EQ(a.outcome.entries, k_fleet_sandbox_slots);
    EXPECT_EQ(a.outcome.beyond_slots, 3);
    EXPECT_EQ(a.outcome.skipped_count, k_fleet_skipped_named + 2);
    EXPECT_EQ(a.outcome.skipped_lines[k_fleet_skipped_named - 1], k_fleet_sandbox_slots + 3 + k_fleet_skipped_named);
    EXPECT_STREQ(a.config.sandboxes[k_fleet_sandbox_slots - 1].name, "s15");
}

TEST(ApplyFleetFileText, LoginLineSetsThePageLoginAsBase64)
{
    Applied a = apply("# fleet\nlogin ops:n3w-pass\r\nedge http://10.0.0.5:7575\n");
    EXPECT_TRUE(a.outcome.login_given);
    EXPECT_TRUE(a.config.login_configured);
    EXPECT_EQ(std::string(a.config.login, a.config.login_len), "b3BzOm4zdy1wYXNz");
    EXPECT_EQ(a.config.login[a.config.login_len], 0);
    EXPECT_EQ(a.outcome.entries, 1);
    EXPECT_EQ(a.outcome.skipped_count, 0);
}

TEST(ApplyFleetFileText, LoginLineAloneKeepsTheBuiltInSandboxes)
{
    std::string longest = "u:" + std::string(k_fleet_login_max - 2, 'p');
    Applied a = apply("login " + longest + "\n");
    EXPECT_EQ(a.config.sandbox_count, fleet_config.sandbox_count);
    EXPECT_EQ(a.config.login_len, k_fleet_auth_max);
}

TEST(ApplyFleetFileText, MalformedOrSecondLoginLinesAreSkipped)
{
    Applied a = apply("login\nlogin nocolon\nlogin a:b extra\nlogin " + std::string(k_fleet_login_max, ':') +
        "x\nlogin first:one\nlogin second:two\nlogin http://x:1 u:p\n");
    EXPECT_EQ(std::string(a.config.login, a.config.login_len), "Zmlyc3Q6b25l"); // first:one
    EXPECT_EQ(a.outcome.skipped_count, 6);
    EXPECT_EQ(a.outcome.entries, 0);
}

TEST(ApplyFleetFileText, WithoutLoginLineTheDefaultStays)
{
    Applied a = apply("edge http://10.0.0.5:7575\n");
    EXPECT_FALSE(a.outcome.login_given);
    EXPECT_FALSE(a.config.login_configured);
    EXPECT_EQ(std::string(a.config.login, a.config.login_len), k_fleet_default_credential);
}
