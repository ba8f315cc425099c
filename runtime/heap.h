// The bump heap: one 256 MiB anonymous mapping and a pointer that moves forward.
// Blocks are handed out zero-filled. Tables made at start-up live for the process.
//
// Requests are served side by side, so their buffers cannot share one bump pointer: each
// connection has an arena of its own, a window of reserved address space with a known end
// and an inaccessible guard page after it. While the loop works for a connection it enters
// that connection's arena, and heap_alloc hands out blocks from there; a block that would
// pass the arena's end is refused (nullptr), never handed out, so no request can reach
// another connection's memory, and a builder that writes past its block faults on the
// guard page instead of corrupting a neighbour. When the connection ends, the arena's
// pages go back to the kernel (they read as zero when next touched), so memory stays flat
// however many requests are served. The heap itself begins after a guard page too.
#pragma once
#include "runtime/types.h"

constexpr i64 k_heap_size = 0x10000000;
constexpr i64 k_page_size = 4096;

// Size rounded up to whole pages.
constexpr i64 round_up_to_page(i64 size) { return (size + k_page_size - 1) & ~(k_page_size - 1); }

// What a block of size bytes takes of a region: allocation rounds up to 8 bytes.
constexpr i64 heap_block(i64 size) { return (size + 7) & ~(i64)7; }

struct HeapArena {
    char* base;
    char* next;
    // First byte past the arena (the guard page).
    char* end;
};

struct BumpHeap {
    char* heap_base;
    char* heap_next;
    char* heap_end;
    // The arena heap_alloc currently serves, or nullptr for the heap itself.
    HeapArena* entered;
    // The heap's own position while an arena is entered.
    char* outer_next;
};
extern constinit BumpHeap heap;

// Maps the heap. Called once, first thing at start-up.
void heap_init();

// Rounds size up to a multiple of 8 and returns a zero-filled block of that size from the
// entered arena (or the heap), or nullptr when the block would pass its end. Size 0
// returns the current position and advances nothing.
void* heap_alloc(u64 size);

// Current position, to be handed back to heap_release.
char* heap_mark();

// Returns every block allocated since mark, zeroing them for their next use.
void heap_release(char* mark);

// Reserves size bytes of address space that costs memory only where it is written;
// nullptr when the kernel refuses.
char* heap_reserve(i64 size);

// Reserves count arenas of arena_size bytes (a multiple of k_page_size), each followed
// by a PROT_NONE guard page, and fills arenas[0 .. count). False when the kernel refuses.
bool arenas_reserve(HeapArena* arenas, i64 count, i64 arena_size);

// heap_alloc serves arena until heap_leave; entering while another arena is entered
// leaves that one first.
void heap_enter(HeapArena* arena);
void heap_leave();

// A zero-filled block of the heap itself that lives as long as the process, even when an
// arena is entered (tables made on first use inside a request); nullptr when the heap is
// exhausted.
void* heap_alloc_lasting(u64 size);

// A block of arena, whether or not it is the one entered; nullptr when it does not fit.
void* arena_alloc(HeapArena* arena, u64 size);

// Bytes of arena handed out so far.
inline i64 arena_used(const HeapArena* arena) { return arena->next - arena->base; }

// Gives the pages arena used back to the kernel and starts it over, zero-filled. Only the
// arena's own pages are touched.
void arena_reset(HeapArena* arena);

// What all arenas together may hand out at once: each arena is bounded by its own end, and
// their sum by limit, so that many connections each holding a large request or answer
// cannot take the host's memory between them. A block that would pass the limit is refused
// like one that would pass its arena's end, and refused_by_budget says which it was (for
// the latest block asked of an arena). limit 0 bounds nothing.
struct ArenaBudget {
    i64 limit;
    i64 used;
    bool refused_by_budget;
};
extern constinit ArenaBudget arena_budget;
