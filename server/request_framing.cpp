#include "server/request_framing.h"
#include "runtime/fields.h"
#include "runtime/text.h"

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
        for (; i < head_len && head[i] >= '0' && head[i] <= '9'; i++) {
            value = value * 10 + (head[i] - '0');
            if (value > k_body_max)
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

Frame frame_request(const char* buf, i64 len)
{
    i64 body = find_body(buf, len);
    if (body < 0)
        return { len >= k_header_block_max ? k_frame_header_too_large : k_frame_incomplete, 0 };
    if (body > k_header_block_max)
        return { k_frame_header_too_large, 0 };
    i64 body_len = content_length_of(buf, body);
    if (body_len < 0)
        return { k_frame_body_too_large, 0 };
    if (len < body + body_len)
        return { k_frame_incomplete, 0 };
    return { k_frame_complete, body + body_len };
}
