// Text builders and byte helpers. Builders take a buffer and a position and return the
// new position; they never check bounds, so every buffer's worst case is a named
// constant beside the code that fills it.
#pragma once
#include "runtime/types.h"

i64 append_decimal(char* buf, i64 pos, i64 value);
i64 append_byte(char* buf, i64 pos, char byte);
i64 append_bytes(char* buf, i64 pos, const char* src, i64 len);
i64 append_text(char* buf, i64 pos, const char* text);

// A JSON string with its quotes: LF as \n, CR as \r, quote and backslash escaped, other
// bytes below 0x20 dropped, everything else copied. At most 2 * len + 2 bytes.
i64 append_json_string(char* buf, i64 pos, const char* src, i64 len);

// 1 if the first len bytes are equal (len 0 gives 1), else 0.
i64 bytes_equal(const char* a, const char* b, i64 len);

// Position of the first occurrence of needle in hay at or after from, or -1.
i64 find_bytes(const char* hay, i64 hay_len, i64 from, const char* needle, i64 needle_len);

// Little-endian unsigned 32-bit counters at byte offsets.
u32 read_u32(const void* base, i64 offset);
void write_u32(void* base, i64 offset, u32 value);

// Standard Base64 with padding; writes a NUL after the text; returns 4 * ceil(len / 3).
i64 base64_encode(const char* src, i64 len, char* dst);

// Digits needed for append_decimal of any i64 value, sign included.
constexpr i64 k_decimal_max = 20;
