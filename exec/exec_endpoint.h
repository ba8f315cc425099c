// POST /api/exec: attribute, rate-check, budget-check, screen, judge, run, answer.
#pragma once
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/http_response.h"
#include "exec/sandbox_runner.h"
#include "runtime/error_text.h"
#include "runtime/heap.h"
#include "runtime/text.h"
#include "runtime/types.h"

void handle_exec(int conn, const char* req, i64 req_len);

// Answers 503 "agent registry full" for an agent that could not be registered, and audits
// the refusal under the name it asked for, with detail (its command or path).
void refuse_unregistered(int conn, ByteSpan name, ByteSpan detail);

constexpr i64 k_cmd_capacity = 2000;
constexpr i64 k_cmd_buffer = 2048;
// The audit file keeps every command whole.
static_assert(k_cmd_capacity <= k_audit_file_detail_max);
constexpr i64 k_output_capacity = 65000;
constexpr i64 k_output_buffer = 65536;

// The line after which a command's output is a list of file names.
constexpr char k_files_marker[] = "<<VELK_FS>>";
constexpr i64 k_files_marker_len = sizeof(k_files_marker) - 1;

// Worst case of the success body. Every captured byte adds at most 6 bytes: a control
// byte escapes to \u00XX, and the line feed ending a name adds only its two quotes and a
// comma. The fixed text (keys, two decimals, the files brackets, the quotes and comma of a
// last name without a line feed) stays under 160 bytes, and the report of a time-out or a
// seccomp kill (its call's name at most 17 bytes) under 64 more.
constexpr i64 k_exec_body_fixed = 224;
constexpr i64 k_exec_body_size = 6 * (k_output_capacity - 1) + k_exec_body_fixed;

// {"ok":...,"stdout":"...","stderr":"","exit_code":N,"duration_ms":N} into out; returns
// its length (at most k_json_string_max(len) + 110 bytes).
i64 build_exec_result(char* out, bool ok, const char* output, i64 len, i64 exit_code, i64 duration_ms);

// The success body for captured output: the output before the marker line as "stdout",
// and the lines after it as "files" when the marker is present. out holds
// k_exec_body_size bytes; returns the length.
i64 build_exec_body(char* out, const char* output, i64 captured, i64 exit_code, i64 duration_ms);

// The sensitive-path or shell-construct sequence the command holds ("/etc/p", ".ssh/",
// "$(", "eval", ...), or nullptr.
const char* sensitive_sequence(const char* cmd, i64 len);

enum CommandStatus { k_command_read, k_command_missing, k_command_not_string, k_command_has_nul, k_command_empty };

struct CommandField {
    CommandStatus status;
    i64 len;
};

// The "cmd" member of the request's JSON body, decoded (every escape, \uXXXX pairs to
// UTF-8) into out, which holds capacity + 1 bytes; a longer command keeps its first
// capacity bytes.
CommandField read_command(const char* req, i64 req_len, char* out, i64 capacity);

// {"ok":false,"error":<message>,"rule":<rule>} into out (k_refusal_body_size bytes); at
// most k_refusal_rule_max bytes of the rule are written.
i64 build_refusal_body(char* out, const char* message, ByteSpan rule);
constexpr i64 k_refusal_rule_max = 200;
// Every byte of the message (under 64) and the rule escaped to six, and the fixed text.
constexpr i64 k_refusal_body_size = 6 * (64 + k_refusal_rule_max) + 64;

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
static_assert(k_not_started_body_size <= k_exec_body_size);

// 503 when the start failed for want of something that passes (processes, memory,
// descriptors, namespaces), 500 for anything else.
i64 not_started_status(i64 error);

// The runner's done for /api/exec: counts a run that ran and answers the connection with
// its output, or with the step that kept it from starting. Builds the answer in the
// connection's own memory (the run may end long after the router returned).
void answer_run(const RunOrder* order, const RunResult* run);

// What /api/exec takes of its connection's memory beyond the request: the command and agent
// name, the run's output buffer, and every answer it may build (summed, so whichever path
// the request takes fits), each block rounded as the heap rounds it.
constexpr i64 k_exec_route_memory = heap_block(k_cmd_buffer) + heap_block(k_agent_name_max + 1) + heap_block(k_output_buffer)
    + heap_block(k_exec_body_size) + heap_block(k_refusal_body_size) + heap_block(k_budget_body_size) + heap_block(k_error_buffer)
    + heap_block(k_header_buffer);

// The longest answer /api/exec gives: the success body.
constexpr i64 k_exec_answer_max = k_exec_body_size;

// Adds the request's reported "tokens_in" and "tokens_out" to agent index's record and
// stores its "model" in the agent's model slot.
void apply_token_report(const char* req, i64 req_len, i64 index);
