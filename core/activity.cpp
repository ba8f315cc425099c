#include "core/activity.h"
#include "runtime/io.h"

constinit History activity_history {};
constinit ActivityTotals activity_totals {};


// Sums the reports write as signed decimals stop at the largest signed value.
static void add_capped(u64* counter, u64 amount)
{
    u64 sum = *counter + amount;
    *counter = sum < *counter || sum > (u64)k_i64_max ? (u64)k_i64_max : sum;
}

i64 duration_bucket(i64 duration_ms)
{
    i64 i = 0;
    while (i < k_duration_bounds_count && duration_ms > k_duration_bounds[i].ms)
        i++;
    return i;
}

void note_run_end(ByteSpan agent, CommandResult result, i64 duration_ms)
{
    activity_totals.commands[result]++;
    activity_totals.durations[duration_bucket(duration_ms)]++;
    add_capped(&activity_totals.duration_sum_ms, duration_ms > 0 ? (u64)duration_ms : 0);
    HistoryBucket delta {};
    delta.runs = 1;
    delta.seccomp_kills = result == k_result_seccomp ? 1 : 0;
    delta.timeouts = result == k_result_timeout ? 1 : 0;
    history_add(&activity_history, agent, now_seconds(), delta);
}

void note_run_lost(CommandResult result) { activity_totals.commands[result]++; }

void note_refusal(ByteSpan agent, RefusalKind kind)
{
    activity_totals.refused[kind]++;
    HistoryBucket delta {};
    delta.refused[kind] = 1;
    history_add(&activity_history, agent, now_seconds(), delta);
}

void note_tokens(ByteSpan agent, u64 tokens_in, u64 tokens_out)
{
    if (tokens_in == 0 && tokens_out == 0)
        return;
    add_capped(&activity_totals.tokens_in, tokens_in);
    add_capped(&activity_totals.tokens_out, tokens_out);
    HistoryBucket delta {};
    delta.tokens_in = tokens_in;
    delta.tokens_out = tokens_out;
    history_add(&activity_history, agent, now_seconds(), delta);
}
