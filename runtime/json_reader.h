// A forward scanner over the raw bytes of a JSON text. Nothing is parsed into a tree and
// nothing is allocated: a caller asks for one member of an object by its key, gets the
// offset of the value, and then decodes that value (a string into a buffer of its own, or
// an integer). Nested objects and arrays are stepped over as whole values, so a key that
// stands inside another value or inside a string never matches.
//
// Offsets are byte offsets into the text; -1 means "not found" or "malformed". Blanks are
// the four JSON ones (space, tab, LF, CR). Strings may hold raw bytes of any value except
// an unescaped quote or backslash; they are copied unchanged (the scanner does not judge
// UTF-8). A member found before a malformed part of the text is still found.
#pragma once
#include "runtime/types.h"

// Deepest nesting of objects and arrays that json_value_end steps over; deeper is malformed.
constexpr i64 k_json_max_depth = 64;

// Offset of the first non-blank byte at or after pos (len when there is none).
i64 json_skip_blanks(const char* json, i64 len, i64 pos);

// Offset just after the value that starts at pos (after blanks): a string, number, object,
// array, true, false or null. -1 when the value is malformed or runs past len.
i64 json_value_end(const char* json, i64 len, i64 pos);

// Offset of the value of the member named key (key_len bytes, compared with the member's
// decoded name) of the object that starts at object_pos (after blanks). The first member
// with that name wins. -1 when object_pos holds no object, the key is absent, or the
// object is malformed before the key.
i64 json_find_member(const char* json, i64 len, i64 object_pos, const char* key, i64 key_len);

// One member of an object: the offsets of its name's opening quote, of its value, and
// just after the value.
struct JsonMember {
    i64 name;
    i64 value;
    i64 end;
};

enum JsonMemberStep { k_json_member, k_json_members_end, k_json_members_malformed };

// Steps through the members of the object at object_pos (after blanks), in order: with
// previous nullptr the first member, else the one after previous. Fills *member and
// answers k_json_member, or answers k_json_members_end after the last one (the closing
// brace), or k_json_members_malformed when the object is not well formed there (or
// object_pos holds no object).
JsonMemberStep json_next_member(const char* json, i64 len, i64 object_pos, const JsonMember* previous, JsonMember* member);

// A decoded string value.
struct JsonString {
    i64 end; // offset just after the closing quote; -1 when not a well-formed string
    i64 stored; // bytes written to the caller's buffer (at most its capacity)
    i64 decoded; // length of the whole decoded value; more than stored when it was cut
};

// Decodes the string value at pos (after blanks) into out: the escapes \" \\ \/ \b \f \n
// \r \t and \uXXXX (a surrogate pair becomes one 4-byte UTF-8 sequence; a lone surrogate
// becomes U+FFFD; \u0000 a zero byte). At most capacity bytes are stored, never part of
// an escape's UTF-8 sequence, and a NUL follows them: out holds capacity + 1 bytes.
JsonString json_decode_string(const char* json, i64 len, i64 pos, char* out, i64 capacity);

// A whole number value.
struct JsonInteger {
    bool ok; // false when pos holds no integer (a string, a fraction, an exponent, ...)
    i64 value; // the number when ok; also false when it does not fit in 64 bits
};

// Reads the integer value at pos (after blanks): an optional minus sign and digits.
JsonInteger json_read_integer(const char* json, i64 len, i64 pos);
