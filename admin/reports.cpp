// The two read-only reports: GET /api/health (counters, the global profile and its limits,
// isolation and the confinement layers in force, rate and budget settings) and GET
// /api/agents (one entry per registered agent, with the profile that holds for it). Keys come in a fixed order and numbers in plain decimal.
// Names and models are agents' own text, so they are escaped; a profile number without a
// name reads "custom".
#include "admin/reports.h"
#include "agents/agent_tokens.h"
#include "agents/registry.h"
#include "core/state.h"
#include "core/version.h"
#include "exec/confinement.h"
#include "exec/jail.h"
#include "exec/landlock.h"
#include "exec/run_cgroup.h"
#include "exec/workspace.h"
#include "policy/command_judge.h"
#include "policy/rules.h"
#include "runtime/io.h"
#include "runtime/text.h"

// An agent counts as active for this many seconds after its latest command.
static constexpr i64 k_active_seconds = 60;

// Fixed text of one agent entry, its comma included, then the widest values: the name
// (31 bytes) and the model (19 bytes) with every byte escaped, seven u32 counters, the
// sum of two of them, a 60-bucket rate total, two i64 settings, the workspace's bytes and
// the profile's name.
static constexpr i64 k_agent_entry_fixed = 230;
static constexpr i64 k_agent_entry_max = k_agent_entry_fixed + k_json_string_max(k_agent_name_max) + k_json_string_max(k_model_slot_size - 1) +
    7 * 10 + 11 + 12 + 3 * k_decimal_max + k_profile_name_max;
static_assert(sizeof(R"({"name":,"execs":,"blocked":,"bytes":,"last_active":,"rate_1m":,"rate_limit":,"tokens_in":,"tokens_out":,)"
                     R"("tokens_total":,"token_budget":,"model":,"profile":"","profile_own":false,"workspace_bytes":,"active":false},)")
        <= k_agent_entry_fixed);
// The brackets, keys and count around the entries.
static constexpr i64 k_agents_report_fixed = 96;

i64 agents_report_size()
{
    return state.max_agents * k_agent_entry_max + k_max_agent_tokens * (k_json_string_max(k_agent_name_max) + 1) + k_agents_report_fixed;
}

// Fixed text of the health report, its numbers at their widest (fifteen, six limits of
// the global profile and six of each profile's row) and the layers.
static constexpr i64 k_health_fixed = 1024;
static_assert(k_health_fixed + (16 + 6 + 6 * k_profile_count) * k_decimal_max + k_layers_text_max <= k_health_report_size);
static_assert(sizeof(R"(,"cgroups":false,"workspaces":"directory","workspace_mb":,"max_procs":,"max_fsize":,"max_nofile":,"matcher":"bytes",)"
                     R"("profiles":[])")
            + k_profile_count * (sizeof(R"({"name":"","timeout_ms":,"max_mem_mb":,"max_cpu_sec":,"max_procs":,"max_fsize":,"max_nofile":,"whitelist":false},)") + k_profile_name_max)
            + 460 <= k_health_fixed);

static i64 append_key_number(char* out, i64 pos, const char* key, i64 value)
{
    pos = append_text(out, pos, key);
    return append_decimal(out, pos, value);
}

// The six limits of a profile's row, each as ,"key":N.
static i64 append_limits(char* out, i64 pos, const RunLimits& limits)
{
    pos = append_key_number(out, pos, R"(,"timeout_ms":)", limits.timeout_ms);
    pos = append_key_number(out, pos, R"(,"max_mem_mb":)", limits.max_mem_mb);
    pos = append_key_number(out, pos, R"(,"max_cpu_sec":)", limits.max_cpu_sec);
    pos = append_key_number(out, pos, R"(,"max_procs":)", limits.max_procs);
    pos = append_key_number(out, pos, R"(,"max_fsize":)", limits.max_fsize);
    return append_key_number(out, pos, R"(,"max_nofile":)", limits.max_nofile);
}

// Where each agent's /tmp lives: a tmpfs of its own in the jail modes, a directory that
// Landlock keeps to it in plain basic mode, or none (every run a fresh /tmp of the host's).
static const char* workspace_kind()
{
    if (jail.mode != k_jail_none)
        return "tmpfs";
    return landlock_abi() > 0 ? "directory" : "none";
}

// What the health report adds about confinement beyond the layers: control groups (kernel
// mode, where the host mounts the memory and pids controllers), the workspaces, the global
// profile's other limits, the matcher, and every profile's row.
static i64 append_confinement_facts(char* out, i64 pos)
{
    bool cgroups = jail.mode == k_jail_kernel && run_cgroups_available();
    pos = append_text(out, pos, cgroups ? R"(,"cgroups":true)" : R"(,"cgroups":false)");
    pos = append_text(out, pos, R"(,"workspaces":")");
    pos = append_text(out, pos, workspace_kind());
    pos = append_key_number(out, pos, R"(","workspace_mb":)", state.workspace_mb > 0 ? state.workspace_mb : k_default_workspace_mb);
    pos = append_key_number(out, pos, R"(,"max_procs":)", state.max_procs);
    pos = append_key_number(out, pos, R"(,"max_fsize":)", state.max_fsize);
    pos = append_key_number(out, pos, R"(,"max_nofile":)", state.max_nofile);
    pos = append_text(out, pos, state.matcher == k_matcher_words ? R"(,"matcher":"words")" : R"(,"matcher":"bytes")");
    pos = append_text(out, pos, R"(,"profiles":[)");
    for (i64 p = 0; p < k_profile_count; p++) {
        pos = append_text(out, pos, p > 0 ? R"(,{"name":")" : R"({"name":")");
        pos = append_text(out, pos, profile_name(p));
        pos = append_byte(out, pos, '"');
        pos = append_limits(out, pos, profile_limits(p));
        // Only the strict profile holds commands to the whitelist.
        pos = append_text(out, pos, p == 0 ? R"(,"whitelist":true})" : R"(,"whitelist":false})");
    }
    return append_byte(out, pos, ']');
}

i64 build_health_report(char* out)
{
    const char* profile = profile_name(state.profile);
    i64 pos = append_text(out, 0, R"({"status":"ok","version":")" CINDERVOX_VERSION R"(")");
    pos = append_key_number(out, pos, R"(,"uptime_sec":)", now_seconds() - state.start_time);
    pos = append_key_number(out, pos, R"(,"total_execs":)", state.total_execs);
    pos = append_key_number(out, pos, R"(,"blocked_cmds":)", state.blocked_cmds);
    pos = append_key_number(out, pos, R"(,"bytes_captured":)", state.bytes_captured);
    pos = append_text(out, pos, R"(,"profile":")");
    pos = append_text(out, pos, profile ? profile : "custom");
    pos = append_byte(out, pos, '"');
    pos = append_key_number(out, pos, R"(,"timeout_ms":)", state.timeout_ms);
    pos = append_key_number(out, pos, R"(,"max_mem_mb":)", state.max_mem_mb);
    pos = append_key_number(out, pos, R"(,"max_cpu_sec":)", state.max_cpu_sec);
    pos = append_text(out, pos, state.kernel_isolation == 1 ? R"(,"isolation":"kernel")" : R"(,"isolation":"basic")");
    pos = append_text(out, pos, state.namespaces == 1 ? R"(,"namespaces":true)" : R"(,"namespaces":false)");
    pos = append_key_number(out, pos, R"(,"landlock":)", landlock_abi());
    pos = append_text(out, pos, R"(,"layers":[")");
    pos = append_layer_names(out, pos, confinement_layers(jail.mode, landlock_abi()), R"(",")");
    pos = append_text(out, pos, R"("])");
    pos = append_confinement_facts(out, pos);
    pos = append_key_number(out, pos, R"(,"agents_count":)", state.agent_count);
    pos = append_key_number(out, pos, R"(,"rate_1m":)", global_rate_total());
    pos = append_key_number(out, pos, R"(,"max_rate_per_agent":)", state.max_rate_per_agent);
    pos = append_key_number(out, pos, R"(,"default_token_budget":)", state.default_token_budget);
    return append_text(out, pos, R"(,"tls":"use reverse proxy","binary_size":"~186KB","dependencies":0})");
}

// The model slot's text up to its NUL, at most 19 bytes; "-" when empty.
static i64 append_model(char* out, i64 pos, i64 index)
{
    const char* model = agent_model_slot(index);
    i64 len = text_length_max(model, k_model_slot_size - 1);
    if (len == 0)
        return append_text(out, pos, R"("-")");
    return append_json_string(out, pos, model, len);
}

static i64 append_agent_entry(char* out, i64 pos, i64 index, i64 now)
{
    const AgentRecord* record = agent_record(index);
    ByteSpan name = agent_name(index);
    i64 last_active = record->last_active;
    pos = append_text(out, pos, R"({"name":)");
    pos = append_json_string(out, pos, name.ptr, name.len);
    pos = append_key_number(out, pos, R"(,"execs":)", record->execs);
    pos = append_key_number(out, pos, R"(,"blocked":)", record->blocked);
    pos = append_key_number(out, pos, R"(,"bytes":)", record->bytes);
    pos = append_key_number(out, pos, R"(,"last_active":)", last_active);
    pos = append_key_number(out, pos, R"(,"rate_1m":)", agent_rate_total(index));
    pos = append_key_number(out, pos, R"(,"rate_limit":)", state.max_rate_per_agent);
    pos = append_key_number(out, pos, R"(,"tokens_in":)", record->tokens_in);
    pos = append_key_number(out, pos, R"(,"tokens_out":)", record->tokens_out);
    pos = append_key_number(out, pos, R"(,"tokens_total":)", agent_tokens_used(index));
    pos = append_key_number(out, pos, R"(,"token_budget":)", agent_budget(index));
    pos = append_text(out, pos, R"(,"model":)");
    pos = append_model(out, pos, index);
    const char* profile = profile_name(agent_run_limits(index).profile);
    pos = append_text(out, pos, R"(,"profile":")");
    pos = append_text(out, pos, profile ? profile : "custom");
    pos = append_text(out, pos, has_own_profile(record->own_profile) ? R"(","profile_own":true)" : R"(","profile_own":false)");
    pos = append_key_number(out, pos, R"(,"workspace_bytes":)", workspace_bytes(index));
    pos = append_text(out, pos, now - last_active < k_active_seconds ? R"(,"active":true})" : R"(,"active":false})");
    return pos;
}

i64 build_agents_report(char* out)
{
    i64 now = now_seconds();
    i64 listed = 0;
    i64 pos = append_text(out, 0, R"({"agents":[)");
    for (i64 i = 0; i < state.max_agents; i++) {
        if (!agent_record(i)->in_use)
            continue;
        if (listed++ > 0)
            pos = append_byte(out, pos, ',');
        pos = append_agent_entry(out, pos, i, now);
    }
    pos = append_key_number(out, pos, R"(],"count":)", state.agent_count);
    // Names bound to agent tokens, for the admin only: agent tokens cannot read this report.
    pos = append_text(out, pos, R"(,"token_agents":[)");
    for (i64 i = 0; i < agent_token_count(); i++) {
        if (i > 0)
            pos = append_byte(out, pos, ',');
        ByteSpan name = agent_token_name(i);
        pos = append_json_string(out, pos, name.ptr, name.len);
    }
    return append_text(out, pos, "]}");
}
