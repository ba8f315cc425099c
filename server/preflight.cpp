// The preflight decides the mode as start-up does (root: kernel isolation, else basic,
// with rootless namespaces where the kernel allows them) and probes each thing that mode
// needs. The jail is built as start-up builds it, in a mount namespace of the check's own,
// so its mounts vanish with it and the host's mount table is left as it was.
//
// Kernel isolation needs mount, PID, network and IPC namespaces, seccomp's kill-process
// action, the jail's read-only system trees and a clean test run; basic isolation needs the
// filter, a clean test run, and either the rootless jail or Landlock (without both nothing
// keeps a command from the server's files). The other lines (control groups, the jail's
// /etc, Landlock where a jail confines, the seccomp listener) are information. The last lines name the layers
// every run enters.
#include "server/preflight.h"
#include "core/state.h"
#include "exec/confinement.h"
#include "exec/jail.h"
#include "exec/landlock.h"
#include "exec/run_cgroup.h"
#include "exec/seccomp_notice.h"
#include "exec/self_test.h"
#include "runtime/console.h"
#include "runtime/error_text.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constexpr i64 k_line_max = 512;
static constexpr i64 k_probe_stack_size = 16384;
alignas(16) static constinit char probe_stack[k_probe_stack_size] {};

// Entries the jail's /etc would hold; the line reports which are there.
static constexpr const char* k_jail_etc_entries[] = { "passwd", "group", "hosts", "nsswitch.conf", "resolv.conf" };

struct Line {
    char text[k_line_max];
    i64 len;
};

static void begin(Line* line, const char* item)
{
    line->len = append_text(line->text, 0, "[Cindervox] check: ");
    line->len = append_text(line->text, line->len, item);
    line->len = append_text(line->text, line->len, ": ");
}

static void add(Line* line, const char* text) { line->len = append_text(line->text, line->len, text); }

static void add_error(Line* line, i64 error) { line->len = append_error_name(line->text, line->len, error); }

static void finish(Line* line)
{
    line->len = append_byte(line->text, line->len, '\n');
    print_bytes(line->text, line->len);
}

static int probe_child(void*) { return 0; }

// 0 when a child can be created in new namespaces of the given kinds, else the negated
// errno of clone (or -EPERM when the child did not end cleanly).
static i64 try_namespaces(u64 flags)
{
    i64 pid = sys_clone_call(flags | SIGCHLD, probe_stack + k_probe_stack_size, nullptr, probe_child, nullptr);
    if (pid < 0)
        return pid;
    int status = 0;
    while (sys_wait4((int)pid, &status, __WALL, nullptr) == -EINTR) { }
    return status == 0 ? 0 : -EPERM;
}

// One namespace kind; unprivileged, it is tried inside a new user namespace, the only way
// a non-root process gets one. Returns 1 when available.
static bool check_namespace(const char* item, u64 flag, bool root)
{
    u64 flags = root || flag == CLONE_NEWUSER ? flag : flag | CLONE_NEWUSER;
    i64 result = try_namespaces(flags);
    Line line;
    begin(&line, item);
    if (result == 0) {
        add(&line, root || flag == CLONE_NEWUSER ? "available" : "available inside a user namespace");
    } else {
        add(&line, "not available (");
        add_error(&line, result);
        add(&line, ")");
    }
    finish(&line);
    return result == 0;
}

// Information: without a listener the kernel kills the caller of a kill-list call itself,
// and the answer names no call.
static void report_seccomp_listener()
{
    Line line;
    begin(&line, "seccomp listener");
    add(&line, seccomp_notice_probe() ? "available (a run killed by the filter is answered with the call's name)"
                                      : "not available (the kernel kills the caller; answers name no call)");
    finish(&line);
}

static bool check_seccomp()
{
    u32 action = SECCOMP_RET_KILL_PROCESS;
    i64 result = sys_seccomp(SECCOMP_GET_ACTION_AVAIL, 0, &action);
    Line line;
    begin(&line, "seccomp with kill-process");
    if (result == 0) {
        add(&line, "available");
    } else {
        add(&line, "not available (");
        add_error(&line, result);
        add(&line, ")");
    }
    finish(&line);
    return result == 0;
}

static i64 check_landlock()
{
    i64 abi = landlock_probe();
    Line line;
    begin(&line, "Landlock");
    if (abi <= 0) {
        add(&line, "not available");
    } else {
        add(&line, "ABI ");
        line.len = append_decimal(line.text, line.len, abi);
        add(&line, abi >= k_landlock_abi_network ? " (file rules, TCP bind and connect" : " (file rules");
        add(&line, abi >= k_landlock_abi_scopes ? ", signal and abstract-socket scopes)" : ")");
    }
    finish(&line);
    return abi;
}

static void report_layers()
{
    Line line;
    begin(&line, "layers of every run");
    line.len = append_layer_names(line.text, line.len, confinement_layers(jail.mode, landlock_abi()), " + ");
    finish(&line);
}

struct TreeId {
    i64 error;
    u64 dev;
    u64 ino;
    bool read_only;
};

static TreeId identify(const char* path)
{
    TreeId id {};
    i64 fd = sys_open(path, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        id.error = fd;
        return id;
    }
    stat_k st {};
    statfs_k fs {};
    id.error = sys_fstat((int)fd, &st);
    if (id.error == 0)
        id.error = sys_fstatfs((int)fd, &fs);
    sys_close((int)fd);
    id.dev = st.dev;
    id.ino = st.ino;
    id.read_only = (fs.flags & ST_RDONLY) != 0;
    return id;
}

// A bind shows the host tree itself (same device and inode) on a read-only mount.
static bool check_bind(const char* source_path, const char* target_path)
{
    Line line;
    line.len = append_text(line.text, 0, "[Cindervox] check: jail bind ");
    add(&line, source_path);
    add(&line, " -> ");
    add(&line, target_path);
    add(&line, ": ");
    TreeId source = identify(source_path);
    TreeId target = identify(target_path);
    bool ok = false;
    if (source.error != 0) {
        add(&line, "not on this host (skipped)");
        ok = true;
    } else if (target.error != 0) {
        add(&line, "FAILED (");
        add_error(&line, target.error);
        add(&line, ")");
    } else if (source.dev != target.dev || source.ino != target.ino) {
        add(&line, "FAILED (not bound)");
    } else if (!target.read_only) {
        add(&line, "FAILED (writable)");
    } else {
        add(&line, "read-only");
        ok = true;
    }
    finish(&line);
    return ok;
}

// The whole of /usr, which the jail's /bin, /lib and /lib64 also reach on merged-/usr hosts.
static bool check_binds()
{
    char target[2 * k_jail_path_size];
    i64 len = append_text(target, 0, jail.layout.root);
    len = append_text(target, len, "/usr");
    append_byte(target, len, 0);
    return check_bind("/usr", target);
}

static void report_etc_entries()
{
    char path[128];
    Line line;
    begin(&line, "/etc entries in the jail");
    i64 found = 0;
    for (const char* entry : k_jail_etc_entries) {
        i64 len = append_text(path, 0, jail.layout.root);
        len = append_text(path, len, "/etc/");
        len = append_text(path, len, entry);
        append_byte(path, len, 0);
        i64 fd = sys_open(path, O_PATH | O_CLOEXEC, 0);
        if (fd < 0)
            continue;
        sys_close((int)fd);
        add(&line, found++ > 0 ? " " : "");
        add(&line, entry);
    }
    if (found == 0)
        add(&line, "none (commands see no /etc)");
    finish(&line);
}

static bool prepare_jail_for_check(bool root)
{
    Line line;
    begin(&line, root ? "jail set-up" : "rootless namespaces and jail");
    JailSetup setup = prepare_jail(root);
    if (setup.failed_step != nullptr) {
        add(&line, "FAILED (");
        add(&line, setup.failed_step);
        add(&line, " ");
        add(&line, setup.failed_target);
        add(&line, ": ");
        add_error(&line, setup.error);
        add(&line, ")");
    } else {
        add(&line, "done (in a mount namespace of the check's own)");
    }
    finish(&line);
    return setup.failed_step == nullptr;
}

static void report_cgroups(bool root)
{
    Line line;
    begin(&line, "per-run memory and process groups");
    if (!root)
        add(&line, "no delegated controller (per-process limits only)");
    else if (run_cgroups_available())
        add(&line, "cgroup v1 memory (with swap) and pids controllers");
    else
        add(&line, "no memory and pids controllers (per-process limits only)");
    finish(&line);
}

// The run goes through the jail whenever the jail was set up: as root, and rootless where
// the kernel allows user namespaces.
static bool check_test_run(bool jailed)
{
    SelfTest test = run_self_test();
    Line line;
    begin(&line,
        jailed ? "test run of /bin/sh -c true (namespaces, jail, limits, seccomp)"
               : "test run of /bin/sh -c true (limits, no-new-privileges, seccomp)");
    if (test.passed) {
        add(&line, "passed");
    } else {
        add(&line, "FAILED (");
        line.len += describe_self_test(test, line.text + line.len);
        add(&line, ")");
    }
    finish(&line);
    return test.passed;
}

// Settings changes are saved under /etc/cindervox; where the server cannot write there,
// each change answers "persisted":false and lasts until the server stops. A warning, not
// a failure: confinement does not depend on it.
static void report_settings_directory()
{
    Line line;
    begin(&line, "/etc/cindervox writable");
    i64 result = sys_faccessat(AT_FDCWD, "/etc/cindervox", W_OK | X_OK);
    if (result == 0) {
        add(&line, "yes (settings changes are saved)");
    } else {
        add(&line, "WARNING: no (");
        add_error(&line, result);
        add(&line, "): settings changes answer \"persisted\":false and last until the server stops");
    }
    finish(&line);
}

int run_preflight()
{
    bool root = sys_getuid() == 0;
    state.kernel_isolation = root ? 1 : 0;
    Line line;
    begin(&line, "root");
    add(&line,
        root ? "yes, kernel isolation (namespaces, jail, limits, seccomp)"
             : "no, basic isolation (limits, no-new-privileges, seccomp; rootless namespaces and jail where the kernel allows)");
    finish(&line);
    bool ok = true;
    check_namespace("user namespaces", CLONE_NEWUSER, root);
    bool pid_ns = check_namespace("PID namespaces", CLONE_NEWPID, root);
    bool mount_ns = check_namespace("mount namespaces", CLONE_NEWNS, root);
    bool net_ns = check_namespace("network namespaces", CLONE_NEWNET, root);
    bool ipc_ns = check_namespace("IPC namespaces", CLONE_NEWIPC, root);
    ok = check_seccomp() && ok;
    report_seccomp_listener();
    i64 landlock = check_landlock();
    bool jail_ready = prepare_jail_for_check(root);
    if (!root && !jail_ready && landlock == 0) {
        begin(&line, "confinement without namespaces");
        add(&line, "FAILED (no user namespaces and no Landlock: /api/exec answers 503 unless allow_unconfined=yes)");
        finish(&line);
        ok = false;
    }
    if (root) {
        ok = pid_ns && mount_ns && net_ns && ipc_ns && ok;
        ok = check_binds() && jail_ready && ok;
    }
    if (jail_ready)
        report_etc_entries();
    report_cgroups(root);
    report_settings_directory();
    ok = check_test_run(jail_ready) && ok;
    report_layers();
    begin(&line, "result");
    add(&line, root ? "kernel isolation " : jail_ready ? "basic isolation with rootless namespaces " : "basic isolation ");
    add(&line, ok ? "can be confined as documented" : "CANNOT be confined as documented");
    finish(&line);
    return ok ? 0 : 1;
}
