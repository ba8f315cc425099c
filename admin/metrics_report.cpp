#include "admin/metrics_report.h"
#include "agents/registry.h"
#include "core/connection_table.h"
#include "core/state.h"
#include "core/version.h"
#include "exec/sandbox_runner.h"
#include "exec/workspace.h"
#include "runtime/heap.h"
#include "runtime/io.h"

// The words of each label, and how many series a family has (1 without a label).
static constexpr const char* k_version_values[] = { CINDERVOX_VERSION };
static constexpr const char* k_run_kinds[] = { "request", "background" };
static constexpr const char* k_directions[] = { "in", "out" };

using SeriesValue = i64 (*)(const MetricsSnapshot&, i64 series);

struct MetricFamily {
    const char* name;
    const char* type;
    const char* help;
    // nullptr for a family of one series without labels.
    const char* label;
    const char* const* values;
    i64 series;
    SeriesValue value;
};

static i64 capped(u64 value) { return value > (u64)k_i64_max ? k_i64_max : (i64)value; }

static constexpr MetricFamily k_families[] = {
    { "cindervox_build_info", "gauge", "The server's version (always 1).", "version", k_version_values, 1,
        [](const MetricsSnapshot&, i64) -> i64 { return 1; } },
    { "cindervox_start_time_seconds", "gauge", "When the server started, seconds since 1970.", nullptr, nullptr, 1,
        [](const MetricsSnapshot& s, i64) { return s.start_time; } },
    { "cindervox_commands_total", "counter", "Commands admitted to run, by how they ended.", "result", k_command_result_names,
        k_command_results, [](const MetricsSnapshot& s, i64 i) { return capped(s.totals.commands[i]); } },
    { "cindervox_refusals_total", "counter", "Requests refused, by kind.", "kind", k_refusal_kind_names, k_refusal_kinds,
        [](const MetricsSnapshot& s, i64 i) { return capped(s.totals.refused[i]); } },
    { "cindervox_seccomp_kills_total", "counter", "Runs the seccomp filter killed.", nullptr, nullptr, 1,
        [](const MetricsSnapshot& s, i64) { return capped(s.totals.commands[k_result_seccomp]); } },
    { "cindervox_timeouts_total", "counter", "Runs killed at their time-out.", nullptr, nullptr, 1,
        [](const MetricsSnapshot& s, i64) { return capped(s.totals.commands[k_result_timeout]); } },
    { "cindervox_tokens_total", "counter", "Tokens the agents reported with their commands.", "direction", k_directions, 2,
        [](const MetricsSnapshot& s, i64 i) { return capped(i == 0 ? s.totals.tokens_in : s.totals.tokens_out); } },
    { "cindervox_runs_in_flight", "gauge", "Runs going, in the request slots and in the background pool.", "kind", k_run_kinds, 2,
        [](const MetricsSnapshot& s, i64 i) { return i == 0 ? s.running : s.background; } },
    { "cindervox_runs_queued", "gauge", "Commands waiting for a run slot.", nullptr, nullptr, 1,
        [](const MetricsSnapshot& s, i64) { return s.queued; } },
    { "cindervox_runs_queue_capacity", "gauge", "Commands that may wait for a run slot at most.", nullptr, nullptr, 1,
        [](const MetricsSnapshot& s, i64) { return s.queue_capacity; } },
    { "cindervox_open_connections", "gauge", "Connections in progress.", nullptr, nullptr, 1,
        [](const MetricsSnapshot& s, i64) { return s.connections; } },
    { "cindervox_agents", "gauge", "Agents in the registry.", nullptr, nullptr, 1, [](const MetricsSnapshot& s, i64) { return s.agents; } },
    { "cindervox_workspace_bytes", "gauge", "Bytes in use in the agents' workspaces.", nullptr, nullptr, 1,
        [](const MetricsSnapshot& s, i64) { return s.workspace_bytes; } },
    { "cindervox_resident_memory_bytes", "gauge", "The server's resident memory.", nullptr, nullptr, 1,
        [](const MetricsSnapshot& s, i64) { return s.resident_bytes; } },
};

static constexpr char k_duration_name[] = "cindervox_run_duration_seconds";
static constexpr char k_duration_help[] = "How long runs that ran to their end took.";

i64 append_label_value(char* out, i64 pos, const char* value, i64 len)
{
    for (i64 i = 0; i < len; i++) {
        char c = value[i];
        if (c == '\\' || c == '"' || c == '\n')
            pos = append_byte(out, pos, '\\');
        pos = append_byte(out, pos, c == '\n' ? 'n' : c);
    }
    return pos;
}

static i64 append_head(char* out, i64 pos, const char* name, const char* type, const char* help)
{
    pos = append_text(out, pos, "# HELP ");
    pos = append_text(out, pos, name);
    pos = append_byte(out, pos, ' ');
    pos = append_text(out, pos, help);
    pos = append_text(out, pos, "\n# TYPE ");
    pos = append_text(out, pos, name);
    pos = append_byte(out, pos, ' ');
    pos = append_text(out, pos, type);
    return append_byte(out, pos, '\n');
}

// name{label="value"} or name alone, then a blank.
static i64 append_series_name(char* out, i64 pos, const char* name, const char* suffix, const char* label, const char* value)
{
    pos = append_text(out, pos, name);
    pos = append_text(out, pos, suffix);
    if (label) {
        pos = append_byte(out, pos, '{');
        pos = append_text(out, pos, label);
        pos = append_text(out, pos, "=\"");
        pos = append_label_value(out, pos, value, text_length(value));
        pos = append_text(out, pos, "\"}");
    }
    return append_byte(out, pos, ' ');
}

static i64 append_family(char* out, i64 pos, const MetricFamily& family, const MetricsSnapshot& snapshot)
{
    pos = append_head(out, pos, family.name, family.type, family.help);
    for (i64 i = 0; i < family.series; i++) {
        pos = append_series_name(out, pos, family.name, "", family.label, family.label ? family.values[i] : nullptr);
        pos = append_decimal(out, pos, family.value(snapshot, i));
        pos = append_byte(out, pos, '\n');
    }
    return pos;
}

// Milliseconds as seconds with three decimals.
static i64 append_seconds(char* out, i64 pos, i64 ms)
{
    pos = append_decimal(out, pos, ms / 1000);
    pos = append_byte(out, pos, '.');
    for (i64 unit = 100; unit >= 1; unit /= 10)
        pos = append_byte(out, pos, (char)('0' + ms / unit % 10));
    return pos;
}

static i64 append_durations(char* out, i64 pos, const ActivityTotals& totals)
{
    pos = append_head(out, pos, k_duration_name, "histogram", k_duration_help);
    i64 cumulative = 0;
    for (i64 i = 0; i <= k_duration_bounds_count; i++) {
        cumulative = capped((u64)cumulative + totals.durations[i]);
        const char* bound = i < k_duration_bounds_count ? k_duration_bounds[i].seconds : "+Inf";
        pos = append_series_name(out, pos, k_duration_name, "_bucket", "le", bound);
        pos = append_decimal(out, pos, cumulative);
        pos = append_byte(out, pos, '\n');
    }
    pos = append_series_name(out, pos, k_duration_name, "_sum", nullptr, nullptr);
    pos = append_seconds(out, pos, capped(totals.duration_sum_ms));
    pos = append_byte(out, pos, '\n');
    pos = append_series_name(out, pos, k_duration_name, "_count", nullptr, nullptr);
    pos = append_decimal(out, pos, cumulative);
    return append_byte(out, pos, '\n');
}

i64 build_metrics_text(char* out, const MetricsSnapshot& snapshot)
{
    i64 pos = 0;
    for (const MetricFamily& family : k_families)
        pos = append_family(out, pos, family, snapshot);
    return append_durations(out, pos, snapshot.totals);
}

// ---- the worst case ----------------------------------------------------------------

static constexpr i64 head_max(const char* name, const char* type, const char* help)
{
    return sizeof("# HELP  \n# TYPE  \n") - 1 + 2 * text_length(name) + text_length(type) + text_length(help);
}

// A series line with its label value escaped at two bytes a byte, and a value of
// value_max bytes.
static constexpr i64 series_max(const char* name, const char* suffix, const char* label, const char* value, i64 value_max)
{
    i64 labels = label ? sizeof("{=\"\"}") - 1 + text_length(label) + 2 * text_length(value) : 0;
    return text_length(name) + text_length(suffix) + labels + 1 + value_max + 1;
}

static constexpr i64 metrics_worst_case()
{
    i64 total = 0;
    for (const MetricFamily& family : k_families) {
        total += head_max(family.name, family.type, family.help);
        for (i64 i = 0; i < family.series; i++)
            total += series_max(family.name, "", family.label, family.label ? family.values[i] : nullptr, k_decimal_max);
    }
    total += head_max(k_duration_name, "histogram", k_duration_help);
    for (const DurationBound& bound : k_duration_bounds)
        total += series_max(k_duration_name, "_bucket", "le", bound.seconds, k_decimal_max);
    total += series_max(k_duration_name, "_bucket", "le", "+Inf", k_decimal_max);
    // The sum: whole seconds, a point and three decimals.
    total += series_max(k_duration_name, "_sum", nullptr, nullptr, k_decimal_max + 4);
    return total + series_max(k_duration_name, "_count", nullptr, nullptr, k_decimal_max);
}
static_assert(metrics_worst_case() <= k_metrics_report_size);

i64 metrics_text_max() { return metrics_worst_case(); }

// ---- reading the server ------------------------------------------------------------

i64 parse_statm_resident(const char* text, i64 len)
{
    i64 i = 0;
    while (i < len && text[i] >= '0' && text[i] <= '9')
        i++;
    if (i == 0 || i >= len || text[i] != ' ')
        return -1;
    i64 pages = 0;
    i64 digits = 0;
    for (i++; i < len && text[i] >= '0' && text[i] <= '9' && digits < 18; i++, digits++)
        pages = pages * 10 + (text[i] - '0');
    return digits > 0 ? pages : -1;
}

static i64 resident_bytes()
{
    char text[128];
    i64 len = read_small_file("/proc/self/statm", text, sizeof(text) - 1);
    i64 pages = parse_statm_resident(text, len > 0 ? len : 0);
    return pages < 0 ? 0 : pages * k_page_size;
}

static i64 workspaces_in_use()
{
    i64 total = 0;
    for (i64 slot = 0; slot < state.max_agents; slot++)
        if (agent_record(slot)->in_use)
            total += workspace_bytes(slot);
    return total;
}

i64 build_metrics_report(char* out)
{
    RunCounts runs = sandbox_run_counts();
    MetricsSnapshot snapshot { activity_totals, runs.running, runs.background, runs.queued, runs.queue_capacity, connections_open(),
        state.agent_count, workspaces_in_use(), resident_bytes(), state.start_time };
    return build_metrics_text(out, snapshot);
}
