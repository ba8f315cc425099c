// The sandbox runner: runs one command under /bin/sh -c in a confined child and hands
// back its combined output, exit code and duration, counting and auditing the run.
#pragma once
#include "runtime/types.h"

// Runs cmd for the named agent (its audit entry names it); at most capacity - 1 bytes of output land in out, followed by a NUL.
// Returns -1 when no child could be created, else captured * 256 + exit_code.
i64 sandbox_run(ByteSpan agent, const char* cmd, i64 cmd_len, char* out, i64 capacity);
