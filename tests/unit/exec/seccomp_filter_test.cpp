// The filter is run by a small interpreter of the instructions it may contain, the way the
// kernel runs it against struct seccomp_data.
#include "exec/seccomp_filter.h"
#include <cstring>
#include <gtest/gtest.h>
#include <initializer_list>

namespace {

struct SeccompData {
    u32 nr;
    u32 arch;
    u64 instruction_pointer;
    u64 args[6];
};
static_assert(sizeof(SeccompData) == 64);

constexpr u32 k_invalid = 0xDEADBEEF;
constexpr u32 k_kill = SECCOMP_RET_KILL_PROCESS;
constexpr u32 k_allow = SECCOMP_RET_ALLOW;
constexpr u32 k_eacces = SECCOMP_RET_ERRNO | 13;
constexpr u32 k_eafnosupport = SECCOMP_RET_ERRNO | 97;
constexpr u32 k_notify = SECCOMP_RET_USER_NOTIF;
constexpr u32 k_eperm = SECCOMP_RET_ERRNO | 1;
constexpr u32 k_enosys = SECCOMP_RET_ERRNO | 38;
constexpr u32 k_server_pid = 4242;
constexpr u32 k_server_pgid = 4000;

// A jail-mode program by default; a guarded one is a plain basic mode's, on the host's
// network.
struct Program {
    sock_filter_k insns[k_seccomp_filter_max];
    i64 len;
    explicit Program(GuardedProcess guarded = {}, FilterKill kill = k_kill_in_kernel)
    {
        FilterNetwork network = guarded.pid != 0 ? k_network_host : k_network_namespace;
        len = build_seccomp_filter(insns, { guarded, network, kill });
    }
    Program(FilterNetwork network, FilterKill kill) { len = build_seccomp_filter(insns, { {}, network, kill }); }
};

Program guarded_program(FilterKill kill = k_kill_in_kernel) { return Program({ k_server_pid, k_server_pgid }, kill); }

// steps, when given, counts the instructions run before the first load of an argument or
// the verdict: the path the kernel walks for each call number when it fills its cache of
// always-allowed calls, and on every call the cache does not answer.
u32 run_args(const Program& p, u32 nr, std::initializer_list<u64> args, u32 arch = AUDIT_ARCH_X86_64, i64* steps = nullptr)
{
    SeccompData data {};
    data.nr = nr;
    data.arch = arch;
    i64 i = 0;
    for (u64 a : args)
        data.args[i++] = a;
    u32 acc = 0;
    for (i64 pc = 0; pc < p.len; pc++) {
        const sock_filter_k& ins = p.insns[pc];
        if (steps && ins.code == (BPF_LD | BPF_W | BPF_ABS) && ins.k >= SECCOMP_DATA_ARGS)
            steps = nullptr;
        if (steps)
            ++*steps;
        switch (ins.code) {
        case BPF_LD | BPF_W | BPF_ABS:
            if (ins.k % 4 != 0 || ins.k + 4 > sizeof(data))
                return k_invalid;
            memcpy(&acc, (const char*)&data + ins.k, 4);
            break;
        case BPF_JMP | BPF_JEQ | BPF_K: pc += acc == ins.k ? ins.jt : ins.jf; break;
        case BPF_JMP | BPF_JGE | BPF_K: pc += acc >= ins.k ? ins.jt : ins.jf; break;
        case BPF_JMP | BPF_JSET | BPF_K: pc += (acc & ins.k) != 0 ? ins.jt : ins.jf; break;
        case BPF_JMP | BPF_JA: pc += ins.k; break;
        case BPF_RET | BPF_K: return ins.k;
        default: return k_invalid;
        }
    }
    return k_invalid;
}

u32 run(const Program& p, u32 nr, u32 arch = AUDIT_ARCH_X86_64, u64 arg0 = 0) { return run_args(p, nr, { arg0 }, arch); }

void expect_well_formed(const Program& p)
{
    ASSERT_GT(p.len, 0);
    ASSERT_LE(p.len, k_seccomp_filter_max);
    EXPECT_EQ(p.insns[p.len - 1].code, BPF_RET | BPF_K);
    for (i64 pc = 0; pc < p.len; pc++) {
        const sock_filter_k& ins = p.insns[pc];
        if (ins.code == (BPF_JMP | BPF_JA)) {
            EXPECT_LT(pc + 1 + ins.k, (u64)p.len) << "jump out of the program at " << pc;
        } else if ((ins.code & 0x07) == BPF_JMP) {
            EXPECT_LT(pc + 1 + ins.jt, p.len) << "jump-if-true out of the program at " << pc;
            EXPECT_LT(pc + 1 + ins.jf, p.len) << "jump-if-false out of the program at " << pc;
        }
    }
}

TEST(BuildSeccompFilter, IsWellFormed)
{
    expect_well_formed(Program());
    expect_well_formed(guarded_program());
    expect_well_formed(Program({ k_server_pid, 0 }));
    expect_well_formed(guarded_program(k_kill_by_listener));
    expect_well_formed(Program(k_network_host, k_kill_by_listener));
}

TEST(BuildSeccompFilter, DecidesEveryCallNumberInAFewInstructions)
{
    const Program programs[] = { Program(), guarded_program(), Program({ k_server_pid, k_server_pgid, true }),
        Program(k_network_host, k_kill_by_listener) };
    for (const Program& p : programs) {
        i64 longest = 0;
        for (u32 nr = 0; nr < 512; nr++) {
            i64 steps = 0;
            EXPECT_NE(run_args(p, nr, {}, AUDIT_ARCH_X86_64, &steps), k_invalid) << nr;
            longest = steps > longest ? steps : longest;
        }
        // Five instructions of the head, four branches and four compares of a leaf.
        EXPECT_LE(longest, 14);
    }
}

TEST(BuildSeccompFilter, KillsCallsOfOtherArchitectures)
{
    Program p;
    EXPECT_EQ(run(p, 20, AUDIT_ARCH_I386), k_kill); // getpid through int 0x80
    EXPECT_EQ(run(p, 0, AUDIT_ARCH_I386), k_kill);
    EXPECT_EQ(run(p, 359, AUDIT_ARCH_I386, 2), k_kill); // i386 socket(AF_INET)
    EXPECT_EQ(run(p, 0, 0), k_kill);
}

TEST(BuildSeccompFilter, KillsEveryX32Number)
{
    Program p;
    EXPECT_EQ(run(p, 0x40000000u | 39), k_kill); // x32 getpid
    EXPECT_EQ(run(p, 0x40000000u | 41, AUDIT_ARCH_X86_64, 2), k_kill);
    EXPECT_EQ(run(p, 0x40000000u), k_kill);
    EXPECT_EQ(run(p, 0xFFFFFFFFu), k_kill);
}

// The kill list, as a row of numbers and the name each is reported by.
struct KilledCall {
    u32 nr;
    const char* name;
};
constexpr KilledCall k_kill_list[] = {
    { 101, "ptrace" },
    { 310, "process_vm_readv" },
    { 311, "process_vm_writev" },
    { 175, "init_module" },
    { 313, "finit_module" },
    { 176, "delete_module" },
    { 246, "kexec_load" },
    { 320, "kexec_file_load" },
    { 169, "reboot" },
    { 425, "io_uring_setup" },
};

TEST(BuildSeccompFilter, KillsTheKillListInTheKernelOrHandsItToTheListener)
{
    for (const Program& p : { Program(), guarded_program() })
        for (const KilledCall& call : k_kill_list)
            EXPECT_EQ(run(p, call.nr), k_kill) << call.name;
    for (const Program& p : { Program({}, k_kill_by_listener), guarded_program(k_kill_by_listener) })
        for (const KilledCall& call : k_kill_list)
            EXPECT_EQ(run(p, call.nr), k_notify) << call.name;
}

TEST(BuildSeccompFilter, ListenerLeavesOtherArchitecturesAndX32ToTheKernel)
{
    // Their numbers mean other calls, so no name could be reported: the kernel kills.
    for (const Program& p : { Program({}, k_kill_by_listener), guarded_program(k_kill_by_listener) }) {
        EXPECT_EQ(run(p, 26, AUDIT_ARCH_I386), k_kill); // i386 ptrace
        EXPECT_EQ(run(p, 0x40000000u | 101), k_kill); // x32 ptrace
        EXPECT_EQ(run(p, 39), k_allow); // getpid
        EXPECT_EQ(run(p, 250), k_eperm); // keyctl
    }
}

TEST(SeccompKilledCallName, NamesEveryCallOfTheKillListAndNothingElse)
{
    for (const KilledCall& call : k_kill_list)
        EXPECT_STREQ(seccomp_killed_call_name(call.nr), call.name);
    for (u32 nr : { 0u, 41u, 42u, 62u, 250u, 272u, 0x40000000u | 101u })
        EXPECT_EQ(seccomp_killed_call_name(nr), nullptr) << nr;
}

TEST(BuildSeccompFilter, SocketsOfTheLocalInternetAndNetlinkFamiliesOnly)
{
    constexpr u32 socket = 41, socketpair = 53;
    const u64 other_families[] = { 0, 3, 4, 5, 9, 17, 38, 40, 42, 44, 45, 46, 0xFFFFFFFFul };
    // In the agent's network namespace every allowed family is made; on the host's network
    // only a connected local pair is: a socket of any allowed family would reach the host's.
    Program jailed;
    Program host = guarded_program();
    EXPECT_EQ(run(host, socketpair, AUDIT_ARCH_X86_64, 1), k_allow);
    for (u32 nr : { socket, socketpair }) {
        for (u64 family : { 1ul, 16ul, 2ul, 10ul }) { // AF_UNIX, AF_NETLINK, AF_INET, AF_INET6
            EXPECT_EQ(run(jailed, nr, AUDIT_ARCH_X86_64, family), k_allow) << nr << " family " << family;
            if (nr == socket || family != 1)
                EXPECT_EQ(run(host, nr, AUDIT_ARCH_X86_64, family), k_eacces) << nr << " family " << family;
        }
        for (u64 family : other_families) {
            EXPECT_EQ(run(jailed, nr, AUDIT_ARCH_X86_64, family), k_eafnosupport) << nr << " family " << family;
            EXPECT_EQ(run(host, nr, AUDIT_ARCH_X86_64, family), k_eafnosupport) << nr << " family " << family;
        }
    }
    // The family is an int: a high half the kernel ignores changes nothing.
    EXPECT_EQ(run(jailed, socket, AUDIT_ARCH_X86_64, 0x100000028ul), k_eafnosupport);
    EXPECT_EQ(run(host, socket, AUDIT_ARCH_X86_64, 0xFFFFFFFF00000002ul), k_eacces);
    // The network decides, whichever way the kill list ends.
    EXPECT_EQ(run(Program(k_network_host, k_kill_by_listener), socket, AUDIT_ARCH_X86_64, 2), k_eacces);
    EXPECT_EQ(run(Program(k_network_namespace, k_kill_by_listener), socket, AUDIT_ARCH_X86_64, 40), k_eafnosupport);
}

TEST(BuildSeccompFilter, CallsOnASocketAreLeftToTheFamilyTest)
{
    const u32 socket_calls[] = {
        42, // connect
        43, // accept
        44, // sendto
        45, // recvfrom
        46, // sendmsg
        47, // recvmsg
        49, // bind
        50, // listen
        288, // accept4
    };
    for (const Program& p : { Program(), guarded_program(), guarded_program(k_kill_by_listener) })
        for (u32 nr : socket_calls)
            EXPECT_EQ(run(p, nr, AUDIT_ARCH_X86_64, 3), k_allow) << "call " << nr;
}

TEST(BuildSeccompFilter, AllowsOrdinaryCalls)
{
    Program p;
    const u32 allowed[] = {
        0, // read
        1, // write
        40, // sendfile (next to socket)
        48, // shutdown
        56, // clone
        59, // execve
        61, // wait4
        231, // exit_group
        426, // io_uring_enter, useless without io_uring_setup
        0x3FFFFFFF, // largest number without the x32 bit
    };
    for (u32 nr : allowed)
        EXPECT_EQ(run(p, nr, AUDIT_ARCH_X86_64, 2), k_allow) << "call " << nr;
}

TEST(BuildSeccompFilter, GuardKeepsEveryOtherVerdict)
{
    Program plain(k_network_host, k_kill_in_kernel);
    Program p = guarded_program();
    const u32 checked[] = { 0, 1, 41, 42, 59, 101, 288, 425, 0x40000000u | 39 };
    for (u32 nr : checked)
        for (u64 arg : { 0ul, 1ul, 2ul, 10ul, 40ul })
            EXPECT_EQ(run(p, nr, AUDIT_ARCH_X86_64, arg), run(plain, nr, AUDIT_ARCH_X86_64, arg)) << "call " << nr;
    EXPECT_EQ(run(p, 62, AUDIT_ARCH_I386, k_server_pid), k_kill);
}

TEST(BuildSeccompFilter, GuardRefusesSignalsAndLimitsAimedAtTheServer)
{
    Program p = guarded_program();
    const u32 aimed[] = {
        62, // kill
        200, // tkill
        234, // tgkill
        129, // rt_sigqueueinfo
        297, // rt_tgsigqueueinfo
        434, // pidfd_open
        302, // prlimit64
    };
    for (u32 nr : aimed) {
        EXPECT_EQ(run(p, nr, AUDIT_ARCH_X86_64, k_server_pid), k_eperm) << "call " << nr;
        EXPECT_EQ(run(p, nr, AUDIT_ARCH_X86_64, k_server_pid + 1), k_allow) << "call " << nr;
        EXPECT_EQ(run(p, nr, AUDIT_ARCH_X86_64, 0), k_allow) << "call " << nr;
    }
    // kill(-pid), kill(-pgid) and kill(-1) reach the server through its group or everyone.
    EXPECT_EQ(run(p, 62, AUDIT_ARCH_X86_64, (u32)(0u - k_server_pid)), k_eperm);
    EXPECT_EQ(run(p, 62, AUDIT_ARCH_X86_64, (u32)(0u - k_server_pgid)), k_eperm);
    EXPECT_EQ(run(p, 62, AUDIT_ARCH_X86_64, 0xFFFFFFFFu), k_eperm);
    EXPECT_EQ(run(p, 62, AUDIT_ARCH_X86_64, 0xFFFFFFFF00000000ul | k_server_pid), k_eperm);
    // A pidfd can come from opening /proc/<pid>, so signals through one are refused.
    EXPECT_EQ(run(p, 424, AUDIT_ARCH_X86_64, 3), k_eperm);
}

TEST(BuildSeccompFilter, RefusesKeyringCallsInBothModes)
{
    for (const Program& p : { Program(), guarded_program() })
        for (u32 nr : { 248u, 249u, 250u }) // add_key, request_key, keyctl
            EXPECT_EQ(run(p, nr), k_eperm) << "call " << nr;
}

TEST(BuildSeccompFilter, RefusesNamespaceMountAndKernelFacilityCallsInBothModes)
{
    const u32 refused[] = {
        272, // unshare
        308, // setns
        165, // mount
        166, // umount2
        155, // pivot_root
        430, // fsopen
        431, // fsconfig
        432, // fsmount
        433, // fspick
        428, // open_tree
        429, // move_mount
        442, // mount_setattr
        170, // sethostname
        171, // setdomainname
        323, // userfaultfd
        447, // memfd_secret
        321, // bpf
        298, // perf_event_open
    };
    for (const Program& p : { Program(), guarded_program() })
        for (u32 nr : refused)
            for (u64 arg0 : { 0ul, 1ul, 0x10000000ul, 0xFFFFFFFFul })
                EXPECT_EQ(run(p, nr, AUDIT_ARCH_X86_64, arg0), k_eperm) << "call " << nr << " arg " << arg0;
}

TEST(BuildSeccompFilter, RefusesCloneWithANamespaceFlagAndClone3)
{
    constexpr u32 clone = 56, clone3 = 435;
    const u64 namespace_flags[] = { 0x00020000, 0x02000000, 0x04000000, 0x08000000, 0x10000000, 0x20000000, 0x40000000, 0x80 };
    const u64 ordinary[] = {
        0x01200011, // fork: CLONE_CHILD_SETTID | CLONE_CHILD_CLEARTID | SIGCHLD
        0x003D0F00, // a thread: VM, FS, FILES, SIGHAND, THREAD, SYSVSEM, SETTLS, PARENT_SETTID, CHILD_CLEARTID
        0x00004111, // vfork: VM | VFORK | SIGCHLD
        0xFFFFFFFF00000011ul, // the kernel ignores the high half of clone's flags
    };
    for (const Program& p : { Program(), guarded_program() }) {
        for (u64 flag : namespace_flags) {
            EXPECT_EQ(run(p, clone, AUDIT_ARCH_X86_64, flag | 0x11), k_eperm) << "flag " << flag;
            EXPECT_EQ(run(p, clone, AUDIT_ARCH_X86_64, flag | 0x003D0F00), k_eperm) << "flag " << flag;
        }
        for (u64 flags : ordinary)
            EXPECT_EQ(run(p, clone, AUDIT_ARCH_X86_64, flags), k_allow) << "flags " << flags;
        EXPECT_EQ(run(p, clone3, AUDIT_ARCH_X86_64, 0), k_enosys);
        EXPECT_EQ(run(p, clone3, AUDIT_ARCH_X86_64, 0x7FFC0000), k_enosys);
    }
}

TEST(BuildSeccompFilter, AllowsReadingThePersonalityOnly)
{
    constexpr u32 personality = 135;
    for (const Program& p : { Program(), guarded_program() }) {
        EXPECT_EQ(run(p, personality, AUDIT_ARCH_X86_64, 0xFFFFFFFFul), k_allow);
        EXPECT_EQ(run(p, personality, AUDIT_ARCH_X86_64, 0), k_eperm); // PER_LINUX
        EXPECT_EQ(run(p, personality, AUDIT_ARCH_X86_64, 0x0040000), k_eperm); // ADDR_NO_RANDOMIZE
        EXPECT_EQ(run(p, personality, AUDIT_ARCH_X86_64, 0x0400008), k_eperm); // PER_LINUX32 | READ_IMPLIES_EXEC
        EXPECT_EQ(run(p, personality, AUDIT_ARCH_X86_64, 0xFFFFFFFEul), k_eperm);
    }
}

TEST(BuildSeccompFilter, KillsTheRefusedCallsUnderTheOtherAbis)
{
    // i386 numbers through int 0x80, and x86-64 numbers with the x32 bit: the whole ABI is
    // killed, these calls included, whatever their arguments.
    const u32 i386_calls[] = {
        310, // unshare
        346, // setns
        120, // clone
        435, // clone3
        21, // mount
        52, // umount2
        217, // pivot_root
        430, // fsopen
        74, // sethostname
        374, // userfaultfd
        357, // bpf
        336, // perf_event_open
        136, // personality
    };
    const u32 x32_calls[] = { 272, 308, 56, 435, 165, 430, 170, 323, 447, 321, 298, 135 };
    for (const Program& p : { Program(), guarded_program() }) {
        for (u32 nr : i386_calls)
            for (u64 arg0 : { 0ul, 0x10000000ul, 0xFFFFFFFFul })
                EXPECT_EQ(run(p, nr, AUDIT_ARCH_I386, arg0), k_kill) << "i386 call " << nr;
        for (u32 nr : x32_calls)
            for (u64 arg0 : { 0ul, 0x10000000ul, 0xFFFFFFFFul })
                EXPECT_EQ(run(p, 0x40000000u | nr, AUDIT_ARCH_X86_64, arg0), k_kill) << "x32 call " << nr;
    }
}

TEST(BuildSeccompFilter, GuardRefusesMakingTheServerOwnerOfSignals)
{
    Program p = guarded_program();
    constexpr u64 fcntl_nr = 72, ioctl_nr = 16;
    EXPECT_EQ(run_args(p, fcntl_nr, { 3, F_SETOWN, k_server_pid }), k_eperm);
    EXPECT_EQ(run_args(p, fcntl_nr, { 3, F_SETOWN, (u32)(0u - k_server_pgid) }), k_eperm);
    EXPECT_EQ(run_args(p, fcntl_nr, { 3, F_SETOWN, (u32)(0u - k_server_pid) }), k_eperm);
    EXPECT_EQ(run_args(p, fcntl_nr, { 3, F_SETOWN, k_server_pid + 7 }), k_allow);
    EXPECT_EQ(run_args(p, fcntl_nr, { 3, F_SETOWN_EX, 0 }), k_eperm);
    EXPECT_EQ(run_args(p, fcntl_nr, { 3, 4, k_server_pid }), k_allow); // F_SETFL
    EXPECT_EQ(run_args(p, fcntl_nr, { 3, 10, 9 }), k_allow); // F_SETSIG alone names no owner
    EXPECT_EQ(run_args(p, ioctl_nr, { 3, FIOSETOWN, 0 }), k_eperm);
    EXPECT_EQ(run_args(p, ioctl_nr, { 3, SIOCSPGRP, 0 }), k_eperm);
    EXPECT_EQ(run_args(p, ioctl_nr, { 1, 0x5401, 0 }), k_allow); // TCGETS
}

TEST(BuildSeccompFilter, GuardRefusesSchedulingAndMemoryCallsAimedAtTheServer)
{
    Program p = guarded_program();
    const u32 by_pid[] = {
        203, // sched_setaffinity
        144, // sched_setscheduler
        142, // sched_setparam
        314, // sched_setattr
        256, // migrate_pages
        279, // move_pages
    };
    for (u32 nr : by_pid) {
        EXPECT_EQ(run(p, nr, AUDIT_ARCH_X86_64, k_server_pid), k_eperm) << "call " << nr;
        EXPECT_EQ(run(p, nr, AUDIT_ARCH_X86_64, 0), k_allow) << "call " << nr;
    }
    constexpr u32 setpriority = 141, ioprio_set = 251, kcmp = 312, process_madvise = 440;
    EXPECT_EQ(run_args(p, setpriority, { 0, k_server_pid, 19 }), k_eperm);
    EXPECT_EQ(run_args(p, setpriority, { 1, k_server_pgid, 19 }), k_eperm);
    EXPECT_EQ(run_args(p, setpriority, { PRIO_USER, 0, 19 }), k_eperm);
    EXPECT_EQ(run_args(p, setpriority, { 0, 0, 19 }), k_allow);
    EXPECT_EQ(run_args(p, ioprio_set, { 1, k_server_pid, 0 }), k_eperm);
    EXPECT_EQ(run_args(p, ioprio_set, { IOPRIO_WHO_USER, 0, 0 }), k_eperm);
    EXPECT_EQ(run_args(p, ioprio_set, { 1, 0, 0 }), k_allow);
    EXPECT_EQ(run_args(p, kcmp, { 1, k_server_pid, 0 }), k_eperm);
    EXPECT_EQ(run_args(p, kcmp, { k_server_pid, 1, 0 }), k_eperm);
    EXPECT_EQ(run_args(p, kcmp, { 1, 2, 0 }), k_allow);
    EXPECT_EQ(run_args(p, process_madvise, { 3, 0, 0 }), k_eperm);
}

TEST(BuildSeccompFilter, GroupZeroLeavesTheCommandsOwnGroupAlone)
{
    // The server's group leader lies outside its PID namespace: getpgid answered 0.
    Program p({ k_server_pid, 0 });
    EXPECT_EQ(run(p, 302, AUDIT_ARCH_X86_64, 0), k_allow); // prlimit64(0, ...): ulimit -n
    EXPECT_EQ(run(p, 62, AUDIT_ARCH_X86_64, 0), k_allow); // kill(0, ...): the command's group
    EXPECT_EQ(run_args(p, 141, { 1, 0, 5 }), k_allow); // setpriority(PRIO_PGRP, 0, ...)
    EXPECT_EQ(run(p, 62, AUDIT_ARCH_X86_64, k_server_pid), k_eperm);
    EXPECT_EQ(run(p, 62, AUDIT_ARCH_X86_64, (u32)(0u - k_server_pid)), k_eperm);
}

TEST(BuildSeccompFilter, ScopedDomainLeavesSignalsToLandlockAndKeepsTheRestOfTheGuard)
{
    Program p({ k_server_pid, k_server_pgid, true });
    expect_well_formed(p);
    EXPECT_LT(p.len, guarded_program().len);
    for (u32 nr : { 62u, 200u, 234u, 129u, 297u, 256u, 279u }) // signals, page migration
        EXPECT_EQ(run(p, nr, AUDIT_ARCH_X86_64, k_server_pid), k_allow) << "call " << nr;
    EXPECT_EQ(run(p, 424, AUDIT_ARCH_X86_64, 3), k_allow); // pidfd_send_signal
    EXPECT_EQ(run_args(p, 72, { 3, F_SETOWN, k_server_pid }), k_allow);
    EXPECT_EQ(run_args(p, 16, { 3, FIOSETOWN, 0 }), k_allow);
    EXPECT_EQ(run_args(p, 312, { 1, k_server_pid, 0 }), k_allow); // kcmp
    // Landlock has no say over limits, priorities and scheduling: the filter keeps those.
    EXPECT_EQ(run(p, 302, AUDIT_ARCH_X86_64, k_server_pid), k_eperm); // prlimit64
    EXPECT_EQ(run(p, 434, AUDIT_ARCH_X86_64, k_server_pid), k_eperm); // pidfd_open
    EXPECT_EQ(run(p, 203, AUDIT_ARCH_X86_64, k_server_pid), k_eperm); // sched_setaffinity
    EXPECT_EQ(run_args(p, 141, { PRIO_USER, 0, 19 }), k_eperm);
    EXPECT_EQ(run_args(p, 251, { 1, k_server_pid, 0 }), k_eperm);
    EXPECT_EQ(run(p, 41, AUDIT_ARCH_X86_64, 2), k_eacces); // socket(AF_INET) as before
}

TEST(BuildSeccompFilter, UnguardedProgramLeavesSignalsAlone)
{
    Program p;
    EXPECT_EQ(run(p, 62, AUDIT_ARCH_X86_64, k_server_pid), k_allow);
    EXPECT_EQ(run(p, 62, AUDIT_ARCH_X86_64, 0xFFFFFFFFu), k_allow);
    EXPECT_EQ(run(p, 424, AUDIT_ARCH_X86_64, 3), k_allow);
    EXPECT_EQ(run_args(p, 72, { 3, F_SETOWN, k_server_pid }), k_allow);
}

} // namespace
