// Kernel ABI numbers for x86-64 Linux, spelled as the kernel spells them, so each line
// can be checked against its man page or uapi header.
#pragma once

// System call numbers.
enum : long {
    SYS_read = 0,
    SYS_write = 1,
    SYS_open = 2,
    SYS_close = 3,
    SYS_stat = 4,
    SYS_fstat = 5,
    SYS_poll = 7,
    SYS_lseek = 8,
    SYS_mmap = 9,
    SYS_mprotect = 10,
    SYS_munmap = 11,
    SYS_rt_sigaction = 13,
    SYS_rt_sigprocmask = 14,
    SYS_ioctl = 16,
    SYS_pread64 = 17,
    SYS_readv = 19,
    SYS_writev = 20,
    SYS_pipe = 22,
    SYS_madvise = 28,
    SYS_dup = 32,
    SYS_dup2 = 33,
    SYS_nanosleep = 35,
    SYS_getpid = 39,
    SYS_socket = 41,
    SYS_connect = 42,
    SYS_accept = 43,
    SYS_sendto = 44,
    SYS_recvfrom = 45,
    SYS_sendmsg = 46,
    SYS_recvmsg = 47,
    SYS_shutdown = 48,
    SYS_bind = 49,
    SYS_listen = 50,
    SYS_socketpair = 53,
    SYS_setsockopt = 54,
    SYS_getsockopt = 55,
    SYS_clone = 56,
    SYS_fork = 57,
    SYS_vfork = 58,
    SYS_execve = 59,
    SYS_exit = 60,
    SYS_wait4 = 61,
    SYS_kill = 62,
    SYS_fcntl = 72,
    SYS_fsync = 74,
    SYS_ftruncate = 77,
    SYS_chdir = 80,
    SYS_fchdir = 81,
    SYS_rename = 82,
    SYS_mkdir = 83,
    SYS_rmdir = 84,
    SYS_unlink = 87,
    SYS_readlink = 89,
    SYS_chmod = 90,
    SYS_fchmod = 91,
    SYS_fchown = 93,
    SYS_fstatfs = 138,
    SYS_umask = 95,
    SYS_ptrace = 101,
    SYS_getuid = 102,
    SYS_getgid = 104,
    SYS_setuid = 105,
    SYS_setgid = 106,
    SYS_geteuid = 107,
    SYS_setpgid = 109,
    SYS_getppid = 110,
    SYS_setsid = 112,
    SYS_setgroups = 116,
    SYS_setresuid = 117,
    SYS_setresgid = 119,
    SYS_prctl = 157,
    SYS_chroot = 161,
    SYS_mount = 165,
    SYS_umount2 = 166,
    SYS_reboot = 169,
    SYS_init_module = 175,
    SYS_delete_module = 176,
    SYS_gettid = 186,
    SYS_clock_gettime = 228,
    SYS_exit_group = 231,
    SYS_epoll_wait = 232,
    SYS_epoll_ctl = 233,
    SYS_kexec_load = 246,
    SYS_waitid = 247,
    SYS_openat = 257,
    SYS_mkdirat = 258,
    SYS_fchownat = 260,
    SYS_newfstatat = 262,
    SYS_unlinkat = 263,
    SYS_renameat = 264,
    SYS_readlinkat = 267,
    SYS_fchmodat = 268,
    SYS_faccessat = 269,
    SYS_ppoll = 271,
    SYS_unshare = 272,
    SYS_fallocate = 285,
    SYS_accept4 = 288,
    SYS_epoll_create1 = 291,
    SYS_dup3 = 292,
    SYS_signalfd4 = 289,
    SYS_pipe2 = 293,
    SYS_prlimit64 = 302,
    SYS_setns = 308,
    SYS_process_vm_readv = 310,
    SYS_process_vm_writev = 311,
    SYS_renameat2 = 316,
    SYS_seccomp = 317,
    SYS_getrandom = 318,
    SYS_memfd_create = 319,
    SYS_execveat = 322,
    SYS_rt_sigqueueinfo = 129,
    SYS_tkill = 200,
    SYS_tgkill = 234,
    SYS_rt_tgsigqueueinfo = 297,
    SYS_getpgid = 121,
    SYS_pidfd_send_signal = 424,
    SYS_io_uring_setup = 425,
    SYS_io_uring_enter = 426,
    SYS_io_uring_register = 427,
    SYS_pidfd_open = 434,
    SYS_clone3 = 435,
    SYS_close_range = 436,
    SYS_openat2 = 437,
    SYS_uname = 63,
    SYS_mount_setattr = 442,
    SYS_setfsuid = 122,
    SYS_setfsgid = 123,
    SYS_symlink = 88,
    SYS_statfs = 137,
    SYS_pivot_root = 155,
    SYS_getdents64 = 217,
    SYS_eventfd2 = 290,
    SYS_setpriority = 141,
    SYS_sched_setparam = 142,
    SYS_sched_setscheduler = 144,
    SYS_sched_setaffinity = 203,
    SYS_add_key = 248,
    SYS_request_key = 249,
    SYS_keyctl = 250,
    SYS_ioprio_set = 251,
    SYS_migrate_pages = 256,
    SYS_move_pages = 279,
    SYS_kcmp = 312,
    SYS_finit_module = 313,
    SYS_sched_setattr = 314,
    SYS_kexec_file_load = 320,
    SYS_process_madvise = 440,
    SYS_personality = 135,
    SYS_sethostname = 170,
    SYS_setdomainname = 171,
    SYS_perf_event_open = 298,
    SYS_bpf = 321,
    SYS_userfaultfd = 323,
    SYS_open_tree = 428,
    SYS_move_mount = 429,
    SYS_fsopen = 430,
    SYS_fsconfig = 431,
    SYS_fsmount = 432,
    SYS_fspick = 433,
    SYS_memfd_secret = 447,
};

// open(2) flags and modes.
enum : int {
    O_RDONLY = 0,
    O_WRONLY = 1,
    O_RDWR = 2,
    O_CREAT = 0100,
    O_EXCL = 0200,
    O_NOCTTY = 0400,
    O_TRUNC = 01000,
    O_APPEND = 02000,
    O_NONBLOCK = 04000,
    O_DIRECTORY = 0200000,
    O_NOFOLLOW = 0400000,
    O_CLOEXEC = 02000000,
    O_PATH = 010000000,
};
// fallocate(2): reserve blocks without changing the file's size.
enum : int { FALLOC_FL_KEEP_SIZE = 1 };
enum : int { AT_FDCWD = -100, AT_REMOVEDIR = 0x200, AT_SYMLINK_NOFOLLOW = 0x100 };
// access(2) modes.
enum : int { X_OK = 1, W_OK = 2 };
enum : long { RESOLVE_NO_SYMLINKS = 0x04, RESOLVE_NO_MAGICLINKS = 0x02, RESOLVE_BENEATH = 0x08 };

// Errors (returned negated by every sys_ wrapper).
enum : long {
    EPERM = 1,
    ENOENT = 2,
    ESRCH = 3,
    EINTR = 4,
    EIO = 5,
    ENXIO = 6,
    E2BIG = 7,
    EBADF = 9,
    ECHILD = 10,
    EAGAIN = 11,
    ENOMEM = 12,
    EACCES = 13,
    EFAULT = 14,
    EBUSY = 16,
    EEXIST = 17,
    EXDEV = 18,
    ENOTDIR = 20,
    EISDIR = 21,
    EINVAL = 22,
    ENFILE = 23,
    EMFILE = 24,
    ENOSPC = 28,
    EROFS = 30,
    EPIPE = 32,
    ELOOP = 40,
    ENOSYS = 38,
    EOPNOTSUPP = 95,
    EAFNOSUPPORT = 97,
    EDQUOT = 122,
    EADDRINUSE = 98,
    ENETUNREACH = 101,
    ECONNRESET = 104,
    ECONNREFUSED = 111,
    ETIMEDOUT = 110,
};

// mmap(2).
enum : int { PROT_NONE = 0, PROT_READ = 1, PROT_WRITE = 2, PROT_EXEC = 4 };
enum : int { MAP_SHARED = 0x01, MAP_PRIVATE = 0x02, MAP_ANONYMOUS = 0x20, MAP_NORESERVE = 0x4000 };
enum : int { MADV_DONTNEED = 4 };

// Sockets.
enum : int { AF_UNIX = 1, AF_INET = 2, AF_INET6 = 10, AF_NETLINK = 16, AF_PACKET = 17, AF_VSOCK = 40 };
enum : int { SOCK_STREAM = 1, SOCK_DGRAM = 2, SOCK_SEQPACKET = 5, SOCK_NONBLOCK = 04000, SOCK_CLOEXEC = 02000000 };
enum : int { SOL_SOCKET = 1, SO_REUSEADDR = 2, SO_RCVTIMEO = 20, SO_SNDTIMEO = 21 };
enum : int { IPPROTO_TCP = 6, TCP_NODELAY = 1 };
enum : int { MSG_CTRUNC = 0x08, MSG_DONTWAIT = 0x40, MSG_NOSIGNAL = 0x4000, MSG_CMSG_CLOEXEC = 0x40000000 };
// A control message carrying descriptors (SCM_RIGHTS): the header, then the ints, the
// whole padded to 8 bytes.
enum : int { SCM_RIGHTS = 1 };
struct cmsghdr_k {
    unsigned long len;
    int level;
    int type;
};
static_assert(sizeof(cmsghdr_k) == 16, "struct cmsghdr");
// An interface's flags through ioctl(2) on any socket of its network namespace.
enum : unsigned { SIOCGIFFLAGS = 0x8913, SIOCSIFFLAGS = 0x8914 };
enum : short { IFF_UP = 0x1 };
struct ifreq_flags_k {
    char name[16];
    short flags;
    char pad[22];
};
static_assert(sizeof(ifreq_flags_k) == 40, "struct ifreq");
enum : int { SHUT_WR = 1 };

// epoll(7).
enum : int { EPOLL_CLOEXEC = 02000000, EPOLL_CTL_ADD = 1, EPOLL_CTL_DEL = 2, EPOLL_CTL_MOD = 3 };
enum : unsigned { EPOLLIN = 0x001, EPOLLOUT = 0x004, EPOLLERR = 0x008, EPOLLHUP = 0x010, EPOLLRDHUP = 0x2000 };

// Clocks.
enum : int { CLOCK_REALTIME = 0, CLOCK_MONOTONIC = 1 };

// Processes, namespaces and mounts.
enum : unsigned long {
    CLONE_VM = 0x00000100,
    CLONE_FS = 0x00000200,
    CLONE_FILES = 0x00000400,
    CLONE_VFORK = 0x00004000,
    CLONE_THREAD = 0x00010000,
    CLONE_NEWNS = 0x00020000,
    CLONE_NEWUTS = 0x04000000,
    CLONE_NEWIPC = 0x08000000,
    CLONE_NEWUSER = 0x10000000,
    CLONE_NEWPID = 0x20000000,
    CLONE_NEWNET = 0x40000000,
    CLONE_PIDFD = 0x00001000,
    CLONE_NEWTIME = 0x00000080,
    CLONE_NEWCGROUP = 0x02000000,
};
enum : unsigned long {
    MS_RDONLY = 1,
    MS_NOSUID = 2,
    MS_NODEV = 4,
    MS_NOEXEC = 8,
    MS_REMOUNT = 32,
    MS_BIND = 4096,
    MS_REC = 16384,
    MS_PRIVATE = 1 << 18,
    MS_SLAVE = 1 << 19,
};
enum : int { MNT_DETACH = 2 };
// open_tree(2) and move_mount(2): a detached copy of a mount, attached elsewhere later.
enum : unsigned { OPEN_TREE_CLONE = 1, OPEN_TREE_CLOEXEC = 02000000 };
enum : unsigned { MOVE_MOUNT_F_EMPTY_PATH = 0x4 };
enum : unsigned long { MOUNT_ATTR_RDONLY = 0x1, MOUNT_ATTR_NOSUID = 0x2, MOUNT_ATTR_NODEV = 0x4, MOUNT_ATTR_NOEXEC = 0x8 };
enum : unsigned { AT_RECURSIVE = 0x8000 };
struct mount_attr_k {
    unsigned long attr_set;
    unsigned long attr_clr;
    unsigned long propagation;
    unsigned long userns_fd;
};
enum : unsigned char { DT_DIR = 4 };
struct dirent64_k {
    unsigned long ino;
    long off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};
enum : int { EFD_CLOEXEC = 02000000, EFD_NONBLOCK = 04000 };
enum : int { WNOHANG = 1, WUNTRACED = 2, __WALL = 0x40000000 };
enum : int { WEXITED = 4, WNOWAIT = 0x01000000 };

// Signals.
enum : int {
    SIGHUP = 1,
    SIGINT = 2,
    SIGQUIT = 3,
    SIGKILL = 9,
    SIGSEGV = 11,
    SIGPIPE = 13,
    SIGALRM = 14,
    SIGTERM = 15,
    SIGCHLD = 17,
    SIGSYS = 31,
};
enum : unsigned long { SA_RESTORER = 0x04000000, SA_RESTART = 0x10000000 };
enum : int { SIG_BLOCK = 0, SIG_UNBLOCK = 1, SIG_SETMASK = 2 };
enum : int { SFD_NONBLOCK = 04000, SFD_CLOEXEC = 02000000 };
// What a signalfd read yields, one record per signal (128 bytes; only the number matters).
struct signalfd_siginfo_k {
    unsigned int signo;
    char rest[124];
};
static_assert(sizeof(signalfd_siginfo_k) == 128, "struct signalfd_siginfo");
// The signal's bit in a 64-bit signal set.
constexpr unsigned long signal_bit(int sig) { return 1ul << (sig - 1); }
#define SIG_IGN_HANDLER ((void*)1)
#define SIG_DFL_HANDLER ((void*)0)

// prctl(2), seccomp(2) and resource limits.
enum : int {
    PR_SET_PDEATHSIG = 1,
    PR_SET_NO_NEW_PRIVS = 38,
    PR_SET_CHILD_SUBREAPER = 36,
    PR_CAPBSET_DROP = 24,
};
enum : unsigned { SECCOMP_SET_MODE_FILTER = 1, SECCOMP_GET_ACTION_AVAIL = 2 };
enum : unsigned { SECCOMP_FILTER_FLAG_NEW_LISTENER = 1u << 3 };
enum : unsigned {
    SECCOMP_RET_KILL_PROCESS = 0x80000000u,
    SECCOMP_RET_ALLOW = 0x7FFF0000u,
    SECCOMP_RET_ERRNO = 0x00050000u,
    SECCOMP_RET_TRACE = 0x7FF00000u,
    SECCOMP_RET_USER_NOTIF = 0x7FC00000u,
};
// A call a filter handed to its listener (struct seccomp_notif, read with
// SECCOMP_IOCTL_NOTIF_RECV into a zeroed record): its id, the caller's pid, and the call's
// struct seccomp_data (number, architecture, instruction pointer, six arguments).
struct seccomp_notif_k {
    unsigned long id;
    unsigned int pid;
    unsigned int flags;
    unsigned int nr;
    unsigned int arch;
    unsigned long instruction_pointer;
    unsigned long args[6];
};
static_assert(sizeof(seccomp_notif_k) == 80, "struct seccomp_notif");
// _IOWR('!', 0, struct seccomp_notif).
enum : unsigned { SECCOMP_IOCTL_NOTIF_RECV = 0xC0502100u };
enum : unsigned { AUDIT_ARCH_X86_64 = 0xC000003Eu };
enum : int {
    RLIMIT_CPU = 0,
    RLIMIT_FSIZE = 1,
    RLIMIT_DATA = 2,
    RLIMIT_STACK = 3,
    RLIMIT_CORE = 4,
    RLIMIT_NPROC = 6,
    RLIMIT_NOFILE = 7,
    RLIMIT_AS = 9,
};

struct timespec_k {
    long tv_sec;
    long tv_nsec;
};
struct timeval_k {
    long tv_sec;
    long tv_usec;
};
struct rlimit_k {
    unsigned long cur;
    unsigned long max;
};
struct iovec_k {
    const void* base;
    unsigned long len;
};
struct msghdr_k {
    void* name;
    int namelen;
    iovec_k* iov;
    unsigned long iovlen;
    void* control;
    unsigned long controllen;
    int flags;
};
struct __attribute__((packed)) epoll_event_k {
    unsigned events;
    unsigned long data;
};
struct sockaddr_in_k {
    unsigned short family;
    unsigned char port[2];
    unsigned char addr[4];
    unsigned char zero[8];
};
struct sigaction_k {
    void* handler;
    unsigned long flags;
    void* restorer;
    unsigned long mask;
};
struct sock_filter_k {
    unsigned short code;
    unsigned char jt;
    unsigned char jf;
    unsigned int k;
};
struct sock_fprog_k {
    unsigned short len;
    const sock_filter_k* filter;
};
struct open_how_k {
    unsigned long flags;
    unsigned long mode;
    unsigned long resolve;
};
// uname(2): six NUL-terminated fields of 65 bytes.
struct utsname_k {
    char sysname[65];
    char nodename[65];
    char release[65];
    char version[65];
    char machine[65];
    char domainname[65];
};
// fstat(2) on x86-64.
struct stat_k {
    unsigned long dev;
    unsigned long ino;
    unsigned long nlink;
    unsigned int mode;
    unsigned int uid;
    unsigned int gid;
    int pad0;
    unsigned long rdev;
    long size;
    long blksize;
    long blocks;
    long times[6];
    long reserved[3];
};
static_assert(sizeof(stat_k) == 144, "x86-64 struct stat");
// fstatfs(2) on x86-64; f_flags carries the mount flags.
struct statfs_k {
    long type;
    long bsize;
    unsigned long blocks;
    unsigned long bfree;
    unsigned long bavail;
    unsigned long files;
    unsigned long ffree;
    int fsid[2];
    long namelen;
    long frsize;
    long flags;
    long spare[4];
};
static_assert(sizeof(statfs_k) == 120, "x86-64 struct statfs");
enum : long { ST_RDONLY = 1 };
enum : unsigned { S_IFMT = 0170000, S_IFREG = 0100000, S_IFDIR = 0040000, S_IFLNK = 0120000 };

// Classic BPF as seccomp filters use it, and the layout of struct seccomp_data.
enum : unsigned short {
    BPF_LD = 0x00,
    BPF_JMP = 0x05,
    BPF_RET = 0x06,
    BPF_JA = 0x00,
    BPF_W = 0x00,
    BPF_ABS = 0x20,
    BPF_JEQ = 0x10,
    BPF_JGE = 0x30,
    BPF_JSET = 0x40,
    BPF_K = 0x00,
};
enum : unsigned {
    SECCOMP_DATA_NR = 0,
    SECCOMP_DATA_ARCH = 4,
    SECCOMP_DATA_ARGS = 16,
    AUDIT_ARCH_I386 = 0x40000003u,
    __X32_SYSCALL_BIT = 0x40000000u,
};

// poll(2), fcntl(2) and the rest of what the sandbox runner needs.
struct pollfd_k {
    int fd;
    short events;
    short revents;
};
enum : short { POLLIN = 0x001, POLLHUP = 0x010 };
enum : int { F_SETFD = 2, F_GETFL = 3, F_SETFL = 4, F_DUPFD_CLOEXEC = 1030, F_SETOWN = 8, F_SETOWN_EX = 15 };
enum : int { FD_CLOEXEC = 1 };
// fcntl(2) record locks owned by the open file description (F_OFD_*), and struct flock.
enum : int { F_OFD_GETLK = 36, F_OFD_SETLK = 37 };
enum : short { F_RDLCK = 0, F_WRLCK = 1, F_UNLCK = 2 };
struct flock_k {
    short type;
    short whence;
    long start;
    long len;
    int pid;
};
static_assert(sizeof(flock_k) == 32);
// ioctl(2) requests that name the owner of a descriptor's signals.
enum : unsigned { FIOSETOWN = 0x8901, SIOCSPGRP = 0x8902 };
// setpriority(2) and ioprio_set(2): the "which" that names every process of a user.
enum : int { PRIO_USER = 2, IOPRIO_WHO_USER = 3 };
enum : int { PR_SET_DUMPABLE = 4 };

// Landlock (landlock(7)): a ruleset names the access rights it handles; a path-beneath
// rule grants some of them under one file or directory; restrict_self makes the calling
// thread and its future children a domain bound by the ruleset. The struct grows with the
// ABI: handled_access_net from ABI 4, scoped from ABI 6; the size passed says which
// fields the caller fills.
enum : long { SYS_landlock_create_ruleset = 444, SYS_landlock_add_rule = 445, SYS_landlock_restrict_self = 446 };
struct landlock_ruleset_attr_k {
    unsigned long handled_access_fs;
    unsigned long handled_access_net;
    unsigned long scoped;
};
struct __attribute__((packed)) landlock_path_beneath_attr_k {
    unsigned long allowed_access;
    int parent_fd;
};
static_assert(sizeof(landlock_path_beneath_attr_k) == 12, "struct landlock_path_beneath_attr");
enum : unsigned { LANDLOCK_CREATE_RULESET_VERSION = 1u << 0 };
enum : int { LANDLOCK_RULE_PATH_BENEATH = 1 };
enum : unsigned long {
    LANDLOCK_ACCESS_FS_EXECUTE = 1ul << 0,
    LANDLOCK_ACCESS_FS_WRITE_FILE = 1ul << 1,
    LANDLOCK_ACCESS_FS_READ_FILE = 1ul << 2,
    LANDLOCK_ACCESS_FS_READ_DIR = 1ul << 3,
    LANDLOCK_ACCESS_FS_REMOVE_DIR = 1ul << 4,
    LANDLOCK_ACCESS_FS_REMOVE_FILE = 1ul << 5,
    LANDLOCK_ACCESS_FS_MAKE_CHAR = 1ul << 6,
    LANDLOCK_ACCESS_FS_MAKE_DIR = 1ul << 7,
    LANDLOCK_ACCESS_FS_MAKE_REG = 1ul << 8,
    LANDLOCK_ACCESS_FS_MAKE_SOCK = 1ul << 9,
    LANDLOCK_ACCESS_FS_MAKE_FIFO = 1ul << 10,
    LANDLOCK_ACCESS_FS_MAKE_BLOCK = 1ul << 11,
    LANDLOCK_ACCESS_FS_MAKE_SYM = 1ul << 12,
    LANDLOCK_ACCESS_FS_REFER = 1ul << 13,
    LANDLOCK_ACCESS_FS_TRUNCATE = 1ul << 14,
    LANDLOCK_ACCESS_FS_IOCTL_DEV = 1ul << 15,
};
enum : unsigned long { LANDLOCK_ACCESS_NET_BIND_TCP = 1ul << 0, LANDLOCK_ACCESS_NET_CONNECT_TCP = 1ul << 1 };
enum : unsigned long { LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET = 1ul << 0, LANDLOCK_SCOPE_SIGNAL = 1ul << 1 };
