// Start-up and serving of fleet-dashboard. The sandbox table comes from the fleet file
// when it names any sandbox; both answers are built before the socket exists; serving is
// then accept, one read, the credential check, one prebuilt answer, close, one
// connection at a time. A port that cannot be had ends the program with status 1: a
// service manager must see that it is not serving.
//
// The listening socket's time-outs (runtime/listener.h) bound how long one peer can hold
// the single thread; answers go out with MSG_NOSIGNAL, so a peer that already closed
// cannot end the process.
#include "fleet/fleet_auth.h"
#include "fleet/fleet_config.h"
#include "fleet/fleet_file.h"
#include "fleet/fleet_page.h"
#include "fleet/fleet_response.h"
#include "runtime/console.h"
#include "runtime/error_text.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/listener.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

constexpr i64 k_fleet_request_buffer = 4096;
constexpr i64 k_fleet_request_max = k_fleet_request_buffer - 1;
constexpr int k_fleet_backlog = 16;

static constexpr char k_banner[] = "========================================\n"
                                   "  Cindervox Fleet Dashboard\n"
                                   "  No libc. No dependencies.\n"
                                   "========================================\n";

constexpr int k_exit_no_listener = 1;

struct Answer {
    const char* bytes;
    i64 len;
};

// The listening socket, or -1 after its failure message has been printed.
static i64 open_listener(i64 port)
{
    TcpListener listener = open_tcp_listener(port, k_fleet_backlog);
    if (listener.failed == k_listen_socket_failed) {
        print("ERROR: socket() failed\n");
        return -1;
    }
    if (listener.failed == k_listen_bind_failed) {
        print("ERROR: bind() failed on port \n");
        print_decimal_line(port);
        return -1;
    }
    return listener.fd;
}

static constexpr char k_default_login_warning[] =
    "[Fleet] WARNING: no login line in /etc/cindervox/fleet; using the default login admin:wickerpod\n";

// Reads the fleet file, if there is one, into the sandbox table and the login and says what
// came of it.
static void read_fleet_file()
{
    char* text = (char*)heap_alloc(k_fleet_file_max + 1);
    i64 len = read_small_file(k_fleet_file_path, text, k_fleet_file_max);
    if (len == -ENOENT)
        return;
    if (len < 0) {
        char line[96];
        i64 pos = append_text(line, 0, "Fleet file /etc/cindervox/fleet cannot be read (");
        pos = append_error_name(line, pos, len);
        pos = append_text(line, pos, "); watching the built-in ones\n");
        print_bytes(line, pos);
        return;
    }
    FleetEntryText* texts = (FleetEntryText*)heap_alloc(k_fleet_sandbox_slots * sizeof(FleetEntryText));
    FleetFileOutcome outcome = apply_fleet_file_text(text, len, texts, &fleet_config);
    for (i64 i = 0; i < outcome.skipped_count && i < k_fleet_skipped_named; i++) {
        print("Fleet file: line skipped (want: name url [user:password]):\n");
        print_decimal_line(outcome.skipped_lines[i]);
    }
    if (outcome.beyond_slots > 0) {
        print("Fleet file: sandboxes beyond the table ignored:\n");
        print_decimal_line(outcome.beyond_slots);
    }
    if (outcome.entries == 0) {
        print("Fleet file names no sandbox; watching the built-in ones\n");
        return;
    }
    print("Fleet sandboxes from /etc/cindervox/fleet:\n");
    print_decimal_line(outcome.entries);
}

// Reads the fleet file, if there is one, into the sandbox table and the login, and warns
// when the default login stays in force.
static void load_fleet_file()
{
    read_fleet_file();
    if (fleet_config.login_configured)
        print("[Fleet] Login from /etc/cindervox/fleet\n");
    else
        print(k_default_login_warning);
}

[[noreturn]] static void serve(int listen_fd, Answer page, Answer refusal)
{
    char* req = (char*)heap_alloc(k_fleet_request_buffer);
    for (;;) {
        i64 conn = sys_accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0)
            continue;
        i64 len = read_retry((int)conn, req, k_fleet_request_max);
        if (len > 0) {
            ByteSpan login { fleet_config.login, fleet_config.login_len };
            const Answer& answer = fleet_request_authorized(req, len, login) ? page : refusal;
            send_bytes((int)conn, answer.bytes, answer.len);
        }
        sys_close((int)conn);
    }
}

extern "C" [[noreturn]] void program_main(int, char**)
{
    heap_init();
    print(k_banner);
    load_fleet_file();
    char* page = (char*)heap_alloc(k_fleet_page_buffer);
    i64 page_len = build_fleet_page(page);
    char* response = (char*)heap_alloc(k_fleet_response_buffer);
    i64 response_len = build_fleet_response(response, page, page_len);
    print("HTML page built:\n");
    print_decimal_line(response_len);
    char* refusal = (char*)heap_alloc(k_fleet_refusal_buffer);
    i64 refusal_len = build_fleet_refusal(refusal);
    i64 listen_fd = open_listener(fleet_config.port);
    if (listen_fd < 0)
        sys_exit_group(k_exit_no_listener);
    print("Cindervox Fleet Dashboard on http://localhost:\n");
    print_decimal_line(fleet_config.port);
    print(fleet_config.login_configured ? "Login: from /etc/cindervox/fleet\n" : "Login: admin / wickerpod\n");
    serve((int)listen_fd, { response, response_len }, { refusal, refusal_len });
}
