// Text builders and byte helpers. Builders take a buffer and a position and return the
// new position; they never check bounds, so every buffer's worst case is a named
// constant beside the code that fills it.
#pragma once
#include "runtime/types.h"

i64 append_decimal(char* buf, i64 pos, i64 value);
i64 append_byte(char* buf, i64 pos, char byte);
i64 append_bytes(char* buf, i64 pos, const char* src, i64 len);
i64 append_text(char* buf, i64 pos, const char* text);

// dir "/" leaf and a NUL into out; returns the length without the NUL.
i64 build_path(char* out, const char* dir, const char* leaf);

// A JSON string with its quotes that every strict parser takes and that loses no byte:
// quote and backslash escaped, LF, CR and TAB as \n, \r and \t, every other byte below 0x20
// as \u00XX, well-formed UTF-8 copied, and each byte that is not part of a well-formed UTF-8
// sequence written as U+FFFD. At most k_json_string_max(len) bytes.
i64 append_json_string(char* buf, i64 pos, const char* src, i64 len);
constexpr i64 k_json_string_max(i64 len) { return 6 * len + 2; }

// What append_json_string would make of src: its exact length, quotes included, and
// whether it would write U+FFFD for some byte (the text would then not be the bytes).
struct JsonStringSize {
    i64 bytes;
    bool lossy;
};
JsonStringSize measure_json_string(const char* src, i64 len);

// Length of the well-formed UTF-8 sequence at the start of s (1 to 4), or 0 when its first
// byte does not begin one (a stray continuation, an overlong form, a surrogate, a code
// point past U+10FFFF, or a sequence cut off by the end).
i64 utf8_sequence_length(const char* s, i64 len);

// Bytes at the end of text that begin a UTF-8 sequence the end cuts short: a lead byte in
// the last three and only continuation bytes after it, fewer than it announces (0 to 3).
i64 utf8_cut_tail(const char* text, i64 len);

// True when the len bytes are well-formed UTF-8 throughout, so append_json_string writes
// them without replacing any byte.
bool utf8_well_formed(const char* s, i64 len);

// True if the first len bytes are equal (len 0 gives true).
bool bytes_equal(const char* a, const char* b, i64 len);

// True when span holds exactly the bytes of text.
bool span_equals(ByteSpan span, const char* text);

// Calls visit(line, line_len, number) for every non-empty line of text, in order, with its
// line number counted from 1 (empty lines are counted, not visited). A line ends at LF, at
// CR, or at CR LF (counted once), or at the end of the text; the terminator is not part of
// the line. Stops early when visit returns true.
template <typename Visit>
void for_each_numbered_line(const char* text, i64 len, Visit visit)
{
    i64 start = 0;
    i64 number = 0;
    while (start < len) {
        i64 end = start;
        while (end < len && text[end] != '\n' && text[end] != '\r')
            end++;
        number++;
        if (end > start && visit(text + start, end - start, number))
            return;
        start = end + 1;
        if (end < len && text[end] == '\r' && start < len && text[start] == '\n')
            start++;
    }
}

// The same walk for visitors that need no line number.
template <typename Visit>
void for_each_line(const char* text, i64 len, Visit visit)
{
    for_each_numbered_line(text, len, [&](const char* line, i64 line_len, i64) { return visit(line, line_len); });
}

// True when a and b hold the same bytes. The time taken depends on the lengths alone, never
// on where the bytes differ, so a secret compared this way is not guessed byte by byte.
bool equal_in_constant_time(ByteSpan a, ByteSpan b);

// Position of the first occurrence of needle in hay at or after from, or -1.
i64 find_bytes(const char* hay, i64 hay_len, i64 from, const char* needle, i64 needle_len);

// Standard Base64 with padding; writes a NUL after the text; returns 4 * ceil(len / 3).
i64 base64_encode(const char* src, i64 len, char* dst);

// Digits needed for append_decimal of any i64 value, sign included.
constexpr i64 k_decimal_max = 20;
