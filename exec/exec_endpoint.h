// POST /api/exec: attribute, rate-check, budget-check, screen, judge, run, answer.
#pragma once
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/http_response.h"
#include "core/config.h"
#include "exec/exec_fields.h"
#include "exec/output_capture.h"
#include "exec/sandbox_runner.h"
#include "policy/command_judge.h"
#include "runtime/error_text.h"
#include "runtime/heap.h"
#include "runtime/text.h"
#include "runtime/types.h"

// A body with "console":true is the admin's own command (the dashboard's terminal): it
// runs for no agent, takes no registry slot, and its audit entries and run name
// k_console_agent.
void handle_exec(int conn, const char* req, i64 req_len);

inline constexpr ByteSpan k_console_agent { "admin", 5 };

// Answers 503 "agent registry full" for an agent that could not be registered, and audits
// the refusal under the name it asked for, with detail (its command or path).
void refuse_unregistered(int conn, ByteSpan name, ByteSpan detail);

// The audit file keeps every command whole: max_cmd_bytes is at most k_max_cmd_bytes_high.
static_assert(k_max_cmd_bytes_high <= k_audit_file_detail_max);

// The line after which a command's output is a list of file names.
constexpr char k_files_marker[] = "<<VELK_FS>>";
constexpr i64 k_files_marker_len = sizeof(k_files_marker) - 1;

// {"ok":false,"error":<message>} for message (len bytes, escaped) into out
// (k_field_error_body_size bytes for a message up to k_field_message_max); returns its length.
i64 build_field_error_body(char* out, const char* message, i64 len);

// What the answer to a run that ran says.
struct ExecOutcome {
    ByteSpan stdout_text;
    ByteSpan stderr_text;
    const RunResult* run;
    // nullptr or the request's ignored members.
    const IgnoredFields* ignored;
};

// The longest name of a call the filter killed for that an answer carries.
constexpr i64 k_killed_call_max = 32;

// The success body: the output before the files marker line as "stdout" and the lines
// after it as "files" when the marker is present, "stderr", the exit code, the duration,
// each stream's total and truncation, and "stdout_lossy"/"stderr_lossy", "timed_out",
// "killed_by" (with "call"), "ignored_fields" when they apply. out holds
// exec_body_size(capacity) bytes for streams of at most capture_buffer_size(capacity).
i64 build_exec_body(char* out, const ExecOutcome& outcome);

// Worst case of the success body beside its two streams: every key and fixed value with
// each optional member present, five decimals (the exit code, the duration, the two totals,
// the ignored count), the killed call and the ignored names, escaped, with their commas.
constexpr i64 k_exec_body_text = sizeof(R"({"ok":true,"stdout":,"stderr":,"exit_code":,"duration_ms":,"stdout_bytes":,"stderr_bytes":)")
    + sizeof(R"(,"stdout_truncated":false,"stderr_truncated":false,"stdout_lossy":true,"stderr_lossy":true,"timed_out":true,"stopped":true)")
    + sizeof(R"(,"killed_by":"seccomp","call":,"files":[],"ignored_fields":[],"ignored_fields_more":})");
constexpr i64 k_exec_body_fixed = k_exec_body_text + 5 * k_decimal_max + k_json_string_max(k_killed_call_max)
    + k_ignored_names_max * (k_json_string_max(k_ignored_name_max) + 1);
// Each stream is a JSON string: its quotes, and at most 6 bytes for every byte, as a control
// byte escapes to \u00XX. Output after the files marker line costs no more: the line feed
// ending a file name adds only its two quotes and a comma, and the marker itself is dropped.
constexpr i64 exec_body_size(i64 capacity) { return 2 * k_json_string_max(capture_buffer_size(capacity)) + k_exec_body_fixed; }

enum CommandStatus { k_command_read, k_command_missing, k_command_not_string, k_command_has_nul, k_command_empty, k_command_too_long };

struct CommandField {
    CommandStatus status;
    // Bytes in out.
    i64 len;
    // The whole command's decoded length (more than len when it is too long).
    i64 total;
};

// The "cmd" member of the request's JSON body, decoded (every escape, \uXXXX pairs to
// UTF-8) into out, which holds capacity + 1 bytes. A longer command is too long: out then
// holds its first bytes, for the audit.
CommandField read_command(const char* req, i64 req_len, char* out, i64 capacity);

// Answers 400 for a command that is missing, not a string, holds a zero byte or is empty,
// and returns true; false for a command that was read (or is only too long).
bool refuse_command_field(int conn, CommandStatus status);

// "command too long (N bytes, limit M)" into out (k_too_long_message_size bytes).
constexpr i64 k_too_long_message_size = 64 + 2 * k_decimal_max;
i64 build_too_long_message(char* out, i64 total, i64 limit);

// {"ok":false,"error":<message>,"rule":<rule>} into out (k_refusal_body_size bytes), with
// ,"command":<command> before the brace when command.ptr is not null; at most
// k_refusal_rule_max bytes of the rule and k_judged_command_max of the command are written.
i64 build_refusal_body(char* out, const char* message, ByteSpan rule, ByteSpan command = { nullptr, 0 });
constexpr i64 k_refusal_rule_max = 200;
// Every byte of the message (under 64), the rule and the command escaped to six, and the
// fixed text.
constexpr i64 k_refusal_body_size = 6 * (64 + k_refusal_rule_max + k_judged_command_max) + 80;

// Worst case of the success body's neighbours: the budget refusal (fixed text, two decimals).
constexpr i64 k_budget_body_size = 128;

// A run that could not be started: {"ok":false,"error":"the command could not be started:
// <step>: <meaning> (<NAME>)"} into out (k_not_started_body_size bytes); returns its length.
// Steps are the confinement's own names, all under k_not_started_step_max bytes.
i64 build_not_started_body(char* out, const char* step, i64 error);
constexpr i64 k_not_started_step_max = 64;
constexpr i64 k_not_started_message_max = 34 + k_not_started_step_max + 2 + k_error_text_max;
constexpr i64 k_not_started_body_size = 24 + k_json_string_max(k_not_started_message_max);
// It is built in the success body's buffer.
static_assert(k_not_started_body_size <= exec_body_size(0));

// A working directory the child could not enter: 400 with "no such directory: /tmp/a",
// "not a directory: /tmp/a" or "permission denied: /tmp/a" (and the error's name for any
// other cause), into out (k_field_error_body_size bytes). Returns its length.
i64 build_cwd_error_body(char* out, ByteSpan cwd, i64 error);

// 503 when the start failed for want of something that passes (processes, memory,
// descriptors, namespaces), 500 for anything else.
i64 not_started_status(i64 error);

// The runner's done for /api/exec: counts a run that ran and answers the connection with
// its output, or with the step that kept it from starting. Builds the answer in the
// connection's own memory (the run may end long after the router returned).
void answer_run(const RunOrder* order, const RunResult* run);

// What /api/exec takes of its connection's memory beyond the request, from the configured
// max_cmd_bytes and max_output_bytes: the command and agent name, the members' buffers and
// the ignored ones, the run's two output buffers, and every answer it may build (summed,
// so whichever path the request takes fits), each block rounded as the heap rounds it.
i64 exec_route_memory();

// The longest answer /api/exec gives: the success body.
i64 exec_answer_max();

// Adds the request's reported "tokens_in" and "tokens_out" to agent index's record and
// stores its "model" in the agent's model slot.
void apply_token_report(const char* req, i64 req_len, i64 index);

// How the pipeline answers a refusal of the judge: its status and message, and the name of
// its kind as the policy check reports it ("sensitive", "blacklist", "whitelist",
// "unreadable").
struct JudgedRefusal {
    i64 status;
    const char* message;
    const char* kind;
};
JudgedRefusal judged_refusal(JudgeKind kind);

// The judge's verdict on a command of an agent held to limits, asked as handle_exec asks
// it: the agent's profile, and whether the run would see the host's /proc. scratch holds
// judge_scratch_size(len) bytes.
Judgement judge_for_run(const char* cmd, i64 len, const RunLimits& limits, char* scratch);

// Whether the agent has spent more tokens than its budget (an agent without one never has).
bool agent_budget_exceeded(i64 agent);
