#include "runtime/query.h"
#include "runtime/text.h"

ByteSpan query_param(ByteSpan query, const char* name)
{
    i64 name_len = text_length(name);
    for (i64 start = 0; start <= query.len;) {
        i64 amp = find_bytes(query.ptr, query.len, start, "&", 1);
        i64 end = amp < 0 ? query.len : amp;
        const char* item = query.ptr + start;
        i64 item_len = end - start;
        bool named = item_len >= name_len && bytes_equal(item, name, name_len);
        if (named && item_len == name_len)
            return { item + item_len, 0 };
        if (named && item[name_len] == '=')
            return { item + name_len + 1, item_len - name_len - 1 };
        start = end + 1;
    }
    return { nullptr, 0 };
}

static i64 hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
        return (c | 0x20) - 'a' + 10;
    return -1;
}

i64 percent_decode(ByteSpan src, char* out, i64 capacity)
{
    i64 len = 0;
    for (i64 i = 0; i < src.len; i++) {
        if (len >= capacity)
            return -1;
        char c = src.ptr[i];
        if (c == '%' && i + 2 < src.len && hex_digit(src.ptr[i + 1]) >= 0 && hex_digit(src.ptr[i + 2]) >= 0) {
            out[len++] = (char)(hex_digit(src.ptr[i + 1]) * 16 + hex_digit(src.ptr[i + 2]));
            i += 2;
            continue;
        }
        out[len++] = c;
    }
    return len;
}

i64 query_number(ByteSpan value)
{
    if (value.len < 1 || value.len > 18)
        return -1;
    i64 number = 0;
    for (i64 i = 0; i < value.len; i++) {
        if (value.ptr[i] < '0' || value.ptr[i] > '9')
            return -1;
        number = number * 10 + (value.ptr[i] - '0');
    }
    return number;
}
