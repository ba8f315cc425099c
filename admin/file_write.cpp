// POST /api/write puts an agent's text file under /tmp/ of the server's own file system.
// Other local users can plant links and special files in /tmp, and the server may run as
// root, so the open follows no symbolic link in any component of the path and does not
// wait for a reader when the name is a FIFO. Refused requests register no agent and
// leave no audit entry.
#include "admin/file_write.h"
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/http_response.h"
#include "core/state.h"
#include "runtime/fields.h"
#include "runtime/file_replace.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constexpr WriteRefusal k_missing_path { 400, "Bad Request", "missing path field" };
static constexpr WriteRefusal k_outside_tmp { 403, "Forbidden", "path must start with /tmp/" };
static constexpr WriteRefusal k_traversal { 403, "Forbidden", "path traversal not allowed" };
static constexpr WriteRefusal k_missing_content { 400, "Bad Request", "missing content field" };

// {"ok":true,"path":...,"bytes_written":N} with every path byte escaped.
static constexpr i64 k_write_answer_size = 64 + (2 * k_write_path_capacity + 2) + k_decimal_max;

const WriteRefusal* read_write_request(const char* req, i64 req_len, char* path, i64* path_len, char* content, i64* content_len)
{
    *path_len = read_string_field(req, req_len, "path", 4, path, k_write_path_capacity);
    if (*path_len == 0)
        return &k_missing_path;
    if (*path_len < 5 || !bytes_equal(path, "/tmp/", 5))
        return &k_outside_tmp;
    if (find_bytes(path, *path_len, 0, "..", 2) >= 0)
        return &k_traversal;
    *content_len = read_string_field(req, req_len, "content", 7, content, k_write_content_capacity);
    if (*content_len == 0)
        return &k_missing_content;
    return nullptr;
}

void handle_write(int conn, const char* req, i64 req_len)
{
    char* path = (char*)heap_alloc(k_write_path_capacity + 1);
    char* content = (char*)heap_alloc(k_write_content_capacity + 1);
    i64 path_len = 0;
    i64 content_len = 0;
    const WriteRefusal* refusal = read_write_request(req, req_len, path, &path_len, content, &content_len);
    if (refusal)
        return send_json_error(conn, refusal->status, refusal->reason, refusal->message);
    i64 fd = open_no_symlinks(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0644);
    if (fd < 0)
        return send_json_error(conn, 500, "Internal Server Error", "could not create file");
    // A full disk, or a FIFO whose reader stops reading, must not be reported as written.
    i64 written = write_all((int)fd, content, content_len);
    sys_close((int)fd);
    if (written < 0)
        return send_json_error(conn, 500, "Internal Server Error", "could not write file");
    i64 agent = resolve_agent(req, req_len);
    audit_write(agent_name(agent), "WRITE", { path, path_len }, 0, 0, "OK");
    char* body = (char*)heap_alloc(k_write_answer_size);
    i64 pos = append_text(body, 0, R"({"ok":true,"path":)");
    pos = append_json_string(body, pos, path, path_len);
    pos = append_text(body, pos, R"(,"bytes_written":)");
    pos = append_decimal(body, pos, content_len);
    pos = append_byte(body, pos, '}');
    send_json(conn, 200, "OK", body, pos);
}
