// Exit codes and audit verdicts of finished runs (see the header).
#include "exec/run_outcome.h"

static i64 status_signal(int status) { return status & 0x7F; }

i64 exit_code_from_status(int status)
{
    i64 signal = status_signal(status);
    if (signal == 0)
        return (status >> 8) & 0xFF;
    return 128 + signal;
}

i64 output_reports_seccomp(const char* out, i64 len)
{
    return len >= 15 && out[0] == 'B' && out[1] == 'a' && out[2] == 'd' && out[4] == 's';
}

RunVerdict classify_run(int status, i64 timed_out, const char* out, i64 captured)
{
    if (timed_out)
        return k_run_timeout;
    // 159 covers both a shell killed by SIGSYS and a shell reporting that its last child
    // was: the filter kills whichever process makes the call, not always the shell.
    if (exit_code_from_status(status) == k_seccomp_exit_code || output_reports_seccomp(out, captured))
        return k_run_seccomp;
    return k_run_ok;
}
