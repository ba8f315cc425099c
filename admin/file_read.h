// POST /api/read: an agent reads back a file under /tmp/ (its workspace when runs are
// jailed), up to k_read_content_capacity bytes of it, as JSON text.
#pragma once
#include "runtime/text.h"
#include "runtime/types.h"

void handle_read(int conn, const char* req, i64 req_len);

constexpr i64 k_read_path_capacity = 250;
constexpr i64 k_read_content_capacity = 65000;
// {"ok":true,"path":...,"size":N,"content":...,"truncated":false} with the path and every
// content byte at their widest escapes.
constexpr i64 k_read_answer_size = 96 + k_json_string_max(k_read_path_capacity) + k_decimal_max + k_json_string_max(k_read_content_capacity);
