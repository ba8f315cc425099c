// The connection table of fleet-dashboard's loop and the framing of its requests. Pure:
// compiled hosted for tests; the loop (fleet/fleet_loop.cpp) does the reading and writing.
//
// Each slot holds one peer from accept to close: its request buffer, what it has read,
// the answer it is being sent and the times its deadlines count from. A peer may be silent
// for k_fleet_silence_ms and may take k_fleet_request_ms in all; whichever ends first ends
// it, so a slow or silent peer holds one slot for a bounded time and never the loop.
#pragma once
#include "runtime/types.h"

// Each connection's request buffer is one page of its own; a header block has to fit in
// k_fleet_request_max bytes of it.
constexpr i64 k_fleet_request_buffer = 4096;
constexpr i64 k_fleet_request_max = k_fleet_request_buffer - 1;
constexpr i64 k_fleet_connection_slots = 64;
constexpr i64 k_fleet_silence_ms = 2000;
constexpr i64 k_fleet_request_ms = 10000;

enum class FleetPhase : u8 {
    idle, // the slot is free
    reading, // until the header block is complete
    writing, // the answer, as the socket has room
    draining, // answer sent and the sending side shut; reading whatever the peer still sends
};

struct FleetConnection {
    int fd;
    FleetPhase phase;
    i64 accepted_ms;
    // The last time a byte was read or written.
    i64 progress_ms;
    // k_fleet_request_buffer bytes, owned by the slot.
    char* request;
    i64 request_len;
    ByteSpan answer;
    i64 answer_sent;
};

enum class FleetFraming : u8 { incomplete, complete, too_large };

struct FleetFrame {
    FleetFraming framing;
    // Bytes of the header block, its closing empty line included (complete only).
    i64 block_len;
};

// Where the header block of req (req_len bytes, at most capacity) stands. The block ends
// at its first empty line; lines end in LF, with or without a CR before it, the way the
// login check reads them. examined_len is req_len as of the previous call for the same
// request (0 on the first): only bytes the earlier calls could not decide are looked at
// again. A block that has not ended when req_len reaches capacity is too_large.
FleetFrame fleet_frame_request(const char* req, i64 req_len, i64 examined_len, i64 capacity);

// The slot for a newly accepted peer among count slots: the first idle one; when none is
// idle, the one accepted earliest among those still reading (they have not yet asked for
// anything), or among all when every slot is answering. The caller closes whatever the
// chosen slot holds.
i64 fleet_slot_for_new(const FleetConnection* slots, i64 count);

// The monotonic time at which connection c (not idle) is closed unless it ends first.
i64 fleet_connection_deadline_ms(const FleetConnection& c);

// How long the loop may wait at now_ms before the earliest deadline among count slots:
// 0 when one has already passed, -1 (wait for an event alone) when every slot is idle.
int fleet_wait_ms(const FleetConnection* slots, i64 count, i64 now_ms);
