// POST /api/read: an agent reads back a file under /tmp/ (its workspace when runs are
// jailed), whole or a part of it (offset, length), at most max_file_bytes at once: as text,
// or losslessly as base64.
#pragma once
#include "admin/agent_file.h"
#include "agents/registry.h"
#include "core/http_response.h"
#include "runtime/base64.h"
#include "runtime/heap.h"
#include "runtime/text.h"
#include "runtime/types.h"

void handle_read(int conn, const char* req, i64 req_len);

// A read request as its body gives it.
struct ReadRequest {
    ByteSpan path;
    i64 offset;
    // Bytes asked for; -1 for the rest of the file.
    i64 length;
    bool base64;
};

// Reads "path" (into path, k_agent_path_max + 1 bytes), "offset", "length" and
// "encoding" in that order. Returns the refusal (k_fault_none when the file may be read)
// and fills *out. Pure.
FileRefusal read_read_request(const char* body, i64 body_len, char* path, ReadRequest* out);

// The first bytes of a part of a file that end on a whole UTF-8 sequence: len, or less by
// the 1 to 3 bytes of a sequence the part's end cut off (they open the next part).
i64 utf8_whole_prefix(const char* s, i64 len);

// {"ok":true,"path":...,"size":N,"offset":N,"bytes":N,"encoding":"base64","content":
// then the content and ,"eof":false,"lossy":true}: everything but the content's own bytes.
constexpr i64 k_read_answer_fixed = sizeof(R"({"ok":true,"path":,"size":,"offset":,"bytes":,"encoding":"base64","content":)")
    + sizeof(R"(,"eof":false,"lossy":true})") + k_json_string_max(k_agent_path_max) + 3 * k_decimal_max;

// The answer buffer of a read of at most file_max bytes: room for them as base64 with its
// quotes. A text answer takes what its escapes make of the bytes, which may be more; one
// that does not fit is refused (k_fault_text_too_large).
constexpr i64 read_content_room(i64 file_max) { return base64_len(file_max) + 2; }
constexpr i64 read_answer_size(i64 file_max) { return k_read_answer_fixed + read_content_room(file_max); }

// Builds the answer into out (read_answer_size(file_max) bytes) for the len bytes of
// content read at offset of a file of size bytes; eof says the part reaches the file's end.
// Returns the length, or -1 when a text answer would not fit (*escaped_len is then what
// the content's JSON string would take). Pure.
i64 build_read_answer(char* out, i64 file_max, const ReadRequest& r, i64 size, const char* content, i64 len, bool eof, i64* escaped_len);

// What /api/read takes of its connection's memory beyond the request for files of at most
// file_max bytes: path, agent name, content and answer, and a refusal in its place.
constexpr i64 read_route_memory(i64 file_max)
{
    return heap_block(k_agent_path_max + 1) + heap_block(k_agent_name_max + 1) + heap_block(file_max) + heap_block(read_answer_size(file_max))
        + heap_block(k_file_refusal_size) + heap_block(k_error_buffer) + heap_block(k_header_buffer);
}
