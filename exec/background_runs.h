// Background runs: a command started by POST /api/exec with "background":true goes on
// after its request has been answered (202), in a pool of run slots apart from the request
// runs' (max_background_runs=), each agent holding at most max_background_per_agent= of
// them, each going at most max_background_seconds=. Its standard output and standard error
// go, in the order written, into an output ring of max_output_bytes whose offsets keep
// counting: older output is dropped when the ring is full, and a read names what it missed.
// Its input stays open for POST /api/runs/{id}/stdin until "eof". A run's record stays 10
// minutes after its end (or until a new run needs it, oldest first); an agent sees and
// touches only its own runs, the admin all of them.
#pragma once
#include "core/connection_table.h"
#include "exec/exec_fields.h"
#include "exec/exec_stream.h"
#include "exec/sandbox_runner.h"
#include "runtime/types.h"

// How long a finished run's record stays.
constexpr i64 k_background_keep_ms = 600000;
// Bytes of a command the run lists and status give (the whole length beside them).
constexpr i64 k_background_cmd_shown = 256;
// The 202 answer of a run started: {"ok":true,"run_id":N}.
constexpr i64 k_background_started_size = 64;
// The longest text POST /api/runs/{id}/stdin takes in one request (decoded).
constexpr i64 k_background_stdin_max = 65536;

// The output ring of one run: capacity bytes; byte n of the output (n from 0) lies at
// bytes[n % capacity] while n >= written - capacity.
struct OutputRing {
    char* bytes;
    i64 capacity;
    i64 written;
};

// Appends len bytes, dropping the oldest when the ring is full. Pure.
void output_ring_append(OutputRing* ring, const char* bytes, i64 len);

// What a read from offset from finds: the first offset still kept at or after from (the
// bytes between were dropped), and how many bytes from there, at most max, and not past a
// UTF-8 sequence cut by the end of the output while more may come (final false).
struct OutputSlice {
    i64 from;
    i64 len;
    i64 dropped;
};
// Copies the slice's bytes into out (max bytes). Pure.
OutputSlice output_ring_read(const OutputRing* ring, i64 from, i64 max, bool final, char* out);

// POST /api/exec with "background":true, once every check of the request has passed:
// starts the run and answers 202 {"ok":true,"run_id":N}, or the refusal of its limits.
// Returns false when the run was not admitted (the request was answered with a refusal).
bool start_background_run(int conn, i64 agent, ByteSpan cmd, const ExecFields& fields, const RunLimits& limits);

// The routes over the runs; id is the path's segment, as sent.
void handle_runs_list(int conn, const char* req, i64 req_len);
void handle_run_status(int conn, const char* req, i64 req_len, ByteSpan id, ByteSpan query);
void handle_run_events(int conn, const char* req, i64 req_len, ByteSpan id);
void handle_run_stdin(int conn, const char* req, i64 req_len, ByteSpan id);
void handle_run_stop(int conn, const char* req, i64 req_len, ByteSpan id);

// The longest answer the routes give (the MCP tools carry it): a status with a whole ring
// of output, or the list of every run.
i64 background_answer_max();

// What the routes take of a connection's memory at most, each block rounded as the heap
// rounds it, for the configured max_output_bytes, max_background_runs and max_cmd_bytes.
i64 background_route_memory();
