#include "agents/registry.h"
#include "core/state.h"
#include "runtime/heap.h"
#include "runtime/text.h"
#include "tests/unit/fresh_server.h"
#include <gtest/gtest.h>
#include <string>

namespace {

struct Registry : FreshServer { };

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

TEST_F(Registry, FindsAddsAndFillsUp)
{
    AgentSlot first_look = find_or_add_agent("a", 1);
    EXPECT_EQ(first_look.index, 0);
    EXPECT_TRUE(first_look.added);
    EXPECT_EQ(state.agent_count, 0);
    EXPECT_EQ(resolve("a"), 0);
    EXPECT_EQ(resolve("A"), 1);
    EXPECT_EQ(resolve("a"), 0);
    std::string long_name(40, 'q');
    i64 first = resolve(long_name);
    EXPECT_EQ(resolve(long_name), first);
    EXPECT_EQ(std::string(agent_name(first).ptr, agent_name(first).len), std::string(31, 'q'));
    EXPECT_EQ(resolve(""), 3);
    for (int i = 4; i < 32; i++)
        ASSERT_EQ(resolve("agent" + std::to_string(i)), i);
    EXPECT_EQ(resolve("one-too-many"), -1);
    EXPECT_EQ(state.agent_count, 32);
    EXPECT_EQ(std::string(agent_name(-1).ptr, agent_name(-1).len), "system");
}

TEST_F(Registry, ResetEmptiesRegistryAndWindows)
{
    resolve("x");
    resolve("y");
    agent_record(1)->execs = 9;
    agent_record(1)->token_budget = 100;
    agent_model_slot(1)[0] = 'm';
    tick_agent_rate_at(1, 1000);
    tick_global_rate_at(1000);
    reset_agents();
    EXPECT_EQ(state.agent_count, 0);
    EXPECT_EQ(global_rate_total_at(1000), 0);
    EXPECT_EQ(resolve("z"), 0);
    EXPECT_EQ(resolve("y"), 1);
    EXPECT_EQ(agent_record(1)->execs, 0u);
    EXPECT_EQ(agent_record(1)->token_budget, 0u);
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
    tick_agent_rate_at(-1, 5);
    tick_agent_rate_at(32, 5);
    EXPECT_EQ(agent_rate_total_at(-1, 5), 0);
    EXPECT_EQ(agent_rate_total_at(32, 5), 0);
    for (i64 i = 0; i < 32; i++)
        EXPECT_EQ(agent_rate_total_at(i, 5), 0);
}

} // namespace
