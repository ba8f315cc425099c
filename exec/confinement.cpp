// The confinement steps of the jail's init and of the shell, and the plan they follow.
#include "exec/confinement.h"
#include "agents/registry.h"
#include "core/state.h"
#include "exec/agent_network.h"
#include "exec/jail.h"
#include "exec/landlock.h"
#include "exec/seccomp_notice.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constexpr int k_exit_not_started = 127;

// The limits table in the order they are set. RLIMIT_NPROC counts per uid (and user
// namespace): in the jail modes the agent's uid is the run's own; in plain basic mode the
// run shares the server's uid, so the uid's count at the start is added (count_uid_tasks).
struct LimitRow {
    int resource;
    i64 RunLimits::*setting;
    i64 scale;
    bool per_uid;
};
static constexpr LimitRow k_limit_rows[] = {
    { RLIMIT_CPU, &RunLimits::max_cpu_sec, 1, false },
    { RLIMIT_AS, &RunLimits::max_mem_mb, 1048576, false },
    { RLIMIT_NPROC, &RunLimits::max_procs, 1, true },
    { RLIMIT_FSIZE, &RunLimits::max_fsize, 1, false },
    { RLIMIT_NOFILE, &RunLimits::max_nofile, 1, false },
};
static_assert(sizeof(k_limit_rows) / sizeof(k_limit_rows[0]) == k_limit_slots);

ConfinementLayers confinement_layers(JailMode mode, i64 landlock_abi)
{
    ConfinementLayers layers {};
    if (mode != k_jail_none) {
        layers.names[layers.count++] = "namespaces";
        layers.names[layers.count++] = "jail";
    }
    layers.names[layers.count++] = "rlimits";
    if (landlock_abi > 0)
        layers.names[layers.count++] = "landlock";
    layers.names[layers.count++] = "seccomp";
    return layers;
}

// "namespaces", "jail", "rlimits", "landlock", "seccomp" (38 bytes) and four separators.
static_assert(38 + 4 * 3 < k_layers_text_max);

i64 append_layer_names(char* out, i64 pos, const ConfinementLayers& layers, const char* sep)
{
    for (i64 i = 0; i < layers.count; i++) {
        if (i > 0)
            pos = append_text(out, pos, sep);
        pos = append_text(out, pos, layers.names[i]);
    }
    return pos;
}

bool commands_confinable() { return jail.mode != k_jail_none || landlock_abi() > 0 || state.allow_unconfined == 1; }

u32 sandbox_uid_for_agent(i64 slot)
{
    u32 base = (u32)state.uid_base;
    if (slot < 0 || slot >= state.max_agents)
        return base + (u32)state.max_agents;
    return base + (u32)slot;
}

// "Uid:" and "Threads:" of one /proc/<pid>/status text; the first number after each key.
static i64 status_number(const char* text, i64 len, const char* key)
{
    i64 at = find_bytes(text, len, 0, key, text_length(key));
    if (at < 0)
        return -1;
    i64 value = 0;
    i64 i = at + text_length(key);
    while (i < len && (text[i] == '\t' || text[i] == ' '))
        i++;
    for (; i < len && text[i] >= '0' && text[i] <= '9'; i++)
        value = value * 10 + (text[i] - '0');
    return value;
}

static i64 tasks_of_process(int proc, const char* pid, u32 uid)
{
    char path[32];
    i64 name_len = text_length_max(pid, 20);
    append_byte(path, append_text(path, append_bytes(path, 0, pid, name_len), "/status"), 0);
    i64 fd = sys_openat(proc, path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    char text[2048];
    i64 len = sys_read((int)fd, text, sizeof(text));
    sys_close((int)fd);
    if (len <= 0 || status_number(text, len, "\nUid:") != (i64)uid)
        return 0;
    i64 threads = status_number(text, len, "\nThreads:");
    return threads > 0 ? threads : 1;
}

i64 count_uid_tasks(u32 uid)
{
    i64 proc = sys_open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (proc < 0)
        return 0;
    alignas(8) char entries[4096];
    i64 tasks = 0;
    for (;;) {
        i64 len = sys_getdents64((int)proc, entries, sizeof(entries));
        if (len <= 0)
            break;
        for (i64 at = 0; at < len;) {
            const dirent64_k* entry = (const dirent64_k*)(entries + at);
            at += entry->reclen;
            if (entry->name[0] >= '1' && entry->name[0] <= '9')
                tasks += tasks_of_process((int)proc, entry->name, uid);
        }
    }
    sys_close((int)proc);
    return tasks;
}

// A setting times its unit; a product past 64 bits saturates (the kernel's "no limit").
static u64 scaled_limit(i64 setting, i64 scale)
{
    u64 value = (u64)setting;
    return value > ~0ul / (u64)scale ? ~0ul : value * (u64)scale;
}

// The request's command, variables and directory into the plan, whole or not at all.
static bool copy_request(LaunchPlan* plan, const LaunchRequest& request)
{
    const PlanBuffers& buffers = plan->buffers;
    if (request.cmd.len >= buffers.command_size || request.env.len > k_env_bytes_max || request.env_count > k_env_entries_max ||
        request.cwd.len > k_cwd_max)
        return false;
    if (request.env.len > 0 && (buffers.env_text == nullptr || buffers.environment == nullptr))
        return false;
    copy_bytes(buffers.command, request.cmd.ptr, request.cmd.len);
    buffers.command[request.cmd.len] = 0;
    if (request.env.len > 0)
        copy_bytes(buffers.env_text, request.env.ptr, request.env.len);
    plan->env_len = request.env.len;
    plan->env_count = request.env_count;
    copy_bytes(plan->cwd, request.cwd.ptr, request.cwd.len);
    plan->cwd[request.cwd.len] = 0;
    return true;
}

bool plan_launch(LaunchPlan* plan, const LaunchRequest& request, const LaunchStreams& streams)
{
    plan->jail_mode = jail.mode;
    bool jailed = plan->jail_mode != k_jail_none;
    plan->uid = sandbox_uid_for_agent(-1);
    plan->workspace[0] = 0;
    plan->cgroup = nullptr;
    plan->notice_fd = -1;
    plan->notice_child_fd = -1;
    plan->stdin_fd = streams.stdin_fd;
    plan->stdout_fd = streams.stdout_fd;
    plan->stderr_fd = streams.stderr_fd;
    plan->limit_count = 0;
    for (const LimitRow& row : k_limit_rows) {
        i64 setting = request.limits.*row.setting;
        if (row.per_uid && !jailed) {
            i64 base = request.uid_tasks >= 0 ? request.uid_tasks : count_uid_tasks((u32)sys_getuid());
            setting = setting > k_i64_max - base ? k_i64_max : setting + base;
        }
        plan->limits[plan->limit_count++] = { row.resource, scaled_limit(setting, row.scale) };
    }
    // The /tmp of a run without a workspace; tmpfs reads size=0 as "no bound", so the
    // bound never drops below one MiB.
    i64 tmpfs_mb = request.limits.max_mem_mb > 0 ? request.limits.max_mem_mb : 1;
    i64 pos = append_text(plan->tmpfs_options, 0, "size=");
    pos = append_decimal(plan->tmpfs_options, pos, tmpfs_mb);
    pos = append_text(plan->tmpfs_options, pos, "m,nr_inodes=");
    pos = append_decimal(plan->tmpfs_options, pos, k_tmpfs_inodes);
    pos = append_text(plan->tmpfs_options, pos, ",mode=1777");
    append_byte(plan->tmpfs_options, pos, 0);
    // In basic isolation the command could otherwise signal the server it runs beside.
    plan->landlock_abi = landlock_abi();
    plan->landlock_fd = -1;
    GuardedProcess guarded {};
    if (!jailed)
        guarded = { (u32)sys_getpid(), (u32)sys_getpgid(0), landlock_scopes_signals(plan->landlock_abi) };
    plan->reports_kills = seccomp_notice_usable();
    FilterSettings filter { guarded, jailed ? k_network_namespace : k_network_host,
        plan->reports_kills ? k_kill_by_listener : k_kill_in_kernel };
    plan->filter_len = build_seccomp_filter(plan->filter, filter);
    plan->shell_status = -1;
    plan->failed_step = nullptr;
    plan->failed_error = 0;
    if (copy_request(plan, request))
        return true;
    plan->failed_step = "command and environment copy";
    plan->failed_error = -E2BIG;
    return false;
}

bool server_sets_variable(ByteSpan name)
{
    for (const char* entry : k_command_environment) {
        if (entry == nullptr)
            break;
        i64 equals = find_bytes(entry, text_length(entry), 0, "=", 1);
        if (equals == name.len && bytes_equal(entry, name.ptr, name.len))
            return true;
    }
    return jail.mode == k_jail_none && span_equals(name, "TMPDIR");
}

void plan_memory_group(LaunchPlan* plan, const RunCgroup* group)
{
    plan->cgroup = group;
    i64 kept = 0;
    for (i64 i = 0; i < plan->limit_count; i++)
        if (plan->limits[i].resource != RLIMIT_AS)
            plan->limits[kept++] = plan->limits[i];
    plan->limit_count = kept;
}

static void* stack_top(char* stack) { return stack + k_child_stack_size; }

// Each step returns 0 or the negated errno of the call that failed.

// The child's end of the notice socket pair moves to k_notice_descriptor, once the
// standard descriptors hold what they need (a source among 0 to 2 is never the pair's:
// launch_confined keeps it above them). Returns the first descriptor to close.
static i64 keep_notice_socket(const LaunchPlan* plan)
{
    if (plan->notice_child_fd < 0)
        return k_notice_descriptor;
    if (plan->notice_child_fd != k_notice_descriptor) {
        i64 result = sys_dup3(plan->notice_child_fd, k_notice_descriptor, O_CLOEXEC);
        if (result < 0)
            return result;
    }
    return k_notice_descriptor + 1;
}

// Descriptor 0 is the input (the request's stdin pipe, or nothing), 1 and 2 the output
// pipes (one pipe for both when the streams are merged), and nothing else of the server's
// stays open but the notice socket. The server opens everything close-on-exec, but the jail's init never execs,
// and a descriptor missed there would reach the shell (another run's stdin pipe, held open
// here, would never see its end).
static i64 attach_descriptors(const LaunchPlan* plan)
{
    i64 result = sys_dup2(plan->stdin_fd, 0);
    if (result >= 0)
        result = sys_dup2(plan->stdout_fd, 1);
    if (result >= 0)
        result = sys_dup2(plan->stderr_fd, 2);
    if (result >= 0)
        result = keep_notice_socket(plan);
    if (result >= 0)
        result = sys_close_range((unsigned)result, ~0u, 0);
    return result < 0 ? result : 0;
}

// The run's own /proc and /dev/shm, mounted in the run's private copy of the mount tree, so
// neither is seen anywhere else; the jail's /tmp waits for the command.
static i64 mount_run_places(const char* proc, const char* shm)
{
    i64 result = sys_mount("proc", proc, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
    if (result == 0)
        result = sys_mount("tmpfs", shm, "tmpfs", MS_NOSUID | MS_NODEV, "size=16m,nr_inodes=256,mode=1777");
    return result;
}

// The template namespace holds the jail alone, its root the jail's: entering it puts the
// init at the jail's /, and unsharing gives the run a copy of its own to mount in. The
// descriptor is the server's, so this comes before the init closes them.
static i64 enter_template_namespace()
{
    i64 result = sys_setns(jail.template_mount_fd, CLONE_NEWNS);
    if (result == 0)
        result = sys_unshare(CLONE_NEWNS);
    if (result == 0)
        result = sys_chdir("/");
    return result;
}

// pivot_root rather than chroot: once the old root is detached the run's namespace holds
// the jail alone, so a command that gains chroot in a user namespace of its own finds
// nothing above the jail's / to climb to. pivot_root(".", ".") stacks the old root on the
// new one, and the detaching unmount of "." takes it away. Without the template, the run's
// copy of the server's tree is pivoted so.
static i64 enter_jail()
{
    if (jail.template_mount_fd >= 0)
        return mount_run_places("/proc", "/dev/shm");
    i64 result = mount_run_places(jail.layout.root_proc, jail.layout.root_shm);
    if (result == 0)
        result = sys_chdir(jail.layout.root);
    if (result == 0)
        result = sys_pivot_root(".", ".");
    if (result == 0)
        result = sys_umount2(".", MNT_DETACH);
    if (result == 0)
        result = sys_chdir("/");
    return result;
}

// The jail's /tmp: the agent's workspace, a detached copy of its mount that the server
// made (the jail holds nothing of the server's tree to bind it from), or a fresh tmpfs for
// a run without one.
static i64 mount_run_tmp(const LaunchPlan* plan, int workspace_fd)
{
    if (workspace_fd >= 0)
        return sys_move_mount(workspace_fd, "", AT_FDCWD, "/tmp", MOVE_MOUNT_F_EMPTY_PATH);
    return sys_mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, plan->tmpfs_options);
}

// The index of the run's agent among the per-agent namespaces: its slot, or max_agents
// for runs without one (sandbox_uid_for_agent).
static i64 agent_index(const LaunchPlan* plan) { return (i64)(plan->uid - (u32)state.uid_base); }


// After the pivot: as root the command could remount the read-only binds and ignore
// RLIMIT_NPROC. Changing every uid from root clears the
// capability sets.
static i64 drop_privileges(const LaunchPlan* plan)
{
    i64 result = sys_setgroups(0, nullptr);
    if (result == 0)
        result = sys_setresgid(plan->uid, plan->uid, plan->uid);
    if (result == 0)
        result = sys_setresuid(plan->uid, plan->uid, plan->uid);
    return result;
}

// Soft limit = hard limit. A value above the inherited hard limit is lowered to it: an
// unprivileged process cannot raise a hard limit, and the inherited one is tighter anyway.
static i64 apply_limits(const LaunchPlan* plan)
{
    for (i64 i = 0; i < plan->limit_count; i++) {
        const LimitSetting& setting = plan->limits[i];
        rlimit_k inherited {};
        i64 result = sys_prlimit64(0, setting.resource, nullptr, &inherited);
        if (result < 0)
            return result;
        u64 value = setting.value < inherited.max ? setting.value : inherited.max;
        rlimit_k limit { value, value };
        result = sys_prlimit64(0, setting.resource, &limit, nullptr);
        if (result < 0)
            return result;
    }
    return 0;
}

// No-new-privileges first: without it the kernel refuses a domain from a process without
// CAP_SYS_ADMIN. The descriptor is the run's prepared ruleset.
static i64 enter_landlock(const LaunchPlan* plan, int ruleset_fd)
{
    i64 result = sys_prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    if (result < 0)
        return result;
    return landlock_enter(ruleset_fd, plan->jail_mode, plan->landlock_abi);
}

// No-new-privileges first: without it the kernel refuses a filter from an unprivileged
// process. With a listener, the listener goes to the server and the shell keeps no copy
// (nor the socket that carried it).
static i64 install_filter(const LaunchPlan* plan)
{
    i64 result = sys_prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    if (result < 0)
        return result;
    sock_fprog_k program { (u16)plan->filter_len, plan->filter };
    if (plan->notice_child_fd >= 0)
        return seccomp_install_reporting(&program, k_notice_descriptor);
    return sys_seccomp(SECCOMP_SET_MODE_FILTER, 0, &program);
}

// Ignored and blocked signals stay so across execve: the server ignores SIGPIPE and blocks
// SIGTERM and SIGINT (it reads them from a signalfd); commands must not inherit either (a
// pipeline such as "yes | head" ends by SIGPIPE, and a command must be interruptible).
static i64 restore_signal_defaults()
{
    sigaction_k action { SIG_DFL_HANDLER, 0, nullptr, 0 };
    i64 result = sys_rt_sigaction(SIGPIPE, &action, nullptr);
    u64 none = 0;
    if (result == 0)
        result = sys_rt_sigprocmask(SIG_SETMASK, &none, nullptr);
    return result;
}

// Records why the child gives up, for the server to report, and gives the exit status of
// a command that could not be started.
static int give_up(LaunchPlan* plan, const char* step, i64 error)
{
    plan->failed_step = step;
    plan->failed_error = error;
    return k_exit_not_started;
}

// A session of its own: the server kills the process group when the run ends, and the
// command has no controlling terminal of the server's.
static i64 start_session()
{
    i64 result = sys_setsid();
    return result < 0 ? result : 0;
}

static int confined_shell(void* arg)
{
    LaunchPlan* plan = (LaunchPlan*)arg;
    i64 result = 0;
    // The init's control socket is close-on-exec, but the shell runs the server's code
    // until its execve and needs no way to the server but its notice socket.
    if (plan->jail_mode != k_jail_none)
        sys_close(k_control_descriptor);
    if (plan->jail_mode == k_jail_none) {
        if (plan->landlock_fd >= 0 && (result = enter_landlock(plan, plan->landlock_fd)) < 0)
            return give_up(plan, "Landlock domain", result);
        if ((result = attach_descriptors(plan)) < 0)
            return give_up(plan, "descriptors", result);
        // Ends with the server: the shell is the server's own child here.
        if ((result = sys_prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0)) < 0)
            return give_up(plan, "parent-death signal", result);
        if ((result = sys_chdir(plan->workspace[0] != 0 ? plan->workspace : "/tmp")) < 0)
            return give_up(plan, "chdir to the workspace", result);
    }
    if ((result = start_session()) < 0)
        return give_up(plan, "new session", result);
    if (plan->jail_mode == k_jail_kernel && (result = drop_privileges(plan)) < 0)
        return give_up(plan, "privilege drop", result);
    // Only as the agent: its workspace is its own (mode 0700), closed even to a root that
    // holds no more than the capabilities the server needs.
    if (plan->jail_mode != k_jail_none && (result = sys_chdir("/tmp")) < 0)
        return give_up(plan, "chdir /tmp", result);
    // Relative to /tmp (the workspace), and as the agent, whose permissions it is to enter.
    if (plan->cwd[0] != 0 && (result = sys_chdir(plan->cwd)) < 0)
        return give_up(plan, k_step_working_directory, result);
    if ((result = restore_signal_defaults()) < 0)
        return give_up(plan, "signal defaults", result);
    if ((result = apply_limits(plan)) < 0)
        return give_up(plan, "resource limits", result);
    if ((result = install_filter(plan)) < 0)
        return give_up(plan, "seccomp filter", result);
    const char* argv[] = { "/bin/sh", "-c", plan->buffers.command, nullptr };
    result = sys_execve("/bin/sh", argv, plan->buffers.environment);
    return give_up(plan, "execve /bin/sh", result);
}

// Reaps every child, orphans of the namespace included, until the shell has ended;
// returns the shell's wait status.
static int reap_until(i64 shell)
{
    for (;;) {
        int status = 0;
        i64 pid = sys_wait4(-1, &status, __WALL, nullptr);
        if (pid == shell)
            return status;
        if (pid < 0 && pid != -EINTR)
            return k_exit_not_started << 8;
    }
}

// The shell has ended: whatever the command left running is killed, as the end of the
// namespace would, and reaped. No process of the run can fork once its kill is pending, so
// when the init has no child left, nothing of the command is.
static void end_leftovers()
{
    sys_kill(-1, SIGKILL);
    for (;;) {
        int status = 0;
        i64 pid = sys_wait4(-1, &status, __WALL, nullptr);
        if (pid == -ECHILD)
            return;
        if (pid < 0 && pid != -EINTR)
            return;
    }
}

// ---- the jail's init ------------------------------------------------------------------

static int give_up_preparing(JailInit* init, const char* step, i64 error)
{
    init->failed_step = step;
    init->failed_error = error;
    return k_exit_not_started;
}

// The groups are joined through the server's descriptors, which the clone copied; then
// the control socket moves to k_control_descriptor and every other descriptor of the
// server's is closed at once: a copy held here would keep another connection or another
// run's pipe open for as long as this init waits.
static i64 keep_control_socket(const JailInit* init)
{
    int groups[] = { init->memory_procs_fd, init->pids_procs_fd };
    for (int fd : groups) {
        // "0" is the writer itself, whatever its pid looks like from its namespace.
        i64 result = fd >= 0 ? sys_write(fd, "0", 1) : 0;
        if (result < 0)
            return result;
    }
    if (init->control_child_fd != k_control_descriptor) {
        i64 result = sys_dup3(init->control_child_fd, k_control_descriptor, O_CLOEXEC);
        if (result < 0)
            return result;
    }
    i64 result = sys_close_range(0, k_control_descriptor - 1, 0);
    if (result == 0)
        result = sys_close_range(k_control_descriptor + 1, ~0u, 0);
    return result;
}

// The ruleset of the run's domain with every place but /tmp, at k_ruleset_descriptor.
static i64 prepare_ruleset()
{
    i64 ruleset = landlock_prepare(jail.mode, landlock_abi());
    if (ruleset < 0 || ruleset == k_ruleset_descriptor)
        return ruleset;
    i64 moved = sys_dup3((int)ruleset, k_ruleset_descriptor, O_CLOEXEC);
    sys_close((int)ruleset);
    return moved;
}

// Everything of the run that does not depend on its command or agent.
static i64 prepare_init(JailInit* init)
{
    i64 result = 0;
    if (jail.template_mount_fd >= 0 && (result = enter_template_namespace()) < 0)
        return give_up_preparing(init, "jail mount namespace", result);
    if ((result = keep_control_socket(init)) < 0)
        return give_up_preparing(init, "control groups and descriptors", result);
    // If the server dies, so does the namespace and everything in it.
    if ((result = sys_prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0)) < 0)
        return give_up_preparing(init, "parent-death signal", result);
    if ((result = enter_jail()) < 0)
        return give_up_preparing(init, "jail (/proc, /dev/shm, pivot_root)", result);
    if (landlock_abi() > 0 && (result = prepare_ruleset()) < 0)
        return give_up_preparing(init, "Landlock rules", result);
    return 0;
}

static i64 send_report(char report)
{
    iovec_k part { &report, 1 };
    msghdr_k message { nullptr, 0, &part, 1, nullptr, 0, 0 };
    return sys_sendmsg(k_control_descriptor, &message, MSG_NOSIGNAL);
}

// The command's descriptors as the init received them, in the order jail_init_bind sends
// them: the standard three, then the notice socket, the agent's network namespace and, as
// the plan says, its user namespace, the workspace's mount and the run's two groups. -1
// where none came.
struct CommandDescriptors {
    int network;
    int user_namespace;
    int workspace;
    int memory_group;
    int pids_group;
};
// The standard three, the notice socket, the network and user namespaces, the workspace, two groups.
static constexpr i64 k_command_descriptors_most = 9;

// Waits for the command. Every descriptor of the init's but its control socket and ruleset
// is closed, so the received ones take the lowest numbers in order: the standard three
// land on 0 to 2 and the notice socket on 3, where the shell expects them; anything else
// means a descriptor was left open, and the command does not start. Returns 1 when the
// command came, 0 when the server closed the socket (the init was discarded unused).
static i64 receive_command(const JailInit* init, CommandDescriptors* fds)
{
    alignas(8) char control[sizeof(cmsghdr_k) + k_command_descriptors_most * sizeof(int) + 4] {};
    char byte = 0;
    iovec_k part { &byte, 1 };
    msghdr_k message { nullptr, 0, &part, 1, control, sizeof(control), 0 };
    i64 received = 0;
    while ((received = sys_recvmsg(k_control_descriptor, &message, MSG_CMSG_CLOEXEC)) == -EINTR) { }
    if (received <= 0)
        return received == 0 ? 0 : received;
    const cmsghdr_k* header = (const cmsghdr_k*)control;
    if ((message.flags & MSG_CTRUNC) != 0 || message.controllen < sizeof(cmsghdr_k) || header->type != SCM_RIGHTS)
        return -EBADF;
    const int* list = (const int*)(control + sizeof(cmsghdr_k));
    i64 count = (i64)((header->len - sizeof(cmsghdr_k)) / sizeof(int));
    i64 standard = init->sends_notice ? 4 : 3;
    i64 expected = standard + 1 + (init->sends_user_namespace ? 1 : 0) + (init->sends_workspace ? 1 : 0) + (init->sends_groups ? 2 : 0);
    if (count != expected)
        return -EBADF;
    for (i64 i = 0; i < standard; i++)
        if (list[i] != i)
            return -EBADF;
    i64 at = standard;
    fds->network = list[at++];
    fds->user_namespace = init->sends_user_namespace ? list[at++] : -1;
    fds->workspace = init->sends_workspace ? list[at++] : -1;
    fds->memory_group = init->sends_groups ? list[at++] : -1;
    fds->pids_group = init->sends_groups ? list[at++] : -1;
    // The command's standard descriptors survive its execve; the notice socket does not.
    for (int fd = 0; fd < 3; fd++)
        sys_fcntl(fd, F_SETFD, 0);
    return 1;
}

static void close_received(const CommandDescriptors& fds)
{
    int list[] = { fds.network, fds.user_namespace, fds.workspace, fds.memory_group, fds.pids_group };
    for (int fd : list)
        if (fd >= 0)
            sys_close(fd);
}

// The agent's places: its network namespace, its workspace on /tmp and, rootless, its
// user namespace, which shows the server's ids as the agent's uid (the mounts before it
// need the server's). The capabilities setns grants there end at the shell's execve, as
// that uid is not 0. Then the domain, which the shell and everything it starts inherit.
static int bind_command(LaunchPlan* plan, const CommandDescriptors& fds)
{
    i64 result = 0;
    int groups[] = { fds.memory_group, fds.pids_group };
    for (int fd : groups)
        if (fd >= 0 && (result = sys_write(fd, "0", 1)) < 0)
            return give_up(plan, "run control groups", result);
    if ((result = sys_setns(fds.network, CLONE_NEWNET)) < 0)
        return give_up(plan, "agent network namespace", result);
    if ((result = mount_run_tmp(plan, fds.workspace)) < 0)
        return give_up(plan, "jail /tmp (workspace)", result);
    if (plan->jail_mode == k_jail_rootless && (result = sys_setns(fds.user_namespace, CLONE_NEWUSER)) < 0)
        return give_up(plan, "agent user namespace", result);
    if (landlock_abi() > 0 && (result = enter_landlock(plan, k_ruleset_descriptor)) < 0)
        return give_up(plan, "Landlock domain", result);
    return 0;
}

// The init: prepares, says so, and waits for its command; then binds it, starts the shell
// vfork-style, gives up its own copies of the command's descriptors (so the output ends
// with the command's last process), and once the shell and every leftover are gone
// records the shell's status and reports the end. Nothing of the plan is touched after
// the report: the server may reuse it at once.
static int jail_init(void* arg)
{
    JailInit* init = (JailInit*)arg;
    if (prepare_init(init) != 0)
        return k_exit_not_started;
    // A server that is not listening any more (a self-test that only waits for the end)
    // still gets its command run.
    send_report(k_report_ready);
    CommandDescriptors fds { -1, -1, -1, -1, -1 };
    i64 received = receive_command(init, &fds);
    if (received == 0)
        return 0;
    LaunchPlan* plan = init->plan;
    if (received < 0 && plan == nullptr)
        return give_up_preparing(init, "control socket", received);
    if (received < 0)
        return give_up(plan, "descriptors", received);
    int bound = bind_command(plan, fds);
    close_received(fds);
    if (bound != 0)
        return bound;
    i64 shell = sys_clone_call(CLONE_VM | CLONE_VFORK | SIGCHLD, stack_top(init->stacks.shell), nullptr, confined_shell, plan);
    sys_close_range(0, k_notice_descriptor, 0);
    if (shell < 0)
        return give_up(plan, "shell process", shell);
    __atomic_store_n(&plan->shell_status, reap_until(shell), __ATOMIC_RELEASE);
    end_leftovers();
    send_report(k_report_ended);
    return 0;
}

// The network namespace is joined, not made: the agent's (exec/agent_network.h). The mount
// namespace is the template's copy where there is a template, else the server's.
static u64 jail_clone_flags()
{
    u64 flags = CLONE_VM | CLONE_NEWPID | CLONE_NEWIPC;
    return jail.template_mount_fd >= 0 ? flags : flags | CLONE_NEWNS;
}

// PATH, HOME and TERM; in plain basic mode with a workspace, HOME and TMPDIR name it, as
// the jail's /tmp is the workspace elsewhere. Then the request's own variables, in its
// order (the endpoint has refused any that would repeat one of the server's).
static void fill_environment(LaunchPlan* plan)
{
    const char** environment = plan->buffers.environment;
    i64 count = 0;
    for (const char* variable : k_command_environment)
        if (variable != nullptr)
            environment[count++] = variable;
    if (plan->jail_mode == k_jail_none && plan->workspace[0] != 0) {
        i64 len = text_length_max(plan->workspace, k_workspace_path_size - 1);
        i64 pos = append_bytes(plan->home_variable, append_text(plan->home_variable, 0, "HOME="), plan->workspace, len);
        append_byte(plan->home_variable, pos, 0);
        pos = append_bytes(plan->tmpdir_variable, append_text(plan->tmpdir_variable, 0, "TMPDIR="), plan->workspace, len);
        append_byte(plan->tmpdir_variable, pos, 0);
        environment[1] = plan->home_variable;
        environment[count++] = plan->tmpdir_variable;
    }
    const char* text = plan->buffers.env_text;
    for (i64 at = 0, i = 0; i < plan->env_count && at < plan->env_len; i++) {
        environment[count++] = text + at;
        at += text_length_max(text + at, plan->env_len - at) + 1;
    }
    environment[count] = nullptr;
}

// A descriptor above the standard three (the child's dup2 onto them must not overwrite
// it), close-on-exec; the original is closed.
static i64 above_standard_descriptors(i64 fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    i64 moved = sys_fcntl((int)fd, F_DUPFD_CLOEXEC, 3);
    sys_close((int)fd);
    return moved;
}

// The socket pair that carries the kill list's listener to the server: a sequenced-packet
// pair, so the server sees its end of file once every child's copy is closed.
static i64 open_notice_pair(LaunchPlan* plan)
{
    int ends[2] = { -1, -1 };
    i64 result = sys_socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends);
    if (result < 0)
        return result;
    i64 child_end = above_standard_descriptors(ends[1]);
    if (child_end < 0) {
        sys_close(ends[0]);
        return child_end;
    }
    sys_fcntl(ends[0], F_SETFL, O_NONBLOCK);
    plan->notice_fd = ends[0];
    plan->notice_child_fd = (int)child_end;
    return 0;
}

// A launch that failed leaves no end of the pair open.
static void close_notice_pair(LaunchPlan* plan)
{
    if (plan->notice_fd >= 0)
        sys_close(plan->notice_fd);
    if (plan->notice_child_fd >= 0)
        sys_close(plan->notice_child_fd);
    plan->notice_fd = -1;
    plan->notice_child_fd = -1;
}

// Plain basic mode: the ruleset is the one the caller prepared (plan->landlock_fd, taken
// over here), or made now; the agent's workspace is added to it. The shell gets its own
// copy of the descriptor, and this one is closed at once, as is the server's copy of the
// child's end of the notice pair.
i64 launch_confined(LaunchPlan* plan, ChildStacks* stacks, int* pidfd)
{
    plan->stacks = stacks;
    fill_environment(plan);
    if (plan->reports_kills) {
        if (i64 result = open_notice_pair(plan); result < 0) {
            if (plan->landlock_fd >= 0)
                sys_close(plan->landlock_fd);
            plan->landlock_fd = -1;
            give_up(plan, "seccomp notice socket", result);
            return result;
        }
    }
    if (plan->landlock_abi > 0) {
        i64 ruleset = plan->landlock_fd >= 0 ? plan->landlock_fd : landlock_prepare(plan->jail_mode, plan->landlock_abi);
        i64 result = ruleset < 0 || plan->workspace[0] == 0 ? ruleset : landlock_add_workspace((int)ruleset, plan->landlock_abi, plan->workspace);
        if (result < 0) {
            if (ruleset >= 0)
                sys_close((int)ruleset);
            plan->landlock_fd = -1;
            give_up(plan, "Landlock rules", result);
            close_notice_pair(plan);
            return result;
        }
        plan->landlock_fd = (int)ruleset;
    }
    i64 pid = sys_clone_call(CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD, stack_top(stacks->shell), pidfd, confined_shell, plan);
    if (pid < 0) {
        plan->failed_step = "clone";
        plan->failed_error = pid;
        close_notice_pair(plan);
    }
    if (plan->landlock_fd >= 0)
        sys_close(plan->landlock_fd);
    // Only the descriptor: the shell reads the field, in the memory it shares with the server.
    if (plan->notice_child_fd >= 0)
        sys_close(plan->notice_child_fd);
    return pid;
}

// ---- the server's side of a jail's init -----------------------------------------------

i64 jail_init_start(JailInit* init, int* pidfd, int* control_fd)
{
    init->plan = nullptr;
    init->join_memory_fd = init->join_pids_fd = -1;
    init->failed_step = nullptr;
    init->failed_error = 0;
    int ends[2] = { -1, -1 };
    i64 result = sys_socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends);
    if (result < 0) {
        give_up_preparing(init, "control socket", result);
        return result;
    }
    sys_fcntl(ends[0], F_SETFL, O_NONBLOCK);
    init->control_child_fd = ends[1];
    i64 pid = sys_clone_call(jail_clone_flags() | CLONE_PIDFD | SIGCHLD, stack_top(init->stacks.init), pidfd, jail_init, init);
    sys_close(ends[1]);
    if (pid < 0) {
        sys_close(ends[0]);
        give_up_preparing(init, "clone into new namespaces", pid);
        return pid;
    }
    *control_fd = ends[0];
    return pid;
}

// The workspace's mount, copied detached: the init attaches it on its /tmp.
static i64 open_workspace_mount(const LaunchPlan* plan)
{
    if (plan->workspace[0] == 0)
        return -1;
    return sys_open_tree(AT_FDCWD, plan->workspace, OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC);
}

// The command message: one byte and the descriptors in the order receive_command takes them.
static i64 send_command(int control_fd, const int* fds, i64 count)
{
    alignas(8) char control[sizeof(cmsghdr_k) + k_command_descriptors_most * sizeof(int) + 4] {};
    cmsghdr_k* header = (cmsghdr_k*)control;
    header->len = sizeof(cmsghdr_k) + (u64)count * sizeof(int);
    header->level = SOL_SOCKET;
    header->type = SCM_RIGHTS;
    copy_bytes(control + sizeof(cmsghdr_k), (const char*)fds, count * (i64)sizeof(int));
    char byte = 'G';
    iovec_k part { &byte, 1 };
    u64 space = (sizeof(cmsghdr_k) + (u64)count * sizeof(int) + 7) / 8 * 8;
    msghdr_k message { nullptr, 0, &part, 1, control, space, 0 };
    i64 sent = sys_sendmsg(control_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent == 1 ? 0 : sent < 0 ? sent : -EIO;
}

// The agent's network namespace and, rootless, its user namespace; the notice pair; the
// workspace's mount. Each is the server's until the message has gone: the init gets copies.
i64 jail_init_bind(JailInit* init, LaunchPlan* plan, int control_fd)
{
    plan->stacks = &init->stacks;
    fill_environment(plan);
    plan->landlock_fd = -1;
    i64 network = agent_network_fd(agent_index(plan));
    if (network < 0) {
        give_up(plan, "agent network namespace", network);
        return network;
    }
    if (plan->reports_kills) {
        if (i64 result = open_notice_pair(plan); result < 0) {
            give_up(plan, "seccomp notice socket", result);
            return result;
        }
    }
    i64 workspace = open_workspace_mount(plan);
    if (plan->workspace[0] != 0 && workspace < 0) {
        close_notice_pair(plan);
        give_up(plan, "workspace mount copy", workspace);
        return workspace;
    }
    int fds[k_command_descriptors_most] = { plan->stdin_fd, plan->stdout_fd, plan->stderr_fd };
    i64 count = 3;
    if (plan->notice_child_fd >= 0)
        fds[count++] = plan->notice_child_fd;
    fds[count++] = (int)network;
    if (plan->jail_mode == k_jail_rootless)
        fds[count++] = jail.userns_fds[agent_index(plan)];
    if (workspace >= 0)
        fds[count++] = (int)workspace;
    bool groups = init->join_memory_fd >= 0 && init->join_pids_fd >= 0;
    if (groups) {
        fds[count++] = init->join_memory_fd;
        fds[count++] = init->join_pids_fd;
    }
    init->plan = plan;
    init->sends_notice = plan->notice_child_fd >= 0;
    init->sends_user_namespace = plan->jail_mode == k_jail_rootless;
    init->sends_workspace = workspace >= 0;
    init->sends_groups = groups;
    i64 sent = send_command(control_fd, fds, count);
    if (workspace >= 0)
        sys_close((int)workspace);
    if (sent < 0) {
        init->plan = nullptr;
        close_notice_pair(plan);
        give_up(plan, "command to the jail's init", sent);
        return sent;
    }
    // Only the descriptor: the shell reads the field, in the memory it shares with the server.
    if (plan->notice_child_fd >= 0)
        sys_close(plan->notice_child_fd);
    return 0;
}

InitReport jail_init_read_report(int control_fd)
{
    char byte = 0;
    iovec_k part { &byte, 1 };
    for (;;) {
        msghdr_k message { nullptr, 0, &part, 1, nullptr, 0, 0 };
        i64 received = sys_recvmsg(control_fd, &message, MSG_DONTWAIT);
        if (received == -EINTR)
            continue;
        if (received == -EAGAIN)
            return k_init_quiet;
        if (received <= 0)
            return k_init_gone;
        if (byte == k_report_ready)
            return k_init_ready;
        if (byte == k_report_ended)
            return k_init_ended;
    }
}
