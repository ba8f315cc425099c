// What a finished run amounts to: the exit code a wait status stands for, and which of the
// three audit records the run gets. Pure, so it is tested hosted.
#pragma once
#include "runtime/types.h"

// The exit code reported for a run the runner killed for outlasting its time-out
// (128 + SIGKILL), and the code a seccomp block is audited with (128 + SIGSYS).
constexpr i64 k_timeout_exit_code = 137;
constexpr i64 k_seccomp_exit_code = 159;

// The exit status of a process that exited, or 128 + the signal that ended it.
i64 exit_code_from_status(int status);

// 1 when the output starts the way the shell reports a child killed by the filter
// ("Bad system call"): at least 15 bytes, with B, a, d and s at bytes 0, 1, 2 and 4.
i64 output_reports_seccomp(const char* out, i64 len);

// A run ended for its control group's memory bound is answered like a time-out kill and
// audited with a result of its own (k_run_memory).
enum RunVerdict { k_run_ok, k_run_seccomp, k_run_timeout, k_run_memory };

// A run the runner ended for its time-out is a time-out, whatever it printed; otherwise a
// shell ended by SIGSYS or exiting with 159 (a child ended by SIGSYS), or output that
// starts with the shell's report, is a seccomp block.
RunVerdict classify_run(int status, i64 timed_out, const char* out, i64 captured);
