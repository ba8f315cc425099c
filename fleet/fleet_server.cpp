// Start-up of fleet-dashboard. The sandbox table comes from the fleet file when it names
// any sandbox; the answers are built before the socket exists; serving is then the
// connection loop of fleet/fleet_loop.cpp. A port that cannot be had ends the program with
// status 1, as does a connection table the kernel refuses: a service manager must see
// that it is not serving.
#include "fleet/fleet_config.h"
#include "fleet/fleet_file.h"
#include "fleet/fleet_loop.h"
#include "fleet/fleet_page.h"
#include "fleet/fleet_response.h"
#include "runtime/console.h"
#include "runtime/error_text.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/listener.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

// The kernel's accept queue is as long as the connection table.
constexpr int k_fleet_backlog = k_fleet_connection_slots;

static constexpr char k_banner[] = "========================================\n"
                                   "  Cindervox Fleet Dashboard\n"
                                   "  No libc. No dependencies.\n"
                                   "========================================\n";

constexpr int k_exit_cannot_serve = 1;

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

extern "C" [[noreturn, gnu::used, gnu::externally_visible]] void program_main(int, char**)
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
        sys_exit_group(k_exit_cannot_serve);
    FleetLoop loop;
    FleetAnswers answers { { response, response_len }, { refusal, refusal_len }, { k_fleet_too_large, k_fleet_too_large_len } };
    if (!fleet_loop_open(&loop, (int)listen_fd, answers)) {
        print("ERROR: the connection table cannot be made\n");
        sys_exit_group(k_exit_cannot_serve);
    }
    print("Cindervox Fleet Dashboard on http://localhost:\n");
    print_decimal_line(fleet_config.port);
    print(fleet_config.login_configured ? "Login: from /etc/cindervox/fleet\n" : "Login: admin / wickerpod\n");
    fleet_loop_run(&loop);
}
