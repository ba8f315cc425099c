// A small static program that tries, under each ABI the seccomp filter handles (x86-64,
// x32 and i386 through int 0x80), the calls a command must not make, and prints one line
// per call: "<abi> <call> <outcome>". Run as a command, it shows what the filter does.
//
// Outcomes: EPERM, ENOSYS, EACCES or EAFNOSUPPORT, the filter refused the call; killed,
// the filter killed the process (SIGSYS); allowed, the call got past the filter; signal N,
// anything else. The kill list's calls are not tried here: where the server holds the
// filter's listener, one of them ends the whole run.
//
// Each call runs in a child of its own, which first adds a filter of its own answering
// SECCOMP_RET_TRACE to that one call. The kernel takes the strictest verdict of all the
// filters, and an errno or a kill outranks a trace; a trace with no tracer attached fails
// the call with ENOSYS without running it. So a call the command's filter lets through
// never reaches the kernel, and a refusal shows as EPERM whatever the process's
// privileges (without the trace, pivot_root or sethostname would answer EPERM to an
// unprivileged caller anyway). clone3 is the exception: the filter refuses it with ENOSYS
// itself, so it is made plainly, with a null argument block the kernel refuses with
// EINVAL before anything else.
//
// Unlike the server, this test program carries assembly of its own: int 0x80 and the x32
// numbers exist here only to be refused.
#include "runtime/syscall.h"
#include "runtime/text.h"

namespace {

enum class Abi : u8 { k_x86_64, k_x32, k_i386 };

struct ProbeCall {
    Abi abi;
    const char* name;
    u32 nr;
    i64 args[6];
    bool traced;
};

// Harmless arguments all the same: flags the kernel refuses, descriptor -1, null names.
constexpr i64 k_any_thread = CLONE_THREAD; // without CLONE_SIGHAND: EINVAL in the kernel
constexpr ProbeCall k_calls[] = {
    { Abi::k_x86_64, "unshare", SYS_unshare, { (i64)(CLONE_NEWUSER | CLONE_NEWNS | 1) }, true },
    { Abi::k_x86_64, "setns", SYS_setns, { -1, CLONE_NEWNET }, true },
    { Abi::k_x86_64, "clone-newns", SYS_clone, { (i64)CLONE_NEWNS | k_any_thread }, true },
    { Abi::k_x86_64, "clone-newcgroup", SYS_clone, { (i64)CLONE_NEWCGROUP | k_any_thread }, true },
    { Abi::k_x86_64, "clone-newuts", SYS_clone, { (i64)CLONE_NEWUTS | k_any_thread }, true },
    { Abi::k_x86_64, "clone-newipc", SYS_clone, { (i64)CLONE_NEWIPC | k_any_thread }, true },
    { Abi::k_x86_64, "clone-newuser", SYS_clone, { (i64)CLONE_NEWUSER | k_any_thread }, true },
    { Abi::k_x86_64, "clone-newpid", SYS_clone, { (i64)CLONE_NEWPID | k_any_thread }, true },
    { Abi::k_x86_64, "clone-newnet", SYS_clone, { (i64)CLONE_NEWNET | k_any_thread }, true },
    { Abi::k_x86_64, "clone-newtime", SYS_clone, { (i64)CLONE_NEWTIME | k_any_thread }, true },
    { Abi::k_x86_64, "clone-thread", SYS_clone, { k_any_thread }, true },
    { Abi::k_x86_64, "clone3", SYS_clone3, { 0, 0 }, false },
    { Abi::k_x86_64, "mount", SYS_mount, { 0, 0, 0, 0, 0 }, true },
    { Abi::k_x86_64, "umount2", SYS_umount2, { 0, -1 }, true },
    { Abi::k_x86_64, "pivot_root", SYS_pivot_root, { 0, 0 }, true },
    { Abi::k_x86_64, "fsopen", SYS_fsopen, { 0, -1 }, true },
    { Abi::k_x86_64, "fsconfig", SYS_fsconfig, { -1, 0, 0, 0, 0 }, true },
    { Abi::k_x86_64, "fsmount", SYS_fsmount, { -1, -1, -1 }, true },
    { Abi::k_x86_64, "fspick", SYS_fspick, { -1, 0, -1 }, true },
    { Abi::k_x86_64, "open_tree", SYS_open_tree, { -1, 0, -1 }, true },
    { Abi::k_x86_64, "move_mount", SYS_move_mount, { -1, 0, -1, 0, -1 }, true },
    { Abi::k_x86_64, "mount_setattr", SYS_mount_setattr, { -1, 0, -1, 0, 0 }, true },
    { Abi::k_x86_64, "sethostname", SYS_sethostname, { 0, -1 }, true },
    { Abi::k_x86_64, "setdomainname", SYS_setdomainname, { 0, -1 }, true },
    { Abi::k_x86_64, "userfaultfd", SYS_userfaultfd, { -1 }, true },
    { Abi::k_x86_64, "memfd_secret", SYS_memfd_secret, { -1 }, true },
    { Abi::k_x86_64, "bpf", SYS_bpf, { -1, 0, 0 }, true },
    { Abi::k_x86_64, "perf_event_open", SYS_perf_event_open, { 0, 0, -1, -1, -1 }, true },
    { Abi::k_x86_64, "personality-set", SYS_personality, { 0 }, true },
    { Abi::k_x86_64, "personality-read", SYS_personality, { 0xFFFFFFFF }, true },
    // Sockets by family, and the calls on a socket, with descriptor -1.
    { Abi::k_x86_64, "socket-unix", SYS_socket, { AF_UNIX, SOCK_STREAM }, true },
    { Abi::k_x86_64, "socket-inet", SYS_socket, { AF_INET, SOCK_STREAM }, true },
    { Abi::k_x86_64, "socket-inet6", SYS_socket, { AF_INET6, SOCK_DGRAM }, true },
    { Abi::k_x86_64, "socket-netlink", SYS_socket, { AF_NETLINK, SOCK_DGRAM }, true },
    { Abi::k_x86_64, "socket-packet", SYS_socket, { AF_PACKET, SOCK_DGRAM }, true },
    { Abi::k_x86_64, "socket-vsock", SYS_socket, { AF_VSOCK, SOCK_STREAM }, true },
    { Abi::k_x86_64, "socketpair-unix", SYS_socketpair, { AF_UNIX, SOCK_STREAM, 0, 0 }, true },
    { Abi::k_x86_64, "socketpair-vsock", SYS_socketpair, { AF_VSOCK, SOCK_STREAM, 0, 0 }, true },
    { Abi::k_x86_64, "connect", SYS_connect, { -1, 0, 0 }, true },
    { Abi::k_x86_64, "bind", SYS_bind, { -1, 0, 0 }, true },
    { Abi::k_x86_64, "listen", SYS_listen, { -1, 0 }, true },
    { Abi::k_x86_64, "accept4", SYS_accept4, { -1, 0, 0, 0 }, true },
    { Abi::k_x86_64, "sendto", SYS_sendto, { -1, 0, 0, 0, 0, 0 }, true },
    { Abi::k_x86_64, "recvfrom", SYS_recvfrom, { -1, 0, 0, 0, 0, 0 }, true },
    { Abi::k_x86_64, "sendmsg", SYS_sendmsg, { -1, 0, 0 }, true },
    { Abi::k_x86_64, "recvmsg", SYS_recvmsg, { -1, 0, 0 }, true },
    // The x86-64 numbers with the x32 bit.
    { Abi::k_x32, "getpid", SYS_getpid, {}, true },
    { Abi::k_x32, "unshare", SYS_unshare, { (i64)(CLONE_NEWUSER | CLONE_NEWNS | 1) }, true },
    { Abi::k_x32, "setns", SYS_setns, { -1, CLONE_NEWNET }, true },
    { Abi::k_x32, "clone-newuser", SYS_clone, { (i64)CLONE_NEWUSER | k_any_thread }, true },
    { Abi::k_x32, "mount", SYS_mount, { 0, 0, 0, 0, 0 }, true },
    { Abi::k_x32, "fsopen", SYS_fsopen, { 0, -1 }, true },
    { Abi::k_x32, "bpf", SYS_bpf, { -1, 0, 0 }, true },
    { Abi::k_x32, "personality-set", SYS_personality, { 0 }, true },
    { Abi::k_x32, "socket-inet", SYS_socket, { AF_INET, SOCK_STREAM }, true },
    // The i386 numbers, from the i386 table.
    { Abi::k_i386, "getpid", 20, {}, true },
    { Abi::k_i386, "unshare", 310, { (i64)(CLONE_NEWUSER | CLONE_NEWNS | 1) }, true },
    { Abi::k_i386, "setns", 346, { -1, CLONE_NEWNET }, true },
    { Abi::k_i386, "clone-newuser", 120, { (i64)CLONE_NEWUSER | k_any_thread }, true },
    { Abi::k_i386, "mount", 21, { 0, 0, 0, 0, 0 }, true },
    { Abi::k_i386, "fsopen", 430, { 0, -1 }, true },
    { Abi::k_i386, "bpf", 357, { -1, 0, 0 }, true },
    { Abi::k_i386, "personality-set", 136, { 0 }, true },
    { Abi::k_i386, "socket-inet", 359, { AF_INET, SOCK_STREAM }, true },
};

const char* abi_name(Abi abi)
{
    switch (abi) {
    case Abi::k_x86_64: return "x86-64";
    case Abi::k_x32: return "x32";
    case Abi::k_i386: return "i386";
    }
    return "?";
}

u32 audit_arch(Abi abi) { return abi == Abi::k_i386 ? AUDIT_ARCH_I386 : AUDIT_ARCH_X86_64; }

u32 filter_nr(const ProbeCall& call) { return call.abi == Abi::k_x32 ? call.nr | __X32_SYSCALL_BIT : call.nr; }

// The i386 entry from a 64-bit process: the first five arguments in ebx, ecx, edx, esi
// and edi, cut to 32 bits (no call here takes a sixth); the result comes back in eax.
i64 call_i386(u32 nr, const i64* a)
{
    u32 result;
    asm volatile("int $0x80"
                 : "=a"(result)
                 : "a"(nr), "b"((u32)a[0]), "c"((u32)a[1]), "d"((u32)a[2]), "S"((u32)a[3]), "D"((u32)a[4])
                 : "r8", "r9", "r10", "r11", "memory");
    return (i64)(int)result;
}

i64 make_call(const ProbeCall& call)
{
    const i64* a = call.args;
    if (call.abi == Abi::k_i386)
        return call_i386(call.nr, a);
    return syscall6((i64)filter_nr(call), a[0], a[1], a[2], a[3], a[4], a[5]);
}

// Makes this one call, and no other, fail with ENOSYS unless a filter installed earlier
// answers it more strictly.
i64 trace_only(const ProbeCall& call)
{
    const sock_filter_k program[] = {
        { (u16)(BPF_LD | BPF_W | BPF_ABS), 0, 0, SECCOMP_DATA_ARCH },
        { (u16)(BPF_JMP | BPF_JEQ | BPF_K), 0, 3, audit_arch(call.abi) },
        { (u16)(BPF_LD | BPF_W | BPF_ABS), 0, 0, SECCOMP_DATA_NR },
        { (u16)(BPF_JMP | BPF_JEQ | BPF_K), 0, 1, filter_nr(call) },
        { (u16)(BPF_RET | BPF_K), 0, 0, SECCOMP_RET_TRACE },
        { (u16)(BPF_RET | BPF_K), 0, 0, SECCOMP_RET_ALLOW },
    };
    i64 result = sys_prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    if (result < 0)
        return result;
    sock_fprog_k fprog { (u16)(sizeof(program) / sizeof(program[0])), program };
    return sys_seccomp(SECCOMP_SET_MODE_FILTER, 0, &fprog);
}

// The child's exit code: 0 for a call that succeeded, its errno otherwise, and 255 when
// the probe's own filter could not be installed.
constexpr int k_exit_no_trace = 255;

[[noreturn]] void child(const ProbeCall& call)
{
    if (call.traced && trace_only(call) < 0)
        sys_exit_group(k_exit_no_trace);
    i64 result = make_call(call);
    sys_exit_group(result >= 0 ? 0 : (int)(-result & 0xFF));
}

i64 append_outcome(char* line, i64 pos, const ProbeCall& call, int status)
{
    int signal = status & 0x7F;
    if (signal == SIGSYS)
        return append_text(line, pos, "killed");
    if (signal != 0) {
        pos = append_text(line, pos, "signal ");
        return append_decimal(line, pos, signal);
    }
    int code = (status >> 8) & 0xFF;
    if (code == k_exit_no_trace)
        return append_text(line, pos, "probe filter failed");
    if (code == EPERM)
        return append_text(line, pos, "EPERM");
    // Traced, ENOSYS is the probe's own filter answering: the call got past the command's.
    // clone3 reaches the kernel, which refuses its null argument block with EINVAL.
    if (call.traced ? code == ENOSYS : code == EINVAL)
        return append_text(line, pos, "allowed");
    if (code == ENOSYS)
        return append_text(line, pos, "ENOSYS");
    if (code == EACCES)
        return append_text(line, pos, "EACCES");
    if (code == EAFNOSUPPORT)
        return append_text(line, pos, "EAFNOSUPPORT");
    pos = append_text(line, pos, "errno ");
    return append_decimal(line, pos, code);
}

} // namespace

extern "C" [[noreturn, gnu::used, gnu::externally_visible]] void program_main(int, char**)
{
    for (const ProbeCall& call : k_calls) {
        i64 pid = sys_fork();
        if (pid == 0)
            child(call);
        int status = 0;
        if (pid < 0 || sys_wait4((int)pid, &status, 0, nullptr) != pid)
            sys_exit_group(1);
        // The longest line: 6 + 1 + 16 + 1 + 19 + 1 bytes.
        char line[64];
        i64 pos = append_text(line, 0, abi_name(call.abi));
        pos = append_byte(line, pos, ' ');
        pos = append_text(line, pos, call.name);
        pos = append_byte(line, pos, ' ');
        pos = append_outcome(line, pos, call, status);
        pos = append_byte(line, pos, '\n');
        sys_write(1, line, pos);
    }
    sys_exit_group(0);
}
