#include "core/connection_table.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constinit Connection* table = nullptr;
static constinit i64 capacity = 0;

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

Connection* connection_open(int fd, i64 now_ms)
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

Connection* oldest_idle_connection()
{
    Connection* oldest = nullptr;
    for (i64 i = 0; i < capacity; i++) {
        Connection* c = &table[i];
        if (c->phase == k_connection_reading && (!oldest || c->accepted_ms < oldest->accepted_ms))
            oldest = c;
    }
    return oldest;
}

i64 connection_queue(int fd, const char* head, i64 head_len, const char* body, i64 body_len)
{
    Connection* c = connection_of(fd);
    if (!c)
        return 0;
    if (c->out_head)
        return 1;
    c->out_head = head;
    c->out_head_len = head_len;
    c->out_body = body;
    c->out_body_len = body_len > 0 ? body_len : 0;
    c->answer_ready = true;
    return 1;
}

HeapArena* connection_arena(int fd)
{
    Connection* c = connection_of(fd);
    return c ? &c->arena : nullptr;
}
