#include "core/http_response.h"
#include "core/connection_table.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/text.h"

i64 build_response_header(char* buf, i64 status, const char* reason, const char* content_type, i64 body_len)
{
    return build_response_header_retry(buf, status, reason, content_type, body_len, 0);
}

i64 build_response_header_retry(char* buf, i64 status, const char* reason, const char* content_type, i64 body_len, i64 retry_after_s)
{
    i64 pos = append_text(buf, 0, "HTTP/1.1 ");
    pos = append_decimal(buf, pos, status);
    pos = append_byte(buf, pos, ' ');
    pos = append_text(buf, pos, reason);
    pos = append_text(buf, pos, "\r\nContent-Type: ");
    pos = append_text(buf, pos, content_type);
    pos = append_text(buf, pos, "\r\nContent-Length: ");
    pos = append_decimal(buf, pos, body_len);
    pos = append_text(buf, pos, "\r\nAccess-Control-Allow-Origin: *");
    pos = append_text(buf, pos, "\r\nAccess-Control-Allow-Headers: Authorization,Content-Type,X-Agent");
    pos = append_text(buf, pos, "\r\nConnection: close");
    if (retry_after_s > 0) {
        pos = append_text(buf, pos, "\r\nRetry-After: ");
        pos = append_decimal(buf, pos, retry_after_s);
    }
    pos = append_text(buf, pos, "\r\n\r\n");
    return pos;
}

i64 build_event_stream_header(char* buf)
{
    i64 pos = append_text(buf, 0, "HTTP/1.1 200 OK");
    pos = append_text(buf, pos, "\r\nContent-Type: text/event-stream; charset=utf-8");
    pos = append_text(buf, pos, "\r\nCache-Control: no-cache");
    pos = append_text(buf, pos, "\r\nX-Accel-Buffering: no");
    pos = append_text(buf, pos, "\r\nAccess-Control-Allow-Origin: *");
    pos = append_text(buf, pos, "\r\nAccess-Control-Allow-Headers: Authorization,Content-Type,X-Agent");
    pos = append_text(buf, pos, "\r\nConnection: close");
    return append_text(buf, pos, "\r\n\r\n");
}

i64 build_response_header_allow(char* buf, i64 status, const char* reason, const char* content_type, i64 body_len, const char* allow)
{
    // The fixed block without its blank line, then the Allow line and the blank line.
    i64 pos = build_response_header(buf, status, reason, content_type, body_len) - 2;
    pos = append_text(buf, pos, "Allow: ");
    pos = append_text(buf, pos, allow);
    return append_text(buf, pos, "\r\n\r\n");
}

// A connection of the loop gets the answer queued; the loop writes it without blocking.
// Elsewhere (tools, tests) header and body leave in one sendmsg, so no small second
// segment waits on the peer's delayed acknowledgement.
static void send_parts(int conn, const char* head, i64 head_len, const char* body, i64 body_len)
{
    if (connection_queue(conn, head, head_len, body, body_len))
        return;
    iovec_k iov[2] = { { head, (u64)head_len }, { body, (u64)(body_len > 0 ? body_len : 0) } };
    send_all(conn, iov, body_len > 0 ? 2 : 1);
}

// Answers that run later (a command's end) keep their carrier until then; one per
// connection at most.
static constexpr i64 k_carrier_slots = 64;
struct CarrierSlot {
    int conn;
    AnswerCarrier carrier;
};
static constinit CarrierSlot carriers[k_carrier_slots] {};
static constinit i64 carriers_waiting = 0;

bool carry_next_answer(int conn, AnswerCarrier carrier)
{
    for (CarrierSlot& slot : carriers)
        if (slot.carrier.carry == nullptr) {
            slot = { conn, carrier };
            carriers_waiting++;
            return true;
        }
    return false;
}

// Takes conn's carrier off the table (before it runs: its own answer goes to the socket).
static bool take_carrier(int conn, AnswerCarrier* carrier)
{
    if (carriers_waiting == 0)
        return false;
    for (CarrierSlot& slot : carriers)
        if (slot.carrier.carry != nullptr && slot.conn == conn) {
            *carrier = slot.carrier;
            slot = {};
            carriers_waiting--;
            return true;
        }
    return false;
}

void forget_answer_carrier(int conn)
{
    AnswerCarrier carrier {};
    take_carrier(conn, &carrier);
}

// The answer when a connection's memory cannot hold what its request needs. It takes no
// memory of its own: the header block is built once into static storage (every copy is
// the same bytes) and queued by reference like any other answer.
// Two static answers, as neither may take memory: the request's own arena is full, or the
// arenas of all connections together hold as much as the server allows them.
static constexpr char k_memory_exhausted_body[] = R"({"ok":false,"error":"connection memory exhausted: the answer does not fit"})";
static constexpr char k_memory_busy_body[] =
    R"({"ok":false,"error":"server busy: the connections' memory is in use by other requests; try again"})";

struct StaticAnswer {
    const char* body;
    i64 body_len;
    char head[k_header_buffer];
    i64 head_len;
};
static constinit StaticAnswer memory_exhausted { k_memory_exhausted_body, sizeof(k_memory_exhausted_body) - 1, {}, 0 };
static constinit StaticAnswer memory_busy { k_memory_busy_body, sizeof(k_memory_busy_body) - 1, {}, 0 };

void send_memory_exhausted(int conn)
{
    StaticAnswer* answer = arena_budget.refused_by_budget ? &memory_busy : &memory_exhausted;
    AnswerCarrier carrier {};
    if (take_carrier(conn, &carrier))
        return carrier.carry(conn, 503, answer->body, answer->body_len, 0, carrier.context);
    if (answer->head_len == 0)
        answer->head_len = build_response_header_retry(answer->head, 503, "Service Unavailable", "application/json", answer->body_len,
            answer == &memory_busy ? 1 : 0);
    send_parts(conn, answer->head, answer->head_len, answer->body, answer->body_len);
}

void send_response(int conn, i64 status, const char* reason, const char* content_type, const char* body, i64 body_len)
{
    AnswerCarrier carrier {};
    if (take_carrier(conn, &carrier))
        return carrier.carry(conn, status, body, body_len, 0, carrier.context);
    char* head = (char*)heap_alloc(k_header_buffer);
    if (!head)
        return send_memory_exhausted(conn);
    i64 head_len = build_response_header(head, status, reason, content_type, body_len);
    send_parts(conn, head, head_len, body, body_len);
}

void send_json(int conn, i64 status, const char* reason, const char* body, i64 body_len)
{
    send_response(conn, status, reason, "application/json", body, body_len);
}

static i64 build_error_body(char* body, const char* message)
{
    i64 len = append_text(body, 0, R"({"ok":false,"error":")");
    len = append_text(body, len, message);
    return append_text(body, len, R"("})");
}

void send_json_error(int conn, i64 status, const char* reason, const char* message)
{
    char* body = (char*)heap_alloc(k_error_buffer);
    if (!body)
        return send_memory_exhausted(conn);
    send_json(conn, status, reason, body, build_error_body(body, message));
}

static constexpr i64 k_allow_line = sizeof("Allow: \r\n") - 1;

void send_json_error_allow(int conn, i64 status, const char* reason, const char* message, const char* allow)
{
    char* body = (char*)heap_alloc(k_error_buffer);
    if (!body)
        return send_memory_exhausted(conn);
    i64 len = build_error_body(body, message);
    AnswerCarrier carrier {};
    if (take_carrier(conn, &carrier))
        return carrier.carry(conn, status, body, len, 0, carrier.context);
    // The Allow line's own bytes come on top of what every other header block may take.
    char* head = (char*)heap_alloc((u64)(k_header_buffer + k_allow_line + text_length(allow)));
    if (!head)
        return send_memory_exhausted(conn);
    i64 head_len = build_response_header_allow(head, status, reason, "application/json", len, allow);
    send_parts(conn, head, head_len, body, len);
}

void send_too_many(int conn, const char* message, i64 retry_after_s)
{
    char* body = (char*)heap_alloc(k_error_buffer);
    if (!body)
        return send_memory_exhausted(conn);
    i64 len = build_error_body(body, message);
    AnswerCarrier carrier {};
    if (take_carrier(conn, &carrier))
        return carrier.carry(conn, 429, body, len, retry_after_s, carrier.context);
    char* head = (char*)heap_alloc(k_header_buffer);
    if (!head)
        return send_memory_exhausted(conn);
    i64 head_len = build_response_header_retry(head, 429, "Too Many Requests", "application/json", len, retry_after_s);
    send_parts(conn, head, head_len, body, len);
}

void send_raw(int conn, const char* bytes, i64 len) { send_parts(conn, bytes, len, nullptr, 0); }
