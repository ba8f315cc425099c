// Layout of the program (classic BPF only jumps forward, so the shared endings come last):
//   0  load arch            1  x86-64? skip the kill     2  kill
//   3  load nr              4  x32 bit set -> kill
//   5… one compare per filtered call -> kill, or for socket -> the family test
//      with a guarded process: one compare per guarded call -> the target test or EPERM
//      allow
//      with a guarded process: target test: load args[0]; the server's pid, -pid, -pgid
//      or -1 -> EPERM, otherwise allow; then EPERM
//      family test: load args[0]; AF_UNIX -> EACCES, otherwise fall into the kill
//      kill
#include "exec/seccomp_filter.h"

enum FilterAction { k_action_kill, k_action_family_test };

struct FilteredCall {
    u32 nr;
    FilterAction action;
};

// Network, tracing, module, reboot and cross-process memory calls, then io_uring, whose
// submissions would reach the kernel's socket code without passing through this filter.
static constexpr FilteredCall k_filtered_calls[] = {
    { SYS_socket, k_action_family_test },
    { SYS_connect, k_action_kill },
    { SYS_accept, k_action_kill },
    { SYS_sendto, k_action_kill },
    { SYS_recvfrom, k_action_kill },
    { SYS_sendmsg, k_action_kill },
    { SYS_recvmsg, k_action_kill },
    { SYS_bind, k_action_kill },
    { SYS_listen, k_action_kill },
    { SYS_ptrace, k_action_kill },
    { SYS_reboot, k_action_kill },
    { SYS_init_module, k_action_kill },
    { SYS_delete_module, k_action_kill },
    { SYS_kexec_load, k_action_kill },
    { SYS_accept4, k_action_kill },
    { SYS_process_vm_readv, k_action_kill },
    { SYS_process_vm_writev, k_action_kill },
    { SYS_io_uring_setup, k_action_kill },
};
static constexpr i64 k_filtered_count = sizeof(k_filtered_calls) / sizeof(k_filtered_calls[0]);

enum GuardAction { k_guard_target_test, k_guard_refuse };

struct GuardedCall {
    u32 nr;
    GuardAction action;
};

// Calls whose first argument names the process (or group) they act on.
static constexpr GuardedCall k_guarded_calls[] = {
    { SYS_kill, k_guard_target_test },
    { SYS_tkill, k_guard_target_test },
    { SYS_tgkill, k_guard_target_test },
    { SYS_rt_sigqueueinfo, k_guard_target_test },
    { SYS_rt_tgsigqueueinfo, k_guard_target_test },
    { SYS_pidfd_open, k_guard_target_test },
    { SYS_prlimit64, k_guard_target_test },
    { SYS_pidfd_send_signal, k_guard_refuse },
};
static constexpr i64 k_guarded_count = sizeof(k_guarded_calls) / sizeof(k_guarded_calls[0]);
// Load, four compares, allow, refuse.
static constexpr i64 k_guard_tail = 7;

static constexpr i64 k_first_compare = 5;
static_assert(
    k_first_compare + k_filtered_count + k_guarded_count + 1 + k_guard_tail + 4 <= k_seccomp_filter_max, "the program fits its array");
static_assert(k_seccomp_filter_max < 256, "every jump reaches its target with an 8-bit offset");

static sock_filter_k statement(u16 code, u32 k) { return { code, 0, 0, k }; }

// A jump at index at: to target when the test holds, else to the next instruction.
static sock_filter_k jump_if(u16 test, u32 k, i64 at, i64 target) { return { (u16)(BPF_JMP | test | BPF_K), (u8)(target - at - 1), 0, k }; }

// The end of the program, from the allow on; guard_at and family_at say where the guard's
// target test and the family test start.
struct Tail {
    i64 allow_at;
    i64 guard_at;
    i64 refuse_at;
    i64 family_at;
    i64 kill_at;
};

static Tail plan_tail(i64 compares_end, bool guarded)
{
    Tail t {};
    t.allow_at = compares_end;
    t.guard_at = t.allow_at + 1;
    t.refuse_at = guarded ? t.guard_at + k_guard_tail - 1 : t.guard_at;
    t.family_at = guarded ? t.refuse_at + 1 : t.guard_at;
    t.kill_at = t.family_at + 3;
    return t;
}

// args[0] of the guarded calls is an int: only its low half counts.
static i64 emit_guard(sock_filter_k* out, i64 pos, const Tail& t, GuardedProcess guarded)
{
    out[pos++] = statement(BPF_LD | BPF_W | BPF_ABS, SECCOMP_DATA_ARGS);
    const u32 targets[] = { guarded.pid, 0u - guarded.pid, 0u - guarded.pgid, 0xFFFFFFFFu };
    for (u32 target : targets) {
        out[pos] = jump_if(BPF_JEQ, target, pos, t.refuse_at);
        pos++;
    }
    out[pos++] = statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    out[pos++] = statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (u32)EPERM);
    return pos;
}

i64 build_seccomp_filter(sock_filter_k* out, GuardedProcess guarded)
{
    bool guard = guarded.pid != 0;
    i64 compares_end = k_first_compare + k_filtered_count + (guard ? k_guarded_count : 0);
    Tail t = plan_tail(compares_end, guard);
    i64 pos = 0;
    out[pos++] = statement(BPF_LD | BPF_W | BPF_ABS, SECCOMP_DATA_ARCH);
    out[pos] = jump_if(BPF_JEQ, AUDIT_ARCH_X86_64, pos, pos + 2);
    pos++;
    out[pos++] = statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
    out[pos++] = statement(BPF_LD | BPF_W | BPF_ABS, SECCOMP_DATA_NR);
    out[pos] = jump_if(BPF_JGE, __X32_SYSCALL_BIT, pos, t.kill_at);
    pos++;
    for (const FilteredCall& call : k_filtered_calls) {
        i64 target = call.action == k_action_family_test ? t.family_at : t.kill_at;
        out[pos] = jump_if(BPF_JEQ, call.nr, pos, target);
        pos++;
    }
    if (guard)
        for (const GuardedCall& call : k_guarded_calls) {
            i64 target = call.action == k_guard_target_test ? t.guard_at : t.refuse_at;
            out[pos] = jump_if(BPF_JEQ, call.nr, pos, target);
            pos++;
        }
    out[pos++] = statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    if (guard)
        pos = emit_guard(out, pos, t, guarded);
    // socket(2) takes the family as an int: only the low half of args[0] counts.
    out[pos++] = statement(BPF_LD | BPF_W | BPF_ABS, SECCOMP_DATA_ARGS);
    // AF_UNIX falls through to EACCES; any other family skips it into the kill.
    out[pos++] = { (u16)(BPF_JMP | BPF_JEQ | BPF_K), 0, 1, AF_UNIX };
    out[pos++] = statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (u32)EACCES);
    out[pos++] = statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
    return pos;
}
