// The connection loop: one request per connection.
#pragma once
#include "runtime/types.h"

[[noreturn]] void connection_loop(int listen_fd, int epoll_fd);
