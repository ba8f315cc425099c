// Accepted sockets inherit the listening socket's receive and send time-outs (set at
// start-up), so a peer that sends nothing, stalls inside its request or never reads its
// answer is dropped after about two seconds instead of holding the single thread.
#include "server/connection_loop.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "server/router.h"

static i64 has_header_end(const char* buf, i64 len)
{
    for (i64 i = 0; i < len - 3; i++)
        if (buf[i] == '\r' && buf[i + 1] == '\n' && buf[i + 2] == '\r' && buf[i + 3] == '\n')
            return 1;
    return 0;
}

i64 read_request(int conn, char* buf)
{
    i64 len = read_retry(conn, buf, k_request_max);
    if (len <= 0)
        return 0;
    // Only a POST whose header block is still open gets a second read.
    if (buf[0] != 'P' || has_header_end(buf, len) || len >= k_request_max)
        return len;
    i64 more = read_retry(conn, buf + len, k_request_max - len);
    if (more == -EAGAIN)
        return 0;
    return more > 0 ? len + more : len;
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
