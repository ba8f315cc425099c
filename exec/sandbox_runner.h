// The sandbox runner: runs shell commands under /bin/sh -c in confined children, side by
// side, each watched by the event loop (its pidfd, its output pipes and its input pipe), and
// hands back each one's output streams, exit code and duration when it ends, counting and
// auditing the run.
#pragma once
#include "exec/output_capture.h"
#include "core/run_limits.h"
#include "exec/run_outcome.h"
#include "runtime/types.h"

// What a run handed back. started is false when the command could not be started (no
// pipe, no child, or a confinement step of the child failed): then nothing was captured,
// the exit code is -1, and failed_step and failed_error say which step failed and its
// negated errno.
struct RunResult {
    bool started;
    // The streams as the order's buffers now hold them (capture_finish); with merge_stderr
    // both went to stdout and stderr is empty.
    CapturedStream stdout_stream;
    CapturedStream stderr_stream;
    i64 exit_code;
    i64 duration_ms;
    // The run outlasted its time-out and was killed.
    bool timed_out;
    // How the run ended: k_run_memory when its memory group ran out, k_run_seccomp when the
    // filter killed a process of it.
    RunVerdict verdict;
    const char* failed_step;
    i64 failed_error;
    // The run was killed for a call of the seccomp filter's kill list, and this is the
    // call's name ("ptrace"); nullptr for any other run, and for a kill whose call the
    // server could not learn (the kernel killed the caller itself). A seccomp kill of
    // either kind has the exit code 159.
    const char* killed_call;
    // The admin stopped the run (sandbox_stop_request_run); its exit code is 137.
    bool stopped;
};

// The environment a request may add: each entry "NAME=value" and its NUL, 32 KiB in all;
// the shortest entry ("A=" and its NUL) takes three bytes.
constexpr i64 k_env_bytes_max = 32768;
constexpr i64 k_env_entries_max = k_env_bytes_max / 3;
// The working directory a request may name, relative to the run's /tmp: at most 4095
// bytes and a NUL, as chdir takes a path.
constexpr i64 k_cwd_max = 4095;

// The confinement step that enters the working directory a request named; a run it stops
// failed because the directory is missing or cannot be entered, not because of the host.
inline constexpr char k_step_working_directory[] = "working directory";

// What a request asks of its run besides the command. Every span must stay valid until
// done has been called, as the command must.
struct RunOptions {
    // One pipe for both streams: the command's standard error goes to stdout's buffer.
    bool merge_stderr;
    // Written to the command's standard input by the loop; ptr nullptr for an input that
    // reads as empty (/dev/null).
    ByteSpan stdin_data;
    // "NAME=value" entries with their NULs, env_count of them (at most k_env_bytes_max).
    ByteSpan env;
    i64 env_count;
    // The working directory relative to /tmp, "" for /tmp itself.
    ByteSpan cwd;
    // The run's time-out; 0 for the profile's. Never more than the profile's (the order's
    // limits).
    i64 timeout_ms;
    // A background run: its time-out is max_background_seconds (timeout_ms may shorten
    // it), and its input is a pipe that stays open for sandbox_write_input until
    // sandbox_end_input (stdin_data is not used).
    bool background;
};

// One command to run, and whom to tell when it has ended. cmd, the buffers and the options'
// spans must stay valid until done has been called; the agent's name is copied.
struct RunOrder {
    int conn;
    // Registry slot of the agent (-1 for none): picks the command's uid and workspace.
    i64 agent;
    ByteSpan agent_name;
    const char* cmd;
    i64 cmd_len;
    // Each of capture_buffer_size(capacity) bytes; stderr_out is unused with merge_stderr.
    char* stdout_out;
    char* stderr_out;
    i64 capacity;
    RunOptions options;
    // The limits of the profile that holds for the agent (its own, or the global one),
    // chosen when the request was judged: a profile change later does not touch a run
    // already admitted.
    RunLimits limits;
    // The caller's own record of the request, handed back to done.
    const void* context;
    void (*done)(const RunOrder* order, const RunResult* result);
    // Told each piece of output as it is read (nullptr for nobody): stream 0 is standard
    // output (both streams with merge_stderr), 1 standard error; the bytes are valid only
    // during the call. Never called after done, nor after the run was cancelled.
    void (*output)(void* sink, i64 stream, const char* bytes, i64 len);
    void* output_sink;
};

enum RunAdmission { k_run_admitted, k_run_queue_full, k_run_agent_share_full };

// Makes the run slots and the queue, and readies the server for its children (it adopts
// the orphans of basic-mode commands, and becomes non-dumpable). Idempotent; the first
// submission does it too.
void sandbox_runner_init();

// Starts the run at once when a run slot is free, else queues it (first in, first out).
// Refuses it when the agent already has runs_per_agent() runs running or queued, or when
// the queue is full. done is called from the event loop when the run has ended (or at
// once, before this returns, when it cannot be started).
RunAdmission sandbox_submit(const RunOrder* order);

// How many runs one agent may have running and queued together: max_runs_per_agent= of
// the configuration, or by default half the run slots (at least 1).
i64 runs_per_agent();

// 1 while a run for connection conn is running or queued.
i64 sandbox_has_order(int conn);

// From now on each piece of output of conn's run (running or queued) is told to output
// with sink, as an order's output is. Returns false when conn has no run.
bool sandbox_watch_output(int conn, void (*output)(void* sink, i64 stream, const char* bytes, i64 len), void* sink);

// The client of connection conn has gone, before the close that frees conn's descriptor
// and memory for another connection. A queued run is dropped unrun; a running one is
// killed with its process tree, as at a time-out, and stops writing into conn's memory at
// once. Either is audited as "CANCELLED", and done is never called for it, so nothing can
// be answered to a later connection on the same descriptor (nor carried: conn's answer
// carrier is dropped as well). Returns 1 when conn had a run.
i64 sandbox_cancel(int conn);

// Ends runs that outlasted their time-out and finishes those whose output went quiet after
// their end. Called by the loop after every wait.
void sandbox_tick(i64 now_ms);

// The earliest deadline of the runs in progress (monotonic ms), or 0 for none.
i64 sandbox_next_deadline();

// Whether runs may overlap. In the jail modes (kernel, and basic with rootless namespaces)
// each run's processes live in a PID namespace of their own, whose end takes them all. In
// basic mode without namespaces an orphan is adopted by the server, which cannot tell which
// run it came from, so the sweep after a run has to be able to kill every child the server
// has: those runs take turns.
bool runs_may_overlap();

// Ids of runs, request and background alike, counting from 1: no two runs share one.
i64 sandbox_new_run_id();

// A request run as the runs list shows it. The spans point into the run's connection
// memory: valid until the loop next runs.
struct RequestRunView {
    i64 id;
    // Registry slot, -1 for a console command.
    i64 agent;
    ByteSpan agent_name;
    ByteSpan cmd;
    bool queued;
    // Since it started, or since it was submitted while queued.
    i64 elapsed_ms;
    // Bytes the command has written so far (both streams).
    i64 output_bytes;
    bool stopping;
};

// The request runs running and queued, at most max of them, running ones first; returns
// how many. sandbox_request_run_capacity() is the most there can be.
i64 sandbox_request_runs(RequestRunView* out, i64 max);
i64 sandbox_request_run_capacity();

// Stops request run id: a running one is killed with its process tree and answered with
// exit code 137 and "stopped":true (audited EXEC STOPPED); a queued one leaves the queue
// unrun and is answered 409 (audited EXEC CANCELLED).
enum RequestStop { k_request_stop_unknown, k_request_stop_killed, k_request_stop_dropped, k_request_stop_ended };
RequestStop sandbox_stop_request_run(i64 id);

// Runs waiting at most: four for every run slot.
constexpr i64 k_run_queue_per_slot = 4;

// Starts a background run at once in a slot of the background pool (max_background_runs
// slots beside the request runs'); order->conn is -1, and done is called when it has
// ended, as for any run (or before this returns, when it could not start). Returns the
// run's handle, or -1 when every background slot is taken or runs take turns on this host
// (basic mode without namespaces).
i64 sandbox_start_background(const RunOrder* order);

// Writes what the background run's input pipe takes now of bytes, without waiting.
// Returns the bytes written, or -EPIPE when its input is closed (or the command stopped
// reading), or -ESRCH when handle is no running background run.
i64 sandbox_write_input(i64 handle, const char* bytes, i64 len);

// Closes the background run's input: the command reads its end.
void sandbox_end_input(i64 handle);

// Kills the background run with its whole process tree; its end is audited as stopped and
// done is called with the exit code of the kill.
void sandbox_kill_background(i64 handle);

// Whether the background pool has a free slot now (a run that has ended holds its slot until
// its processes are gone).
bool sandbox_background_room();

// Runs going and waiting, for an orderly stop.
i64 sandbox_runs_in_progress();

// Request runs (not background ones) going and waiting: while there are any, the server is
// not idle.
i64 sandbox_request_runs_in_progress();

// Runs going in the request slots and in the background pool, runs waiting, and the
// queue's room, for the metrics.
struct RunCounts {
    i64 running;
    i64 background;
    i64 queued;
    i64 queue_capacity;
};
RunCounts sandbox_run_counts();

// Answers every run still waiting for a slot with 503 "server shutting down" and forgets
// it; returns how many there were.
i64 sandbox_drop_queued();

// Whether agent slot agent has a run running (a cancelled one too, until its processes are
// gone) or queued: its slot, uid and workspace are in use.
bool sandbox_agent_busy(i64 agent);

// The agent's runs are cancelled for its reset: queued ones dropped unrun, running ones
// killed with their process trees, each audited "CANCELLED" and answered at once with 409
// "run cancelled: the agent was reset". Returns how many there were.
i64 sandbox_cancel_agent(i64 agent);

// Kills every run still going with its process tree (in kernel mode its whole PID
// namespace, in basic mode its process group, and the sweep after it the rest); the runs
// then end and are answered as usual. Returns how many were killed.
i64 sandbox_kill_all();
