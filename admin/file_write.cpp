// POST /api/write puts an agent's text file under /tmp/: into the agent's workspace when
// runs are jailed, where its later commands find it, else under /tmp/ of the server's own
// file system. Commands and other local users can plant links and special files there, and
// the server may run as root, so the open follows no symbolic link in any component of the
// path and never leaves a workspace (admin/agent_file.h), does not wait for a reader when
// the name is a FIFO, and an existing file is only written when it belongs to whom it
// should (the agent in a workspace, the server on the host) and has no second name (a hard
// link planted in /tmp would otherwise let an agent overwrite the file it names). Requests refused for their fields register no agent and
// leave no audit entry; an agent the full registry cannot take is refused and audited.
#include "admin/file_write.h"
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/http_response.h"
#include "core/json_answer.h"
#include "core/state.h"
#include "exec/exec_endpoint.h"
#include "runtime/fields.h"
#include "runtime/file_replace.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constexpr WriteRefusal k_missing_content { 400, "Bad Request", "missing content field" };


const WriteRefusal* read_write_request(const char* req, i64 req_len, char* path, i64* path_len, char* content, i64* content_len)
{
    *path_len = read_string_field(req, req_len, "path", 4, path, k_write_path_capacity);
    const WriteRefusal* refusal = check_agent_path(path, *path_len);
    if (refusal)
        return refusal;
    *content_len = read_string_field(req, req_len, "content", 7, content, k_write_content_capacity);
    if (*content_len == 0)
        return &k_missing_content;
    return nullptr;
}

// Opens the target for writing and empties it, or returns a negative error. The
// truncation waits until the file is known to be ours with a single name.
static i64 open_target(i64 slot, const char* path)
{
    i64 fd = open_agent_file(slot, path, O_WRONLY | O_CREAT | O_NONBLOCK, 0644);
    if (fd < 0)
        return fd;
    stat_k st {};
    if (sys_fstat((int)fd, &st) < 0 || st.nlink > 1 || st.uid != agent_file_owner(slot)) {
        sys_close((int)fd);
        return -EPERM;
    }
    if ((st.mode & S_IFMT) == S_IFREG && sys_ftruncate((int)fd, 0) < 0) {
        sys_close((int)fd);
        return -EIO;
    }
    return fd;
}

void handle_write(int conn, const char* req, i64 req_len)
{
    char* path = (char*)heap_alloc(k_write_path_capacity + 1);
    char* content = (char*)heap_alloc(k_write_content_capacity + 1);
    char* name = (char*)heap_alloc(k_agent_name_max + 1);
    if (!path || !content || !name)
        return send_memory_exhausted(conn);
    i64 path_len = 0;
    i64 content_len = 0;
    const WriteRefusal* refusal = read_write_request(req, req_len, path, &path_len, content, &content_len);
    if (refusal)
        return send_json_error(conn, refusal->status, refusal->reason, refusal->message);
    i64 name_len = request_agent_name(req, req_len, name);
    // Only a written file registers a new agent; a full registry refuses before writing.
    // A new agent's slot is the one it is about to get: it names the workspace.
    AgentSlot slot = find_or_add_agent(name, name_len);
    if (slot.index < 0)
        return refuse_unregistered(conn, { name, name_len }, { path, path_len });
    i64 fd = open_target(slot.index, path);
    if (fd < 0)
        return send_json_error(conn, 500, "Internal Server Error", "could not create file");
    // A full disk, or a FIFO whose reader stops reading, must not be reported as written.
    i64 written = write_all((int)fd, content, content_len);
    sys_close((int)fd);
    if (written < 0)
        return send_json_error(conn, 500, "Internal Server Error", "could not write file");
    i64 agent = register_agent(name, name_len);
    audit_write(agent_name(agent), "WRITE", { path, path_len }, 0, 0, "OK");
    JsonAnswer(k_write_answer_size).text("path", { path, path_len }).number("bytes_written", content_len).send(conn);
}
