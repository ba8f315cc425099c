// The seccomp program every command runs under. It kills the process on any call made
// under another architecture, on any x32 call number, and on the network, tracing and
// kernel-management calls of its table; a local (AF_UNIX) socket fails with EACCES
// instead, so the C library's name-service lookups fall back to files.
//
// In basic isolation the command runs under the server's own uid and sees its pid, so the
// program can also guard the server: signals, pidfds and resource limits aimed at the
// server's pid or process group (or at every process, kill(-1, ...)) fail with EPERM, and
// pidfd_send_signal, whose pidfd may come from /proc without any check here, always does.
// Pure: it only fills an array, so it is tested hosted.
#pragma once
#include "runtime/abi.h"
#include "runtime/types.h"

// Room for the program: 5 instructions for the architecture and x32 checks, one per
// filtered call (18), the allow, 3 for the socket family test and the kill make 28; the
// server guard adds 7 compares and 7 instructions of its target test and refusal.
constexpr i64 k_seccomp_filter_max = 48;

// The process a basic-mode command must not reach; pid 0 means none (kernel isolation,
// where the command's PID namespace hides the server).
struct GuardedProcess {
    u32 pid;
    u32 pgid;
};

// Writes the program into out (k_seccomp_filter_max entries) and returns its length.
i64 build_seccomp_filter(sock_filter_k* out, GuardedProcess guarded);
