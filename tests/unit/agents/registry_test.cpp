#include "agents/registry.h"
#include "core/state.h"
#include "runtime/heap.h"
#include "runtime/text.h"
#include "tests/unit/fresh_server.h"
#include "agents/agent_tokens.h"
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A small registry, and a keeper whose answers the test sets: which slots have runs or
// workspaces, and which were released.
struct Registry : FreshServer {
    static inline std::set<i64> busy;
    static inline std::set<i64> with_workspace;
    static inline std::vector<i64> released;
    void SetUp() override
    {
        FreshServer::SetUp();
        state.audit_fd = open("/dev/null", O_WRONLY);
        busy.clear();
        with_workspace.clear();
        released.clear();
        registry_set_keeper({ [](i64 i) { return busy.count(i) > 0; }, [](i64 i) { return with_workspace.count(i) > 0; },
            [](i64 i) { released.push_back(i); } });
    }
    void TearDown() override
    {
        registry_set_keeper({ [](i64) { return false; }, [](i64) { return false; }, [](i64) { } });
        apply_agent_tokens_text("", 0, { "admin", 5 });
        close((int)state.audit_fd);
        state.audit_fd = 0;
        FreshServer::TearDown();
    }
    void resize(i64 slots)
    {
        state.max_agents = slots;
        registry_init();
    }
    std::string last_audit()
    {
        std::string text(state.audit_ring + ((state.audit_next - 1) % state.audit_capacity) * state.audit_entry_size);
        return text.substr(text.find(']') + 2);
    }
};

std::string header(const std::string& req)
{
    char out[40];
    i64 n = read_agent_header(req.data(), (i64)req.size(), out);
    EXPECT_EQ(out[n], 0);
    return std::string(out, n);
}

i64 resolve(const std::string& name)
{
    std::string req = "POST /api/exec HTTP/1.1\r\nX-Agent: " + name + "\r\n\r\n{}";
    return resolve_agent(req.data(), (i64)req.size());
}

TEST(ReadAgentHeader, ExactNameCutAt31)
{
    EXPECT_EQ(header("GET / HTTP/1.1\r\nX-Agent: bot-1\r\n\r\n"), "bot-1");
    EXPECT_EQ(header("GET / HTTP/1.1\r\nx-agent: bot-1\r\n\r\n"), "anonymous");
    EXPECT_EQ(header("GET / HTTP/1.1\r\n\r\n"), "anonymous");
    EXPECT_EQ(header("GET / HTTP/1.1\r\nX-Agent: \r\n\r\n"), "");
    EXPECT_EQ(header("GET / HTTP/1.1\r\nX-Agent: " + std::string(40, 'n') + "\r\n"), std::string(31, 'n'));
    EXPECT_EQ(header("GET / HTTP/1.1\r\nX-Agent: tail"), "tail");
}

TEST_F(Registry, FindsAndAddsByExactName)
{
    AgentSlot first_look = find_or_add_agent("a", 1);
    EXPECT_EQ(first_look.index, 0);
    EXPECT_TRUE(first_look.added);
    // A look adds nothing: the slot is taken by register_agent.
    EXPECT_EQ(state.agent_count, 0);
    EXPECT_EQ(find_agent("a", 1), -1);
    EXPECT_EQ(resolve("a"), 0);
    EXPECT_EQ(resolve("A"), 1);
    EXPECT_EQ(resolve("a"), 0);
    EXPECT_EQ(find_agent("A", 1), 1);
    std::string long_name(40, 'q');
    i64 first = resolve(long_name);
    EXPECT_EQ(resolve(long_name), first);
    EXPECT_EQ(find_agent(long_name.data(), 40), first);
    EXPECT_EQ(std::string(agent_name(first).ptr, agent_name(first).len), std::string(31, 'q'));
    EXPECT_EQ(resolve(""), 3);
    EXPECT_EQ(state.agent_count, 4);
    EXPECT_EQ(std::string(agent_name(-1).ptr, agent_name(-1).len), "system");
    EXPECT_EQ(std::string(agent_name(4).ptr, agent_name(4).len), "system");
}

TEST_F(Registry, TablesFollowTheConfiguredSize)
{
    resize(3);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(resolve("agent" + std::to_string(i)), i);
    tick_agent_rate_at(2, 1000);
    tick_agent_rate_at(3, 1000);
    EXPECT_EQ(agent_rate_total_at(2, 1000), 1);
    EXPECT_EQ(agent_rate_total_at(3, 1000), 0);
    busy = { 0, 1, 2 };
    EXPECT_EQ(resolve("one-too-many"), -1);
    EXPECT_EQ(state.agent_count, 3);
}

// Room for a new name is made by the agent seen longest ago among those that may leave:
// not one with a run, a budget of its own or an agent token.
TEST_F(Registry, FullRegistryEvictsTheAgentSeenLongestAgo)
{
    resize(5);
    std::string tokens = "bound:tok-bound-1\n";
    apply_agent_tokens_text(tokens.data(), (i64)tokens.size(), { "admin", 5 });
    for (const char* name : { "bound", "budgeted", "running", "old", "recent" })
        resolve(name);
    agent_record(1)->token_budget = 10;
    busy = { 2 };
    resolve("old");
    resolve("recent");
    // All five were seen within a second; the order of the requests decides.
    EXPECT_EQ(eviction_candidate(), 3);
    agent_record(3)->execs = 4;
    agent_record(3)->tokens_in = 7;
    EXPECT_EQ(resolve("newcomer"), 3);
    EXPECT_EQ(released, std::vector<i64> { 3 });
    EXPECT_EQ(find_agent("old", 3), -1);
    EXPECT_EQ(agent_record(3)->execs, 0u);
    EXPECT_EQ(state.agent_count, 5);
    EXPECT_EQ(last_audit().rfind("[old] AGENT EVICTED \"registry full, idle ", 0), 0u) << last_audit();
    EXPECT_NE(last_audit().find("execs=4 blocked=0 bytes=0 tokens_in=7 tokens_out=0\""), std::string::npos) << last_audit();
    EXPECT_EQ(resolve("second"), 4);
    // Only agents that may not leave are left: the next new name is refused.
    busy = { 2, 3, 4 };
    EXPECT_EQ(eviction_candidate(), -1);
    EXPECT_EQ(resolve("third"), -1);
    EXPECT_EQ(released.size(), 2u);
}

TEST_F(Registry, IdleAgentsThatHoldNothingLeave)
{
    state.agent_idle_minutes = 2;
    const i64 t = 1765105200;
    for (const char* name : { "quiet", "working", "files", "spender", "fresh", "profiled" })
        resolve(name);
    for (i64 i = 0; i < 6; i++)
        agent_record(i)->last_seen = (u32)(t - 120);
    agent_record(4)->last_seen = (u32)(t - 119);
    busy = { 1 };
    with_workspace = { 2 };
    agent_record(3)->token_budget = 5;
    // A profile the admin gave an agent is kept like its budget: the agent stays.
    agent_record(5)->own_profile = own_profile_code(2);
    EXPECT_EQ(evict_idle_agents_at(t - 1), 0);
    EXPECT_EQ(evict_idle_agents_at(t), 1);
    EXPECT_EQ(released, std::vector<i64> { 0 });
    EXPECT_EQ(find_agent("quiet", 5), -1);
    EXPECT_EQ(last_audit(), "[quiet] AGENT EVICTED \"idle 120 s, execs=0 blocked=0 bytes=0 tokens_in=0 tokens_out=0\" exit=0 dur=0ms\n");
    EXPECT_EQ(evict_idle_agents_at(t + 1), 1);
    EXPECT_EQ(find_agent("fresh", 5), -1);
    EXPECT_EQ(find_agent("profiled", 8), 5);
    EXPECT_EQ(state.agent_count, 4);
    // A request marks the agent seen again; its run ending leaves it idle from then.
    busy.clear();
    resolve("working");
    EXPECT_EQ(evict_idle_agents_at(t + 1), 0);
}

TEST_F(Registry, TickChecksAtMostEveryTenSeconds)
{
    state.agent_idle_minutes = 1;
    const i64 t = 1765105200;
    resolve("a");
    agent_record(0)->last_seen = (u32)(t - 30);
    agents_tick(t);
    agent_record(0)->last_seen = (u32)(t - 600);
    agents_tick(t + k_idle_check_seconds - 1);
    EXPECT_EQ(find_agent("a", 1), 0);
    agents_tick(t + k_idle_check_seconds);
    EXPECT_EQ(find_agent("a", 1), -1);
}

TEST_F(Registry, ClearingCountersKeepsNameBudgetAndProfile)
{
    i64 i = resolve("x");
    AgentRecord* record = agent_record(i);
    record->execs = record->blocked = record->bytes = record->tokens_in = record->tokens_out = 9;
    record->last_active = 1700000000;
    record->token_budget = 100;
    record->own_profile = own_profile_code(1);
    agent_model_slot(i)[0] = 'm';
    tick_agent_rate_at(i, 1000);
    char detail[k_agent_counters_max];
    EXPECT_EQ(std::string(detail, build_agent_counters(detail, i)), "execs=9 blocked=9 bytes=9 tokens_in=9 tokens_out=9");
    clear_agent_counters(i);
    EXPECT_EQ(find_agent("x", 1), i);
    EXPECT_EQ(record->execs + record->blocked + record->bytes + record->tokens_in + record->tokens_out + record->last_active, 0u);
    EXPECT_EQ(record->token_budget, 100u);
    EXPECT_EQ(agent_run_limits(i).profile, 1);
    EXPECT_EQ(agent_model_slot(i)[0], 0);
    EXPECT_EQ(agent_rate_total_at(i, 1000), 0);
}

TEST_F(Registry, ResetEmptiesRegistryAndWindows)
{
    resolve("x");
    resolve("y");
    agent_record(1)->execs = 9;
    agent_record(1)->token_budget = 100;
    agent_record(1)->own_profile = own_profile_code(2);
    agent_model_slot(1)[0] = 'm';
    tick_agent_rate_at(1, 1000);
    tick_global_rate_at(1000);
    reset_agents();
    EXPECT_EQ(state.agent_count, 0);
    EXPECT_EQ(find_agent("x", 1), -1);
    EXPECT_EQ(global_rate_total_at(1000), 0);
    EXPECT_EQ(resolve("z"), 0);
    EXPECT_EQ(resolve("y"), 1);
    EXPECT_EQ(agent_record(1)->execs, 0u);
    EXPECT_EQ(agent_record(1)->token_budget, 0u);
    EXPECT_EQ(agent_record(1)->own_profile, k_no_own_profile);
    EXPECT_EQ(agent_model_slot(1)[0], 0);
    EXPECT_EQ(agent_rate_total_at(1, 1000), 0);
}

TEST_F(Registry, WindowCountsExactlyTheLastMinute)
{
    const i64 t = 1765105200;
    for (int i = 0; i < 10; i++)
        tick_agent_rate_at(2, t);
    for (int i = 0; i < 5; i++)
        tick_agent_rate_at(2, t + 30);
    EXPECT_EQ(agent_rate_total_at(2, t + 30), 15);
    EXPECT_EQ(agent_rate_total_at(2, t + 59), 15);
    EXPECT_EQ(agent_rate_total_at(2, t + 60), 5);
    EXPECT_EQ(agent_rate_total_at(2, t + 89), 5);
    EXPECT_EQ(agent_rate_total_at(2, t + 90), 0);
    EXPECT_EQ(agent_rate_total_at(2, t + 3600), 0);
    // A total writes nothing: the earlier reading is still there at the earlier time.
    EXPECT_EQ(agent_rate_total_at(2, t + 30), 15);
    tick_agent_rate_at(2, t + 61);
    EXPECT_EQ(agent_rate_total_at(2, t + 61), 6);
    tick_agent_rate_at(2, t + 4000);
    EXPECT_EQ(agent_rate_total_at(2, t + 4000), 1);
    EXPECT_EQ(agent_rate_total_at(1, t + 4000), 0);
}

TEST_F(Registry, RetryAfterIsTheWaitUntilEnoughRunsAgeOut)
{
    const i64 t = 1765105200;
    state.max_rate_per_agent = 15;
    for (int i = 0; i < 10; i++)
        tick_agent_rate_at(2, t);
    for (int i = 0; i < 5; i++)
        tick_agent_rate_at(2, t + 30);
    // 15 runs: the ten of t leave the window at t + 60.
    EXPECT_EQ(agent_rate_retry_after_at(2, t + 30), 30);
    EXPECT_EQ(agent_rate_retry_after_at(2, t + 59), 1);
    state.max_rate_per_agent = 5;
    // Five are left after t + 60; below five only once the runs of t + 30 age out.
    EXPECT_EQ(agent_rate_retry_after_at(2, t + 40), 50);
    state.max_rate_per_agent = 0;
    EXPECT_EQ(agent_rate_retry_after_at(2, t + 40), 60);
}

TEST_F(Registry, GlobalWindowMovesOneBucketPerSecond)
{
    const i64 t = 2000000000;
    state.rate_bucket_second = t;
    for (i64 s = 0; s < 120; s++)
        tick_global_rate_at(t + s);
    EXPECT_EQ(global_rate_total_at(t + 119), 60);
    EXPECT_EQ(global_rate_total_at(t + 150), 29);
    EXPECT_EQ(global_rate_total_at(t + 179), 0);
}

TEST_F(Registry, ClockGoingBackKeepsCountsForAMinute)
{
    const i64 t = 1765105200;
    tick_agent_rate_at(0, t);
    tick_agent_rate_at(0, t - 100);
    EXPECT_EQ(agent_rate_total_at(0, t - 100), 2);
    EXPECT_EQ(agent_rate_total_at(0, t - 41), 2);
    EXPECT_EQ(agent_rate_total_at(0, t - 40), 0);
}

TEST_F(Registry, OutOfRangeAgentIndexesAreIgnored)
{
    resize(32);
    tick_agent_rate_at(-1, 5);
    tick_agent_rate_at(32, 5);
    EXPECT_EQ(agent_rate_total_at(-1, 5), 0);
    EXPECT_EQ(agent_rate_total_at(32, 5), 0);
    for (i64 i = 0; i < 32; i++)
        EXPECT_EQ(agent_rate_total_at(i, 5), 0);
    EXPECT_FALSE(agent_evictable(32));
    EXPECT_FALSE(agent_evictable(-1));
}

} // namespace
