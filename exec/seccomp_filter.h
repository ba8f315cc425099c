// The seccomp program every command runs under. It kills the process on any call made
// under another architecture and on any x32 call number. The tracing, cross-process
// memory, module, kexec and reboot calls and io_uring_setup (the kill list) end the
// command too: the filter either kills the caller in the kernel or, where the server holds
// the filter's listener (SECCOMP_RET_USER_NOTIF), stops the call there for the server to
// read its name and kill the whole run (exec/seccomp_notice.h); either way the call never
// runs. The kernel keyring calls fail with EPERM (keys would outlive the run and cross
// agents). Namespaces (unshare, setns, clone with a namespace flag), every mount call, the
// host and domain names, userfaultfd, memfd_secret, bpf, perf_event_open and a personality
// change fail with EPERM too, and clone3 with ENOSYS, so that the C library falls back to
// clone: these are refused rather than killed, as a program may try them and carry on
// without.
//
// Sockets: only the local, Internet and netlink families may be made (socket and
// socketpair); any other fails with EAFNOSUPPORT (vsock, for one, is not bounded by a
// network namespace and reaches the hypervisor's services). In the jail modes the command
// sits in its agent's network namespace, which has a loopback and no route out, so every
// Internet socket stays on that loopback. In plain basic mode the command shares the
// host's network: local, netlink and Internet sockets fail with EACCES there (a socket
// file of a host service is not guarded by Landlock, netlink lists the host's connections,
// and Landlock would bound TCP alone, not UDP); only socketpair's connected local pairs are
// made. The calls on a socket once made (connect, bind, sendmsg ...) are not filtered: the
// family decides.
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
constexpr i64 k_seccomp_filter_max = 192;

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

// Whose network the command uses: its agent's namespace (the jail modes) or the host's
// (plain basic mode, where Internet sockets are refused).
enum FilterNetwork : u8 { k_network_namespace, k_network_host };

// How a call of the kill list ends the command: killed by the kernel, or stopped and
// handed to the listener the server holds.
enum FilterKill : u8 { k_kill_in_kernel, k_kill_by_listener };

struct FilterSettings {
    GuardedProcess guarded;
    FilterNetwork network;
    FilterKill kill;
};

// Writes the program into out (k_seccomp_filter_max entries) and returns its length.
i64 build_seccomp_filter(sock_filter_k* out, const FilterSettings& settings);

// The name of a call of the kill list ("ptrace", "process_vm_readv" ...), or nullptr for
// any other number: what a run killed by the listener reports.
const char* seccomp_killed_call_name(u32 nr);
