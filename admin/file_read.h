// POST /api/read: an agent reads back a file under /tmp/ (its workspace when runs are
// jailed), up to k_read_content_capacity bytes of it, as JSON text.
#pragma once
#include "agents/registry.h"
#include "core/http_response.h"
#include "runtime/heap.h"
#include "runtime/text.h"
#include "runtime/types.h"

void handle_read(int conn, const char* req, i64 req_len);

constexpr i64 k_read_path_capacity = 250;
constexpr i64 k_read_content_capacity = 65000;
// {"ok":true,"path":...,"size":N,"content":...,"truncated":false} with the path and every
// content byte at their widest escapes.
constexpr i64 k_read_answer_size = 96 + k_json_string_max(k_read_path_capacity) + k_decimal_max + k_json_string_max(k_read_content_capacity);

// What /api/read takes of its connection's memory beyond the request: path, agent name,
// content and answer, and an error answer in its place.
constexpr i64 k_read_route_memory = heap_block(k_read_path_capacity + 1) + heap_block(k_agent_name_max + 1)
    + heap_block(k_read_content_capacity) + heap_block(k_read_answer_size) + heap_block(k_error_buffer) + heap_block(k_header_buffer);
