// The read side of a command's output pipe. The first `keep` bytes land in the caller's
// buffer; everything after them is read into a scratch area and dropped, so a writer never
// blocks on a full pipe however much it prints.
#pragma once
#include "runtime/types.h"

struct OutputCapture {
    char* out;
    i64 keep;
    i64 captured;
};

// Scratch area for bytes past the kept ones; also the largest single read.
constexpr i64 k_drain_chunk = 65536;

// One read from fd. Returns the bytes read (kept or dropped), 0 at end of file, or -errno.
i64 capture_read(OutputCapture* capture, int fd);

// Reads until end of file (or a failed read) or until deadline_ms (monotonic) passes.
// Returns 1 when the pipe is finished, 0 when the deadline ended the wait.
i64 capture_until_eof(OutputCapture* capture, int fd, i64 deadline_ms);
