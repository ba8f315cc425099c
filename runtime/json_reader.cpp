#include "runtime/json_reader.h"

static constexpr i64 k_i64_min = -k_i64_max - 1;

static bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
static bool is_digit(char c) { return c >= '0' && c <= '9'; }

static i64 hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The four hex digits at pos as a number, or -1 when one is not a hex digit or the text
// ends first.
static i64 hex4(const char* json, i64 len, i64 pos)
{
    if (pos + 4 > len)
        return -1;
    i64 value = 0;
    for (i64 k = 0; k < 4; k++) {
        i64 digit = hex_value(json[pos + k]);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

i64 json_skip_blanks(const char* json, i64 len, i64 pos)
{
    while (pos < len && is_blank(json[pos]))
        pos++;
    return pos;
}

// The letters that may follow a backslash, besides u.
static bool is_simple_escape(char c)
{
    for (const char* p = "\"\\/bfnrt"; *p; p++)
        if (*p == c)
            return true;
    return false;
}

// Offset after the closing quote of the string whose opening quote is at pos, or -1 for a
// bad escape or a missing closing quote.
static i64 string_end(const char* json, i64 len, i64 pos)
{
    for (i64 i = pos + 1; i < len;) {
        if (json[i] == '"')
            return i + 1;
        if (json[i] != '\\') {
            i++;
            continue;
        }
        if (i + 1 >= len)
            return -1;
        char escape = json[i + 1];
        if (escape == 'u') {
            if (hex4(json, len, i + 2) < 0)
                return -1;
            i += 6;
            continue;
        }
        if (!is_simple_escape(escape))
            return -1;
        i += 2;
    }
    return -1;
}

// Offset after the number at pos (JSON's grammar: no plus sign, no leading zeros), or -1.
static i64 number_end(const char* json, i64 len, i64 pos)
{
    i64 i = pos;
    if (i < len && json[i] == '-')
        i++;
    if (i >= len || !is_digit(json[i]))
        return -1;
    // A leading zero is the whole integer part: "01" is no number, not 0 followed by junk.
    if (json[i] == '0') {
        i++;
        if (i < len && is_digit(json[i]))
            return -1;
    } else
        while (i < len && is_digit(json[i]))
            i++;
    if (i < len && json[i] == '.') {
        i++;
        if (i >= len || !is_digit(json[i]))
            return -1;
        while (i < len && is_digit(json[i]))
            i++;
    }
    if (i < len && (json[i] == 'e' || json[i] == 'E')) {
        i++;
        if (i < len && (json[i] == '+' || json[i] == '-'))
            i++;
        if (i >= len || !is_digit(json[i]))
            return -1;
        while (i < len && is_digit(json[i]))
            i++;
    }
    return i;
}

static i64 literal_end(const char* json, i64 len, i64 pos, const char* word)
{
    i64 n = text_length(word);
    if (pos + n > len)
        return -1;
    for (i64 k = 0; k < n; k++)
        if (json[pos + k] != word[k])
            return -1;
    return pos + n;
}

// Offset after a value that is neither an object nor an array, or -1.
static i64 scalar_end(const char* json, i64 len, i64 pos)
{
    switch (json[pos]) {
    case '"': return string_end(json, len, pos);
    case 't': return literal_end(json, len, pos, "true");
    case 'f': return literal_end(json, len, pos, "false");
    case 'n': return literal_end(json, len, pos, "null");
    default: return number_end(json, len, pos);
    }
}

// After a member's name at pos: the name, blanks, a colon and blanks; returns the offset
// of the member's value, or -1.
static i64 member_value_start(const char* json, i64 len, i64 pos)
{
    if (pos >= len || json[pos] != '"')
        return -1;
    pos = string_end(json, len, pos);
    if (pos < 0)
        return -1;
    pos = json_skip_blanks(json, len, pos);
    if (pos >= len || json[pos] != ':')
        return -1;
    pos = json_skip_blanks(json, len, pos + 1);
    return pos < len ? pos : -1;
}

// The containers still open are kept as one bit each (1 for an object) in a 64-bit word,
// so stepping over a nested value needs no stack beyond k_json_max_depth bits.
i64 json_value_end(const char* json, i64 len, i64 pos)
{
    u64 objects = 0;
    i64 depth = 0;
    pos = json_skip_blanks(json, len, pos);
    for (;;) {
        if (pos < 0 || pos >= len)
            return -1;
        char c = json[pos];
        if (c == '{' || c == '[') {
            if (depth == k_json_max_depth)
                return -1;
            bool object = c == '{';
            objects = (objects << 1) | (object ? 1 : 0);
            depth++;
            pos = json_skip_blanks(json, len, pos + 1);
            if (pos < len && json[pos] == (object ? '}' : ']')) {
                objects >>= 1;
                depth--;
                pos++;
            } else {
                pos = object ? member_value_start(json, len, pos) : pos;
                continue;
            }
        } else {
            pos = scalar_end(json, len, pos);
            if (pos < 0)
                return -1;
        }
        // A value has ended at pos: close containers or move to the next element.
        for (;;) {
            if (depth == 0)
                return pos;
            bool object = objects & 1;
            pos = json_skip_blanks(json, len, pos);
            if (pos >= len)
                return -1;
            if (json[pos] == ',') {
                pos = json_skip_blanks(json, len, pos + 1);
                pos = object ? member_value_start(json, len, pos) : pos;
                break;
            }
            if (json[pos] != (object ? '}' : ']'))
                return -1;
            objects >>= 1;
            depth--;
            pos++;
        }
    }
}

static i64 append_utf8(u8* out, u32 code_point)
{
    if (code_point < 0x80) {
        out[0] = (u8)code_point;
        return 1;
    }
    if (code_point < 0x800) {
        out[0] = (u8)(0xC0 | (code_point >> 6));
        out[1] = (u8)(0x80 | (code_point & 0x3F));
        return 2;
    }
    if (code_point < 0x10000) {
        out[0] = (u8)(0xE0 | (code_point >> 12));
        out[1] = (u8)(0x80 | ((code_point >> 6) & 0x3F));
        out[2] = (u8)(0x80 | (code_point & 0x3F));
        return 3;
    }
    out[0] = (u8)(0xF0 | (code_point >> 18));
    out[1] = (u8)(0x80 | ((code_point >> 12) & 0x3F));
    out[2] = (u8)(0x80 | ((code_point >> 6) & 0x3F));
    out[3] = (u8)(0x80 | (code_point & 0x3F));
    return 4;
}

static u8 simple_escape(char c)
{
    switch (c) {
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return (u8)c; // the quote, the backslash and the slash stand for themselves
    }
}

// Decodes one byte or escape at i of a string already checked by string_end, whose
// closing quote is at stop. Writes 1 to 4 bytes to unit, stores their count in *unit_len
// and returns the offset of what follows.
static i64 decode_unit(const char* json, i64 i, i64 stop, u8* unit, i64* unit_len)
{
    if (json[i] != '\\') {
        unit[0] = (u8)json[i];
        *unit_len = 1;
        return i + 1;
    }
    if (json[i + 1] != 'u') {
        unit[0] = simple_escape(json[i + 1]);
        *unit_len = 1;
        return i + 2;
    }
    u32 code_point = (u32)hex4(json, stop, i + 2);
    i += 6;
    if (code_point >= 0xD800 && code_point <= 0xDBFF && i + 6 <= stop && json[i] == '\\' && json[i + 1] == 'u') {
        i64 low = hex4(json, stop, i + 2);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            code_point = 0x10000 + ((code_point - 0xD800) << 10) + (u32)(low - 0xDC00);
            i += 6;
        }
    }
    if (code_point >= 0xD800 && code_point <= 0xDFFF)
        code_point = 0xFFFD; // a surrogate without its partner has no UTF-8 form
    *unit_len = append_utf8(unit, code_point);
    return i;
}

JsonString json_decode_string(const char* json, i64 len, i64 pos, char* out, i64 capacity)
{
    out[0] = 0;
    pos = json_skip_blanks(json, len, pos);
    if (pos >= len || json[pos] != '"')
        return { -1, 0, 0 };
    i64 end = string_end(json, len, pos);
    if (end < 0)
        return { -1, 0, 0 };
    JsonString result = { end, 0, 0 };
    bool full = false;
    u8 unit[4];
    for (i64 i = pos + 1; i < end - 1;) {
        i64 unit_len = 0;
        i = decode_unit(json, i, end - 1, unit, &unit_len);
        // Once a unit does not fit, nothing after it is stored either.
        if (!full && result.stored + unit_len <= capacity) {
            copy_bytes(out + result.stored, unit, unit_len);
            result.stored += unit_len;
        } else {
            full = true;
        }
        result.decoded += unit_len;
    }
    out[result.stored] = 0;
    return result;
}

// 1 when the string whose opening quote is at pos and whose end string_end gave decodes to
// exactly the key_len bytes of key.
static bool string_equals(const char* json, i64 pos, i64 end, const char* key, i64 key_len)
{
    i64 matched = 0;
    u8 unit[4];
    for (i64 i = pos + 1; i < end - 1;) {
        i64 unit_len = 0;
        i = decode_unit(json, i, end - 1, unit, &unit_len);
        if (matched + unit_len > key_len)
            return false;
        for (i64 k = 0; k < unit_len; k++)
            if ((u8)key[matched + k] != unit[k])
                return false;
        matched += unit_len;
    }
    return matched == key_len;
}

i64 json_find_member(const char* json, i64 len, i64 object_pos, const char* key, i64 key_len)
{
    i64 pos = json_skip_blanks(json, len, object_pos);
    if (pos >= len || json[pos] != '{')
        return -1;
    pos = json_skip_blanks(json, len, pos + 1);
    while (pos < len && json[pos] == '"') {
        i64 name_end = string_end(json, len, pos);
        if (name_end < 0)
            return -1;
        bool match = string_equals(json, pos, name_end, key, key_len);
        i64 value = member_value_start(json, len, pos);
        if (value < 0 || match)
            return value;
        pos = json_value_end(json, len, value);
        if (pos < 0)
            return -1;
        pos = json_skip_blanks(json, len, pos);
        if (pos >= len || json[pos] != ',')
            return -1; // the closing brace, or malformed: either way the key is absent
        pos = json_skip_blanks(json, len, pos + 1);
    }
    return -1;
}

JsonMemberStep json_next_member(const char* json, i64 len, i64 object_pos, const JsonMember* previous, JsonMember* member)
{
    i64 pos = json_skip_blanks(json, len, previous ? previous->end : object_pos);
    if (pos >= len)
        return k_json_members_malformed;
    if (previous == nullptr) {
        if (json[pos] != '{')
            return k_json_members_malformed;
        pos = json_skip_blanks(json, len, pos + 1);
        if (pos < len && json[pos] == '}')
            return k_json_members_end;
    } else {
        if (json[pos] == '}')
            return k_json_members_end;
        if (json[pos] != ',')
            return k_json_members_malformed;
        pos = json_skip_blanks(json, len, pos + 1);
    }
    i64 value = member_value_start(json, len, pos);
    i64 end = value < 0 ? -1 : json_value_end(json, len, value);
    if (end < 0)
        return k_json_members_malformed;
    *member = { pos, value, end };
    return k_json_member;
}

JsonInteger json_read_integer(const char* json, i64 len, i64 pos)
{
    pos = json_skip_blanks(json, len, pos);
    i64 end = pos < len ? number_end(json, len, pos) : -1;
    if (end < 0)
        return { false, 0 };
    bool negative = json[pos] == '-';
    // Digits accumulate below zero, where the 64-bit range is one larger.
    i64 value = 0;
    for (i64 i = pos + (negative ? 1 : 0); i < end; i++) {
        if (!is_digit(json[i]))
            return { false, 0 }; // a fraction or an exponent
        i64 digit = json[i] - '0';
        if (value < (k_i64_min + digit) / 10)
            return { false, 0 };
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == k_i64_min)
            return { false, 0 };
        value = -value;
    }
    return { true, value };
}
