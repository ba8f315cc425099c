// POST /api/exec. The handler is the pipeline in its order: read the command, attribute
// it to an agent, the agent's rate window, its token report and budget, the sensitive-path
// screen, the command policy, the run, and the answer. The first refusal ends the request
// and leaves one audit entry; the two answers for a missing or empty command leave none,
// and so does the 503 of a host where nothing can confine the run.
#include "exec/exec_endpoint.h"
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/connection_table.h"
#include "core/http_response.h"
#include "core/state.h"
#include "exec/confinement.h"
#include "exec/sandbox_runner.h"
#include "policy/rules.h"
#include "runtime/fields.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/json_reader.h"
#include "runtime/text.h"

struct Refusal {
    const char* action;
    const char* result;
    i64 status;
    const char* reason;
    const char* message;
    bool counts_as_block;
};

static constexpr Refusal k_refusal_rate { "RATELIMIT", "AGENT", 429, "Too Many Requests", "per-agent rate limit exceeded", false };
// A run of the agent's ends within its time-out; most end far sooner, so the agent may
// try again after a second.
static constexpr i64 k_runs_retry_after_s = 1;
static constexpr Refusal k_refusal_runs { "RATELIMIT", "RUNS", 429, "Too Many Requests", "too many commands in flight for this agent", false };
static constexpr Refusal k_refusal_sensitive { "BLOCK", "SENSITIVE_PATH", 403, "Forbidden", "access to sensitive path blocked", true };
static constexpr Refusal k_refusal_blacklist { "BLOCK", "BLACKLIST", 403, "Forbidden", "command blocked by blacklist", true };
static constexpr Refusal k_refusal_whitelist { "BLOCK", "WHITELIST", 403, "Forbidden", "command not in whitelist (strict mode)", true };

// Byte sequences that flag a command when they start at or before length - 4.
static constexpr const char* k_sensitive_sequences[] = {
    "/etc/p",
    "/etc/s",
    "/etc/h",
    ".ssh/",
    "/proc/",
    "$(",
    "`",
    "..",
    "eval",
};

// ---- pure pieces ----------------------------------------------------------------

const char* sensitive_sequence(const char* cmd, i64 len)
{
    for (i64 p = 0; p <= len - 4; p++)
        for (const char* sequence : k_sensitive_sequences) {
            i64 seq_len = text_length(sequence);
            if (p + seq_len <= len && bytes_equal(cmd + p, sequence, seq_len))
                return sequence;
        }
    return nullptr;
}

CommandField read_command(const char* req, i64 req_len, char* out, i64 capacity)
{
    i64 body = find_body(req, req_len);
    if (body < 0)
        return { k_command_missing, 0 };
    const char* json = req + body;
    i64 json_len = req_len - body;
    i64 value = json_find_member(json, json_len, 0, "cmd", 3);
    if (value < 0)
        return { k_command_missing, 0 };
    JsonString text = json_decode_string(json, json_len, value, out, capacity);
    if (text.end < 0)
        return { k_command_not_string, 0 };
    // The shell would see the command only up to the first zero byte, while the screen
    // and the policy judged all of it.
    for (i64 i = 0; i < text.stored; i++)
        if (out[i] == 0)
            return { k_command_has_nul, 0 };
    return { text.stored == 0 ? k_command_empty : k_command_read, text.stored };
}

i64 build_refusal_body(char* out, const char* message, ByteSpan rule)
{
    i64 pos = append_text(out, 0, R"({"ok":false,"error":)");
    pos = append_json_string(out, pos, message, text_length(message));
    pos = append_text(out, pos, R"(,"rule":)");
    pos = append_json_string(out, pos, rule.ptr, rule.len < k_refusal_rule_max ? rule.len : k_refusal_rule_max);
    return append_byte(out, pos, '}');
}

i64 build_exec_result(char* out, bool ok, const char* output, i64 len, i64 exit_code, i64 duration_ms)
{
    i64 pos = append_text(out, 0, R"({"ok":)");
    pos = append_text(out, pos, ok ? "true" : "false");
    pos = append_text(out, pos, R"(,"stdout":)");
    pos = append_json_string(out, pos, output, len);
    pos = append_text(out, pos, R"(,"stderr":"","exit_code":)");
    pos = append_decimal(out, pos, exit_code);
    pos = append_text(out, pos, R"(,"duration_ms":)");
    pos = append_decimal(out, pos, duration_ms);
    return append_byte(out, pos, '}');
}

// The file list text split at line feeds; a CR before the LF is not part of the name and
// empty lines are skipped. Writes the names separated by commas.
static i64 append_file_names(char* out, i64 pos, const char* text, i64 len)
{
    i64 written = 0;
    i64 start = 0;
    while (start < len) {
        i64 end = start;
        while (end < len && text[end] != '\n')
            end++;
        i64 name_len = end - start;
        if (end < len && name_len > 0 && text[end - 1] == '\r')
            name_len--;
        if (name_len > 0) {
            if (written > 0)
                pos = append_byte(out, pos, ',');
            pos = append_json_string(out, pos, text + start, name_len);
            written++;
        }
        start = end + 1;
    }
    return pos;
}

i64 build_exec_body(char* out, const char* output, i64 captured, i64 exit_code, i64 duration_ms)
{
    i64 marker = find_bytes(output, captured, 0, k_files_marker, k_files_marker_len);
    if (marker < 0)
        return build_exec_result(out, true, output, captured, exit_code, duration_ms);
    i64 pos = build_exec_result(out, true, output, marker, exit_code, duration_ms);
    // The marker and the one byte after it (normally its line feed) are not names.
    i64 list_start = marker + k_files_marker_len + 1;
    if (list_start > captured)
        list_start = captured;
    pos = append_text(out, pos - 1, R"(,"files":[)");
    pos = append_file_names(out, pos, output + list_start, captured - list_start);
    return append_text(out, pos, "]}");
}

i64 build_not_started_body(char* out, const char* step, i64 error)
{
    char message[k_not_started_message_max];
    i64 len = append_text(message, 0, "the command could not be started: ");
    len = append_bytes(message, len, step, text_length_max(step, k_not_started_step_max));
    len = append_text(message, len, ": ");
    len = append_error_text(message, len, error);
    i64 pos = append_text(out, 0, R"({"ok":false,"error":)");
    pos = append_json_string(out, pos, message, len);
    return append_byte(out, pos, '}');
}

i64 not_started_status(i64 error)
{
    switch (error < 0 ? -error : error) {
    case EAGAIN:
    case ENOMEM:
    case ENOSPC:
    case EMFILE:
    case ENFILE: return 503;
    default: return 500;
    }
}

// ---- token report ---------------------------------------------------------------

// Counters of reported tokens stop at the largest u32 instead of wrapping, so that no
// report can bring an agent's usage back under its budget.
static void add_tokens(u32* counter, u64 amount)
{
    u64 sum = (u64)*counter + amount;
    *counter = sum > k_u32_max ? k_u32_max : (u32)sum;
}

// The run of digits that starts at the first digit at or after from; 0 when none.
static u64 first_number_after(const char* req, i64 req_len, i64 from)
{
    i64 i = from;
    while (i < req_len && (req[i] < '0' || req[i] > '9'))
        i++;
    u64 value = 0;
    for (; i < req_len && req[i] >= '0' && req[i] <= '9'; i++)
        value = value > k_u32_max ? value : value * 10 + (u64)(req[i] - '0');
    return value;
}

// A token key is recognised by its opening quote, the "t" after it and the bytes at the
// offsets given (the rest of "tokens_" is not compared). Returns the offset after the
// key, or -1.
static i64 find_token_key(const char* req, i64 req_len, i64 body, const char* tail, i64 tail_offset)
{
    i64 tail_len = text_length(tail);
    i64 key_len = tail_offset + tail_len;
    for (i64 p = body; p < req_len - key_len - 1; p++)
        if (req[p] == '"' && req[p + 1] == 't' && bytes_equal(req + p + tail_offset, tail, tail_len))
            return p + key_len;
    return -1;
}

static void store_model(const char* req, i64 req_len, i64 body, char* slot)
{
    i64 key = -1;
    for (i64 p = body; p < req_len - 10 && key < 0; p++)
        if (bytes_equal(req + p, "\"model\"", 7))
            key = p + 7;
    if (key < 0)
        return;
    i64 open = key;
    while (open < req_len && req[open] != '"')
        open++;
    if (open >= req_len)
        return;
    fill_bytes(slot, 0, k_model_slot_size);
    i64 len = 0;
    for (i64 i = open + 1; i < req_len && req[i] != '"' && len < k_model_slot_size - 1; i++)
        slot[len++] = req[i];
}

void apply_token_report(const char* req, i64 req_len, i64 index)
{
    i64 body = find_body(req, req_len);
    if (body < 0)
        return;
    AgentRecord* record = agent_record(index);
    i64 in_key = find_token_key(req, req_len, body, "in\"", 8);
    if (in_key >= 0)
        add_tokens(&record->tokens_in, first_number_after(req, req_len, in_key));
    i64 out_key = find_token_key(req, req_len, body, "out\"", 8);
    if (out_key >= 0)
        add_tokens(&record->tokens_out, first_number_after(req, req_len, out_key));
    store_model(req, req_len, body, agent_model_slot(index));
}

// ---- the handler ----------------------------------------------------------------

static void count_block(i64 agent)
{
    state.blocked_cmds++;
    agent_record(agent)->blocked++;
}

// The answer says when the agent's window admits it again.
static void refuse_rate(int conn, i64 agent, ByteSpan cmd)
{
    audit_write(agent_name(agent), k_refusal_rate.action, cmd, 0, 0, k_refusal_rate.result);
    send_too_many(conn, k_refusal_rate.message, agent_rate_retry_after(agent));
}

void refuse_unregistered(int conn, ByteSpan name, ByteSpan detail)
{
    audit_write(name, "BLOCK", detail, 0, 0, "REGISTRY_FULL");
    send_json_error(conn, 503, "Service Unavailable", "agent registry full");
}

// A screen or policy refusal also names what matched, so the agent can tell why.
static void refuse_matched(int conn, i64 agent, ByteSpan cmd, const Refusal& refusal, ByteSpan rule)
{
    count_block(agent);
    audit_write(agent_name(agent), refusal.action, cmd, 0, 0, refusal.result);
    char* body = (char*)heap_alloc(k_refusal_body_size);
    if (!body)
        return send_memory_exhausted(conn);
    i64 len = build_refusal_body(body, refusal.message, rule);
    send_json(conn, refusal.status, refusal.reason, body, len);
}

static bool budget_exceeded(i64 agent)
{
    i64 budget = agent_budget(agent);
    return budget >= 1 && budget < agent_tokens_used(agent);
}

static void refuse_budget(int conn, i64 agent, ByteSpan cmd)
{
    count_block(agent);
    audit_write(agent_name(agent), "BUDGET", cmd, 0, 0, "EXCEEDED");
    char* body = (char*)heap_alloc(k_budget_body_size);
    if (!body)
        return send_memory_exhausted(conn);
    i64 pos = append_text(body, 0, R"({"ok":false,"error":"token budget exceeded","tokens_used":)");
    pos = append_decimal(body, pos, agent_tokens_used(agent));
    pos = append_text(body, pos, R"(,"budget":)");
    pos = append_decimal(body, pos, agent_budget(agent));
    pos = append_byte(body, pos, '}');
    send_json(conn, 429, "Too Many Requests", body, pos);
}

static void count_run(i64 agent, i64 captured)
{
    AgentRecord* record = agent_record(agent);
    record->execs++;
    record->bytes += (u32)captured;
}

// ,"killed_by":"seccomp","call":"<name>"} in place of the body's closing brace; the name
// is one of the filter's own (at most 17 bytes, nothing to escape).
static i64 append_kill_report(char* body, i64 pos, const char* call)
{
    pos = append_text(body, pos, R"(,"killed_by":"seccomp","call":")");
    pos = append_text(body, pos, call);
    return append_text(body, pos, R"("})");
}

static void send_run_answer(const RunOrder* order, const RunResult* run, char* body)
{
    if (!run->started) {
        i64 status = not_started_status(run->failed_error);
        return send_json(order->conn, status, status == 503 ? "Service Unavailable" : "Internal Server Error", body,
            build_not_started_body(body, run->failed_step, run->failed_error));
    }
    count_run(order->agent, run->captured);
    i64 len = build_exec_body(body, order->out, run->captured, run->exit_code, run->duration_ms);
    if (run->timed_out)
        len = append_text(body, len - 1, R"(,"timed_out":true})");
    else if (run->killed_call)
        len = append_kill_report(body, len - 1, run->killed_call);
    send_json(order->conn, 200, "OK", body, len);
}

void answer_run(const RunOrder* order, const RunResult* run)
{
    HeapArena* arena = connection_arena(order->conn);
    bool enter = arena && heap.entered != arena;
    if (enter)
        heap_enter(arena);
    char* body = (char*)heap_alloc(k_exec_body_size);
    if (body)
        send_run_answer(order, run, body);
    else
        send_memory_exhausted(order->conn);
    if (enter)
        heap_leave();
}

// A run counts in the agent's window once admitted, so runs still queued or running hold
// their place in it; the agent's share of the run slots is a refusal like its window.
static void run_and_answer(int conn, i64 agent, ByteSpan cmd)
{
    char* output = (char*)heap_alloc(k_output_buffer);
    if (!output)
        return send_memory_exhausted(conn);
    RunOrder order { conn, agent, agent_name(agent), cmd.ptr, cmd.len, output, k_output_capacity, answer_run };
    switch (sandbox_submit(&order)) {
    case k_run_queue_full: return send_json_error(conn, 503, "Service Unavailable", "too many commands waiting");
    case k_run_agent_share_full:
        audit_write(agent_name(agent), k_refusal_runs.action, cmd, 0, 0, k_refusal_runs.result);
        return send_too_many(conn, k_refusal_runs.message, k_runs_retry_after_s);
    case k_run_admitted: break;
    }
    tick_global_rate();
    tick_agent_rate(agent);
}

void handle_exec(int conn, const char* req, i64 req_len)
{
    char* cmd = (char*)heap_alloc(k_cmd_buffer);
    char* name = (char*)heap_alloc(k_agent_name_max + 1);
    if (!cmd || !name)
        return send_memory_exhausted(conn);
    CommandField field = read_command(req, req_len, cmd, k_cmd_capacity);
    switch (field.status) {
    case k_command_missing: return send_json_error(conn, 400, "Bad Request", "missing cmd field");
    case k_command_not_string: return send_json_error(conn, 400, "Bad Request", "cmd must be a JSON string");
    case k_command_has_nul: return send_json_error(conn, 400, "Bad Request", "cmd must not contain a zero byte");
    case k_command_empty: return send_json_error(conn, 400, "Bad Request", "empty command");
    case k_command_read: break;
    }
    i64 cmd_len = field.len;
    ByteSpan command { cmd, cmd_len };
    i64 name_len = request_agent_name(req, req_len, name);
    i64 agent = register_agent(name, name_len);
    // An agent outside the registry would escape its rate window and budget.
    if (agent < 0)
        return refuse_unregistered(conn, { name, name_len }, command);
    agent_record(agent)->last_active = (u32)now_seconds();
    if (agent_rate_total(agent) >= state.max_rate_per_agent)
        return refuse_rate(conn, agent, command);
    apply_token_report(req, req_len, agent);
    if (budget_exceeded(agent))
        return refuse_budget(conn, agent, command);
    if (const char* sequence = sensitive_sequence(cmd, cmd_len))
        return refuse_matched(conn, agent, command, k_refusal_sensitive, { sequence, text_length(sequence) });
    ByteSpan matched { "", 0 };
    switch (check_command_policy(cmd, cmd_len, &matched)) {
    case k_policy_blacklisted: return refuse_matched(conn, agent, command, k_refusal_blacklist, matched);
    case k_policy_not_whitelisted: return refuse_matched(conn, agent, command, k_refusal_whitelist, matched);
    case k_policy_allowed: break;
    }
    // Refusals above still answer as usual; only the run itself needs confinement.
    if (!commands_confinable())
        return send_json_error(conn, 503, "Service Unavailable", "commands cannot be confined on this host");
    run_and_answer(conn, agent, command);
}
