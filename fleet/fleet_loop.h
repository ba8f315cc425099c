// fleet-dashboard's connection loop: one epoll_wait over the listening socket and the
// connections of the table (fleet/fleet_connections.h), every descriptor non-blocking.
#pragma once
#include "runtime/heap.h"
#include "fleet/fleet_connections.h"

// The prebuilt answers the loop sends; each lives as long as the process.
struct FleetAnswers {
    ByteSpan page;
    ByteSpan refusal;
    ByteSpan too_large;
};

struct FleetLoop {
    int listen_fd;
    int epoll_fd;
    FleetConnection* slots;
    // One arena per slot, each one request buffer and a guard page after it.
    HeapArena* arenas;
    FleetAnswers answers;
};

// Makes the listening socket non-blocking, the epoll instance and the connection table.
// False when the kernel refuses one of them.
bool fleet_loop_open(FleetLoop* loop, int listen_fd, FleetAnswers answers);

// Serves for ever: accepts, reads each request until its header block is complete,
// answers it with the page or the refusal by the login check, and closes it; a connection
// past its deadline is closed without an answer.
[[noreturn]] void fleet_loop_run(FleetLoop* loop);
