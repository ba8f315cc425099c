// The rule tables by mode and ABI, and the two stages that turn them into a domain (see
// the header). Rights a kernel does not know are never asked for: the ruleset would be
// refused whole, and best effort means the run gets every layer this kernel has.
#include "exec/landlock.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constinit i64 probed_abi = 0;

// ---- the tables ---------------------------------------------------------------------

static constexpr u64 k_fs_rights_abi1 = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
    LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
    LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
    LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;

// The rights a rule on a file (not a directory) may carry; the kernel refuses the others.
static constexpr u64 k_file_rights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
    LANDLOCK_ACCESS_FS_TRUNCATE | LANDLOCK_ACCESS_FS_IOCTL_DEV;

static u64 handled_fs(i64 abi)
{
    if (abi < 1)
        return 0;
    u64 rights = k_fs_rights_abi1;
    if (abi >= k_landlock_abi_refer)
        rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= k_landlock_abi_truncate)
        rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= k_landlock_abi_ioctl_dev)
        rights |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    return rights;
}

// The struct's size as far as the ABI reads it: handled_access_fs alone up to ABI 3, then
// handled_access_net, then scoped.
LandlockHandled landlock_handled(JailMode mode, i64 abi)
{
    LandlockHandled handled { handled_fs(abi), 0, 0, 8 };
    if (abi >= k_landlock_abi_network) {
        handled.attr_size = 16;
        if (mode == k_jail_none)
            handled.net = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
    }
    if (abi >= k_landlock_abi_scopes) {
        handled.attr_size = 24;
        handled.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
    }
    return handled;
}

// Read and write leave out the device nodes: a workspace needs none, and no one may make them.
u64 landlock_grant_rights(LandlockGrant grant, i64 abi, bool directory)
{
    u64 rights = 0;
    switch (grant) {
    case k_grant_list: rights = LANDLOCK_ACCESS_FS_READ_DIR; break;
    case k_grant_read: rights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR; break;
    case k_grant_read_exec: rights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR; break;
    // A shell's "> /dev/null" truncates, and a terminal check is an ioctl.
    case k_grant_device:
        rights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_TRUNCATE | LANDLOCK_ACCESS_FS_IOCTL_DEV;
        break;
    case k_grant_read_write:
        rights = ~(LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_IOCTL_DEV);
        break;
    }
    rights &= handled_fs(abi);
    return directory ? rights : rights & k_file_rights;
}

// The jail's paths below its root, or the places the run mounts itself.
static constexpr LandlockRow k_jail_rows[] = {
    { "/", k_grant_list, k_stage_prepare },
    { "/usr", k_grant_read_exec, k_stage_prepare },
    { "/bin", k_grant_read_exec, k_stage_prepare },
    { "/sbin", k_grant_read_exec, k_stage_prepare },
    { "/lib", k_grant_read_exec, k_stage_prepare },
    { "/lib64", k_grant_read_exec, k_stage_prepare },
    { "/etc", k_grant_read, k_stage_prepare },
    { "/dev", k_grant_list, k_stage_prepare },
    { "/dev/null", k_grant_device, k_stage_prepare },
    { "/dev/zero", k_grant_device, k_stage_prepare },
    { "/dev/full", k_grant_device, k_stage_prepare },
    { "/dev/tty", k_grant_device, k_stage_prepare },
    { "/dev/random", k_grant_device, k_stage_prepare },
    { "/dev/urandom", k_grant_device, k_stage_prepare },
    { "/proc", k_grant_read, k_stage_prepare },
    { "/dev/shm", k_grant_read_write, k_stage_prepare },
    { "/tmp", k_grant_read_write, k_stage_bind },
};

// The host's places; /etc comes entry by entry and the workspace from the plan.
static constexpr LandlockRow k_plain_rows[] = {
    { "/usr", k_grant_read_exec, k_stage_prepare },
    { "/bin", k_grant_read_exec, k_stage_prepare },
    { "/sbin", k_grant_read_exec, k_stage_prepare },
    { "/lib", k_grant_read_exec, k_stage_prepare },
    { "/lib32", k_grant_read_exec, k_stage_prepare },
    { "/lib64", k_grant_read_exec, k_stage_prepare },
    { "/libx32", k_grant_read_exec, k_stage_prepare },
    { "/proc", k_grant_read, k_stage_prepare },
    { "/dev", k_grant_list, k_stage_prepare },
    { "/dev/null", k_grant_device, k_stage_prepare },
    { "/dev/zero", k_grant_device, k_stage_prepare },
    { "/dev/full", k_grant_device, k_stage_prepare },
    { "/dev/tty", k_grant_device, k_stage_prepare },
    { "/dev/random", k_grant_device, k_stage_prepare },
    { "/dev/urandom", k_grant_device, k_stage_prepare },
    { "/dev/shm", k_grant_read_write, k_stage_prepare },
};

LandlockRows landlock_rows(JailMode mode)
{
    if (mode == k_jail_none)
        return { k_plain_rows, (i64)(sizeof(k_plain_rows) / sizeof(k_plain_rows[0])) };
    return { k_jail_rows, (i64)(sizeof(k_jail_rows) / sizeof(k_jail_rows[0])) };
}

// Prefixes, so backups (shadow-), drop-in folders (sudoers.d) and the server's
// configuration under any spelling it may grow stay closed too.
static constexpr const char* k_etc_closed[] = { "cindervox", "shadow", "gshadow", "sudoers", "ssh" };

bool landlock_etc_entry_allowed(const char* name)
{
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
        return false;
    for (const char* closed : k_etc_closed)
        if (bytes_equal(name, closed, text_length(closed)))
            return false;
    return true;
}

// ---- the kernel -----------------------------------------------------------------------

i64 landlock_probe()
{
    i64 abi = sys_landlock_create_ruleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    probed_abi = abi > 0 ? abi : 0;
    return probed_abi;
}

i64 landlock_abi() { return probed_abi; }

// One rule for the place fd names. Returns 0 or -errno.
static i64 add_rule_for(int ruleset, int fd, LandlockGrant grant, i64 abi)
{
    stat_k st {};
    i64 result = sys_fstat(fd, &st);
    if (result < 0)
        return result;
    landlock_path_beneath_attr_k rule { landlock_grant_rights(grant, abi, (st.mode & S_IFMT) == S_IFDIR), fd };
    // A rule that grants nothing (a listing grant on a file) is no rule.
    if (rule.allowed_access == 0)
        return 0;
    return sys_landlock_add_rule(ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
}

// A place that is missing is skipped (the host may have no /lib32); any other failure
// is returned. flags adds O_NOFOLLOW where a link must not widen the grant.
static i64 add_rule_at(int ruleset, int dir, const char* path, LandlockGrant grant, i64 abi, int flags)
{
    i64 fd = sys_openat(dir, path, O_PATH | O_CLOEXEC | flags, 0);
    if (fd == -ENOENT)
        return 0;
    if (fd < 0)
        return fd;
    i64 result = add_rule_for(ruleset, (int)fd, grant, abi);
    sys_close((int)fd);
    return result;
}

// Every /etc entry but the closed ones, read-only. A symbolic link gets no rule: its
// target is granted only where it lies in a granted place, so a link cannot open
// /etc/cindervox.
static i64 add_etc_rules(int ruleset, i64 abi)
{
    i64 etc = sys_open("/etc", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (etc < 0)
        return etc == -ENOENT ? 0 : etc;
    alignas(8) char entries[4096];
    i64 result = 0;
    while (result == 0) {
        i64 len = sys_getdents64((int)etc, entries, sizeof(entries));
        if (len <= 0) {
            result = len;
            break;
        }
        for (i64 at = 0; at < len && result == 0;) {
            const dirent64_k* entry = (const dirent64_k*)(entries + at);
            at += entry->reclen;
            if (landlock_etc_entry_allowed(entry->name))
                result = add_rule_at(ruleset, (int)etc, entry->name, k_grant_read, abi, O_NOFOLLOW);
        }
    }
    sys_close((int)etc);
    return result;
}

static i64 add_prepared_rows(int ruleset, JailMode mode, i64 abi)
{
    LandlockRows table = landlock_rows(mode);
    for (i64 i = 0; i < table.count; i++) {
        const LandlockRow& row = table.rows[i];
        if (row.stage != k_stage_prepare)
            continue;
        i64 result = add_rule_at(ruleset, AT_FDCWD, row.path, row.grant, abi, 0);
        if (result < 0)
            return result;
    }
    return 0;
}

// ---- plain basic mode's places, opened once ---------------------------------------------

// The host places of plain basic mode's rulesets (the table's rows and every readable /etc
// entry), each kept open (O_PATH) with its grant and kind, so a ruleset is one add_rule
// per place. They are opened anew when /etc has changed since (its modification time and
// inode: an entry added, removed or replaced by a rename changes them). A host with more
// entries than fit is served uncached.
static constexpr i64 k_plain_places_max = 512;
struct PlainPlace {
    int fd;
    LandlockGrant grant;
    bool directory;
};
struct PlainPlaces {
    PlainPlace places[k_plain_places_max];
    i64 count;
    bool valid;
    u64 etc_inode;
    i64 etc_mtime_sec;
    i64 etc_mtime_nsec;
};
static constinit PlainPlaces plain {};

i64 landlock_cached_places_max() { return k_plain_places_max + 1; }

static void forget_plain_places()
{
    for (i64 i = 0; i < plain.count; i++)
        sys_close(plain.places[i].fd);
    plain.count = 0;
    plain.valid = false;
}

// A missing place is skipped, as the uncached rows skip it.
static bool keep_plain_place(int dir, const char* path, LandlockGrant grant, int flags)
{
    i64 fd = sys_openat(dir, path, O_PATH | O_CLOEXEC | flags, 0);
    if (fd == -ENOENT)
        return true;
    if (fd < 0 || plain.count >= k_plain_places_max) {
        if (fd >= 0)
            sys_close((int)fd);
        return false;
    }
    stat_k st {};
    if (sys_fstat((int)fd, &st) < 0) {
        sys_close((int)fd);
        return false;
    }
    plain.places[plain.count++] = { (int)fd, grant, (st.mode & S_IFMT) == S_IFDIR };
    return true;
}

static bool open_plain_places(int etc)
{
    LandlockRows table = landlock_rows(k_jail_none);
    for (i64 i = 0; i < table.count; i++)
        if (!keep_plain_place(AT_FDCWD, table.rows[i].path, table.rows[i].grant, 0))
            return false;
    alignas(8) char entries[4096];
    for (;;) {
        i64 len = sys_getdents64(etc, entries, sizeof(entries));
        if (len < 0)
            return false;
        if (len == 0)
            return true;
        for (i64 at = 0; at < len;) {
            const dirent64_k* entry = (const dirent64_k*)(entries + at);
            at += entry->reclen;
            if (landlock_etc_entry_allowed(entry->name) && !keep_plain_place(etc, entry->name, k_grant_read, O_NOFOLLOW))
                return false;
        }
    }
}

// Whether the kept places are those of /etc as it is now, opening them anew if not.
static bool plain_places_current()
{
    i64 etc = sys_open("/etc", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (etc < 0)
        return false;
    stat_k st {};
    bool same = sys_fstat((int)etc, &st) == 0 && plain.valid && st.ino == plain.etc_inode && st.times[2] == plain.etc_mtime_sec &&
        st.times[3] == plain.etc_mtime_nsec;
    if (!same) {
        forget_plain_places();
        plain.valid = open_plain_places((int)etc);
        if (!plain.valid)
            forget_plain_places();
        plain.etc_inode = st.ino;
        plain.etc_mtime_sec = st.times[2];
        plain.etc_mtime_nsec = st.times[3];
    }
    sys_close((int)etc);
    return plain.valid;
}

static i64 add_plain_places(int ruleset, i64 abi)
{
    for (i64 i = 0; i < plain.count; i++) {
        const PlainPlace& place = plain.places[i];
        landlock_path_beneath_attr_k rule { landlock_grant_rights(place.grant, abi, place.directory), place.fd };
        if (rule.allowed_access == 0)
            continue;
        i64 result = sys_landlock_add_rule(ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
        if (result < 0)
            return result;
    }
    return 0;
}

i64 landlock_prepare(JailMode mode, i64 abi)
{
    LandlockHandled handled = landlock_handled(mode, abi);
    landlock_ruleset_attr_k attr { handled.fs, handled.net, handled.scoped };
    i64 ruleset = sys_landlock_create_ruleset(&attr, handled.attr_size, 0);
    if (ruleset < 0)
        return ruleset;
    i64 result = 0;
    if (mode == k_jail_none && plain_places_current())
        result = add_plain_places((int)ruleset, abi);
    else {
        result = add_prepared_rows((int)ruleset, mode, abi);
        if (result == 0 && mode == k_jail_none)
            result = add_etc_rules((int)ruleset, abi);
    }
    if (result < 0) {
        sys_close((int)ruleset);
        return result;
    }
    return ruleset;
}

i64 landlock_add_workspace(int ruleset_fd, i64 abi, const char* workspace)
{
    i64 fd = sys_open(workspace, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0)
        return fd;
    i64 result = add_rule_for(ruleset_fd, (int)fd, k_grant_read_write, abi);
    sys_close((int)fd);
    return result;
}

i64 landlock_enter(int ruleset_fd, JailMode mode, i64 abi)
{
    LandlockRows table = landlock_rows(mode);
    i64 result = 0;
    for (i64 i = 0; i < table.count && result == 0; i++) {
        const LandlockRow& row = table.rows[i];
        if (row.stage != k_stage_bind)
            continue;
        i64 fd = sys_open(row.path, O_PATH | O_CLOEXEC, 0);
        result = fd < 0 ? fd : add_rule_for(ruleset_fd, (int)fd, row.grant, abi);
        if (fd >= 0)
            sys_close((int)fd);
    }
    if (result == 0)
        result = sys_landlock_restrict_self(ruleset_fd, 0);
    sys_close(ruleset_fd);
    return result;
}
