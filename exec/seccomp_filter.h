// The seccomp program every command runs under. It kills the process on any call made
// under another architecture, on any x32 call number, and on the network, tracing and
// kernel-management calls of its table; a local (AF_UNIX) socket fails with EACCES
// instead, so the C library's name-service lookups fall back to files, and the kernel
// keyring calls fail with EPERM (keys would outlive the run and cross agents). Namespaces
// (unshare, setns, clone with a namespace flag), every mount call, the host and domain
// names, userfaultfd, memfd_secret, bpf, perf_event_open and a personality change fail
// with EPERM too, and clone3 with ENOSYS, so that the C library falls back to clone: these
// are refused rather than killed, as a program may try them and carry on without.
//
// In basic isolation the command runs under the server's own uid and sees its pid, so the
// program can also guard the server: signals, pidfds, resource limits, scheduling and
// I/O priorities, page migration and kcmp aimed at the server's pid or process group (or at
// every process, kill(-1, ...), or every process of the uid) fail with EPERM, and so does
// making the server the owner of a descriptor's signals (F_SETOWN, F_SETOWN_EX, FIOSETOWN,
// SIOCSPGRP). pidfd_send_signal and process_madvise, whose pidfd cannot be traced here,
// always fail. Pure: it only fills an array, so it is tested hosted.
#pragma once
#include "runtime/abi.h"
#include "runtime/types.h"

// Room for the program; seccomp_filter.cpp proves that the longest one fits.
constexpr i64 k_seccomp_filter_max = 128;

// The process a basic-mode command must not reach; pid 0 means none (kernel isolation,
// where the command's PID namespace hides the server). A pgid of 0 (getpgid's answer when
// the group leader lies outside the server's PID namespace) guards the pid alone.
struct GuardedProcess {
    u32 pid;
    u32 pgid;
    // The command's Landlock domain is scoped (exec/landlock.h): no signal, and no
    // descriptor-owner signal, leaves the run, and tracing-class access (kcmp, page
    // migration, process_madvise) to a process outside it is refused; the filter then
    // leaves those calls to Landlock and keeps its guard of the rest.
    bool signals_scoped;
};

// Writes the program into out (k_seccomp_filter_max entries) and returns its length.
i64 build_seccomp_filter(sock_filter_k* out, GuardedProcess guarded);
