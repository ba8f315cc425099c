// The activity history's rings. Each bucket lives at (its period mod the ring's length)
// and carries its period; writing to a place whose stamp is older starts the bucket afresh,
// and reading compares the stamp with the period the place stands for at that moment.
#include "core/history.h"
#include "runtime/text.h"

static constexpr i64 k_minute_s = 60;
static constexpr i64 k_hour_s = 3600;

void history_clear(History* history) { fill_bytes(history, 0, sizeof(History)); }

static void add_saturating(u32* counter, u32 amount)
{
    u64 sum = (u64)*counter + amount;
    *counter = sum > k_u32_max ? k_u32_max : (u32)sum;
}

static void add_saturating(u64* counter, u64 amount)
{
    u64 sum = *counter + amount;
    *counter = sum < *counter || sum > (u64)k_i64_max ? (u64)k_i64_max : sum;
}

static void bucket_add(HistoryBucket* bucket, const HistoryBucket& delta)
{
    add_saturating(&bucket->runs, delta.runs);
    for (i64 k = 0; k < k_refusal_kinds; k++)
        add_saturating(&bucket->refused[k], delta.refused[k]);
    add_saturating(&bucket->seccomp_kills, delta.seccomp_kills);
    add_saturating(&bucket->timeouts, delta.timeouts);
    add_saturating(&bucket->tokens_in, delta.tokens_in);
    add_saturating(&bucket->tokens_out, delta.tokens_out);
}

// The bucket of period in a ring of count places, started afresh when it held another.
static HistoryBucket* bucket_of(HistoryBucket* ring, i64 count, u32 period)
{
    HistoryBucket* bucket = &ring[period % (u64)count];
    if (bucket->period != period) {
        fill_bytes(bucket, 0, sizeof(HistoryBucket));
        bucket->period = period;
    }
    return bucket;
}

static void series_add(HistorySeries* series, i64 now, const HistoryBucket& delta)
{
    bucket_add(bucket_of(series->minutes, k_history_minutes, (u32)(now / k_minute_s)), delta);
    bucket_add(bucket_of(series->hours, k_history_hours, (u32)(now / k_hour_s)), delta);
}

static HistoryBucket bucket_read(const HistoryBucket* ring, i64 count, i64 width_s, i64 i, i64 now)
{
    u32 period = (u32)(now / width_s - (count - 1) + i);
    const HistoryBucket& held = ring[period % (u64)count];
    if (held.period == period)
        return held;
    HistoryBucket empty {};
    empty.period = period;
    return empty;
}

HistoryBucket history_minute(const HistorySeries& series, i64 i, i64 now)
{
    return bucket_read(series.minutes, k_history_minutes, k_minute_s, i, now);
}

HistoryBucket history_hour(const HistorySeries& series, i64 i, i64 now) { return bucket_read(series.hours, k_history_hours, k_hour_s, i, now); }

u64 history_activity(const HistorySeries& series, i64 now)
{
    u64 total = 0;
    for (i64 i = 0; i < k_history_hours; i++) {
        HistoryBucket bucket = history_hour(series, i, now);
        total += bucket.runs;
        for (i64 k = 0; k < k_refusal_kinds; k++)
            total += bucket.refused[k];
    }
    return total;
}

// Whether slot a goes before slot b in the ranking.
static bool busier(const History* history, i64 a, i64 b, const u64* activity)
{
    if (activity[a] != activity[b])
        return activity[a] > activity[b];
    if (history->agents[a].last_event != history->agents[b].last_event)
        return history->agents[a].last_event > history->agents[b].last_event;
    return a < b;
}

static void activities(const History* history, i64 now, u64* out)
{
    for (i64 s = 0; s < k_history_agent_slots; s++)
        out[s] = history->agents[s].in_use ? history_activity(history->agents[s].series, now) : 0;
}

i64 history_busiest(const History* history, i64 now, i64* out, i64 max)
{
    u64 activity[k_history_agent_slots];
    activities(history, now, activity);
    i64 ranked[k_history_agent_slots];
    i64 count = 0;
    for (i64 s = 0; s < k_history_agent_slots; s++) {
        if (activity[s] == 0)
            continue;
        i64 at = count++;
        for (; at > 0 && busier(history, s, ranked[at - 1], activity); at--)
            ranked[at] = ranked[at - 1];
        ranked[at] = s;
    }
    i64 shown = count < max ? count : max;
    for (i64 i = 0; i < shown; i++)
        out[i] = ranked[i];
    return shown;
}

static i64 find_agent_slot(const History* history, const char* name, i64 len)
{
    for (i64 s = 0; s < k_history_agent_slots; s++) {
        const HistoryAgent& agent = history->agents[s];
        if (agent.in_use && agent.name_len == len && bytes_equal(agent.name, name, len))
            return s;
    }
    return -1;
}

// A free slot, else the one that ranks last.
static i64 slot_to_take(const History* history, i64 now)
{
    for (i64 s = 0; s < k_history_agent_slots; s++)
        if (!history->agents[s].in_use)
            return s;
    u64 activity[k_history_agent_slots];
    activities(history, now, activity);
    i64 last = 0;
    for (i64 s = 1; s < k_history_agent_slots; s++)
        if (busier(history, last, s, activity))
            last = s;
    return last;
}

static HistoryAgent* agent_series(History* history, ByteSpan agent, i64 now)
{
    i64 len = agent.len < k_history_name_max ? agent.len : k_history_name_max;
    i64 slot = find_agent_slot(history, agent.ptr, len);
    if (slot < 0) {
        slot = slot_to_take(history, now);
        HistoryAgent* taken = &history->agents[slot];
        fill_bytes(taken, 0, sizeof(HistoryAgent));
        copy_bytes(taken->name, agent.ptr, len);
        taken->name_len = len;
        taken->in_use = true;
    }
    return &history->agents[slot];
}

void history_add(History* history, ByteSpan agent, i64 now, const HistoryBucket& delta)
{
    series_add(&history->total, now, delta);
    if (agent.ptr == nullptr)
        return;
    HistoryAgent* held = agent_series(history, agent, now);
    held->last_event = now;
    series_add(&held->series, now, delta);
}
