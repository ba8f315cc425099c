// Each connection moves reading -> writing -> draining -> closed, one step per event, and
// nothing waits on a single peer: a read or write that would block leaves the connection
// for its next event. After every wait the deadlines are swept, so the wait is bounded by
// the earliest of them.
//
// After the answer the sending side is shut and what the peer still sends is read and
// dropped until it closes: closing a socket with unread input resets the connection, and
// the reset would throw away the part of the answer still on its way.
#include "fleet/fleet_loop.h"
#include "fleet/fleet_auth.h"
#include "fleet/fleet_config.h"
#include "runtime/io.h"
#include "runtime/syscall.h"

// The listening socket's epoll token; slots use their index.
constexpr u64 k_listener_token = k_fleet_connection_slots;
constexpr int k_events_per_wait = k_fleet_connection_slots + 1;

bool fleet_loop_open(FleetLoop* loop, int listen_fd, FleetAnswers answers)
{
    *loop = { listen_fd, -1, nullptr, nullptr, answers };
    i64 flags = sys_fcntl(listen_fd, F_GETFL, 0);
    if (flags < 0 || sys_fcntl(listen_fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    i64 epoll_fd = sys_epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0)
        return false;
    loop->epoll_fd = (int)epoll_fd;
    epoll_event_k ev { EPOLLIN, k_listener_token };
    if (sys_epoll_ctl(loop->epoll_fd, EPOLL_CTL_ADD, listen_fd, &ev) < 0)
        return false;
    loop->slots = (FleetConnection*)heap_alloc(k_fleet_connection_slots * sizeof(FleetConnection));
    loop->arenas = (HeapArena*)heap_alloc(k_fleet_connection_slots * sizeof(HeapArena));
    return loop->slots && loop->arenas
        && arenas_reserve(loop->arenas, k_fleet_connection_slots, k_fleet_request_buffer);
}

static void connection_close(FleetLoop* loop, i64 slot)
{
    sys_close(loop->slots[slot].fd);
    arena_reset(&loop->arenas[slot]);
    loop->slots[slot] = {};
}

static void watch(FleetLoop* loop, i64 slot, unsigned events)
{
    epoll_event_k ev { events, (u64)slot };
    sys_epoll_ctl(loop->epoll_fd, EPOLL_CTL_MOD, loop->slots[slot].fd, &ev);
}

static void accept_one(FleetLoop* loop, int fd, i64 now_ms)
{
    i64 slot = fleet_slot_for_new(loop->slots, k_fleet_connection_slots);
    if (loop->slots[slot].phase != FleetPhase::idle)
        connection_close(loop, slot);
    epoll_event_k ev { EPOLLIN, (u64)slot };
    if (sys_epoll_ctl(loop->epoll_fd, EPOLL_CTL_ADD, fd, &ev) < 0) {
        sys_close(fd);
        return;
    }
    FleetConnection* c = &loop->slots[slot];
    *c = { fd, FleetPhase::reading, now_ms, now_ms, nullptr, 0, {}, 0 };
    c->request = (char*)arena_alloc(&loop->arenas[slot], k_fleet_request_buffer);
}

// Takes what the accept queue holds, at most a table's worth per event so that the peers
// already in the table get their turn.
static void accept_connections(FleetLoop* loop, i64 now_ms)
{
    for (i64 n = 0; n < k_fleet_connection_slots; n++) {
        i64 fd = sys_accept4(loop->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd == -EAGAIN)
            return;
        if (fd >= 0)
            accept_one(loop, (int)fd, now_ms);
    }
}

// One send of what is left of the answer; MSG_NOSIGNAL: a peer that already closed must
// not end the process.
static i64 send_some(const FleetConnection& c)
{
    iovec_k iov { c.answer.ptr + c.answer_sent, (u64)(c.answer.len - c.answer_sent) };
    msghdr_k msg {};
    msg.iov = &iov;
    msg.iovlen = 1;
    return sys_sendmsg(c.fd, &msg, MSG_NOSIGNAL);
}

static void connection_write(FleetLoop* loop, i64 slot, i64 now_ms)
{
    FleetConnection* c = &loop->slots[slot];
    i64 sent = send_some(*c);
    if (sent == -EAGAIN || sent == -EINTR)
        return;
    if (sent <= 0)
        return connection_close(loop, slot);
    c->answer_sent += sent;
    c->progress_ms = now_ms;
    if (c->answer_sent < c->answer.len)
        return;
    sys_shutdown(c->fd, SHUT_WR);
    c->phase = FleetPhase::draining;
    watch(loop, slot, EPOLLIN);
}

static ByteSpan choose_answer(const FleetLoop* loop, const FleetConnection& c, FleetFrame frame)
{
    if (frame.framing == FleetFraming::too_large)
        return loop->answers.too_large;
    ByteSpan login { fleet_config.login, fleet_config.login_len };
    return fleet_request_authorized(c.request, frame.block_len, login) ? loop->answers.page : loop->answers.refusal;
}

// Reads more of the request; once its header block is complete (or cannot fit) the
// answer is chosen and its first part sent at once.
static void connection_read(FleetLoop* loop, i64 slot, i64 now_ms)
{
    FleetConnection* c = &loop->slots[slot];
    i64 examined_len = c->request_len;
    i64 got = sys_read(c->fd, c->request + examined_len, k_fleet_request_max - examined_len);
    if (got == -EAGAIN || got == -EINTR)
        return;
    // A peer that ends or fails before its header block is complete gets no answer.
    if (got <= 0)
        return connection_close(loop, slot);
    c->request_len += got;
    c->progress_ms = now_ms;
    FleetFrame frame = fleet_frame_request(c->request, c->request_len, examined_len, k_fleet_request_max);
    if (frame.framing == FleetFraming::incomplete)
        return;
    c->answer = choose_answer(loop, *c, frame);
    c->phase = FleetPhase::writing;
    connection_write(loop, slot, now_ms);
    if (c->phase == FleetPhase::writing)
        watch(loop, slot, EPOLLOUT);
}

// Reads and drops what the peer sends after its answer until it closes.
static void connection_drain(FleetLoop* loop, i64 slot, i64 now_ms)
{
    FleetConnection* c = &loop->slots[slot];
    i64 got = sys_read(c->fd, c->request, k_fleet_request_buffer);
    if (got == -EAGAIN || got == -EINTR)
        return;
    if (got <= 0)
        return connection_close(loop, slot);
    c->progress_ms = now_ms;
}

static void connection_step(FleetLoop* loop, i64 slot, i64 now_ms)
{
    switch (loop->slots[slot].phase) {
    case FleetPhase::idle: return;
    case FleetPhase::reading: return connection_read(loop, slot, now_ms);
    case FleetPhase::writing: return connection_write(loop, slot, now_ms);
    case FleetPhase::draining: return connection_drain(loop, slot, now_ms);
    }
}

static void close_expired(FleetLoop* loop, i64 now_ms)
{
    for (i64 i = 0; i < k_fleet_connection_slots; i++)
        if (loop->slots[i].phase != FleetPhase::idle && fleet_connection_deadline_ms(loop->slots[i]) <= now_ms)
            connection_close(loop, i);
}

// An event may name a slot that an accept earlier in the same batch has given to a new
// peer; its step then finds nothing to read and returns, which is harmless.
[[noreturn]] void fleet_loop_run(FleetLoop* loop)
{
    epoll_event_k events[k_events_per_wait];
    for (;;) {
        int wait_ms = fleet_wait_ms(loop->slots, k_fleet_connection_slots, monotonic_ms());
        i64 ready = sys_epoll_wait(loop->epoll_fd, events, k_events_per_wait, wait_ms);
        i64 now_ms = monotonic_ms();
        for (i64 i = 0; i < ready; i++) {
            u64 token = events[i].data;
            if (token == k_listener_token)
                accept_connections(loop, now_ms);
            else if (token < (u64)k_fleet_connection_slots)
                connection_step(loop, (i64)token, now_ms);
        }
        close_expired(loop, now_ms);
    }
}
