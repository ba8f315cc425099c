// Start-up of sandbox-server, in its fixed order: heap, clock, the host's memory and the
// settings the jail depends on (the registry's size and the agents' uids), isolation
// decision (with the claim on the agents' uids) and jail, audit destination, agent tables,
// policy, configuration, banner, socket, loop.
#include "agents/agent_tokens.h"
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/config.h"
#include "core/state.h"
#include "core/version.h"
#include "exec/confinement.h"
#include "exec/agent_teardown.h"
#include "exec/agent_uids.h"
#include "exec/jail.h"
#include "exec/landlock.h"
#include "exec/run_cgroup.h"
#include "exec/seccomp_notice.h"
#include "exec/self_test.h"
#include "policy/policy_file.h"
#include "policy/rules.h"
#include "runtime/console.h"
#include "runtime/error_text.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/listener.h"
#include "runtime/syscall.h"
#include "runtime/text.h"
#include "server/command_line.h"
#include "server/connection_loop.h"
#include "server/preflight.h"
#include "server/shutdown.h"

// Why a mode cannot be used: a failed self-test, or a failed jail step with its path.
static constexpr i64 k_reason_max = k_self_test_text_max + 3 * k_jail_path_size;
static constexpr i64 k_refusal_line_max = 160 + k_reason_max;

// Kernel isolation promises confinement that a failed step would silently withdraw from
// every command, so the server does not start with less than it promises.
[[noreturn]] static void refuse_kernel_mode(const char* reason, i64 reason_len)
{
    char line[k_refusal_line_max];
    i64 len = append_text(line, 0, "[Cindervox] ERROR: kernel isolation cannot confine commands: ");
    len = append_bytes(line, len, reason, reason_len);
    len = append_byte(line, len, '\n');
    print_bytes(line, len);
    print("[Cindervox] Not starting. Run sandbox-server --check to see what this host lacks.\n");
    sys_exit_group(1);
}

static i64 describe_jail_failure(const JailSetup& setup, char* reason)
{
    i64 len = append_text(reason, 0, setup.failed_step);
    len = append_byte(reason, len, ' ');
    len = append_text(reason, len, setup.failed_target);
    len = append_text(reason, len, " failed: ");
    return append_error_name(reason, len, setup.error);
}

static void prepare_kernel_isolation()
{
    char reason[k_reason_max];
    JailSetup setup = prepare_jail(true);
    if (setup.failed_step != nullptr)
        refuse_kernel_mode(reason, describe_jail_failure(setup, reason));
    SelfTest test = run_self_test();
    if (!test.passed)
        refuse_kernel_mode(reason, describe_self_test(test, reason));
}

// Basic isolation with each run in namespaces of its own (user, PID, mount, network, IPC)
// and the same jail as kernel mode, where the kernel lets an ordinary user make them and a
// test run passes; otherwise basic isolation as before, said on the console.
static void prepare_rootless_namespaces()
{
    char reason[k_reason_max];
    i64 len = 0;
    JailSetup setup = prepare_jail(false);
    if (setup.mode == k_jail_rootless) {
        SelfTest test = run_self_test();
        if (test.passed) {
            state.namespaces = 1;
            print("[Cindervox] Rootless namespaces ACTIVE (user + pid + mount + net + ipc, jail)\n");
            return;
        }
        jail.mode = k_jail_none;
        len = describe_self_test(test, reason);
    } else {
        len = describe_jail_failure(setup, reason);
    }
    char line[k_refusal_line_max];
    i64 pos = append_text(line, 0, "[Cindervox] Rootless namespaces unavailable, commands share the server's view: ");
    pos = append_bytes(line, pos, reason, len);
    pos = append_byte(line, pos, '\n');
    print_bytes(line, pos);
}

// Probed before the jail's self-test, which enters the domain as every run does.
static void probe_landlock()
{
    char line[96];
    i64 abi = landlock_probe();
    i64 len = append_text(line, 0, "[Cindervox] Landlock ");
    if (abi > 0) {
        len = append_text(line, len, "ABI ");
        len = append_decimal(line, len, abi);
        len = append_text(line, len, abi >= k_landlock_abi_scopes ? " ACTIVE (files, signal and socket scopes)\n" : " ACTIVE (files)\n");
    } else {
        len = append_text(line, len, "unavailable on this kernel\n");
    }
    print_bytes(line, len);
}

// Kernel isolation runs agents under uids of their own on the host; another server or
// process under them would share their process limit, so the server stops instead.
static void claim_agent_uid_range()
{
    u32 first = (u32)state.uid_base;
    AgentUidClaim claim = claim_agent_uids(first, (u32)agent_uid_count());
    if (claim.outcome == k_agent_uids_claimed)
        return;
    char line[k_agent_uid_refusal_max];
    print_bytes(line, build_agent_uid_refusal(line, claim, first, (u32)agent_uid_count()));
    sys_exit_group(1);
}

// The seccomp listener is probed before the self-test too, which starts its run with one
// where the kernel offers it, as every run then does.
static void decide_isolation()
{
    probe_landlock();
    seccomp_notice_probe();
    if (sys_getuid() == 0) {
        state.kernel_isolation = 1;
        state.namespaces = 1;
        claim_agent_uid_range();
        prepare_kernel_isolation();
        print("[Cindervox] Kernel isolation ACTIVE (ns + chroot + rlimits)\n");
        if (!run_cgroups_available())
            print("[Cindervox] No cgroup memory and pids controllers: per-process limits only\n");
        else
            agent_cgroups_sweep();
        return;
    }
    state.kernel_isolation = 0;
    print("[Cindervox] WARNING: Running as non-root. Using basic isolation (blacklist + rlimits).\n");
    prepare_rootless_namespaces();
    print("[Cindervox] No cgroup controller delegated: per-process memory limits only\n");
}

// A banner or listening line with the port's decimal text in place of "7575".
static void print_with_port(const char* before, const char* after)
{
    char line[160];
    i64 len = append_text(line, 0, before);
    len = append_decimal(line, len, state.port);
    len = append_text(line, len, after);
    print_bytes(line, len);
}

// "║  Layers: ns jail rlimits landlock seccomp    ║", padded to the box's width.
static constexpr i64 k_banner_inner_width = 46;
static void print_layers_line()
{
    ConfinementLayers layers = confinement_layers(jail.mode, landlock_abi());
    char line[k_banner_inner_width + 16];
    i64 len = append_text(line, 0, "║  Layers:");
    i64 width = 9;
    for (i64 i = 0; i < layers.count; i++) {
        const char* name = bytes_equal(layers.names[i], "namespaces", 11) ? "ns" : layers.names[i];
        len = append_byte(line, len, ' ');
        len = append_text(line, len, name);
        width += 1 + text_length(name);
    }
    for (; width < k_banner_inner_width; width++)
        len = append_byte(line, len, ' ');
    len = append_text(line, len, "║\n");
    print_bytes(line, len);
}

// Without user namespaces and without Landlock nothing keeps a command from the server's
// files; runs are refused unless the configuration accepts that.
static void warn_if_unconfined()
{
    if (jail.mode != k_jail_none || landlock_abi() > 0)
        return;
    if (state.allow_unconfined == 1)
        print("[Cindervox] WARNING: allow_unconfined=yes: commands run without namespaces or Landlock, beside the server's files\n");
    else
        print("[Cindervox] WARNING: commands cannot be confined on this host (no user namespaces, no Landlock): /api/exec answers 503\n");
}

static void print_banner()
{
    print("╔══════════════════════════════════════════════╗\n");
    print("║  Cindervox v" CINDERVOX_VERSION " — AI Agent Sandbox        ║\n");
    print_with_port("║  Port: ", "  Auth: Basic + Bearer            ║\n");
    if (state.kernel_isolation == 1)
        print("║  Isolation: KERNEL (ns + chroot + rlimits)   ║\n");
    else if (state.namespaces == 1)
        print("║  Isolation: BASIC + rootless namespaces       ║\n");
    else
        print("║  Isolation: BASIC (blacklist + rlimits)       ║\n");
    print_layers_line();
    print("║  TLS: use nginx/caddy reverse proxy          ║\n");
    print("║  Binary: ~186KB  Dependencies: 0             ║\n");
    print("╚══════════════════════════════════════════════╝\n");
}

struct Listener {
    int listen_fd;
    int epoll_fd;
};

// Handshakes the kernel completes for the server before it accepts them. Past it the
// kernel drops new handshakes, whoever sends them, and a client retries a dropped one only
// after a second; so the queue holds bursts of thousands (one peer reopening hundreds of
// connections at once), each accepted in microseconds. The kernel caps it at
// net.core.somaxconn.
static constexpr int k_listen_backlog = 4096;

// A server that cannot listen would serve nothing while looking alive to its supervisor:
// a failed socket or bind ends start-up with status 1.
static Listener open_listener()
{
    TcpListener listener = open_tcp_listener(state.port, k_listen_backlog);
    if (listener.failed == k_listen_socket_failed)
        print("[ERROR] socket() failed\n");
    if (listener.failed == k_listen_bind_failed)
        print("[ERROR] bind() failed\n");
    if (listener.failed != k_listen_ready) {
        print_with_port("[ERROR] Cannot listen on port ", "; is another program using it? Exiting.\n");
        sys_exit_group(1);
    }
    i64 epoll_fd = sys_epoll_create1(EPOLL_CLOEXEC);
    epoll_event_k event { EPOLLIN, (u64)listener.fd };
    sys_epoll_ctl((int)epoll_fd, EPOLL_CTL_ADD, (int)listener.fd, &event);
    return { (int)listener.fd, (int)epoll_fd };
}

// Sockets are written with MSG_NOSIGNAL, but console lines and audit entries may go to a
// pipe on standard output whose reader has gone; that must not end the server either.
// Commands get the default back before they start (exec/confinement.cpp).
static void ignore_broken_pipes()
{
    sigaction_k ignore { SIG_IGN_HANDLER, 0, nullptr, 0 };
    sys_rt_sigaction(SIGPIPE, &ignore, nullptr);
}

// The soft descriptor limit goes up to the hard one before anything is opened: rootless,
// the jail holds one descriptor per agent uid (a thousand and more), where a service's soft
// limit is often 1024. The connection table is sized from what is left (server/connection_loop.h).
static void raise_descriptor_limit()
{
    rlimit_k files {};
    if (sys_prlimit64(0, RLIMIT_NOFILE, nullptr, &files) < 0 || files.cur >= files.max)
        return;
    files.cur = files.max;
    sys_prlimit64(0, RLIMIT_NOFILE, &files, nullptr);
}

static void write_stderr(const char* text) { write_all(2, text, text_length(text)); }

// --version, --help and refused arguments end here; --check ends after its probes.
static void follow_command_line(const CommandLine& line)
{
    switch (line.action) {
    case k_action_serve: return;
    case k_action_version: print("sandbox-server " CINDERVOX_VERSION "\n"); sys_exit_group(0);
    case k_action_help: print(k_usage_text); sys_exit_group(0);
    case k_action_check: sys_exit_group(run_preflight());
    case k_action_refused: break;
    }
    write_stderr("sandbox-server: ");
    write_stderr(line.error);
    if (line.argument != nullptr) {
        write_stderr(": ");
        write_stderr(line.argument);
    }
    write_stderr("\n");
    write_stderr(k_usage_text);
    sys_exit_group(2);
}

extern "C" [[noreturn, gnu::used, gnu::externally_visible]] void program_main(int argc, char** argv)
{
    CommandLine command_line = parse_command_line(argc, argv);
    state_init_defaults();
    heap_init();
    ignore_broken_pipes();
    raise_descriptor_limit();
    follow_command_line(command_line);
    state.start_time = now_seconds();
    load_host_memory();
    load_early_config();
    decide_isolation();
    audit_init();
    registry_init();
    agent_tables_init();
    install_default_blacklist();
    install_default_whitelist();
    apply_profile(0);
    load_policy_at_startup();
    i64 port = load_config();
    if (port > 0)
        state.port = port;
    // The command line overrides the configuration file.
    if (command_line.port > 0)
        state.port = command_line.port;
    load_bearer_token();
    load_agent_tokens();
    warn_if_unconfined();
    print_banner();
    hold_stop_signals();
    Listener listener = open_listener();
    print_with_port("[Cindervox] Listening on port ", "...\n");
    print_with_port("[Cindervox] Dashboard: http://localhost:", "/\n");
    print_with_port("[Cindervox] API: POST http://localhost:", "/api/exec\n");
    connection_loop(listener.listen_fd, listener.epoll_fd);
}
