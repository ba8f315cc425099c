// The child side of a run: named confinement steps ending in execve of /bin/sh, or in exit
// status 127 when a step fails, so a command never runs with less confinement than planned.
//
// Kernel mode: the server clones the jail's init into new mount, network, PID and IPC
// namespaces. The init shares the server's memory (CLONE_VM) but runs on a stack of its own,
// alongside the server, which drains the output meanwhile. It makes the mount tree private,
// mounts the run's tmpfs, enters the jail and starts the shell vfork-style; then it reaps
// until the shell has ended, records the shell's wait status in the plan and exits. As PID 1
// of the namespace its exit makes the kernel kill whatever the command left running there.
// The shell gives up root for the agent's own uid (sandbox_uid_for_agent) before it limits
// itself and installs the filter.
//
// Basic mode: the server starts the shell itself, vfork-style, in a session of its own so the
// server can kill its process group afterwards.
//
// Neither child writes to the server's memory beyond its own stack and, for the init, the
// plan's shell_status, which the server reads only after it has reaped the init.
#pragma once
#include "exec/seccomp_filter.h"
#include "runtime/abi.h"
#include "runtime/types.h"

// The command's own identity in kernel mode: not root (root leaves a chroot, remounts the
// read-only binds and ignores RLIMIT_NPROC) and not nobody (shared with other services).
// Each agent slot has a uid of its own, so RLIMIT_NPROC (counted per uid) holds per agent
// and one agent's processes cannot signal or trace another's; runs without a slot share
// the one uid past the slots. The group is the same number.
constexpr u32 k_sandbox_uid_base = 60000;

// The uid (and gid) a run of the agent in registry slot `slot` runs under; a slot below 0
// or past the registry gives the shared uid of runs without an agent.
u32 sandbox_uid_for_agent(i64 slot);

// The command as the shell gets it: at most 4095 bytes and a NUL.
constexpr i64 k_command_buffer = 4096;
// Inode bound of the per-run tmpfs.
constexpr i64 k_tmpfs_inodes = 4096;
// "size=" + up to 20 digits + "m,nr_inodes=4096,mode=1777" + NUL.
constexpr i64 k_tmpfs_options_size = 64;
constexpr i64 k_limit_slots = 5;

struct LimitSetting {
    int resource;
    u64 value;
};

// Private stacks of one run's two children; see above for who runs on which, and when.
// Runs in parallel need a pair each.
constexpr i64 k_child_stack_size = 32768;
struct ChildStacks {
    alignas(16) char init[k_child_stack_size];
    alignas(16) char shell[k_child_stack_size];
};

struct LaunchPlan {
    i64 kernel_mode;
    // Identity of the command in kernel mode (set by the caller after plan_launch).
    u32 uid;
    int stdin_fd;
    int output_fd;
    LimitSetting limits[k_limit_slots];
    i64 limit_count;
    char tmpfs_options[k_tmpfs_options_size];
    char command[k_command_buffer];
    sock_filter_k filter[k_seccomp_filter_max];
    i64 filter_len;
    // The stacks of this run's children (set by launch_confined).
    ChildStacks* stacks;
    // Wait status of the shell, written by the jail's init; -1 until then.
    int shell_status;
    // The confinement step that failed, and its negated errno, written by the child that
    // gave up (both children share the server's memory until the shell's execve).
    const char* failed_step;
    i64 failed_error;
};

// Fills the plan for one command from the server's isolation mode and limits. stdin_fd and
// output_fd become the command's descriptor 0 and descriptors 1 and 2. Pure.
void plan_launch(LaunchPlan* plan, const char* cmd, i64 cmd_len, int stdin_fd, int output_fd);

// Starts the child the plan describes on the given stacks: the jail's init in kernel mode,
// the shell in basic mode. Returns its pid and stores a pidfd for it in *pidfd, or returns
// -errno. The plan and the stacks must stay untouched until the child has been reaped.
i64 launch_confined(LaunchPlan* plan, ChildStacks* stacks, int* pidfd);
