// The shared path rules, the walk to an agent's file, and the file endpoints' refusals
// (see the header).
#include "admin/agent_file.h"
#include "core/http_response.h"
#include "core/http_status.h"
#include "exec/confinement.h"
#include "exec/jail.h"
#include "exec/landlock.h"
#include "exec/workspace.h"
#include "runtime/error_text.h"
#include "runtime/fields.h"
#include "runtime/file_replace.h"
#include "runtime/heap.h"
#include "runtime/json_reader.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

// ---- refusals -----------------------------------------------------------------------

// What a message adds after its text: the path (": /tmp/a"), a size and its limit
// (" (N bytes, limit M)"), or the path and the kernel's error (" /tmp/a: <error>").
enum FaultDetail : u8 { k_detail_none, k_detail_path, k_detail_sizes, k_detail_error };

struct FaultRow {
    FileFault fault;
    i64 status;
    const char* text;
    FaultDetail detail;
    // Text after the detail.
    const char* tail;
};

static constexpr FaultRow k_fault_rows[] = {
    { k_fault_missing_path, 400, "missing path field", k_detail_none, "" },
    { k_fault_outside_tmp, 403, "path must start with /tmp/", k_detail_none, "" },
    { k_fault_traversal, 403, "path traversal not allowed", k_detail_none, "" },
    { k_fault_path_nul, 400, "path must not contain a NUL byte", k_detail_none, "" },
    { k_fault_path_too_long, 400, "path too long", k_detail_sizes, "" },
    { k_fault_missing_content, 400, "missing content field", k_detail_none, "" },
    { k_fault_bad_encoding, 400, R"(encoding must be "utf-8" or "base64")", k_detail_none, "" },
    { k_fault_bad_base64, 400, "content is not valid base64 (standard alphabet, padded, no line breaks)", k_detail_none, "" },
    { k_fault_bad_mode, 400, R"(mode must be octal text of 3 or 4 digits, such as "0644")", k_detail_none, "" },
    { k_fault_special_mode, 400, "mode may not set setuid, setgid or sticky bits", k_detail_none, "" },
    { k_fault_bad_append, 400, "append must be true or false", k_detail_none, "" },
    { k_fault_bad_offset, 400, "offset must be a whole number of at least 0", k_detail_none, "" },
    { k_fault_bad_length, 400, "length must be a whole number of at least 0", k_detail_none, "" },
    { k_fault_file_too_large, 413, "file too large", k_detail_sizes, "" },
    { k_fault_text_too_large, 413, "text answer too large", k_detail_sizes,
        R"(: read the file with "encoding":"base64", or in parts with offset and length)" },
    { k_fault_no_file, 404, "no such file", k_detail_path, "" },
    { k_fault_no_directory, 404, "no such directory", k_detail_path, "" },
    { k_fault_not_directory, 400, "not a directory", k_detail_path, "" },
    { k_fault_is_directory, 400, "is a directory", k_detail_path, "" },
    { k_fault_link, 403, "symbolic links not allowed", k_detail_path, "" },
    { k_fault_not_regular, 400, "not a regular file", k_detail_path, "" },
    { k_fault_hard_link, 403, "file has more than one name (a hard link)", k_detail_path, "" },
    { k_fault_foreign_owner, 403, "file belongs to another user", k_detail_path, "" },
    { k_fault_denied, 403, "permission denied", k_detail_path, "" },
    { k_fault_full, 507, "workspace full", k_detail_none, "" },
    { k_fault_failed, 500, "file system error on", k_detail_error, "" },
};

// Every row's text and tail fit the room k_file_message_max keeps for them, and every
// status has its reason phrase.
static_assert([] {
    for (const FaultRow& row : k_fault_rows)
        if (text_length(row.text) + text_length(row.tail) > k_fault_text_max || reason_phrase(row.status)[0] == 'U')
            return false;
    return true;
}());

static const FaultRow& fault_row(FileFault fault)
{
    for (const FaultRow& row : k_fault_rows)
        if (row.fault == fault)
            return row;
    return k_fault_rows[sizeof(k_fault_rows) / sizeof(k_fault_rows[0]) - 1];
}

i64 file_fault_status(FileFault fault) { return fault_row(fault).status; }

static i64 build_message(char* out, const FileRefusal& refusal)
{
    const FaultRow& row = fault_row(refusal.fault);
    i64 pos = append_text(out, 0, row.text);
    switch (row.detail) {
    case k_detail_none: break;
    case k_detail_path:
        pos = append_text(out, pos, ": ");
        pos = append_bytes(out, pos, refusal.path.ptr, refusal.path.len);
        break;
    case k_detail_sizes:
        pos = append_text(out, pos, " (");
        pos = append_decimal(out, pos, refusal.size);
        pos = append_text(out, pos, " bytes, limit ");
        pos = append_decimal(out, pos, refusal.limit);
        pos = append_byte(out, pos, ')');
        break;
    case k_detail_error:
        pos = append_byte(out, pos, ' ');
        pos = append_bytes(out, pos, refusal.path.ptr, refusal.path.len);
        pos = append_text(out, pos, ": ");
        pos = append_error_text(out, pos, refusal.error);
        break;
    }
    return append_text(out, pos, row.tail);
}

i64 build_file_refusal(char* out, const FileRefusal& refusal)
{
    char message[k_file_message_max];
    i64 message_len = build_message(message, refusal);
    i64 pos = append_text(out, 0, R"({"ok":false,"error":)");
    pos = append_json_string(out, pos, message, message_len);
    return append_byte(out, pos, '}');
}

void send_file_refusal(int conn, const FileRefusal& refusal)
{
    char* body = (char*)heap_alloc(k_file_refusal_size);
    if (!body)
        return send_memory_exhausted(conn);
    i64 status = file_fault_status(refusal.fault);
    send_json(conn, status, reason_phrase(status), body, build_file_refusal(body, refusal));
}

// ---- the path rules -------------------------------------------------------------------

FileFault check_agent_path(const char* path, i64 path_len, bool directory_allowed)
{
    if (path_len == 0)
        return k_fault_missing_path;
    if (directory_allowed && path_len == 4 && bytes_equal(path, "/tmp", 4))
        return k_fault_none;
    if (path_len < 5 || !bytes_equal(path, "/tmp/", 5))
        return k_fault_outside_tmp;
    if (find_bytes(path, path_len, 0, "..", 2) >= 0)
        return k_fault_traversal;
    // The kernel would read the name only up to the NUL: another file than the one asked.
    for (i64 i = 0; i < path_len; i++)
        if (path[i] == 0)
            return k_fault_path_nul;
    return k_fault_none;
}

FileRefusal read_agent_path(const char* body, i64 body_len, char* path, i64* path_len, const char* fallback, bool directory_allowed)
{
    path[0] = 0;
    *path_len = 0;
    i64 value = json_find_member(body, body_len, 0, "path", 4);
    JsonString text = value < 0 ? JsonString { -1, 0, 0 } : json_decode_string(body, body_len, value, path, k_agent_path_max);
    if (text.decoded > k_agent_path_max) {
        path[0] = 0;
        return { k_fault_path_too_long, {}, text.decoded, k_agent_path_max, 0 };
    }
    if (text.end >= 0) {
        *path_len = text.stored;
    } else if (value < 0 && fallback != nullptr) {
        *path_len = text_length(fallback);
        copy_bytes(path, fallback, *path_len + 1);
    }
    return { check_agent_path(path, *path_len, directory_allowed), { path, *path_len }, 0, 0, 0 };
}

FileFault read_encoding_member(const char* body, i64 body_len, bool* base64)
{
    *base64 = false;
    i64 value = json_find_member(body, body_len, 0, "encoding", 8);
    if (value < 0)
        return k_fault_none;
    char word[8];
    JsonString text = json_decode_string(body, body_len, value, word, sizeof(word) - 1);
    if (text.end < 0 || text.decoded != text.stored)
        return k_fault_bad_encoding;
    ByteSpan name { word, text.stored };
    if (span_equals(name, "base64"))
        *base64 = true;
    else if (!span_equals(name, "utf-8"))
        return k_fault_bad_encoding;
    return k_fault_none;
}

ByteSpan request_body(const char* req, i64 req_len)
{
    i64 body = find_body(req, req_len);
    return body < 0 ? ByteSpan { req + req_len, 0 } : ByteSpan { req + body, req_len - body };
}

// ---- the walk ---------------------------------------------------------------------------

u32 agent_file_owner(i64 slot)
{
    return jail.mode == k_jail_kernel ? sandbox_uid_for_agent(slot) : (u32)sys_geteuid();
}

// As root the server works in a kernel-mode workspace with the agent's ids as file-system
// ids: the workspace is the agent's own (mode 0700), the agent's permissions apply to every
// step, and what the server makes there is the agent's from the start. The effective ids,
// and with them the server's other rights, stay as they are.
class AgentIds {
public:
    explicit AgentIds(i64 slot)
        : switched_(jail.mode == k_jail_kernel)
    {
        if (!switched_)
            return;
        u32 owner = agent_file_owner(slot);
        sys_setfsgid(owner);
        sys_setfsuid(owner);
    }
    ~AgentIds()
    {
        if (!switched_)
            return;
        sys_setfsuid(0);
        sys_setfsgid(0);
    }

private:
    bool switched_;
};

// The agent's /tmp: its workspace (made if needed), or the host's /tmp.
static i64 open_agent_root(i64 slot)
{
    if (jail.mode == k_jail_none && landlock_abi() == 0)
        return open_no_symlinks("/tmp", O_PATH | O_DIRECTORY, 0);
    if (slot < 0)
        return -ENOENT;
    return workspace_open(slot);
}

// One name below dir: RESOLVE_BENEATH keeps the step inside (absolute names and climbing
// included), RESOLVE_NO_SYMLINKS refuses a link with ELOOP, the last name's too. O_NOFOLLOW
// is left out on purpose: with O_PATH it would open the link itself, and the step would
// fail as "not a directory" instead of naming the link.
static i64 open_beneath(int dir, const char* name, int flags, int mode)
{
    open_how_k how {};
    how.flags = (u64)(flags | O_CLOEXEC);
    // The kernel refuses a mode with O_PATH or without O_CREAT.
    how.mode = (flags & O_CREAT) ? (u64)mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return sys_openat2(dir, name, &how);
}

// Makes directory name in dir with mode 0755 whatever the umask; one that another step made
// meanwhile will do. 0 or -errno.
static i64 make_directory(int dir, const char* name)
{
    i64 made = sys_mkdirat(dir, name, 0755);
    if (made < 0)
        return made == -EEXIST ? 0 : made;
    i64 fd = open_beneath(dir, name, O_RDONLY | O_DIRECTORY, 0);
    if (fd >= 0) {
        sys_fchmod((int)fd, 0755);
        sys_close((int)fd);
    }
    return 0;
}

// The directory below dir named by name_len bytes at name (no slash), made when missing
// and make is set. Closes dir; returns the new descriptor or -errno.
static i64 step_into(i64 dir, const char* name, i64 name_len, bool make)
{
    char copy[k_agent_path_max + 1];
    copy_bytes(copy, name, name_len);
    copy[name_len] = 0;
    i64 next = open_beneath((int)dir, copy, O_PATH | O_DIRECTORY, 0);
    if (next == -ENOENT && make) {
        next = make_directory((int)dir, copy);
        if (next == 0)
            next = open_beneath((int)dir, copy, O_PATH | O_DIRECTORY, 0);
    }
    sys_close((int)dir);
    return next;
}

AgentDir open_agent_dir(i64 slot, const char* path, i64 path_len, bool make)
{
    // "/tmp" and "/tmp/" name the directory itself; otherwise the last name starts after
    // the last slash ("." when nothing follows it).
    i64 leaf_at = path_len;
    while (leaf_at > 5 && path[leaf_at - 1] != '/')
        leaf_at--;
    if (path_len <= 5)
        leaf_at = path_len;
    const char* leaf = leaf_at < path_len ? path + leaf_at : ".";
    i64 dir = open_agent_root(slot);
    if (dir < 0)
        return { dir, 4, leaf };
    AgentIds ids(slot);
    for (i64 at = 5; at < leaf_at;) {
        i64 end = at;
        while (end < leaf_at && path[end] != '/')
            end++;
        bool current = end - at == 1 && path[at] == '.';
        if (end > at && !current) {
            dir = step_into(dir, path + at, end - at, make);
            if (dir < 0)
                return { dir, end, leaf };
        }
        at = end + 1;
    }
    return { dir, 0, leaf };
}

i64 open_agent_leaf(i64 slot, int dir, const char* leaf, int flags, int mode)
{
    AgentIds ids(slot);
    return open_beneath(dir, leaf, flags, mode);
}

void unlink_agent_leaf(i64 slot, int dir, const char* leaf)
{
    AgentIds ids(slot);
    sys_unlinkat(dir, leaf, 0);
}

FileRefusal open_refusal(i64 error, const char* path, i64 path_len, i64 failed_len, bool directory_wanted)
{
    FileFault fault = k_fault_failed;
    switch (error) {
    case -ENOENT: fault = failed_len < path_len || directory_wanted ? k_fault_no_directory : k_fault_no_file; break;
    case -ENOTDIR: fault = k_fault_not_directory; break;
    case -EISDIR: fault = k_fault_is_directory; break;
    case -ELOOP:
    case -EXDEV: fault = k_fault_link; break;
    case -EACCES:
    case -EPERM: fault = k_fault_denied; break;
    // A FIFO without a reader, a socket: nothing a file request can use.
    case -ENXIO: fault = k_fault_not_regular; break;
    case -ENOSPC:
    case -EDQUOT: fault = k_fault_full; break;
    }
    return { fault, { path, failed_len }, 0, 0, error };
}
