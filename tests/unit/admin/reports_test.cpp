#include "admin/reports.h"
#include "agents/agent_tokens.h"
#include "agents/registry.h"
#include "core/config.h"
#include "core/state.h"
#include "exec/jail.h"
#include "policy/rules.h"
#include "runtime/heap.h"
#include "runtime/text.h"
#include "tests/unit/fresh_server.h"
#include <ctime>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <vector>

namespace {

struct Reports : FreshServer {
    void SetUp() override
    {
        FreshServer::SetUp();
        state.start_time = (i64)std::time(nullptr);
    }

    std::string health()
    {
        std::vector<char> out(k_health_report_size);
        i64 len = build_health_report(out.data());
        EXPECT_LE(len, k_health_report_size);
        return std::string(out.data(), len);
    }
    std::string agents()
    {
        std::vector<char> out(agents_report_size());
        i64 len = build_agents_report(out.data());
        EXPECT_LE(len, agents_report_size());
        return std::string(out.data(), len);
    }
    i64 add_agent(const std::string& name)
    {
        EXPECT_TRUE(find_or_add_agent(name.data(), (i64)name.size()).added);
        return register_agent(name.data(), (i64)name.size());
    }
};

// The uptime moves with the clock; everything else is compared exactly.
std::string without_uptime(const std::string& text, i64* uptime)
{
    std::smatch m;
    std::regex key(R"("uptime_sec":(-?\d+))");
    if (!std::regex_search(text, m, key))
        return text;
    *uptime = std::stol(m[1]);
    return m.prefix().str() + "\"uptime_sec\":U" + m.suffix().str();
}

using BuildHealthReport = Reports;

TEST_F(BuildHealthReport, FreshServerExactly)
{
    state.start_time -= 12;
    i64 uptime = -1;
    EXPECT_EQ(without_uptime(health(), &uptime),
        R"({"status":"ok","version":"1.0.6","uptime_sec":U,"total_execs":0,"blocked_cmds":0,)"
        R"("bytes_captured":0,"profile":"strict","timeout_ms":5000,"max_mem_mb":64,"max_cpu_sec":5,)"
        R"("isolation":"basic","namespaces":false,"landlock":0,"layers":["rlimits","seccomp"],)"
        R"("cgroups":false,"workspaces":"none","workspace_mb":256,"max_procs":16,"max_fsize":10485760,"max_nofile":32,"matcher":"bytes",)"
        R"("profiles":[{"name":"strict","timeout_ms":5000,"max_mem_mb":64,"max_cpu_sec":5,"max_procs":16,"max_fsize":10485760,"max_nofile":32,"whitelist":true},)"
        R"({"name":"moderate","timeout_ms":30000,"max_mem_mb":256,"max_cpu_sec":30,"max_procs":16,"max_fsize":52428800,"max_nofile":64,"whitelist":false},)"
        R"({"name":"permissive","timeout_ms":300000,"max_mem_mb":1024,"max_cpu_sec":300,"max_procs":50,"max_fsize":104857600,"max_nofile":256,"whitelist":false}],)"
        R"("agents_count":0,"rate_1m":0,"max_rate_per_agent":120,)"
        R"("default_token_budget":0,"tls":"use reverse proxy","binary_size":"~186KB","dependencies":0})");
    EXPECT_GE(uptime, 12);
    EXPECT_LE(uptime, 14);
}

TEST_F(BuildHealthReport, ProfileIsolationAndCounters)
{
    apply_profile(2);
    state.kernel_isolation = 1;
    state.namespaces = 1;
    jail.mode = k_jail_kernel;
    state.total_execs = 7;
    state.blocked_cmds = 3;
    state.bytes_captured = 42;
    state.default_token_budget = 5000;
    add_agent("a");
    tick_global_rate();
    tick_global_rate();
    std::string text = health();
    EXPECT_NE(text.find(R"("total_execs":7,"blocked_cmds":3,"bytes_captured":42,"profile":"permissive",)"
                        R"("timeout_ms":300000,"max_mem_mb":1024,"max_cpu_sec":300,"isolation":"kernel","namespaces":true,)"
                        R"("landlock":0,"layers":["namespaces","jail","rlimits","seccomp"],)"),
        std::string::npos)
        << text;
    // The jail gives every agent a tmpfs; the global profile's other limits follow it.
    EXPECT_NE(text.find(R"("workspaces":"tmpfs","workspace_mb":256,"max_procs":50,"max_fsize":104857600,"max_nofile":256,)"), std::string::npos)
        << text;
    EXPECT_NE(text.find(R"(],"agents_count":1,"rate_1m":2,"max_rate_per_agent":120,"default_token_budget":5000,)"), std::string::npos) << text;
    jail.mode = k_jail_none;
}

TEST_F(BuildHealthReport, ProfileWithoutNameIsCustom)
{
    // No reader stores such a number; the report still names it rather than reading past the table.
    apply_profile(1);
    state.profile = 9;
    EXPECT_NE(health().find(R"("profile":"custom","timeout_ms":30000,)"), std::string::npos);
}

TEST_F(BuildHealthReport, WidestNumbersFit)
{
    i64 min = -9223372036854775807L - 1;
    state.start_time = 9223372036854775807L;
    state.total_execs = state.blocked_cmds = state.bytes_captured = min;
    state.timeout_ms = state.max_mem_mb = state.max_cpu_sec = min;
    state.max_procs = state.max_fsize = state.max_nofile = state.workspace_mb = min;
    state.agent_count = state.max_rate_per_agent = state.default_token_budget = min;
    state.profile = min;
    std::string text = health();
    EXPECT_EQ(text.back(), '}');
}

using BuildAgentsReport = Reports;

TEST_F(BuildAgentsReport, EmptyRegistry) { EXPECT_EQ(agents(), R"({"agents":[],"count":0,"token_agents":[]})"); }

TEST_F(BuildAgentsReport, ListsTokenBoundNamesWithoutTokens)
{
    std::string file = "coder:s3cret-1\n<b>x</b>:s3cret-2\n";
    apply_agent_tokens_text(file.data(), (i64)file.size(), { "admin", 5 });
    std::string text = agents();
    apply_agent_tokens_text("", 0, { "admin", 5 });
    EXPECT_EQ(text, R"({"agents":[],"count":0,"token_agents":["coder","<b>x</b>"]})");
}

// Each agent shows the profile that holds for its runs: its own, or the global one.
TEST_F(BuildAgentsReport, AgentKnownOnlyByBudgetOrProfileIsInactive)
{
    state.default_token_budget = 5000;
    apply_profile(1);
    add_agent("planner");
    i64 own = add_agent("coder");
    agent_record(own)->token_budget = 100;
    agent_record(own)->own_profile = own_profile_code(0);
    EXPECT_EQ(agents(),
        R"({"agents":[{"name":"planner","execs":0,"blocked":0,"bytes":0,"last_active":0,"rate_1m":0,)"
        R"("rate_limit":120,"tokens_in":0,"tokens_out":0,"tokens_total":0,"token_budget":5000,"model":"-",)"
        R"("profile":"moderate","profile_own":false,"workspace_bytes":0,)"
        R"("active":false},{"name":"coder","execs":0,"blocked":0,"bytes":0,"last_active":0,"rate_1m":0,)"
        R"("rate_limit":120,"tokens_in":0,"tokens_out":0,"tokens_total":0,"token_budget":100,"model":"-",)"
        R"("profile":"strict","profile_own":true,"workspace_bytes":0,)"
        R"("active":false}],"count":2,"token_agents":[]})");
}

TEST_F(BuildAgentsReport, CountersModelAndTokenSum)
{
    i64 i = add_agent("bot");
    AgentRecord* record = agent_record(i);
    record->execs = 3;
    record->blocked = 1;
    record->bytes = 42;
    record->tokens_in = 4000000000u;
    record->tokens_out = 4000000000u;
    std::string("gpt-x").copy(agent_model_slot(i), 5);
    tick_agent_rate(i);
    std::string text = agents();
    EXPECT_NE(text.find(R"({"name":"bot","execs":3,"blocked":1,"bytes":42,"last_active":0,"rate_1m":1,)"
                        R"("rate_limit":120,"tokens_in":4000000000,"tokens_out":4000000000,)"
                        R"("tokens_total":8000000000,"token_budget":0,"model":"gpt-x","profile":"strict","profile_own":false,)"
                        R"("workspace_bytes":0,"active":false})"),
        std::string::npos)
        << text;
}

TEST_F(BuildAgentsReport, ActiveForLessThanSixtySeconds)
{
    i64 fresh = add_agent("fresh");
    i64 stale = add_agent("stale");
    // Retried when the clock ticks between setting and reporting.
    for (int attempt = 0; attempt < 3; attempt++) {
        i64 now = (i64)std::time(nullptr);
        agent_record(fresh)->last_active = (u32)(now - 59);
        agent_record(stale)->last_active = (u32)(now - 60);
        std::string text = agents();
        if ((i64)std::time(nullptr) != now)
            continue;
        EXPECT_NE(text.find(R"("workspace_bytes":0,"active":true},{"name":"stale")"), std::string::npos) << text;
        EXPECT_NE(text.find(R"("workspace_bytes":0,"active":false}])"), std::string::npos) << text;
        return;
    }
    FAIL() << "clock kept moving";
}

TEST_F(BuildAgentsReport, NamesAndModelsAreEscaped)
{
    i64 i = add_agent("a\"b\\c");
    std::string("m\"1").copy(agent_model_slot(i), 3);
    std::string text = agents();
    EXPECT_NE(text.find(R"({"name":"a\"b\\c",)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("model":"m\"1",)"), std::string::npos) << text;
}

// A registry of the largest size the configuration allows, every entry at its widest.
TEST_F(BuildAgentsReport, FullRegistryOfWidestEntriesFits)
{
    state.max_agents = k_max_agents_high;
    registry_init();
    i64 now = (i64)std::time(nullptr);
    for (int n = 0; n < k_max_agents_high; n++) {
        // Control bytes take six bytes each once escaped.
        std::string name(31, '\x01');
        name.replace(0, 4, std::to_string(1000 + n));
        i64 i = add_agent(name);
        AgentRecord* record = agent_record(i);
        record->execs = record->blocked = record->bytes = record->last_active = 0xFFFFFFFFu;
        record->tokens_in = record->tokens_out = record->token_budget = 0xFFFFFFFFu;
        record->own_profile = own_profile_code(2);
        fill_bytes(agent_model_slot(i), '\x02', k_model_slot_size - 1);
        fill_bytes(state.agent_rate_buckets + i * k_rate_slots, 0xFF, k_rate_slots * sizeof(u32));
        // A window whose second lies ahead of the clock counts all 60 buckets.
        state.agent_rate_second[i] = (u32)(now + 100);
    }
    state.max_rate_per_agent = state.default_token_budget = -9223372036854775807L - 1;
    std::string text = agents();
    EXPECT_NE(text.find(R"("rate_1m":257698037700,)"), std::string::npos);
    EXPECT_NE(text.find(R"("tokens_total":8589934590,)"), std::string::npos);
    EXPECT_NE(text.find(R"(],"count":4096,)"), std::string::npos);
    EXPECT_NE(text.find(R"("profile":"permissive","profile_own":true,)"), std::string::npos);
    EXPECT_GT(text.size(), (size_t)k_max_agents_high * 500);
}

TEST_F(BuildAgentsReport, ListsTheSlotsInUseAfterOneLeft)
{
    add_agent("first");
    i64 middle = add_agent("middle");
    add_agent("last");
    evict_agent(middle, k_evicted_idle, (i64)std::time(nullptr));
    std::string text = agents();
    EXPECT_NE(text.find(R"({"agents":[{"name":"first",)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"(},{"name":"last",)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"(],"count":2,)"), std::string::npos) << text;
}

} // namespace
