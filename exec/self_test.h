// A test run of "/bin/sh -c true" in the server's isolation mode, through the same launch
// code as every command: start-up refuses kernel mode when it fails, and --check shows it.
#pragma once
#include "runtime/types.h"

constexpr i64 k_self_test_output_max = 160;

struct SelfTest {
    bool passed;
    // The confinement step that failed and its negated errno; step nullptr when every
    // step worked (the shell itself may still have failed: see exit_code).
    const char* step;
    i64 error;
    // The run's exit code, -1 when it could not be started or did not end in time.
    i64 exit_code;
    // The start of what the run printed, for the console.
    char output[k_self_test_output_max];
    i64 output_len;
};

// Runs the test; blocks for at most a few seconds.
SelfTest run_self_test();

// Room for describe_self_test's text.
constexpr i64 k_self_test_text_max = 128 + k_self_test_output_max;

// Why the test failed, as one line without its line feed, into out; returns the length.
i64 describe_self_test(const SelfTest& test, char* out);
