// The one epoll set of sandbox-server. Every descriptor the server waits on (the listening
// socket, each connection, each run's pidfd and output pipe) is registered with a Watch:
// the function that handles its events and the record it belongs to. Nothing here blocks
// except the wait itself.
#pragma once
#include "runtime/types.h"

struct Watch {
    void (*handle)(void* owner, u32 events);
    void* owner;
};

// Takes over an epoll set made at start-up.
void event_loop_adopt(int epoll_fd);

// Registers fd for events (EPOLLIN, EPOLLOUT ...) with watch, or changes its events.
// Return what epoll_ctl returned.
i64 watch_fd(int fd, u32 events, Watch* watch);
i64 rewatch_fd(int fd, u32 events, Watch* watch);
// Removes fd before it is closed (a closed descriptor leaves the set by itself, but only
// once no copy of it is open anywhere).
void unwatch_fd(int fd);

// Waits at most timeout_ms for events and hands each to its watch. Returns the number of
// events handled.
i64 event_loop_wait(i64 timeout_ms);
