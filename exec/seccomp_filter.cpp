// Layout of the program (classic BPF only jumps forward, so the shared endings come last):
//   load arch; x86-64? skip the kill; kill
//   load nr; x32 bit set -> kill
//   the rows of the call tables as a search tree over their numbers: range compares halve
//   the rows until a leaf of a few, where one compare per row sends the call to its verdict
//   or its argument test (the kill list's rows -> the kill list's verdict) and any other
//   number goes to allow. The kernel runs the program on every call of the command that its
//   cache of always-allowed numbers does not answer, and walks it once per call number when
//   the filter is installed to fill that cache: a path of a dozen instructions, not one per
//   row, keeps both short.
//   with a guarded process: the argument tests, each ending in a jump to the allow below
//   pair family test: load args[0]; local -> allow; otherwise the family test
//   family test: load args[0]; local, netlink, Internet -> allow (namespace) or EACCES
//   (host); otherwise EAFNOSUPPORT
//   clone test: load args[0]; a namespace flag -> EPERM, otherwise allow
//   personality test: load args[0]; 0xffffffff (a read) -> allow, otherwise EPERM
//   allow; EPERM; ENOSYS; EACCES; EAFNOSUPPORT; the kill list's verdict; kill
// Jumps are written against labels and resolved once every label has its place.
#include "exec/seccomp_filter.h"

namespace {

// Where a compare may send a call. k_next is the instruction after the jump.
enum Label : u8 {
    k_next,
    k_known_arch,
    k_signal_test,
    k_pid_test,
    k_fcntl_test,
    k_ioctl_test,
    k_priority_test,
    k_ioprio_test,
    k_who_test,
    k_kcmp_test,
    k_pair_family_test,
    k_family_test,
    k_clone_test,
    k_personality_test,
    k_allow,
    k_refuse,
    k_unsupported,
    k_refused_socket,
    k_no_family,
    k_kill_list,
    k_kill,
    k_label_count,
};

// The search tree's branches take labels after the named ones; a tree of n rows has fewer
// than n branches.
constexpr i64 k_tree_labels = 64;
// At most this many rows in a leaf, compared one by one.
constexpr i64 k_leaf_rows = 4;

struct FilterRow {
    u32 nr;
    Label verdict;
};

// The kill list, both modes: tracing, cross-process memory, module, kexec and reboot
// calls, and io_uring, whose submissions would reach the kernel without passing through
// this filter. Each row's name is what a run killed by the listener reports.
struct KilledCall {
    u32 nr;
    const char* name;
};
constexpr KilledCall k_killed_calls[] = {
    { SYS_ptrace, "ptrace" },
    { SYS_process_vm_readv, "process_vm_readv" },
    { SYS_process_vm_writev, "process_vm_writev" },
    { SYS_init_module, "init_module" },
    { SYS_finit_module, "finit_module" },
    { SYS_delete_module, "delete_module" },
    { SYS_kexec_load, "kexec_load" },
    { SYS_kexec_file_load, "kexec_file_load" },
    { SYS_reboot, "reboot" },
    { SYS_io_uring_setup, "io_uring_setup" },
};

// Every command, both modes: the socket families, and the kernel keyrings, which outlive
// a run and are shared by every command of the same uid.
constexpr FilterRow k_filtered_calls[] = {
    { SYS_socket, k_family_test },
    { SYS_socketpair, k_pair_family_test },
    { SYS_add_key, k_refuse },
    { SYS_keyctl, k_refuse },
    { SYS_request_key, k_refuse },
};

// Every command, both modes: namespaces, mounts, host names, and kernel facilities no
// command needs whose bugs have been the way out of sandboxes. These fail with EPERM
// rather than kill: a program that tries them (a build tool probing for a sandbox of its
// own, say) carries on without. clone3 takes its flags in memory the filter cannot read,
// so it answers ENOSYS, on which the C library falls back to clone, whose flags it can.
constexpr FilterRow k_refused_calls[] = {
    { SYS_unshare, k_refuse },
    { SYS_setns, k_refuse },
    { SYS_clone, k_clone_test },
    { SYS_clone3, k_unsupported },
    { SYS_mount, k_refuse },
    { SYS_umount2, k_refuse },
    { SYS_pivot_root, k_refuse },
    { SYS_fsopen, k_refuse },
    { SYS_fsconfig, k_refuse },
    { SYS_fsmount, k_refuse },
    { SYS_fspick, k_refuse },
    { SYS_open_tree, k_refuse },
    { SYS_move_mount, k_refuse },
    { SYS_mount_setattr, k_refuse },
    { SYS_sethostname, k_refuse },
    { SYS_setdomainname, k_refuse },
    { SYS_userfaultfd, k_refuse },
    { SYS_memfd_secret, k_refuse },
    { SYS_bpf, k_refuse },
    { SYS_perf_event_open, k_refuse },
    { SYS_personality, k_personality_test },
};

// Every flag of clone that makes a namespace. The kernel reads only the low 32 bits of
// clone's flags, so the filter's 32-bit load sees all of them. In clone's flags
// CLONE_NEWTIME is a bit of the exit signal that no signal number has, so testing it
// refuses no real call.
constexpr u32 k_namespace_flags =
    CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWTIME;
// personality's argument that reads the persona and changes nothing.
constexpr u32 k_personality_query = 0xFFFFFFFFu;

// Basic mode only: calls that can reach another process of the same uid, by the process or
// group they name, or (fcntl, ioctl) by making the kernel signal the owner of a descriptor.
// pidfd_send_signal may use a pidfd opened from /proc and process_madvise a pidfd that
// cannot be traced back here, so both are refused outright.
constexpr FilterRow k_guarded_calls[] = {
    { SYS_kill, k_signal_test },
    { SYS_tkill, k_signal_test },
    { SYS_tgkill, k_signal_test },
    { SYS_rt_sigqueueinfo, k_signal_test },
    { SYS_rt_tgsigqueueinfo, k_signal_test },
    { SYS_pidfd_open, k_signal_test },
    { SYS_prlimit64, k_signal_test },
    { SYS_pidfd_send_signal, k_refuse },
    { SYS_process_madvise, k_refuse },
    { SYS_fcntl, k_fcntl_test },
    { SYS_ioctl, k_ioctl_test },
    { SYS_setpriority, k_priority_test },
    { SYS_ioprio_set, k_ioprio_test },
    { SYS_sched_setaffinity, k_pid_test },
    { SYS_sched_setscheduler, k_pid_test },
    { SYS_sched_setparam, k_pid_test },
    { SYS_sched_setattr, k_pid_test },
    { SYS_migrate_pages, k_pid_test },
    { SYS_move_pages, k_pid_test },
    { SYS_kcmp, k_kcmp_test },
};

// The guarded calls a scoped Landlock domain already keeps inside the run.
constexpr u32 k_scoped_calls[] = {
    SYS_kill, SYS_tkill, SYS_tgkill, SYS_rt_sigqueueinfo, SYS_rt_tgsigqueueinfo, SYS_pidfd_send_signal,
    SYS_process_madvise, SYS_fcntl, SYS_ioctl, SYS_migrate_pages, SYS_move_pages, SYS_kcmp,
};

constexpr bool left_to_landlock(u32 nr)
{
    for (u32 scoped : k_scoped_calls)
        if (scoped == nr)
            return true;
    return false;
}

constexpr i64 k_row_count(const auto& rows) { return sizeof(rows) / sizeof(rows[0]); }

// The architecture and x32 checks, one compare per row and fewer branches than rows, the
// argument tests of the guard (signal 6, pid 3, fcntl 8, ioctl 4, priority 3, ioprio 3, who
// 4, kcmp 5), the family test (5), the clone and personality tests (2 each) and the seven
// endings.
constexpr i64 k_head_length = 5;
constexpr i64 k_guard_tests_length = 36;
constexpr i64 k_tail_length = 16;
constexpr i64 k_rows_max =
    k_row_count(k_killed_calls) + k_row_count(k_filtered_calls) + k_row_count(k_refused_calls) + k_row_count(k_guarded_calls);
static_assert(k_head_length + 2 * k_rows_max + k_guard_tests_length + k_tail_length <= k_seccomp_filter_max,
    "the program fits its array");
static_assert(k_rows_max <= k_tree_labels, "every branch of the tree has a label");
static_assert(k_seccomp_filter_max < 256, "every conditional jump reaches its target with an 8-bit offset");

// Arguments are loaded by their low half: every argument tested here is an int, a pid or
// a request number of 32 bits.
constexpr u32 arg(i64 index) { return SECCOMP_DATA_ARGS + 8 * (u32)index; }

class Assembler {
public:
    explicit Assembler(sock_filter_k* out)
        : out_(out)
    {
    }

    void load(u32 offset) { emit({ (u16)(BPF_LD | BPF_W | BPF_ABS), 0, 0, offset }); }
    void ret(u32 verdict) { emit({ (u16)(BPF_RET | BPF_K), 0, 0, verdict }); }
    void jump_eq(u32 k, Label if_true, Label if_false = k_next) { jump(BPF_JEQ, k, if_true, if_false); }
    void jump_ge(u32 k, Label if_true, Label if_false = k_next) { jump(BPF_JGE, k, if_true, if_false); }
    void jump_set(u32 k, Label if_true, Label if_false = k_next) { jump(BPF_JSET, k, if_true, if_false); }
    void jump_always(Label target) { jump(BPF_JA, 0, target, k_next); }
    void place(Label label) { label_at_[label] = pos_; }
    Label new_label() { return (Label)(k_label_count + labels_made_++); }

    // Resolves every jump against its labels; returns the program's length.
    i64 finish()
    {
        for (i64 i = 0; i < pending_count_; i++) {
            const Pending& p = pending_[i];
            sock_filter_k& ins = out_[p.at];
            if (ins.code == (BPF_JMP | BPF_JA))
                ins.k = (u32)offset(p.at, p.if_true);
            else {
                ins.jt = (u8)offset(p.at, p.if_true);
                ins.jf = (u8)offset(p.at, p.if_false);
            }
        }
        return pos_;
    }

private:
    struct Pending {
        i64 at;
        Label if_true;
        Label if_false;
    };

    void emit(sock_filter_k ins) { out_[pos_++] = ins; }

    void jump(u16 test, u32 k, Label if_true, Label if_false)
    {
        pending_[pending_count_++] = { pos_, if_true, if_false };
        emit({ (u16)(BPF_JMP | test | BPF_K), 0, 0, k });
    }

    i64 offset(i64 at, Label label) const { return label == k_next ? 0 : label_at_[label] - at - 1; }

    sock_filter_k* out_;
    i64 pos_ = 0;
    i64 label_at_[k_label_count + k_tree_labels] {};
    i64 labels_made_ = 0;
    Pending pending_[k_seccomp_filter_max] {};
    i64 pending_count_ = 0;
};

// The server's process and group as the command's calls name them. A command whose PID
// namespace does not show the server's group leader reads group 0 from getpgid, and 0 as a
// target means the caller's own group; so a group of 0 is never guarded, the pid alone is.
struct Targets {
    u32 pid;
    u32 group;
};

void emit_guard_tests(Assembler& a, Targets t)
{
    // kill(pid), kill(-pid), kill(-group) and kill(-1) all reach the server.
    a.place(k_signal_test);
    a.load(arg(0));
    const u32 signal_targets[] = { t.pid, 0u - t.pid, 0u - t.group, 0xFFFFFFFFu };
    for (u32 target : signal_targets)
        a.jump_eq(target, k_refuse);
    a.jump_always(k_allow);

    a.place(k_pid_test);
    a.load(arg(0));
    a.jump_eq(t.pid, k_refuse);
    a.jump_always(k_allow);

    // F_SETOWN makes the kernel signal the owner on I/O (and F_SETSIG picks the signal);
    // F_SETOWN_EX names the owner through a struct the filter cannot read.
    a.place(k_fcntl_test);
    a.load(arg(1));
    a.jump_eq(F_SETOWN_EX, k_refuse);
    a.jump_eq(F_SETOWN, k_next, k_allow);
    a.load(arg(2));
    const u32 owner_targets[] = { t.pid, 0u - t.pid, 0u - t.group };
    for (u32 target : owner_targets)
        a.jump_eq(target, k_refuse);
    a.jump_always(k_allow);

    // Both requests take the owner through a pointer the filter cannot read.
    a.place(k_ioctl_test);
    a.load(arg(1));
    a.jump_eq(FIOSETOWN, k_refuse);
    a.jump_eq(SIOCSPGRP, k_refuse);
    a.jump_always(k_allow);

    // A user-wide change reaches the server, which runs under the command's uid.
    a.place(k_priority_test);
    a.load(arg(0));
    a.jump_eq(PRIO_USER, k_refuse);
    a.jump_always(k_who_test);

    a.place(k_ioprio_test);
    a.load(arg(0));
    a.jump_eq(IOPRIO_WHO_USER, k_refuse);
    a.jump_always(k_who_test);

    a.place(k_who_test);
    a.load(arg(1));
    a.jump_eq(t.pid, k_refuse);
    a.jump_eq(t.group, k_refuse);
    a.jump_always(k_allow);

    a.place(k_kcmp_test);
    a.load(arg(0));
    a.jump_eq(t.pid, k_refuse);
    a.load(arg(1));
    a.jump_eq(t.pid, k_refuse);
    a.jump_always(k_allow);
}

// The rows in the order of their numbers (no number has two rows).
struct RowTable {
    FilterRow rows[k_rows_max];
    i64 count = 0;

    void add(u32 nr, Label verdict)
    {
        i64 at = count++;
        for (; at > 0 && rows[at - 1].nr > nr; at--)
            rows[at] = rows[at - 1];
        rows[at] = { nr, verdict };
    }
};

// Rows [from, to) of the table: a leaf compares each and sends any other number to allow;
// a branch sends the upper half on to its own subtree.
void emit_tree(Assembler& a, const RowTable& table, i64 from, i64 to)
{
    if (from == to)
        return a.jump_always(k_allow);
    if (to - from <= k_leaf_rows) {
        for (i64 i = from; i < to; i++)
            a.jump_eq(table.rows[i].nr, table.rows[i].verdict, i + 1 == to ? k_allow : k_next);
        return;
    }
    i64 middle = from + (to - from) / 2;
    Label upper = a.new_label();
    a.jump_ge(table.rows[middle].nr, upper);
    emit_tree(a, table, from, middle);
    a.place(upper);
    emit_tree(a, table, middle, to);
}

// In the jail modes local, netlink and Internet sockets reach only what the run's own
// namespaces hold: its jail's files and its agent's network. On the host's network (plain
// basic mode) they would reach the host's services (a socket file Landlock does not guard,
// the host's connections through netlink, its ports), so they are refused there; a pair of
// connected local sockets reaches nothing but itself and is made in every mode.
void emit_family_test(Assembler& a, FilterNetwork network)
{
    Label reachable = network == k_network_namespace ? k_allow : k_refused_socket;
    a.place(k_pair_family_test);
    a.load(arg(0));
    a.jump_eq(AF_UNIX, k_allow, k_family_test);
    a.place(k_family_test);
    a.load(arg(0));
    a.jump_eq(AF_UNIX, reachable);
    a.jump_eq(AF_NETLINK, reachable);
    a.jump_eq(AF_INET, reachable);
    a.jump_eq(AF_INET6, reachable, k_no_family);
}

// With a listener the call waits in the kernel, unanswered, until the server has killed
// the run; it never runs.
u32 kill_list_verdict(FilterKill kill) { return kill == k_kill_by_listener ? SECCOMP_RET_USER_NOTIF : SECCOMP_RET_KILL_PROCESS; }

} // namespace

i64 build_seccomp_filter(sock_filter_k* out, const FilterSettings& settings)
{
    const GuardedProcess& guarded = settings.guarded;
    bool guard = guarded.pid != 0;
    Assembler a(out);
    a.load(SECCOMP_DATA_ARCH);
    a.jump_eq(AUDIT_ARCH_X86_64, k_known_arch);
    a.ret(SECCOMP_RET_KILL_PROCESS);
    a.place(k_known_arch);
    a.load(SECCOMP_DATA_NR);
    a.jump_ge(__X32_SYSCALL_BIT, k_kill);
    RowTable table;
    for (const KilledCall& call : k_killed_calls)
        table.add(call.nr, k_kill_list);
    for (const FilterRow& row : k_filtered_calls)
        table.add(row.nr, row.verdict);
    for (const FilterRow& row : k_refused_calls)
        table.add(row.nr, row.verdict);
    if (guard)
        for (const FilterRow& row : k_guarded_calls)
            if (!(guarded.signals_scoped && left_to_landlock(row.nr)))
                table.add(row.nr, row.verdict);
    emit_tree(a, table, 0, table.count);
    if (guard)
        emit_guard_tests(a, { guarded.pid, guarded.pgid != 0 ? guarded.pgid : guarded.pid });
    emit_family_test(a, settings.network);
    a.place(k_clone_test);
    a.load(arg(0));
    a.jump_set(k_namespace_flags, k_refuse, k_allow);
    a.place(k_personality_test);
    a.load(arg(0));
    a.jump_eq(k_personality_query, k_allow, k_refuse);
    a.place(k_allow);
    a.ret(SECCOMP_RET_ALLOW);
    a.place(k_refuse);
    a.ret(SECCOMP_RET_ERRNO | (u32)EPERM);
    a.place(k_unsupported);
    a.ret(SECCOMP_RET_ERRNO | (u32)ENOSYS);
    a.place(k_refused_socket);
    a.ret(SECCOMP_RET_ERRNO | (u32)EACCES);
    a.place(k_no_family);
    a.ret(SECCOMP_RET_ERRNO | (u32)EAFNOSUPPORT);
    a.place(k_kill_list);
    a.ret(kill_list_verdict(settings.kill));
    a.place(k_kill);
    a.ret(SECCOMP_RET_KILL_PROCESS);
    return a.finish();
}

const char* seccomp_killed_call_name(u32 nr)
{
    for (const KilledCall& call : k_killed_calls)
        if (call.nr == nr)
            return call.name;
    return nullptr;
}
