// The child side of a run: named confinement steps ending in execve of /bin/sh, or in exit
// status 127 when a step fails, so a command never runs with less confinement than planned.
//
// Jail modes (kernel, and rootless inside the server's user namespace; exec/jail.h): the
// server clones the jail's init into new PID, IPC and mount namespaces. The init shares
// the server's memory (CLONE_VM) but runs on a stack of its own, alongside the server. It
// works in two halves. Prepared, it needs nothing of a command or an agent: as root it
// takes a private copy of the jail's template mount namespace (exec/jail.h), which holds
// the jail alone; it joins the run's control groups, keeps only its control socket of the
// server's descriptors, mounts the run's /proc and /dev/shm (rootless, in its copy of the
// server's tree, which it then pivots into the jail root, dropping the rest) and builds its
// Landlock ruleset; then it reports "ready" and waits on the socket. This may happen long before a command arrives (exec/prepared_runs.h)
// or just before it. Bound, it receives the command's descriptors and the agent's places
// (jail_init_bind): it joins the agent's network namespace (exec/agent_network.h), mounts
// the agent's workspace on its /tmp from a detached copy the server made, rootless enters
// the agent's user namespace, and enters its Landlock domain. It starts the shell
// vfork-style, reaps until the shell has ended, kills and reaps whatever the command left,
// records the shell's wait status in the plan, reports the end and exits. As PID 1 of the
// namespace its exit would end anything left there anyway. As root the shell gives up root
// for the agent's own uid (sandbox_uid_for_agent) before it limits itself and installs the
// filter; rootless it already runs as that uid in the agent's user namespace.
//
// Basic mode without namespaces: the server starts the shell itself, vfork-style, in a
// session of its own so the server can kill its process group afterwards. It starts in
// the agent's workspace directory, and Landlock (exec/landlock.h) keeps it from the rest
// of the server's files. RLIMIT_NPROC counts every process of the server's uid there, so
// the limit is the uid's count when the run starts plus the profile's max_procs: the run
// can add at most that many.
//
// Every mode enters its Landlock domain before the filter: the jail's init once its /tmp
// is mounted (so the places it mounted are named as the run sees them), the plain shell
// before its descriptors are reduced (the ruleset is one of them).
//
// The shell installs the filter last. Where the kernel offers listeners, it installs it
// with one and sends it to the server over the run's socket pair (exec/seccomp_notice.h);
// the pair's child end survives the reduction of the descriptors as descriptor 3, close-
// on-exec, until then.
//
// Neither child writes to the server's memory beyond its own stack and, for the init, its
// JailInit record and the plan's shell_status, which the server reads only after the init
// reported the end or was reaped.
#pragma once
#include "agents/registry.h"
#include "core/config.h"
#include "exec/jail.h"
#include "exec/run_cgroup.h"
#include "exec/sandbox_runner.h"
#include "exec/seccomp_filter.h"
#include "exec/seccomp_notice.h"
#include "exec/workspace.h"
#include "runtime/abi.h"
#include "runtime/types.h"

// The command's own identity in kernel mode: not root (root leaves a chroot, remounts the
// read-only binds and ignores RLIMIT_NPROC) and not nobody (shared with other services).
// Each agent slot has a uid of its own, so RLIMIT_NPROC (counted per uid) holds per agent
// and one agent's processes cannot signal or trace another's; runs without a slot share
// the one uid past the slots (uid_base + max_agents). The group is the same number. The
// first of them is uid_base (default 60000), so that several servers on one host keep their
// agents apart; start-up claims the range (exec/agent_uids.h). A slot's uid passes to the
// next agent that takes the slot only once the last one's runs have ended.

// The uid (and gid) a run of the agent in registry slot `slot` runs under; a slot below 0
// or past the registry gives the shared uid of runs without an agent.
u32 sandbox_uid_for_agent(i64 slot);

// The variables the server sets itself (k_command_environment, TMPDIR) come first, then
// the request's (at most k_env_entries_max, exec/sandbox_runner.h), then the NULL.
constexpr i64 k_server_variables_max = 4;
constexpr i64 k_environment_slots = k_server_variables_max + k_env_entries_max + 1;
// Inode bound of the per-run tmpfs (the /tmp of a run without a workspace).
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

// Memory a plan copies into, owned by its caller and sized from the settings: the command
// with its NUL (command_size bytes, max_cmd_bytes + 1 for runs), the request's variables
// (k_env_bytes_max) and the environment's pointers (k_environment_slots). The children read
// them until the shell's execve, so they must not live in a connection's memory, which a
// cancelled run's connection hands back while its children may still be starting.
struct PlanBuffers {
    char* command;
    i64 command_size;
    char* env_text;
    const char** environment;
};

struct LaunchPlan {
    JailMode jail_mode;
    // Identity of the command in the jail modes (set by the caller after plan_launch).
    u32 uid;
    // The agent's workspace, or empty for a fresh tmpfs of the run's own (set by the
    // caller after plan_launch).
    char workspace[k_workspace_path_size];
    // The run's control groups, or nullptr (set by the caller after plan_launch, through
    // plan_memory_group); the jail's init has joined them while it was prepared.
    const RunCgroup* cgroup;
    // Whether the kill list reports to a listener (exec/seccomp_notice.h), and the ends of
    // the socket pair that carries it: the server keeps notice_fd once the launch has
    // returned; the child's end is closed there. -1 without a listener.
    bool reports_kills;
    int notice_fd;
    int notice_child_fd;
    int stdin_fd;
    int stdout_fd;
    int stderr_fd;
    LimitSetting limits[k_limit_slots];
    i64 limit_count;
    char tmpfs_options[k_tmpfs_options_size];
    // Where the command and the request's environment are copied (set by the caller
    // before plan_launch; see PlanBuffers).
    PlanBuffers buffers;
    // The request's variables: "NAME=value" entries, each with its NUL (in buffers).
    i64 env_len;
    i64 env_count;
    // The working directory relative to the run's /tmp; empty for /tmp itself.
    char cwd[k_cwd_max + 1];
    sock_filter_k filter[k_seccomp_filter_max];
    i64 filter_len;
    // The Landlock ABI the run's domain uses (0: no domain), and in plain basic mode the
    // ruleset the server prepared for it, or -1 (set by launch_confined).
    i64 landlock_abi;
    int landlock_fd;
    // The command's environment: in plain basic mode HOME and TMPDIR name the agent's
    // workspace (set by launch_confined from the workspace).
    char home_variable[k_workspace_path_size + 8];
    char tmpdir_variable[k_workspace_path_size + 8];
    // The stacks of this run's children (set by launch_confined or jail_init_bind).
    ChildStacks* stacks;
    // Wait status of the shell, written by the jail's init; -1 until then.
    int shell_status;
    // The confinement step that failed, and its negated errno, written by the child that
    // gave up (both children share the server's memory until the shell's execve), or by
    // launch_confined when the child could not be made.
    const char* failed_step;
    i64 failed_error;
};

// What one run asks for: the command, its variables ("NAME=value" entries with their NULs,
// count of them), its working directory relative to /tmp ("" for /tmp) and the limits of
// the profile that holds for it. Plain basic mode: the server's uid's task count as it
// was prepared shortly before (the base of the process limit), or -1 to count it now.
struct LaunchRequest {
    ByteSpan cmd;
    ByteSpan env;
    i64 env_count;
    ByteSpan cwd;
    RunLimits limits;
    i64 uid_tasks = -1;
};

// The run has control groups: the plan joins them, and its memory group bounds the run as a
// whole, so the address-space limit goes (runtimes such as V8 and the JVM reserve far more
// address space than they use, and die under a cap that their memory would fit). Pure.
void plan_memory_group(LaunchPlan* plan, const RunCgroup* group);

// The descriptors that become the command's 0, 1 and 2 (stdout_fd and stderr_fd may be
// the same pipe).
struct LaunchStreams {
    int stdin_fd;
    int stdout_fd;
    int stderr_fd;
};

// Fills the plan for one command from the jail's mode and the request's limits, copying the
// command and variables into plan->buffers. False, with the plan's failed step set, when
// one of them does not fit (nothing is cut). Pure.
bool plan_launch(LaunchPlan* plan, const LaunchRequest& request, const LaunchStreams& streams);

// The environment every command gets, before the request's own variables; in plain basic
// mode with a workspace HOME names the workspace and TMPDIR is added (fill_environment).
constexpr const char* k_command_environment[] = { "PATH=/usr/bin:/bin", "HOME=/tmp", "TERM=dumb", nullptr };
static_assert(sizeof(k_command_environment) / sizeof(k_command_environment[0]) <= k_server_variables_max);

// Whether the server sets the variable name itself (PATH, HOME, TERM, and TMPDIR in plain
// basic mode), so that a request may not.
bool server_sets_variable(ByteSpan name);

// The confinement layers of a run, in the order it enters them, as --check, the banner
// and the health report name them. Pure.
constexpr i64 k_layers_max = 5;
struct ConfinementLayers {
    const char* names[k_layers_max];
    i64 count;
};
ConfinementLayers confinement_layers(JailMode mode, i64 landlock_abi);
// Appends the names joined by sep; they take at most k_layers_text_max bytes with a
// separator of up to 3 bytes. Returns the new position.
constexpr i64 k_layers_text_max = 64;
i64 append_layer_names(char* out, i64 pos, const ConfinementLayers& layers, const char* sep);

// Whether a command may run: in a jail, or in a Landlock domain, or because the
// configuration allows commands without either (allow_unconfined=yes).
bool commands_confinable();

// Threads the uid runs now (every process of it, the server's included), as RLIMIT_NPROC
// counts them: the base of the plain basic mode's process limit.
i64 count_uid_tasks(u32 uid);

// Basic mode without namespaces: starts the shell the plan describes on the given stacks.
// Returns its pid and stores a pidfd for it in *pidfd, or returns -errno and names the step
// that failed (the notice socket pair, the Landlock rules, the clone) as the plan's failed
// step. The plan and the stacks must stay untouched until the child has been reaped.
i64 launch_confined(LaunchPlan* plan, ChildStacks* stacks, int* pidfd);

// The jail's init's descriptors: its control socket to the server (close-on-exec), and its
// prepared Landlock ruleset until it enters the domain. The command's standard descriptors
// and the notice socket (k_notice_descriptor) lie below them.
constexpr int k_control_descriptor = 4;
constexpr int k_ruleset_descriptor = 5;
static_assert(k_control_descriptor > k_notice_descriptor && k_ruleset_descriptor > k_control_descriptor);

// What the init says on its control socket: prepared and waiting, or its run has ended
// (the shell and every process of the command gone, the status in the plan).
constexpr char k_report_ready = 'R';
constexpr char k_report_ended = 'E';

// One jail init: its stacks and what it shares with the server. The record must stay
// untouched until the init has been reaped.
struct JailInit {
    ChildStacks stacks;
    // Set before jail_init_start: the "tasks" files of the run's control groups (-1 for
    // none), as the server's descriptors; the init joins them while it prepares.
    int memory_procs_fd;
    int pids_procs_fd;
    // The control socket's child end while the clone copies it (set by jail_init_start).
    int control_child_fd;
    // Set before jail_init_bind when the run's groups are other than those the init joined
    // while it prepared: their "tasks" files (the server's descriptors), which go with the
    // command and which the init joins before the shell starts; -1 for none. A process
    // moving itself ("0") costs the kernel no wait for readers of the global threadgroup
    // lock, which moving another's pid does (an RCU grace period, milliseconds).
    int join_memory_fd;
    int join_pids_fd;
    // Set by jail_init_bind before it sends the command: the plan, and which descriptors
    // the message carries beyond the standard three and the agent's network namespace.
    LaunchPlan* plan;
    bool sends_notice;
    bool sends_user_namespace;
    bool sends_workspace;
    bool sends_groups;
    // The preparation step that failed and its negated errno; nullptr while none has.
    const char* failed_step;
    i64 failed_error;
};

// Clones the init onto init's stacks; it prepares itself at once and then waits for a
// command. Returns its pid, with a pidfd in *pidfd and the server's end of the control
// socket (non-blocking, close-on-exec) in *control_fd; or -errno, naming the failed step
// in init.
i64 jail_init_start(JailInit* init, int* pidfd, int* control_fd);

// Hands the plan's command to a started init, prepared or still preparing: sends the
// command's standard descriptors (the plan's), the notice socket pair's child end, the
// agent's network namespace, rootless its user namespace, a detached copy of its
// workspace's mount, and the groups to join when init names any. Returns 0, or -errno with the failed step named in the plan; then
// nothing was sent and the init waits on, unbound.
i64 jail_init_bind(JailInit* init, LaunchPlan* plan, int control_fd);

enum InitReport { k_init_quiet, k_init_ready, k_init_ended, k_init_gone };
// Reads one report of the init without waiting: k_init_quiet when none is there now,
// k_init_gone at the end of the socket (the init has ended or is ending).
InitReport jail_init_read_report(int control_fd);
