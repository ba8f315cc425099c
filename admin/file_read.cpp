// POST /api/read answers the first 65,000 bytes of an agent's file. The path rules and the
// open are those of the write endpoint (admin/agent_file.h): no link is followed and a
// workspace is never left; a FIFO is opened without waiting and then refused as not a
// regular file. Bytes that are not well-formed UTF-8 come back as U+FFFD and control bytes
// escaped, so the answer is valid JSON whatever the file holds. Requests refused by the
// path rules register no agent; only a read that answers content (and an agent the full
// registry refuses) leaves an audit entry.
#include "admin/file_read.h"
#include "admin/agent_file.h"
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/http_response.h"
#include "core/http_status.h"
#include "exec/exec_endpoint.h"
#include "runtime/fields.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constexpr FileRefusal k_not_found { 404, "Not Found", "file not found" };
static constexpr FileRefusal k_link_refused { 403, "Forbidden", "symbolic links not allowed" };
static constexpr FileRefusal k_not_regular { 413, reason_phrase(413), "not a regular file" };
static constexpr FileRefusal k_unreadable { 500, "Internal Server Error", "could not read file" };

// The refusal an open's error stands for: a missing name (or a workspace not made yet) is
// not found; a link, or a name that would leave the workspace, breaks the path rules.
static const FileRefusal* open_refusal(i64 error)
{
    switch (error) {
    case -ENOENT:
    case -ENOTDIR: return &k_not_found;
    case -ELOOP:
    case -EXDEV: return &k_link_refused;
    default: return &k_unreadable;
    }
}

// Reads until max bytes or end of file; returns the count or a negative error.
static i64 read_up_to(int fd, char* buf, i64 max)
{
    i64 got = 0;
    while (got < max) {
        i64 n = read_retry(fd, buf + got, max - got);
        if (n < 0)
            return n;
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

static void send_refusal(int conn, const FileRefusal* refusal)
{
    send_json_error(conn, refusal->status, refusal->reason, refusal->message);
}

static void send_content(int conn, const char* path, i64 path_len, i64 size, const char* content, i64 len)
{
    char* body = (char*)heap_alloc(k_read_answer_size);
    if (!body)
        return send_memory_exhausted(conn);
    i64 pos = append_text(body, 0, R"({"ok":true,"path":)");
    pos = append_json_string(body, pos, path, path_len);
    pos = append_text(body, pos, R"(,"size":)");
    pos = append_decimal(body, pos, size);
    pos = append_text(body, pos, R"(,"content":)");
    pos = append_json_string(body, pos, content, len);
    pos = append_text(body, pos, size > len ? R"(,"truncated":true})" : R"(,"truncated":false})");
    send_json(conn, 200, "OK", body, pos);
}

void handle_read(int conn, const char* req, i64 req_len)
{
    char* path = (char*)heap_alloc(k_read_path_capacity + 1);
    char* name = (char*)heap_alloc(k_agent_name_max + 1);
    char* content = (char*)heap_alloc(k_read_content_capacity);
    if (!path || !name || !content)
        return send_memory_exhausted(conn);
    i64 path_len = read_string_field(req, req_len, "path", 4, path, k_read_path_capacity);
    const FileRefusal* refusal = check_agent_path(path, path_len);
    if (refusal)
        return send_refusal(conn, refusal);
    i64 name_len = request_agent_name(req, req_len, name);
    i64 agent = register_agent(name, name_len);
    if (agent == -1)
        return refuse_unregistered(conn, { name, name_len }, { path, path_len });
    i64 fd = open_agent_file(agent, path, O_RDONLY | O_NONBLOCK, 0);
    if (fd < 0)
        return send_refusal(conn, open_refusal(fd));
    stat_k st {};
    if (sys_fstat((int)fd, &st) < 0 || (st.mode & S_IFMT) != S_IFREG) {
        sys_close((int)fd);
        return send_refusal(conn, &k_not_regular);
    }
    i64 len = read_up_to((int)fd, content, k_read_content_capacity);
    sys_close((int)fd);
    if (len < 0)
        return send_refusal(conn, &k_unreadable);
    audit_write(agent_name(agent), "READ", { path, path_len }, 0, 0, "OK");
    send_content(conn, path, path_len, st.size > len ? st.size : len, content, len);
}
