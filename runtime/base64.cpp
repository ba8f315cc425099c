#include "runtime/base64.h"

// The value of an alphabet character, or -1.
static i64 sextet(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

i64 base64_decode(const char* src, i64 len, char* dst)
{
    if (len % 4 != 0)
        return -1;
    i64 out = 0;
    for (i64 at = 0; at < len; at += 4) {
        bool last = at + 4 == len;
        // "xx==" and "xxx=" end the text; "=" anywhere else is no character of it.
        i64 padding = last && src[at + 3] == '=' ? (src[at + 2] == '=' ? 2 : 1) : 0;
        i64 v[4] = { sextet(src[at]), sextet(src[at + 1]), 0, 0 };
        for (i64 k = 2; k < 4 - padding; k++)
            v[k] = sextet(src[at + k]);
        if (v[0] < 0 || v[1] < 0 || v[2] < 0 || v[3] < 0)
            return -1;
        // The bits below the last whole byte must be zero, or two texts would decode alike.
        if ((padding == 2 && (v[1] & 0xF) != 0) || (padding == 1 && (v[2] & 0x3) != 0))
            return -1;
        u32 group = (u32)(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        dst[out++] = (char)(group >> 16);
        if (padding < 2)
            dst[out++] = (char)(group >> 8);
        if (padding < 1)
            dst[out++] = (char)group;
    }
    return out;
}
