// How much memory one connection needs: the worst case of every route, computed from the
// limits of the buffers each one fills, and so the size of every connection's arena.
#pragma once
#include "runtime/types.h"

struct RouteMemory {
    const char* route;
    // Bytes of arena the route's request and everything it builds can take at most.
    i64 bytes;
};

// Every route's worst case, largest first is not promised; count entries.
const RouteMemory* route_memory_table(i64* count);

// The arena size that holds the largest worst case, in whole pages.
i64 connection_arena_size();
