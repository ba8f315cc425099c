// POST /api/list reads a directory the way the other file endpoints reach a file (the walk of
// admin/agent_file.h: no link followed, the workspace never left) and answers its entries in
// the order the directory gives them. An entry is described by fstatat without following
// it, so a link is listed as a link, never as what it points to; an entry removed while the
// directory is read is left out. Beyond k_list_entries_max entries the answer says
// "truncated":true. Audited like a read, as LIST.
#include "admin/file_list.h"
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/http_response.h"
#include "core/http_status.h"
#include "exec/exec_endpoint.h"
#include "runtime/heap.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static const char* entry_type(unsigned mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG: return "file";
    case S_IFDIR: return "dir";
    case S_IFLNK: return "link";
    default: return "other";
    }
}

// Permission bits as four octal digits ("0644", "1777").
static i64 append_mode(char* out, i64 pos, unsigned mode)
{
    for (i64 shift = 9; shift >= 0; shift -= 3)
        pos = append_byte(out, pos, (char)('0' + ((mode >> shift) & 7)));
    return pos;
}

i64 append_list_entry(char* out, i64 pos, const char* name, i64 name_len, const stat_k& st, bool* lossy)
{
    *lossy = *lossy || measure_json_string(name, name_len).lossy;
    pos = append_text(out, pos, R"({"name":)");
    pos = append_json_string(out, pos, name, name_len);
    pos = append_text(out, pos, R"(,"type":")");
    pos = append_text(out, pos, entry_type(st.mode));
    pos = append_text(out, pos, R"(","size":)");
    pos = append_decimal(out, pos, st.size);
    pos = append_text(out, pos, R"(,"mode":")");
    pos = append_mode(out, pos, st.mode & 07777);
    pos = append_text(out, pos, R"(","mtime":)");
    // times: access, modification, change; seconds then nanoseconds each.
    pos = append_decimal(out, pos, st.times[2]);
    return append_byte(out, pos, '}');
}

// What append_entries made: the answer's position after the entries, their count, and
// whether some were left out or a name was replaced.
struct Listing {
    i64 pos;
    i64 count;
    bool truncated;
    bool lossy;
};

static bool dot_or_dot_dot(const char* name) { return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)); }

// Appends the entries of the open directory dir at pos, reading them into entries
// (k_list_dirent_buffer bytes).
static Listing append_entries(char* out, i64 pos, int dir, char* entries)
{
    Listing listing { pos, 0, false, false };
    for (i64 len; (len = sys_getdents64(dir, entries, k_list_dirent_buffer)) > 0;) {
        for (i64 at = 0; at < len;) {
            const dirent64_k* entry = (const dirent64_k*)(entries + at);
            at += entry->reclen;
            if (dot_or_dot_dot(entry->name))
                continue;
            i64 name_len = text_length(entry->name);
            stat_k st {};
            if (sys_fstatat(dir, entry->name, &st, AT_SYMLINK_NOFOLLOW) < 0)
                continue;
            // A name longer than any Linux file system keeps is not listed either; the
            // answer says that something was left out.
            if (listing.count == k_list_entries_max || name_len > k_list_name_max) {
                listing.truncated = true;
                if (listing.count == k_list_entries_max)
                    return listing;
                continue;
            }
            if (listing.count > 0)
                listing.pos = append_byte(out, listing.pos, ',');
            listing.pos = append_list_entry(out, listing.pos, entry->name, name_len, st, &listing.lossy);
            listing.count++;
        }
    }
    return listing;
}

void handle_list(int conn, const char* req, i64 req_len)
{
    ByteSpan body = request_body(req, req_len);
    char* path = (char*)heap_alloc(k_agent_path_max + 1);
    char* name = (char*)heap_alloc(k_agent_name_max + 1);
    if (!path || !name)
        return send_memory_exhausted(conn);
    i64 path_len = 0;
    FileRefusal refusal = read_agent_path(body.ptr, body.len, path, &path_len, "/tmp", true);
    if (refusal.fault != k_fault_none)
        return send_file_refusal(conn, refusal);
    i64 name_len = request_agent_name(req, req_len, name);
    i64 agent = register_agent(name, name_len);
    if (agent == -1)
        return refuse_unregistered(conn, { name, name_len }, { path, path_len });
    AgentDir parent = open_agent_dir(agent, path, path_len, false);
    if (parent.fd < 0)
        return send_file_refusal(conn, open_refusal(parent.fd, path, path_len, parent.failed_len, true));
    i64 dir = open_agent_leaf(agent, (int)parent.fd, parent.leaf, O_RDONLY | O_DIRECTORY, 0);
    sys_close((int)parent.fd);
    if (dir < 0)
        return send_file_refusal(conn, open_refusal(dir, path, path_len, path_len, true));
    char* entries = (char*)heap_alloc(k_list_dirent_buffer);
    char* out = (char*)heap_alloc(k_list_answer_size);
    if (!entries || !out) {
        sys_close((int)dir);
        return send_memory_exhausted(conn);
    }
    i64 pos = append_text(out, 0, R"({"ok":true,"path":)");
    pos = append_json_string(out, pos, path, path_len);
    pos = append_text(out, pos, R"(,"entries":[)");
    Listing listing = append_entries(out, pos, (int)dir, entries);
    sys_close((int)dir);
    pos = append_text(out, listing.pos, R"(],"count":)");
    pos = append_decimal(out, pos, listing.count);
    pos = append_text(out, pos, listing.truncated ? R"(,"truncated":true)" : R"(,"truncated":false)");
    if (listing.lossy)
        pos = append_text(out, pos, R"(,"lossy":true)");
    pos = append_byte(out, pos, '}');
    audit_write(agent_name(agent), "LIST", { path, path_len }, 0, 0, "OK");
    send_json(conn, 200, reason_phrase(200), out, pos);
}
