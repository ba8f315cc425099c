// The activity history: what the server did in each minute of the last hour and each hour
// of the last day, for the whole server and for the busiest agents. Memory is fixed: a
// series is two rings of buckets, each bucket stamped with the minute or hour it counts. A
// bucket whose stamp is not the period its place stands for now is left over from an
// earlier turn of the ring and reads as zero, so an idle gap of any length needs no sweep.
// Pure: the time comes from the caller.
//
// Agents: k_history_agent_slots names keep series of their own. A name without one takes
// the slot of the agent least busy over the day (among equals the one idle longest), so
// the k_history_agents_shown busiest, which the report lists, never give way to a
// newcomer: the least busy of the slots is never busier than the ninth.
#pragma once
#include "runtime/types.h"

// Why a request was refused; the names are the report's keys.
enum RefusalKind {
    k_refused_sensitive,
    k_refused_blacklist,
    k_refused_whitelist,
    k_refused_unreadable,
    k_refused_too_long,
    k_refused_rate,
    k_refused_runs,
    k_refused_budget,
    k_refused_queue_full,
    k_refused_registry_full,
    k_refused_background,
    k_refused_background_full,
    k_refusal_kinds
};

constexpr const char* k_refusal_kind_names[] = {
    "sensitive", "blacklist", "whitelist", "unreadable", "too_long", "rate",
    "runs", "budget", "queue_full", "registry_full", "background", "background_full",
};
static_assert(sizeof(k_refusal_kind_names) / sizeof(k_refusal_kind_names[0]) == k_refusal_kinds);

constexpr i64 k_history_minutes = 60;
constexpr i64 k_history_hours = 24;
constexpr i64 k_history_agents_shown = 8;
constexpr i64 k_history_agent_slots = 2 * k_history_agents_shown;
// Bytes of an agent's name kept, as the registry keeps them.
constexpr i64 k_history_name_max = 31;

// The counts of one minute or hour. Counters stop at their largest value instead of
// wrapping (4 billion runs in a minute is out of reach; tokens are counted in 64 bits
// and stop at the largest signed value, which the reports write as it is).
struct HistoryBucket {
    // The minute (seconds / 60) or hour (seconds / 3600) since 1970 the counts belong to.
    u32 period;
    // Commands that ran to their end (time-outs and seccomp kills among them).
    u32 runs;
    u32 refused[k_refusal_kinds];
    u32 seccomp_kills;
    u32 timeouts;
    // Tokens the agents reported with their commands.
    u64 tokens_in;
    u64 tokens_out;
};

struct HistorySeries {
    HistoryBucket minutes[k_history_minutes];
    HistoryBucket hours[k_history_hours];
};

struct HistoryAgent {
    HistorySeries series;
    char name[k_history_name_max + 1];
    i64 name_len;
    // Second of the agent's latest event; it orders agents equally busy.
    i64 last_event;
    bool in_use;
};

struct History {
    HistorySeries total;
    HistoryAgent agents[k_history_agent_slots];
};

// What the history takes, all of it in the one record, made once.
constexpr i64 k_history_bytes = sizeof(History);
static_assert(sizeof(HistoryBucket) == 80);
static_assert(k_history_bytes == (1 + k_history_agent_slots) * (k_history_minutes + k_history_hours) * 80 + k_history_agent_slots * 56);

// Empties every series and frees every agent slot.
void history_clear(History* history);

// Adds delta's counts (its period is not read) to the buckets of second now: the server's,
// and the agent's when agent.ptr is not null (its first k_history_name_max bytes name it).
void history_add(History* history, ByteSpan agent, i64 now, const HistoryBucket& delta);

// Bucket i of a series' minutes (0 to 59) or hours (0 to 23), oldest first, as it stands at
// second now: the last is the current minute or hour. A stale bucket reads as zero; the
// period is always the one the place stands for.
HistoryBucket history_minute(const HistorySeries& series, i64 i, i64 now);
HistoryBucket history_hour(const HistorySeries& series, i64 i, i64 now);

// Start of a bucket's period in seconds since 1970.
constexpr i64 history_minute_start(const HistoryBucket& bucket) { return (i64)bucket.period * 60; }
constexpr i64 history_hour_start(const HistoryBucket& bucket) { return (i64)bucket.period * 3600; }

// Runs and refusals of a series over the last 24 hours (its current hour included).
u64 history_activity(const HistorySeries& series, i64 now);

// The slots of agents with any activity over the last 24 hours, busiest first (equals:
// the latest event first, then slot order), at most max of them, into out. Returns the count.
i64 history_busiest(const History* history, i64 now, i64* out, i64 max);
