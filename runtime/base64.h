// Standard Base64 (RFC 4648, "+/" alphabet, "=" padding) read strictly: the file endpoints
// take and give any bytes this way, and a text that is not exactly one encoding is refused
// rather than guessed at. The encoder is base64_encode (runtime/text.h).
#pragma once
#include "runtime/types.h"

// Characters base64_encode writes for len bytes (its NUL not counted).
constexpr i64 base64_len(i64 len) { return (len + 2) / 3 * 4; }

// Decodes len characters of src into dst; returns the byte count, or -1 when src is not
// the one encoding base64_encode would write for some bytes: a length that is not a
// multiple of four, a character outside the alphabet (line breaks and blanks included),
// padding anywhere but in the last one or two places, or padded bits that are not zero.
// At most len / 4 * 3 bytes are written; dst may be src (each group of four characters is
// read before its three bytes are written).
i64 base64_decode(const char* src, i64 len, char* dst);
