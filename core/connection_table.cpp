#include "core/connection_table.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constinit Connection* table = nullptr;
static constinit i64 capacity = 0;
static constinit u64 last_serial = 0;

i64 connections_init(i64 count, i64 arena_size)
{
    Connection* made = (Connection*)heap_alloc((u64)(count * (i64)sizeof(Connection)));
    if (!made)
        return 0;
    // The arenas are filled in place first: HeapArena records inside the connections.
    for (i64 i = 0; i < count; i++)
        made[i].fd = -1;
    static_assert(sizeof(HeapArena) == 24);
    HeapArena* arenas = (HeapArena*)heap_alloc((u64)(count * (i64)sizeof(HeapArena)));
    if (!arenas || !arenas_reserve(arenas, count, arena_size))
        return 0;
    for (i64 i = 0; i < count; i++)
        made[i].arena = arenas[i];
    table = made;
    capacity = count;
    return 1;
}

i64 connections_capacity() { return capacity; }

Connection* connection_at(i64 index) { return &table[index]; }

i64 connections_open()
{
    i64 open = 0;
    for (i64 i = 0; i < capacity; i++)
        open += table[i].phase != k_connection_free ? 1 : 0;
    return open;
}

Connection* connection_open(int fd, u32 peer, i64 now_ms)
{
    for (i64 i = 0; i < capacity; i++) {
        Connection* c = &table[i];
        if (c->phase != k_connection_free)
            continue;
        HeapArena arena = c->arena;
        *c = Connection {};
        c->arena = arena;
        c->fd = fd;
        c->phase = k_connection_reading;
        c->accepted_ms = now_ms;
        c->active_ms = now_ms;
        c->peer = peer;
        c->serial = ++last_serial;
        return c;
    }
    return nullptr;
}

Connection* connection_of(int fd)
{
    for (i64 i = 0; i < capacity; i++)
        if (table[i].phase != k_connection_free && table[i].fd == fd)
            return &table[i];
    return nullptr;
}

void connection_close(Connection* c)
{
    if (c->phase == k_connection_free)
        return;
    sys_close(c->fd);
    arena_reset(&c->arena);
    c->phase = k_connection_free;
    c->fd = -1;
}

// Lower ranks go first; -1: never. A reader of a background run's events may go like any
// reader (it resumes from its last event), and so may a streamed exec's reader once the run
// has ended (like any writer of an answer); before that it may not, as its run would go on
// for nobody.
static i64 eviction_rank(const Connection* c)
{
    if (c->phase == k_connection_streaming)
        return !c->stream.ends_with_answer || c->stream_answered ? 1 : -1;
    switch (c->phase) {
    case k_connection_draining: return 0;
    case k_connection_reading:
    case k_connection_writing: return 1;
    case k_connection_free:
    case k_connection_waiting:
    case k_connection_streaming: return -1;
    }
    return -1;
}

// min_held: only connections whose arenas hold more than this many bytes; spare: never it.
static Connection* victim_among(bool any_peer, u32 peer, i64 min_held = -1, const Connection* spare = nullptr)
{
    Connection* victim = nullptr;
    i64 victim_rank = 0;
    for (i64 i = 0; i < capacity; i++) {
        Connection* c = &table[i];
        i64 rank = eviction_rank(c);
        if (rank < 0 || c == spare || (!any_peer && c->peer != peer) || arena_used(&c->arena) <= min_held)
            continue;
        if (!victim || rank < victim_rank || (rank == victim_rank && c->active_ms < victim->active_ms)) {
            victim = c;
            victim_rank = rank;
        }
    }
    return victim;
}

Connection* connection_to_evict_for_memory(i64 min_held, const Connection* spare) { return victim_among(true, 0, min_held, spare); }

Connection* connection_to_evict() { return victim_among(true, 0); }

Connection* peer_connection_to_evict(u32 peer) { return victim_among(false, peer); }

i64 peer_connection_count(u32 peer)
{
    i64 count = 0;
    for (i64 i = 0; i < capacity; i++)
        if (table[i].phase != k_connection_free && table[i].peer == peer)
            count++;
    return count;
}

i64 connection_queue(int fd, const char* head, i64 head_len, const char* body, i64 body_len)
{
    Connection* c = connection_of(fd);
    if (!c)
        return 0;
    if (c->stream.next && !c->stream_answered) {
        c->stream_answered = true;
        c->stream_woken = true;
        c->stream.finish(c->stream.context, body, body_len > 0 ? body_len : 0);
        return 1;
    }
    if (c->out_head)
        return 1;
    c->out_head = head;
    c->out_head_len = head_len;
    c->out_body = body;
    c->out_body_len = body_len > 0 ? body_len : 0;
    c->answer_ready = true;
    return 1;
}

i64 connection_stream(int fd, const char* head, i64 head_len, StreamSource source)
{
    Connection* c = connection_of(fd);
    if (!c || c->out_head)
        return 0;
    c->out_head = head;
    c->out_head_len = head_len;
    c->out_body = nullptr;
    c->out_body_len = 0;
    c->stream = source;
    c->stream_woken = true;
    return 1;
}

void connection_stream_wake(int fd)
{
    Connection* c = connection_of(fd);
    if (c && c->stream.next)
        c->stream_woken = true;
}

void connection_stream_wake_at(int fd, i64 at_ms)
{
    Connection* c = connection_of(fd);
    if (c && c->stream.next && (c->stream_wake_ms == 0 || at_ms < c->stream_wake_ms))
        c->stream_wake_ms = at_ms;
}

u64 connection_serial(int fd)
{
    Connection* c = connection_of(fd);
    return c ? c->serial : 0;
}

void connection_abandon(int fd)
{
    if (Connection* c = connection_of(fd))
        c->abandoned = true;
}

void connection_stream_wake_all()
{
    for (i64 i = 0; i < capacity; i++)
        if (table[i].phase != k_connection_free && table[i].stream.next)
            table[i].stream_woken = true;
}

HeapArena* connection_arena(int fd)
{
    Connection* c = connection_of(fd);
    return c ? &c->arena : nullptr;
}
