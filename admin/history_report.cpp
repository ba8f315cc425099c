#include "admin/history_report.h"
#include "core/activity.h"
#include "runtime/io.h"

static i64 append_key_number(char* out, i64 pos, const char* key, i64 value)
{
    pos = append_text(out, pos, key);
    return append_decimal(out, pos, value);
}

static i64 append_bucket(char* out, i64 pos, const HistoryBucket& bucket, i64 start)
{
    pos = append_key_number(out, pos, R"({"t":)", start);
    pos = append_key_number(out, pos, R"(,"runs":)", bucket.runs);
    pos = append_text(out, pos, R"(,"refused":{)");
    bool first = true;
    for (i64 k = 0; k < k_refusal_kinds; k++) {
        if (bucket.refused[k] == 0)
            continue;
        pos = append_text(out, pos, first ? "\"" : ",\"");
        pos = append_text(out, pos, k_refusal_kind_names[k]);
        pos = append_key_number(out, pos, "\":", bucket.refused[k]);
        first = false;
    }
    pos = append_key_number(out, pos, R"(},"seccomp_kills":)", bucket.seccomp_kills);
    pos = append_key_number(out, pos, R"(,"timeouts":)", bucket.timeouts);
    pos = append_key_number(out, pos, R"(,"tokens_in":)", (i64)bucket.tokens_in);
    pos = append_key_number(out, pos, R"(,"tokens_out":)", (i64)bucket.tokens_out);
    return append_byte(out, pos, '}');
}

static i64 append_series(char* out, i64 pos, const HistorySeries& series, i64 now)
{
    pos = append_text(out, pos, R"("minutes":[)");
    for (i64 i = 0; i < k_history_minutes; i++) {
        HistoryBucket bucket = history_minute(series, i, now);
        pos = append_bucket(out, i > 0 ? append_byte(out, pos, ',') : pos, bucket, history_minute_start(bucket));
    }
    pos = append_text(out, pos, R"(],"hours":[)");
    for (i64 i = 0; i < k_history_hours; i++) {
        HistoryBucket bucket = history_hour(series, i, now);
        pos = append_bucket(out, i > 0 ? append_byte(out, pos, ',') : pos, bucket, history_hour_start(bucket));
    }
    return append_byte(out, pos, ']');
}

i64 build_history_json(char* out, const History& history, i64 now)
{
    i64 pos = append_key_number(out, 0, R"({"ok":true,"now":)", now);
    pos = append_series(out, append_byte(out, pos, ','), history.total, now);
    pos = append_text(out, pos, R"(,"agents":[)");
    i64 busiest[k_history_agents_shown];
    i64 count = history_busiest(&history, now, busiest, k_history_agents_shown);
    for (i64 i = 0; i < count; i++) {
        const HistoryAgent& agent = history.agents[busiest[i]];
        pos = append_text(out, pos, i > 0 ? R"(,{"agent":)" : R"({"agent":)");
        pos = append_json_string(out, pos, agent.name, agent.name_len);
        pos = append_series(out, append_byte(out, pos, ','), agent.series, now);
        pos = append_byte(out, pos, '}');
    }
    return append_text(out, pos, "]}");
}

i64 build_history_report(char* out) { return build_history_json(out, activity_history, now_seconds()); }
