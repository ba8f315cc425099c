// The listening TCP socket both programs open: IPv4, all addresses, SO_REUSEADDR, and
// two-second receive and send time-outs that every accepted socket inherits, so a peer
// that sends nothing, stalls or never reads cannot hold a single-threaded server.
#pragma once
#include "runtime/types.h"

enum ListenStep : i64 { k_listen_ready, k_listen_socket_failed, k_listen_bind_failed };

struct TcpListener {
    i64 fd;
    ListenStep failed;
};

// Opens, binds and listens; on a failure returns at once with the step that failed (the
// caller prints its own message). The descriptor is close-on-exec.
TcpListener open_tcp_listener(i64 port, int backlog);
