// The pool of prepared jail inits and the records of every init a run holds (see the
// header). The pool watches its inits' pidfds and control sockets while they wait and
// while they end; a bound init is the runner's to watch.
#include "exec/prepared_runs.h"
#include "core/state.h"
#include "exec/jail.h"
#include "exec/landlock.h"
#include "runtime/console.h"
#include "runtime/error_text.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

// After a failed preparation the pool rests this long before it tries again; runs make
// their inits on arrival meanwhile.
static constexpr i64 k_retry_after_failure_ms = 60000;

struct Pool {
    PreparedRun* records;
    i64 count;
    bool groups_checked;
    bool groups_usable;
    i64 groups_made;
    // The agent and limits of the run that came last: the pool's guess for the next.
    i64 last_agent;
    RunLimits last_limits;
    bool guessed;
    i64 retry_at_ms;
    bool failure_reported;
    // Plain basic mode: prepared rulesets, rulesets_count of them, and the uid's task
    // count taken at tasks_counted_ms.
    int rulesets[k_prepared_runs_high];
    i64 rulesets_count;
    i64 uid_tasks;
    i64 tasks_counted_ms;
    // A run has taken the count since: it is taken anew, in a quiet step of its own.
    bool count_wanted;
};
static constinit Pool pool {};

// Every run slot may hold one record and be ending another; the pool holds its own.
static i64 records_max()
{
    i64 slots = (state.max_concurrent_runs > 0 ? state.max_concurrent_runs : 1) + (state.max_background_runs > 0 ? state.max_background_runs : 0);
    return slots * 2 + k_prepared_runs_high;
}

// Per record: its pidfd and control socket, its groups' two "tasks" files and eventfd,
// and those of the groups it left while it was moved.
static constexpr i64 k_descriptors_per_record = 2 + 3 + 3;

i64 prepared_runs_descriptors()
{
    if (jail.mode == k_jail_none)
        return landlock_cached_places_max() + k_prepared_runs_high;
    return records_max() * k_descriptors_per_record;
}

static bool pool_ready()
{
    if (pool.records)
        return true;
    i64 count = records_max();
    // The stacks inside must be 16-byte aligned; the heap aligns to 8.
    char* block = (char*)heap_alloc_lasting((u64)(count * (i64)sizeof(PreparedRun) + 16));
    if (!block)
        return false;
    pool.records = (PreparedRun*)(((u64)block + 15) & ~(u64)15);
    pool.count = count;
    return true;
}

static bool groups_usable()
{
    if (!pool.groups_checked) {
        pool.groups_usable = jail.mode == k_jail_kernel && run_cgroups_available();
        pool.groups_checked = true;
    }
    return pool.groups_usable;
}

// The run's memory bound (memory and swap together) and task bound, the jail's init
// included, inside its agent's group, which holds the agent's workspace besides: bounded
// by workspace_mb + max_mem_mb, so the agent's runs share one max_mem_mb beside the
// workspace. A slot outside the registry means a run without one, at the top.
static GroupFit fit_for(i64 agent, const RunLimits& limits)
{
    i64 run_mb = limits.max_mem_mb > 0 ? limits.max_mem_mb : 1;
    i64 tasks = (limits.max_procs > 0 ? limits.max_procs : 1) + 1;
    i64 slot = agent >= 0 && agent < state.max_agents ? agent : -1;
    return { slot, run_mb * 1048576, tasks, (state.workspace_mb + run_mb) * 1048576 };
}

static bool same_fit(const GroupFit& a, const GroupFit& b)
{
    return a.agent == b.agent && a.memory_bytes == b.memory_bytes && a.tasks == b.tasks && a.agent_memory_bytes == b.agent_memory_bytes;
}

static bool make_groups(RunCgroup* group, const GroupFit& fit)
{
    return run_cgroup_create(group, ++pool.groups_made, fit.memory_bytes, fit.tasks, fit.agent, fit.agent_memory_bytes) == 1;
}

static PreparedRun* record_in(PreparedState wanted)
{
    if (!pool_ready())
        return nullptr;
    for (i64 i = 0; i < pool.count; i++)
        if (pool.records[i].state == wanted)
            return &pool.records[i];
    return nullptr;
}

static bool pooled(const PreparedRun* run) { return run->state == k_prepared_waiting || run->state == k_prepared_ready; }

i64 prepared_runs_waiting()
{
    i64 waiting = 0;
    for (i64 i = 0; i < pool.count; i++)
        waiting += pooled(&pool.records[i]) ? 1 : 0;
    return waiting;
}

// Clones an init that joins the record's groups while it prepares, if it has any.
static bool clone_init(PreparedRun* run)
{
    run->reaped = false;
    run->has_stale_group = false;
    run->pidfd = -1;
    run->control_fd = -1;
    run->init.memory_procs_fd = run->has_group ? run->group.memory_procs_fd : -1;
    run->init.pids_procs_fd = run->has_group ? run->group.pids_procs_fd : -1;
    i64 pid = jail_init_start(&run->init, &run->pidfd, &run->control_fd);
    if (pid < 0) {
        if (run->has_group)
            run_cgroup_remove(&run->group);
        run->has_group = false;
        return false;
    }
    run->pid = pid;
    return true;
}

// An init made for its run, in the run's groups from its start. Without groups (a host
// without them, or a failure to make them) the run goes on under its per-process limits
// alone, as any run there does.
static bool start_init(PreparedRun* run, const GroupFit& fit)
{
    run->fit = fit;
    run->has_group = groups_usable() && make_groups(&run->group, fit);
    return clone_init(run);
}

// Closes what the record holds and removes its groups; its init is gone.
static void free_run(PreparedRun* run)
{
    int fds[] = { run->pidfd, run->control_fd };
    for (int fd : fds) {
        if (fd < 0)
            continue;
        unwatch_fd(fd);
        sys_close(fd);
    }
    run->pidfd = run->control_fd = -1;
    if (run->has_group)
        run_cgroup_remove(&run->group);
    if (run->has_stale_group)
        run_cgroup_remove(&run->stale_group);
    run->has_group = run->has_stale_group = false;
    run->state = k_prepared_free;
}

// SIGKILL ends the init and its namespace; the wait is for the kernel's teardown alone.
static void kill_and_reap(PreparedRun* run)
{
    sys_kill((int)run->pid, SIGKILL);
    int status = 0;
    while (sys_wait4((int)run->pid, &status, __WALL, nullptr) == -EINTR) { }
    run->reaped = true;
}

// One console line per streak of failures; the next ready init ends the streak.
static void note_failure(const char* step, i64 error)
{
    pool.retry_at_ms = monotonic_ms() + k_retry_after_failure_ms;
    if (pool.failure_reported)
        return;
    pool.failure_reported = true;
    char line[k_console_line_max];
    i64 pos = append_text(line, 0, "[Cindervox] Prepared runs paused: preparing failed (");
    pos = append_text(line, pos, step != nullptr ? step : "init");
    pos = append_text(line, pos, " failed: ");
    pos = append_error_name(line, pos, error);
    pos = append_text(line, pos, "); runs are prepared when their commands arrive\n");
    print_bytes(line, pos);
}

static void on_pool_init_end(void* owner, u32)
{
    PreparedRun* run = (PreparedRun*)owner;
    if (!pooled(run) && run->state != k_prepared_ending)
        return;
    int status = 0;
    i64 pid = sys_wait4((int)run->pid, &status, WNOHANG | __WALL, nullptr);
    if (pid == 0 || pid == -EINTR)
        return;
    if (pooled(run) && run->init.failed_step != nullptr)
        note_failure(run->init.failed_step, run->init.failed_error);
    free_run(run);
}

// A socket at its end stays readable: it leaves the loop, and the pidfd tells the rest.
static void on_pool_init_report(void* owner, u32)
{
    PreparedRun* run = (PreparedRun*)owner;
    if (!pooled(run) || run->control_fd < 0)
        return;
    for (;;) {
        InitReport report = jail_init_read_report(run->control_fd);
        if (report == k_init_quiet)
            return;
        if (report == k_init_gone) {
            unwatch_fd(run->control_fd);
            return;
        }
        if (report == k_init_ready) {
            run->state = k_prepared_ready;
            pool.failure_reported = false;
        }
    }
}

static void watch_pooled(PreparedRun* run)
{
    run->pid_watch = { on_pool_init_end, run };
    run->control_watch = { on_pool_init_report, run };
    watch_fd(run->pidfd, EPOLLIN, &run->pid_watch);
    watch_fd(run->control_fd, EPOLLIN, &run->control_watch);
}

// Plain basic mode prepares rulesets, where the kernel has Landlock.
static i64 target_size()
{
    i64 wanted = state.prepared_runs < k_prepared_runs_high ? state.prepared_runs : k_prepared_runs_high;
    if (jail.mode == k_jail_none && landlock_abi() == 0)
        return 0;
    return wanted > 0 ? wanted : 0;
}

// A waiting init whose run groups are still to be made ahead.
static PreparedRun* ungrouped_run()
{
    if (!groups_usable() || !pool.guessed)
        return nullptr;
    for (i64 i = 0; i < pool.count; i++)
        if (pooled(&pool.records[i]) && !pool.records[i].has_group)
            return &pool.records[i];
    return nullptr;
}

bool prepared_runs_short()
{
    if (jail.mode != k_jail_none && ungrouped_run())
        return true;
    if (jail.mode == k_jail_none && target_size() > 0 && pool.count_wanted)
        return true;
    i64 have = jail.mode == k_jail_none ? pool.rulesets_count : prepared_runs_waiting();
    if (have >= target_size())
        return false;
    return pool.retry_at_ms == 0 || monotonic_ms() >= pool.retry_at_ms;
}

PlainPrepared prepared_plain_take()
{
    if (pool.rulesets_count == 0)
        return { -1, -1 };
    bool fresh = pool.tasks_counted_ms > 0 && monotonic_ms() - pool.tasks_counted_ms < k_uid_tasks_fresh_ms;
    pool.count_wanted = true;
    return { pool.rulesets[--pool.rulesets_count], fresh ? pool.uid_tasks : -1 };
}

static bool prepare_ruleset()
{
    i64 ruleset = landlock_prepare(k_jail_none, landlock_abi());
    if (ruleset < 0) {
        note_failure("Landlock rules", ruleset);
        return false;
    }
    pool.rulesets[pool.rulesets_count++] = (int)ruleset;
    if (pool.tasks_counted_ms == 0)
        pool.count_wanted = true;
    return true;
}

// The previous run's processes are gone by now (plain runs take turns, each swept).
static bool count_tasks()
{
    pool.uid_tasks = count_uid_tasks((u32)sys_getuid());
    pool.tasks_counted_ms = monotonic_ms();
    pool.count_wanted = false;
    return true;
}

bool prepared_runs_refill()
{
    if (!prepared_runs_short())
        return false;
    if (jail.mode == k_jail_none)
        return pool.rulesets_count < target_size() ? prepare_ruleset() : count_tasks();
    // Each quiet step does one thing, so it holds the loop for less: the groups of a waiting
    // init for the guessed agent (a failure leaves them to be made on the run's way), or
    // one more init, which waits in the server's groups.
    if (PreparedRun* run = ungrouped_run()) {
        GroupFit guess = fit_for(pool.last_agent, pool.last_limits);
        run->has_group = make_groups(&run->group, guess);
        run->fit = guess;
        if (!run->has_group)
            pool.guessed = false;
        return true;
    }
    PreparedRun* run = record_in(k_prepared_free);
    if (!run)
        return false;
    run->has_group = false;
    if (!clone_init(run)) {
        run->state = k_prepared_free;
        note_failure(run->init.failed_step, run->init.failed_error);
        return false;
    }
    run->state = k_prepared_waiting;
    watch_pooled(run);
    return true;
}

// The groups a waiting init joins when bound: those made ahead when they fit the run (only
// bounds that differ are written anew), else groups made now; those made ahead then go
// once the init has been reaped.
static bool fit_groups(PreparedRun* run, const GroupFit& want)
{
    if (!groups_usable())
        return true;
    bool same_parent = run->fit.agent == want.agent && run->fit.agent_memory_bytes == want.agent_memory_bytes;
    bool fits = run->has_group && same_parent &&
        (same_fit(run->fit, want) || run_cgroup_rebound(&run->group, want.memory_bytes, want.tasks));
    if (!fits) {
        RunCgroup fresh {};
        if (!make_groups(&fresh, want))
            return false;
        if (run->has_group) {
            run->stale_group = run->group;
            run->has_stale_group = true;
        }
        run->group = fresh;
        run->has_group = true;
    }
    run->fit = want;
    run->init.join_memory_fd = run->group.memory_procs_fd;
    run->init.join_pids_fd = run->group.pids_procs_fd;
    return true;
}

PreparedRun* prepared_run_take(i64 agent, const RunLimits& limits, const char** failed_step, i64* failed_error)
{
    GroupFit want = fit_for(agent, limits);
    pool.last_agent = want.agent;
    pool.last_limits = limits;
    pool.guessed = true;
    if (PreparedRun* run = record_in(k_prepared_ready)) {
        unwatch_fd(run->pidfd);
        unwatch_fd(run->control_fd);
        if (fit_groups(run, want)) {
            run->state = k_prepared_bound;
            return run;
        }
        kill_and_reap(run);
        free_run(run);
    }
    PreparedRun* run = record_in(k_prepared_free);
    if (!run) {
        *failed_step = "jail init record";
        *failed_error = -EAGAIN;
        return nullptr;
    }
    if (!start_init(run, want)) {
        *failed_step = run->init.failed_step;
        *failed_error = run->init.failed_error;
        return nullptr;
    }
    run->state = k_prepared_bound;
    return run;
}

void prepared_run_release(PreparedRun* run, bool reaped)
{
    if (run->control_fd >= 0) {
        sys_close(run->control_fd);
        run->control_fd = -1;
    }
    if (!reaped && run->init.plan == nullptr)
        kill_and_reap(run);
    if (reaped || run->reaped)
        return free_run(run);
    run->state = k_prepared_ending;
    run->pid_watch = { on_pool_init_end, run };
    watch_fd(run->pidfd, EPOLLIN, &run->pid_watch);
}

void prepared_runs_discard()
{
    while (pool.rulesets_count > 0)
        sys_close(pool.rulesets[--pool.rulesets_count]);
    for (i64 i = 0; i < pool.count; i++) {
        PreparedRun* run = &pool.records[i];
        if (pooled(run) || run->state == k_prepared_ending)
            kill_and_reap(run);
        if (pooled(run) || run->state == k_prepared_ending)
            free_run(run);
    }
}

void prepared_runs_forget_agent(i64 slot)
{
    if (pool.last_agent == slot)
        pool.last_agent = -1;
    // The groups made ahead in the agent's group hold no task yet: they go, and the inits
    // wait on for groups made anew. Stale groups never held one (an init joins only the
    // groups of its run), so every record's go now, whichever agent's group they are in.
    for (i64 i = 0; i < pool.count; i++) {
        PreparedRun* run = &pool.records[i];
        if (run->has_stale_group)
            run_cgroup_remove(&run->stale_group);
        run->has_stale_group = false;
        if (!pooled(run) || !run->has_group || run->fit.agent != slot)
            continue;
        run_cgroup_remove(&run->group);
        run->has_group = false;
    }
}
