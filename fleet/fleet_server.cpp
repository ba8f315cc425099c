// Start-up and serving of fleet-dashboard. Both answers are built before the socket
// exists; serving is then accept, one read, the credential check, one prebuilt answer,
// close, one connection at a time.
//
// The listening socket's two-second receive and send time-outs are inherited by every
// accepted socket, so a peer that sends nothing or never reads cannot hold the single
// thread for longer than that. Answers go out with MSG_NOSIGNAL: a peer that already
// closed must not end the process.
#include "fleet/fleet_auth.h"
#include "fleet/fleet_config.h"
#include "fleet/fleet_page.h"
#include "fleet/fleet_response.h"
#include "runtime/console.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"

constexpr i64 k_fleet_request_buffer = 4096;
constexpr i64 k_fleet_request_max = k_fleet_request_buffer - 1;
constexpr int k_fleet_backlog = 16;

static constexpr char k_banner[] =
    "========================================\n"
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
    i64 fd = sys_socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        print("ERROR: socket() failed\n");
        return -1;
    }
    int one = 1;
    sys_setsockopt((int)fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    timeval_k io_timeout { 2, 0 };
    sys_setsockopt((int)fd, SOL_SOCKET, SO_RCVTIMEO, &io_timeout, sizeof(io_timeout));
    sys_setsockopt((int)fd, SOL_SOCKET, SO_SNDTIMEO, &io_timeout, sizeof(io_timeout));
    sockaddr_in_k addr {};
    addr.family = AF_INET;
    addr.port[0] = (u8)(port / 256);
    addr.port[1] = (u8)(port % 256);
    if (sys_bind((int)fd, &addr, sizeof(addr)) < 0) {
        print("ERROR: bind() failed on port \n");
        print_decimal_line(port);
        return -1;
    }
    sys_listen((int)fd, k_fleet_backlog);
    return fd;
}

static void send_answer(int conn, Answer answer)
{
    iovec_k iov { answer.bytes, (u64)answer.len };
    send_all(conn, &iov, 1);
}

static i64 read_request(int conn, char* buf)
{
    for (;;) {
        i64 n = sys_read(conn, buf, k_fleet_request_max);
        if (n != -EINTR)
            return n;
    }
}

[[noreturn]] static void serve(int listen_fd, Answer page, Answer refusal)
{
    char* req = (char*)heap_alloc(k_fleet_request_buffer);
    for (;;) {
        i64 conn = sys_accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0)
            continue;
        i64 len = read_request((int)conn, req);
        if (len > 0)
            send_answer((int)conn, fleet_request_authorized(req, len) ? page : refusal);
        sys_close((int)conn);
    }
}

extern "C" [[noreturn]] void program_main()
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
