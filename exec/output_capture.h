// The read side of one of a command's output pipes. A stream is kept up to its capacity;
// beyond it the first half stays where it was read and the last half turns in a ring, so
// the writer never blocks on a full pipe however much it prints, and what it printed last
// (a compiler's final error, a test runner's summary) is still there at the end. Finishing
// the capture puts the two halves in order with one marker line between them that says how
// many bytes were left out.
#pragma once
#include "runtime/types.h"

// "\n[... " + up to 20 digits + " bytes omitted ...]\n".
constexpr i64 k_omission_marker_max = 6 + 20 + 20;

// What a stream's buffer must hold for a capacity: the kept bytes and the marker line.
constexpr i64 capture_buffer_size(i64 capacity) { return capacity + k_omission_marker_max; }

struct OutputCapture {
    // capture_buffer_size(capacity) bytes, or nullptr with capacity 0 (everything read is
    // dropped).
    char* out;
    i64 capacity;
    // Bytes read from the pipe so far, kept or not.
    i64 total;
};

// The bytes kept at the start and at the end of a stream longer than capacity.
constexpr i64 capture_head_size(i64 capacity) { return capacity / 2; }
constexpr i64 capture_tail_size(i64 capacity) { return capacity - capacity / 2; }

// Scratch area for bytes read while nothing is kept; also the largest such read.
constexpr i64 k_drain_chunk = 65536;

// One read from fd. Returns the bytes read (kept or dropped), 0 at end of file, or -errno;
// *read_at (when given) says where they lie, valid until the next read.
i64 capture_read(OutputCapture* capture, int fd, const char** read_at = nullptr);

// Reads until end of file (or a failed read) or until deadline_ms (monotonic) passes.
// Returns 1 when the pipe is finished, 0 when the deadline ended the wait.
i64 capture_until_eof(OutputCapture* capture, int fd, i64 deadline_ms);

// The stream as the answer gives it, in capture->out.
struct CapturedStream {
    i64 len;
    i64 total;
    bool truncated;
};

// Puts the captured bytes in order in capture->out: all of them when they fit; else the
// first half, the marker line "\n[... N bytes omitted ...]\n" and the last half, where a
// half that would begin or end inside a UTF-8 sequence gives the cut bytes of that
// sequence to the omitted ones instead of leaving them broken. Call once, after the last
// read. Pure.
CapturedStream capture_finish(OutputCapture* capture);
