// POST /api/policy/check: whether a command would run for an agent, and why not. The
// verdict is the exec pipeline's own (the length bound, the agent's budget, then the judge
// with the agent's profile); nothing runs, nothing is counted or audited, and no agent is
// registered by asking. The admin may ask for any agent; an agent token only for itself.
#include "admin/policy_check.h"
#include "agents/registry.h"
#include "core/http_response.h"
#include "core/json_answer.h"
#include "core/run_limits.h"
#include "core/state.h"
#include "exec/exec_endpoint.h"
#include "policy/command_judge.h"
#include "runtime/fields.h"
#include "runtime/heap.h"
#include "runtime/json_reader.h"
#include "runtime/text.h"

static ByteSpan span_of(const char* text) { return { text, text_length(text) }; }

// The answer: ok, allowed, status, and the texts agent, profile, matcher, kind, error,
// rule and command.
static constexpr i64 k_check_answer_size = json_answer_size(3, 7,
    k_agent_name_max + k_profile_name_max + 5 + 10 + k_too_long_message_size + k_refusal_rule_max + k_judged_command_max);

static const char* matcher_name() { return state.matcher == k_matcher_words ? "words" : "bytes"; }

// The agent the question is for, NUL after it, into name: the "agent" member when the
// request has one, else the agent the request acts for (its token's, its X-Agent, or
// "anonymous"). Returns the length, or answers the request and returns -1.
static i64 read_checked_agent(int conn, const char* req, i64 req_len, char* name)
{
    i64 own = request_agent_name(req, req_len, name);
    i64 body = find_body(req, req_len);
    const char* json = req + (body < 0 ? req_len : body);
    i64 len = body < 0 ? 0 : req_len - body;
    i64 value = json_find_member(json, len, 0, "agent", 5);
    if (value < 0)
        return own;
    char asked[k_agent_name_max + 1];
    JsonString text = json_decode_string(json, len, value, asked, k_agent_name_max);
    if (text.end < 0)
        return send_json_error(conn, 400, "Bad Request", "agent must be a JSON string"), -1;
    if (text.decoded > text.stored)
        return send_json_error(conn, 400, "Bad Request", "agent name too long"), -1;
    if (text.stored == 0 || find_bytes(asked, text.stored, 0, "\0", 1) >= 0)
        return send_json_error(conn, 400, "Bad Request", "agent must be a name"), -1;
    ByteSpan bound = bound_request_agent();
    if (bound.len > 0 && !(bound.len == text.stored && bytes_equal(bound.ptr, asked, text.stored)))
        return send_json_error(conn, 403, "Forbidden", "an agent may check commands only for itself"), -1;
    copy_bytes(name, asked, text.stored);
    name[text.stored] = 0;
    return text.stored;
}

static void send_verdict(int conn, ByteSpan agent, const RunLimits& limits, const char* kind, i64 status, ByteSpan error,
    ByteSpan rule, ByteSpan command)
{
    JsonAnswer answer(k_check_answer_size);
    answer.flag("allowed", kind == nullptr)
        .text("agent", agent)
        .text("profile", span_of(profile_name(limits.profile)))
        .text("matcher", span_of(matcher_name()));
    if (kind != nullptr) {
        answer.number("status", status).text("kind", span_of(kind)).text("error", error);
        if (rule.ptr)
            answer.text("rule", { rule.ptr, rule.len < k_refusal_rule_max ? rule.len : k_refusal_rule_max });
        if (command.ptr)
            answer.text("command", { command.ptr, command.len < k_judged_command_max ? command.len : k_judged_command_max });
    }
    answer.send(conn);
}

void handle_policy_check(int conn, const char* req, i64 req_len)
{
    char* cmd = (char*)heap_alloc((u64)(state.max_cmd_bytes + 1));
    char* name = (char*)heap_alloc(k_agent_name_max + 1);
    if (!cmd || !name)
        return send_memory_exhausted(conn);
    CommandField field = read_command(req, req_len, cmd, state.max_cmd_bytes);
    if (refuse_command_field(conn, field.status))
        return;
    i64 name_len = read_checked_agent(conn, req, req_len, name);
    if (name_len < 0)
        return;
    ByteSpan agent { name, name_len };
    RunLimits limits = agent_run_limits_by_name(name, name_len);
    if (field.status == k_command_too_long) {
        char message[k_too_long_message_size];
        i64 len = build_too_long_message(message, field.total, state.max_cmd_bytes);
        return send_verdict(conn, agent, limits, "too_long", 400, { message, len }, { nullptr, 0 }, { nullptr, 0 });
    }
    i64 index = find_agent(name, name_len);
    if (index >= 0 && agent_budget_exceeded(index))
        return send_verdict(conn, agent, limits, "budget", 429, span_of("token budget exceeded"), { nullptr, 0 }, { nullptr, 0 });
    char* scratch = (char*)heap_alloc((u64)judge_scratch_size(field.len));
    if (!scratch)
        return send_memory_exhausted(conn);
    Judgement verdict = judge_for_run(cmd, field.len, limits, scratch);
    if (verdict.kind == k_judge_allowed)
        return send_verdict(conn, agent, limits, nullptr, 200, {}, {}, {});
    JudgedRefusal refusal = judged_refusal(verdict.kind);
    send_verdict(conn, agent, limits, refusal.kind, refusal.status, span_of(refusal.message), verdict.rule, verdict.command);
}

i64 policy_check_route_memory()
{
    return heap_block(state.max_cmd_bytes + 1) + heap_block(k_agent_name_max + 1) + heap_block(judge_scratch_size(state.max_cmd_bytes))
        + heap_block(k_check_answer_size);
}
