// The sandbox runner: runs one command under /bin/sh -c in a confined child and hands
// back its combined output, exit code and duration, counting and auditing the run.
#pragma once
#include "runtime/types.h"

// What a run handed back. started is false when no child could be created: then nothing
// was captured, the exit code is -1 and the duration is the previous run's.
struct RunResult {
    bool started;
    i64 captured;
    i64 exit_code;
    i64 duration_ms;
    // The run outlasted the time-out and was killed.
    bool timed_out;
};

// Runs cmd for the agent in registry slot agent_slot (-1 for none; the slot picks the
// command's uid) named agent (its audit entry names it); at most capacity - 1 bytes of
// output land in out, followed by a NUL.
RunResult sandbox_run(i64 agent_slot, ByteSpan agent, const char* cmd, i64 cmd_len, char* out, i64 capacity);
