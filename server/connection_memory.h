// How much memory one connection needs: the worst case of every route, computed from the
// limits of the buffers each one fills, and so the size of every connection's arena. The
// request and the file routes follow the configured max_file_bytes, so these are
// functions of the server's state, not constants.
#pragma once
#include "runtime/types.h"

struct RouteMemory {
    const char* route;
    // Bytes of arena the route's request and everything it builds can take at most.
    i64 bytes;
};

// Every route's worst case, largest first is not promised; count entries.
const RouteMemory* route_memory_table(i64* count);

// The worst case of the route a request's method and path (without its query) name; the
// last entry's (the reports and settings) for a path the table does not name.
i64 route_memory_of(ByteSpan method, ByteSpan path);

// The arena size that holds the largest worst case, in whole pages.
i64 connection_arena_size();

// The request body the server takes at most, and the request buffer that holds the
// largest request with its NUL: both follow max_file_bytes (server/request_framing.h),
// which start-up has read before the first connection.
i64 request_body_max();
i64 request_buffer_size();

// A connection starts with a request buffer of this size (its header block and a small
// body); a request announcing more gets a buffer of its own size once its header has been
// judged, so idle and unauthenticated connections hold no more than this.
i64 request_first_buffer_size();
