// A streamed /api/exec answer: server-sent events made from a run's output as it is read.
//
//   event: stdout            (or stderr)
//   data: {"text":"..."}     (with "lossy":true when bytes that are not UTF-8 became U+FFFD)
//
//   event: dropped
//   data: {"stream":"stdout","bytes":N}
//
//   event: exit
//   data: <the JSON body the request would have had without streaming>
//
// Output waits for the reader in a ring of k_stream_ring_bytes in the connection's memory,
// kept as records (a kind byte, a length, the bytes). Output that finds the ring full is
// dropped and counted per stream, and the reader gets a "dropped" event in its place, in
// order. A UTF-8 sequence that one read cuts is held back until the next read of its stream
// completes it; what is still held at the end goes out (as U+FFFD) before the exit event.
// The pure half (accepting output, making the next piece) is here for the unit tests; the
// stream opens on its connection through core/connection_table.
#pragma once
#include "core/connection_table.h"
#include "runtime/heap.h"
#include "runtime/text.h"
#include "runtime/types.h"

// Output waiting for the reader.
constexpr i64 k_stream_ring_bytes = 1048576;
// Output bytes per event at most.
constexpr i64 k_event_text_max = 16384;
// A record's kind and length.
constexpr i64 k_stream_record_header = 5;
// A drop record: header and the count.
constexpr i64 k_stream_drop_record = k_stream_record_header + 8;
// The start of a UTF-8 sequence held back: at most three bytes.
constexpr i64 k_utf8_held_max = 3;

// The longest event: a text event of k_event_text_max bytes and a held-back start, every
// byte escaped to six, with its fixed text ("event: stderr\ndata: {"text":,"lossy":true}\n\n").
constexpr i64 k_stream_event_size = k_json_string_max(k_event_text_max + k_utf8_held_max) + 64;

struct ExecStream {
    // The connection the stream goes to.
    int conn;
    // The ring: capacity bytes; read and written count every byte that went through.
    char* ring;
    i64 capacity;
    i64 read;
    i64 written;
    // Bytes of each stream dropped and not yet told.
    i64 dropped[2];
    char held[2][k_utf8_held_max];
    i64 held_len[2];
    // The header block (k_header_buffer bytes); scratch for one event's text, and the
    // event being sent (k_stream_event_size).
    char* head;
    char* text;
    char* event;
    // The request's answer once it has come, and how much of the exit event has gone out.
    const char* answer;
    i64 answer_len;
    bool answered;
    i64 exit_step;
};

// Prepares stream over its buffers: ring (capacity bytes), text (k_event_text_max +
// k_utf8_held_max) and event (k_stream_event_size).
void exec_stream_init(ExecStream* stream, char* ring, i64 capacity, char* text, char* event);

// Takes len bytes of output of stream index (0 stdout, 1 stderr) into the ring, dropping and
// counting what does not fit. Pure.
void exec_stream_accept(ExecStream* stream, i64 index, const char* bytes, i64 len);

// The request's answer: the stream ends with it as the exit event. Pure.
void exec_stream_answer(ExecStream* stream, const char* body, i64 body_len);

// The next piece to send: an event, part of the exit event, or an empty piece when nothing
// is ready. Pure.
StreamPiece exec_stream_next(ExecStream* stream);

// One output event of stream index for text (len bytes) into out (k_stream_event_size
// bytes for len up to k_event_text_max + k_utf8_held_max); returns its length. Pure.
i64 build_output_event(char* out, i64 index, const char* text, i64 len);

// The "dropped" event for bytes of stream index into out; returns its length. Pure.
constexpr i64 k_dropped_event_size = 64 + k_decimal_max;
i64 build_dropped_event(char* out, i64 index, i64 bytes);

// What a streamed exec takes of its connection's memory, each block rounded as the heap
// rounds it: the stream record, the ring, the text scratch, the event and the header block.
i64 exec_stream_memory();

// Makes conn's stream in the connection's arena (the heap entered for the request) and
// returns it, or nullptr when the memory cannot be had. The run's output goes to it
// through exec_stream_output (the sink is the stream), which wakes the connection.
ExecStream* exec_stream_make(int conn);
void exec_stream_output(void* sink, i64 index, const char* bytes, i64 len);

// Sends the header block of conn's stream and opens it. Returns false when conn has an
// answer already (its run could not start and said so).
bool exec_stream_open(int conn, ExecStream* stream);
