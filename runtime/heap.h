// The bump heap: one 256 MiB anonymous mapping and a pointer that moves forward.
// Blocks are handed out zero-filled. Tables made at start-up live for the process;
// per-request buffers are given back in one step by heap_release(mark), which zeroes
// what the request used, so memory stays flat however many requests are served.
#pragma once
#include "runtime/types.h"

constexpr i64 k_heap_size = 0x10000000;

struct BumpHeap {
    char* heap_base;
    char* heap_next;
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
