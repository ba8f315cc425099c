// POST /api/write: an agent writes a file under /tmp/ (its workspace when runs are
// jailed, admin/agent_file.h): text, or any bytes as base64, up to max_file_bytes, replaced
// or appended to, with the mode it asks for.
#pragma once
#include "admin/agent_file.h"
#include "agents/registry.h"
#include "core/http_response.h"
#include "core/json_answer.h"
#include "runtime/heap.h"
#include "runtime/types.h"

void handle_write(int conn, const char* req, i64 req_len);

// A write request as its body gives it.
struct WriteRequest {
    ByteSpan path;
    // The file's bytes, decoded (JSON escapes, then base64 when asked for).
    ByteSpan content;
    // Permission bits to give the file; -1 when the request names none (a new file gets
    // 0644, an existing one keeps its own).
    i64 mode;
    bool append;
};

// Reads the body's members in the endpoint's order: "path" (into path, k_agent_path_max + 1
// bytes), "content" (decoded into content, content_capacity + 1 bytes; a capacity of the
// body's length holds any content it carries), "encoding", "mode", "append"; then the
// content's size against file_max. Returns the refusal (fault k_fault_none when the
// request may be written) and fills *out. Pure.
FileRefusal read_write_request(const char* body, i64 body_len, char* path, char* content, i64 content_capacity, i64 file_max, WriteRequest* out);

// A "mode" value: octal text of 3 or 4 digits ("644", "0755"). fault is k_fault_bad_mode
// for anything else and k_fault_special_mode for setuid, setgid or sticky bits.
struct FileMode {
    FileFault fault;
    i64 bits;
};
FileMode parse_file_mode(const char* text, i64 len);

// {"ok":true,"path":...,"bytes_written":N,"size":N}
constexpr i64 k_write_answer_size = json_answer_size(2, 1, k_agent_path_max);

// What /api/write takes of its connection's memory beyond the request, for request bodies
// of at most body_max bytes: path, content, agent name and answer, and a refusal in its
// place.
constexpr i64 write_route_memory(i64 body_max)
{
    return heap_block(k_agent_path_max + 1) + heap_block(body_max + 1) + heap_block(k_agent_name_max + 1) + heap_block(k_write_answer_size)
        + heap_block(k_file_refusal_size) + heap_block(k_error_buffer) + heap_block(k_header_buffer);
}
