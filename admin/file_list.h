// POST /api/list: the entries of a directory under an agent's /tmp (its workspace when runs
// are jailed), each with its type, size, permission bits and modification time, at most
// k_list_entries_max of them.
#pragma once
#include "admin/agent_file.h"
#include "agents/registry.h"
#include "core/http_response.h"
#include "runtime/heap.h"
#include "runtime/syscall.h"
#include "runtime/text.h"
#include "runtime/types.h"

void handle_list(int conn, const char* req, i64 req_len);

constexpr i64 k_list_entries_max = 1000;
// The longest name a Linux directory entry has.
constexpr i64 k_list_name_max = 255;

// Appends one entry, {"name":...,"type":"file","size":N,"mode":"0644","mtime":N}, for the
// name and what fstatat said of it; sets *lossy when the name is not well-formed UTF-8
// (its JSON string holds U+FFFD then). At most k_list_entry_max bytes for a name of at
// most k_list_name_max bytes. Pure.
i64 append_list_entry(char* out, i64 pos, const char* name, i64 name_len, const stat_k& st, bool* lossy);
constexpr i64 k_list_entry_max = sizeof(R"({"name":,"type":"other","size":,"mode":"0000","mtime":})") + k_json_string_max(k_list_name_max)
    + 2 * k_decimal_max + 1;

// {"ok":true,"path":...,"entries":[ entries and commas ],"count":N,"truncated":false,"lossy":true}
constexpr i64 k_list_answer_size = sizeof(R"({"ok":true,"path":,"entries":[],"count":,"truncated":false,"lossy":true})")
    + k_json_string_max(k_agent_path_max) + k_decimal_max + k_list_entries_max * k_list_entry_max;

// Directory entries are read this many bytes at a time.
constexpr i64 k_list_dirent_buffer = 32768;

// What /api/list takes of its connection's memory beyond the request: path, agent name,
// entry buffer and answer, and a refusal in its place.
constexpr i64 k_list_route_memory = heap_block(k_agent_path_max + 1) + heap_block(k_agent_name_max + 1) + heap_block(k_list_dirent_buffer)
    + heap_block(k_list_answer_size) + heap_block(k_file_refusal_size) + heap_block(k_error_buffer) + heap_block(k_header_buffer);
