// POST /api/write: an agent writes a text file under /tmp/ (its workspace when runs are
// jailed, admin/agent_file.h).
#pragma once
#include "admin/agent_file.h"
#include "runtime/types.h"

void handle_write(int conn, const char* req, i64 req_len);

constexpr i64 k_write_path_capacity = 250;
constexpr i64 k_write_content_capacity = 65000;

using WriteRefusal = FileRefusal;

// Reads "path" (into path, k_write_path_capacity + 1 bytes) and "content" (into content,
// k_write_content_capacity + 1 bytes) and checks them in the endpoint's order. Returns
// the refusal, or nullptr when the request may be written; the lengths go to *path_len
// and *content_len.
const WriteRefusal* read_write_request(const char* req, i64 req_len, char* path, i64* path_len, char* content, i64* content_len);
