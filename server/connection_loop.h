// The connection loop: every connection in progress at once, one request per connection.
#pragma once
#include "runtime/types.h"

// Takes over the listening socket and the epoll set start-up made (the socket already
// registered) and serves forever.
[[noreturn]] void connection_loop(int listen_fd, int epoll_fd);
