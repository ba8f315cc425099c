// The orderly stop of sandbox-server: SIGTERM and SIGINT arrive through a signalfd in the
// event loop, which stops accepting, lets runs in flight finish, kills the rest, and ends
// here.
#pragma once
#include "runtime/types.h"

// How long runs in flight may go on after the signal, and how long the killed ones then
// get to be reaped and answered.
constexpr i64 k_stop_grace_ms = 10000;
constexpr i64 k_stop_kill_wait_ms = 3000;

// Blocks SIGTERM and SIGINT, so that one arriving before the loop watches for it waits
// for the loop instead of ending the server. Called before the server says it listens.
void hold_stop_signals();

// Blocks SIGTERM and SIGINT and returns a non-blocking signalfd that reports them, or a
// negative error (the signals then keep their default action and end the server at once).
i64 open_stop_signals();

// The signal that arrived on fd (0 when none was waiting).
i64 read_stop_signal(int fd);

// Flushes the audit file, takes the jail's binds away, says so and exits 0.
[[noreturn]] void finish_stop();
