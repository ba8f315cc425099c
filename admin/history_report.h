// GET /api/history: the activity history (core/history.h) as JSON, for the dashboard's
// charts: the server's 60 minutes and 24 hours, oldest first, and the same for the busiest
// agents of the day.
#pragma once
#include "core/history.h"
#include "runtime/text.h"
#include "runtime/types.h"

constexpr i64 k_u32_decimal_max = 10;

// One bucket at its widest: its fixed text and comma, its start and two token counts as
// any decimal, three u32 counters, and every refusal kind with its u32 count.
constexpr i64 history_refused_max()
{
    i64 total = 0;
    for (const char* name : k_refusal_kind_names)
        total += text_length(name) + sizeof(R"("":,)") - 1 + k_u32_decimal_max;
    return total;
}
constexpr i64 k_history_bucket_max = sizeof(R"({"t":,"runs":,"refused":{},"seccomp_kills":,"timeouts":,"tokens_in":,"tokens_out":},)") - 1
    + 3 * k_decimal_max + 3 * k_u32_decimal_max + history_refused_max();
constexpr i64 k_history_series_max = sizeof(R"("minutes":[],"hours":[])") - 1 + (k_history_minutes + k_history_hours) * k_history_bucket_max;
constexpr i64 k_history_agent_max = sizeof(R"({"agent":,,},)") - 1 + k_json_string_max(k_history_name_max) + k_history_series_max;
constexpr i64 k_history_report_size = sizeof(R"({"ok":true,"now":,,"agents":[]})") - 1 + k_decimal_max + k_history_series_max
    + k_history_agents_shown * k_history_agent_max;

// {"ok":true,"now":N,"minutes":[...],"hours":[...],"agents":[...]} of history at second
// now into out (k_history_report_size bytes); returns its length. A bucket lists only the
// refusal kinds it counted.
i64 build_history_json(char* out, const History& history, i64 now);

// The server's own history, now.
i64 build_history_report(char* out);
