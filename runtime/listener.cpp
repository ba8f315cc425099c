#include "runtime/listener.h"
#include "runtime/syscall.h"

static constexpr timeval_k k_io_timeout { 2, 0 };

TcpListener open_tcp_listener(i64 port, int backlog)
{
    i64 fd = sys_socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return { fd, k_listen_socket_failed };
    int one = 1;
    sys_setsockopt((int)fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sys_setsockopt((int)fd, SOL_SOCKET, SO_RCVTIMEO, &k_io_timeout, sizeof(k_io_timeout));
    sys_setsockopt((int)fd, SOL_SOCKET, SO_SNDTIMEO, &k_io_timeout, sizeof(k_io_timeout));
    // The port goes high byte first; the address stays 0.0.0.0.
    sockaddr_in_k addr {};
    addr.family = AF_INET;
    addr.port[0] = (u8)(port / 256);
    addr.port[1] = (u8)(port % 256);
    if (sys_bind((int)fd, &addr, sizeof(addr)) < 0)
        return { fd, k_listen_bind_failed };
    sys_listen((int)fd, backlog);
    return { fd, k_listen_ready };
}
