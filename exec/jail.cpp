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

struct BindRow {
    const char* source;
    const char* target;
};
static constexpr BindRow k_jail_binds[] = {
    { "/bin", "/var/terox/jail/bin" },
    { "/usr/bin", "/var/terox/jail/usr/bin" },
    { "/usr/lib", "/var/terox/jail/usr/lib" },
    { "/lib", "/var/terox/jail/lib" },
    { "/lib64", "/var/terox/jail/lib64" },
};

// Results are not checked: a host without /lib64 simply has no such bind.
void prepare_jail()
{
    for (const char* dir : k_jail_dirs)
        sys_mkdir(dir, 0755);
    // mkdir honours the umask; the jail's tmp must be world-writable whatever it is.
    i64 tmp = sys_open(k_jail_tmp, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (tmp >= 0) {
        sys_fchmod((int)tmp, 0777);
        sys_close((int)tmp);
    }
    for (const BindRow& row : k_jail_binds)
        sys_mount(row.source, row.target, nullptr, MS_BIND, nullptr);
    for (const BindRow& row : k_jail_binds)
        sys_mount("", row.target, "", MS_REMOUNT | MS_BIND | MS_RDONLY, "");
}
