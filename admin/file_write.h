// POST /api/write: an agent writes a text file under /tmp/ (its workspace when runs are
// jailed, admin/agent_file.h).
#pragma once
#include "admin/agent_file.h"
#include "agents/registry.h"
#include "core/http_response.h"
#include "core/json_answer.h"
#include "runtime/heap.h"
#include "runtime/types.h"

void handle_write(int conn, const char* req, i64 req_len);

constexpr i64 k_write_path_capacity = 250;
constexpr i64 k_write_content_capacity = 65000;
// {"ok":true,"path":...,"bytes_written":N}
constexpr i64 k_write_answer_size = json_answer_size(1, 1, k_write_path_capacity);

// What /api/write takes of its connection's memory beyond the request: path, content,
// agent name and answer, and an error answer in its place.
constexpr i64 k_write_route_memory = heap_block(k_write_path_capacity + 1) + heap_block(k_write_content_capacity + 1)
    + heap_block(k_agent_name_max + 1) + heap_block(k_write_answer_size) + heap_block(k_error_buffer) + heap_block(k_header_buffer);

using WriteRefusal = FileRefusal;

// Reads "path" (into path, k_write_path_capacity + 1 bytes) and "content" (into content,
// k_write_content_capacity + 1 bytes) and checks them in the endpoint's order. Returns
// the refusal, or nullptr when the request may be written; the lengths go to *path_len
// and *content_len.
const WriteRefusal* read_write_request(const char* req, i64 req_len, char* path, i64* path_len, char* content, i64* content_len);
