// Small helpers one level above the raw system calls: whole writes, clock readings.
#pragma once
#include "runtime/syscall.h"

// Writes all len bytes unless the descriptor fails; retries on EINTR and short writes.
// Returns len, or the negative error of the failing call.
i64 write_all(int fd, const void* buf, i64 len);

// Whole seconds of the real-time clock.
i64 now_seconds();

// Milliseconds of the monotonic clock (for durations).
i64 monotonic_ms();
