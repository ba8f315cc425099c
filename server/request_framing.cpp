#include "server/request_framing.h"
#include "core/state.h"
#include "runtime/fields.h"
#include "runtime/text.h"

i64 request_body_max() { return k_body_fixed_max + base64_length(state.max_file_bytes); }

i64 request_buffer_size() { return k_header_block_max + request_body_max() + 1; }

static constexpr char k_length_name[] = "content-length:";
static constexpr i64 k_length_name_len = sizeof(k_length_name) - 1;
static constexpr char k_expect_continue[] = "expect: 100-continue\r\n";
static constexpr i64 k_expect_continue_len = sizeof(k_expect_continue) - 1;

static char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c + 32) : c; }

// 1 when text (lower case) stands at a line start at `at`, in any case.
static i64 line_starts_with(const char* head, i64 head_len, i64 at, const char* text, i64 text_len)
{
    if ((at > 0 && head[at - 1] != '\n') || at + text_len > head_len)
        return 0;
    for (i64 i = 0; i < text_len; i++)
        if (lower(head[at + i]) != text[i])
            return 0;
    return 1;
}

i64 content_length_of(const char* head, i64 head_len)
{
    for (i64 at = 0; at < head_len; at++) {
        if (!line_starts_with(head, head_len, at, k_length_name, k_length_name_len))
            continue;
        i64 i = at + k_length_name_len;
        while (i < head_len && (head[i] == ' ' || head[i] == '\t'))
            i++;
        i64 value = 0;
        i64 body_max = request_body_max();
        for (; i < head_len && head[i] >= '0' && head[i] <= '9'; i++) {
            value = value * 10 + (head[i] - '0');
            if (value > body_max)
                return -1;
        }
        return value;
    }
    return 0;
}

i64 expects_continue(const char* buf, i64 len)
{
    i64 body = find_body(buf, len);
    if (body < 0 || body > k_header_block_max)
        return 0;
    i64 body_len = content_length_of(buf, body);
    if (body_len <= 0 || len >= body + body_len)
        return 0;
    for (i64 at = 0; at < body; at++)
        if (line_starts_with(buf, body, at, k_expect_continue, k_expect_continue_len))
            return 1;
    return 0;
}

// A method is a token: letters, digits and the punctuation HTTP allows in one.
static bool is_token_byte(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    for (const char* p = "!#$%&'*+-.^_`|~"; *p; p++)
        if (*p == c)
            return true;
    return false;
}

// A target holds visible ASCII only; a blank ends it.
static bool is_target_byte(char c) { return c > ' ' && c < 0x7f; }

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "HTTP/" digit "." digit, and nothing after it.
static bool is_version(const char* text, i64 len)
{
    return len == 8 && bytes_equal(text, "HTTP/", 5) && is_digit(text[5]) && text[6] == '.' && is_digit(text[7]);
}

// Reads "METHOD SP target SP version" (line_len bytes, its CR LF not counted) into the
// method, path and query of request. False when the line has any other form.
static bool read_request_line(const char* line, i64 line_len, Request* request)
{
    i64 at = 0;
    while (at < line_len && at < k_method_max && is_token_byte(line[at]))
        at++;
    if (at == 0 || at >= line_len || line[at] != ' ')
        return false;
    request->method = { line, at };
    i64 target = ++at;
    while (at < line_len && is_target_byte(line[at]))
        at++;
    if (at == target || at >= line_len || line[at] != ' ' || !is_version(line + at + 1, line_len - at - 1))
        return false;
    i64 question = find_bytes(line, at, target, "?", 1);
    i64 path_end = question < 0 ? at : question;
    request->path = { line + target, path_end - target };
    request->query = question < 0 ? ByteSpan { nullptr, 0 } : ByteSpan { line + question + 1, at - question - 1 };
    return true;
}

Frame frame_request(const char* buf, i64 len)
{
    Frame frame {};
    i64 body = find_body(buf, len);
    if (body < 0) {
        frame.state = len >= k_header_block_max ? k_frame_header_too_large : k_frame_incomplete;
        return frame;
    }
    if (body > k_header_block_max) {
        frame.state = k_frame_header_too_large;
        return frame;
    }
    // The block ends in "\r\n\r\n", so the request line's own CR LF is found, at body - 4 at
    // the latest, and the header lines lie between the two.
    i64 line_end = find_bytes(buf, body, 0, "\r\n", 2);
    if (!read_request_line(buf, line_end, &frame.request)) {
        frame.state = k_frame_malformed;
        return frame;
    }
    i64 body_len = content_length_of(buf, body);
    if (body_len < 0) {
        frame.state = k_frame_body_too_large;
        return frame;
    }
    frame.head_read = true;
    frame.request.headers = { buf + line_end + 2, body - 2 - (line_end + 2) };
    if (len < body + body_len) {
        frame.state = k_frame_incomplete;
        frame.request.bytes = { buf, body };
        frame.request.body = { buf + body, 0 };
        return frame;
    }
    frame.state = k_frame_complete;
    frame.total = body + body_len;
    frame.request.bytes = { buf, frame.total };
    frame.request.body = { buf + body, body_len };
    return frame;
}

bool request_header(const Request& request, const char* name, ByteSpan* value)
{
    // The request line and header lines with the blank line: find_header reads exactly
    // the lines after the first.
    i64 block_len = request.body.ptr - request.bytes.ptr;
    return find_header(request.bytes.ptr, block_len, name, value);
}
