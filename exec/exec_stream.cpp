// Output records in a ring, made into server-sent events as the reader takes them. A
// record never wraps in meaning, only in storage: ring_put and ring_take copy across the
// ring's end. Data records hold at most k_event_text_max bytes, so one record makes one
// event.
#include "exec/exec_stream.h"
#include "core/http_response.h"
#include "runtime/heap.h"
#include "runtime/text.h"

enum RecordKind : u8 { k_record_stdout, k_record_stderr, k_record_dropped_stdout, k_record_dropped_stderr };

static const char* stream_name(i64 index) { return index == 0 ? "stdout" : "stderr"; }

static void ring_put(ExecStream* stream, const void* bytes, i64 len)
{
    const char* from = (const char*)bytes;
    for (i64 i = 0; i < len;) {
        i64 at = stream->written % stream->capacity;
        i64 part = stream->capacity - at < len - i ? stream->capacity - at : len - i;
        copy_bytes(stream->ring + at, from + i, part);
        stream->written += part;
        i += part;
    }
}

static void ring_take(ExecStream* stream, void* bytes, i64 len)
{
    char* to = (char*)bytes;
    for (i64 i = 0; i < len;) {
        i64 at = stream->read % stream->capacity;
        i64 part = stream->capacity - at < len - i ? stream->capacity - at : len - i;
        copy_bytes(to + i, stream->ring + at, part);
        stream->read += part;
        i += part;
    }
}

static i64 ring_room(const ExecStream* stream) { return stream->capacity - (stream->written - stream->read); }

static void put_record(ExecStream* stream, u8 kind, const void* bytes, i64 len)
{
    u8 header[k_stream_record_header] = { kind, (u8)len, (u8)(len >> 8), (u8)(len >> 16), (u8)(len >> 24) };
    ring_put(stream, header, k_stream_record_header);
    ring_put(stream, bytes, len);
}

void exec_stream_init(ExecStream* stream, char* ring, i64 capacity, char* text, char* event)
{
    *stream = ExecStream {};
    stream->conn = -1;
    stream->ring = ring;
    stream->capacity = capacity;
    stream->text = text;
    stream->event = event;
}

// The reader is told of earlier drops before it gets later output of the same stream; the
// drop waits while the ring has no room for its record (and for some output after it).
void exec_stream_accept(ExecStream* stream, i64 index, const char* bytes, i64 len)
{
    if (stream->answered || len <= 0)
        return;
    if (stream->dropped[index] > 0) {
        if (ring_room(stream) < k_stream_drop_record + k_stream_record_header + 1) {
            stream->dropped[index] += len;
            return;
        }
        put_record(stream, (u8)(k_record_dropped_stdout + index), &stream->dropped[index], 8);
        stream->dropped[index] = 0;
    }
    while (len > 0) {
        i64 piece = len < k_event_text_max ? len : k_event_text_max;
        i64 room = ring_room(stream) - k_stream_record_header;
        if (room <= 0) {
            stream->dropped[index] += len;
            return;
        }
        piece = piece < room ? piece : room;
        put_record(stream, (u8)index, bytes, piece);
        bytes += piece;
        len -= piece;
    }
}

void exec_stream_answer(ExecStream* stream, const char* body, i64 body_len)
{
    stream->answer = body;
    stream->answer_len = body_len;
    stream->answered = true;
}

i64 build_output_event(char* out, i64 index, const char* text, i64 len)
{
    i64 pos = append_text(out, 0, "event: ");
    pos = append_text(out, pos, stream_name(index));
    pos = append_text(out, pos, "\ndata: {\"text\":");
    pos = append_json_string(out, pos, text, len);
    if (!utf8_well_formed(text, len))
        pos = append_text(out, pos, R"(,"lossy":true)");
    return append_text(out, pos, "}\n\n");
}

i64 build_dropped_event(char* out, i64 index, i64 bytes)
{
    i64 pos = append_text(out, 0, "event: dropped\ndata: {\"stream\":\"");
    pos = append_text(out, pos, stream_name(index));
    pos = append_text(out, pos, "\",\"bytes\":");
    pos = append_decimal(out, pos, bytes);
    return append_text(out, pos, "}\n\n");
}

static StreamPiece event_piece(ExecStream* stream, i64 len) { return { stream->event, len, false }; }

// A drop takes the start of a sequence held back for its stream with it: the rest of the
// sequence was among the dropped bytes.
static StreamPiece dropped_piece(ExecStream* stream, i64 index, i64 bytes)
{
    bytes += stream->held_len[index];
    stream->held_len[index] = 0;
    return event_piece(stream, build_dropped_event(stream->event, index, bytes));
}

// The next record as an event; an empty piece when it held only the start of a sequence.
static StreamPiece record_piece(ExecStream* stream)
{
    u8 header[k_stream_record_header];
    ring_take(stream, header, k_stream_record_header);
    i64 len = (i64)header[1] | (i64)header[2] << 8 | (i64)header[3] << 16 | (i64)header[4] << 24;
    if (header[0] >= k_record_dropped_stdout) {
        i64 bytes = 0;
        ring_take(stream, &bytes, 8);
        return dropped_piece(stream, header[0] - k_record_dropped_stdout, bytes);
    }
    i64 index = header[0];
    i64 held = stream->held_len[index];
    copy_bytes(stream->text, stream->held[index], held);
    ring_take(stream, stream->text + held, len);
    i64 total = held + len;
    i64 cut = utf8_cut_tail(stream->text, total);
    copy_bytes(stream->held[index], stream->text + total - cut, cut);
    stream->held_len[index] = cut;
    if (total == cut)
        return { nullptr, 0, false };
    return event_piece(stream, build_output_event(stream->event, index, stream->text, total - cut));
}

// After the last output: drops not yet told, then starts of sequences still held back (as
// U+FFFD), then the exit event in three pieces, its body where the answer lies.
static StreamPiece closing_piece(ExecStream* stream)
{
    for (i64 index = 0; index < 2; index++)
        if (stream->dropped[index] > 0) {
            i64 bytes = stream->dropped[index];
            stream->dropped[index] = 0;
            return dropped_piece(stream, index, bytes);
        }
    if (!stream->answered)
        return { nullptr, 0, false };
    for (i64 index = 0; index < 2; index++)
        if (stream->held_len[index] > 0) {
            i64 len = stream->held_len[index];
            stream->held_len[index] = 0;
            return event_piece(stream, build_output_event(stream->event, index, stream->held[index], len));
        }
    switch (stream->exit_step++) {
    case 0: return { "event: exit\ndata: ", 18, false };
    case 1: return { stream->answer, stream->answer_len, false };
    default: return { "\n\n", 2, true };
    }
}

StreamPiece exec_stream_next(ExecStream* stream)
{
    while (stream->written > stream->read) {
        StreamPiece piece = record_piece(stream);
        if (piece.len > 0)
            return piece;
    }
    return closing_piece(stream);
}

// ---- on a connection ------------------------------------------------------------------

static StreamPiece next_of(void* context) { return exec_stream_next((ExecStream*)context); }

static void finish_of(void* context, const char* body, i64 body_len) { exec_stream_answer((ExecStream*)context, body, body_len); }

i64 exec_stream_memory()
{
    return heap_block(sizeof(ExecStream)) + heap_block(k_stream_ring_bytes) + heap_block(k_event_text_max + k_utf8_held_max) +
        heap_block(k_stream_event_size) + heap_block(k_header_buffer);
}

ExecStream* exec_stream_make(int conn)
{
    ExecStream* stream = (ExecStream*)heap_alloc(sizeof(ExecStream));
    char* ring = (char*)heap_alloc(k_stream_ring_bytes);
    char* text = (char*)heap_alloc(k_event_text_max + k_utf8_held_max);
    char* event = (char*)heap_alloc(k_stream_event_size);
    char* head = (char*)heap_alloc(k_header_buffer);
    if (!stream || !ring || !text || !event || !head)
        return nullptr;
    exec_stream_init(stream, ring, k_stream_ring_bytes, text, event);
    stream->conn = conn;
    stream->head = head;
    return stream;
}

void exec_stream_output(void* sink, i64 index, const char* bytes, i64 len)
{
    ExecStream* stream = (ExecStream*)sink;
    exec_stream_accept(stream, index, bytes, len);
    connection_stream_wake(stream->conn);
}

bool exec_stream_open(int conn, ExecStream* stream)
{
    i64 head_len = build_event_stream_header(stream->head);
    return connection_stream(conn, stream->head, head_len, { next_of, finish_of, stream, true }) != 0;
}
