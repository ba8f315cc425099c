// Where a request ends: its header block runs to the first blank line ("\r\n\r\n") and its
// body is the Content-Length bytes after it, however the bytes happened to arrive. Pure.
#pragma once
#include "runtime/types.h"

// The header block, blank line included, at most; and the body at most, which lets the
// 65,000-byte content of a file write through even with every byte escaped.
constexpr i64 k_header_block_max = 8192;
constexpr i64 k_body_max = 196608;
// A request buffer holds the largest request and the NUL the handlers rely on.
constexpr i64 k_request_buffer = k_header_block_max + k_body_max + 1;

enum FrameState { k_frame_incomplete, k_frame_complete, k_frame_header_too_large, k_frame_body_too_large };

struct Frame {
    FrameState state;
    // The whole request's length once complete: header block plus body.
    i64 total;
};

// The Content-Length value of a header block (name matched in any case at a line start),
// 0 when the header is absent or holds no digits, -1 when it announces more than k_body_max.
i64 content_length_of(const char* head, i64 head_len);

// 1 when the header block has ended with "Expect: 100-continue" (name and value in any
// case) and the body it announces has not arrived: the client waits for an interim
// "100 Continue" before it sends the body.
i64 expects_continue(const char* buf, i64 len);

// Judges the len bytes received so far. Bytes past the announced body (a client that
// sends more) are not part of the request.
Frame frame_request(const char* buf, i64 len);
