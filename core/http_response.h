// The response writer: status line, the fixed header set in its order, CR LF line
// ends, then the body. Every response but the fixed 401 text goes through here.
#pragma once
#include "runtime/types.h"

constexpr i64 k_header_buffer = 512;
constexpr i64 k_error_buffer = 256;

void send_response(int conn, i64 status, const char* reason, const char* content_type, const char* body, i64 body_len);
void send_json(int conn, i64 status, const char* reason, const char* body, i64 body_len);
void send_json_error(int conn, i64 status, const char* reason, const char* message);

// 503 with the error "connection memory exhausted: the answer does not fit", for a request
// whose buffers would not fit in its connection's memory. Allocates nothing.
void send_memory_exhausted(int conn);

// The error answer with an "Allow: allow" header after the fixed headers (a 405 names the
// methods the path takes). The header buffer grows by allow's length, so no list is cut.
void send_json_error_allow(int conn, i64 status, const char* reason, const char* message, const char* allow);

// 429 "Too Many Requests" with the error message and a Retry-After header: the whole
// seconds until the window that refused the request admits it again.
void send_too_many(int conn, const char* message, i64 retry_after_s);

// Another protocol's carriage for a handler's answer: the MCP endpoint runs a route's
// handler and carries the answer it writes as a JSON-RPC result. carry gets the answer
// instead of the socket and writes what it makes of it through this writer.
// retry_after_s is the Retry-After the answer would have carried (0 for none).
struct AnswerCarrier {
    void (*carry)(int conn, i64 status, const char* body, i64 body_len, i64 retry_after_s, void* context);
    void* context;
};

// The next answer written for conn goes to carrier instead, once. Returns false when the
// table of waiting carriers is full.
bool carry_next_answer(int conn, AnswerCarrier carrier);

// Drops conn's waiting carrier, if any: conn will get no answer (its client has gone), and
// the carrier must not take the answer of a later connection on the same descriptor.
void forget_answer_carrier(int conn);

// Writes bytes as they are (the fixed 401 text). Never raises SIGPIPE.
void send_raw(int conn, const char* bytes, i64 len);

// The header block of a streamed answer: 200, Content-Type: text/event-stream, no-cache,
// the fixed CORS headers and Connection: close, without Content-Length (the body ends
// when the connection does). At most k_header_buffer bytes. Pure.
i64 build_event_stream_header(char* buf);

// Builds the header block into buf; returns its length. Pure, for tests.
i64 build_response_header(char* buf, i64 status, const char* reason, const char* content_type, i64 body_len);
// The same with "Retry-After: retry_after_s" after the fixed headers when it is above 0.
i64 build_response_header_retry(char* buf, i64 status, const char* reason, const char* content_type, i64 body_len, i64 retry_after_s);
// The same with "Allow: allow" after the fixed headers; buf holds k_header_buffer bytes
// plus the Allow line ("Allow: ", allow, CR LF).
i64 build_response_header_allow(char* buf, i64 status, const char* reason, const char* content_type, i64 body_len, const char* allow);
