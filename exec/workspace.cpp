// The workspaces: one tmpfs per agent slot, mounted under the jail base in the server's
// own mount namespace (exec/jail.h), and the bookkeeping of their total size. In plain
// basic mode with Landlock, one directory per slot under k_plain_workspaces instead,
// which only that agent's runs may write (exec/landlock.h).
#include "exec/workspace.h"
#include "agents/registry.h"
#include "core/state.h"
#include "exec/confinement.h"
#include "exec/jail.h"
#include "exec/landlock.h"
#include "runtime/heap.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

struct WorkspaceSlot {
    bool mounted;
    i64 size_mb;
};
struct WorkspaceTable {
    WorkspaceSlot* slots;
    i64 count;
};
static constinit WorkspaceTable table {};

void workspace_init()
{
    table.count = state.max_agents;
    table.slots = (WorkspaceSlot*)heap_alloc((u64)(table.count * (i64)sizeof(WorkspaceSlot)));
    if (!table.slots)
        table.count = 0;
}

// The slot's entry, or nullptr for a slot outside the table (or before workspace_init).
static WorkspaceSlot* slot_entry(i64 slot)
{
    return slot >= 0 && slot < table.count ? &table.slots[slot] : nullptr;
}

// Directories the plain mode's reset moves aside before emptying them.
static constinit i64 discarded = 0;

static bool plain_workspaces() { return jail.mode == k_jail_none && landlock_abi() > 0; }

i64 workspace_path(i64 slot, char* out)
{
    i64 pos = append_text(out, 0, jail.mode == k_jail_none ? k_plain_workspaces : jail.layout.workspaces);
    pos = append_byte(out, pos, '/');
    pos = append_decimal(out, pos, slot);
    append_byte(out, pos, 0);
    return pos;
}

static i64 allocated_mb()
{
    i64 sum = 0;
    for (i64 i = 0; i < table.count; i++)
        sum += table.slots[i].mounted ? table.slots[i].size_mb : 0;
    return sum;
}

// The configured size, or what the total bound leaves; tmpfs reads size=0 as unbounded,
// so nothing below one MiB is mounted.
static i64 next_size_mb()
{
    i64 want = state.workspace_mb > 0 ? state.workspace_mb : k_default_workspace_mb;
    i64 total = state.workspace_total_mb > 0 ? state.workspace_total_mb : k_default_workspace_total_mb;
    i64 left = total - allocated_mb();
    return want < left ? want : left;
}

// "size=<n>m,nr_inodes=<n>,mode=0700,uid=<n>,gid=<n>": in kernel mode the files belong
// to the agent's uid; in rootless mode only the server's ids exist, which the run's own
// user namespace shows as the agent's uid.
static void build_options(char* out, i64 slot, i64 size_mb)
{
    u32 owner = jail.mode == k_jail_kernel ? sandbox_uid_for_agent(slot) : jail.outer_uid;
    u32 group = jail.mode == k_jail_kernel ? sandbox_uid_for_agent(slot) : jail.outer_gid;
    i64 pos = append_text(out, 0, "size=");
    pos = append_decimal(out, pos, size_mb);
    pos = append_text(out, pos, "m,nr_inodes=");
    pos = append_decimal(out, pos, size_mb * k_workspace_inodes_per_mb);
    pos = append_text(out, pos, ",mode=0700,uid=");
    pos = append_decimal(out, pos, owner);
    pos = append_text(out, pos, ",gid=");
    pos = append_decimal(out, pos, group);
    append_byte(out, pos, 0);
}

// A directory of the server's own, closed to everyone else, and not a link: /tmp is
// shared, and another user may have made the name first.
static bool own_private_directory(const char* path)
{
    sys_mkdir(path, 0700);
    i64 fd = sys_open(path, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    stat_k st {};
    i64 result = sys_fstat((int)fd, &st);
    sys_close((int)fd);
    return result == 0 && st.uid == (u32)sys_geteuid() && (st.mode & 077) == 0;
}

static i64 ensure_plain_workspace(i64 slot)
{
    char path[k_workspace_path_size];
    workspace_path(slot, path);
    if (!own_private_directory(k_plain_workspaces) || !own_private_directory(path))
        return 0;
    *slot_entry(slot) = { true, 0 };
    return 1;
}

i64 workspace_ensure(i64 slot)
{
    WorkspaceSlot* entry = slot_entry(slot);
    if (!entry)
        return 0;
    if (entry->mounted)
        return 1;
    if (plain_workspaces())
        return ensure_plain_workspace(slot);
    if (jail.mode == k_jail_none)
        return 0;
    i64 size_mb = next_size_mb();
    if (size_mb < 1)
        return 0;
    char path[k_workspace_path_size];
    workspace_path(slot, path);
    // A directory left by an earlier reset is reused.
    sys_mkdir(path, 0700);
    char options[128];
    build_options(options, slot, size_mb);
    if (sys_mount("tmpfs", path, "tmpfs", MS_NOSUID | MS_NODEV, options) < 0)
        return 0;
    *entry = { true, size_mb };
    return 1;
}

bool workspace_exists(i64 slot)
{
    const WorkspaceSlot* entry = slot_entry(slot);
    return entry && entry->mounted;
}

i64 workspace_open(i64 slot)
{
    if (!workspace_ensure(slot))
        return -ENOENT;
    char path[k_workspace_path_size];
    workspace_path(slot, path);
    return sys_open(path, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
}

i64 workspace_bytes(i64 slot)
{
    if (!workspace_exists(slot) || jail.mode == k_jail_none)
        return 0;
    char path[k_workspace_path_size];
    workspace_path(slot, path);
    statfs_k st {};
    if (sys_statfs(path, &st) < 0)
        return 0;
    return (i64)(st.blocks - st.bfree) * st.bsize;
}

// Removes what lies below dir, k_plain_depth_max levels deep at most (a deeper tree is
// left, out of every agent's reach). Entries are removed while the directory is read, so
// it is read again until a pass removes nothing.
static constexpr i64 k_plain_depth_max = 48;

static void empty_directory(int dir, i64 depth)
{
    alignas(8) char entries[1024];
    for (bool removed = true; removed;) {
        removed = false;
        i64 pass = sys_openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (pass < 0)
            return;
        for (i64 len; (len = sys_getdents64((int)pass, entries, sizeof(entries))) > 0;) {
            for (i64 at = 0; at < len;) {
                const dirent64_k* entry = (const dirent64_k*)(entries + at);
                at += entry->reclen;
                const char* name = entry->name;
                if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                    continue;
                if (sys_unlinkat(dir, name, 0) == 0) {
                    removed = true;
                    continue;
                }
                i64 sub = depth < k_plain_depth_max ? sys_openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0) : -1;
                if (sub >= 0) {
                    empty_directory((int)sub, depth + 1);
                    sys_close((int)sub);
                }
                removed |= sys_unlinkat(dir, name, AT_REMOVEDIR) == 0;
            }
        }
        sys_close((int)pass);
    }
}

// The directory is first renamed aside, so the agent's next run gets a new, empty one
// even where something in it could not be removed.
static void discard_plain_workspace(i64 slot)
{
    char path[k_workspace_path_size];
    char aside[k_workspace_path_size + 24];
    workspace_path(slot, path);
    i64 pos = append_text(aside, 0, k_plain_workspaces);
    pos = append_text(aside, pos, "/old-");
    pos = append_decimal(aside, pos, ++discarded);
    append_byte(aside, pos, 0);
    if (sys_rename(path, aside) < 0)
        return;
    i64 dir = sys_open(aside, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (dir >= 0) {
        empty_directory((int)dir, 0);
        sys_close((int)dir);
    }
    sys_unlinkat(AT_FDCWD, aside, AT_REMOVEDIR);
}

void workspace_release(i64 slot)
{
    WorkspaceSlot* entry = slot_entry(slot);
    if (!entry || !entry->mounted)
        return;
    if (jail.mode == k_jail_none) {
        discard_plain_workspace(slot);
    } else {
        char path[k_workspace_path_size];
        workspace_path(slot, path);
        sys_umount2(path, MNT_DETACH);
    }
    *entry = { false, 0 };
}
