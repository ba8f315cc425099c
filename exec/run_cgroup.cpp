// Per-run control groups on the cgroup v1 memory and pids hierarchies. A group is named
// after the server's pid and the run's number; the pids group sits at the top of its
// hierarchy, the memory group inside its agent's group (or at the top for a run without
// a slot). A server that is killed mid-run leaves at most its last, empty run group and
// its agents' empty groups behind.
#include "exec/run_cgroup.h"
#include "agents/registry.h"
#include "core/state.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constexpr char k_memory_root[] = "/sys/fs/cgroup/memory";
static constexpr char k_pids_root[] = "/sys/fs/cgroup/pids";
// rmdir of a group whose last task has just been reaped can still meet EBUSY briefly.
static constexpr i64 k_remove_attempts = 50;

static i64 file_exists(const char* path)
{
    i64 fd = sys_open(path, O_PATH | O_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sys_close((int)fd);
    return 1;
}

i64 run_cgroups_available()
{
    return file_exists("/sys/fs/cgroup/memory/memory.memsw.limit_in_bytes") && file_exists("/sys/fs/cgroup/pids/cgroup.procs");
}

static i64 write_build_path(const char* dir, const char* leaf, const char* text, i64 len)
{
    char path[k_cgroup_path_size + 48];
    build_path(path, dir, leaf);
    i64 fd = sys_open(path, O_WRONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    i64 written = sys_write((int)fd, text, len);
    sys_close((int)fd);
    return written == len;
}

static i64 write_group_number(const char* dir, const char* leaf, i64 value)
{
    char text[k_decimal_max + 1];
    i64 len = append_decimal(text, 0, value);
    return write_build_path(dir, leaf, text, len);
}

static void name_group(char* out, const char* parent, i64 run_id)
{
    i64 pos = append_text(out, 0, parent);
    pos = append_text(out, pos, "/cindervox-");
    pos = append_decimal(out, pos, sys_getpid());
    pos = append_byte(out, pos, '-');
    pos = append_decimal(out, pos, run_id);
    append_byte(out, pos, 0);
}

static void name_agent_group(char* out, i64 slot)
{
    i64 pos = append_text(out, 0, k_memory_root);
    pos = append_text(out, pos, "/cindervox-");
    pos = append_decimal(out, pos, sys_getpid());
    pos = append_text(out, pos, "-agent");
    pos = append_decimal(out, pos, slot);
    append_byte(out, pos, 0);
}

// Raising a bound needs the swap bound (memory + swap) first, lowering it the memory bound
// first, as the kernel keeps memory <= memory + swap; of the first two writes one may be
// refused, and the third leaves both at the bound either way. A bound below what the
// group holds now is refused, and the one before it stays.
static i64 bound_memory(const char* dir, i64 bytes)
{
    write_group_number(dir, "memory.memsw.limit_in_bytes", bytes);
    return write_group_number(dir, "memory.limit_in_bytes", bytes) && write_group_number(dir, "memory.memsw.limit_in_bytes", bytes);
}

// Each agent slot's memory group: the bound last written, 0 while the group is not made.
struct AgentGroups {
    i64* bound;
    i64 count;
};
static constinit AgentGroups agent_groups {};

void agent_cgroups_init()
{
    agent_groups.count = state.max_agents;
    agent_groups.bound = (i64*)heap_alloc((u64)(agent_groups.count * (i64)sizeof(i64)));
    if (!agent_groups.bound)
        agent_groups.count = 0;
}

// The slot's bound, or nullptr for a slot outside the table (or before agent_cgroups_init).
static i64* group_bound(i64 slot) { return slot >= 0 && slot < agent_groups.count ? &agent_groups.bound[slot] : nullptr; }

// The kernel's out-of-memory killer stays out of the server's groups: it chooses by memory
// held, and a jail's init holds the server's own memory (it shares it), so its choice could
// fall on an init and take the server, and every run, with it. A group at its bound makes
// its tasks wait instead, and its out-of-memory event (which reaches the groups below it
// too) has the server kill the run, which frees what it held. Where the kernel refuses,
// its killer stays, as on a host without this setting.
static void keep_oom_killer_out(const char* dir) { write_build_path(dir, "memory.oom_control", "1", 1); }

// The agent's group, made or bounded anew as needed, with its path in dir; 1 when it
// exists with some bound.
static i64 ensure_agent_group(i64 slot, i64 bytes, char* dir)
{
    i64* bound = group_bound(slot);
    name_agent_group(dir, slot);
    if (*bound == bytes)
        return 1;
    if (*bound == 0) {
        i64 made = sys_mkdir(dir, 0755);
        if (made < 0 && made != -EEXIST)
            return 0;
        keep_oom_killer_out(dir);
    }
    if (bound_memory(dir, bytes))
        *bound = bytes;
    return *bound != 0;
}

i64 agent_cgroup_path(i64 agent_slot, char* out)
{
    out[0] = 0;
    const i64* bound = group_bound(agent_slot);
    if (!bound || *bound == 0)
        return 0;
    name_agent_group(out, agent_slot);
    return text_length(out);
}

// The init joins through "tasks", not "cgroup.procs": a thread that moves itself by
// writing "0" there spares the kernel the global write lock on every thread group, whose
// RCU grace period otherwise costs each run about ten milliseconds. The init is a thread
// group of one, so moving the thread moves the process, and what it forks follows.
static i64 open_procs(const char* dir)
{
    char path[k_cgroup_path_size + 48];
    build_path(path, dir, "tasks");
    return sys_open(path, O_WRONLY | O_CLOEXEC, 0);
}

// The killer kept out (as keep_oom_killer_out), then the kernel's v1 notification:
// "<eventfd> <memory.oom_control fd>" into cgroup.event_control; the eventfd counts the
// group's out-of-memory events. One descriptor of memory.oom_control serves both.
static i64 watch_oom(RunCgroup* group)
{
    char path[k_cgroup_path_size + 48];
    build_path(path, group->memory_dir, "memory.oom_control");
    i64 control = sys_open(path, O_RDWR | O_CLOEXEC, 0);
    if (control < 0)
        return 0;
    sys_write((int)control, "1", 1);
    i64 event = sys_eventfd2(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event < 0) {
        sys_close((int)control);
        return 0;
    }
    char line[2 * k_decimal_max + 2];
    i64 pos = append_decimal(line, 0, event);
    pos = append_byte(line, pos, ' ');
    pos = append_decimal(line, pos, control);
    i64 ok = write_build_path(group->memory_dir, "cgroup.event_control", line, pos);
    sys_close((int)control);
    if (!ok) {
        sys_close((int)event);
        return 0;
    }
    group->oom_event_fd = (int)event;
    return 1;
}

// The swap bound can only be set once the memory bound is at or below it: in a new group
// both are unbounded, so the memory bound goes first.
static i64 make_memory_group(RunCgroup* group, i64 memory_bytes)
{
    if (sys_mkdir(group->memory_dir, 0755) < 0)
        return 0;
    if (!write_group_number(group->memory_dir, "memory.limit_in_bytes", memory_bytes) ||
        !write_group_number(group->memory_dir, "memory.memsw.limit_in_bytes", memory_bytes))
        return 0;
    i64 fd = open_procs(group->memory_dir);
    if (fd < 0)
        return 0;
    group->memory_procs_fd = (int)fd;
    return watch_oom(group);
}

static i64 make_pids_group(RunCgroup* group, i64 max_tasks)
{
    if (sys_mkdir(group->pids_dir, 0755) < 0)
        return 0;
    if (!write_group_number(group->pids_dir, "pids.max", max_tasks))
        return 0;
    i64 fd = open_procs(group->pids_dir);
    if (fd < 0)
        return 0;
    group->pids_procs_fd = (int)fd;
    return 1;
}

i64 run_cgroup_create(RunCgroup* group, i64 run_id, i64 memory_bytes, i64 max_tasks, i64 agent_slot, i64 agent_memory_bytes)
{
    *group = { -1, -1, -1, {}, {} };
    char parent[k_cgroup_path_size];
    append_byte(parent, append_text(parent, 0, k_memory_root), 0);
    if (group_bound(agent_slot) && !ensure_agent_group(agent_slot, agent_memory_bytes, parent))
        return 0;
    name_group(group->memory_dir, parent, run_id);
    name_group(group->pids_dir, k_pids_root, run_id);
    if (make_memory_group(group, memory_bytes) && make_pids_group(group, max_tasks))
        return 1;
    run_cgroup_remove(group);
    return 0;
}

i64 run_cgroup_join(const RunCgroup* group)
{
    // "0" is the writer itself, whatever its pid looks like from its namespace.
    i64 result = sys_write(group->memory_procs_fd, "0", 1);
    if (result >= 0)
        result = sys_write(group->pids_procs_fd, "0", 1);
    return result < 0 ? result : 0;
}

i64 run_cgroup_rebound(const RunCgroup* group, i64 memory_bytes, i64 max_tasks)
{
    return bound_memory(group->memory_dir, memory_bytes) && write_group_number(group->pids_dir, "pids.max", max_tasks);
}

i64 run_cgroup_oom_happened(const RunCgroup* group)
{
    u64 count = 0;
    return group->oom_event_fd >= 0 && sys_read(group->oom_event_fd, &count, sizeof(count)) == sizeof(count) && count > 0;
}

static void remove_dir(const char* dir)
{
    if (dir[0] == 0)
        return;
    for (i64 attempt = 0; attempt < k_remove_attempts; attempt++) {
        i64 result = sys_rmdir(dir);
        if (result == 0 || result == -ENOENT)
            return;
        timespec_k pause { 0, 2000000 };
        sys_nanosleep(&pause, nullptr);
    }
}

void run_cgroup_remove(RunCgroup* group)
{
    int fds[3] = { group->memory_procs_fd, group->pids_procs_fd, group->oom_event_fd };
    for (int fd : fds)
        if (fd >= 0)
            sys_close(fd);
    group->memory_procs_fd = group->pids_procs_fd = group->oom_event_fd = -1;
    remove_dir(group->memory_dir);
    remove_dir(group->pids_dir);
    group->memory_dir[0] = 0;
    group->pids_dir[0] = 0;
}

void agent_cgroups_remove()
{
    for (i64 slot = 0; slot < agent_groups.count; slot++) {
        if (agent_groups.bound[slot] == 0)
            continue;
        char dir[k_cgroup_path_size];
        name_agent_group(dir, slot);
        remove_dir(dir);
        agent_groups.bound[slot] = 0;
    }
}

// A group without tasks or child groups goes at once: its charges (the workspace's pages)
// move to the parent. One with a run group inside refuses (EBUSY) and is kept.
void agent_cgroup_release(i64 agent_slot)
{
    i64* bound = group_bound(agent_slot);
    if (!bound || *bound == 0)
        return;
    char dir[k_cgroup_path_size];
    name_agent_group(dir, agent_slot);
    i64 result = sys_rmdir(dir);
    if (result == 0 || result == -ENOENT)
        *bound = 0;
}

// The pid in "cindervox-<pid>-agent<slot>", or 0 for any other name.
static i64 agent_group_owner(const char* name)
{
    static constexpr char prefix[] = "cindervox-";
    i64 len = text_length_max(name, 64);
    if (len < (i64)sizeof(prefix) - 1 || !bytes_equal(name, prefix, sizeof(prefix) - 1))
        return 0;
    i64 marker = find_bytes(name, len, sizeof(prefix) - 1, "-agent", 6);
    if (marker <= (i64)sizeof(prefix) - 1)
        return 0;
    i64 pid = 0;
    for (i64 i = sizeof(prefix) - 1; i < marker; i++) {
        if (name[i] < '0' || name[i] > '9' || pid > 99999999)
            return 0;
        pid = pid * 10 + (name[i] - '0');
    }
    return pid;
}

static bool process_exists(i64 pid)
{
    char path[32];
    i64 pos = append_text(path, 0, "/proc/");
    pos = append_decimal(path, pos, pid);
    append_byte(path, pos, 0);
    return file_exists(path);
}

// Start-up only; the records of one read of a directory.
alignas(8) static constinit char sweep_entries[4096] {};

// Removes the subdirectories of dir whose names start with "cindervox-", once each.
static void remove_run_groups_in(const char* dir)
{
    i64 fd = sys_open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0)
        return;
    for (;;) {
        i64 len = sys_getdents64((int)fd, sweep_entries, sizeof(sweep_entries));
        if (len <= 0)
            break;
        for (i64 at = 0; at < len;) {
            const dirent64_k* entry = (const dirent64_k*)(sweep_entries + at);
            at += entry->reclen;
            if (entry->type == DT_DIR && bytes_equal(entry->name, "cindervox-", 10))
                sys_unlinkat((int)fd, entry->name, AT_REMOVEDIR);
        }
    }
    sys_close((int)fd);
}

// Stale groups gathered per pass of the sweep; a pass that found as many reads again.
static constexpr i64 k_sweep_batch = 128;

// The stale agent groups of one read of the memory root, at most k_sweep_batch, into names.
static i64 gather_stale_groups(char (*names)[k_cgroup_path_size])
{
    i64 count = 0;
    i64 fd = sys_open(k_memory_root, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    for (;;) {
        i64 len = sys_getdents64((int)fd, sweep_entries, sizeof(sweep_entries));
        if (len <= 0)
            break;
        for (i64 at = 0; at < len && count < k_sweep_batch;) {
            const dirent64_k* entry = (const dirent64_k*)(sweep_entries + at);
            at += entry->reclen;
            i64 owner = agent_group_owner(entry->name);
            if (owner == 0 || owner == sys_getpid() || process_exists(owner))
                continue;
            i64 pos = append_text(names[count], 0, k_memory_root);
            pos = append_byte(names[count], pos, '/');
            pos = append_bytes(names[count], pos, entry->name, text_length_max(entry->name, 64));
            append_byte(names[count], pos, 0);
            count++;
        }
    }
    sys_close((int)fd);
    return count;
}

// The names are gathered first: removing entries while reading the directory may make the
// reader skip some. A pass that removes nothing ends the sweep, so a group that cannot go
// is not tried forever.
void agent_cgroups_sweep()
{
    static constinit char names[k_sweep_batch][k_cgroup_path_size] {};
    for (;;) {
        i64 count = gather_stale_groups(names);
        i64 removed = 0;
        for (i64 i = 0; i < count; i++) {
            remove_run_groups_in(names[i]);
            removed += sys_rmdir(names[i]) == 0 ? 1 : 0;
        }
        if (count < k_sweep_batch || removed == 0)
            return;
    }
}
