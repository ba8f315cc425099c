// POST /api/exec. The handler is the pipeline in its order: read the command (whole, up to
// max_cmd_bytes, or refused), read and check the request's other members, attribute it to
// an agent, the agent's rate window, its token report and budget, the sensitive-path
// screen, the command policy, the run, and the answer. The profile that holds for the
// agent (its own, or the global one) is chosen once, before the members are read, and
// judges the time-out asked for, the policy and the run alike. The first refusal ends the request;
// from the length check on, each leaves one audit entry. The answers for a missing or
// empty command or a member that is not acceptable leave none, and so does the 503 of a
// host where nothing can confine the run.
#include "exec/exec_endpoint.h"
#include "agents/registry.h"
#include "core/activity.h"
#include "core/audit_log.h"
#include "core/connection_table.h"
#include "core/http_response.h"
#include "core/state.h"
#include "exec/background_runs.h"
#include "exec/confinement.h"
#include "exec/exec_stream.h"
#include "exec/sandbox_runner.h"
#include "policy/command_judge.h"
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
    RefusalKind kind;
};

static constexpr Refusal k_refusal_rate { "RATELIMIT", "AGENT", 429, "Too Many Requests", "per-agent rate limit exceeded", false, k_refused_rate };
// A run of the agent's ends within its time-out; most end far sooner, so the agent may
// try again after a second.
static constexpr i64 k_runs_retry_after_s = 1;
static constexpr Refusal k_refusal_runs { "RATELIMIT", "RUNS", 429, "Too Many Requests", "too many commands in flight for this agent", false, k_refused_runs };
static constexpr Refusal k_refusal_sensitive { "BLOCK", "SENSITIVE_PATH", 403, "Forbidden", "access to sensitive path blocked", true, k_refused_sensitive };
static constexpr Refusal k_refusal_blacklist { "BLOCK", "BLACKLIST", 403, "Forbidden", "command blocked by blacklist", true, k_refused_blacklist };
static constexpr Refusal k_refusal_whitelist { "BLOCK", "WHITELIST", 403, "Forbidden", "command not in whitelist (strict mode)", true, k_refused_whitelist };
static constexpr Refusal k_refusal_unreadable { "BLOCK", "UNREADABLE", 403, "Forbidden", k_unreadable_message, true, k_refused_unreadable };

// The refusal of each verdict of the judge but k_judge_allowed.
static const Refusal* judged_refusal_row(JudgeKind kind)
{
    switch (kind) {
    case k_judge_sensitive: return &k_refusal_sensitive;
    case k_judge_blacklist: return &k_refusal_blacklist;
    case k_judge_whitelist: return &k_refusal_whitelist;
    case k_judge_unreadable:
    case k_judge_allowed: break;
    }
    return &k_refusal_unreadable;
}

JudgedRefusal judged_refusal(JudgeKind kind)
{
    const Refusal* row = judged_refusal_row(kind);
    const char* name = kind == k_judge_sensitive ? "sensitive"
        : kind == k_judge_blacklist             ? "blacklist"
        : kind == k_judge_whitelist             ? "whitelist"
                                                : "unreadable";
    return { row->status, row->message, name };
}

Judgement judge_for_run(const char* cmd, i64 len, const RunLimits& limits, char* scratch)
{
    return judge_command(cmd, len, { limits.profile, state.namespaces == 0 }, scratch);
}

// ---- pure pieces ----------------------------------------------------------------

CommandField read_command(const char* req, i64 req_len, char* out, i64 capacity)
{
    i64 body = find_body(req, req_len);
    if (body < 0)
        return { k_command_missing, 0, 0 };
    const char* json = req + body;
    i64 json_len = req_len - body;
    i64 value = json_find_member(json, json_len, 0, "cmd", 3);
    if (value < 0)
        return { k_command_missing, 0, 0 };
    JsonString text = json_decode_string(json, json_len, value, out, capacity);
    if (text.end < 0)
        return { k_command_not_string, 0, 0 };
    if (text.decoded > text.stored)
        return { k_command_too_long, text.stored, text.decoded };
    // The shell would see the command only up to the first zero byte, while the screen
    // and the policy judged all of it.
    for (i64 i = 0; i < text.stored; i++)
        if (out[i] == 0)
            return { k_command_has_nul, 0, 0 };
    return { text.stored == 0 ? k_command_empty : k_command_read, text.stored, text.stored };
}

i64 build_too_long_message(char* out, i64 total, i64 limit)
{
    i64 pos = append_text(out, 0, "command too long (");
    pos = append_decimal(out, pos, total);
    pos = append_text(out, pos, " bytes, limit ");
    pos = append_decimal(out, pos, limit);
    return append_text(out, pos, ")");
}

i64 build_refusal_body(char* out, const char* message, ByteSpan rule, ByteSpan command)
{
    i64 pos = append_text(out, 0, R"({"ok":false,"error":)");
    pos = append_json_string(out, pos, message, text_length(message));
    pos = append_text(out, pos, R"(,"rule":)");
    pos = append_json_string(out, pos, rule.ptr, rule.len < k_refusal_rule_max ? rule.len : k_refusal_rule_max);
    if (command.ptr) {
        pos = append_text(out, pos, R"(,"command":)");
        pos = append_json_string(out, pos, command.ptr, command.len < k_judged_command_max ? command.len : k_judged_command_max);
    }
    return append_byte(out, pos, '}');
}

i64 build_field_error_body(char* out, const char* message, i64 len)
{
    i64 pos = append_text(out, 0, R"({"ok":false,"error":)");
    pos = append_json_string(out, pos, message, len < k_field_message_max ? len : k_field_message_max);
    return append_byte(out, pos, '}');
}

// ---- the answer -----------------------------------------------------------------

static i64 append_key_decimal(char* out, i64 pos, const char* key, i64 value)
{
    pos = append_text(out, pos, key);
    return append_decimal(out, pos, value);
}

static i64 append_key_bool(char* out, i64 pos, const char* key, bool value)
{
    pos = append_text(out, pos, key);
    return append_text(out, pos, value ? "true" : "false");
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

static i64 append_ignored_fields(char* out, i64 pos, const IgnoredFields* ignored)
{
    if (ignored == nullptr || (ignored->count == 0 && ignored->more == 0))
        return pos;
    pos = append_text(out, pos, R"(,"ignored_fields":[)");
    for (i64 i = 0; i < ignored->count; i++) {
        if (i > 0)
            pos = append_byte(out, pos, ',');
        pos = append_json_string(out, pos, ignored->names[i], ignored->lens[i]);
    }
    pos = append_byte(out, pos, ']');
    return ignored->more > 0 ? append_key_decimal(out, pos, R"(,"ignored_fields_more":)", ignored->more) : pos;
}

static i64 append_killed_by(char* out, i64 pos, const RunResult& run)
{
    if (run.verdict == k_run_memory)
        return append_text(out, pos, R"(,"killed_by":"memory")");
    if (run.verdict != k_run_seccomp)
        return pos;
    pos = append_text(out, pos, R"(,"killed_by":"seccomp")");
    if (run.killed_call == nullptr)
        return pos;
    pos = append_text(out, pos, R"(,"call":)");
    return append_json_string(out, pos, run.killed_call, text_length_max(run.killed_call, k_killed_call_max));
}

i64 build_exec_body(char* out, const ExecOutcome& outcome)
{
    const RunResult& run = *outcome.run;
    ByteSpan stdout_text = outcome.stdout_text;
    i64 marker = find_bytes(stdout_text.ptr, stdout_text.len, 0, k_files_marker, k_files_marker_len);
    i64 pos = append_text(out, 0, R"({"ok":true,"stdout":)");
    pos = append_json_string(out, pos, stdout_text.ptr, marker < 0 ? stdout_text.len : marker);
    pos = append_text(out, pos, R"(,"stderr":)");
    pos = append_json_string(out, pos, outcome.stderr_text.ptr, outcome.stderr_text.len);
    pos = append_key_decimal(out, pos, R"(,"exit_code":)", run.exit_code);
    pos = append_key_decimal(out, pos, R"(,"duration_ms":)", run.duration_ms);
    pos = append_key_decimal(out, pos, R"(,"stdout_bytes":)", run.stdout_stream.total);
    pos = append_key_decimal(out, pos, R"(,"stderr_bytes":)", run.stderr_stream.total);
    pos = append_key_bool(out, pos, R"(,"stdout_truncated":)", run.stdout_stream.truncated);
    pos = append_key_bool(out, pos, R"(,"stderr_truncated":)", run.stderr_stream.truncated);
    if (!utf8_well_formed(stdout_text.ptr, stdout_text.len))
        pos = append_text(out, pos, R"(,"stdout_lossy":true)");
    if (!utf8_well_formed(outcome.stderr_text.ptr, outcome.stderr_text.len))
        pos = append_text(out, pos, R"(,"stderr_lossy":true)");
    if (run.timed_out)
        pos = append_text(out, pos, R"(,"timed_out":true)");
    if (run.stopped)
        pos = append_text(out, pos, R"(,"stopped":true)");
    pos = append_killed_by(out, pos, run);
    if (marker >= 0) {
        // The marker and the one byte after it (normally its line feed) are not names.
        i64 list_start = marker + k_files_marker_len + 1;
        if (list_start > stdout_text.len)
            list_start = stdout_text.len;
        pos = append_text(out, pos, R"(,"files":[)");
        pos = append_file_names(out, pos, stdout_text.ptr + list_start, stdout_text.len - list_start);
        pos = append_byte(out, pos, ']');
    }
    pos = append_ignored_fields(out, pos, outcome.ignored);
    return append_byte(out, pos, '}');
}

i64 build_cwd_error_body(char* out, ByteSpan cwd, i64 error)
{
    char message[k_field_message_max];
    i64 number = error < 0 ? -error : error;
    i64 pos = append_text(message, 0,
        number == ENOENT        ? "no such directory: "
            : number == ENOTDIR ? "not a directory: "
            : number == EACCES  ? "permission denied: "
                                : "cannot enter the directory: ");
    pos = append_text(message, pos, "/tmp");
    if (cwd.len > 0) {
        pos = append_byte(message, pos, '/');
        pos = append_bytes(message, pos, cwd.ptr, cwd.len);
    }
    if (number != ENOENT && number != ENOTDIR && number != EACCES) {
        pos = append_text(message, pos, " (");
        pos = append_error_name(message, pos, error);
        pos = append_byte(message, pos, ')');
    }
    return build_field_error_body(out, message, pos);
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
    u64 tokens_in = in_key >= 0 ? first_number_after(req, req_len, in_key) : 0;
    add_tokens(&record->tokens_in, tokens_in);
    i64 out_key = find_token_key(req, req_len, body, "out\"", 8);
    u64 tokens_out = out_key >= 0 ? first_number_after(req, req_len, out_key) : 0;
    add_tokens(&record->tokens_out, tokens_out);
    note_tokens(agent_name(index), tokens_in, tokens_out);
    store_model(req, req_len, body, agent_model_slot(index));
}

// ---- the handler ----------------------------------------------------------------

// A console command (agent -1) counts only in the server's totals.
static void count_block(i64 agent)
{
    state.blocked_cmds++;
    if (agent >= 0)
        agent_record(agent)->blocked++;
}

// The answer says when the agent's window admits it again.
static void refuse_rate(int conn, i64 agent, ByteSpan cmd)
{
    audit_write(agent_name(agent), k_refusal_rate.action, cmd, 0, 0, k_refusal_rate.result);
    note_refusal(agent_name(agent), k_refusal_rate.kind);
    send_too_many(conn, k_refusal_rate.message, agent_rate_retry_after(agent));
}

void refuse_unregistered(int conn, ByteSpan name, ByteSpan detail)
{
    audit_write(name, "BLOCK", detail, 0, 0, "REGISTRY_FULL");
    note_refusal(name, k_refused_registry_full);
    send_json_error(conn, 503, "Service Unavailable", "agent registry full");
}

// A screen or policy refusal also names what matched, and with the shell-aware matcher
// the simple command it matched in, so the agent can tell why; its audit entry names the
// profile that judged the command.
static ByteSpan actor_name(i64 agent) { return agent >= 0 ? agent_name(agent) : k_console_agent; }

static void refuse_matched(int conn, i64 agent, ByteSpan cmd, const Refusal& refusal, const Judgement& verdict, const RunLimits& limits)
{
    count_block(agent);
    audit_write(actor_name(agent), refusal.action, cmd, 0, 0, refusal.result, profile_name(limits.profile));
    note_refusal(actor_name(agent), refusal.kind);
    char* body = (char*)heap_alloc(k_refusal_body_size);
    if (!body)
        return send_memory_exhausted(conn);
    i64 len = build_refusal_body(body, refusal.message, verdict.rule, verdict.command);
    send_json(conn, refusal.status, refusal.reason, body, len);
}

bool agent_budget_exceeded(i64 agent)
{
    i64 budget = agent_budget(agent);
    return budget >= 1 && budget < agent_tokens_used(agent);
}

static void refuse_budget(int conn, i64 agent, ByteSpan cmd)
{
    count_block(agent);
    audit_write(agent_name(agent), "BUDGET", cmd, 0, 0, "EXCEEDED");
    note_refusal(agent_name(agent), k_refused_budget);
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
    if (agent < 0)
        return;
    AgentRecord* record = agent_record(agent);
    record->execs++;
    record->bytes += (u32)captured;
}

static void send_bad_request(int conn, const char* message, i64 len)
{
    char* body = (char*)heap_alloc(k_field_error_body_size);
    if (!body)
        return send_memory_exhausted(conn);
    send_json(conn, 400, "Bad Request", body, build_field_error_body(body, message, len));
}

// A command past max_cmd_bytes never reaches the screen, the policy or the shell; the
// audit keeps what every entry keeps of it, marked with its whole length.
static void refuse_too_long(int conn, ByteSpan name, const char* cmd, const CommandField& field)
{
    i64 agent = register_agent(name.ptr, name.len);
    if (agent >= 0) {
        agent_record(agent)->last_active = (u32)now_seconds();
        count_block(agent);
    } else {
        state.blocked_cmds++;
    }
    audit_write_cut(agent >= 0 ? agent_name(agent) : name, "BLOCK", { cmd, field.len }, field.total, 0, 0, "TOO_LONG");
    note_refusal(agent >= 0 ? agent_name(agent) : name, k_refused_too_long);
    char message[k_too_long_message_size];
    send_bad_request(conn, message, build_too_long_message(message, field.total, state.max_cmd_bytes));
}

static void send_run_answer(const RunOrder* order, const RunResult* run, char* body)
{
    if (!run->started && run->failed_step == k_step_working_directory)
        return send_json(order->conn, 400, "Bad Request", body, build_cwd_error_body(body, order->options.cwd, run->failed_error));
    if (!run->started) {
        i64 status = not_started_status(run->failed_error);
        return send_json(order->conn, status, status == 503 ? "Service Unavailable" : "Internal Server Error", body,
            build_not_started_body(body, run->failed_step, run->failed_error));
    }
    count_run(order->agent, run->stdout_stream.len + run->stderr_stream.len);
    ByteSpan stderr_text = order->stderr_out ? ByteSpan { order->stderr_out, run->stderr_stream.len } : ByteSpan { "", 0 };
    ExecOutcome outcome { { order->stdout_out, run->stdout_stream.len }, stderr_text, run, (const IgnoredFields*)order->context };
    send_json(order->conn, 200, "OK", body, build_exec_body(body, outcome));
}

// The buffer of whichever answer a run gets: the success body, or the refusal of its
// working directory.
static i64 run_answer_size(i64 capacity)
{
    i64 success = exec_body_size(capacity);
    return success > k_field_error_body_size ? success : k_field_error_body_size;
}

void answer_run(const RunOrder* order, const RunResult* run)
{
    HeapArena* arena = connection_arena(order->conn);
    bool enter = arena && heap.entered != arena;
    if (enter)
        heap_enter(arena);
    char* body = (char*)heap_alloc((u64)run_answer_size(order->capacity));
    if (body)
        send_run_answer(order, run, body);
    else
        send_memory_exhausted(order->conn);
    if (enter)
        heap_leave();
}

// A run counts in the agent's window once admitted, so runs still queued or running hold
// their place in it; the agent's share of the run slots is a refusal like its window.
// A streamed run's events are made from its output as it is read; its stream opens once
// the run is admitted (a refusal until then is the ordinary answer), unless the run could
// not start and has answered already.
static void run_and_answer(int conn, i64 agent, ByteSpan cmd, const ExecFields& fields, const IgnoredFields* ignored, const RunLimits& limits,
    bool streamed)
{
    if (fields.background) {
        if (start_background_run(conn, agent, cmd, fields, limits)) {
            tick_global_rate();
            tick_agent_rate(agent);
        }
        return;
    }
    i64 capacity = state.max_output_bytes;
    char* stdout_out = (char*)heap_alloc((u64)capture_buffer_size(capacity));
    char* stderr_out = fields.merge_stderr ? nullptr : (char*)heap_alloc((u64)capture_buffer_size(capacity));
    ExecStream* stream = streamed ? exec_stream_make(conn) : nullptr;
    if (!stdout_out || (!fields.merge_stderr && !stderr_out) || (streamed && !stream))
        return send_memory_exhausted(conn);
    RunOptions options { fields.merge_stderr, fields.stdin_data, fields.env, fields.env_count, fields.cwd, fields.timeout_ms, false };
    RunOrder order { conn, agent, actor_name(agent), cmd.ptr, cmd.len, stdout_out, stderr_out, capacity, options, limits, ignored, answer_run,
        nullptr, nullptr };
    if (stream) {
        order.output = exec_stream_output;
        order.output_sink = stream;
    }
    switch (sandbox_submit(&order)) {
    case k_run_queue_full:
        note_refusal(actor_name(agent), k_refused_queue_full);
        return send_json_error(conn, 503, "Service Unavailable", "too many commands waiting");
    case k_run_agent_share_full:
        audit_write(actor_name(agent), k_refusal_runs.action, cmd, 0, 0, k_refusal_runs.result);
        note_refusal(actor_name(agent), k_refusal_runs.kind);
        return send_too_many(conn, k_refusal_runs.message, k_runs_retry_after_s);
    case k_run_admitted: break;
    }
    tick_global_rate();
    if (agent >= 0)
        tick_agent_rate(agent);
    if (stream)
        exec_stream_open(conn, stream);
}

// "stream":true, or without that member an Accept header that names text/event-stream.
static bool wants_stream(const char* req, i64 req_len, const ExecFields& fields)
{
    if (fields.stream >= 0 || fields.background)
        return fields.stream == 1;
    ByteSpan accept {};
    if (!find_header(req, req_len, "Accept", &accept))
        return false;
    static constexpr char k_event_stream[] = "text/event-stream";
    return find_bytes(accept.ptr, accept.len, 0, k_event_stream, sizeof(k_event_stream) - 1) >= 0;
}

// The request's members besides the command, checked, and those it does not know. False
// when the request was answered instead (a member refused, or no memory for it).
static bool read_members(int conn, const char* req, i64 req_len, const RunLimits& limits, ExecFields* fields, IgnoredFields** ignored)
{
    i64 body = find_body(req, req_len);
    const char* json = req + (body < 0 ? req_len : body);
    i64 len = body < 0 ? 0 : req_len - body;
    char* message = (char*)heap_alloc(k_field_message_max);
    *ignored = (IgnoredFields*)heap_alloc(sizeof(IgnoredFields));
    if (!message || !*ignored) {
        send_memory_exhausted(conn);
        return false;
    }
    i64 refused = read_exec_fields(json, len, limits.timeout_ms, fields, message);
    if (refused < 0)
        send_memory_exhausted(conn);
    else if (refused > 0)
        send_bad_request(conn, message, refused);
    if (refused != 0)
        return false;
    list_ignored_fields(json, len, *ignored);
    return true;
}

bool refuse_command_field(int conn, CommandStatus status)
{
    switch (status) {
    case k_command_missing: send_json_error(conn, 400, "Bad Request", "missing cmd field"); return true;
    case k_command_not_string: send_json_error(conn, 400, "Bad Request", "cmd must be a JSON string"); return true;
    case k_command_has_nul: send_json_error(conn, 400, "Bad Request", "cmd must not contain a zero byte"); return true;
    case k_command_empty: send_json_error(conn, 400, "Bad Request", "empty command"); return true;
    case k_command_too_long:
    case k_command_read: break;
    }
    return false;
}

// Whether the body asks for a console command ("console":true); read before the members
// are, since it decides the profile that judges them. read_exec_fields checks the value.
static bool console_requested(const char* req, i64 req_len)
{
    i64 body = find_body(req, req_len);
    if (body < 0)
        return false;
    i64 value = json_find_member(req + body, req_len - body, 0, "console", 7);
    return value >= 0 && value + 4 <= req_len - body && bytes_equal(req + body + value, "true", 4);
}

// A console command is the admin's own: only the admin's credential may send one, and it
// acts for no agent, so no X-Agent header may name one. False when the request was answered.
static bool console_admitted(int conn, const char* req, i64 req_len)
{
    ByteSpan header {};
    if (request_agent_bound()) {
        send_json_error(conn, 403, "Forbidden", "an agent token cannot run console commands");
        return false;
    }
    if (find_header(req, req_len, "X-Agent", &header)) {
        send_json_error(conn, 400, "Bad Request", "a console command acts for no agent: send it without X-Agent");
        return false;
    }
    return true;
}

// The console's pipeline: the length, the members, the screen and the policy of the global
// profile, and the run, without an agent: no registry slot, rate window, budget or
// workspace. The admin's own per-second window (server/request_windows.h) bounds it, and
// the run slots' share of one agent bounds its runs as any agent's.
static void handle_console(int conn, const char* req, i64 req_len, const char* cmd, const CommandField& field)
{
    if (!console_admitted(conn, req, req_len))
        return;
    ByteSpan command { cmd, field.len };
    if (field.status == k_command_too_long) {
        state.blocked_cmds++;
        audit_write_cut(k_console_agent, "BLOCK", command, field.total, 0, 0, "TOO_LONG");
        note_refusal(k_console_agent, k_refused_too_long);
        char message[k_too_long_message_size];
        return send_bad_request(conn, message, build_too_long_message(message, field.total, state.max_cmd_bytes));
    }
    RunLimits limits = global_run_limits();
    ExecFields fields {};
    IgnoredFields* ignored = nullptr;
    if (!read_members(conn, req, req_len, limits, &fields, &ignored))
        return;
    char* scratch = (char*)heap_alloc((u64)judge_scratch_size(field.len));
    if (!scratch)
        return send_memory_exhausted(conn);
    Judgement verdict = judge_for_run(cmd, field.len, limits, scratch);
    if (verdict.kind != k_judge_allowed)
        return refuse_matched(conn, -1, command, *judged_refusal_row(verdict.kind), verdict, limits);
    if (!commands_confinable())
        return send_json_error(conn, 503, "Service Unavailable", "commands cannot be confined on this host");
    run_and_answer(conn, -1, command, fields, ignored, limits, wants_stream(req, req_len, fields));
}

void handle_exec(int conn, const char* req, i64 req_len)
{
    char* cmd = (char*)heap_alloc((u64)(state.max_cmd_bytes + 1));
    char* name = (char*)heap_alloc(k_agent_name_max + 1);
    if (!cmd || !name)
        return send_memory_exhausted(conn);
    CommandField field = read_command(req, req_len, cmd, state.max_cmd_bytes);
    if (refuse_command_field(conn, field.status))
        return;
    if (console_requested(req, req_len))
        return handle_console(conn, req, req_len, cmd, field);
    i64 name_len = request_agent_name(req, req_len, name);
    if (field.status == k_command_too_long)
        return refuse_too_long(conn, { name, name_len }, cmd, field);
    // The profile that holds for the agent (its own, or the global one) judges the time-out
    // asked for, the command and the run; it is chosen once, so all three agree.
    RunLimits limits = agent_run_limits_by_name(name, name_len);
    ExecFields fields {};
    IgnoredFields* ignored = nullptr;
    if (!read_members(conn, req, req_len, limits, &fields, &ignored))
        return;
    i64 cmd_len = field.len;
    ByteSpan command { cmd, cmd_len };
    i64 agent = register_agent(name, name_len);
    // An agent outside the registry would escape its rate window and budget.
    if (agent < 0)
        return refuse_unregistered(conn, { name, name_len }, command);
    agent_record(agent)->last_active = (u32)now_seconds();
    if (agent_rate_total(agent) >= state.max_rate_per_agent)
        return refuse_rate(conn, agent, command);
    apply_token_report(req, req_len, agent);
    if (agent_budget_exceeded(agent))
        return refuse_budget(conn, agent, command);
    char* scratch = (char*)heap_alloc((u64)judge_scratch_size(cmd_len));
    if (!scratch)
        return send_memory_exhausted(conn);
    Judgement verdict = judge_for_run(cmd, cmd_len, limits, scratch);
    if (verdict.kind != k_judge_allowed)
        return refuse_matched(conn, agent, command, *judged_refusal_row(verdict.kind), verdict, limits);
    // Refusals above still answer as usual; only the run itself needs confinement.
    if (!commands_confinable())
        return send_json_error(conn, 503, "Service Unavailable", "commands cannot be confined on this host");
    run_and_answer(conn, agent, command, fields, ignored, limits, wants_stream(req, req_len, fields));
}

i64 exec_answer_max() { return run_answer_size(state.max_output_bytes); }

i64 exec_route_memory()
{
    i64 output = heap_block(capture_buffer_size(state.max_output_bytes));
    return heap_block(state.max_cmd_bytes + 1) + heap_block(k_agent_name_max + 1) + heap_block(k_field_message_max)
        + heap_block(judge_scratch_size(state.max_cmd_bytes))
        + heap_block(sizeof(IgnoredFields)) + k_exec_fields_memory + 2 * output + heap_block(exec_answer_max())
        + heap_block(k_field_error_body_size) + heap_block(k_refusal_body_size) + heap_block(k_budget_body_size)
        + heap_block(k_error_buffer) + heap_block(k_header_buffer) + exec_stream_memory()
        + heap_block(k_background_started_size);
}
