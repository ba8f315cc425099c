// Start-up and serving of fleet-dashboard. Both answers are built before the socket
// exists; serving is then accept, one read, the credential check, one prebuilt answer,
// close, one connection at a time.
//
// The listening socket's time-outs (runtime/listener.h) bound how long one peer can hold
// the single thread; answers go out with MSG_NOSIGNAL, so a peer that already closed
// cannot end the process.
#include "fleet/fleet_auth.h"
#include "fleet/fleet_config.h"
#include "fleet/fleet_page.h"
#include "fleet/fleet_response.h"
#include "runtime/console.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/listener.h"
#include "runtime/syscall.h"

constexpr i64 k_fleet_request_buffer = 4096;
constexpr i64 k_fleet_request_max = k_fleet_request_buffer - 1;
constexpr int k_fleet_backlog = 16;

static constexpr char k_banner[] = "========================================\n"
                                   "  Cindervox Fleet Dashboard\n"
                                   "  No libc. No dependencies.\n"
                                   "========================================\n";

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

[[noreturn]] static void serve(int listen_fd, Answer page, Answer refusal)
{
    char* req = (char*)heap_alloc(k_fleet_request_buffer);
    for (;;) {
        i64 conn = sys_accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0)
            continue;
        i64 len = read_retry((int)conn, req, k_fleet_request_max);
        if (len > 0) {
            const Answer& answer = fleet_request_authorized(req, len) ? page : refusal;
            send_bytes((int)conn, answer.bytes, answer.len);
        }
        sys_close((int)conn);
    }
}

extern "C" [[noreturn]] void program_main(int, char**)
{
    heap_init();
    print(k_banner);
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
        sys_exit_group(0);
    print("Cindervox Fleet Dashboard on http://localhost:\n");
    print_decimal_line(fleet_config.port);
    print("Login: admin / wickerpod\n");
    serve((int)listen_fd, { response, response_len }, { refusal, refusal_len });
}
