// The bump heap: one 256 MiB anonymous mapping and a pointer that moves forward.
// Blocks are handed out zero-filled. Tables made at start-up live for the process.
//
// Requests are served side by side, so their buffers cannot share one bump pointer: each
// connection has an arena of its own, a window of reserved address space. While the loop
// works for a connection it enters that connection's arena, and heap_alloc hands out blocks
// from there; when the connection ends, the arena's pages go back to the kernel (they read
// as zero when next touched), so memory stays flat however many requests are served.
#pragma once
#include "runtime/types.h"

constexpr i64 k_heap_size = 0x10000000;
constexpr i64 k_page_size = 4096;

struct HeapArena {
    char* base;
    char* next;
};

struct BumpHeap {
    char* heap_base;
    char* heap_next;
    // The arena heap_alloc currently serves, or nullptr for the heap itself.
    HeapArena* entered;
    // The heap's own position while an arena is entered.
    char* outer_next;
};
extern constinit BumpHeap heap;

// Maps the heap. Called once, first thing at start-up.
void heap_init();

// Rounds size up to a multiple of 8 and returns a zero-filled block of that size.
// Size 0 returns the current position and advances nothing.
void* heap_alloc(u64 size);

// Current position, to be handed back to heap_release.
char* heap_mark();

// Returns every block allocated since mark, zeroing them for their next use.
void heap_release(char* mark);

// Reserves size bytes of address space that costs memory only where it is written;
// nullptr when the kernel refuses.
char* heap_reserve(i64 size);

// heap_alloc serves arena until heap_leave; entering while another arena is entered
// leaves that one first.
void heap_enter(HeapArena* arena);
void heap_leave();

// A zero-filled block of the heap itself that lives as long as the process, even when an
// arena is entered (tables made on first use inside a request).
void* heap_alloc_lasting(u64 size);

// A block of arena, whether or not it is the one entered.
void* arena_alloc(HeapArena* arena, u64 size);

// Gives the pages arena used back to the kernel and starts it over, zero-filled.
void arena_reset(HeapArena* arena);
