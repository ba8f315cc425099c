// The one place where the program talks to the kernel. syscallN are the raw entry
// points; above them one typed wrapper per call. Every sys_ function returns what the
// kernel returned: a value >= 0, or -errno. There is no errno variable anywhere.
// Wrappers never loop: retrying and partial writes live one level up (runtime/io.h).
#pragma once
#include "runtime/abi.h"
#include "runtime/types.h"

static inline i64 syscall0(i64 n)
{
    i64 ret;
    asm volatile("syscall" : "=a"(ret) : "a"(n) : "rcx", "r11", "memory");
    return ret;
}
static inline i64 syscall1(i64 n, i64 a1)
{
    i64 ret;
    asm volatile("syscall" : "=a"(ret) : "a"(n), "D"(a1) : "rcx", "r11", "memory");
    return ret;
}
static inline i64 syscall2(i64 n, i64 a1, i64 a2)
{
    i64 ret;
    asm volatile("syscall" : "=a"(ret) : "a"(n), "D"(a1), "S"(a2) : "rcx", "r11", "memory");
    return ret;
}
static inline i64 syscall3(i64 n, i64 a1, i64 a2, i64 a3)
{
    i64 ret;
    asm volatile("syscall" : "=a"(ret) : "a"(n), "D"(a1), "S"(a2), "d"(a3) : "rcx", "r11", "memory");
    return ret;
}
static inline i64 syscall4(i64 n, i64 a1, i64 a2, i64 a3, i64 a4)
{
    i64 ret;
    register i64 r10 asm("r10") = a4;
    asm volatile("syscall" : "=a"(ret) : "a"(n), "D"(a1), "S"(a2), "d"(a3), "r"(r10) : "rcx", "r11", "memory");
    return ret;
}
static inline i64 syscall5(i64 n, i64 a1, i64 a2, i64 a3, i64 a4, i64 a5)
{
    i64 ret;
    register i64 r10 asm("r10") = a4;
    register i64 r8 asm("r8") = a5;
    asm volatile("syscall" : "=a"(ret) : "a"(n), "D"(a1), "S"(a2), "d"(a3), "r"(r10), "r"(r8) : "rcx", "r11", "memory");
    return ret;
}
static inline i64 syscall6(i64 n, i64 a1, i64 a2, i64 a3, i64 a4, i64 a5, i64 a6)
{
    i64 ret;
    register i64 r10 asm("r10") = a4;
    register i64 r8 asm("r8") = a5;
    register i64 r9 asm("r9") = a6;
    asm volatile("syscall" : "=a"(ret) : "a"(n), "D"(a1), "S"(a2), "d"(a3), "r"(r10), "r"(r8), "r"(r9) : "rcx", "r11", "memory");
    return ret;
}

// Files and descriptors.
inline i64 sys_read(int fd, void* buf, i64 len) { return syscall3(SYS_read, fd, (i64)buf, len); }
inline i64 sys_write(int fd, const void* buf, i64 len) { return syscall3(SYS_write, fd, (i64)buf, len); }
inline i64 sys_open(const char* path, int flags, int mode) { return syscall3(SYS_open, (i64)path, flags, mode); }
inline i64 sys_openat(int dirfd, const char* path, int flags, int mode) { return syscall4(SYS_openat, dirfd, (i64)path, flags, mode); }
inline i64 sys_openat2(int dirfd, const char* path, open_how_k* how)
{
    return syscall4(SYS_openat2, dirfd, (i64)path, (i64)how, sizeof(open_how_k));
}
inline i64 sys_close(int fd) { return syscall1(SYS_close, fd); }
inline i64 sys_fstat(int fd, stat_k* st) { return syscall2(SYS_fstat, fd, (i64)st); }
inline i64 sys_fstatat(int dirfd, const char* path, stat_k* st, int flags)
{
    return syscall4(SYS_newfstatat, dirfd, (i64)path, (i64)st, flags);
}
inline i64 sys_pread64(int fd, void* buf, i64 len, i64 offset) { return syscall4(SYS_pread64, fd, (i64)buf, len, offset); }
inline i64 sys_fstatfs(int fd, statfs_k* st) { return syscall2(SYS_fstatfs, fd, (i64)st); }
inline i64 sys_ftruncate(int fd, i64 length) { return syscall2(SYS_ftruncate, fd, length); }
inline i64 sys_fallocate(int fd, int mode, i64 offset, i64 len) { return syscall4(SYS_fallocate, fd, mode, offset, len); }
inline i64 sys_close_range(unsigned first, unsigned last, unsigned flags) { return syscall3(SYS_close_range, first, last, flags); }
inline i64 sys_dup2(int oldfd, int newfd) { return syscall2(SYS_dup2, oldfd, newfd); }
inline i64 sys_dup3(int oldfd, int newfd, int flags) { return syscall3(SYS_dup3, oldfd, newfd, flags); }
inline i64 sys_pipe2(int* fds, int flags) { return syscall2(SYS_pipe2, (i64)fds, flags); }
inline i64 sys_fcntl(int fd, int cmd, i64 arg) { return syscall3(SYS_fcntl, fd, cmd, arg); }
inline i64 sys_ioctl(int fd, u64 request, void* arg) { return syscall3(SYS_ioctl, fd, (i64)request, (i64)arg); }
inline i64 sys_writev(int fd, const iovec_k* iov, int count) { return syscall3(SYS_writev, fd, (i64)iov, count); }
inline i64 sys_fsync(int fd) { return syscall1(SYS_fsync, fd); }
inline i64 sys_mkdir(const char* path, int mode) { return syscall2(SYS_mkdir, (i64)path, mode); }
inline i64 sys_mkdirat(int dirfd, const char* path, int mode) { return syscall3(SYS_mkdirat, dirfd, (i64)path, mode); }
inline i64 sys_rename(const char* from, const char* to) { return syscall2(SYS_rename, (i64)from, (i64)to); }
inline i64 sys_renameat(int fromdir, const char* from, int todir, const char* to)
{
    return syscall4(SYS_renameat, fromdir, (i64)from, todir, (i64)to);
}
inline i64 sys_unlink(const char* path) { return syscall1(SYS_unlink, (i64)path); }
inline i64 sys_unlinkat(int dirfd, const char* path, int flags) { return syscall3(SYS_unlinkat, dirfd, (i64)path, flags); }
inline i64 sys_fchmod(int fd, int mode) { return syscall2(SYS_fchmod, fd, mode); }
inline i64 sys_chdir(const char* path) { return syscall1(SYS_chdir, (i64)path); }
inline i64 sys_chroot(const char* path) { return syscall1(SYS_chroot, (i64)path); }
inline i64 sys_rmdir(const char* path) { return syscall1(SYS_rmdir, (i64)path); }
inline i64 sys_fchdir(int fd) { return syscall1(SYS_fchdir, fd); }
inline i64 sys_fchown(int fd, u32 uid, u32 gid) { return syscall3(SYS_fchown, fd, uid, gid); }
inline i64 sys_readlink(const char* path, char* buf, i64 len) { return syscall3(SYS_readlink, (i64)path, (i64)buf, len); }
inline i64 sys_symlink(const char* target, const char* path) { return syscall2(SYS_symlink, (i64)target, (i64)path); }
inline i64 sys_statfs(const char* path, statfs_k* st) { return syscall2(SYS_statfs, (i64)path, (i64)st); }
inline i64 sys_faccessat(int dirfd, const char* path, int mode) { return syscall3(SYS_faccessat, dirfd, (i64)path, mode); }
inline i64 sys_getdents64(int fd, void* buf, i64 len) { return syscall3(SYS_getdents64, fd, (i64)buf, len); }
inline i64 sys_eventfd2(unsigned initval, int flags) { return syscall2(SYS_eventfd2, initval, flags); }

// Memory.
inline void* sys_mmap(void* addr, i64 len, int prot, int flags, int fd, i64 off)
{
    return (void*)syscall6(SYS_mmap, (i64)addr, len, prot, flags, fd, off);
}
inline i64 sys_munmap(void* addr, i64 len) { return syscall2(SYS_munmap, (i64)addr, len); }
inline i64 sys_madvise(void* addr, i64 len, int advice) { return syscall3(SYS_madvise, (i64)addr, len, advice); }
inline i64 sys_mprotect(void* addr, i64 len, int prot) { return syscall3(SYS_mprotect, (i64)addr, len, prot); }

// Sockets and epoll.
inline i64 sys_socket(int domain, int type, int protocol) { return syscall3(SYS_socket, domain, type, protocol); }
inline i64 sys_setsockopt(int fd, int level, int name, const void* val, int len)
{
    return syscall5(SYS_setsockopt, fd, level, name, (i64)val, len);
}
inline i64 sys_bind(int fd, const void* addr, int len) { return syscall3(SYS_bind, fd, (i64)addr, len); }
inline i64 sys_listen(int fd, int backlog) { return syscall2(SYS_listen, fd, backlog); }
inline i64 sys_accept4(int fd, void* addr, int* len, int flags) { return syscall4(SYS_accept4, fd, (i64)addr, (i64)len, flags); }
inline i64 sys_connect(int fd, const void* addr, int len) { return syscall3(SYS_connect, fd, (i64)addr, len); }
inline i64 sys_sendmsg(int fd, const msghdr_k* msg, int flags) { return syscall3(SYS_sendmsg, fd, (i64)msg, flags); }
inline i64 sys_recvmsg(int fd, msghdr_k* msg, int flags) { return syscall3(SYS_recvmsg, fd, (i64)msg, flags); }
inline i64 sys_socketpair(int domain, int type, int protocol, int* fds) { return syscall4(SYS_socketpair, domain, type, protocol, (i64)fds); }
inline i64 sys_shutdown(int fd, int how) { return syscall2(SYS_shutdown, fd, how); }
inline i64 sys_epoll_create1(int flags) { return syscall1(SYS_epoll_create1, flags); }
inline i64 sys_epoll_ctl(int epfd, int op, int fd, epoll_event_k* ev) { return syscall4(SYS_epoll_ctl, epfd, op, fd, (i64)ev); }
inline i64 sys_epoll_wait(int epfd, epoll_event_k* evs, int max, int timeout_ms)
{
    return syscall4(SYS_epoll_wait, epfd, (i64)evs, max, timeout_ms);
}
inline i64 sys_poll(void* fds, u64 count, int timeout_ms) { return syscall3(SYS_poll, (i64)fds, (i64)count, timeout_ms); }

// Time.
inline i64 sys_clock_gettime(int clock, timespec_k* ts) { return syscall2(SYS_clock_gettime, clock, (i64)ts); }
inline i64 sys_nanosleep(const timespec_k* req, timespec_k* rem) { return syscall2(SYS_nanosleep, (i64)req, (i64)rem); }

// Identity, processes, namespaces, confinement.
inline i64 sys_getuid() { return syscall0(SYS_getuid); }
inline i64 sys_uname(utsname_k* names) { return syscall1(SYS_uname, (i64)names); }
inline i64 sys_geteuid() { return syscall0(SYS_geteuid); }
inline i64 sys_getgid() { return syscall0(SYS_getgid); }
// Both return the previous fs id, never an error.
inline i64 sys_setfsuid(u32 uid) { return syscall1(SYS_setfsuid, uid); }
inline i64 sys_setfsgid(u32 gid) { return syscall1(SYS_setfsgid, gid); }
inline i64 sys_getpid() { return syscall0(SYS_getpid); }
inline i64 sys_getpgid(int pid) { return syscall1(SYS_getpgid, pid); }
inline i64 sys_setgroups(i64 count, const u32* groups) { return syscall2(SYS_setgroups, count, (i64)groups); }
inline i64 sys_setresuid(u32 r, u32 e, u32 s) { return syscall3(SYS_setresuid, r, e, s); }
inline i64 sys_setresgid(u32 r, u32 e, u32 s) { return syscall3(SYS_setresgid, r, e, s); }
inline i64 sys_setsid() { return syscall0(SYS_setsid); }
inline i64 sys_setpgid(int pid, int pgid) { return syscall2(SYS_setpgid, pid, pgid); }
inline i64 sys_fork() { return syscall0(SYS_fork); }
inline i64 sys_clone(u64 flags, void* stack, int* parent_tid, int* child_tid, u64 tls)
{
    return syscall5(SYS_clone, (i64)flags, (i64)stack, (i64)parent_tid, (i64)child_tid, (i64)tls);
}
inline i64 sys_execve(const char* path, const char* const* argv, const char* const* envp)
{
    return syscall3(SYS_execve, (i64)path, (i64)argv, (i64)envp);
}
[[noreturn]] inline void sys_exit(int code)
{
    for (;;)
        syscall1(SYS_exit, code);
}
[[noreturn]] inline void sys_exit_group(int code)
{
    for (;;)
        syscall1(SYS_exit_group, code);
}
inline i64 sys_wait4(int pid, int* status, int options, void* rusage)
{
    return syscall4(SYS_wait4, pid, (i64)status, options, (i64)rusage);
}
inline i64 sys_kill(int pid, int sig) { return syscall2(SYS_kill, pid, sig); }
inline i64 sys_unshare(u64 flags) { return syscall1(SYS_unshare, (i64)flags); }
inline i64 sys_mount(const char* src, const char* target, const char* type, u64 flags, const void* data)
{
    return syscall5(SYS_mount, (i64)src, (i64)target, (i64)type, (i64)flags, (i64)data);
}
inline i64 sys_umount2(const char* target, int flags) { return syscall2(SYS_umount2, (i64)target, flags); }
inline i64 sys_mount_setattr(int dirfd, const char* path, unsigned flags, mount_attr_k* attr)
{
    return syscall5(SYS_mount_setattr, dirfd, (i64)path, flags, (i64)attr, sizeof(mount_attr_k));
}
inline i64 sys_open_tree(int dirfd, const char* path, unsigned flags) { return syscall3(SYS_open_tree, dirfd, (i64)path, flags); }
inline i64 sys_move_mount(int from_dirfd, const char* from_path, int to_dirfd, const char* to_path, unsigned flags)
{
    return syscall5(SYS_move_mount, from_dirfd, (i64)from_path, to_dirfd, (i64)to_path, flags);
}
inline i64 sys_pivot_root(const char* new_root, const char* put_old) { return syscall2(SYS_pivot_root, (i64)new_root, (i64)put_old); }
inline i64 sys_setns(int fd, int nstype) { return syscall2(SYS_setns, fd, nstype); }
inline i64 sys_prlimit64(int pid, int resource, const rlimit_k* limit, rlimit_k* old)
{
    return syscall4(SYS_prlimit64, pid, resource, (i64)limit, (i64)old);
}
inline i64 sys_prctl(int option, u64 a2, u64 a3, u64 a4, u64 a5) { return syscall5(SYS_prctl, option, (i64)a2, (i64)a3, (i64)a4, (i64)a5); }
inline i64 sys_seccomp(u32 op, u32 flags, const void* args) { return syscall3(SYS_seccomp, op, flags, (i64)args); }
inline i64 sys_rt_sigaction(int sig, const sigaction_k* act, sigaction_k* old)
{
    return syscall4(SYS_rt_sigaction, sig, (i64)act, (i64)old, 8);
}
inline i64 sys_rt_sigprocmask(int how, const u64* set, u64* old) { return syscall4(SYS_rt_sigprocmask, how, (i64)set, (i64)old, 8); }
inline i64 sys_signalfd4(int fd, const u64* mask, int flags) { return syscall4(SYS_signalfd4, fd, (i64)mask, 8, flags); }
inline i64 sys_pidfd_open(int pid, u32 flags) { return syscall2(SYS_pidfd_open, pid, flags); }
inline i64 sys_landlock_create_ruleset(const landlock_ruleset_attr_k* attr, i64 size, u32 flags)
{
    return syscall3(SYS_landlock_create_ruleset, (i64)attr, size, flags);
}
inline i64 sys_landlock_add_rule(int ruleset_fd, int rule_type, const void* attr, u32 flags)
{
    return syscall4(SYS_landlock_add_rule, ruleset_fd, rule_type, (i64)attr, flags);
}
inline i64 sys_landlock_restrict_self(int ruleset_fd, u32 flags) { return syscall2(SYS_landlock_restrict_self, ruleset_fd, flags); }

// clone(2) onto a separate stack: the child calls fn(arg) there and ends with the exit
// system call and fn's result, so it never returns into the caller's frames, which it may
// share under CLONE_VM. stack_top must be 16-byte aligned. parent_tid receives the pidfd
// under CLONE_PIDFD. The parent gets the child's pid or -errno.
inline i64 sys_clone_call(u64 flags, void* stack_top, int* parent_tid, int (*fn)(void*), void* arg)
{
    i64 ret;
    register i64 r10 asm("r10") = 0;
    register i64 r8 asm("r8") = 0;
    register int (*r9)(void*) asm("r9") = fn;
    register void* r12 asm("r12") = arg;
    asm volatile(
        "syscall\n\t"
        "test %%rax, %%rax\n\t"
        "jnz 1f\n\t"
        "xor %%ebp, %%ebp\n\t"
        "mov %%r12, %%rdi\n\t"
        "call *%%r9\n\t"
        "mov %%eax, %%edi\n\t"
        "mov %[exit_nr], %%eax\n\t"
        "syscall\n\t"
        "hlt\n"
        "1:"
        : "=a"(ret)
        : "a"(SYS_clone), "D"(flags), "S"(stack_top), "d"(parent_tid), "r"(r10), "r"(r8), "r"(r9), "r"(r12), [exit_nr] "i"(SYS_exit)
        : "rcx", "r11", "memory");
    return ret;
}
