// The parent side of a run: the output pipe and an empty standard input, the confined child
// (exec/confinement.h), the output drained while the command runs, the time-out, the end of
// every process the command started, and the counters and audit record of the run.
//
// Leftover processes: in kernel mode the child is PID 1 of its own namespace, so its end
// takes everything in the namespace with it. In basic mode the commands run under the
// server's own uid; the shell leads a process group of its own, and the server is a child
// subreaper, so processes that left the group (setsid, double fork) are re-parented to the
// server when their parents die and the sweep below finds them among its children.
#include "exec/sandbox_runner.h"
#include "core/audit_log.h"
#include "core/state.h"
#include "exec/confinement.h"
#include "exec/output_capture.h"
#include "exec/run_outcome.h"
#include "runtime/io.h"
#include "runtime/syscall.h"

// Longest single poll, so a far deadline never overflows poll's int argument.
static constexpr i64 k_poll_slice_ms = 1000;
// A time-out setting beyond this (about 31 years) counts as this, so the deadline's sum
// cannot overflow.
static constexpr i64 k_timeout_max_ms = 1000000000000;
// After the run has ended and its processes are killed, end of file comes at once; this only
// bounds the wait should a writer survive.
static constexpr i64 k_final_drain_ms = 1000;
// Upper bound of the basic-mode sweep, for a command that forks as fast as it is killed.
static constexpr i64 k_sweep_ms = 2000;
// Bytes of /proc's list of the server's children read per sweep pass; children past them
// are killed in a later pass.
static constexpr i64 k_children_list_size = 8192;

// One run's own launch plan and child stacks; runs in parallel need one each.
struct RunSlot {
    LaunchPlan plan;
    ChildStacks stacks;
};
static constinit RunSlot slot {};
static constinit LaunchPlan& plan = slot.plan;
static constinit bool server_prepared = false;

// Once, before the first command: the server adopts the orphans of basic-mode commands,
// and it becomes non-dumpable, so a basic-mode command (same uid) cannot open the server's
// memory or descriptors through /proc.
static void prepare_server()
{
    if (server_prepared)
        return;
    sys_prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    sys_prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    server_prepared = true;
}

// The child's descriptors 0 to 2 are made by dup2 from these; one of them below 3 (the
// server started with a standard descriptor closed) would be overwritten first.
static i64 above_standard(i64 fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    i64 moved = sys_fcntl((int)fd, F_DUPFD_CLOEXEC, 3);
    sys_close((int)fd);
    return moved;
}

struct Channel {
    int stdin_fd;
    int read_fd;
    int write_fd;
};

// The output pipe and an input that reads as empty: /dev/null, or a pipe without writer
// where there is none. Returns 0 when a descriptor could not be made.
static i64 open_channel(Channel* channel)
{
    int fds[2] = { -1, -1 };
    i64 input = sys_open("/dev/null", O_RDONLY | O_CLOEXEC, 0);
    if (input < 0 && sys_pipe2(fds, O_CLOEXEC) == 0) {
        sys_close(fds[1]);
        input = fds[0];
    }
    channel->stdin_fd = (int)above_standard(input);
    if (sys_pipe2(fds, O_CLOEXEC) < 0) {
        fds[0] = -1;
        fds[1] = -1;
    }
    channel->read_fd = (int)above_standard(fds[0]);
    channel->write_fd = (int)above_standard(fds[1]);
    if (channel->stdin_fd >= 0 && channel->read_fd >= 0 && channel->write_fd >= 0)
        return 1;
    int made[3] = { channel->stdin_fd, channel->read_fd, channel->write_fd };
    for (int fd : made)
        if (fd >= 0)
            sys_close(fd);
    return 0;
}

// Drains the output until the child has ended or the deadline passes. Returns 1 when the
// deadline passed first.
static i64 watch_run(int pidfd, int read_fd, OutputCapture* capture, i64 deadline_ms)
{
    pollfd_k watch[2] = { { pidfd, POLLIN, 0 }, { read_fd, POLLIN, 0 } };
    u64 watched = 2;
    for (;;) {
        i64 left = deadline_ms - monotonic_ms();
        if (left <= 0)
            return 1;
        if (sys_poll(watch, watched, (int)(left < k_poll_slice_ms ? left : k_poll_slice_ms)) <= 0)
            continue;
        if (watched == 2 && watch[1].revents != 0) {
            i64 n = capture_read(capture, read_fd);
            // End of file while the child lives: it closed its output; keep waiting for it.
            if (n == 0 || (n < 0 && n != -EINTR && n != -EAGAIN))
                watched = 1;
        }
        if (watch[0].revents != 0)
            return 0;
    }
}

// Reaps every child that has ended. Returns -ECHILD when the server has no child left.
static i64 reap_ended()
{
    for (;;) {
        int status = 0;
        i64 pid = sys_wait4(-1, &status, WNOHANG | __WALL, nullptr);
        if (pid <= 0 && pid != -EINTR)
            return pid;
    }
}

// Sends SIGKILL to every child of the server that /proc lists; returns how many.
static i64 kill_children()
{
    static constinit char list[k_children_list_size] {};
    i64 fd = sys_open("/proc/thread-self/children", O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    i64 len = sys_read((int)fd, list, k_children_list_size);
    sys_close((int)fd);
    i64 killed = 0;
    i64 pid = 0;
    for (i64 i = 0; i < len; i++) {
        if (list[i] >= '0' && list[i] <= '9') {
            pid = pid * 10 + (list[i] - '0');
            continue;
        }
        if (pid > 0 && sys_kill((int)pid, SIGKILL) == 0)
            killed++;
        pid = 0;
    }
    return killed;
}

// Kills and reaps every process left from the run, until the server has no child.
static void sweep_leftovers()
{
    i64 deadline = monotonic_ms() + k_sweep_ms;
    while (reap_ended() != -ECHILD && monotonic_ms() < deadline) {
        kill_children();
        timespec_k pause { 0, 200000 };
        sys_nanosleep(&pause, nullptr);
    }
}

// Ends the run: on time-out the child is killed (in kernel mode with its whole namespace);
// in basic mode the shell's process group is killed while the shell is still unreaped, so
// its id cannot have been reused. Returns the shell's wait status.
static int finish_child(i64 pid, i64 timed_out)
{
    if (timed_out)
        sys_kill((int)pid, SIGKILL);
    if (!plan.kernel_mode)
        sys_kill((int)-pid, SIGKILL);
    int status = 0;
    while (sys_wait4((int)pid, &status, __WALL, nullptr) == -EINTR) { }
    sweep_leftovers();
    if (!plan.kernel_mode)
        return status;
    int shell_status = __atomic_load_n(&plan.shell_status, __ATOMIC_ACQUIRE);
    return shell_status >= 0 ? shell_status : status;
}

static void record_run(ByteSpan agent, ByteSpan cmd, RunVerdict verdict, i64 exit_code, i64 captured, i64 duration_ms)
{
    state.last_exec_ms = duration_ms;
    state.total_execs += 1;
    state.bytes_captured += captured;
    switch (verdict) {
    case k_run_timeout: return audit_write(agent, "EXEC", cmd, k_timeout_exit_code, duration_ms, "TIMEOUT");
    case k_run_seccomp: state.blocked_cmds += 1; return audit_write(agent, "BLOCK", cmd, k_seccomp_exit_code, duration_ms, "SECCOMP");
    case k_run_ok: return audit_write(agent, "EXEC", cmd, exit_code, duration_ms, "OK");
    }
}

RunResult sandbox_run(i64 agent_slot, ByteSpan agent, const char* cmd, i64 cmd_len, char* out, i64 capacity)
{
    RunResult not_started { false, 0, -1, state.last_exec_ms, false };
    i64 start_ms = monotonic_ms();
    if (capacity > 0)
        out[0] = 0;
    prepare_server();
    Channel channel {};
    if (!open_channel(&channel))
        return not_started;
    plan_launch(&plan, cmd, cmd_len, channel.stdin_fd, channel.write_fd);
    plan.uid = sandbox_uid_for_agent(agent_slot);
    int pidfd = -1;
    i64 pid = launch_confined(&plan, &slot.stacks, &pidfd);
    sys_close(channel.write_fd);
    sys_close(channel.stdin_fd);
    if (pid < 0) {
        sys_close(channel.read_fd);
        return not_started;
    }
    OutputCapture capture { out, capacity > 0 ? capacity - 1 : 0, 0 };
    i64 timeout_ms = state.timeout_ms < k_timeout_max_ms ? state.timeout_ms : k_timeout_max_ms;
    i64 timed_out = watch_run(pidfd, channel.read_fd, &capture, start_ms + timeout_ms);
    int status = finish_child(pid, timed_out);
    capture_until_eof(&capture, channel.read_fd, monotonic_ms() + k_final_drain_ms);
    sys_close(channel.read_fd);
    sys_close(pidfd);
    if (capacity > 0)
        out[capture.captured] = 0;
    i64 exit_code = timed_out ? k_timeout_exit_code : exit_code_from_status(status);
    RunVerdict verdict = classify_run(status, timed_out, out, capture.captured);
    i64 duration_ms = monotonic_ms() - start_ms;
    record_run(agent, { cmd, cmd_len }, verdict, exit_code, capture.captured, duration_ms);
    return { true, capture.captured, exit_code, duration_ms, timed_out != 0 };
}
