// Reading a command's output pipe into a head and a ring, and putting them in order at the
// end. Byte i of the stream lies at out[i] while i is in the head, and at
// out[head + (i - head) % tail] after it.
#include "exec/output_capture.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constinit char drain_area[k_drain_chunk] {};

// Where the next byte goes and how many may be read there in one piece.
struct ReadRoom {
    char* at;
    i64 room;
};

static ReadRoom next_room(const OutputCapture* capture)
{
    i64 head = capture_head_size(capture->capacity);
    i64 tail = capture_tail_size(capture->capacity);
    if (capture->out == nullptr || capture->capacity <= 0)
        return { drain_area, k_drain_chunk };
    if (capture->total < head)
        return { capture->out + capture->total, head - capture->total };
    i64 at = head + (capture->total - head) % tail;
    return { capture->out + at, capture->capacity - at };
}

i64 capture_read(OutputCapture* capture, int fd, const char** read_at)
{
    ReadRoom room = next_room(capture);
    i64 n = sys_read(fd, room.at, room.room);
    if (n > 0)
        capture->total += n;
    if (read_at)
        *read_at = room.at;
    return n;
}

i64 capture_until_eof(OutputCapture* capture, int fd, i64 deadline_ms)
{
    pollfd_k watch { fd, POLLIN, 0 };
    for (;;) {
        i64 left = deadline_ms - monotonic_ms();
        if (left <= 0)
            return 0;
        i64 ready = sys_poll(&watch, 1, (int)(left < 1000 ? left : 1000));
        if (ready <= 0)
            continue;
        i64 n = capture_read(capture, fd);
        if (n == 0 || (n < 0 && n != -EINTR && n != -EAGAIN))
            return 1;
    }
}

static void reverse_bytes(char* bytes, i64 len)
{
    for (i64 i = 0, j = len - 1; i < j; i++, j--) {
        char c = bytes[i];
        bytes[i] = bytes[j];
        bytes[j] = c;
    }
}

// Turns the ring so that its oldest byte (at first) comes first.
static void unroll_ring(char* ring, i64 len, i64 first)
{
    reverse_bytes(ring, first);
    reverse_bytes(ring + first, len - first);
    reverse_bytes(ring, len);
}

static bool is_continuation(char c) { return ((u8)c & 0xC0) == 0x80; }

// Continuation bytes at the start of text (at most three): the rest of a sequence whose
// beginning was left out.
static i64 cut_sequence_at_start(const char* text, i64 len)
{
    i64 n = 0;
    while (n < 3 && n < len && is_continuation(text[n]))
        n++;
    return n;
}

static i64 build_marker(char* out, i64 omitted)
{
    i64 pos = append_text(out, 0, "\n[... ");
    pos = append_decimal(out, pos, omitted);
    return append_text(out, pos, " bytes omitted ...]\n");
}

CapturedStream capture_finish(OutputCapture* capture)
{
    i64 capacity = capture->capacity;
    if (capture->out == nullptr || capacity <= 0)
        return { 0, capture->total, capture->total > 0 };
    if (capture->total <= capacity)
        return { capture->total, capture->total, false };
    i64 head = capture_head_size(capacity);
    i64 tail = capture_tail_size(capacity);
    char* ring = capture->out + head;
    unroll_ring(ring, tail, (capture->total - head) % tail);
    i64 head_len = head - utf8_cut_tail(capture->out, head);
    i64 skip = cut_sequence_at_start(ring, tail);
    i64 tail_len = tail - skip;
    char marker[k_omission_marker_max];
    i64 marker_len = build_marker(marker, capture->total - head_len - tail_len);
    move_bytes(capture->out + head_len + marker_len, ring + skip, tail_len);
    copy_bytes(capture->out + head_len, marker, marker_len);
    return { head_len + marker_len + tail_len, capture->total, true };
}
