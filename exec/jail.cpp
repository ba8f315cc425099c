// The jail tree under /var/terox/jail: its directories and the read-only binds of the
// host's system trees that every kernel-mode run sees.
#include "exec/jail.h"
#include "runtime/syscall.h"

static constexpr const char* k_jail_dirs[] = {
    "/var/terox",
    "/var/terox/jail",
    "/var/terox/jail/bin",
    "/var/terox/jail/usr",
    "/var/terox/jail/usr/bin",
    "/var/terox/jail/usr/lib",
    "/var/terox/jail/lib",
    "/var/terox/jail/lib64",
    "/var/terox/jail/tmp",
    "/var/terox/jail/dev",
};

static bool host_tree_exists(const char* path)
{
    i64 fd = sys_open(path, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sys_close((int)fd);
    return true;
}

// Directories are made without checking: an existing one is no error, and a missing one
// shows as the failure of its bind.
JailSetup prepare_jail()
{
    for (const char* dir : k_jail_dirs)
        sys_mkdir(dir, 0755);
    // mkdir honours the umask; the jail's tmp must be world-writable whatever it is.
    i64 tmp = sys_open(k_jail_tmp, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (tmp >= 0) {
        sys_fchmod((int)tmp, 0777);
        sys_close((int)tmp);
    }
    JailSetup setup { nullptr, nullptr, 0 };
    for (const JailBind& row : k_jail_binds) {
        if (!host_tree_exists(row.source))
            continue;
        i64 result = sys_mount(row.source, row.target, nullptr, MS_BIND, nullptr);
        if (result == 0)
            result = sys_mount("", row.target, "", MS_REMOUNT | MS_BIND | MS_RDONLY, "");
        if (result < 0 && setup.failed_target == nullptr)
            setup = { row.target, "read-only bind", result };
    }
    return setup;
}

// Detached, so a bind some process still uses goes as soon as it no longer does.
void release_jail()
{
    for (const JailBind& row : k_jail_binds)
        sys_umount2(row.target, MNT_DETACH);
}
