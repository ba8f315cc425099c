// How the server learns which call of the filter's kill list (exec/seccomp_filter.h) a
// command made. Where the kernel offers it, the shell installs its filter with a listener
// (SECCOMP_FILTER_FLAG_NEW_LISTENER) and the kill list answers SECCOMP_RET_USER_NOTIF: the
// call then waits in the kernel, unrun, until someone answers it, and the listener reads
// the call's number. The shell passes the listener to the server over a socket pair made
// for the run (SCM_RIGHTS) and closes its own copy before its execve, so the command never
// holds it; the server watches it, and on the first notice records the call's name and
// kills the run as a time-out does (exec/sandbox_runner.cpp).
//
// The notice is never answered: the caller stays stopped in the call until the kill reaches
// it (in the jail modes the end of the run's PID namespace, which follows the end of its
// init), so it never runs another instruction. A listener closed with notices pending (the
// run over, its processes gone) makes them fail with ENOSYS; no answer ever lets the call
// run (the server never sends SECCOMP_USER_NOTIF_FLAG_CONTINUE).
//
// A kernel without listeners (or a server already under a filter with one, where the
// kernel refuses a second) keeps the kill in the kernel: the run still ends as a seccomp
// block, without the call's name.
#pragma once
#include "runtime/abi.h"
#include "runtime/types.h"

// The shell's descriptor for its end of the socket pair, from the standard descriptors'
// reduction (exec/confinement.cpp) until it has sent the listener.
constexpr int k_notice_descriptor = 3;

// Start-up: whether a filter with a listener can be installed here, tried once in a
// short-lived child. Prints nothing.
bool seccomp_notice_probe();
// What the probe found.
bool seccomp_notice_usable();

// The shell, last step before its execve: installs program with a listener and sends the
// listener over socket_fd; closes both. No-new-privileges must be set already. Returns 0
// or the negated errno of the step that failed (the filter stays installed then).
i64 seccomp_install_reporting(const sock_fprog_k* program, int socket_fd);

// The server: the listener the shell sent over socket_fd (its own end of the pair, which it
// reads without blocking), close-on-exec. -EAGAIN while nothing has come; 0 bytes or a
// message without a descriptor (the shell gave up before its filter) give -ECONNRESET.
i64 seccomp_receive_listener(int socket_fd);

// The server: the number of the call of one waiting notice, read without blocking; or
// -EAGAIN when no notice waits (an event that is already stale), -ENOENT when its caller
// died meanwhile, or -EPIPE when no process is left under the filter (no notice can come
// any more; the listener then stays readable as hung up).
i64 seccomp_read_notice(int listener_fd);
