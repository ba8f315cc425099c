// A control group per kernel-mode run: the run's memory (swap included) and process count
// bounded for the run as a whole. The cgroup v1 memory and pids controllers are used where
// they are mounted under /sys/fs/cgroup; the jail's init joins both before anything of the
// command runs, and the server removes them once the run has been reaped. An out-of-memory
// event in the run's group is signalled on an eventfd the runner watches.
//
// The memory group of a run of an agent with a slot sits inside that agent's own memory
// group, made on the agent's first run, bounded by workspace_mb + max_mem_mb and kept
// until the agent leaves the registry or the server stops. Pages a run writes into the agent's workspace (a tmpfs) are charged
// to the run's group and, with the hierarchy the kernel keeps, to every group above it;
// when the run's group is removed its leftover charges stay counted in the agent's group
// until the files are deleted or the workspace is unmounted. So an agent's workspace holds
// memory charged to that agent, bounded with its runs.
#pragma once
#include "runtime/types.h"

// "/sys/fs/cgroup/memory/cindervox-<pid>-agent<slot>/cindervox-<pid>-<run>" and a NUL.
constexpr i64 k_cgroup_path_size = 128;

struct RunCgroup {
    // The "tasks" file of the memory and the pids group, opened for the init to join; -1
    // when the group was not made.
    int memory_procs_fd;
    int pids_procs_fd;
    // Readable once the memory group ran out of memory; -1 without a memory group.
    int oom_event_fd;
    char memory_dir[k_cgroup_path_size];
    char pids_dir[k_cgroup_path_size];
};

// Start-up (as root): 1 when both controllers are there. Prints nothing.
i64 run_cgroups_available();

// Start-up: the table of the agents' memory groups, one per agent slot (state.max_agents).
void agent_cgroups_init();

// Makes the run's groups with a memory bound of memory_bytes (memory and swap) and a task
// bound of max_tasks. agent_slot >= 0 puts the memory group inside the agent's group,
// made first if needed, or bounded anew when agent_memory_bytes changed; agent_slot < 0
// (a run without a slot) puts it at the top. Returns 1 when both groups were made; on
// failure nothing of the run is left.
i64 run_cgroup_create(RunCgroup* group, i64 run_id, i64 memory_bytes, i64 max_tasks, i64 agent_slot, i64 agent_memory_bytes);

// The agent's memory group as made ("" when none), NUL-terminated in out
// (k_cgroup_path_size bytes); returns its length.
i64 agent_cgroup_path(i64 agent_slot, char* out);

// At an orderly stop, once no run is left: removes the agents' groups.
void agent_cgroups_remove();

// Removes the slot's memory group when it has no run group inside (the slot's agent left
// or was reset); a group that still holds a run stays, and the slot's next run uses it.
// Waits for nothing.
void agent_cgroup_release(i64 agent_slot);

// Start-up: removes the agent groups, and the empty run groups inside them, that servers
// killed before their orderly stop left behind: those named after a pid that no longer
// exists. rmdir takes only a group without tasks or children, so nothing in use goes.
void agent_cgroups_sweep();

// The calling process joins the groups. Returns 0 or the negated errno. (The jail's init
// joins through the same "tasks" descriptors itself, exec/confinement.h.)
i64 run_cgroup_join(const RunCgroup* group);

// Bounds the run's groups anew: memory (and swap) memory_bytes, tasks max_tasks. Returns 1
// when both took the new bounds.
i64 run_cgroup_rebound(const RunCgroup* group, i64 memory_bytes, i64 max_tasks);

// 1 when the run's memory group has had an out-of-memory kill.
i64 run_cgroup_oom_happened(const RunCgroup* group);

// Closes the descriptors and removes the groups; the run's processes are all gone.
void run_cgroup_remove(RunCgroup* group);
