// An agent's own profile, set by the admin. It is kept in the agent's registry record only:
// an agent with a profile of its own does not leave the registry by itself, a reset of the
// agent keeps it, and DELETE /api/sandbox clears it with the registry. A token agent whose
// line in the agents file names a profile takes that one again at every reload of the file.
#include "admin/agent_profile.h"
#include "core/audit_log.h"
#include "core/change_log.h"
#include "core/http_response.h"
#include "core/http_status.h"
#include "core/run_limits.h"
#include "runtime/fields.h"
#include "runtime/json_reader.h"
#include "runtime/text.h"

static constexpr char k_err_missing[] = "missing profile (strict, moderate, permissive, 0, 1, 2, or null for the global profile)";
static constexpr char k_err_invalid[] = "profile must be strict, moderate, permissive, 0, 1, 2 or null";
static constexpr char k_err_name[] = "agent name must be printable text";
static constexpr char k_not_kept[] =
    "no file holds an agent's profile set here: it lasts until the sandbox reset, the server stops, or the agents file "
    "is reloaded for an agent it names";
static_assert(sizeof(k_not_kept) - 1 <= k_save_reason_max);

AgentProfileField read_agent_profile_field(const char* json, i64 len)
{
    i64 value = json_find_member(json, len, 0, "profile", 7);
    if (value < 0)
        return { k_agent_profile_missing, 0 };
    while (value < len && (json[value] == ' ' || json[value] == '\t' || json[value] == '\r' || json[value] == '\n'))
        value++;
    // null is a whole value: "nullx" is no null.
    if (value + 4 <= len && bytes_equal(json + value, "null", 4)) {
        char next = value + 4 < len ? json[value + 4] : '}';
        bool whole = next == ' ' || next == '\t' || next == '\r' || next == '\n' || next == ',' || next == '}';
        return whole ? AgentProfileField { k_agent_profile_clear, 0 } : AgentProfileField { k_agent_profile_invalid, 0 };
    }
    JsonInteger number = json_read_integer(json, len, value);
    if (number.ok)
        return profile_in_range(number.value) ? AgentProfileField { k_agent_profile_set, number.value } : AgentProfileField { k_agent_profile_invalid, 0 };
    char word[k_profile_name_max + 1];
    JsonString text = json_decode_string(json, len, value, word, k_profile_name_max);
    if (text.end < 0 || text.decoded != text.stored)
        return { k_agent_profile_invalid, 0 };
    i64 profile = profile_by_name({ word, text.stored });
    return profile < 0 ? AgentProfileField { k_agent_profile_invalid, 0 } : AgentProfileField { k_agent_profile_set, profile };
}

static bool printable(ByteSpan name)
{
    for (i64 i = 0; i < name.len; i++)
        if ((u8)name.ptr[i] < 0x20 || name.ptr[i] == 0x7F)
            return false;
    // The name is echoed in JSON answers and reports, which carry UTF-8 text.
    return name.len > 0 && utf8_well_formed(name.ptr, name.len);
}

// "agent_profile permissive", or "agent_profile global" for a clear.
static constexpr i64 k_detail_max = 16 + k_profile_name_max;

static void record_change(ByteSpan agent, const RunLimits& limits, bool own)
{
    const char* profile = profile_name(limits.profile);
    char detail[k_detail_max];
    i64 len = append_text(detail, 0, "agent_profile ");
    len = append_text(detail, len, own && profile ? profile : "global");
    audit_write(agent, "CONFIG", { detail, len }, own ? limits.profile : -1, 0, "OK");
    ChangeNote note;
    begin_change(&note);
    note_text(&note, own ? "set the profile of agent " : "cleared the profile of agent ");
    note_quoted(&note, agent);
    note_text(&note, own ? " to " : "; it follows the global profile, ");
    note_text(&note, profile ? profile : "custom");
    print_change(&note);
}

void handle_agent_profile(int conn, ByteSpan name, const char* req, i64 req_len)
{
    if (!printable(name))
        return send_json_error(conn, 400, reason_phrase(400), k_err_name);
    i64 body = find_body(req, req_len);
    AgentProfileField field = body < 0 ? AgentProfileField { k_agent_profile_missing, 0 } : read_agent_profile_field(req + body, req_len - body);
    if (field.status == k_agent_profile_missing)
        return send_json_error(conn, 400, reason_phrase(400), k_err_missing);
    if (field.status == k_agent_profile_invalid)
        return send_json_error(conn, 400, reason_phrase(400), k_err_invalid);
    i64 index = register_agent(name.ptr, name.len);
    if (index < 0)
        return send_json_error(conn, 503, reason_phrase(503), "agent registry full");
    bool own = field.status == k_agent_profile_set;
    agent_record(index)->own_profile = own ? own_profile_code(field.profile) : k_no_own_profile;
    RunLimits limits = agent_run_limits(index);
    ByteSpan kept = agent_name(index);
    record_change(kept, limits, own);
    const char* profile = profile_name(limits.profile);
    ByteSpan profile_text = profile ? ByteSpan { profile, text_length(profile) } : ByteSpan { "custom", 6 };
    SettingSave save = not_saved("the agent's profile", k_not_kept);
    JsonAnswer answer(k_agent_profile_answer_size);
    answer.text("agent", kept)
        .text("profile", profile_text)
        .flag("own", own)
        .number("timeout_ms", limits.timeout_ms)
        .number("max_mem_mb", limits.max_mem_mb)
        .number("max_cpu_sec", limits.max_cpu_sec)
        .number("max_procs", limits.max_procs)
        .number("max_fsize", limits.max_fsize)
        .number("max_nofile", limits.max_nofile);
    answer_save(answer, save).send(conn);
}
