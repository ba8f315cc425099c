// The members of a POST /api/exec body besides the command: merge_stderr, cwd, env, stdin
// (with stdin_encoding) and timeout_ms, each read and checked as the endpoint takes it, and
// the members it does not know, which the answer names. Every refusal is a message that
// names its cause; nothing is cut or changed without the answer saying so.
#pragma once
#include "exec/sandbox_runner.h"
#include "runtime/heap.h"
#include "runtime/base64.h"
#include "runtime/text.h"
#include "runtime/types.h"

// The largest stdin a request may give, after decoding, and the longest text read for it
// (its Base64 text with room to spare; what decodes to more is refused by its length).
constexpr i64 k_stdin_max = 1048576;
constexpr i64 k_stdin_text_max = base64_len(k_stdin_max) + base64_len(k_stdin_max) / 32;

// Members of the body /api/exec does not know, as the answer names them: at most
// k_ignored_names_max names of at most k_ignored_name_max bytes each; the others counted.
constexpr i64 k_ignored_names_max = 16;
constexpr i64 k_ignored_name_max = 64;
struct IgnoredFields {
    char names[k_ignored_names_max][k_ignored_name_max];
    i64 lens[k_ignored_names_max];
    i64 count;
    i64 more;
};

// Lists the members of the body object (json, len) that /api/exec does not know, in their
// order. Pure.
void list_ignored_fields(const char* json, i64 len, IgnoredFields* ignored);

// A working directory as a request names it: absolute under /tmp, or relative to /tmp.
enum CwdStatus { k_cwd_inside, k_cwd_outside, k_cwd_too_long };
struct CwdPath {
    CwdStatus status;
    i64 len;
};
// path (len bytes) as a path relative to /tmp into out (k_cwd_max + 1 bytes, NUL after
// it), without empty or "." components; "" is /tmp itself. Outside when an absolute path
// does not begin with the component "tmp", or a ".." would leave /tmp (however it comes
// back); too long past k_cwd_max bytes. Pure.
CwdPath resolve_cwd(const char* path, i64 len, char* out);

// The request's optional members, read and checked (read_exec_fields).
struct ExecFields {
    bool merge_stderr;
    // Relative to /tmp; "" for /tmp.
    ByteSpan cwd;
    // "NAME=value" entries with their NULs.
    ByteSpan env;
    i64 env_count;
    // ptr nullptr when the request gave none.
    ByteSpan stdin_data;
    // 0 when the request gave none.
    i64 timeout_ms;
    // "stream": 1 true, 0 false, -1 not given (the Accept header decides).
    i64 stream;
    // "background": the run goes on after the answer (exec/background_runs.h).
    bool background;
    // "console": the admin's own command, run for no agent (exec/exec_endpoint.h).
    bool console;
};

// The longest message a refused member gets (a working directory named in full is the
// longest), and the answer that carries it.
constexpr i64 k_field_message_max = k_cwd_max + 128;
constexpr i64 k_field_error_body_size = 24 + k_json_string_max(k_field_message_max);

// Slots of the table that finds a repeated variable name among at most k_env_entries_max.
constexpr i64 k_env_name_slots = 16384;
static_assert(k_env_name_slots >= 3 * k_env_entries_max / 2);

// Reads merge_stderr, cwd, env, stdin with stdin_encoding, timeout_ms and stream from the body
// object (json, len) into fields, checking each as /api/exec takes it: a missing member
// (or null) keeps its default, and timeout_ms may not pass timeout_limit_ms (the time-out
// of the profile that holds for the agent). The buffers of the members the request has come from the
// heap (the connection's arena). Returns 0; or the length of the message (written to
// message, k_field_message_max bytes) that refuses the request; or -1 when a buffer could
// not be had.
i64 read_exec_fields(const char* json, i64 len, i64 timeout_limit_ms, ExecFields* fields, char* message);
// What read_exec_fields takes at most, each block rounded as the heap rounds it.
constexpr i64 k_exec_fields_memory = heap_block(k_cwd_max + 1) * 2 + heap_block(k_env_bytes_max) + heap_block(k_env_name_slots * 4)
    + heap_block(k_stdin_text_max + 1);

