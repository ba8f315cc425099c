// Fixed-width integer names and the byte span that every part of both programs uses.
// No system header is included: the freestanding build has none, and the hosted test
// build must see exactly the same definitions.
#pragma once

using u8 = unsigned char;
using u16 = unsigned short;
using u32 = unsigned int;
using u64 = unsigned long;
using i8 = signed char;
using i16 = short;
using i32 = int;
using i64 = long;

static_assert(sizeof(u64) == 8 && sizeof(i64) == 8, "LP64 only");

// A byte string that is not necessarily NUL-terminated.
struct ByteSpan {
    const char* ptr;
    i64 len;
};

constexpr i64 k_i64_max = 0x7FFFFFFFFFFFFFFF;
constexpr u32 k_u32_max = 0xFFFFFFFFu;

// Length of a NUL-terminated text; also for tables checked at compile time.
constexpr i64 text_length(const char* s)
{
    i64 n = 0;
    while (s[n])
        n++;
    return n;
}

// Length of a text that ends at its first NUL or after max bytes, whichever comes first.
inline i64 text_length_max(const char* s, i64 max)
{
    i64 n = 0;
    while (n < max && s[n])
        n++;
    return n;
}

// The compiler lowers these to memcpy/memset calls, which the freestanding build
// provides itself (runtime/start.cpp) and the hosted build takes from the C library.
inline void copy_bytes(void* dst, const void* src, i64 len) { __builtin_memcpy(dst, src, (u64)len); }
inline void move_bytes(void* dst, const void* src, i64 len) { __builtin_memmove(dst, src, (u64)len); }
inline void fill_bytes(void* dst, int value, i64 len) { __builtin_memset(dst, value, (u64)len); }
