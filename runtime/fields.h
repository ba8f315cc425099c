// Readers that pull single fields out of raw request bytes. Requests are never parsed
// into a structure; these exact matching rules are part of the API's behaviour.
#pragma once
#include "runtime/types.h"

// Offset just after the first "\r\n\r\n" of the request, or -1.
i64 find_body(const char* req, i64 req_len);

// The value of the first header of the request's header block (the lines after the
// request line, up to the blank line) whose name equals name without regard to case,
// with the blanks around it removed. Nothing in the body counts. False when there is none.
bool find_header(const char* req, i64 req_len, const char* name, ByteSpan* value);

// The "cmd" value of the body, raw (no escape decoding), cut to capacity, NUL after it.
// -1: no blank line or no usable "cmd" key; otherwise the bytes stored (0 for an empty
// value or one without a closing quote). out must hold capacity + 1 bytes.
i64 read_cmd_field(const char* req, i64 req_len, char* out, i64 capacity);

// The first string value of "key" anywhere in the request, escapes decoded, at most
// capacity bytes stored and a NUL after them. 0 when missing or empty.
i64 read_string_field(const char* req, i64 req_len, const char* key, i64 key_len, char* out, i64 capacity);

// The whole number a setting line's value holds: decimal digits with blanks around them, and
// optionally a comment from "#" on ("5  # runs per minute"). -1 for anything else (a sign,
// a letter, a second number, no digit at all, or more than fits in an i64), so a value the
// line does not plainly say is never read into it.
i64 setting_value(const char* text, i64 len);

// The integer value of member key of the request's JSON body.
enum IntegerFieldStatus { k_integer_given, k_integer_missing, k_integer_invalid };
struct IntegerField {
    IntegerFieldStatus status;
    i64 value; // when given
};
// missing: no body, or no such member; invalid: the member is not a JSON integer (a string,
// a fraction, an exponent, or one past 64 bits).
IntegerField read_integer_member(const char* req, i64 req_len, const char* key);


// The digits after the first "key": and any colons or blanks; -1 when the key is missing,
// 0 when no digit follows.
i64 read_number_field(const char* req, i64 req_len, const char* key, i64 key_len);
