// Jail inits made ahead of their commands (the jail modes only). Most of what a run's init
// does needs no command and no agent: new PID, mount and IPC namespaces, its control
// groups, a fresh /proc and /dev/shm, the pivot into the jail and its Landlock ruleset
// (exec/confinement.h). The pool keeps prepared_runs= of them waiting, made while the
// server is idle; a command then takes one and binds it to its agent (workspace, network
// and user namespaces, uid, limits, filter), which is all that is left on its way. Each
// init serves exactly one command and ends with it: nothing of one run is there for the
// next. With prepared_runs=0, or when none is ready, a run's init is made when its command
// arrives, as it always was; where preparing fails, the console says so once and runs keep
// making their inits on arrival.
//
// A run's memory control group lies inside its agent's group (exec/run_cgroup.h), and the
// agent is not known in advance. A waiting init stays in the server's own groups, outside
// every agent's: it shares the server's memory, so an out-of-memory kill in an agent's
// group must never be able to choose it. The pool makes each waiting init's run groups
// ahead, in the group of the agent whose run came last and with that run's bounds, and
// the init joins them when bound, before the shell starts; a command of another agent (or
// with other bounds) gets its groups made on its way. The init joins them itself: the
// kernel moves a process that names itself without waiting for the global lock of every
// thread group, which moving another's pid takes (an RCU grace period, milliseconds).
//
// Plain basic mode has no init to prepare; what it prepares is each run's Landlock ruleset
// with every place but the agent's workspace (the host's /etc read entry by entry), and the
// count of the server's uid's tasks that the run's process limit starts from (every
// process's status read from /proc), prepared_runs= rulesets and one count, each made in a
// quiet step of its own while the server is idle. Plain runs take turns and the server
// sweeps every leftover after each, so the count taken after a run is the one the next run
// would take, unless a process of the same uid outside the server ended meanwhile (the
// next run could then start that many more); one older than k_uid_tasks_fresh_ms is taken
// anew on the run's way.
//
// Records: each bound run holds one until its init has been reaped, which may come after
// the run's answer (the init reports the end of the run's processes first).
#pragma once
#include "core/event_loop.h"
#include "core/run_limits.h"
#include "exec/confinement.h"
#include "exec/run_cgroup.h"
#include "runtime/types.h"

// Where the run's groups were made and with which bounds; agent -1 for none.
struct GroupFit {
    i64 agent;
    i64 memory_bytes;
    i64 tasks;
    i64 agent_memory_bytes;
};

enum PreparedState : u8 {
    k_prepared_free,
    // Cloned, preparing itself; not yet reported ready.
    k_prepared_waiting,
    k_prepared_ready,
    // Taken by a run: the runner watches its pidfd and control socket.
    k_prepared_bound,
    // Given back by its run; its init has not been reaped yet.
    k_prepared_ending,
};

struct PreparedRun {
    JailInit init;
    PreparedState state;
    i64 pid;
    int pidfd;
    // The server's end of the control socket.
    int control_fd;
    bool reaped;
    // The run's groups (when the host has them) and what they were made for: joined while
    // the init prepared when it was made for its run, else made ahead by the pool (or on
    // the run's way) and joined when bound. Groups made ahead for another agent or other
    // bounds are stale: they never hold a task, and go once the init has been reaped or an
    // agent is torn down.
    bool has_group;
    RunCgroup group;
    GroupFit fit;
    bool has_stale_group;
    RunCgroup stale_group;
    Watch pid_watch;
    Watch control_watch;
};

// A started init for a run of agent (a registry slot, or -1) under limits, its groups
// made for both: a prepared one when one is ready, else one cloned now. The caller binds
// it (jail_init_bind) and gives it back with prepared_run_release. nullptr when none could
// be made; *failed_step and *failed_error say why.
PreparedRun* prepared_run_take(i64 agent, const RunLimits& limits, const char** failed_step, i64* failed_error);

// The run is over for its runner (answered, or never started): reaped says whether the
// runner has reaped the init already; otherwise the pool does when it ends. An init that
// was never bound is killed first. Its groups go once it is gone.
void prepared_run_release(PreparedRun* run, bool reaped);

// The loop is idle: prepares one more init when the pool is short of prepared_runs=.
// Returns true when it started one.
bool prepared_runs_refill();

// Whether the pool is short of prepared_runs= and may prepare more now.
bool prepared_runs_short();

// Descriptors the pool and the records of runs' inits may hold at once, at most (plain
// basic mode: its prepared rulesets and their places).
i64 prepared_runs_descriptors();

// Inits waiting in the pool (ready or still preparing).
i64 prepared_runs_waiting();

// Plain basic mode: a prepared Landlock ruleset (close-on-exec) for the caller to take
// over, or -1 when none is ready; and the uid's task count taken with it, or -1 when it
// is stale (or there was none).
constexpr i64 k_uid_tasks_fresh_ms = 10000;
struct PlainPrepared {
    int ruleset;
    i64 uid_tasks;
};
PlainPrepared prepared_plain_take();

// Kills and reaps every init of the pool (an orderly stop, the sandbox reset).
void prepared_runs_discard();

// The agent in slot is torn down: pooled inits whose memory group lies in its group are
// killed and reaped, so the group can go.
void prepared_runs_forget_agent(i64 slot);
