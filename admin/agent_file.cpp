// The shared path rules and the open of an agent's file (see the header).
#include "admin/agent_file.h"
#include "exec/confinement.h"
#include "exec/jail.h"
#include "exec/landlock.h"
#include "exec/workspace.h"
#include "runtime/file_replace.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constexpr FileRefusal k_missing_path { 400, "Bad Request", "missing path field" };
static constexpr FileRefusal k_outside_tmp { 403, "Forbidden", "path must start with /tmp/" };
static constexpr FileRefusal k_traversal { 403, "Forbidden", "path traversal not allowed" };

const FileRefusal* check_agent_path(const char* path, i64 path_len)
{
    if (path_len == 0)
        return &k_missing_path;
    if (path_len < 5 || !bytes_equal(path, "/tmp/", 5))
        return &k_outside_tmp;
    if (find_bytes(path, path_len, 0, "..", 2) >= 0)
        return &k_traversal;
    return nullptr;
}

// RESOLVE_BENEATH keeps every step inside the workspace (absolute names and climbing
// included); RESOLVE_NO_SYMLINKS refuses a link in any component, the last one too. As root
// the open is made with the agent's ids as file-system ids: the workspace is the agent's
// own (mode 0700), and a file made there is the agent's from the start. The effective ids,
// and with them the server's other rights, stay as they are.
static i64 open_in_workspace(i64 slot, const char* relative, int flags, int mode)
{
    i64 dir = workspace_open(slot);
    if (dir < 0)
        return dir;
    open_how_k how {};
    how.flags = (u64)(flags | O_NOFOLLOW | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? (u64)mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    bool as_agent = jail.mode == k_jail_kernel;
    u32 owner = agent_file_owner(slot);
    if (as_agent) {
        sys_setfsgid(owner);
        sys_setfsuid(owner);
    }
    i64 fd = sys_openat2((int)dir, relative, &how);
    if (as_agent) {
        sys_setfsuid(0);
        sys_setfsgid(0);
    }
    sys_close((int)dir);
    return fd;
}

u32 agent_file_owner(i64 slot)
{
    return jail.mode == k_jail_kernel ? sandbox_uid_for_agent(slot) : (u32)sys_geteuid();
}

i64 open_agent_file(i64 slot, const char* path, int flags, int mode)
{
    if (jail.mode == k_jail_none && landlock_abi() == 0)
        return open_no_symlinks(path, flags, mode);
    if (slot < 0)
        return -ENOENT;
    return open_in_workspace(slot, path + 5, flags, mode);
}
