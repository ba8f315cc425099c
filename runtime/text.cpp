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

i64 append_json_string(char* buf, i64 pos, const char* src, i64 len)
{
    buf[pos++] = '"';
    for (i64 i = 0; i < len; i++) {
        u8 c = (u8)src[i];
        if (c == '\n') {
            buf[pos++] = '\\';
            buf[pos++] = 'n';
        } else if (c == '\r') {
            buf[pos++] = '\\';
            buf[pos++] = 'r';
        } else if (c == '"' || c == '\\') {
            buf[pos++] = '\\';
            buf[pos++] = (char)c;
        } else if (c >= 0x20) {
            buf[pos++] = (char)c;
        }
    }
    buf[pos++] = '"';
    return pos;
}

i64 bytes_equal(const char* a, const char* b, i64 len)
{
    for (i64 i = 0; i < len; i++)
        if (a[i] != b[i])
            return 0;
    return 1;
}

i64 find_bytes(const char* hay, i64 hay_len, i64 from, const char* needle, i64 needle_len)
{
    for (i64 i = from < 0 ? 0 : from; i + needle_len <= hay_len; i++)
        if (hay[i] == needle[0] && bytes_equal(hay + i, needle, needle_len))
            return i;
    return -1;
}

u32 read_u32(const void* base, i64 offset)
{
    const u8* p = (const u8*)base + offset;
    return (u32)p[0] | (u32)p[1] << 8 | (u32)p[2] << 16 | (u32)p[3] << 24;
}

void write_u32(void* base, i64 offset, u32 value)
{
    u8* p = (u8*)base + offset;
    p[0] = (u8)value;
    p[1] = (u8)(value >> 8);
    p[2] = (u8)(value >> 16);
    p[3] = (u8)(value >> 24);
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
