// Small helpers one level above the raw system calls: whole writes, clock readings.
#pragma once
#include "runtime/syscall.h"

// Writes all len bytes unless the descriptor fails; retries on EINTR and short writes.
// Returns len, or the negative error of the failing call.
i64 write_all(int fd, const void* buf, i64 len);

// Reads once, retrying only on EINTR. Returns what the kernel returned.
i64 read_retry(int fd, void* buf, i64 len);

// One read of at most max bytes of a small file (configuration, token, policy). Returns
// the length read (0 for an empty or unreadable file), or the negative error of the open
// when the file cannot be opened.
i64 read_small_file(const char* path, char* buf, i64 max);

// Sends the pieces on a socket until all are sent, the peer is gone or the socket's send
// time-out passes. MSG_NOSIGNAL: a peer that already closed must not end the process.
// Changes the iovec array it is given.
void send_all(int conn, iovec_k* iov, u64 count);

// send_all of one piece.
void send_bytes(int conn, const char* bytes, i64 len);

// Whole seconds of the real-time clock.
i64 now_seconds();

// Milliseconds of the monotonic clock (for durations).
i64 monotonic_ms();
