#include "runtime/text.h"

i64 append_decimal(char* buf, i64 pos, i64 value)
{
    u64 magnitude = value < 0 ? 0 - (u64)value : (u64)value;
    if (value < 0)
        buf[pos++] = '-';
    i64 digits = 1;
    for (u64 rest = magnitude / 10; rest; rest /= 10)
        digits++;
    for (i64 i = digits - 1; i >= 0; i--) {
        buf[pos + i] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    }
    return pos + digits;
}

i64 append_byte(char* buf, i64 pos, char byte)
{
    buf[pos] = byte;
    return pos + 1;
}

i64 append_bytes(char* buf, i64 pos, const char* src, i64 len)
{
    if (len > 0)
        copy_bytes(buf + pos, src, len);
    return pos + (len > 0 ? len : 0);
}

i64 append_text(char* buf, i64 pos, const char* text) { return append_bytes(buf, pos, text, text_length(text)); }

i64 build_path(char* out, const char* dir, const char* leaf)
{
    i64 pos = append_text(out, 0, dir);
    pos = append_byte(out, pos, '/');
    pos = append_text(out, pos, leaf);
    append_byte(out, pos, 0);
    return pos;
}

i64 utf8_sequence_length(const char* s, i64 len)
{
    const u8* b = (const u8*)s;
    if (len < 1)
        return 0;
    if (b[0] < 0x80)
        return 1;
    // The range of the second byte depends on the first; later bytes are 80..BF.
    i64 need = 0;
    u8 low = 0x80, high = 0xBF;
    if (b[0] >= 0xC2 && b[0] <= 0xDF)
        need = 2;
    else if (b[0] >= 0xE0 && b[0] <= 0xEF) {
        need = 3;
        low = b[0] == 0xE0 ? 0xA0 : 0x80;
        high = b[0] == 0xED ? 0x9F : 0xBF;
    } else if (b[0] >= 0xF0 && b[0] <= 0xF4) {
        need = 4;
        low = b[0] == 0xF0 ? 0x90 : 0x80;
        high = b[0] == 0xF4 ? 0x8F : 0xBF;
    } else
        return 0;
    if (len < need || b[1] < low || b[1] > high)
        return 0;
    for (i64 i = 2; i < need; i++)
        if (b[i] < 0x80 || b[i] > 0xBF)
            return 0;
    return need;
}

bool utf8_well_formed(const char* s, i64 len)
{
    for (i64 i = 0; i < len;) {
        if ((u8)s[i] < 0x80) {
            i++;
            continue;
        }
        i64 n = utf8_sequence_length(s + i, len - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

i64 utf8_cut_tail(const char* text, i64 len)
{
    for (i64 back = 1; back <= 3 && back <= len; back++) {
        u8 c = (u8)text[len - back];
        if ((c & 0xC0) == 0x80)
            continue;
        i64 need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? back : 0;
    }
    return 0;
}

static constexpr char k_hex_digits[] = "0123456789abcdef";

static i64 append_json_escape(char* buf, i64 pos, u8 c)
{
    buf[pos++] = '\\';
    switch (c) {
    case '\n': buf[pos++] = 'n'; return pos;
    case '\r': buf[pos++] = 'r'; return pos;
    case '\t': buf[pos++] = 't'; return pos;
    case '"':
    case '\\': buf[pos++] = (char)c; return pos;
    }
    pos = append_text(buf, pos, "u00");
    buf[pos++] = k_hex_digits[c >> 4];
    buf[pos++] = k_hex_digits[c & 15];
    return pos;
}

i64 append_json_string(char* buf, i64 pos, const char* src, i64 len)
{
    buf[pos++] = '"';
    for (i64 i = 0; i < len;) {
        u8 c = (u8)src[i];
        if (c < 0x20 || c == '"' || c == '\\') {
            pos = append_json_escape(buf, pos, c);
            i++;
            continue;
        }
        i64 n = utf8_sequence_length(src + i, len - i);
        if (n == 0) {
            pos = append_text(buf, pos, "\xEF\xBF\xBD");
            i++;
            continue;
        }
        pos = append_bytes(buf, pos, src + i, n);
        i += n;
    }
    buf[pos++] = '"';
    return pos;
}

JsonStringSize measure_json_string(const char* src, i64 len)
{
    JsonStringSize size { 2, false };
    for (i64 i = 0; i < len;) {
        u8 c = (u8)src[i];
        if (c < 0x20 || c == '"' || c == '\\') {
            bool short_form = c == '\n' || c == '\r' || c == '\t' || c == '"' || c == '\\';
            size.bytes += short_form ? 2 : 6;
            i++;
            continue;
        }
        i64 n = utf8_sequence_length(src + i, len - i);
        if (n == 0) {
            size.bytes += 3;
            size.lossy = true;
            i++;
            continue;
        }
        size.bytes += n;
        i += n;
    }
    return size;
}

bool bytes_equal(const char* a, const char* b, i64 len)
{
    for (i64 i = 0; i < len; i++)
        if (a[i] != b[i])
            return false;
    return true;
}

bool span_equals(ByteSpan span, const char* text)
{
    i64 len = text_length(text);
    return span.len == len && bytes_equal(span.ptr, text, len);
}

bool equal_in_constant_time(ByteSpan a, ByteSpan b)
{
    u32 difference = a.len != b.len ? 1 : 0;
    // Every byte of b is visited whatever a holds; a shorter a reads as zeros.
    for (i64 i = 0; i < b.len; i++) {
        u8 x = i < a.len ? (u8)a.ptr[i] : 0;
        difference |= (u32)(x ^ (u8)b.ptr[i]);
    }
    return difference == 0;
}

i64 find_bytes(const char* hay, i64 hay_len, i64 from, const char* needle, i64 needle_len)
{
    for (i64 i = from < 0 ? 0 : from; i + needle_len <= hay_len; i++)
        if (hay[i] == needle[0] && bytes_equal(hay + i, needle, needle_len))
            return i;
    return -1;
}

i64 base64_encode(const char* src, i64 len, char* dst)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const u8* in = (const u8*)src;
    i64 out = 0;
    for (i64 i = 0; i < len; i += 3) {
        u32 b0 = in[i];
        u32 b1 = i + 1 < len ? in[i + 1] : 0;
        u32 b2 = i + 2 < len ? in[i + 2] : 0;
        dst[out++] = alphabet[b0 >> 2];
        dst[out++] = alphabet[((b0 << 4) & 0x3F) | (b1 >> 4)];
        dst[out++] = i + 1 < len ? alphabet[((b1 << 2) & 0x3F) | (b2 >> 6)] : '=';
        dst[out++] = i + 2 < len ? alphabet[b2 & 0x3F] : '=';
    }
    dst[out] = 0;
    return out;
}
