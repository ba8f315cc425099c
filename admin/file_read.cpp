// POST /api/read answers a part of an agent's file: from "offset" (default 0), "length"
// bytes (default the rest), at most max_file_bytes. The walk and the open are those of the
// write endpoint (admin/agent_file.h): no link is followed and a workspace is never left; a
// FIFO is opened without waiting and then refused as not a regular file.
//
// As base64 the bytes come back as they are. As text (the default) a byte that is not part
// of well-formed UTF-8 comes back as U+FFFD and the answer says "lossy":true; control bytes
// are escaped, so the answer is valid JSON whatever the file holds. A text part that ends
// before the file does stops before a UTF-8 sequence its end would cut (the next part
// starts with it). Its escapes can make text longer than the answer buffer, which is sized
// for base64: such an answer is measured first and refused, never cut.
//
// Requests refused by the path rules register no agent; only a read that answers content
// (and an agent the full registry refuses) leaves an audit entry.
#include "admin/file_read.h"
#include "admin/agent_file.h"
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/http_response.h"
#include "core/http_status.h"
#include "core/state.h"
#include "exec/exec_endpoint.h"
#include "runtime/heap.h"
#include "runtime/json_reader.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

// A whole number of at least 0 in member key; *value keeps fallback when it is absent.
static bool read_count(const char* body, i64 body_len, const char* key, i64* value, i64 fallback)
{
    *value = fallback;
    i64 at = json_find_member(body, body_len, 0, key, text_length(key));
    if (at < 0)
        return true;
    JsonInteger number = json_read_integer(body, body_len, at);
    if (!number.ok || number.value < 0)
        return false;
    *value = number.value;
    return true;
}

FileRefusal read_read_request(const char* body, i64 body_len, char* path, ReadRequest* out)
{
    *out = { {}, 0, -1, false };
    i64 path_len = 0;
    FileRefusal refusal = read_agent_path(body, body_len, path, &path_len, nullptr, false);
    if (refusal.fault != k_fault_none)
        return refusal;
    out->path = { path, path_len };
    FileFault fault = k_fault_none;
    if (!read_count(body, body_len, "offset", &out->offset, 0))
        fault = k_fault_bad_offset;
    else if (!read_count(body, body_len, "length", &out->length, -1))
        fault = k_fault_bad_length;
    else
        fault = read_encoding_member(body, body_len, &out->base64);
    return { fault, {}, 0, 0, 0 };
}

i64 utf8_whole_prefix(const char* s, i64 len)
{
    // The lead byte of the last sequence lies at most three bytes back.
    i64 lead = len - 1;
    while (lead >= 0 && lead > len - 4 && ((u8)s[lead] & 0xC0) == 0x80)
        lead--;
    if (lead <= 0)
        return len;
    u8 c = (u8)s[lead];
    i64 wanted = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    return wanted > len - lead ? lead : len;
}

i64 build_read_answer(char* out, i64 file_max, const ReadRequest& r, i64 size, const char* content, i64 len, bool eof, i64* escaped_len)
{
    JsonStringSize text { 0, false };
    if (!r.base64) {
        text = measure_json_string(content, len);
        *escaped_len = text.bytes;
        if (text.bytes > read_content_room(file_max))
            return -1;
    }
    i64 pos = append_text(out, 0, R"({"ok":true,"path":)");
    pos = append_json_string(out, pos, r.path.ptr, r.path.len);
    pos = append_text(out, pos, R"(,"size":)");
    pos = append_decimal(out, pos, size);
    pos = append_text(out, pos, R"(,"offset":)");
    pos = append_decimal(out, pos, r.offset);
    pos = append_text(out, pos, R"(,"bytes":)");
    pos = append_decimal(out, pos, len);
    pos = append_text(out, pos, r.base64 ? R"(,"encoding":"base64","content":")" : R"(,"encoding":"utf-8","content":)");
    if (r.base64) {
        pos += base64_encode(content, len, out + pos);
        pos = append_byte(out, pos, '"');
    } else {
        pos = append_json_string(out, pos, content, len);
    }
    pos = append_text(out, pos, eof ? R"(,"eof":true)" : R"(,"eof":false)");
    if (text.lossy)
        pos = append_text(out, pos, R"(,"lossy":true)");
    return append_byte(out, pos, '}');
}

// Reads up to max bytes from offset on; returns the count or a negative error.
static i64 read_part(int fd, char* buf, i64 max, i64 offset)
{
    i64 got = 0;
    while (got < max) {
        i64 n = sys_pread64(fd, buf + got, max - got, offset + got);
        if (n == -EINTR)
            continue;
        if (n < 0)
            return n;
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

// The open file of the request, as a regular file: its descriptor and size, or why not.
struct Source {
    i64 fd;
    i64 size;
    FileRefusal refusal;
};

static Source open_source(i64 agent, const ReadRequest& r)
{
    AgentDir dir = open_agent_dir(agent, r.path.ptr, r.path.len, false);
    if (dir.fd < 0)
        return { -1, 0, open_refusal(dir.fd, r.path.ptr, r.path.len, dir.failed_len, false) };
    i64 fd = open_agent_leaf(agent, (int)dir.fd, dir.leaf, O_RDONLY | O_NONBLOCK, 0);
    sys_close((int)dir.fd);
    if (fd < 0)
        return { -1, 0, open_refusal(fd, r.path.ptr, r.path.len, r.path.len, false) };
    stat_k st {};
    FileFault fault = k_fault_none;
    if (sys_fstat((int)fd, &st) < 0 || (st.mode & S_IFMT) != S_IFREG)
        fault = (st.mode & S_IFMT) == S_IFDIR ? k_fault_is_directory : k_fault_not_regular;
    if (fault == k_fault_none)
        return { fd, st.size, { k_fault_none, {}, 0, 0, 0 } };
    sys_close((int)fd);
    return { -1, 0, { fault, r.path, 0, 0, 0 } };
}

void handle_read(int conn, const char* req, i64 req_len)
{
    ByteSpan body = request_body(req, req_len);
    char* path = (char*)heap_alloc(k_agent_path_max + 1);
    char* name = (char*)heap_alloc(k_agent_name_max + 1);
    if (!path || !name)
        return send_memory_exhausted(conn);
    ReadRequest r {};
    FileRefusal refusal = read_read_request(body.ptr, body.len, path, &r);
    if (refusal.fault != k_fault_none)
        return send_file_refusal(conn, refusal);
    i64 name_len = request_agent_name(req, req_len, name);
    i64 agent = register_agent(name, name_len);
    if (agent == -1)
        return refuse_unregistered(conn, { name, name_len }, r.path);
    Source source = open_source(agent, r);
    if (source.fd < 0)
        return send_file_refusal(conn, source.refusal);
    i64 file_max = state.max_file_bytes;
    i64 rest = source.size > r.offset ? source.size - r.offset : 0;
    i64 want = r.length >= 0 && r.length < rest ? r.length : rest;
    want = want < file_max ? want : file_max;
    char* content = (char*)heap_alloc((u64)want);
    char* answer = (char*)heap_alloc(read_answer_size(file_max));
    i64 len = content && answer ? read_part((int)source.fd, content, want, r.offset) : 0;
    sys_close((int)source.fd);
    if (!content || !answer)
        return send_memory_exhausted(conn);
    if (len < 0)
        return send_file_refusal(conn, { k_fault_failed, r.path, 0, 0, len });
    bool eof = r.offset + len >= source.size;
    if (!eof && !r.base64)
        len = utf8_whole_prefix(content, len);
    i64 escaped_len = 0;
    i64 answer_len = build_read_answer(answer, file_max, r, source.size, content, len, eof, &escaped_len);
    if (answer_len < 0)
        return send_file_refusal(conn, { k_fault_text_too_large, {}, escaped_len, read_content_room(file_max), 0 });
    audit_write(agent_name(agent), "READ", r.path, 0, 0, "OK");
    send_json(conn, 200, reason_phrase(200), answer, answer_len);
}
