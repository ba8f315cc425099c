#include "core/config.h"
#include "core/state.h"
#include "runtime/heap.h"
#include "runtime/text.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct ConfigFixture : ::testing::Test {
    void SetUp() override
    {
        if (!heap.heap_base)
            heap_init();
        state_init_defaults();
    }
    i64 apply(const std::string& text) { return apply_config_text(text.data(), (i64)text.size()); }
    std::string credential() { return std::string(state.basic_credential, state.basic_credential_len); }
    std::string token() { return std::string(state.bearer_token, state.bearer_token_len); }
    // The loader keeps a pointer into the text it was given, as it does with its heap buffer.
    void token_text(const std::string& text)
    {
        static char buf[300];
        copy_bytes(buf, text.data(), (i64)text.size());
        apply_token_text(buf, (i64)text.size());
    }
};

using ApplyConfigText = ConfigFixture;

TEST_F(ApplyConfigText, TakesCredentialAndPortAsWrittenBySettings)
{
    EXPECT_EQ(apply("ops:secretpw\nport=8080\n"), 8080);
    EXPECT_EQ(credential(), "b3BzOnNlY3JldHB3");
}

TEST_F(ApplyConfigText, PortOnlyKeepsDefaultCredential)
{
    EXPECT_EQ(apply("port=9090"), 9090);
    EXPECT_EQ(credential(), "dGVyb3g6d2lja2VycG9k");
}

TEST_F(ApplyConfigText, PortIsAWholeNumberAndLaterLineWins)
{
    EXPECT_EQ(apply("port=80a80\n"), 0);
    EXPECT_EQ(apply("port=-80\n"), 0);
    EXPECT_EQ(apply("port= 8080  # the API\n"), 8080);
    EXPECT_EQ(apply("port=1000\npart=2000\n"), 2000);
    EXPECT_EQ(apply("port=0\n"), 0);
    EXPECT_EQ(apply("port=\n"), 0);
    EXPECT_EQ(apply("prt=99\n"), 0);
}

TEST_F(ApplyConfigText, PortBoundsAreTaken)
{
    EXPECT_EQ(apply("port=65535\n"), 65535);
    EXPECT_EQ(apply("port=1\n"), 1);
}

TEST_F(ApplyConfigText, CrLfIsNotPartOfCredential)
{
    apply("a:b\r\nport=1\r\n");
    EXPECT_EQ(credential(), "YTpi");
}

TEST_F(ApplyConfigText, FirstCredentialLineOnlyAndNoEquals)
{
    apply("x=y:z\nfirst:one\nsecond:two");
    EXPECT_EQ(credential(), "Zmlyc3Q6b25l");
}

TEST_F(ApplyConfigText, CredentialWithoutFinalNewline)
{
    apply("port=1\nu:p");
    EXPECT_EQ(credential(), "dTpw");
}

TEST_F(ApplyConfigText, OverlongCredentialLineIsIgnored)
{
    std::string fits = "u:" + std::string(k_credential_line_max - 2, 'p');
    apply(fits);
    EXPECT_EQ((i64)credential().size(), 4 * ((k_credential_line_max + 2) / 3));
    EXPECT_LT(state.basic_credential_len, k_credential_buffer);
    state_init_defaults();
    apply("u:" + std::string(k_credential_line_max - 1, 'p'));
    EXPECT_EQ(credential(), "dGVyb3g6d2lja2VycG9k");
}

using ApplyTokenText = ConfigFixture;

TEST_F(ApplyTokenText, TrimsTrailingBlanksAndLineEnds)
{
    token_text("abc \r\n");
    EXPECT_EQ(token(), "abc");
    token_text("  lead\ninner\n");
    EXPECT_EQ(token(), "  lead\ninner");
}

TEST_F(ApplyTokenText, EmptyOrBlankGivesDefault)
{
    token_text(" \r\n \n");
    EXPECT_EQ(token(), "lanternfish-bearer-0000");
    token_text("");
    EXPECT_EQ(token(), "lanternfish-bearer-0000");
}

TEST(CredentialLineStorable, RefusesWhatTheConfigReaderWouldNotTakeBack)
{
    auto storable = [](const std::string& line) { return credential_line_storable(line.data(), (i64)line.size()); };
    EXPECT_EQ(storable("ops:secretpw"), 1);
    EXPECT_EQ(storable("ops:pa:ss w#rd"), 1);
    EXPECT_EQ(storable("ops:abc=def"), 0);
    EXPECT_EQ(storable("op=s:abcdefgh"), 0);
    EXPECT_EQ(storable("ops:abc\nport=22"), 0);
    EXPECT_EQ(storable("ops:abc\rdef"), 0);
}

std::string config_text(const std::string& line, i64 port)
{
    std::vector<char> out(k_config_text_size);
    i64 len = build_config_text(out.data(), line.data(), (i64)line.size(), port);
    EXPECT_LE(len, k_config_text_size);
    return std::string(out.data(), len);
}

TEST(BuildConfigText, CredentialLineThenPortLine)
{
    EXPECT_EQ(config_text("ops:secretpw", 7575), "ops:secretpw\nport=7575\n");
    std::string longest = std::string(k_username_capacity, 'u') + ":" + std::string(k_password_capacity, 'p');
    EXPECT_EQ(config_text(longest, -9223372036854775807L - 1), longest + "\nport=-9223372036854775808\n");
}

TEST(BuildConfigText, WhatItWritesReadsBackAsTheSameLogin)
{
    if (!heap.heap_base)
        heap_init();
    char* mark = heap_mark();
    state_init_defaults();
    std::string line = std::string(k_username_capacity, 'u') + ":" + std::string(k_password_capacity, '#');
    std::string text = config_text(line, 8080);
    ASSERT_LE((i64)text.size(), k_config_read_max);
    EXPECT_EQ(apply_config_text(text.data(), (i64)text.size()), 8080);
    std::vector<char> expected(k_credential_buffer);
    i64 len = base64_encode(line.data(), (i64)line.size(), expected.data());
    EXPECT_EQ(std::string(state.basic_credential, state.basic_credential_len), std::string(expected.data(), len));
    heap_release(mark);
}

} // namespace

namespace {

TEST_F(ApplyConfigText, CapacityLinesInRangeAreTakenAndSurviveARewrite)
{
    EXPECT_EQ(apply("max_connections=16\nmax_concurrent_runs=64\nworkspace_mb=1\nworkspace_total_mb=1048576\nmax_runs_per_agent=320\nuid_base=65501\n"
                    "agent_idle_minutes=10080\nmax_agents=32\nport=8080\n"),
        8080);
    EXPECT_EQ(state.uid_base, uid_base_high(32));
    EXPECT_EQ(state.max_agents, 32);
    EXPECT_EQ(state.agent_idle_minutes, k_agent_idle_minutes_high);
    EXPECT_EQ(state.max_connections, k_max_connections_low);
    EXPECT_EQ(state.max_concurrent_runs, k_max_concurrent_runs_high);
    EXPECT_EQ(state.workspace_mb, 1);
    EXPECT_EQ(state.workspace_total_mb, k_workspace_mb_max);
    std::string line = std::string(k_username_capacity, 'u') + ":" + std::string(k_password_capacity, 'p');
    std::vector<char> out(k_config_text_size);
    i64 len = build_config_text(out.data(), line.data(), (i64)line.size(), -9223372036854775807L - 1);
    ASSERT_LE(len, k_config_text_size);
    ASSERT_LE(len, k_config_read_max);
    std::string text(out.data(), len);
    EXPECT_NE(text.find("\nmax_connections=16\nmax_concurrent_runs=64\n"), std::string::npos) << text;
    state_init_defaults();
    apply(text);
    EXPECT_EQ(state.max_connections, k_max_connections_low);
    EXPECT_EQ(state.max_concurrent_runs, k_max_concurrent_runs_high);
    EXPECT_EQ(state.workspace_total_mb, k_workspace_mb_max);
    EXPECT_EQ(state.max_runs_per_agent, k_max_runs_per_agent_high);
    EXPECT_EQ(state.uid_base, uid_base_high(32));
    EXPECT_EQ(state.max_agents, 32);
    EXPECT_EQ(state.agent_idle_minutes, k_agent_idle_minutes_high);
}

// What the console says about a text, and the port it gave.
struct Applied {
    i64 port;
    std::string console;
};

Applied apply_watched(const std::string& text)
{
    testing::internal::CaptureStdout();
    i64 port = apply_config_text(text.data(), (i64)text.size());
    return { port, testing::internal::GetCapturedStdout() };
}

TEST_F(ApplyConfigText, NumbersOutOfRangeAreIgnoredWithTheirLineNamed)
{
    Applied applied = apply_watched("# capacity\nmax_connections=15\r\nmax_concurrent_runs=0\n\nmax_concurrent_runs=65\n"
                                    "workspace_mb=0\nworkspace_total_mb=1048577\nport=0\nport=70000\nmax_connections=\n");
    EXPECT_EQ(applied.port, 0);
    EXPECT_EQ(state.max_connections, k_default_max_connections);
    EXPECT_EQ(state.max_concurrent_runs, k_default_max_concurrent_runs);
    EXPECT_EQ(state.workspace_mb, k_default_workspace_mb);
    EXPECT_EQ(state.workspace_total_mb, k_default_workspace_total_mb);
    const char* lines[] = {
        "[Cindervox] /etc/cindervox/config line 2: max_connections must be a whole number from 16 to 16384; ignored\n",
        "[Cindervox] /etc/cindervox/config line 3: max_concurrent_runs must be a whole number from 1 to 64; ignored\n",
        "[Cindervox] /etc/cindervox/config line 5: max_concurrent_runs must be a whole number from 1 to 64; ignored\n",
        "[Cindervox] /etc/cindervox/config line 6: workspace_mb must be a whole number from 1 to 1048576; ignored\n",
        "[Cindervox] /etc/cindervox/config line 7: workspace_total_mb must be a whole number from 1 to 1048576; ignored\n",
        "[Cindervox] /etc/cindervox/config line 8: port must be a whole number from 1 to 65535; ignored\n",
        "[Cindervox] /etc/cindervox/config line 9: port must be a whole number from 1 to 65535; ignored\n",
        "[Cindervox] /etc/cindervox/config line 10: max_connections must be a whole number from 16 to 16384; ignored\n",
    };
    for (const char* line : lines)
        EXPECT_NE(applied.console.find(line), std::string::npos) << line << applied.console;
    EXPECT_EQ(applied.console.find("Port configured"), std::string::npos);
}

TEST_F(ApplyConfigText, RunsPerAgentTakesZeroForHalfTheSlotsUpToEverySlotAndTheQueue)
{
    Applied applied = apply_watched("max_runs_per_agent=7\nmax_runs_per_agent=321\n");
    EXPECT_EQ(state.max_runs_per_agent, 7);
    EXPECT_NE(applied.console.find("line 2: max_runs_per_agent must be a whole number from 0 to 320; ignored\n"), std::string::npos) << applied.console;
    apply("max_runs_per_agent=0\n");
    EXPECT_EQ(state.max_runs_per_agent, 0);
}

TEST_F(ApplyConfigText, PreparedRunsTakesZeroToSixteenAndSurvivesARewrite)
{
    EXPECT_EQ(state.prepared_runs, 2);
    Applied applied = apply_watched("prepared_runs=0\nprepared_runs=17\n");
    EXPECT_EQ(state.prepared_runs, 0);
    EXPECT_NE(applied.console.find("line 2: prepared_runs must be a whole number from 0 to 16; ignored\n"), std::string::npos) << applied.console;
    char out[k_config_text_size];
    std::string text(out, build_config_text(out, "a:b", 3, 7575));
    EXPECT_EQ(text, "a:b\nport=7575\nprepared_runs=0\n");
    apply("prepared_runs=16\n");
    EXPECT_EQ(state.prepared_runs, 16);
}

TEST_F(ApplyConfigText, AnIgnoredLineLeavesAnEarlierGoodOneStanding)
{
    Applied applied = apply_watched("max_connections=2048\nmax_connections=99999\nport=8080\nport=99999\n");
    EXPECT_EQ(applied.port, 8080);
    EXPECT_EQ(state.max_connections, 2048);
    EXPECT_NE(applied.console.find("line 2: max_connections must be a whole number from 16 to 16384; ignored\n"), std::string::npos) << applied.console;
    EXPECT_NE(applied.console.find("line 4: port must be a whole number from 1 to 65535; ignored\n"), std::string::npos) << applied.console;
}

TEST_F(ApplyConfigText, PeerShareAndRequestWindowLinesHoldTheirRanges)
{
    Applied applied = apply_watched("max_connections_per_peer=7\nrequests_per_second=0\nrequests_per_second=100001\n"
                                    "max_connections_per_peer=8\nrequests_per_second=100000\nport=8080\n");
    EXPECT_EQ(state.max_connections_per_peer, k_connections_per_peer_low);
    EXPECT_EQ(state.global_rate_limit, k_requests_per_second_high);
    EXPECT_NE(applied.console.find("line 1: max_connections_per_peer must be a whole number from 8 to 16384; ignored\n"), std::string::npos) << applied.console;
    EXPECT_NE(applied.console.find("line 2: requests_per_second must be a whole number from 1 to 100000; ignored\n"), std::string::npos) << applied.console;
    EXPECT_NE(applied.console.find("line 3: requests_per_second must be a whole number from 1 to 100000; ignored\n"), std::string::npos) << applied.console;
    // Every numeric line away from its default survives a rewrite with the longest login.
    apply("max_connections=16\nmax_concurrent_runs=64\nworkspace_mb=1\nworkspace_total_mb=1048576\n");
    std::string line = std::string(k_username_capacity, 'u') + ":" + std::string(k_password_capacity, 'p');
    std::vector<char> out(k_config_text_size);
    i64 len = build_config_text(out.data(), line.data(), (i64)line.size(), 65535);
    ASSERT_LE(len, k_config_text_size);
    std::string text(out.data(), len);
    state_init_defaults();
    apply(text);
    EXPECT_EQ(state.max_connections_per_peer, k_connections_per_peer_low);
    EXPECT_EQ(state.global_rate_limit, k_requests_per_second_high);
    EXPECT_EQ(state.workspace_mb, 1);
}

TEST_F(ApplyConfigText, FileLimitHoldsItsRangeAndSurvivesARewrite)
{
    Applied applied = apply_watched("max_file_bytes=4095\nmax_file_bytes=67108865\n");
    EXPECT_EQ(state.max_file_bytes, k_default_max_file_bytes);
    EXPECT_NE(applied.console.find("line 1: max_file_bytes must be a whole number from 4096 to 67108864; ignored\n"), std::string::npos)
        << applied.console;
    EXPECT_NE(applied.console.find("line 2: max_file_bytes must be a whole number from 4096 to 67108864; ignored\n"), std::string::npos);
    apply("max_file_bytes=67108864\n");
    EXPECT_EQ(state.max_file_bytes, 67108864);
    char out[k_config_text_size];
    std::string text(out, build_config_text(out, "a:b", 3, 7575));
    EXPECT_EQ(text, "a:b\nport=7575\nmax_file_bytes=67108864\n");
}

TEST_F(ApplyConfigText, CommandOutputAndFileSizesHoldTheirRanges)
{
    Applied applied = apply_watched("max_cmd_bytes=131072\nmax_output_bytes=4095\nmax_file_bytes=67108865\n"
                                    "max_cmd_bytes=131071\nmax_output_bytes=16777216\nmax_file_bytes=4096\n");
    EXPECT_EQ(state.max_cmd_bytes, k_max_cmd_bytes_high);
    EXPECT_EQ(state.max_output_bytes, k_max_output_bytes_high);
    EXPECT_EQ(state.max_file_bytes, k_max_file_bytes_low);
    EXPECT_NE(applied.console.find("line 1: max_cmd_bytes must be a whole number from 1 to 131071; ignored\n"), std::string::npos) << applied.console;
    EXPECT_NE(applied.console.find("line 2: max_output_bytes must be a whole number from 4096 to 16777216; ignored\n"), std::string::npos);
    EXPECT_NE(applied.console.find("line 3: max_file_bytes must be a whole number from 4096 to 67108864; ignored\n"), std::string::npos);
    state_init_defaults();
    EXPECT_EQ(state.max_cmd_bytes, 65536);
    EXPECT_EQ(state.max_output_bytes, 1048576);
    EXPECT_EQ(state.max_file_bytes, 8388608);
}

TEST_F(ApplyConfigText, AllowUnconfinedTakesYesOrNoAndSurvivesARewrite)
{
    Applied applied = apply_watched("allow_unconfined=yes\nallow_unconfined=1\n");
    EXPECT_EQ(state.allow_unconfined, 1);
    EXPECT_NE(applied.console.find("line 2: allow_unconfined must be yes or no; ignored\n"), std::string::npos) << applied.console;
    char out[k_config_text_size];
    std::string text(out, build_config_text(out, "a:b", 3, 7575));
    EXPECT_EQ(text, "a:b\nport=7575\nallow_unconfined=yes\n");
    apply("allow_unconfined=no\n");
    EXPECT_EQ(state.allow_unconfined, 0);
    apply("allow_unconfined=YES\n");
    EXPECT_EQ(state.allow_unconfined, 0);
}

TEST_F(ApplyConfigText, MetricsTokenTakesTheLastLineWithinItsBoundAndSurvivesARewrite)
{
    std::string too_long(k_metrics_token_max + 1, 't');
    Applied applied = apply_watched("metrics_token=first\nmetrics_token=scrape-me \t\r\nmetrics_token=" + too_long + "\n");
    EXPECT_EQ(std::string(metrics_token().ptr, metrics_token().len), "scrape-me");
    EXPECT_NE(applied.console.find("line 3: metrics_token is longer than 255 bytes; ignored\n"), std::string::npos) << applied.console;
    EXPECT_NE(applied.console.find("[Cindervox] Metrics token loaded from /etc/cindervox/config\n"), std::string::npos);
    char out[k_config_text_size];
    EXPECT_EQ(std::string(out, build_config_text(out, "a:b", 3, 7575)), "a:b\nport=7575\nmetrics_token=scrape-me\n");
    // The longest token is kept whole, and a file without the line has none.
    apply("metrics_token=" + too_long.substr(1) + "\n");
    EXPECT_EQ(metrics_token().len, k_metrics_token_max);
    apply("port=7575\n");
    EXPECT_EQ(metrics_token().len, 0);
    apply("metrics_token=\n");
    EXPECT_EQ(metrics_token().len, 0);
}

TEST_F(ApplyConfigText, DefaultCapacitiesAreNotWrittenBack)
{
    char out[k_config_text_size];
    i64 len = build_config_text(out, "a:b", 3, 7575);
    EXPECT_EQ(std::string(out, len), "a:b\nport=7575\n");
}

using WorkspaceSettings = ConfigFixture;

TEST_F(WorkspaceSettings, LinesSetSizesAndLeaveTheRestAlone)
{
    EXPECT_EQ(apply("workspace_mb=64\nport=8080\nworkspace_total_mb=1024\n"), 8080);
    EXPECT_EQ(state.workspace_mb, 64);
    EXPECT_EQ(state.workspace_total_mb, 1024);
    EXPECT_EQ(credential(), k_default_credential);
}

TEST_F(WorkspaceSettings, DefaultsStandAgainstValuesOutOfRange)
{
    apply("workspace_mb=0\nworkspace_total_mb=99999999999\n");
    EXPECT_EQ(state.workspace_mb, 256);
    EXPECT_EQ(state.workspace_total_mb, 8192);
    apply("workspace_mb=512\nworkspace_total_mb=4096\n");
    EXPECT_EQ(state.workspace_mb, 512);
    EXPECT_EQ(state.workspace_total_mb, 4096);
}

using UidBaseSetting = ConfigFixture;

TEST_F(UidBaseSetting, EarlyPassTakesTheSameValueSilentlyAndNothingElse)
{
    std::string text = "max_connections=20\nuid_base=61000\nuid_base=999\nworkspace_mb=9\nuid_base=65502\n";
    testing::internal::CaptureStdout();
    apply_early_config_text(text.data(), (i64)text.size());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(state.uid_base, 61000);
    EXPECT_EQ(state.max_connections, k_default_max_connections);
    EXPECT_EQ(state.workspace_mb, k_default_workspace_mb);
    Applied applied = apply_watched(text);
    EXPECT_EQ(state.uid_base, 61000);
    EXPECT_NE(applied.console.find("line 3: uid_base must be a whole number from 1000 to 64509; ignored\n"), std::string::npos) << applied.console;
    EXPECT_NE(applied.console.find("line 5: uid_base must be a whole number from 1000 to 64509; ignored\n"), std::string::npos) << applied.console;
}

// The agents' uids run from uid_base to uid_base + max_agents, below 65534, whichever line
// comes first; the early pass (before the jail is built) comes to the same values.
TEST_F(UidBaseSetting, ItsBoundFollowsTheRegistrysSize)
{
    std::string text = "uid_base=62000\nmax_agents=4096\nagent_idle_minutes=0\n";
    apply_early_config_text(text.data(), (i64)text.size());
    EXPECT_EQ(state.max_agents, 4096);
    EXPECT_EQ(state.uid_base, k_default_uid_base);
    EXPECT_EQ(state.agent_idle_minutes, k_default_agent_idle_minutes);
    state_init_defaults();
    Applied applied = apply_watched(text);
    EXPECT_EQ(state.max_agents, 4096);
    EXPECT_EQ(state.uid_base, k_default_uid_base);
    EXPECT_EQ(agent_uid_count(), 4097);
    EXPECT_NE(applied.console.find("line 1: uid_base must be a whole number from 1000 to 61437; ignored\n"), std::string::npos) << applied.console;
    EXPECT_NE(applied.console.find("line 3: agent_idle_minutes must be a whole number from 1 to 10080; ignored\n"), std::string::npos) << applied.console;
    state_init_defaults();
    apply("max_agents=1\nuid_base=65532\n");
    EXPECT_EQ(state.uid_base, 65532);
    EXPECT_EQ(state.uid_base + agent_uid_count() - 1, k_agent_uid_last);
    apply("max_agents=0\nmax_agents=4097\n");
    EXPECT_EQ(state.max_agents, 1);
}

TEST(WorkspaceTotalDefault, AQuarterOfTheHostsMemoryUpTo8192)
{
    EXPECT_EQ(workspace_total_default_mb(24683716), 6026);
    EXPECT_EQ(workspace_total_default_mb(32L << 20), 8192);
    EXPECT_EQ(workspace_total_default_mb(1L << 40), 8192);
    EXPECT_EQ(workspace_total_default_mb(4095), 1);
    std::string meminfo = "MemTotal:       24683716 kB\nMemFree:         1234 kB\n";
    EXPECT_EQ(parse_mem_total_kb(meminfo.data(), (i64)meminfo.size()), 24683716);
    EXPECT_EQ(parse_mem_total_kb("MemFree: 5 kB\n", 14), 0);
}

TEST_F(WorkspaceSettings, TheHostsDefaultIsTakenAndNotWrittenBack)
{
    apply_host_memory(8L << 20);
    EXPECT_EQ(state.workspace_total_mb, 2048);
    char out[k_config_text_size];
    EXPECT_EQ(std::string(out, build_config_text(out, "a:b", 3, 7575)), "a:b\nport=7575\n");
    apply("workspace_total_mb=8192\n");
    EXPECT_EQ(std::string(out, build_config_text(out, "a:b", 3, 7575)), "a:b\nport=7575\nworkspace_total_mb=8192\n");
    apply_host_memory(0);
    EXPECT_EQ(state.workspace_total_mb, k_default_workspace_total_mb);
}

} // namespace
