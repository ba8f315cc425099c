// Raw bytes through request framing, as the connection loop hands them over after each
// read. Whatever arrives, a complete frame's request value lies inside the bytes and its
// parts fit together in request order: method, path and query inside the request line, the
// header lines after its CR LF up to the blank line, and the announced body up to the end;
// and framing only the request's own bytes gives the same request.
#include "fuzz/fuzz_support.h"
#include "runtime/fields.h"
#include "runtime/text.h"
#include "server/request_framing.h"

static bool inside(ByteSpan span, const char* begin, const char* end)
{
    return span.ptr != nullptr && span.len >= 0 && span.ptr >= begin && span.ptr + span.len <= end;
}

static bool holds(ByteSpan span, char byte)
{
    for (i64 i = 0; i < span.len; i++)
        if (span.ptr[i] == byte)
            return true;
    return false;
}

static void check_request_line(const Request& r, const char* begin, const char* end)
{
    fuzz_check(r.method.ptr == begin && r.method.len >= 1 && r.method.len <= k_method_max, "method span");
    fuzz_check(r.method.ptr[r.method.len] == ' ', "method ends at a blank");
    fuzz_check(inside(r.path, begin, end) && r.path.ptr == r.method.ptr + r.method.len + 1, "path follows the method");
    fuzz_check(!holds(r.path, '?') && !holds(r.path, ' ') && !holds(r.path, '\r') && !holds(r.path, '\n'), "path bytes");
    const char* target_end = r.path.ptr + r.path.len;
    if (r.query.ptr == nullptr) {
        fuzz_check(r.query.len == 0 && r.path.len >= 1, "no query, non-empty path");
    } else {
        fuzz_check(inside(r.query, begin, end) && r.query.ptr == target_end + 1 && target_end[0] == '?', "query follows the ?");
        fuzz_check(!holds(r.query, ' ') && !holds(r.query, '\r') && !holds(r.query, '\n'), "query bytes");
        target_end = r.query.ptr + r.query.len;
    }
    fuzz_check(target_end[0] == ' ' && bytes_equal(target_end + 1, "HTTP/", 5), "version follows the target");
    fuzz_check(bytes_equal(target_end + 9, "\r\n", 2) && target_end + 11 == r.headers.ptr, "headers follow the request line");
}

static void check_request(const Request& r, const char* bytes, i64 len, i64 total)
{
    const char* end = bytes + total;
    fuzz_check(total > 0 && total <= len, "total within the bytes");
    fuzz_check(r.bytes.ptr == bytes && r.bytes.len == total, "request span");
    fuzz_check(inside(r.headers, bytes, end) && inside(r.body, bytes, end), "headers and body inside");
    check_request_line(r, bytes, end);
    i64 block = r.body.ptr - bytes;
    fuzz_check(block <= k_header_block_max && find_body(bytes, len) == block, "body starts after the first blank line");
    fuzz_check(r.headers.ptr + r.headers.len + 2 == r.body.ptr && bytes_equal(r.body.ptr - 4, "\r\n\r\n", 4), "headers end at the blank line");
    fuzz_check(r.body.ptr + r.body.len == end, "body ends the request");
    fuzz_check(r.body.len <= request_body_max() && r.body.len == content_length_of(bytes, block), "body is the announced length");
    static const char* const names[] = { "Host", "Content-Length", "Authorization", "" };
    for (const char* name : names) {
        ByteSpan value {};
        if (request_header(r, name, &value))
            fuzz_check(inside(value, r.headers.ptr, r.headers.ptr + r.headers.len), "header value inside the header lines");
    }
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size)
{
    // The connection loop frames at most a request buffer's bytes, its NUL not counted.
    ExactCopy req(data, size, request_buffer_size() - 1);
    i64 asks = expects_continue(req.bytes, req.len);
    fuzz_check(asks == 0 || asks == 1, "expects_continue answers 0 or 1");
    Frame frame = frame_request(req.bytes, req.len);
    if (frame.state != k_frame_complete) {
        fuzz_check(frame.total == 0, "an incomplete frame has no length");
        if (!frame.head_read || frame.state != k_frame_incomplete) {
            fuzz_check(frame.request.bytes.ptr == nullptr, "a frame without its header block holds no request");
            return 0;
        }
        // The header block has come and the body not yet: the request is its header alone.
        const Request& r = frame.request;
        i64 block = find_body(req.bytes, req.len);
        fuzz_check(block > 0 && block <= k_header_block_max, "the header block has come");
        fuzz_check(r.bytes.ptr == req.bytes && r.bytes.len == block, "the request is the header block");
        fuzz_check(r.body.ptr == req.bytes + block && r.body.len == 0, "with an empty body after it");
        check_request_line(r, req.bytes, req.bytes + block);
        return 0;
    }
    check_request(frame.request, req.bytes, req.len, frame.total);
    // Bytes past the request change nothing: its own bytes frame the same way.
    Frame alone = frame_request(req.bytes, frame.total);
    fuzz_check(alone.state == k_frame_complete && alone.total == frame.total, "the request alone frames alike");
    fuzz_check(alone.request.path.ptr == frame.request.path.ptr && alone.request.path.len == frame.request.path.len
            && alone.request.query.ptr == frame.request.query.ptr && alone.request.query.len == frame.request.query.len,
        "the request alone has the same target");
    return 0;
}
