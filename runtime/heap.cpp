#include "runtime/heap.h"
#include "runtime/syscall.h"

constinit BumpHeap heap {};
constinit ArenaBudget arena_budget {};

// A block of size bytes at *next, below end; advances *next. nullptr when it does not fit,
// and then nothing moves. Regions start and end on 8-byte boundaries, so a size that fits
// still fits once rounded up.
static void* take_block(char** next, char* end, u64 size)
{
    if (size > (u64)(end - *next))
        return nullptr;
    char* block = *next;
    *next += heap_block((i64)size);
    return block;
}

// take_block for an arena: also within the budget of all arenas together.
static void* take_arena_block(char** next, char* end, u64 size)
{
    arena_budget.refused_by_budget = false;
    if (size > (u64)(end - *next))
        return nullptr;
    i64 rounded = heap_block((i64)size);
    if (arena_budget.limit > 0 && arena_budget.used + rounded > arena_budget.limit) {
        arena_budget.refused_by_budget = true;
        return nullptr;
    }
    char* block = *next;
    *next += rounded;
    arena_budget.used += rounded;
    return block;
}

void heap_init()
{
    char* mapping = heap_reserve(k_page_size + k_heap_size);
    if (!mapping)
        return;
    // Whatever the kernel placed below the heap (the connections' arenas, as a rule) ends
    // on this page rather than running into the heap's first tables.
    sys_mprotect(mapping, k_page_size, PROT_NONE);
    heap.heap_base = mapping + k_page_size;
    heap.heap_next = heap.heap_base;
    heap.heap_end = heap.heap_base + k_heap_size;
}

void* heap_alloc(u64 size)
{
    if (heap.entered)
        return take_arena_block(&heap.heap_next, heap.entered->end, size);
    return take_block(&heap.heap_next, heap.heap_end, size);
}

char* heap_mark() { return heap.heap_next; }

void heap_release(char* mark)
{
    // Fresh pages of the mapping are zero; only what this request wrote needs clearing.
    fill_bytes(mark, 0, heap.heap_next - mark);
    heap.heap_next = mark;
}

char* heap_reserve(i64 size)
{
    void* base = sys_mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return (i64)base < 0 && (i64)base > -4096 ? nullptr : (char*)base;
}

bool arenas_reserve(HeapArena* arenas, i64 count, i64 arena_size)
{
    i64 stride = arena_size + k_page_size;
    if (count <= 0 || arena_size <= 0 || arena_size % k_page_size != 0)
        return false;
    char* base = heap_reserve(count * stride);
    if (!base)
        return false;
    for (i64 i = 0; i < count; i++) {
        char* start = base + i * stride;
        sys_mprotect(start + arena_size, k_page_size, PROT_NONE);
        arenas[i] = { start, start, start + arena_size };
    }
    return true;
}

void heap_enter(HeapArena* arena)
{
    if (heap.entered)
        heap_leave();
    heap.entered = arena;
    heap.outer_next = heap.heap_next;
    heap.heap_next = arena->next;
}

void heap_leave()
{
    if (!heap.entered)
        return;
    heap.entered->next = heap.heap_next;
    heap.heap_next = heap.outer_next;
    heap.entered = nullptr;
}

void* heap_alloc_lasting(u64 size)
{
    if (!heap.entered)
        return heap_alloc(size);
    return take_block(&heap.outer_next, heap.heap_end, size);
}

void* arena_alloc(HeapArena* arena, u64 size)
{
    if (heap.entered == arena)
        return heap_alloc(size);
    return take_arena_block(&arena->next, arena->end, size);
}

void arena_reset(HeapArena* arena)
{
    if (heap.entered == arena)
        heap_leave();
    arena_budget.used -= arena->next - arena->base;
    i64 used = round_up_to_page(arena->next - arena->base);
    if (used > arena->end - arena->base)
        used = arena->end - arena->base;
    if (used > 0)
        sys_madvise(arena->base, used, MADV_DONTNEED);
    arena->next = arena->base;
}
