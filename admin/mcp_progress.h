// Progress of a long tool call. A tools/call whose params carry _meta.progressToken (and
// whose client accepts text/event-stream) is answered, once its command's run is admitted,
// as an event stream of JSON-RPC messages, one "message" event each: progress
// notifications while the command runs, then the call's result, after which the stream
// ends.
//
//   event: message
//   data: {"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":1,"progress":2503,"message":"..."}}
//
// progress is the milliseconds since the call began (each notification's larger than the
// last); message is the output so far, standard output and standard error in the order
// they were read, at most its newest k_progress_tail_bytes: an older part not shown is
// named by a first line "…(N earlier bytes not shown)", and bytes that are not UTF-8 (shown
// as U+FFFD) by "(bytes that are not UTF-8 are shown as U+FFFD)". The start of a UTF-8
// character cut by the end of what was read waits for its rest.
//
// A notification goes out at most every k_progress_gap_ms while output comes, and at least
// every k_progress_quiet_ms while none does. Each is built only once the reader has taken
// the one before, from the tail as it is then: a slow reader gets fewer notifications,
// never a queue of them, and the call's memory is the fixed set of mcp_progress_memory(),
// under 35 KiB: the record with its 4 KiB tail, the message (4,195 bytes), an event with
// that message escaped to six bytes a byte (25,575), the token and the header block.
#pragma once
#include "core/connection_table.h"
#include "runtime/text.h"
#include "runtime/types.h"

// Output bytes a notification shows at most: the newest.
constexpr i64 k_progress_tail_bytes = 4096;
constexpr i64 k_progress_gap_ms = 1000;
constexpr i64 k_progress_quiet_ms = 2500;
// The longest progress token taken (its JSON text: a string or a number), as an id.
constexpr i64 k_progress_token_max = 256;

// The newest output of a run: byte n of it (n from 0) lies at bytes[n % k_progress_tail_bytes]
// while n >= total - k_progress_tail_bytes.
struct ProgressTail {
    char bytes[k_progress_tail_bytes];
    i64 total;
};

// Takes len more bytes of output. Pure.
void progress_tail_accept(ProgressTail* tail, const char* bytes, i64 len);

constexpr char k_progress_cut_note[] = "\xE2\x80\xA6( earlier bytes not shown)\n";
constexpr char k_progress_lossy_note[] = "(bytes that are not UTF-8 are shown as U+FFFD)\n";
// The notes and the tail, before escaping.
constexpr i64 k_progress_message_max = sizeof(k_progress_cut_note) + k_decimal_max + sizeof(k_progress_lossy_note) + k_progress_tail_bytes;

// The message text of tail (not escaped) into out (k_progress_message_max bytes); returns
// its length. Pure.
i64 build_progress_message(char* out, const ProgressTail& tail);

// The event text around the token, the progress and the message.
constexpr char k_progress_event_head[] =
    "event: message\ndata: {\"jsonrpc\":\"2.0\",\"method\":\"notifications/progress\",\"params\":{\"progressToken\":";
constexpr i64 k_progress_event_max = sizeof(k_progress_event_head) + k_progress_token_max + sizeof(R"(,"progress":,"message":}})") +
    k_decimal_max + k_json_string_max(k_progress_message_max) + 2;

// One notification event for token (its JSON text) into out (k_progress_event_max bytes);
// returns its length. Pure.
i64 build_progress_event(char* out, ByteSpan token, i64 progress, const char* message, i64 message_len);

struct McpProgress {
    int conn;
    ByteSpan token;
    ProgressTail tail;
    i64 start_ms;
    // When the last notification was made (start_ms before the first), the output's total
    // then, and its progress.
    i64 sent_ms;
    i64 sent_total;
    i64 progress;
    // When the source wants to be asked again with nothing new (0: not before the answer).
    i64 wake_ms;
    // message (k_progress_message_max bytes) and event (k_progress_event_max bytes).
    char* message;
    char* event;
    // The call's result, once it has come, and how much of its event has been given.
    const char* answer;
    i64 answer_len;
    bool answered;
    i64 answer_step;
};

// Prepares progress over its buffers for a call that began at start_ms. Pure.
void mcp_progress_init(McpProgress* progress, ByteSpan token, char* message, char* event, i64 start_ms);

// The next piece of the stream at now_ms: a notification when one is due, the result's
// event once the result has come, or an empty piece with wake_ms set. Pure.
StreamPiece mcp_progress_next(McpProgress* progress, i64 now_ms);

// The call's result (a JSON-RPC response): the stream ends with it. Pure.
void mcp_progress_answer(McpProgress* progress, const char* body, i64 body_len);

// What a call's progress takes of its connection's memory, each block rounded as the heap
// rounds it: the record, its two buffers, the token and the header block.
i64 mcp_progress_memory();

// Opens conn's answer as a progress stream for the run its call has ordered, in the
// connection's arena: token (its JSON text, at most k_progress_token_max bytes) is copied.
// Returns false, and leaves the answer as it was, when conn has no run (it was refused, or
// could not start, and has its answer) or its memory cannot be had.
bool mcp_progress_open(int conn, ByteSpan token);
