#include "core/event_loop.h"
#include "runtime/syscall.h"

// Events handed over per wait; more simply wait for the next round.
static constexpr int k_events_per_wait = 64;

static constinit int loop_fd = -1;

void event_loop_adopt(int epoll_fd) { loop_fd = epoll_fd; }

i64 watch_fd(int fd, u32 events, Watch* watch)
{
    epoll_event_k event { events, (u64)watch };
    return sys_epoll_ctl(loop_fd, EPOLL_CTL_ADD, fd, &event);
}

i64 rewatch_fd(int fd, u32 events, Watch* watch)
{
    epoll_event_k event { events, (u64)watch };
    return sys_epoll_ctl(loop_fd, EPOLL_CTL_MOD, fd, &event);
}

void unwatch_fd(int fd)
{
    epoll_event_k event {};
    sys_epoll_ctl(loop_fd, EPOLL_CTL_DEL, fd, &event);
}

i64 event_loop_wait(i64 timeout_ms)
{
    epoll_event_k events[k_events_per_wait];
    i64 ready = sys_epoll_wait(loop_fd, events, k_events_per_wait, (int)timeout_ms);
    for (i64 i = 0; i < ready; i++) {
        Watch* watch = (Watch*)events[i].data;
        if (watch)
            watch->handle(watch->owner, events[i].events);
    }
    return ready > 0 ? ready : 0;
}
