// The parent side of a run: the output pipes (standard output and standard error, or one
// for both) and the standard input (the request's stdin through a pipe, or an empty one),
// the confined child (exec/confinement.h), the output drained and the input fed while the
// command runs, the time-out, the end of every process the command started, and the
// counters and audit record of the run.
//
// A run occupies a slot: its launch plan and the copies it makes, its children's stacks,
// its descriptors and its captures. The event loop reports the pidfd (the child has ended),
// the output pipes (output) and the input pipe (room to write); sandbox_tick enforces the
// deadlines. Nothing the loop does for a run blocks: every server end is non-blocking. A run
// is finished when its child has been reaped and its outputs have reached end of file (or
// gone quiet for k_final_drain_ms after the end).
//
// Leftover processes: in the jail modes (kernel, rootless) the child is PID 1 of its own
// namespace, so its end takes everything in the namespace with it, and runs may overlap. In
// basic mode without namespaces the commands run under the server's own uid; the shell
// leads a process group of its own, and the server is a child subreaper, so processes that
// left the group (setsid, double fork) are re-parented to the server when their parents die
// and the sweep below finds them among its children.
//
// In kernel mode each run also gets control groups bounding its memory and task count as
// a whole (exec/run_cgroup.h); the loop watches the memory group's out-of-memory eventfd,
// and a run that runs out of memory is killed at once and answered like a time-out.
//
// Where the kernel offers seccomp listeners, the loop also watches the run's notice socket
// until the shell has sent its filter's listener, then the listener: a call of the kill
// list (exec/seccomp_notice.h) kills the run at once, as a time-out does, and the answer
// names the call.
//
// A run's command, output buffer and answer live in its connection's memory. When the
// client leaves, the run is cancelled before the connection closes: a queued one leaves
// the queue, a running one is killed and its output pipe closed at once, so nothing is
// written into memory that the next connection may already use.
#include "exec/sandbox_runner.h"
#include "core/activity.h"
#include "core/audit_log.h"
#include "core/connection_table.h"
#include "core/event_loop.h"
#include "core/http_response.h"
#include "core/http_status.h"
#include "core/state.h"
#include "exec/confinement.h"
#include "exec/output_capture.h"
#include "exec/prepared_runs.h"
#include "exec/run_cgroup.h"
#include "exec/run_outcome.h"
#include "exec/seccomp_filter.h"
#include "exec/seccomp_notice.h"
#include "exec/workspace.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

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
// Reads per output event, so one chatty command cannot starve the other connections.
static constexpr i64 k_reads_per_event = 8;
// The agent's name as its audit entries carry it.
static constexpr i64 k_run_agent_name = 32;

struct PendingRun {
    RunOrder order;
    char agent_name[k_run_agent_name];
    // The run's id (sandbox_new_run_id) and when it was submitted (monotonic ms).
    i64 id;
    i64 submitted_ms;
};

struct RunSlot;

// One output stream of a run: the server's end of its pipe (-1 once closed) and what has
// been read from it.
struct RunStream {
    RunSlot* slot;
    int fd;
    OutputCapture capture;
    Watch watch;
};

enum { k_stdout, k_stderr, k_stream_count };

struct RunSlot {
    bool busy;
    PendingRun run;
    LaunchPlan plan;
    ChildStacks stacks;
    i64 pid;
    int pidfd;
    // Standard output and standard error; with merge_stderr the second is not opened.
    RunStream streams[k_stream_count];
    // The server's end of the command's input pipe, until all of the request's stdin is
    // written (or the command stopped reading); -1 without one.
    int stdin_fd;
    i64 stdin_sent;
    i64 start_ms;
    // The time-out while the child lives; the end of the final drain after it has ended.
    i64 deadline_ms;
    bool timed_out;
    bool out_of_memory;
    bool child_ended;
    // The client left: the run is being killed, was audited then, and is not answered.
    bool cancelled;
    // Its owner stopped it (a background run's DELETE, its agent's reset, the admin's stop
    // of a request run): its end is audited as stopped, not as the exit code of the kill,
    // and a request run is answered with "stopped":true.
    bool stopped;
    int status;
    // The jail modes: the run's init (its stacks, its control groups when plan.cgroup points
    // there, its control socket), from the pool of prepared ones or made for this run.
    PreparedRun* prepared;
    // The init has been reaped (it may report the run's end before).
    bool init_reaped;
    // The socket the shell sends its filter's listener over, until it has, and then the
    // listener; -1 when there is none (yet). seccomp_killed: the run is being killed for a
    // call of the kill list, named by killed_call.
    int notice_fd;
    int listener_fd;
    bool seccomp_killed;
    const char* killed_call;
    Watch child_watch;
    Watch stdin_watch;
    Watch memory_watch;
    Watch report_watch;
    Watch notice_watch;
    Watch listener_watch;
};

struct RunTable {
    // The request runs' slots first, then the background pool's.
    RunSlot* slots;
    i64 slot_count;
    i64 request_slots;
    PendingRun* queue;
    i64 queue_capacity;
    i64 queue_head;
    i64 queue_len;
};
static constinit RunTable runs {};
static constinit bool server_prepared = false;
static constinit i64 last_run_id = 0;

i64 sandbox_new_run_id() { return ++last_run_id; }

bool runs_may_overlap() { return jail.mode != k_jail_none; }

static void prepare_server();
void sandbox_runner_init() { prepare_server(); }

// Each slot's copies of a command and its variables, sized from max_cmd_bytes: the children
// read them up to the shell's execve (exec/confinement.h, PlanBuffers).
static void give_plan_buffers(RunSlot* slot)
{
    i64 command_size = state.max_cmd_bytes + 1;
    slot->plan.buffers = {
        (char*)heap_alloc_lasting((u64)command_size),
        command_size,
        (char*)heap_alloc_lasting((u64)k_env_bytes_max),
        (const char**)heap_alloc_lasting((u64)(k_environment_slots * (i64)sizeof(const char*))),
    };
}

// Once, before the first command (or prepared run): the slots and the queue; the server
// adopts the orphans of basic-mode commands, and it becomes non-dumpable, so a basic-mode
// command (same uid) cannot open the server's memory or descriptors through /proc.
static void prepare_server()
{
    if (server_prepared)
        return;
    runs.request_slots = state.max_concurrent_runs > 0 ? state.max_concurrent_runs : 1;
    runs.slot_count = runs.request_slots + (state.max_background_runs > 0 ? state.max_background_runs : 0);
    runs.slots = (RunSlot*)heap_alloc_lasting((u64)(runs.slot_count * (i64)sizeof(RunSlot)));
    for (i64 i = 0; i < runs.slot_count; i++)
        give_plan_buffers(&runs.slots[i]);
    runs.queue_capacity = runs.request_slots * k_run_queue_per_slot;
    runs.queue = (PendingRun*)heap_alloc_lasting((u64)(runs.queue_capacity * (i64)sizeof(PendingRun)));
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

// The run's pipes. The child's ends become its descriptors 0, 1 and 2 and are closed in
// the server once the child has them; the server's ends are non-blocking.
struct Channel {
    int child_stdin;
    int child_stdout;
    int child_stderr;
    int stdin_write;
    int stdout_read;
    int stderr_read;
};

static void close_channel(const Channel& channel)
{
    int fds[] = { channel.child_stdin, channel.child_stdout, channel.child_stderr, channel.stdin_write, channel.stdout_read, channel.stderr_read };
    for (i64 i = 0; i < 6; i++) {
        bool repeated = i == 2 && fds[2] == fds[1];
        if (fds[i] >= 0 && !repeated)
            sys_close(fds[i]);
    }
}

// A pipe whose two ends lie above the standard descriptors; server_end (0 for the read
// end, 1 for the write end) is made non-blocking. Returns 0 or -errno.
static i64 open_pipe(int* read_end, int* write_end, int server_end)
{
    int fds[2] = { -1, -1 };
    i64 made = sys_pipe2(fds, O_CLOEXEC);
    if (made < 0)
        return made;
    *read_end = (int)above_standard(fds[0]);
    *write_end = (int)above_standard(fds[1]);
    if (*read_end < 0 || *write_end < 0)
        return *read_end < 0 ? *read_end : *write_end;
    sys_fcntl(server_end == 0 ? *read_end : *write_end, F_SETFL, O_NONBLOCK);
    return 0;
}

// An input that reads as empty: /dev/null, or a pipe without writer where there is none.
static i64 open_empty_input()
{
    i64 input = sys_open("/dev/null", O_RDONLY | O_CLOEXEC, 0);
    if (input >= 0)
        return above_standard(input);
    int read_end = -1, write_end = -1;
    i64 made = open_pipe(&read_end, &write_end, 0);
    if (write_end >= 0)
        sys_close(write_end);
    if (made < 0 && read_end >= 0)
        sys_close(read_end);
    return made < 0 ? made : read_end;
}

// The output pipes (one for both streams with merge_stderr) and the input: a pipe the loop
// writes the request's stdin into, or an empty one. Returns 0, or the negated errno of the
// first descriptor that could not be made, with none of them left open.
static i64 open_channel(Channel* channel, const RunOptions& options)
{
    *channel = { -1, -1, -1, -1, -1, -1 };
    i64 error = open_pipe(&channel->stdout_read, &channel->child_stdout, 0);
    if (error == 0 && options.merge_stderr)
        channel->child_stderr = channel->child_stdout;
    else if (error == 0)
        error = open_pipe(&channel->stderr_read, &channel->child_stderr, 0);
    if (error == 0 && (options.stdin_data.ptr != nullptr || options.background))
        error = open_pipe(&channel->child_stdin, &channel->stdin_write, 1);
    else if (error == 0) {
        i64 input = open_empty_input();
        error = input < 0 ? input : 0;
        channel->child_stdin = input < 0 ? -1 : (int)input;
    }
    if (error < 0)
        close_channel(*channel);
    return error;
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

// Kills and reaps every process left from the run, until the server has no child. Only
// while basic-mode runs take turns is every child of the server this run's.
static void sweep_leftovers()
{
    i64 deadline = monotonic_ms() + k_sweep_ms;
    while (reap_ended() != -ECHILD && monotonic_ms() < deadline) {
        kill_children();
        timespec_k pause { 0, 200000 };
        sys_nanosleep(&pause, nullptr);
    }
}

static void count_ended_run(i64 captured, i64 duration_ms)
{
    state.last_exec_ms = duration_ms;
    state.total_execs += 1;
    state.bytes_captured += captured;
}

// Every entry of a run names the profile whose limits it ran under.
static const char* run_profile(const RunOrder& order) { return profile_name(order.limits.profile); }

static CommandResult command_result(RunVerdict verdict)
{
    switch (verdict) {
    case k_run_timeout: return k_result_timeout;
    case k_run_memory: return k_result_memory_limit;
    case k_run_seccomp: return k_result_seccomp;
    case k_run_ok: break;
    }
    return k_result_ok;
}

static void record_run(const RunOrder& order, ByteSpan agent, RunVerdict verdict, i64 exit_code, i64 captured, i64 duration_ms)
{
    count_ended_run(captured, duration_ms);
    note_run_end(agent, command_result(verdict), duration_ms);
    ByteSpan cmd { order.cmd, order.cmd_len };
    const char* profile = run_profile(order);
    switch (verdict) {
    case k_run_timeout: return audit_write(agent, "EXEC", cmd, k_timeout_exit_code, duration_ms, "TIMEOUT", profile);
    case k_run_memory: return audit_write(agent, "EXEC", cmd, k_timeout_exit_code, duration_ms, "MEMORY_LIMIT", profile);
    case k_run_seccomp:
        state.blocked_cmds += 1;
        return audit_write(agent, "BLOCK", cmd, k_seccomp_exit_code, duration_ms, "SECCOMP", profile);
    case k_run_ok: return audit_write(agent, "EXEC", cmd, exit_code, duration_ms, "OK", profile);
    }
}

static void start_queued();

// The command never ran: audited, and answered with the step that failed.
static void refuse_start(const RunOrder& order, const char* step, i64 error, i64 duration_ms)
{
    audit_write(order.agent_name, "EXEC", { order.cmd, order.cmd_len }, -1, duration_ms, "NOT_STARTED", run_profile(order));
    note_run_lost(k_result_not_started);
    RunResult result {};
    result.exit_code = -1;
    result.duration_ms = duration_ms;
    result.failed_step = step;
    result.failed_error = error;
    order.done(&order, &result);
}

static void close_stream(RunStream* stream)
{
    if (stream->fd < 0)
        return;
    unwatch_fd(stream->fd);
    sys_close(stream->fd);
    stream->fd = -1;
}

static void close_outputs(RunSlot* slot)
{
    for (RunStream& stream : slot->streams)
        close_stream(&stream);
}

static bool outputs_closed(const RunSlot* slot)
{
    for (const RunStream& stream : slot->streams)
        if (stream.fd >= 0)
            return false;
    return true;
}

// The command has its input's end of file once this end is closed.
static void close_input(RunSlot* slot)
{
    if (slot->stdin_fd < 0)
        return;
    if (!slot->run.order.options.background)
        unwatch_fd(slot->stdin_fd);
    sys_close(slot->stdin_fd);
    slot->stdin_fd = -1;
}

// After the run's processes are gone: an out-of-memory kill noticed only as the run ended
// still ends it as one. The groups go with the init's record.
static void check_memory_end(RunSlot* slot)
{
    const RunCgroup* group = slot->plan.cgroup;
    if (!group)
        return;
    if (run_cgroup_oom_happened(group))
        slot->out_of_memory = true;
    if (group->oom_event_fd >= 0)
        unwatch_fd(group->oom_event_fd);
    slot->plan.cgroup = nullptr;
}

// The run's processes are gone (reaped, or reported gone by the init): its pidfd and
// control socket leave the loop, and its init's record goes back to the pool, which reaps
// the init if the runner has not.
static void release_child(RunSlot* slot)
{
    unwatch_fd(slot->pidfd);
    if (!slot->prepared) {
        sys_close(slot->pidfd);
        return;
    }
    unwatch_fd(slot->prepared->control_fd);
    prepared_run_release(slot->prepared, slot->init_reaped);
    slot->prepared = nullptr;
}

// ---- the kill list's listener -------------------------------------------------------

// Closing the listener lets a notice still pending fail with ENOSYS; its caller is gone by
// now (the run has ended), so nothing of it runs again.
static void close_notices(RunSlot* slot)
{
    int* fds[] = { &slot->notice_fd, &slot->listener_fd };
    for (int* fd : fds) {
        if (*fd < 0)
            continue;
        unwatch_fd(*fd);
        sys_close(*fd);
        *fd = -1;
    }
}

static void kill_run(RunSlot* slot);

// A call of the kill list waits in the kernel: the run is killed at once, as at a time-out,
// and the notice left unanswered, so the caller stays stopped until the kill reaches it.
// One notice is enough; later ones wait unread until the listener closes.
static void on_killed_call(void* owner, u32)
{
    RunSlot* slot = (RunSlot*)owner;
    if (!slot->busy || slot->listener_fd < 0)
        return;
    i64 nr = seccomp_read_notice(slot->listener_fd);
    if (nr == -EAGAIN || nr == -ENOENT)
        return;
    unwatch_fd(slot->listener_fd);
    bool ending = slot->child_ended || slot->timed_out || slot->out_of_memory || slot->seccomp_killed;
    if (nr < 0 || ending)
        return;
    slot->seccomp_killed = true;
    slot->killed_call = seccomp_killed_call_name((u32)nr);
    kill_run(slot);
}

// The shell sent its listener (or gave up before its filter: end of file, nothing sent).
static void on_listener_sent(void* owner, u32)
{
    RunSlot* slot = (RunSlot*)owner;
    if (!slot->busy || slot->notice_fd < 0)
        return;
    i64 listener = seccomp_receive_listener(slot->notice_fd);
    if (listener == -EAGAIN || listener == -EINTR)
        return;
    unwatch_fd(slot->notice_fd);
    sys_close(slot->notice_fd);
    slot->notice_fd = -1;
    if (listener < 0)
        return;
    slot->listener_fd = (int)listener;
    slot->listener_watch = { on_killed_call, slot };
    watch_fd(slot->listener_fd, EPOLLIN, &slot->listener_watch);
}

// After the launch: the server's end of the notice pair, when the run has one.
static void watch_notices(RunSlot* slot)
{
    slot->notice_fd = slot->plan.notice_fd;
    if (slot->notice_fd < 0)
        return;
    slot->notice_watch = { on_listener_sent, slot };
    watch_fd(slot->notice_fd, EPOLLIN, &slot->notice_watch);
}

static i64 kept_bytes(const RunResult& result) { return result.stdout_stream.len + result.stderr_stream.len; }

// Counts and audits the run whose command ran, and gives its result. The shell reports a
// child the filter killed on its standard error, wherever that went.
static RunResult conclude_run(RunSlot* slot)
{
    const RunOrder& order = slot->run.order;
    RunResult result {};
    result.started = true;
    result.stdout_stream = capture_finish(&slot->streams[k_stdout].capture);
    result.stderr_stream = capture_finish(&slot->streams[k_stderr].capture);
    int status = slot->status;
    if (slot->plan.jail_mode != k_jail_none) {
        int shell_status = __atomic_load_n(&slot->plan.shell_status, __ATOMIC_ACQUIRE);
        status = shell_status >= 0 ? shell_status : status;
    }
    bool killed = slot->timed_out || slot->out_of_memory || slot->stopped;
    result.exit_code = killed ? k_timeout_exit_code : exit_code_from_status(status);
    const char* shell_report = order.options.merge_stderr ? order.stdout_out : order.stderr_out;
    i64 report_len = order.options.merge_stderr ? result.stdout_stream.len : result.stderr_stream.len;
    result.verdict = slot->timed_out ? k_run_timeout
        : slot->out_of_memory        ? k_run_memory
                                     : classify_run(status, false, shell_report, report_len);
    if (slot->seccomp_killed) {
        result.exit_code = k_seccomp_exit_code;
        result.verdict = k_run_seccomp;
    }
    result.killed_call = slot->killed_call;
    result.timed_out = slot->timed_out;
    result.stopped = slot->stopped && !slot->timed_out && result.verdict == k_run_ok;
    result.duration_ms = monotonic_ms() - slot->start_ms;
    if (slot->stopped && result.verdict != k_run_seccomp) {
        count_ended_run(kept_bytes(result), result.duration_ms);
        note_run_end(order.agent_name, k_result_stopped, result.duration_ms);
        audit_write(order.agent_name, "EXEC", { order.cmd, order.cmd_len }, result.exit_code, result.duration_ms, "STOPPED", run_profile(order));
    } else
        record_run(order, order.agent_name, result.verdict, result.exit_code, kept_bytes(result), result.duration_ms);
    return result;
}

// Frees the slot and tells the run's caller how it went: a confinement step that failed
// means the command never ran; a cancelled run has no caller left. Then starts the next.
static void finish_run(RunSlot* slot)
{
    close_outputs(slot);
    close_input(slot);
    close_notices(slot);
    check_memory_end(slot);
    // An init made for this run may have failed while it prepared, before any command.
    if (slot->prepared && !slot->plan.failed_step && slot->prepared->init.failed_step) {
        slot->plan.failed_step = slot->prepared->init.failed_step;
        slot->plan.failed_error = slot->prepared->init.failed_error;
    }
    release_child(slot);
    PendingRun run = slot->run;
    const LaunchPlan& plan = slot->plan;
    i64 duration_ms = monotonic_ms() - slot->start_ms;
    slot->busy = false;
    if (slot->cancelled)
        count_ended_run(0, duration_ms);
    else if (plan.failed_step)
        refuse_start(run.order, plan.failed_step, plan.failed_error, duration_ms);
    else {
        RunResult result = conclude_run(slot);
        run.order.done(&run.order, &result);
    }
    start_queued();
}

static void drain_stream(RunStream* stream)
{
    const RunOrder& order = stream->slot->run.order;
    i64 index = stream - stream->slot->streams;
    for (i64 i = 0; i < k_reads_per_event && stream->fd >= 0; i++) {
        const char* read_at = nullptr;
        i64 n = capture_read(&stream->capture, stream->fd, &read_at);
        if (n > 0 && order.output)
            order.output(order.output_sink, index, read_at, n);
        if (n == -EAGAIN)
            return;
        if (n == -EINTR)
            continue;
        // End of file: every writer has gone.
        if (n <= 0)
            close_stream(stream);
    }
}

static void drain_outputs(RunSlot* slot)
{
    for (RunStream& stream : slot->streams)
        drain_stream(&stream);
}

static void on_output(void* owner, u32)
{
    RunStream* stream = (RunStream*)owner;
    RunSlot* slot = stream->slot;
    if (!slot->busy)
        return;
    drain_stream(stream);
    if (slot->child_ended && outputs_closed(slot))
        finish_run(slot);
}

// Writes what the pipe takes now of the request's stdin; once all of it is written, or
// the command has closed its end (EPIPE: it stopped reading, which is its own business),
// the pipe is closed so the command sees the end of its input. A command that never reads
// leaves the rest waiting here until the run ends; nothing else waits for it.
static void feed_input(RunSlot* slot)
{
    ByteSpan data = slot->run.order.options.stdin_data;
    while (slot->stdin_fd >= 0 && slot->stdin_sent < data.len) {
        i64 n = sys_write(slot->stdin_fd, data.ptr + slot->stdin_sent, data.len - slot->stdin_sent);
        if (n == -EINTR)
            continue;
        if (n == -EAGAIN)
            return;
        if (n <= 0)
            break;
        slot->stdin_sent += n;
    }
    close_input(slot);
}

static void on_input_room(void* owner, u32)
{
    RunSlot* slot = (RunSlot*)owner;
    if (slot->busy)
        feed_input(slot);
}

static bool child_has_ended(const RunSlot* slot)
{
    pollfd_k watch { slot->pidfd, POLLIN, 0 };
    return sys_poll(&watch, 1, 0) > 0 && (watch.revents & POLLIN) != 0;
}

// The run's processes are gone: what is left of its output is read, and the run is
// finished as soon as every writer has closed.
static void mark_ended(RunSlot* slot, int status)
{
    slot->status = status;
    slot->child_ended = true;
    slot->deadline_ms = monotonic_ms() + k_final_drain_ms;
    close_input(slot);
    drain_outputs(slot);
    if (outputs_closed(slot))
        finish_run(slot);
}

// The child has ended. In basic mode the shell's process group is killed while the shell is
// still unreaped, so its id cannot have been reused, and then every other leftover. A jail's
// init may have reported the run's end before (on_init_report); its pidfd, readable for
// good once it has ended, then leaves the loop.
static void on_child_end(void* owner, u32)
{
    RunSlot* slot = (RunSlot*)owner;
    if (!slot->busy || slot->init_reaped || !child_has_ended(slot))
        return;
    bool jailed = slot->plan.jail_mode != k_jail_none;
    if (slot->child_ended && !jailed)
        return;
    if (!jailed)
        sys_kill((int)-slot->pid, SIGKILL);
    int status = 0;
    while (sys_wait4((int)slot->pid, &status, __WALL, nullptr) == -EINTR) { }
    if (!jailed)
        sweep_leftovers();
    if (jailed) {
        slot->init_reaped = true;
        unwatch_fd(slot->pidfd);
    }
    if (!slot->child_ended)
        mark_ended(slot, status);
}

// The jail's init reports that the shell and every process of the command are gone: the
// run is answered now, and the init's own end (its namespaces' teardown) follows apart.
static void on_init_report(void* owner, u32)
{
    RunSlot* slot = (RunSlot*)owner;
    if (!slot->busy || !slot->prepared)
        return;
    for (;;) {
        InitReport report = jail_init_read_report(slot->prepared->control_fd);
        if (report == k_init_quiet)
            return;
        if (report == k_init_gone) {
            unwatch_fd(slot->prepared->control_fd);
            return;
        }
        if (report == k_init_ended) {
            unwatch_fd(slot->prepared->control_fd);
            if (!slot->child_ended)
                mark_ended(slot, 0);
            return;
        }
    }
}

// The run's memory group ran out of memory: the whole run is killed at once (its init, and
// with it the namespace), as at a time-out.
static void on_memory_exhausted(void* owner, u32)
{
    RunSlot* slot = (RunSlot*)owner;
    if (!slot->busy || slot->child_ended || slot->out_of_memory)
        return;
    slot->out_of_memory = true;
    unwatch_fd(slot->plan.cgroup->oom_event_fd);
    sys_kill((int)slot->pid, SIGKILL);
}

// The run's time-out: the request's when it asked for one, never past the profile's.
static i64 run_timeout_ms(const RunOptions& options, const RunLimits& limits)
{
    i64 profile = options.background ? state.max_background_seconds * 1000 : limits.timeout_ms;
    i64 limit = profile < k_timeout_max_ms ? profile : k_timeout_max_ms;
    return options.timeout_ms > 0 && options.timeout_ms < limit ? options.timeout_ms : limit;
}

static void reset_slot(RunSlot* slot, const PendingRun& run)
{
    slot->run = run;
    slot->pid = 0;
    slot->pidfd = -1;
    slot->stdin_fd = -1;
    slot->stdin_sent = 0;
    slot->timed_out = false;
    slot->out_of_memory = false;
    slot->child_ended = false;
    slot->cancelled = false;
    slot->stopped = false;
    slot->status = 0;
    slot->notice_fd = -1;
    slot->listener_fd = -1;
    slot->seccomp_killed = false;
    slot->killed_call = nullptr;
    slot->prepared = nullptr;
    slot->init_reaped = false;
    slot->run.order.agent_name = { slot->run.agent_name, run.order.agent_name.len };
    for (RunStream& stream : slot->streams)
        stream = { slot, -1, { nullptr, 0, 0 }, { on_output, &stream } };
}

// The server's ends go to the slot and the loop watches them; the child's ends were the
// child's alone once it had them.
static void watch_run(RunSlot* slot, const Channel& channel)
{
    const RunOrder& order = slot->run.order;
    slot->streams[k_stdout].fd = channel.stdout_read;
    slot->streams[k_stdout].capture = { order.stdout_out, order.capacity, 0 };
    slot->streams[k_stderr].fd = channel.stderr_read;
    slot->streams[k_stderr].capture = { order.options.merge_stderr ? nullptr : order.stderr_out, order.capacity, 0 };
    slot->stdin_fd = channel.stdin_write;
    slot->child_watch = { on_child_end, slot };
    watch_fd(slot->pidfd, EPOLLIN, &slot->child_watch);
    for (RunStream& stream : slot->streams)
        if (stream.fd >= 0)
            watch_fd(stream.fd, EPOLLIN, &stream.watch);
    if (slot->stdin_fd >= 0 && !order.options.background) {
        slot->stdin_watch = { on_input_room, slot };
        watch_fd(slot->stdin_fd, EPOLLOUT, &slot->stdin_watch);
    }
    if (slot->plan.cgroup) {
        slot->memory_watch = { on_memory_exhausted, slot };
        watch_fd(slot->plan.cgroup->oom_event_fd, EPOLLIN, &slot->memory_watch);
    }
    if (slot->prepared) {
        slot->report_watch = { on_init_report, slot };
        watch_fd(slot->prepared->control_fd, EPOLLIN, &slot->report_watch);
    }
}

static void close_child_ends(const Channel& channel)
{
    sys_close(channel.child_stdin);
    sys_close(channel.child_stdout);
    if (channel.child_stderr != channel.child_stdout)
        sys_close(channel.child_stderr);
}

// The jail modes: an init from the pool (or made now), its groups those of this run, bound
// to the run's command. A prepared init that died just before it was taken cannot take the
// command: the run then gets another. Returns the init's pid, or -errno with the plan's
// failed step set.
static constexpr i64 k_bind_attempts = 2;

static i64 launch_jailed(RunSlot* slot, int* pidfd)
{
    const RunOrder& order = slot->run.order;
    // A memory group takes the address-space limit out of the plan; another init may have
    // none.
    LaunchPlan& plan = slot->plan;
    LimitSetting limits[k_limit_slots];
    copy_bytes((char*)limits, (const char*)plan.limits, sizeof(limits));
    i64 limit_count = plan.limit_count;
    i64 bound = 0;
    for (i64 attempt = 0; attempt < k_bind_attempts; attempt++) {
        copy_bytes((char*)plan.limits, (const char*)limits, sizeof(limits));
        plan.limit_count = limit_count;
        const char* step = nullptr;
        i64 error = 0;
        PreparedRun* init = prepared_run_take(order.agent, order.limits, &step, &error);
        if (!init) {
            plan.failed_step = step != nullptr ? step : "jail init";
            plan.failed_error = error;
            return error < 0 ? error : -EAGAIN;
        }
        if (init->has_group)
            plan_memory_group(&plan, &init->group);
        plan.failed_step = nullptr;
        bound = jail_init_bind(&init->init, &plan, init->control_fd);
        if (bound == 0) {
            slot->prepared = init;
            *pidfd = init->pidfd;
            return init->pid;
        }
        plan.cgroup = nullptr;
        prepared_run_release(init, false);
    }
    return bound;
}

// The slot's plan and stacks are not cleared: plan_launch fills every field of the plan but
// its buffers (the slot's own), and untouched stack pages cost no memory.
static void start_run(RunSlot* slot, const PendingRun& run)
{
    reset_slot(slot, run);
    RunOrder& order = slot->run.order;
    slot->start_ms = monotonic_ms();
    Channel channel {};
    if (i64 error = open_channel(&channel, order.options); error < 0)
        return refuse_start(order, "pipes", error, 0);
    const RunOptions& options = order.options;
    PlainPrepared plain = jail.mode == k_jail_none ? prepared_plain_take() : PlainPrepared { -1, -1 };
    LaunchRequest request { { order.cmd, order.cmd_len }, options.env, options.env_count, options.cwd, order.limits, plain.uid_tasks };
    if (!plan_launch(&slot->plan, request, { channel.child_stdin, channel.child_stdout, channel.child_stderr })) {
        close_channel(channel);
        if (plain.ruleset >= 0)
            sys_close(plain.ruleset);
        return refuse_start(order, slot->plan.failed_step, slot->plan.failed_error, 0);
    }
    slot->plan.uid = sandbox_uid_for_agent(order.agent);
    if (workspace_ensure(order.agent))
        workspace_path(order.agent, slot->plan.workspace);
    int pidfd = -1;
    slot->plan.landlock_fd = plain.ruleset;
    i64 pid = slot->plan.jail_mode == k_jail_none ? launch_confined(&slot->plan, &slot->stacks, &pidfd) : launch_jailed(slot, &pidfd);
    close_child_ends(channel);
    if (pid < 0) {
        Channel server_ends { -1, -1, -1, channel.stdin_write, channel.stdout_read, channel.stderr_read };
        close_channel(server_ends);
        return refuse_start(order, slot->plan.failed_step, slot->plan.failed_error, monotonic_ms() - slot->start_ms);
    }
    slot->busy = true;
    slot->pid = pid;
    slot->pidfd = pidfd;
    slot->deadline_ms = slot->start_ms + run_timeout_ms(options, order.limits);
    watch_run(slot, channel);
    watch_notices(slot);
}

static i64 busy_slots()
{
    i64 busy = 0;
    for (i64 i = 0; i < runs.slot_count; i++)
        busy += runs.slots[i].busy ? 1 : 0;
    return busy;
}

// A free slot when another run may start now, else nullptr.
static RunSlot* slot_for_next()
{
    if (!runs_may_overlap() && busy_slots() > 0)
        return nullptr;
    for (i64 i = 0; i < runs.request_slots; i++)
        if (!runs.slots[i].busy)
            return &runs.slots[i];
    return nullptr;
}

static void start_queued()
{
    while (runs.queue_len > 0) {
        RunSlot* slot = slot_for_next();
        if (!slot)
            return;
        PendingRun run = runs.queue[runs.queue_head];
        runs.queue_head = (runs.queue_head + 1) % runs.queue_capacity;
        runs.queue_len--;
        start_run(slot, run);
    }
}

i64 runs_per_agent()
{
    if (state.max_runs_per_agent > 0)
        return state.max_runs_per_agent;
    i64 slots = state.max_concurrent_runs > 0 ? state.max_concurrent_runs : 1;
    return slots / 2 > 0 ? slots / 2 : 1;
}

// Runs of the agent running (a cancelled one too, until its processes are gone) or queued.
static i64 runs_of_agent(i64 agent)
{
    i64 count = 0;
    for (i64 i = 0; i < runs.request_slots; i++)
        count += runs.slots[i].busy && runs.slots[i].run.order.agent == agent ? 1 : 0;
    for (i64 i = 0; i < runs.queue_len; i++)
        count += runs.queue[(runs.queue_head + i) % runs.queue_capacity].order.agent == agent ? 1 : 0;
    return count;
}

RunAdmission sandbox_submit(const RunOrder* order)
{
    prepare_server();
    if (runs_of_agent(order->agent) >= runs_per_agent())
        return k_run_agent_share_full;
    PendingRun run {};
    run.order = *order;
    i64 name_len = order->agent_name.len < k_run_agent_name ? order->agent_name.len : k_run_agent_name;
    copy_bytes(run.agent_name, order->agent_name.ptr, name_len);
    run.order.agent_name = { run.agent_name, name_len };
    run.id = sandbox_new_run_id();
    run.submitted_ms = monotonic_ms();
    RunSlot* slot = runs.queue_len == 0 ? slot_for_next() : nullptr;
    if (slot) {
        start_run(slot, run);
        return k_run_admitted;
    }
    if (runs.queue_len >= runs.queue_capacity)
        return k_run_queue_full;
    runs.queue[(runs.queue_head + runs.queue_len) % runs.queue_capacity] = run;
    runs.queue_len++;
    return k_run_admitted;
}

i64 sandbox_has_order(int conn)
{
    for (i64 i = 0; i < runs.slot_count; i++)
        if (runs.slots[i].busy && runs.slots[i].run.order.conn == conn)
            return 1;
    for (i64 i = 0; i < runs.queue_len; i++)
        if (runs.queue[(runs.queue_head + i) % runs.queue_capacity].order.conn == conn)
            return 1;
    return 0;
}

// The order of conn's run, running (not cancelled) or queued; nullptr for none.
static RunOrder* order_of(int conn)
{
    for (i64 i = 0; i < runs.slot_count; i++)
        if (runs.slots[i].busy && !runs.slots[i].cancelled && runs.slots[i].run.order.conn == conn)
            return &runs.slots[i].run.order;
    for (i64 i = 0; i < runs.queue_len; i++) {
        PendingRun& run = runs.queue[(runs.queue_head + i) % runs.queue_capacity];
        if (run.order.conn == conn)
            return &run.order;
    }
    return nullptr;
}

bool sandbox_watch_output(int conn, void (*output)(void* sink, i64 stream, const char* bytes, i64 len), void* sink)
{
    RunOrder* order = conn >= 0 ? order_of(conn) : nullptr;
    if (!order)
        return false;
    order->output = output;
    order->output_sink = sink;
    return true;
}

// A queued run's name: its order's span still points where the run was submitted from.
static ByteSpan queued_agent_name(const PendingRun& run) { return { run.agent_name, run.order.agent_name.len }; }

// Takes conn's run out of the queue, keeping the others' order.
static i64 cancel_queued(int conn)
{
    for (i64 i = 0; i < runs.queue_len; i++) {
        const PendingRun& run = runs.queue[(runs.queue_head + i) % runs.queue_capacity];
        if (run.order.conn != conn)
            continue;
        audit_write(queued_agent_name(run), "EXEC", { run.order.cmd, run.order.cmd_len }, -1, 0, "CANCELLED", run_profile(run.order));
        note_run_lost(k_result_cancelled);
        for (i64 k = i; k + 1 < runs.queue_len; k++)
            runs.queue[(runs.queue_head + k) % runs.queue_capacity] = runs.queue[(runs.queue_head + k + 1) % runs.queue_capacity];
        runs.queue_len--;
        return 1;
    }
    return 0;
}

// In the jail modes the init's end takes its whole namespace; in basic mode the process
// group goes with the shell, and the sweep after the shell's end the rest.
static void kill_run(RunSlot* slot)
{
    sys_kill((int)slot->pid, SIGKILL);
    if (slot->plan.jail_mode == k_jail_none)
        sys_kill((int)-slot->pid, SIGKILL);
}

// The run is audited now, while its command is still readable in the connection's memory,
// and forgets that memory: its pipes close (the command's further writes fail, its input
// ends), and its order points nowhere. The pidfd then reports the end, and finish_run
// frees the slot.
static i64 cancel_running(int conn)
{
    for (i64 i = 0; i < runs.slot_count; i++) {
        RunSlot* slot = &runs.slots[i];
        if (!slot->busy || slot->cancelled || slot->run.order.conn != conn)
            continue;
        RunOrder& order = slot->run.order;
        audit_write(order.agent_name, "EXEC", { order.cmd, order.cmd_len }, k_timeout_exit_code, monotonic_ms() - slot->start_ms, "CANCELLED",
            run_profile(order));
        note_run_lost(k_result_cancelled);
        slot->cancelled = true;
        close_outputs(slot);
        close_input(slot);
        order = { -1, order.agent, order.agent_name, nullptr, 0, nullptr, nullptr, 0, {}, order.limits, nullptr, order.done, nullptr, nullptr };
        for (RunStream& stream : slot->streams)
            stream.capture = { nullptr, 0, stream.capture.total };
        if (slot->child_ended)
            finish_run(slot);
        else
            kill_run(slot);
        return 1;
    }
    return 0;
}

i64 sandbox_cancel(int conn)
{
    forget_answer_carrier(conn);
    return cancel_queued(conn) || cancel_running(conn) ? 1 : 0;
}

// On time-out the child is killed (in the jail modes with its whole namespace; in basic mode
// with its process group); the pidfd then reports its end as for any other.
void sandbox_tick(i64 now_ms)
{
    for (i64 i = 0; i < runs.slot_count; i++) {
        RunSlot* slot = &runs.slots[i];
        if (!slot->busy || now_ms < slot->deadline_ms)
            continue;
        if (slot->child_ended) {
            finish_run(slot);
            continue;
        }
        if (slot->timed_out || slot->seccomp_killed)
            continue;
        slot->timed_out = true;
        kill_run(slot);
    }
}

i64 sandbox_next_deadline()
{
    i64 next = 0;
    for (i64 i = 0; i < runs.slot_count; i++) {
        const RunSlot* slot = &runs.slots[i];
        bool killing = (slot->timed_out || slot->seccomp_killed) && !slot->child_ended;
        if (slot->busy && !killing && (next == 0 || slot->deadline_ms < next))
            next = slot->deadline_ms;
    }
    return next;
}

i64 sandbox_runs_in_progress() { return busy_slots() + runs.queue_len; }

i64 sandbox_request_runs_in_progress()
{
    i64 busy = 0;
    for (i64 i = 0; i < runs.request_slots; i++)
        busy += runs.slots[i].busy ? 1 : 0;
    return busy + runs.queue_len;
}

RunCounts sandbox_run_counts()
{
    RunCounts counts { 0, 0, runs.queue_len, runs.queue_capacity };
    for (i64 i = 0; i < runs.slot_count; i++)
        if (runs.slots[i].busy)
            (i < runs.request_slots ? counts.running : counts.background)++;
    return counts;
}

i64 sandbox_drop_queued()
{
    i64 dropped = runs.queue_len;
    while (runs.queue_len > 0) {
        int conn = runs.queue[runs.queue_head].order.conn;
        runs.queue_head = (runs.queue_head + 1) % runs.queue_capacity;
        runs.queue_len--;
        // The answer is built in its connection's own memory, as a finished run's is.
        HeapArena* arena = connection_arena(conn);
        if (arena)
            heap_enter(arena);
        send_json_error(conn, 503, "Service Unavailable", "server shutting down");
        if (arena)
            heap_leave();
    }
    return dropped;
}

// The pidfd then reports each end as for any other run, and the run is answered and
// audited with the kill's exit code.
i64 sandbox_kill_all()
{
    i64 killed = 0;
    for (i64 i = 0; i < runs.slot_count; i++) {
        RunSlot* slot = &runs.slots[i];
        if (!slot->busy || slot->child_ended)
            continue;
        kill_run(slot);
        killed++;
    }
    return killed;
}

// ---- one agent's runs ---------------------------------------------------------------

static bool background_of_agent(i64 agent)
{
    for (i64 i = runs.request_slots; i < runs.slot_count; i++)
        if (runs.slots[i].busy && runs.slots[i].run.order.agent == agent)
            return true;
    return false;
}

bool sandbox_agent_busy(i64 agent) { return runs_of_agent(agent) > 0 || background_of_agent(agent); }

static constexpr char k_cancelled_by_reset[] = "run cancelled: the agent was reset";

// The answer is built in the connection's own memory, as a finished run's is; an MCP tool
// call's carrier stays, so the tool gets it as its result.
static void answer_cancelled(int conn)
{
    HeapArena* arena = connection_arena(conn);
    bool enter = arena && heap.entered != arena;
    if (enter)
        heap_enter(arena);
    send_json_error(conn, 409, reason_phrase(409), k_cancelled_by_reset);
    if (enter)
        heap_leave();
}

// The connection of the agent's first queued run, or -1.
static int queued_conn_of(i64 agent)
{
    for (i64 i = 0; i < runs.queue_len; i++) {
        const PendingRun& run = runs.queue[(runs.queue_head + i) % runs.queue_capacity];
        if (run.order.agent == agent)
            return run.order.conn;
    }
    return -1;
}

i64 sandbox_cancel_agent(i64 agent)
{
    i64 cancelled = 0;
    for (int conn; (conn = queued_conn_of(agent)) >= 0; cancelled++) {
        cancel_queued(conn);
        answer_cancelled(conn);
    }
    for (i64 i = runs.request_slots; i < runs.slot_count; i++)
        if (runs.slots[i].busy && runs.slots[i].run.order.agent == agent && !runs.slots[i].child_ended) {
            runs.slots[i].stopped = true;
            kill_run(&runs.slots[i]);
            cancelled++;
        }
    for (i64 i = 0; i < runs.request_slots; i++) {
        RunSlot* slot = &runs.slots[i];
        if (!slot->busy || slot->cancelled || slot->run.order.agent != agent)
            continue;
        int conn = slot->run.order.conn;
        cancel_running(conn);
        answer_cancelled(conn);
        cancelled++;
    }
    return cancelled;
}

// ---- the request runs, as the runs list shows them -------------------------------------

static i64 output_so_far(const RunSlot* slot)
{
    return slot->streams[k_stdout].capture.total + slot->streams[k_stderr].capture.total;
}

i64 sandbox_request_runs(RequestRunView* out, i64 max)
{
    i64 count = 0;
    i64 now = monotonic_ms();
    for (i64 i = 0; i < runs.request_slots && count < max; i++) {
        const RunSlot* slot = &runs.slots[i];
        if (!slot->busy || slot->cancelled)
            continue;
        const RunOrder& order = slot->run.order;
        out[count++] = { slot->run.id, order.agent, order.agent_name, { order.cmd, order.cmd_len }, false, now - slot->start_ms,
            output_so_far(slot), slot->stopped };
    }
    for (i64 i = 0; i < runs.queue_len && count < max; i++) {
        const PendingRun& run = runs.queue[(runs.queue_head + i) % runs.queue_capacity];
        out[count++] = { run.id, run.order.agent, queued_agent_name(run), { run.order.cmd, run.order.cmd_len }, true, now - run.submitted_ms, 0,
            false };
    }
    return count;
}

// From the configuration, so it holds before the first run too (connection memory is sized
// at start-up).
i64 sandbox_request_run_capacity()
{
    i64 slots = state.max_concurrent_runs > 0 ? state.max_concurrent_runs : 1;
    return slots + slots * k_run_queue_per_slot;
}

static constexpr char k_stopped_in_queue[] = "run stopped by the admin before it started";

RequestStop sandbox_stop_request_run(i64 id)
{
    for (i64 i = 0; i < runs.request_slots; i++) {
        RunSlot* slot = &runs.slots[i];
        if (!slot->busy || slot->cancelled || slot->run.id != id)
            continue;
        if (slot->child_ended || slot->stopped)
            return k_request_stop_ended;
        slot->stopped = true;
        kill_run(slot);
        return k_request_stop_killed;
    }
    for (i64 i = 0; i < runs.queue_len; i++) {
        const PendingRun& run = runs.queue[(runs.queue_head + i) % runs.queue_capacity];
        if (run.id != id)
            continue;
        int conn = run.order.conn;
        cancel_queued(conn);
        HeapArena* arena = connection_arena(conn);
        bool enter = arena && heap.entered != arena;
        if (enter)
            heap_enter(arena);
        send_json_error(conn, 409, reason_phrase(409), k_stopped_in_queue);
        if (enter)
            heap_leave();
        return k_request_stop_dropped;
    }
    return k_request_stop_unknown;
}

// ---- the background pool -------------------------------------------------------------

i64 sandbox_start_background(const RunOrder* order)
{
    prepare_server();
    if (!runs_may_overlap())
        return -1;
    for (i64 i = runs.request_slots; i < runs.slot_count; i++) {
        RunSlot* slot = &runs.slots[i];
        if (slot->busy)
            continue;
        PendingRun run {};
        run.order = *order;
        i64 name_len = order->agent_name.len < k_run_agent_name ? order->agent_name.len : k_run_agent_name;
        copy_bytes(run.agent_name, order->agent_name.ptr, name_len);
        run.order.agent_name = { run.agent_name, name_len };
        start_run(slot, run);
        return i;
    }
    return -1;
}

static RunSlot* background_slot(i64 handle)
{
    if (handle < runs.request_slots || handle >= runs.slot_count || !runs.slots[handle].busy)
        return nullptr;
    return &runs.slots[handle];
}

i64 sandbox_write_input(i64 handle, const char* bytes, i64 len)
{
    RunSlot* slot = background_slot(handle);
    if (!slot)
        return -ESRCH;
    i64 written = 0;
    while (slot->stdin_fd >= 0 && written < len) {
        i64 n = sys_write(slot->stdin_fd, bytes + written, len - written);
        if (n == -EINTR)
            continue;
        if (n == -EAGAIN)
            break;
        if (n < 0) {
            close_input(slot);
            return written > 0 ? written : -EPIPE;
        }
        written += n;
    }
    return slot->stdin_fd < 0 && written == 0 ? -EPIPE : written;
}

void sandbox_end_input(i64 handle)
{
    if (RunSlot* slot = background_slot(handle))
        close_input(slot);
}

void sandbox_kill_background(i64 handle)
{
    RunSlot* slot = background_slot(handle);
    if (slot && !slot->child_ended) {
        slot->stopped = true;
        kill_run(slot);
    }
}

bool sandbox_background_room()
{
    prepare_server();
    for (i64 i = runs.request_slots; i < runs.slot_count; i++)
        if (!runs.slots[i].busy)
            return true;
    return false;
}
