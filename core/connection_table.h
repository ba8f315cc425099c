// The connections in progress: each a small record with its phase, its deadline, its own
// memory (an arena) and its queued answer. The connection loop (server/) moves them through
// their phases; the response writer queues answers here, found by the socket descriptor,
// so handlers answer as they always did and never write to a socket themselves. An answer
// is queued by reference: its header block and body stay where they were built (the
// connection's arena, or constant text) until the connection closes.
//
// When the table is full, or a peer address holds its share of it, or the memory all
// connections may hold is spent, one connection makes room: a draining one first (its answer
// has gone), then the reader or writer that has been idle longest. A connection waiting for
// its run is never chosen: its run would go on for nobody.
#pragma once
#include "core/event_loop.h"
#include "runtime/heap.h"
#include "runtime/types.h"

enum ConnectionPhase {
    k_connection_free,
    // Reading its request; idle until it has sent it whole.
    k_connection_reading,
    // The request was routed and waits for something else (its command's run).
    k_connection_waiting,
    // The answer is queued and being written.
    k_connection_writing,
    // Answered before the whole request arrived: the rest is read and dropped until the
    // peer ends, so closing with unread bytes does not reset the answer away.
    k_connection_draining,
    // A streamed answer: its header block went out, its body goes out in pieces as its
    // source makes them, and the connection closes after the last.
    k_connection_streaming,
};

// One piece of a streamed body. The bytes stay valid until the source is asked for the
// next piece (or the connection closes); last: nothing comes after them.
struct StreamPiece {
    const char* ptr;
    i64 len;
    bool last;
};

// What makes a streamed body. next gives the next piece, an empty one (not last) when
// nothing is ready yet: the source then calls connection_stream_wake when something is.
// finish takes the request's answer (a JSON body built as for any request, whose header
// block is not sent) when one is queued while the stream is open: the source ends the
// stream with it. Both live in the connection's memory. ends_with_answer: the stream lasts
// until its answer comes (a run's own output), and a reader that takes nothing is waited
// for until then; otherwise (a reader of someone else's output) it is never waited for
// longer than the loop's silence allowance.
struct StreamSource {
    StreamPiece (*next)(void* context);
    void (*finish)(void* context, const char* body, i64 body_len);
    void* context;
    bool ends_with_answer;
};

struct Connection {
    int fd;
    ConnectionPhase phase;
    // When the loop gives up on the connection (monotonic milliseconds); 0 for never.
    i64 deadline_ms;
    i64 accepted_ms;
    // When the peer last sent or took bytes (monotonic milliseconds).
    i64 active_ms;
    // The peer's IPv4 address as accept4 gave it, in network order; 0 when not IPv4.
    u32 peer;
    HeapArena arena;
    char* request;
    i64 request_len;
    // The request buffer's size, its NUL included.
    i64 request_cap;
    // The queued answer: header block, then body; sent counts bytes of both.
    const char* out_head;
    i64 out_head_len;
    const char* out_body;
    i64 out_body_len;
    i64 out_sent;
    // Set while an answer waits in out and the loop has not started writing it.
    bool answer_ready;
    // The interim "100 Continue" went out (once per request).
    bool continue_sent;
    // The answer went out before the request was read whole (431, 413).
    bool answered_early;
    // The header block of a request whose body is still coming was judged once.
    bool head_judged;
    // A streamed answer's source (next is nullptr for an answer of one piece); woken: it
    // has something new; answered: its final answer has come; over: its last piece is
    // queued; blocked: the socket took no more and the loop waits for room; peer_gone: a
    // write failed because the peer has gone.
    StreamSource stream;
    bool stream_woken;
    bool stream_answered;
    bool stream_over;
    bool stream_blocked;
    bool peer_gone;
    // The events the loop watches the socket for while streaming (0: not watched).
    u32 stream_events;
    // When the stream's source wants to be asked again with nothing new (monotonic
    // milliseconds; 0 for never).
    i64 stream_wake_ms;
    // The request was cancelled: the loop closes the connection without an answer.
    bool abandoned;
    // Names this connection among all the loop has had (never 0).
    u64 serial;
    Watch watch;
};

// Makes the table for capacity connections and reserves their arenas of arena_size bytes
// each (a multiple of k_page_size; the server computes it from the worst case of its
// routes); 0 when the table or the address space cannot be had.
i64 connections_init(i64 capacity, i64 arena_size);
i64 connections_capacity();
Connection* connection_at(i64 index);

// A free record for fd (from peer) in the reading phase, or nullptr when every record is
// taken.
Connection* connection_open(int fd, u32 peer, i64 now_ms);
// The record of a socket in progress, or nullptr (a descriptor the loop does not own).
Connection* connection_of(int fd);
// Closes the socket, gives the arena back and frees the record.
void connection_close(Connection* c);
// The connection to close for room: draining first, then the reading or writing one idle
// longest (smallest active_ms); never a waiting one, nor a streaming one whose run goes on.
// nullptr when none may go.
Connection* connection_to_evict();
// The same among peer's own connections.
Connection* peer_connection_to_evict(u32 peer);
// The same among the connections whose arenas hold more than min_held bytes, spare aside:
// the one to close when the connections' memory budget is spent.
Connection* connection_to_evict_for_memory(i64 min_held, const Connection* spare);
// Connections in progress from peer.
i64 peer_connection_count(u32 peer);
// Connections in progress from every peer.
i64 connections_open();

// Queues the answer of fd's request: head and body are kept by reference and must live
// until the connection closes (its arena, or constant text). A request has one answer:
// once one is queued, later ones are dropped. Returns 0 when fd is not a connection of
// the loop, so the caller writes it directly.
i64 connection_queue(int fd, const char* head, i64 head_len, const char* body, i64 body_len);

// Opens fd's streamed answer: head goes out first, then what source gives. From now on an
// answer queued for fd goes to source.finish. Returns 0 when fd is not a connection of the
// loop or already has an answer.
i64 connection_stream(int fd, const char* head, i64 head_len, StreamSource source);

// fd's stream source has something new (output, or its end).
void connection_stream_wake(int fd);
// fd's stream source wants to be asked again at at_ms (monotonic milliseconds) even when
// nothing new comes (a periodic event); the earliest time asked for holds.
void connection_stream_wake_at(int fd, i64 at_ms);

// The serial of fd's connection: a number no other connection of the loop had, so a record
// kept beyond the request cannot take a later connection on the same descriptor for its
// own. 0 when fd is not a connection of the loop.
u64 connection_serial(int fd);

// fd's request was cancelled and gets no answer: the loop closes the connection (waiting
// or streaming) after the current wait.
void connection_abandon(int fd);
// Every stream's source may have something new (a run several readers follow wrote).
void connection_stream_wake_all();

// fd's arena, to enter before building an answer outside the router (a finished run);
// nullptr when fd is not a connection of the loop.
HeapArena* connection_arena(int fd);
