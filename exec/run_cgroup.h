// A control group per kernel-mode run: the run's memory (swap included) and process count
// bounded for the run as a whole. The cgroup v1 memory and pids controllers are used where
// they are mounted under /sys/fs/cgroup; the jail's init joins both before anything of the
// command runs, and the server removes them once the run has been reaped. An out-of-memory
// event in the run's group is signalled on an eventfd the runner watches.
#pragma once
#include "runtime/types.h"

constexpr i64 k_cgroup_path_size = 96;

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

// Makes the run's groups with a memory bound of memory_bytes (memory and swap) and a task
// bound of max_tasks. Returns 1 when both groups were made; on failure nothing is left.
i64 run_cgroup_create(RunCgroup* group, i64 run_id, i64 memory_bytes, i64 max_tasks);

// The calling process joins the groups (the jail's init, before it starts the shell).
// Returns 0 or the negated errno.
i64 run_cgroup_join(const RunCgroup* group);

// 1 when the run's memory group has had an out-of-memory kill.
i64 run_cgroup_oom_happened(const RunCgroup* group);

// Closes the descriptors and removes the groups; the run's processes are all gone.
void run_cgroup_remove(RunCgroup* group);
