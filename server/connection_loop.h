// The connection loop: one connection at a time, one request per connection.
#pragma once
#include "runtime/types.h"

constexpr i64 k_request_buffer = 8192;
constexpr i64 k_request_max = 8191;

[[noreturn]] void connection_loop(int listen_fd, int epoll_fd);

// Reads one request into buf (at most k_request_max bytes) with the two reads of the
// protocol; returns its length, or 0 when the peer sent nothing or stalled.
i64 read_request(int conn, char* buf);
