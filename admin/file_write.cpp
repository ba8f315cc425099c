// POST /api/write puts an agent's file under /tmp/: into the agent's workspace when runs are
// jailed, where its later commands find it, else under /tmp/ of the server's own file
// system. Commands and other local users can plant links and special files there, and the
// server may run as root, so the walk follows no symbolic link and never leaves a
// workspace (admin/agent_file.h), a FIFO is opened without waiting and then refused, and an
// existing file is only written when it belongs to whom it should (the agent in a
// workspace, the server on the host) and has no second name (a hard link planted in /tmp
// would otherwise let an agent overwrite the file it names).
//
// The whole content is checked before anything is touched: its size against max_file_bytes
// (for an append, the size the file would have), and its encoding. Room for it is then
// reserved (fallocate) before the first byte is written, so a full workspace is refused
// with the file as it was. Requests refused for their fields register no agent and leave
// no audit entry; an agent the full registry cannot take is refused and audited.
#include "admin/file_write.h"
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/http_response.h"
#include "core/json_answer.h"
#include "core/state.h"
#include "exec/exec_endpoint.h"
#include "runtime/base64.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/json_reader.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constexpr FileRefusal k_accepted { k_fault_none, {}, 0, 0, 0 };

static FileRefusal refused(FileFault fault) { return { fault, {}, 0, 0, 0 }; }

FileMode parse_file_mode(const char* text, i64 len)
{
    if (len < 3 || len > 4)
        return { k_fault_bad_mode, 0 };
    i64 bits = 0;
    for (i64 i = 0; i < len; i++) {
        if (text[i] < '0' || text[i] > '7')
            return { k_fault_bad_mode, 0 };
        bits = bits * 8 + (text[i] - '0');
    }
    if (bits > 0777)
        return { k_fault_special_mode, 0 };
    return { k_fault_none, bits };
}

static FileFault read_mode(const char* body, i64 body_len, i64* mode)
{
    *mode = -1;
    i64 value = json_find_member(body, body_len, 0, "mode", 4);
    if (value < 0)
        return k_fault_none;
    char text[8];
    JsonString digits = json_decode_string(body, body_len, value, text, sizeof(text) - 1);
    if (digits.end < 0 || digits.decoded != digits.stored)
        return k_fault_bad_mode;
    FileMode parsed = parse_file_mode(text, digits.stored);
    *mode = parsed.bits;
    return parsed.fault;
}

static FileFault read_append(const char* body, i64 body_len, bool* append)
{
    *append = false;
    i64 value = json_find_member(body, body_len, 0, "append", 6);
    if (value < 0)
        return k_fault_none;
    i64 end = json_value_end(body, body_len, value);
    ByteSpan literal { body + value, end - value };
    if (end >= 0 && (span_equals(literal, "true") || span_equals(literal, "false"))) {
        *append = literal.ptr[0] == 't';
        return k_fault_none;
    }
    return k_fault_bad_append;
}

FileRefusal read_write_request(const char* body, i64 body_len, char* path, char* content, i64 content_capacity, i64 file_max, WriteRequest* out)
{
    *out = { {}, { content, 0 }, -1, false };
    i64 path_len = 0;
    FileRefusal refusal = read_agent_path(body, body_len, path, &path_len, nullptr, false);
    if (refusal.fault != k_fault_none)
        return refusal;
    out->path = { path, path_len };
    content[0] = 0;
    i64 value = json_find_member(body, body_len, 0, "content", 7);
    JsonString text = value < 0 ? JsonString { -1, 0, 0 } : json_decode_string(body, body_len, value, content, content_capacity);
    if (text.end < 0)
        return refused(k_fault_missing_content);
    bool base64 = false;
    FileFault fault = read_encoding_member(body, body_len, &base64);
    if (fault == k_fault_none)
        fault = read_mode(body, body_len, &out->mode);
    if (fault == k_fault_none)
        fault = read_append(body, body_len, &out->append);
    if (fault != k_fault_none)
        return refused(fault);
    // Only a buffer smaller than the body can leave text cut; its whole length is refused.
    if (text.decoded > text.stored)
        return { k_fault_file_too_large, {}, base64 ? text.decoded / 4 * 3 : text.decoded, file_max, 0 };
    i64 size = text.stored;
    if (base64) {
        size = base64_decode(content, text.stored, content);
        if (size < 0)
            return refused(k_fault_bad_base64);
    }
    if (size > file_max)
        return { k_fault_file_too_large, {}, size, file_max, 0 };
    out->content = { content, size };
    return k_accepted;
}

// ---- the write --------------------------------------------------------------------------

// An open target, or why there is none.
struct Target {
    i64 fd;
    bool created;
    stat_k st;
    FileRefusal refusal;
};

// Opens the file for writing as the agent, made when missing: a regular file of the
// agent's (the server's on the host's /tmp) with one name. Nothing is truncated here.
static Target open_target(i64 slot, int dir, const char* leaf, const WriteRequest& w)
{
    Target t { -1, false, {}, k_accepted };
    int flags = O_WRONLY | O_NONBLOCK | (w.append ? O_APPEND : 0);
    t.fd = open_agent_leaf(slot, dir, leaf, flags | O_CREAT | O_EXCL, 0600);
    t.created = t.fd >= 0;
    if (t.fd == -EEXIST)
        t.fd = open_agent_leaf(slot, dir, leaf, flags, 0);
    if (t.fd < 0) {
        t.refusal = open_refusal(t.fd, w.path.ptr, w.path.len, w.path.len, false);
        return t;
    }
    FileFault fault = k_fault_none;
    if (sys_fstat((int)t.fd, &t.st) < 0 || (t.st.mode & S_IFMT) != S_IFREG)
        fault = k_fault_not_regular;
    else if (t.st.nlink > 1)
        fault = k_fault_hard_link;
    else if (t.st.uid != agent_file_owner(slot))
        fault = k_fault_foreign_owner;
    if (fault != k_fault_none) {
        sys_close((int)t.fd);
        t.fd = -1;
        t.refusal = { fault, w.path, 0, 0, 0 };
    }
    return t;
}

static FileRefusal failure(i64 error, const WriteRequest& w)
{
    return error == -ENOSPC || error == -EDQUOT ? refused(k_fault_full) : FileRefusal { k_fault_failed, w.path, 0, 0, error };
}

// Writes the content into the open target: room first, then the bytes, then the old
// content's tail cut off (a replace writes over the old bytes, so the room reserved stays
// the file's). A failed write leaves a new file removed, an appended one at its old size
// and a replaced one empty. Returns the refusal, or sets *size to the file's size after.
static FileRefusal fill_target(i64 slot, int dir, const char* leaf, const Target& t, const WriteRequest& w, i64* size)
{
    i64 start = w.append ? t.st.size : 0;
    i64 result = 0;
    // File systems without fallocate take the bytes all the same.
    if (w.content.len > 0) {
        result = sys_fallocate((int)t.fd, FALLOC_FL_KEEP_SIZE, start, w.content.len);
        result = result == -EOPNOTSUPP ? 0 : result;
    }
    if (result >= 0)
        result = write_all((int)t.fd, w.content.ptr, w.content.len);
    if (result >= 0 && !w.append)
        result = sys_ftruncate((int)t.fd, w.content.len);
    if (result >= 0 && (t.created || w.mode >= 0))
        // Set after the open: the process umask must not narrow the mode asked for.
        result = sys_fchmod((int)t.fd, w.mode >= 0 ? (int)w.mode : 0644);
    if (result < 0) {
        if (t.created)
            unlink_agent_leaf(slot, dir, leaf);
        else
            sys_ftruncate((int)t.fd, start);
        return failure(result, w);
    }
    stat_k after {};
    *size = sys_fstat((int)t.fd, &after) == 0 ? after.size : start + w.content.len;
    return k_accepted;
}

// The file written: its size after, or the refusal.
static FileRefusal write_agent_file(i64 slot, const WriteRequest& w, i64* size)
{
    AgentDir dir = open_agent_dir(slot, w.path.ptr, w.path.len, true);
    if (dir.fd < 0)
        return open_refusal(dir.fd, w.path.ptr, w.path.len, dir.failed_len, false);
    Target t = open_target(slot, (int)dir.fd, dir.leaf, w);
    FileRefusal refusal = t.refusal;
    if (t.fd >= 0 && w.append && t.st.size + w.content.len > state.max_file_bytes)
        refusal = { k_fault_file_too_large, {}, t.st.size + w.content.len, state.max_file_bytes, 0 };
    if (t.fd >= 0 && refusal.fault == k_fault_none)
        refusal = fill_target(slot, (int)dir.fd, dir.leaf, t, w, size);
    if (t.fd >= 0)
        sys_close((int)t.fd);
    sys_close((int)dir.fd);
    return refusal;
}

void handle_write(int conn, const char* req, i64 req_len)
{
    ByteSpan body = request_body(req, req_len);
    char* path = (char*)heap_alloc(k_agent_path_max + 1);
    char* content = (char*)heap_alloc((u64)body.len + 1);
    char* name = (char*)heap_alloc(k_agent_name_max + 1);
    if (!path || !content || !name)
        return send_memory_exhausted(conn);
    WriteRequest w {};
    FileRefusal refusal = read_write_request(body.ptr, body.len, path, content, body.len, state.max_file_bytes, &w);
    if (refusal.fault != k_fault_none)
        return send_file_refusal(conn, refusal);
    i64 name_len = request_agent_name(req, req_len, name);
    // Only a written file registers a new agent; a full registry refuses before writing.
    // A new agent's slot is the one it is about to get: it names the workspace.
    AgentSlot slot = find_or_add_agent(name, name_len);
    if (slot.index < 0)
        return refuse_unregistered(conn, { name, name_len }, w.path);
    i64 size = 0;
    refusal = write_agent_file(slot.index, w, &size);
    if (refusal.fault != k_fault_none)
        return send_file_refusal(conn, refusal);
    i64 agent = register_agent(name, name_len);
    audit_write(agent_name(agent), "WRITE", w.path, 0, 0, "OK");
    JsonAnswer(k_write_answer_size).text("path", w.path).number("bytes_written", w.content.len).number("size", size).send(conn);
}
