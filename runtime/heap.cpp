#include "runtime/heap.h"
#include "runtime/syscall.h"

constinit BumpHeap heap {};

void heap_init()
{
    void* base = sys_mmap(nullptr, k_heap_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    heap.heap_base = (char*)base;
    heap.heap_next = (char*)base;
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
