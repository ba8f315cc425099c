// The connection loop: one thread, one epoll_wait, every socket non-blocking. A connection
// reads until its request is framed, is routed in its own arena, and then either writes its
// queued answer or waits for its command's run to end (the runner queues the answer then).
// Each phase has its own deadline, so a silent or slow peer costs the others nothing.
// A request refused before it was read whole drains only briefly, and no peer address
// holds more than its share of the table (max_connections_per_peer=), so one address that
// opens hundreds of slow connections pushes out its own, not everyone else's.
#include "server/connection_loop.h"
#include "agents/registry.h"
#include "core/config.h"
#include "core/connection_table.h"
#include "server/connection_memory.h"
#include "core/event_loop.h"
#include "core/http_status.h"
#include "core/http_response.h"
#include "core/state.h"
#include "exec/jail.h"
#include "exec/prepared_runs.h"
#include "exec/sandbox_runner.h"
#include "runtime/console.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"
#include "server/request_framing.h"
#include "server/router.h"
#include "server/shutdown.h"

// A reading peer may fall silent this long; a whole request may take at most the second.
static constexpr i64 k_read_silence_ms = 2000;
static constexpr i64 k_request_time_max_ms = 30000;
// A peer that takes none of its answer for this long is dropped.
static constexpr i64 k_write_silence_ms = 2000;
// A streamed exec's reader is never dropped for silence while its run goes (output it does
// not take waits in the run's bounded buffer, or is dropped and counted); once the run has
// ended, a reader that has taken nothing for this long is, and so is a reader of a
// background run's events at any time (it resumes from its last event's id).
static constexpr i64 k_stream_silence_ms = 30000;
// Pieces of a streamed answer written per event, so one fast reader of a chatty command
// cannot starve the other connections.
static constexpr i64 k_stream_pieces_per_event = 16;
// A request answered before it was read whole is read away this long after its answer
// went: long enough for a client that sent it at once to take the answer rather than a
// reset, too short for a slow sender to hold its record.
static constexpr i64 k_drain_max_ms = 250;
// A connection holding memory that another request needs gives it up only after this long
// without sending or taking a byte.
static constexpr i64 k_memory_idle_ms = 1000;
// Longest wait without a deadline in sight.
static constexpr i64 k_idle_wait_ms = 1000;
// The pool of prepared runs is refilled only while no request's run is going and once the
// loop has had nothing to do for this long, one run per quiet wait: requests that come in a
// burst are all served first, and a run never shares the processors with the making of the
// next ones.
static constexpr i64 k_prepare_after_quiet_ms = 2;
// Accepts per listening event, so a flood of connections cannot starve the others.
static constexpr i64 k_accepts_per_event = 64;
// Descriptors beside the connections: the listener, epoll, and per run its pidfd, the
// server's ends of its output, error and input pipes, and the child's three ends while it
// starts.
static constexpr i64 k_descriptors_per_run = 7;
static constexpr i64 k_descriptor_reserve = 16;

static constinit int listen_fd = -1;
static constinit Watch listen_watch {};

static void start_writing(Connection* c, i64 now_ms);
static void start_streaming(Connection* c, i64 now_ms);
static void make_room(i64 bytes, const Connection* spare);

// While a peer sends: the silence allowed, within the time a whole request may take.
static i64 reading_deadline(const Connection* c, i64 now_ms)
{
    i64 silence_end = now_ms + k_read_silence_ms;
    i64 request_end = c->accepted_ms + k_request_time_max_ms;
    return silence_end < request_end ? silence_end : request_end;
}

static void refuse(Connection* c, i64 status, const char* message, i64 now_ms)
{
    unwatch_fd(c->fd);
    c->answered_early = true;
    heap_enter(&c->arena);
    send_json_error(c->fd, status, reason_phrase(status), message);
    heap_leave();
    start_writing(c, now_ms);
}

// The limit follows max_file_bytes, so the answer names it.
static void refuse_body(Connection* c, i64 now_ms)
{
    char message[64];
    i64 len = append_text(message, 0, "request body too large (limit ");
    len = append_decimal(message, len, request_body_max());
    len = append_text(message, len, " bytes)");
    message[len] = 0;
    refuse(c, 413, message, now_ms);
}

// The framed request goes to the router. After it: the answer is queued, or the request's
// run will answer it, or there is nothing to say.
static void route(Connection* c, const Request& request, i64 now_ms)
{
    unwatch_fd(c->fd);
    // The handlers rely on a NUL after the request; the buffer keeps a byte for it.
    c->request[request.bytes.len] = 0;
    c->request_len = request.bytes.len;
    make_room(route_memory_of(request.method, request.path), c);
    heap_enter(&c->arena);
    route_request(c->fd, request);
    heap_leave();
    if (c->stream.next)
        return start_streaming(c, now_ms);
    if (c->answer_ready)
        return start_writing(c, now_ms);
    if (!sandbox_has_order(c->fd))
        return connection_close(c);
    c->phase = k_connection_waiting;
    c->deadline_ms = 0;
    // Only the peer's departure matters now; bytes it sends meanwhile are left unread.
    watch_fd(c->fd, EPOLLRDHUP, &c->watch);
}

// A waiting peer has gone (hang-up, or its end of the connection shut): its run is
// cancelled before the close frees the descriptor for another connection.
static void peer_left(Connection* c)
{
    sandbox_cancel(c->fd);
    connection_close(c);
}

// A client that asked whether to send its body is told to go on. The line is short and
// goes out at once; should the socket not take it whole, the client sends the body anyway
// after its own wait.
static void invite_body(Connection* c)
{
    static constexpr char k_continue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    if (c->continue_sent || !expects_continue(c->request, c->request_len, request_body_max()))
        return;
    c->continue_sent = true;
    iovec_k iov { k_continue, sizeof(k_continue) - 1 };
    msghdr_k msg {};
    msg.iov = &iov;
    msg.iovlen = 1;
    sys_sendmsg(c->fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// A request whose header block has come while its body has not is judged once by its
// header: one the router refuses whatever the body says (no valid credentials, a Host it
// does not serve) is answered now instead of after a body that may be slow to come.
static bool refused_by_head(Connection* c, const Frame& frame, i64 now_ms)
{
    if (!frame.head_read || c->head_judged)
        return false;
    c->head_judged = true;
    heap_enter(&c->arena);
    bool refused = refuse_before_body(c->fd, frame.request);
    heap_leave();
    if (!refused)
        return false;
    unwatch_fd(c->fd);
    c->answered_early = true;
    start_writing(c, now_ms);
    return true;
}

// A request whose header has been judged and whose body does not fit the first buffer
// gets a buffer of its whole size, which counts in the budget of all connections' memory:
// false (and the connection answered 503) when that budget or the arena cannot have it.
static bool buffer_whole_request(Connection* c, const Frame& frame, i64 now_ms)
{
    i64 head_len = frame.request.bytes.len;
    i64 needed = head_len + content_length_of(c->request, head_len, request_body_max()) + 1;
    if (needed <= c->request_cap)
        return true;
    char* whole = (char*)arena_alloc(&c->arena, (u64)needed);
    if (!whole) {
        unwatch_fd(c->fd);
        c->answered_early = true;
        heap_enter(&c->arena);
        send_memory_exhausted(c->fd);
        heap_leave();
        start_writing(c, now_ms);
        return false;
    }
    copy_bytes(whole, c->request, c->request_len);
    c->request = whole;
    c->request_cap = needed;
    return true;
}

static void read_request(Connection* c, i64 now_ms)
{
    for (;;) {
        i64 n = sys_read(c->fd, c->request + c->request_len, c->request_cap - 1 - c->request_len);
        if (n == -EINTR)
            continue;
        if (n == -EAGAIN)
            break;
        if (n <= 0)
            return connection_close(c);
        c->request_len += n;
        c->active_ms = now_ms;
        Frame frame = frame_request(c->request, c->request_len, request_body_max());
        switch (frame.state) {
        case k_frame_incomplete:
            if (refused_by_head(c, frame, now_ms))
                return;
            if (frame.head_read && !buffer_whole_request(c, frame, now_ms))
                return;
            invite_body(c);
            continue;
        case k_frame_complete: return route(c, frame.request, now_ms);
        case k_frame_header_too_large: return refuse(c, 431, "request header block too large", now_ms);
        case k_frame_body_too_large: return refuse_body(c, now_ms);
        case k_frame_malformed: return refuse(c, 400, "malformed request line", now_ms);
        }
    }
    c->deadline_ms = reading_deadline(c, now_ms);
}

// Sends what the peer takes now, header block and body in one call. Returns 1 when the
// whole answer has gone (or the peer has), 0 when the rest waits for room.
static i64 write_some(Connection* c)
{
    i64 total = c->out_head_len + c->out_body_len;
    while (c->out_sent < total) {
        iovec_k iov[2] {};
        u64 parts = 0;
        if (c->out_sent < c->out_head_len)
            iov[parts++] = { c->out_head + c->out_sent, (u64)(c->out_head_len - c->out_sent) };
        i64 body_from = c->out_sent > c->out_head_len ? c->out_sent - c->out_head_len : 0;
        if (body_from < c->out_body_len)
            iov[parts++] = { c->out_body + body_from, (u64)(c->out_body_len - body_from) };
        msghdr_k msg {};
        msg.iov = iov;
        msg.iovlen = parts;
        i64 sent = sys_sendmsg(c->fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == -EINTR)
            continue;
        if (sent == -EAGAIN)
            return 0;
        if (sent <= 0) {
            c->peer_gone = true;
            return 1;
        }
        c->out_sent += sent;
        c->active_ms = monotonic_ms();
    }
    return 1;
}

// The whole answer has gone. A peer still sending its request is told that nothing more
// comes and read to its end, for k_drain_max_ms at most, before the close.
static void answer_sent(Connection* c, i64 now_ms, bool watched)
{
    if (!c->answered_early)
        return connection_close(c);
    sys_shutdown(c->fd, SHUT_WR);
    c->phase = k_connection_draining;
    c->deadline_ms = now_ms + k_drain_max_ms;
    if (watched)
        rewatch_fd(c->fd, EPOLLIN, &c->watch);
    else
        watch_fd(c->fd, EPOLLIN, &c->watch);
}

static void start_writing(Connection* c, i64 now_ms)
{
    c->answer_ready = false;
    c->phase = k_connection_writing;
    c->deadline_ms = now_ms + k_write_silence_ms;
    if (write_some(c))
        return answer_sent(c, now_ms, false);
    watch_fd(c->fd, EPOLLOUT, &c->watch);
}

// ---- streamed answers ------------------------------------------------------------

// The socket is watched for the peer's departure always, and for room while the source
// has bytes the socket did not take.
static void watch_stream(Connection* c, u32 events)
{
    if (c->stream_events == events)
        return;
    if (c->stream_events == 0)
        watch_fd(c->fd, events, &c->watch);
    else
        rewatch_fd(c->fd, events, &c->watch);
    c->stream_events = events;
}

// Silence counts from the last bytes the reader took (write_some moves active_ms).
static void stream_deadline(Connection* c, i64)
{
    bool waited_for = !c->stream.ends_with_answer || c->stream_answered;
    c->deadline_ms = c->stream_blocked && waited_for ? c->active_ms + k_stream_silence_ms : 0;
}

static void close_stream_connection(Connection* c)
{
    if (c->stream_events != 0)
        unwatch_fd(c->fd);
    connection_close(c);
}

// Writes what the socket takes of the queued piece, then asks the source for more, until
// the socket is full, the source has nothing now, or the last piece has gone. Room is
// watched for while bytes wait, and when the turn ended with the source not yet asked.
static void stream_some(Connection* c, i64 now_ms)
{
    c->stream_woken = false;
    bool source_idle = false;
    for (i64 i = 0; i < k_stream_pieces_per_event && !source_idle; i++) {
        c->stream_blocked = !write_some(c);
        if (c->peer_gone) {
            sandbox_cancel(c->fd);
            return close_stream_connection(c);
        }
        if (c->stream_blocked)
            break;
        if (c->stream_over)
            return close_stream_connection(c);
        StreamPiece piece = c->stream.next(c->stream.context);
        c->stream_over = piece.last;
        c->out_body = piece.ptr;
        c->out_body_len = piece.len;
        c->out_sent = c->out_head_len;
        source_idle = piece.len == 0 && !piece.last;
    }
    watch_stream(c, source_idle ? EPOLLRDHUP : EPOLLOUT | EPOLLRDHUP);
    stream_deadline(c, now_ms);
}

static void start_streaming(Connection* c, i64 now_ms)
{
    c->answer_ready = false;
    c->phase = k_connection_streaming;
    c->out_sent = 0;
    stream_some(c, now_ms);
}

// The peer hung up or shut its end: its run is cancelled, as a waiting peer's is.
static void on_stream_event(Connection* c, u32 events, i64 now_ms)
{
    if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        sandbox_cancel(c->fd);
        return close_stream_connection(c);
    }
    if (c->active_ms < now_ms)
        c->active_ms = now_ms;
    stream_some(c, now_ms);
}

// Bytes that come while draining do not move its deadline: the drain ends k_drain_max_ms
// after the answer whatever the peer still sends.
static void drain_rest(Connection* c)
{
    for (;;) {
        i64 n = sys_read(c->fd, c->request, c->request_cap - 1);
        if (n == -EINTR)
            continue;
        if (n == -EAGAIN)
            return;
        if (n <= 0)
            return connection_close(c);
    }
}

static void on_connection_event(void* owner, u32 events)
{
    Connection* c = (Connection*)owner;
    i64 now_ms = monotonic_ms();
    if (c->phase == k_connection_streaming)
        return on_stream_event(c, events, now_ms);
    if (c->phase == k_connection_reading)
        return read_request(c, now_ms);
    if (c->phase == k_connection_draining)
        return drain_rest(c);
    if (c->phase == k_connection_waiting)
        return peer_left(c);
    if (c->phase != k_connection_writing)
        return;
    c->deadline_ms = now_ms + k_write_silence_ms;
    if (write_some(c))
        answer_sent(c, now_ms, true);
}

static void evict(Connection* c)
{
    if (c->phase == k_connection_streaming)
        return close_stream_connection(c);
    unwatch_fd(c->fd);
    connection_close(c);
}

// A connection the server cannot take is told so before it is closed: the answer is short
// and constant, and a new socket's buffer always has room for it.
static void turn_away(int fd)
{
    static constexpr char k_busy[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                                     "Retry-After: 1\r\nConnection: close\r\nContent-Length: 63\r\n\r\n"
                                     R"({"ok":false,"error":"server busy: too many connections; retry"})";
    static_assert(sizeof(R"({"ok":false,"error":"server busy: too many connections; retry"})") - 1 == 63);
    sys_write(fd, k_busy, sizeof(k_busy) - 1);
}

// While all connections' arenas together hold so much that another request's worst case
// would not fit, the connections that hold more than a fresh one's buffer and have been idle
// for k_memory_idle_ms go, idle longest first (a finished stream's reader that takes
// nothing, a stalled writer or uploader), so that one peer's unread answers cannot keep
// everyone else's requests out; a peer that is taking or sending bytes keeps its place.
// spare never goes.
static void make_room(i64 bytes, const Connection* spare)
{
    i64 fresh = heap_block(request_first_buffer_size());
    i64 idle_since = monotonic_ms() - k_memory_idle_ms;
    while (arena_budget.limit - arena_budget.used < bytes) {
        Connection* victim = connection_to_evict_for_memory(fresh, idle_since, spare);
        if (!victim)
            return;
        evict(victim);
    }
}

// A peer at its share makes room from its own connections; beyond the table's capacity a
// connection of anyone's does (connection_to_evict says which). When neither has one that
// may go (all wait for runs), the new connection is turned away with a 503.
static void admit(int fd, u32 peer, i64 now_ms)
{
    if (peer_connection_count(peer) >= state.max_connections_per_peer) {
        Connection* own = peer_connection_to_evict(peer);
        if (!own) {
            turn_away(fd);
            return (void)sys_close(fd);
        }
        evict(own);
    }
    Connection* c = connection_open(fd, peer, now_ms);
    if (!c) {
        Connection* victim = connection_to_evict();
        if (victim)
            evict(victim);
        c = connection_open(fd, peer, now_ms);
    }
    if (!c) {
        turn_away(fd);
        return (void)sys_close(fd);
    }
    c->request_cap = request_first_buffer_size();
    make_room(heap_block(c->request_cap), c);
    c->request = (char*)arena_alloc(&c->arena, (u64)c->request_cap);
    // The budget of all connections' memory is spent on runs in progress: this one cannot
    // even be read.
    if (!c->request) {
        turn_away(fd);
        return connection_close(c);
    }
    c->deadline_ms = now_ms + k_read_silence_ms;
    c->watch = { on_connection_event, c };
    watch_fd(fd, EPOLLIN, &c->watch);
}

// The listener is IPv4; the address is read as the kernel wrote it, in network order.
static u32 peer_address(const sockaddr_in_k& address, int address_len)
{
    if (address_len < (int)sizeof(address) || address.family != AF_INET)
        return 0;
    u32 peer = 0;
    copy_bytes(&peer, address.addr, sizeof(peer));
    return peer;
}

static void on_listener(void*, u32)
{
    for (i64 i = 0; i < k_accepts_per_event; i++) {
        sockaddr_in_k address {};
        int address_len = sizeof(address);
        i64 fd = sys_accept4(listen_fd, &address, &address_len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd == -EINTR)
            continue;
        if (fd < 0)
            return;
        admit((int)fd, peer_address(address, address_len), monotonic_ms());
    }
}

// A request cancelled by another (an MCP client's notifications/cancelled) has had its run
// cancelled already; its connection closes without an answer.
static void close_abandoned(Connection* c)
{
    if (c->phase == k_connection_streaming)
        return close_stream_connection(c);
    unwatch_fd(c->fd);
    connection_close(c);
}

// Answers queued by runs that ended during the last wait start on their way, abandoned
// requests close, and streams whose sources made something new or asked to be asked again
// by now go on (one waiting for room only learns whether its
// run has ended, which starts its silence deadline).
static void flush_answers(i64 now_ms)
{
    for (i64 i = 0; i < connections_capacity(); i++) {
        Connection* c = connection_at(i);
        if (c->abandoned && (c->phase == k_connection_waiting || c->phase == k_connection_streaming)) {
            close_abandoned(c);
            continue;
        }
        if (c->phase == k_connection_streaming && c->stream_wake_ms != 0 && now_ms >= c->stream_wake_ms) {
            c->stream_wake_ms = 0;
            c->stream_woken = true;
        }
        if (c->phase == k_connection_waiting && c->answer_ready) {
            unwatch_fd(c->fd);
            start_writing(c, now_ms);
        } else if (c->phase == k_connection_streaming && c->stream_woken && c->stream_blocked) {
            c->stream_woken = false;
            stream_deadline(c, now_ms);
        } else if (c->phase == k_connection_streaming && c->stream_woken) {
            stream_some(c, now_ms);
        }
    }
}

static i64 expire_connections(i64 now_ms, i64 next)
{
    for (i64 i = 0; i < connections_capacity(); i++) {
        Connection* c = connection_at(i);
        if (c->phase == k_connection_streaming && c->stream_wake_ms != 0 && c->stream_wake_ms < next)
            next = c->stream_wake_ms;
        if (c->phase == k_connection_free || c->deadline_ms == 0)
            continue;
        if (now_ms >= c->deadline_ms && c->phase == k_connection_streaming) {
            sandbox_cancel(c->fd);
            close_stream_connection(c);
        } else if (now_ms >= c->deadline_ms)
            connection_close(c);
        else if (c->deadline_ms < next)
            next = c->deadline_ms;
    }
    return next;
}

// Room for every connection and run, for the namespaces each agent slot may hold and for
// the prepared runs: the soft descriptor limit goes up to the hard one, and the table
// shrinks to what that allows.
static i64 connection_capacity()
{
    rlimit_k files {};
    sys_prlimit64(0, RLIMIT_NOFILE, nullptr, &files);
    files.cur = files.max;
    sys_prlimit64(0, RLIMIT_NOFILE, &files, nullptr);
    i64 agents = jail_descriptors_per_agent() * agent_uid_count();
    i64 room = (i64)files.cur - k_descriptor_reserve - k_descriptors_per_run * (state.max_concurrent_runs + state.max_background_runs) - agents -
        prepared_runs_descriptors();
    return state.max_connections < room ? state.max_connections : room;
}

// Every connection's arena holds the worst case of every route; the address space for all
// of them is reserved at once (pages cost memory only once written). A server that cannot
// have it does not start.
static void reserve_connections()
{
    i64 capacity = connection_capacity();
    i64 arena_size = connection_arena_size();
    i64 budget = state.connection_memory_mb << 20;
    arena_budget.limit = budget > arena_size ? budget : arena_size;
    if (connections_init(capacity, arena_size))
        return;
    char line[160];
    i64 len = append_text(line, 0, "[ERROR] cannot reserve connection memory: ");
    len = append_decimal(line, len, capacity);
    len = append_text(line, len, " connections of ");
    len = append_decimal(line, len, arena_size);
    len = append_text(line, len, " bytes (lower max_connections= or max_file_bytes=)\n");
    print_bytes(line, len);
    sys_exit_group(1);
}

// ---- orderly stop ---------------------------------------------------------------

struct StopState {
    bool stopping;
    bool killed;
    // When runs still going are killed; then when the loop ends whatever is left.
    i64 deadline_ms;
    int signal_fd;
    Watch signal_watch;
};
static constinit StopState stop {};

static void print_count_line(const char* before, i64 count, const char* one, const char* many, const char* after)
{
    char line[160];
    i64 len = append_text(line, 0, before);
    len = append_decimal(line, len, count);
    len = append_text(line, len, count == 1 ? one : many);
    len = append_text(line, len, after);
    print_bytes(line, len);
}

// No new connection is taken; requests not yet read whole are dropped, those already
// routed get their answers. Runs waiting for a slot are refused rather than started.
static void begin_stop(i64 now_ms)
{
    stop.stopping = true;
    stop.deadline_ms = now_ms + k_stop_grace_ms;
    unwatch_fd(listen_fd);
    sys_close(listen_fd);
    listen_fd = -1;
    for (i64 i = 0; i < connections_capacity(); i++) {
        Connection* c = connection_at(i);
        if (c->phase == k_connection_reading)
            connection_close(c);
    }
    sandbox_drop_queued();
    print_count_line(
        "[Cindervox] Shutting down: no new connections; waiting up to 10 s for ", sandbox_runs_in_progress(), " run", " runs", "\n");
}

static void on_stop_signal(void*, u32)
{
    if (read_stop_signal(stop.signal_fd) != 0 && !stop.stopping)
        begin_stop(monotonic_ms());
}

static bool answers_pending()
{
    for (i64 i = 0; i < connections_capacity(); i++) {
        ConnectionPhase phase = connection_at(i)->phase;
        if (phase == k_connection_waiting || phase == k_connection_writing || phase == k_connection_streaming)
            return true;
    }
    return false;
}

// Ends the server once nothing is running and every answer has gone; kills the runs that
// outlast the grace period, and gives up on what is left once their kill was answered too.
static void continue_stop(i64 now_ms)
{
    if (sandbox_runs_in_progress() == 0 && !answers_pending())
        finish_stop();
    if (now_ms < stop.deadline_ms)
        return;
    if (stop.killed)
        finish_stop();
    stop.killed = true;
    stop.deadline_ms = now_ms + k_stop_kill_wait_ms;
    print_count_line("[Cindervox] Killed ", sandbox_kill_all(), " run", " runs", " still going after 10 s\n");
}

static void watch_stop_signals()
{
    i64 fd = open_stop_signals();
    if (fd < 0)
        return;
    stop.signal_fd = (int)fd;
    stop.signal_watch = { on_stop_signal, nullptr };
    watch_fd(stop.signal_fd, EPOLLIN, &stop.signal_watch);
}

void connection_loop(int listener, int epoll_fd)
{
    listen_fd = listener;
    event_loop_adopt(epoll_fd);
    reserve_connections();
    sys_fcntl(listen_fd, F_SETFL, O_NONBLOCK);
    listen_watch = { on_listener, nullptr };
    rewatch_fd(listen_fd, EPOLLIN, &listen_watch);
    watch_stop_signals();
    sandbox_runner_init();
    i64 timeout_ms = k_idle_wait_ms;
    i64 last_busy_ms = monotonic_ms();
    for (;;) {
        i64 handled = event_loop_wait(timeout_ms);
        i64 now_ms = monotonic_ms();
        // Idle: nothing came for a while. One prepared run is made then, so a request that
        // comes meanwhile waits for one preparation at most.
        if (handled > 0 || sandbox_request_runs_in_progress() > 0)
            last_busy_ms = now_ms;
        else if (!stop.stopping && now_ms - last_busy_ms >= k_prepare_after_quiet_ms)
            prepared_runs_refill();
        sandbox_tick(now_ms);
        agents_tick(now_seconds());
        flush_answers(now_ms);
        i64 next = expire_connections(now_ms, now_ms + k_idle_wait_ms);
        i64 run_deadline = sandbox_next_deadline();
        if (run_deadline != 0 && run_deadline < next)
            next = run_deadline;
        if (stop.stopping) {
            continue_stop(now_ms);
            if (stop.deadline_ms < next)
                next = stop.deadline_ms;
        }
        timeout_ms = next > now_ms ? next - now_ms : 0;
        if (!stop.stopping && prepared_runs_short() && sandbox_request_runs_in_progress() == 0) {
            i64 quiet_at = last_busy_ms + k_prepare_after_quiet_ms;
            i64 until_quiet = quiet_at > now_ms ? quiet_at - now_ms : 0;
            timeout_ms = until_quiet < timeout_ms ? until_quiet : timeout_ms;
        }
    }
}
