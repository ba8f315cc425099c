// Start-up half of the jail: the server's own namespaces, the read-only root every run
// pivots into, its /dev and its /etc, and the first of the agents' network namespaces
// (exec/agent_network.h), which proves that runs will get theirs.
//
// The root is a small tmpfs made read-only once built. The host's /usr (and /bin, /lib,
// /lib64, /sbin, as binds or as the symbolic links merged-/usr hosts have) is bound in
// read-only, nosuid and nodev. /dev holds binds of six host devices and the usual links
// into /proc. /etc is written here, never bound whole: the accounts the commands run
// under, name service and host tables, and read-only binds of the few host entries that
// Debian's compilers, interpreters and version control read (k_etc_entries).
#include "exec/jail.h"
#include "agents/registry.h"
#include "core/config.h"
#include "core/state.h"
#include "exec/agent_network.h"
#include "exec/confinement.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

constinit JailState jail { k_jail_none, {}, nullptr, 0, 0, 0, -1 };

static constinit JailSetup setup {};

// Keeps the first failed step of the preparation (its name, its path and its error) for
// start-up and --check to report. Returns true when result is not an error.
static bool note(i64 result, const char* step, const char* target)
{
    if (result >= 0)
        return true;
    if (setup.failed_step != nullptr)
        return false;
    setup.failed_step = step;
    i64 len = text_length_max(target, k_jail_path_size * 3 - 1);
    copy_bytes(setup.failed_target, target, len);
    setup.failed_target[len] = 0;
    setup.error = result;
    return false;
}

static void fill_layout(JailLayout* layout, const char* base)
{
    append_byte(layout->base, append_text(layout->base, 0, base), 0);
    build_path(layout->root, base, "root");
    build_path(layout->root_tmp, layout->root, "tmp");
    build_path(layout->root_proc, layout->root, "proc");
    build_path(layout->root_shm, layout->root, "dev/shm");
    build_path(layout->workspaces, base, "ws");
}

// ---- the server's namespaces ----------------------------------------------------------

static i64 write_proc_file(const char* path, const char* text, i64 len)
{
    i64 fd = sys_open(path, O_WRONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    i64 written = sys_write((int)fd, text, len);
    sys_close((int)fd);
    return written == len;
}

// "<inside> <outside> 1\n" into a uid_map or gid_map.
static i64 write_id_map(const char* path, u32 inside, u32 outside)
{
    char line[64];
    i64 pos = append_decimal(line, 0, inside);
    pos = append_byte(line, pos, ' ');
    pos = append_decimal(line, pos, outside);
    pos = append_text(line, pos, " 1\n");
    return write_proc_file(path, line, pos);
}

i64 map_own_ids(u32 uid_inside, u32 gid_inside, u32 uid_outside, u32 gid_outside)
{
    if (!write_proc_file("/proc/self/setgroups", "deny", 4))
        return 0;
    if (!write_id_map("/proc/self/uid_map", uid_inside, uid_outside))
        return 0;
    return write_id_map("/proc/self/gid_map", gid_inside, gid_outside);
}

// Private propagation: the host's mounts stay visible to the server, but nothing it
// mounts from now on travels back, whatever the host's own propagation is.
static i64 enter_server_namespaces(bool as_root)
{
    if (as_root) {
        if (!note(sys_unshare(CLONE_NEWNS), "own mount namespace", "/"))
            return 0;
    } else {
        if (!note(sys_unshare(CLONE_NEWUSER | CLONE_NEWNS), "own user and mount namespaces", "/"))
            return 0;
        // The server keeps its own ids, so every file it opens is checked as before.
        if (!note(map_own_ids(jail.outer_uid, jail.outer_gid, jail.outer_uid, jail.outer_gid) ? 0 : -EPERM, "id maps", "/proc/self"))
            return 0;
    }
    return note(sys_mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), "private mounts", "/");
}

// ---- building the root ------------------------------------------------------------

static i64 set_mount_attributes(const char* path, u64 attributes, bool recursive)
{
    mount_attr_k attr { attributes, 0, 0, 0 };
    return note(sys_mount_setattr(AT_FDCWD, path, recursive ? (unsigned)AT_RECURSIVE : 0u, &attr), "read-only mount", path);
}

// A read-only bind of a host file or tree. In a user namespace the binds of the host's
// mounts keep the host's locked flags, so the attributes are added, never replaced.
static i64 bind_read_only(const char* source, const char* target)
{
    if (!note(sys_mount(source, target, nullptr, MS_BIND | MS_REC, nullptr), "bind", target))
        return 0;
    return set_mount_attributes(target, MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV, true);
}

static i64 create_empty_file(const char* path)
{
    i64 fd = sys_open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (!note(fd, "create", path))
        return 0;
    sys_close((int)fd);
    return 1;
}

static i64 write_file(const char* path, const char* text, i64 len)
{
    i64 fd = sys_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (!note(fd, "create", path))
        return 0;
    i64 written = write_all((int)fd, text, len);
    // The umask must not narrow what every account has to read.
    sys_fchmod((int)fd, 0644);
    sys_close((int)fd);
    return note(written, "write", path);
}

static constexpr i64 k_link_size = 256;

// Reproduces a host entry in the jail: a symbolic link as the same link (its target
// usually lies under /usr, which the jail has), a directory or a file as a read-only
// bind. A host without the entry leaves none. Returns 0 only when a step failed.
static i64 mirror_host_entry(const char* host_path, const char* jail_path)
{
    char link[k_link_size];
    i64 link_len = sys_readlink(host_path, link, k_link_size - 1);
    if (link_len > 0) {
        link[link_len] = 0;
        return note(sys_symlink(link, jail_path), "symbolic link", jail_path);
    }
    i64 fd = sys_open(host_path, O_PATH | O_CLOEXEC, 0);
    if (fd < 0)
        return 1;
    stat_k st {};
    i64 stat_result = sys_fstat((int)fd, &st);
    sys_close((int)fd);
    if (!note(stat_result, "stat", host_path))
        return 0;
    if ((st.mode & S_IFMT) == S_IFDIR) {
        if (!note(sys_mkdir(jail_path, 0755), "mkdir", jail_path))
            return 0;
    } else if (!create_empty_file(jail_path)) {
        return 0;
    }
    return bind_read_only(host_path, jail_path);
}

// The system trees: the whole of /usr, and the top-level names that point into it.
static constexpr const char* k_system_trees[] = { "usr", "bin", "sbin", "lib", "lib64" };

static i64 build_system_trees(const char* root)
{
    for (const char* name : k_system_trees) {
        char host[k_jail_path_size];
        char target[k_jail_path_size * 2];
        build_path(host, "", name);
        build_path(target, root, name);
        if (!mirror_host_entry(host, target))
            return 0;
    }
    return 1;
}

// /dev: the harmless devices as binds of the host's nodes (a user namespace may not
// create device nodes), the descriptor links, and the mount point of the run's /dev/shm.
static constexpr const char* k_devices[] = { "null", "zero", "full", "random", "urandom", "tty" };

struct LinkRow {
    const char* name;
    const char* target;
};
static constexpr LinkRow k_dev_links[] = {
    { "fd", "/proc/self/fd" },
    { "stdin", "/proc/self/fd/0" },
    { "stdout", "/proc/self/fd/1" },
    { "stderr", "/proc/self/fd/2" },
};

static i64 build_dev(const char* root)
{
    char dev[k_jail_path_size * 2];
    build_path(dev, root, "dev");
    if (!note(sys_mkdir(dev, 0755), "mkdir", dev))
        return 0;
    if (!note(sys_mount("tmpfs", dev, "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=64k,nr_inodes=64"), "tmpfs", dev))
        return 0;
    char path[k_jail_path_size * 3];
    for (const char* name : k_devices) {
        char host[k_jail_path_size];
        build_path(host, "/dev", name);
        build_path(path, dev, name);
        if (!create_empty_file(path))
            return 0;
        if (!note(sys_mount(host, path, nullptr, MS_BIND, nullptr), "device bind", path))
            return 0;
    }
    for (const LinkRow& row : k_dev_links) {
        build_path(path, dev, row.name);
        if (!note(sys_symlink(row.target, path), "symbolic link", path))
            return 0;
    }
    build_path(path, dev, "shm");
    if (!note(sys_mkdir(path, 0755), "mkdir", path))
        return 0;
    return set_mount_attributes(dev, MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NOEXEC, false);
}

// ---- /etc -----------------------------------------------------------------------------

// Host entries the jail's /etc shows read-only, when the host has them: the loader's
// cache and configuration, Debian's alternatives (cc, editor, ...), CA certificates and
// the OpenSSL configuration, the time zone, protocol and service tables, the release
// files, git's system configuration, and Python's site configuration (names starting
// with "python3", matched in build_etc). Never the server's /etc/cindervox, shadow,
// gshadow, sudoers, ssh keys or machine-id.
static constexpr const char* k_etc_entries[] = {
    "ld.so.cache", "ld.so.conf", "ld.so.conf.d", "alternatives", "ssl/certs", "ssl/openssl.cnf",
    "ca-certificates.conf", "localtime", "timezone", "protocols", "services", "os-release",
    "debian_version", "gitconfig", "mime.types",
};
static constexpr char k_etc_python_prefix[] = "python3";

static constexpr char k_hosts[] = "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n";
static constexpr char k_nsswitch[] = "passwd: files\ngroup: files\nshadow: files\nhosts: files\n"
                                     "networks: files\nprotocols: files\nservices: files\n";

// The accounts: root, one "sandbox" line per agent uid (every agent's commands run under
// a uid of their own, all by the same name, home /tmp, shell /bin/sh), and nobody.
static i64 append_account(char* out, i64 pos, const char* name, i64 id, const char* rest)
{
    pos = append_text(out, pos, name);
    pos = append_text(out, pos, ":x:");
    pos = append_decimal(out, pos, id);
    pos = append_byte(out, pos, ':');
    return append_text(out, pos, rest);
}

// "sandbox:x:" + uid + ":" + gid + ":sandbox:/tmp:/bin/sh\n", the ids at most 5 digits.
static constexpr i64 k_sandbox_line_max = 10 + 5 + 1 + 5 + 22;
static constexpr i64 k_fixed_accounts_max = 128;

i64 jail_account_text_size() { return agent_uid_count() * k_sandbox_line_max + k_fixed_accounts_max; }

i64 build_jail_passwd(char* out)
{
    i64 pos = append_account(out, 0, "root", 0, "0:root:/root:/bin/sh\n");
    for (i64 slot = 0; slot < agent_uid_count(); slot++) {
        i64 uid = sandbox_uid_for_agent(slot);
        pos = append_account(out, pos, "sandbox", uid, "");
        pos = append_decimal(out, pos, uid);
        pos = append_text(out, pos, ":sandbox:/tmp:/bin/sh\n");
    }
    return append_account(out, pos, "nobody", 65534, "65534:nobody:/nonexistent:/usr/sbin/nologin\n");
}

i64 build_jail_group(char* out)
{
    i64 pos = append_account(out, 0, "root", 0, "\n");
    for (i64 slot = 0; slot < agent_uid_count(); slot++)
        pos = append_account(out, pos, "sandbox", sandbox_uid_for_agent(slot), "\n");
    return append_account(out, pos, "nogroup", 65534, "\n");
}

// The text is taken from the heap and given back once written.
static i64 write_account_files(const char* etc)
{
    char* mark = heap_mark();
    char* text = (char*)heap_alloc((u64)jail_account_text_size());
    char path[k_jail_path_size * 2];
    build_path(path, etc, "passwd");
    i64 ok = text && write_file(path, text, build_jail_passwd(text));
    build_path(path, etc, "group");
    ok = ok && write_file(path, text, build_jail_group(text));
    if (!text)
        note(-ENOMEM, "account files", etc);
    heap_release(mark);
    return ok;
}

static i64 write_name_service_files(const char* etc)
{
    char path[k_jail_path_size * 2];
    build_path(path, etc, "hosts");
    if (!write_file(path, k_hosts, sizeof(k_hosts) - 1))
        return 0;
    build_path(path, etc, "nsswitch.conf");
    if (!write_file(path, k_nsswitch, sizeof(k_nsswitch) - 1))
        return 0;
    build_path(path, etc, "resolv.conf");
    return write_file(path, "", 0);
}

static i64 mirror_etc_entry(const char* etc, const char* name)
{
    char host[k_jail_path_size * 2];
    char target[k_jail_path_size * 3];
    build_path(host, "/etc", name);
    build_path(target, etc, name);
    return mirror_host_entry(host, target);
}

// Every host /etc entry whose name starts with "python3" (python3, python3.11, ...).
static i64 mirror_python_entries(const char* etc)
{
    i64 dir = sys_open("/etc", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir < 0)
        return 1;
    alignas(8) char entries[4096];
    i64 ok = 1;
    for (;;) {
        i64 len = sys_getdents64((int)dir, entries, sizeof(entries));
        if (len <= 0)
            break;
        for (i64 at = 0; at < len;) {
            const dirent64_k* entry = (const dirent64_k*)(entries + at);
            at += entry->reclen;
            if (bytes_equal(entry->name, k_etc_python_prefix, sizeof(k_etc_python_prefix) - 1) && text_length(entry->name) < 32)
                ok &= mirror_etc_entry(etc, entry->name);
        }
    }
    sys_close((int)dir);
    return ok;
}

static i64 build_etc(const char* root)
{
    char etc[k_jail_path_size * 2];
    build_path(etc, root, "etc");
    if (!note(sys_mkdir(etc, 0755), "mkdir", etc))
        return 0;
    char ssl[k_jail_path_size * 3];
    build_path(ssl, etc, "ssl");
    if (!note(sys_mkdir(ssl, 0755), "mkdir", ssl))
        return 0;
    if (!write_account_files(etc) || !write_name_service_files(etc))
        return 0;
    for (const char* name : k_etc_entries)
        if (!mirror_etc_entry(etc, name))
            return 0;
    return mirror_python_entries(etc);
}

// ---- the whole jail -----------------------------------------------------------------

static constexpr const char* k_root_dirs[] = { "proc", "tmp" };

static i64 build_root(const JailLayout& layout)
{
    if (!note(sys_mkdir(layout.root, 0755), "mkdir", layout.root))
        return 0;
    if (!note(sys_mount("tmpfs", layout.root, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=4m,nr_inodes=4096"), "tmpfs", layout.root))
        return 0;
    for (const char* name : k_root_dirs) {
        char path[k_jail_path_size * 2];
        build_path(path, layout.root, name);
        if (!note(sys_mkdir(path, 0755), "mkdir", path))
            return 0;
    }
    if (!build_system_trees(layout.root) || !build_dev(layout.root) || !build_etc(layout.root))
        return 0;
    return set_mount_attributes(layout.root, MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV, false);
}

// The base holds the root and the workspaces' mount points, one directory per agent slot;
// it is never seen by a run.
static constexpr i64 k_base_inodes_fixed = 128;

static i64 build_jail(const char* base)
{
    fill_layout(&jail.layout, base);
    char options[64];
    i64 pos = append_text(options, 0, "mode=0711,size=64k,nr_inodes=");
    pos = append_decimal(options, pos, k_base_inodes_fixed + state.max_agents);
    append_byte(options, pos, 0);
    if (!note(sys_mount("tmpfs", base, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, options), "tmpfs", base))
        return 0;
    if (!note(sys_mkdir(jail.layout.workspaces, 0711), "mkdir", jail.layout.workspaces))
        return 0;
    return build_root(jail.layout);
}

// The namespace of runs without an agent slot, made now so that a host that refuses
// network namespaces, or their loopback, stops the start-up rather than every run.
static i64 prepare_network()
{
    return note(agent_network_prepare(), "agent network namespace", "/proc/thread-self/ns/net");
}

// Rootless: one user namespace per agent uid, made once at start-up. A run enters its agent's with setns; making one per run (or on an agent's
// first run) would need writes to the shell's own /proc files, which belong to root while
// it shares the non-dumpable server's memory. A namespace holds nothing of an agent but
// the map of its slot's uid, so it stays for the slot's next agent. Each is made by a
// short-lived child that maps its own ids and opens the namespace into the descriptor
// table it shares with the server.
alignas(16) static constinit char userns_stack[8192] {};
static int open_agent_user_namespace(void* arg)
{
    i64 index = (i64)arg;
    i64 made = sys_unshare(CLONE_NEWUSER);
    if (made < 0) {
        jail.userns_fds[index] = (int)made;
        return 1;
    }
    u32 uid = sandbox_uid_for_agent(index);
    if (!map_own_ids(uid, uid, jail.outer_uid, jail.outer_gid))
        return 1;
    jail.userns_fds[index] = (int)sys_open("/proc/thread-self/ns/user", O_RDONLY | O_CLOEXEC, 0);
    return 0;
}

// The descriptor of the new namespace, or the error of the child's unshare or open; a
// failed id map leaves -EPERM.
static i64 make_agent_user_namespace(i64 index)
{
    jail.userns_fds[index] = -EPERM;
    u64 flags = CLONE_VM | CLONE_FILES | CLONE_VFORK | SIGCHLD;
    i64 pid = sys_clone_call(flags, userns_stack + sizeof(userns_stack), nullptr, open_agent_user_namespace, (void*)index);
    if (pid < 0) {
        jail.userns_fds[index] = -1;
        return pid;
    }
    int status = 0;
    while (sys_wait4((int)pid, &status, __WALL, nullptr) == -EINTR) { }
    i64 result = jail.userns_fds[index];
    if (result < 0)
        jail.userns_fds[index] = -1;
    return result;
}

// One per agent uid (agent_uid_count): every slot's and the one of runs without a slot.
static i64 prepare_user_namespaces()
{
    jail.userns_count = agent_uid_count();
    jail.userns_fds = (int*)heap_alloc((u64)(jail.userns_count * (i64)sizeof(int)));
    if (!jail.userns_fds) {
        jail.userns_count = 0;
        return note(-ENOMEM, "agent user namespaces", "/proc/thread-self/ns/user");
    }
    for (i64 index = 0; index < jail.userns_count; index++)
        jail.userns_fds[index] = -1;
    for (i64 index = 0; index < jail.userns_count; index++) {
        i64 fd = make_agent_user_namespace(index);
        if (!note(fd < 0 ? fd : 0, "agent user namespace", "/proc/thread-self/ns/user"))
            return 0;
    }
    return 1;
}

// The template namespace: a copy of the server's mount namespace, pivoted into the jail
// root with the rest of the server's tree detached, as a run's used to be. The descriptor is
// opened before the pivot (the namespace's /proc is the server's then) into the table the
// child shares with the server; the namespace lives on through it.
alignas(16) static constinit char template_stack[8192] {};
static int make_template(void* arg)
{
    i64* result = (i64*)arg;
    *result = sys_unshare(CLONE_NEWNS);
    if (*result < 0)
        return 1;
    i64 fd = sys_open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC, 0);
    i64 step = fd;
    if (step >= 0)
        step = sys_chdir(jail.layout.root);
    if (step >= 0)
        step = sys_pivot_root(".", ".");
    if (step >= 0)
        step = sys_umount2(".", MNT_DETACH);
    if (step < 0 && fd >= 0)
        sys_close((int)fd);
    *result = step < 0 ? step : fd;
    return 0;
}

// Entering the template takes CAP_SYS_CHROOT besides CAP_SYS_ADMIN, which a service's
// bounding set may not grant: a child tries it as the runs' inits will.
static int enter_template(void* arg)
{
    i64* result = (i64*)arg;
    *result = sys_setns(jail.template_mount_fd, CLONE_NEWNS);
    return 0;
}

static i64 in_child(int (*step)(void*), i64* result)
{
    *result = -EINVAL;
    u64 flags = CLONE_VM | CLONE_FILES | CLONE_VFORK | SIGCHLD;
    i64 pid = sys_clone_call(flags, template_stack + sizeof(template_stack), nullptr, step, result);
    if (pid < 0)
        return pid;
    int status = 0;
    while (sys_wait4((int)pid, &status, __WALL, nullptr) == -EINTR) { }
    return *result;
}

// Without it runs work as before, so a failure is not the jail's.
static void prepare_template_namespace()
{
    i64 result = 0;
    if (in_child(make_template, &result) < 0)
        return;
    jail.template_mount_fd = (int)result;
    if (in_child(enter_template, &result) < 0) {
        sys_close(jail.template_mount_fd);
        jail.template_mount_fd = -1;
    }
}

// Rootless: the agent's user and network namespaces; as root its network namespace.
i64 jail_descriptors_per_agent()
{
    if (jail.mode == k_jail_rootless)
        return 2;
    return jail.mode == k_jail_kernel ? 1 : 0;
}

static void create_base_directories()
{
    sys_mkdir("/var/terox", 0755);
    sys_mkdir(k_jail_base, 0755);
}

JailSetup prepare_jail(bool as_root)
{
    setup = {};
    jail.outer_uid = (u32)sys_getuid();
    jail.outer_gid = (u32)sys_getgid();
    // The directories stay on the host (a root server has always made them); everything
    // mounted on them lives in the server's own namespace.
    if (as_root)
        create_base_directories();
    // As root the mode is kernel whatever fails here: start-up then refuses to serve, and a
    // run would fail its own steps; no command ever starts as root outside the jail.
    jail.mode = as_root ? k_jail_kernel : k_jail_none;
    bool ready = enter_server_namespaces(as_root) && build_jail(as_root ? k_jail_base : k_rootless_jail_base);
    if (ready && !as_root)
        ready = prepare_user_namespaces();
    // Rootless, the network namespaces are made inside the agents' user namespaces, and
    // their maker reads the mode to know it.
    if (ready && !as_root)
        jail.mode = k_jail_rootless;
    if (ready && !prepare_network() && !as_root)
        jail.mode = k_jail_none;
    // Rootless, a run may mount its /proc only while a full /proc is in its view (the
    // kernel's rule for user namespaces), which the template no longer has: those runs copy
    // the server's tree and pivot after the mount.
    if (ready && jail.mode == k_jail_kernel)
        prepare_template_namespace();
    setup.mode = jail.mode;
    return setup;
}

// Detached, so a bind some process still uses goes as soon as it no longer does.
void release_jail()
{
    if (jail.mode != k_jail_none)
        sys_umount2(jail.layout.base, MNT_DETACH);
}
