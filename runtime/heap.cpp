#include "runtime/heap.h"
#include "runtime/syscall.h"

constinit BumpHeap heap {};

void heap_init()
{
    heap.heap_base = heap_reserve(k_heap_size);
    heap.heap_next = heap.heap_base;
}

void* heap_alloc(u64 size)
{
    char* block = heap.heap_next;
    heap.heap_next += (size + 7) & ~(u64)7;
    return block;
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
    char* block = heap.outer_next;
    heap.outer_next += (size + 7) & ~(u64)7;
    return block;
}

void* arena_alloc(HeapArena* arena, u64 size)
{
    if (heap.entered == arena)
        return heap_alloc(size);
    char* block = arena->next;
    arena->next += (size + 7) & ~(u64)7;
    return block;
}

void arena_reset(HeapArena* arena)
{
    if (heap.entered == arena)
        heap_leave();
    i64 used = (arena->next - arena->base + k_page_size - 1) & ~(k_page_size - 1);
    if (used > 0)
        sys_madvise(arena->base, used, MADV_DONTNEED);
    arena->next = arena->base;
}
