// What the server counts of its work, for GET /api/history and GET /metrics: the activity
// history (core/history.h) and the totals since start. Resets of the sandbox or of an agent
// clear neither: they record what the server did. The exec pipeline, the runner and the
// background runs report each event here once, where it happens.
#pragma once
#include "core/history.h"
#include "runtime/types.h"

// How a command that was admitted ended.
enum CommandResult {
    k_result_ok,
    k_result_timeout,
    k_result_memory_limit,
    k_result_seccomp,
    // A background run its agent or the admin stopped.
    k_result_stopped,
    k_result_not_started,
    k_result_cancelled,
    k_command_results
};

constexpr const char* k_command_result_names[] = { "ok", "timeout", "memory_limit", "seccomp", "stopped", "not_started", "cancelled" };
static_assert(sizeof(k_command_result_names) / sizeof(k_command_result_names[0]) == k_command_results);

// Upper bounds of the run-duration histogram's buckets, in milliseconds and as the
// exposition writes them in seconds; a last bucket (+Inf) takes the rest.
struct DurationBound {
    i64 ms;
    const char* seconds;
};
constexpr DurationBound k_duration_bounds[] = {
    { 10, "0.01" }, { 50, "0.05" }, { 100, "0.1" }, { 250, "0.25" }, { 500, "0.5" }, { 1000, "1" },
    { 2500, "2.5" }, { 5000, "5" }, { 10000, "10" }, { 30000, "30" }, { 60000, "60" }, { 300000, "300" }, { 3600000, "3600" },
};
constexpr i64 k_duration_bounds_count = sizeof(k_duration_bounds) / sizeof(k_duration_bounds[0]);

// Counts since start.
struct ActivityTotals {
    u64 commands[k_command_results];
    u64 refused[k_refusal_kinds];
    // Runs that ran, by the first bound their duration is within (the last place: beyond
    // every bound), and the sum of their durations.
    u64 durations[k_duration_bounds_count + 1];
    u64 duration_sum_ms;
    u64 tokens_in;
    u64 tokens_out;
};

extern constinit History activity_history;
extern constinit ActivityTotals activity_totals;

// A command ran to its end after duration_ms (any result but not_started and cancelled).
void note_run_end(ByteSpan agent, CommandResult result, i64 duration_ms);
// A command admitted that never ran, or was cancelled when its client left.
void note_run_lost(CommandResult result);
void note_refusal(ByteSpan agent, RefusalKind kind);
// Tokens an agent reported with a command.
void note_tokens(ByteSpan agent, u64 tokens_in, u64 tokens_out);

// The place of a duration in ActivityTotals.durations. Pure.
i64 duration_bucket(i64 duration_ms);
