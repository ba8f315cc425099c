// Accepted sockets inherit the listening socket's receive and send time-outs (set at
// start-up), so a peer that goes silent inside its request or never reads its answer is
// dropped after about two seconds.
#include "server/connection_loop.h"
#include "core/http_response.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "server/request_framing.h"
#include "server/router.h"

// Reads until the request is framed; answers 431 or 413 itself. Returns the request's
// length, or 0 when there is nothing to route.
static i64 read_request(int conn, char* buf)
{
    i64 len = 0;
    for (;;) {
        i64 n = read_retry(conn, buf + len, k_request_buffer - 1 - len);
        if (n <= 0)
            return 0;
        len += n;
        Frame frame = frame_request(buf, len);
        switch (frame.state) {
        case k_frame_incomplete: continue;
        case k_frame_header_too_large: send_json_error(conn, 431, "Request Header Fields Too Large", "request header block too large"); return 0;
        case k_frame_body_too_large: send_json_error(conn, 413, "Content Too Large", "request body too large"); return 0;
        case k_frame_complete: buf[frame.total] = 0; return frame.total;
        }
    }
}

void connection_loop(int listen_fd, int epoll_fd)
{
    for (;;) {
        epoll_event_k event {};
        if (sys_epoll_wait(epoll_fd, &event, 1, 1000) <= 0 || (i64)event.data < 1)
            continue;
        i64 conn = sys_accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn <= 0)
            continue;
        char* mark = heap_mark();
        char* req = (char*)heap_alloc(k_request_buffer);
        i64 len = read_request((int)conn, req);
        if (len > 0)
            route_request((int)conn, req, len);
        sys_close((int)conn);
        heap_release(mark);
    }
}
