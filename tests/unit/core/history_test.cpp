#include "admin/history_report.h"
#include "core/activity.h"
#include "core/history.h"
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace {

// 2026-01-01T00:00:00Z, a whole hour.
constexpr i64 k_t0 = 1767225600;

struct HistoryTest : ::testing::Test {
    std::unique_ptr<History> owned = std::make_unique<History>();
    History* h = owned.get();
    void SetUp() override { history_clear(h); }

    void run(const char* agent, i64 now, u32 runs = 1)
    {
        HistoryBucket delta {};
        delta.runs = runs;
        history_add(h, agent ? ByteSpan { agent, (i64)std::char_traits<char>::length(agent) } : ByteSpan { nullptr, 0 }, now, delta);
    }
    void refuse(const char* agent, i64 now, RefusalKind kind)
    {
        HistoryBucket delta {};
        delta.refused[kind] = 1;
        history_add(h, { agent, (i64)std::char_traits<char>::length(agent) }, now, delta);
    }
    std::string ranked(i64 now, i64 max = k_history_agents_shown)
    {
        i64 slots[k_history_agent_slots];
        i64 n = history_busiest(h, now, slots, max);
        std::string names;
        for (i64 i = 0; i < n; i++)
            names += (i ? "," : "") + std::string(h->agents[slots[i]].name, h->agents[slots[i]].name_len);
        return names;
    }
};

TEST_F(HistoryTest, BucketsRollOldestFirstWithTheirStartTimes)
{
    run(nullptr, k_t0 + 5);
    run(nullptr, k_t0 + 59);
    run(nullptr, k_t0 + 60, 3);
    i64 now = k_t0 + 60 + 30;
    HistoryBucket last = history_minute(h->total, 59, now);
    HistoryBucket before = history_minute(h->total, 58, now);
    EXPECT_EQ(last.runs, 3u);
    EXPECT_EQ(history_minute_start(last), k_t0 + 60);
    EXPECT_EQ(before.runs, 2u);
    EXPECT_EQ(history_minute_start(before), k_t0);
    EXPECT_EQ(history_minute_start(history_minute(h->total, 0, now)), k_t0 + 60 - 59 * 60);
    HistoryBucket hour = history_hour(h->total, 23, now);
    EXPECT_EQ(hour.runs, 5u);
    EXPECT_EQ(history_hour_start(hour), k_t0);
    EXPECT_EQ(history_hour_start(history_hour(h->total, 0, now)), k_t0 - 23 * 3600);
    // Fifty-nine minutes on, the first minute is the oldest shown; one more and it is gone.
    EXPECT_EQ(history_minute(h->total, 0, k_t0 + 59 * 60).runs, 2u);
    EXPECT_EQ(history_minute(h->total, 0, k_t0 + 60 * 60).runs, 3u);
    EXPECT_EQ(history_minute(h->total, 0, k_t0 + 61 * 60).runs, 0u);
}

TEST_F(HistoryTest, StaleBucketsReadZeroAfterIdleGapsAndRestartWhenWritten)
{
    run(nullptr, k_t0 + 10, 7);
    // Exactly one turn of each ring later the same places stand for new periods.
    for (i64 i = 0; i < k_history_minutes; i++)
        EXPECT_EQ(history_minute(h->total, i, k_t0 + 3600 + 10).runs, 0u) << i;
    EXPECT_EQ(history_hour(h->total, 23, k_t0 + 3600).runs, 0u);
    EXPECT_EQ(history_hour(h->total, 22, k_t0 + 3600).runs, 7u);
    for (i64 i = 0; i < k_history_hours; i++)
        EXPECT_EQ(history_hour(h->total, i, k_t0 + 24 * 3600).runs, 0u) << i;
    // A write into a place of an old period starts the bucket afresh.
    run(nullptr, k_t0 + 24 * 3600 + 5, 2);
    EXPECT_EQ(history_hour(h->total, 23, k_t0 + 24 * 3600 + 5).runs, 2u);
    EXPECT_EQ(history_minute(h->total, 59, k_t0 + 24 * 3600 + 5).runs, 2u);
    // A clock that went back finds the newer stamps and reads its own places as empty.
    EXPECT_EQ(history_minute(h->total, 59, k_t0 + 10).runs, 0u);
}

TEST_F(HistoryTest, CountsEveryFieldAndStopsAtTheLargestValue)
{
    HistoryBucket delta {};
    delta.runs = k_u32_max;
    delta.refused[k_refused_budget] = 2;
    delta.seccomp_kills = 1;
    delta.timeouts = 1;
    delta.tokens_in = (u64)k_i64_max;
    delta.tokens_out = 5;
    history_add(h, { "a", 1 }, k_t0, delta);
    history_add(h, { "a", 1 }, k_t0, delta);
    for (const HistorySeries* series : { &h->total, &h->agents[0].series }) {
        HistoryBucket b = history_minute(*series, 59, k_t0);
        EXPECT_EQ(b.runs, k_u32_max);
        EXPECT_EQ(b.refused[k_refused_budget], 4u);
        EXPECT_EQ(b.refused[k_refused_rate], 0u);
        EXPECT_EQ(b.seccomp_kills, 2u);
        EXPECT_EQ(b.timeouts, 2u);
        EXPECT_EQ(b.tokens_in, (u64)k_i64_max);
        EXPECT_EQ(b.tokens_out, 10u);
    }
}

TEST_F(HistoryTest, RanksAgentsByTheDaysRunsAndRefusals)
{
    run("quiet", k_t0, 1);
    run("busy", k_t0, 5);
    refuse("refused", k_t0, k_refused_blacklist);
    refuse("refused", k_t0, k_refused_rate);
    // Equally busy: the later event ranks first.
    run("late", k_t0 + 100, 1);
    EXPECT_EQ(ranked(k_t0 + 100), "busy,refused,late,quiet");
    EXPECT_EQ(ranked(k_t0 + 100, 2), "busy,refused");
    // Activity older than a day no longer counts, and agents without any are not listed.
    run("busy", k_t0 + 23 * 3600, 1);
    EXPECT_EQ(ranked(k_t0 + 24 * 3600), "busy");
    EXPECT_EQ(ranked(k_t0 + 48 * 3600), "");
}

TEST_F(HistoryTest, NewNamesTakeTheLeastBusySlotAndNeverTheBusiest)
{
    for (i64 i = 0; i < k_history_agent_slots; i++)
        run(("a" + std::to_string(i)).c_str(), k_t0, (u32)(100 - i));
    // A flood of names seen once each.
    for (i64 i = 0; i < 1000; i++)
        run(("flood" + std::to_string(i)).c_str(), k_t0 + 1);
    EXPECT_EQ(ranked(k_t0 + 1), "a0,a1,a2,a3,a4,a5,a6,a7");
    i64 held = 0;
    for (const HistoryAgent& agent : h->agents)
        held += std::string(agent.name, agent.name_len).rfind("a", 0) == 0 ? 1 : 0;
    EXPECT_EQ(held, k_history_agent_slots - 1);
    // The newest of the flood holds the last slot; a name pushed out starts over.
    std::string all = ranked(k_t0 + 1, k_history_agent_slots);
    EXPECT_EQ(all.substr(all.rfind(',') + 1), "flood999");
    run("flood998", k_t0 + 2);
    all = ranked(k_t0 + 2, k_history_agent_slots);
    EXPECT_EQ(all.substr(all.rfind(',') + 1), "flood998");
    EXPECT_EQ(all.find("flood999"), std::string::npos);
    // Slots without activity over the last day go first, whoever was busy before.
    for (i64 i = 0; i < k_history_agents_shown; i++)
        run(("day2-" + std::to_string(i)).c_str(), k_t0 + 25 * 3600);
    all = ranked(k_t0 + 25 * 3600, k_history_agent_slots);
    for (i64 i = 0; i < k_history_agents_shown; i++)
        EXPECT_NE(all.find("day2-" + std::to_string(i)), std::string::npos) << all;
    EXPECT_EQ(std::count(all.begin(), all.end(), ','), k_history_agents_shown - 1);
}

TEST_F(HistoryTest, KeysAgentsByTheRegistrysNameLength)
{
    std::string long_name(40, 'x');
    run(long_name.c_str(), k_t0);
    run(long_name.substr(0, 31).c_str(), k_t0);
    EXPECT_EQ(h->agents[0].name_len, 31);
    EXPECT_FALSE(h->agents[1].in_use);
    EXPECT_EQ(history_activity(h->agents[0].series, k_t0), 2u);
}

TEST_F(HistoryTest, ReportListsBucketsOldestFirstWithCountedKindsOnly)
{
    run("a\"b", k_t0 + 60);
    refuse("a\"b", k_t0 + 61, k_refused_queue_full);
    std::string out(k_history_report_size, '\0');
    i64 len = build_history_json(out.data(), *h, k_t0 + 61);
    out.resize(len);
    EXPECT_EQ(out.rfind(R"({"ok":true,"now":1767225661,"minutes":[{"t":1767222120,"runs":0,"refused":{},"seccomp_kills":0,)", 0), 0u) << out;
    EXPECT_NE(out.find(R"({"t":1767225660,"runs":1,"refused":{"queue_full":1},"seccomp_kills":0,"timeouts":0,"tokens_in":0,"tokens_out":0}],"hours":[)"),
        std::string::npos);
    EXPECT_NE(out.find(R"(,"agents":[{"agent":"a\"b","minutes":[)"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 3), "}]}");
}

TEST_F(HistoryTest, ReportAtItsWidestFitsItsBuffer)
{
    HistoryBucket delta {};
    delta.runs = k_u32_max;
    for (u32& count : delta.refused)
        count = k_u32_max;
    delta.seccomp_kills = delta.timeouts = k_u32_max;
    delta.tokens_in = delta.tokens_out = (u64)k_i64_max;
    std::string name(k_history_name_max, '\x01');
    for (i64 a = 0; a < k_history_agents_shown; a++) {
        name[0] = (char)(a + 1);
        for (i64 m = 0; m < 24 * 60; m++)
            history_add(h, { name.data(), (i64)name.size() }, k_t0 + m * 60, delta);
    }
    std::string out(k_history_report_size + 64, '\xAA');
    i64 len = build_history_json(out.data(), *h, k_t0 + 24 * 3600 - 1);
    EXPECT_LE(len, k_history_report_size);
    EXPECT_GT(len, k_history_report_size * 9 / 10);
    EXPECT_EQ(out[k_history_report_size], '\xAA');
}

TEST(DurationBucket, PlacesDurationsAtTheFirstBoundTheyAreWithin)
{
    EXPECT_EQ(duration_bucket(0), 0);
    EXPECT_EQ(duration_bucket(10), 0);
    EXPECT_EQ(duration_bucket(11), 1);
    EXPECT_EQ(duration_bucket(3600000), k_duration_bounds_count - 1);
    EXPECT_EQ(duration_bucket(3600001), k_duration_bounds_count);
}

} // namespace
