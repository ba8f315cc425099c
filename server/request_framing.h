// Where a request ends and what it says: its header block runs to the first blank line
// ("\r\n\r\n") and its body is the Content-Length bytes after it, however the bytes happened
// to arrive. A complete request is read once into a Request value (request line split into
// method, path and query, the header lines, the body) that every later step reads instead
// of the raw bytes. Pure.
#pragma once
#include "runtime/types.h"

// The header block, blank line included, at most.
constexpr i64 k_header_block_max = 8192;
// A body's room besides a file's content: a command of 64 KiB escaped, its variables and
// the other members.
constexpr i64 k_body_fixed_max = 196608;
// The body at most: the fixed room and the Base64 text of a file of max_file_bytes, as
// configured (so a file write of the largest file passes).
i64 request_body_max();
// A request buffer holds the largest request and the NUL the handlers rely on.
i64 request_buffer_size();
// The longest method taken (the longest standard one, OPTIONS, has 7 bytes).
constexpr i64 k_method_max = 16;

enum FrameState {
    k_frame_incomplete,
    k_frame_complete,
    k_frame_header_too_large,
    k_frame_body_too_large,
    // The request line is not "METHOD SP target SP HTTP/d.d".
    k_frame_malformed,
};

// A complete request. Every span points into the bytes it was framed from, in order:
// method, path, query inside the request line; headers and body after it.
struct Request {
    // The whole request: header block and body.
    ByteSpan bytes;
    // The request line's first word (1 to k_method_max token bytes).
    ByteSpan method;
    // The target up to its first "?", or the whole target.
    ByteSpan path;
    // The bytes after that "?" (may be empty); ptr is null when the target has no "?".
    ByteSpan query;
    // The header lines after the request line, each with its CR LF; the blank line that
    // ends the block is not part of it (empty when there is no header).
    ByteSpan headers;
    // The Content-Length bytes after the blank line.
    ByteSpan body;
};

struct Frame {
    FrameState state;
    // The whole request's length once complete: header block plus body.
    i64 total;
    // Filled when complete. While the body is still to come (incomplete, head_read set),
    // method, path, query and headers are filled already, and bytes is the header block
    // with an empty body after it, so the request can be judged by its header alone.
    Request request;
    bool head_read;
};

// The Content-Length value of a header block (name matched in any case at a line start),
// 0 when the header is absent or holds no digits, -1 when it announces more than
// request_body_max().
i64 content_length_of(const char* head, i64 head_len);

// 1 when the header block has ended with "Expect: 100-continue" (name and value in any
// case) and the body it announces has not arrived: the client waits for an interim
// "100 Continue" before it sends the body.
i64 expects_continue(const char* buf, i64 len);

// Judges the len bytes received so far and, once they hold a whole request with a
// well-formed request line, reads it into frame.request. Bytes past the announced body (a
// client that sends more) are not part of the request.
Frame frame_request(const char* buf, i64 len);

// The value of the request's first header named name (any case), blanks around it removed.
bool request_header(const Request& request, const char* name, ByteSpan* value);
