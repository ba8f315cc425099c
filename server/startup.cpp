// Start-up of sandbox-server, in its fixed order: heap, clock, isolation decision and
// jail, audit destination, agent tables, policy, configuration, banner, socket, loop.
// No failure stops start-up.
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/config.h"
#include "core/state.h"
#include "core/version.h"
#include "exec/jail.h"
#include "policy/policy_file.h"
#include "policy/rules.h"
#include "runtime/console.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/listener.h"
#include "runtime/syscall.h"
#include "runtime/text.h"
#include "server/connection_loop.h"

static void decide_isolation()
{
    if (sys_getuid() == 0) {
        prepare_jail();
        state.kernel_isolation = 1;
        print("[Cindervox] Kernel isolation ACTIVE (ns + chroot + rlimits)\n");
        return;
    }
    state.kernel_isolation = 0;
    print("[Cindervox] WARNING: Running as non-root. Using basic isolation (blacklist + rlimits).\n");
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

static void print_banner()
{
    print("╔══════════════════════════════════════════════╗\n");
    print("║  Cindervox v" CINDERVOX_VERSION " — AI Agent Sandbox        ║\n");
    print_with_port("║  Port: ", "  Auth: Basic + Bearer            ║\n");
    if (state.kernel_isolation == 1)
        print("║  Isolation: KERNEL (ns + chroot + rlimits)   ║\n");
    else
        print("║  Isolation: BASIC (blacklist + rlimits)       ║\n");
    print("║  TLS: use nginx/caddy reverse proxy          ║\n");
    print("║  Binary: ~186KB  Dependencies: 0             ║\n");
    print("╚══════════════════════════════════════════════╝\n");
}

struct Listener {
    int listen_fd;
    int epoll_fd;
};

// A failed socket or bind is reported and start-up goes on into the loop, which then
// simply never sees a connection.
static Listener open_listener()
{
    TcpListener listener = open_tcp_listener(state.port, 128);
    if (listener.failed == k_listen_socket_failed)
        print("[ERROR] socket() failed\n");
    if (listener.failed == k_listen_bind_failed)
        print("[ERROR] bind() failed\n");
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

extern "C" [[noreturn]] void program_main()
{
    state_init_defaults();
    heap_init();
    ignore_broken_pipes();
    state.start_time = now_seconds();
    decide_isolation();
    audit_init();
    registry_init();
    install_default_blacklist();
    install_default_whitelist();
    apply_profile(0);
    load_policy_at_startup();
    i64 port = load_config();
    if (port > 0)
        state.port = port;
    load_bearer_token();
    print_banner();
    Listener listener = open_listener();
    print_with_port("[Cindervox] Listening on port ", "...\n");
    print_with_port("[Cindervox] Dashboard: http://localhost:", "/\n");
    print_with_port("[Cindervox] API: POST http://localhost:", "/api/exec\n");
    connection_loop(listener.listen_fd, listener.epoll_fd);
}
