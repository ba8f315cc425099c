// The workspaces: one tmpfs per agent slot, mounted under the jail base in the server's
// own mount namespace (exec/jail.h), and the bookkeeping of their total size.
#include "exec/workspace.h"
#include "agents/registry.h"
#include "core/state.h"
#include "exec/confinement.h"
#include "exec/jail.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

struct WorkspaceSlot {
    bool mounted;
    i64 size_mb;
};
static constinit WorkspaceSlot slots[k_max_agents] {};

i64 workspace_path(i64 slot, char* out)
{
    i64 pos = append_text(out, 0, jail.layout.workspaces);
    pos = append_byte(out, pos, '/');
    pos = append_decimal(out, pos, slot);
    append_byte(out, pos, 0);
    return pos;
}

static i64 allocated_mb()
{
    i64 sum = 0;
    for (const WorkspaceSlot& ws : slots)
        sum += ws.mounted ? ws.size_mb : 0;
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

i64 workspace_ensure(i64 slot)
{
    if (jail.mode == k_jail_none || slot < 0 || slot >= k_max_agents)
        return 0;
    if (slots[slot].mounted)
        return 1;
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
    slots[slot] = { true, size_mb };
    return 1;
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
    if (slot < 0 || slot >= k_max_agents || !slots[slot].mounted)
        return 0;
    char path[k_workspace_path_size];
    workspace_path(slot, path);
    statfs_k st {};
    if (sys_statfs(path, &st) < 0)
        return 0;
    return (i64)(st.blocks - st.bfree) * st.bsize;
}

void workspace_reset_all()
{
    for (i64 slot = 0; slot < k_max_agents; slot++) {
        if (!slots[slot].mounted)
            continue;
        char path[k_workspace_path_size];
        workspace_path(slot, path);
        sys_umount2(path, MNT_DETACH);
        slots[slot] = { false, 0 };
    }
}
