// The response writer: status line, the fixed header set in its order, CR LF line
// ends, then the body. Every response but the fixed 401 text goes through here.
#pragma once
#include "runtime/types.h"

constexpr i64 k_header_buffer = 512;
constexpr i64 k_error_buffer = 256;

void send_response(int conn, i64 status, const char* reason, const char* content_type, const char* body, i64 body_len);
void send_json(int conn, i64 status, const char* reason, const char* body, i64 body_len);
void send_json_error(int conn, i64 status, const char* reason, const char* message);

// Writes bytes as they are (the fixed 401 text). Never raises SIGPIPE.
void send_raw(int conn, const char* bytes, i64 len);

// Builds the header block into buf; returns its length. Pure, for tests.
i64 build_response_header(char* buf, i64 status, const char* reason, const char* content_type, i64 body_len);
