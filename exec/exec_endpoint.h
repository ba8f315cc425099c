// POST /api/exec: attribute, rate-check, budget-check, screen, judge, run, answer.
#pragma once
#include "runtime/types.h"

void handle_exec(int conn, const char* req, i64 req_len);

constexpr i64 k_cmd_capacity = 2000;
constexpr i64 k_cmd_buffer = 2048;
constexpr i64 k_output_capacity = 65000;
constexpr i64 k_output_buffer = 65536;

// The line after which a command's output is a list of file names.
constexpr char k_files_marker[] = "<<VELK_FS>>";
constexpr i64 k_files_marker_len = sizeof(k_files_marker) - 1;

// Worst case of the success body. Every captured byte adds at most 3 bytes: an output
// byte or a file-name byte escapes to 2, and the line feed ending a name adds its two
// quotes and a comma. The fixed text (keys, two decimals, the files brackets, the quotes
// and comma of a last name without a line feed) stays under 160 bytes.
constexpr i64 k_exec_body_fixed = 160;
constexpr i64 k_exec_body_size = 3 * (k_output_capacity - 1) + k_exec_body_fixed;

// {"ok":...,"stdout":"...","stderr":"","exit_code":N,"duration_ms":N} into out; returns
// its length (at most 2 * len + 110 bytes).
i64 build_exec_result(char* out, i64 ok, const char* output, i64 len, i64 exit_code, i64 duration_ms);

// The success body for captured output: the output before the marker line as "stdout",
// and the lines after it as "files" when the marker is present. out holds
// k_exec_body_size bytes; returns the length.
i64 build_exec_body(char* out, const char* output, i64 captured, i64 exit_code, i64 duration_ms);

// 1 when the command touches a sensitive path or shell construct, else 0.
i64 command_is_sensitive(const char* cmd, i64 len);

// Adds the request's reported "tokens_in" and "tokens_out" to agent index's record and
// stores its "model" in the agent's model slot.
void apply_token_report(const char* req, i64 req_len, i64 index);
