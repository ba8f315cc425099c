// The tail is a ring of the newest output; a message copies it out in order, drops the
// continuation bytes a cut left at its start (they are counted as not shown) and holds back
// a character cut at its end. The stream source asks the clock only when the loop asks it
// for a piece, and tells the loop when to ask again.
#include "admin/mcp_progress.h"
#include "core/http_response.h"
#include "exec/sandbox_runner.h"
#include "runtime/heap.h"
#include "runtime/io.h"

void progress_tail_accept(ProgressTail* tail, const char* bytes, i64 len)
{
    // Only the last k_progress_tail_bytes of a longer piece can be kept.
    if (len > k_progress_tail_bytes) {
        tail->total += len - k_progress_tail_bytes;
        bytes += len - k_progress_tail_bytes;
        len = k_progress_tail_bytes;
    }
    for (i64 i = 0; i < len;) {
        i64 at = tail->total % k_progress_tail_bytes;
        i64 part = k_progress_tail_bytes - at < len - i ? k_progress_tail_bytes - at : len - i;
        copy_bytes(tail->bytes + at, bytes + i, part);
        tail->total += part;
        i += part;
    }
}

static bool continuation_byte(char byte) { return ((u8)byte & 0xC0) == 0x80; }

// A character's continuation bytes: three at most.
static constexpr i64 k_continuation_max = 3;

i64 build_progress_message(char* out, const ProgressTail& tail)
{
    i64 kept = tail.total < k_progress_tail_bytes ? tail.total : k_progress_tail_bytes;
    i64 first = tail.total - kept;
    // The tail goes to the end of out first; the notes are then written before it.
    char* text = out + k_progress_message_max - kept;
    for (i64 i = 0; i < kept; i++)
        text[i] = tail.bytes[(first + i) % k_progress_tail_bytes];
    i64 skip = 0;
    while (first > 0 && skip < k_continuation_max && skip < kept && continuation_byte(text[skip]))
        skip++;
    i64 len = kept - skip;
    len -= utf8_cut_tail(text + skip, len);
    i64 pos = 0;
    if (first + skip > 0) {
        pos = append_bytes(out, pos, k_progress_cut_note, 4);
        pos = append_decimal(out, pos, first + skip);
        pos = append_text(out, pos, k_progress_cut_note + 4);
    }
    if (!utf8_well_formed(text + skip, len))
        pos = append_text(out, pos, k_progress_lossy_note);
    move_bytes(out + pos, text + skip, len);
    return pos + len;
}

i64 build_progress_event(char* out, ByteSpan token, i64 progress, const char* message, i64 message_len)
{
    i64 pos = append_text(out, 0, k_progress_event_head);
    pos = append_bytes(out, pos, token.ptr, token.len);
    pos = append_text(out, pos, R"(,"progress":)");
    pos = append_decimal(out, pos, progress);
    pos = append_text(out, pos, R"(,"message":)");
    pos = append_json_string(out, pos, message, message_len);
    return append_text(out, pos, "}}\n\n");
}

void mcp_progress_init(McpProgress* progress, ByteSpan token, char* message, char* event, i64 start_ms)
{
    progress->conn = -1;
    progress->token = token;
    progress->tail.total = 0;
    progress->start_ms = start_ms;
    progress->sent_ms = start_ms;
    progress->sent_total = 0;
    progress->progress = 0;
    progress->wake_ms = 0;
    progress->message = message;
    progress->event = event;
    progress->answer = nullptr;
    progress->answer_len = 0;
    progress->answered = false;
    progress->answer_step = 0;
}

static StreamPiece answer_piece(McpProgress* progress)
{
    progress->wake_ms = 0;
    switch (progress->answer_step++) {
    case 0: return { "event: message\ndata: ", 21, false };
    case 1: return { progress->answer, progress->answer_len, false };
    default: return { "\n\n", 2, true };
    }
}

StreamPiece mcp_progress_next(McpProgress* progress, i64 now_ms)
{
    if (progress->answered)
        return answer_piece(progress);
    bool fresh = progress->tail.total != progress->sent_total;
    i64 due = progress->sent_ms + (fresh ? k_progress_gap_ms : k_progress_quiet_ms);
    if (now_ms < due) {
        progress->wake_ms = due;
        return { nullptr, 0, false };
    }
    i64 elapsed = now_ms - progress->start_ms;
    progress->progress = elapsed > progress->progress ? elapsed : progress->progress + 1;
    progress->sent_ms = now_ms;
    progress->sent_total = progress->tail.total;
    progress->wake_ms = now_ms + k_progress_quiet_ms;
    i64 message_len = build_progress_message(progress->message, progress->tail);
    i64 len = build_progress_event(progress->event, progress->token, progress->progress, progress->message, message_len);
    return { progress->event, len, false };
}

void mcp_progress_answer(McpProgress* progress, const char* body, i64 body_len)
{
    progress->answer = body;
    progress->answer_len = body_len;
    progress->answered = true;
}

// ---- on a connection ------------------------------------------------------------------

static StreamPiece next_of(void* context)
{
    McpProgress* progress = (McpProgress*)context;
    StreamPiece piece = mcp_progress_next(progress, monotonic_ms());
    if (progress->wake_ms != 0)
        connection_stream_wake_at(progress->conn, progress->wake_ms);
    return piece;
}

static void finish_of(void* context, const char* body, i64 body_len) { mcp_progress_answer((McpProgress*)context, body, body_len); }

// New output makes a notification due a gap after the last one.
static void output_of(void* sink, i64, const char* bytes, i64 len)
{
    McpProgress* progress = (McpProgress*)sink;
    progress_tail_accept(&progress->tail, bytes, len);
    connection_stream_wake_at(progress->conn, progress->sent_ms + k_progress_gap_ms);
}

i64 mcp_progress_memory()
{
    return heap_block(sizeof(McpProgress)) + heap_block(k_progress_message_max) + heap_block(k_progress_event_max) +
        heap_block(k_progress_token_max) + heap_block(k_header_buffer);
}

bool mcp_progress_open(int conn, ByteSpan token)
{
    if (token.len <= 0 || token.len > k_progress_token_max)
        return false;
    McpProgress* progress = (McpProgress*)heap_alloc(sizeof(McpProgress));
    char* message = (char*)heap_alloc(k_progress_message_max);
    char* event = (char*)heap_alloc(k_progress_event_max);
    char* token_copy = (char*)heap_alloc((u64)token.len);
    char* head = (char*)heap_alloc(k_header_buffer);
    if (!progress || !message || !event || !token_copy || !head)
        return false;
    copy_bytes(token_copy, token.ptr, token.len);
    mcp_progress_init(progress, { token_copy, token.len }, message, event, monotonic_ms());
    progress->conn = conn;
    if (!sandbox_watch_output(conn, output_of, progress))
        return false;
    i64 head_len = build_event_stream_header(head);
    if (connection_stream(conn, head, head_len, { next_of, finish_of, progress, true }))
        return true;
    sandbox_watch_output(conn, nullptr, nullptr);
    return false;
}
