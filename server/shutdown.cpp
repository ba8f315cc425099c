// Commands start with every signal unblocked again (exec/confinement.cpp), so the blocked
// mask set here is the server's alone.
#include "server/shutdown.h"
#include "core/state.h"
#include "exec/jail.h"
#include "exec/prepared_runs.h"
#include "exec/run_cgroup.h"
#include "runtime/console.h"
#include "runtime/syscall.h"

void hold_stop_signals()
{
    u64 mask = signal_bit(SIGTERM) | signal_bit(SIGINT);
    sys_rt_sigprocmask(SIG_BLOCK, &mask, nullptr);
}

i64 open_stop_signals()
{
    u64 mask = signal_bit(SIGTERM) | signal_bit(SIGINT);
    // Blocked first, so a signal in between waits in the signalfd instead of ending us; one
    // that arrived while held is pending and is read from the signalfd.
    sys_rt_sigprocmask(SIG_BLOCK, &mask, nullptr);
    i64 fd = sys_signalfd4(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0)
        sys_rt_sigprocmask(SIG_UNBLOCK, &mask, nullptr);
    return fd;
}

i64 read_stop_signal(int fd)
{
    signalfd_siginfo_k info {};
    i64 signal = 0;
    while (sys_read(fd, &info, sizeof(info)) == (i64)sizeof(info))
        signal = info.signo;
    return signal;
}

void finish_stop()
{
    // Entries are written as they happen; what remains is to have them on the disk.
    if (state.audit_fd > 0)
        sys_fsync((int)state.audit_fd);
    // The prepared inits hold control groups inside the agents' groups.
    prepared_runs_discard();
    if (state.kernel_isolation == 1) {
        release_jail();
        agent_cgroups_remove();
    }
    print("[Cindervox] Stopped.\n");
    sys_exit_group(0);
}
