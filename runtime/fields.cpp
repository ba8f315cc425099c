#include "runtime/fields.h"
#include "runtime/json_reader.h"
#include "runtime/text.h"

i64 find_body(const char* req, i64 req_len)
{
    for (i64 j = 0; j < req_len - 3; j++)
        if (req[j] == '\r' && req[j + 1] == '\n' && req[j + 2] == '\r' && req[j + 3] == '\n')
            return j + 4;
    return -1;
}

static char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? (char)(c + 32) : c; }

static bool name_is(const char* line, i64 len, const char* name, i64 name_len)
{
    if (len <= name_len || line[name_len] != ':')
        return false;
    for (i64 i = 0; i < name_len; i++)
        if (lower_ascii(line[i]) != lower_ascii(name[i]))
            return false;
    return true;
}

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool find_header(const char* req, i64 req_len, const char* name, ByteSpan* value)
{
    i64 body = find_body(req, req_len);
    i64 end = body < 0 ? req_len : body;
    i64 name_len = text_length(name);
    i64 start = find_bytes(req, end, 0, "\n", 1);
    while (start >= 0 && start + 1 < end) {
        start++;
        i64 stop = find_bytes(req, end, start, "\n", 1);
        i64 line_end = stop < 0 ? end : stop;
        i64 len = line_end - start;
        if (len > 0 && req[start + len - 1] == '\r')
            len--;
        if (len == 0)
            return false;
        if (name_is(req + start, len, name, name_len)) {
            i64 from = start + name_len + 1, to = start + len;
            while (from < to && is_blank(req[from]))
                from++;
            while (to > from && is_blank(req[to - 1]))
                to--;
            *value = { req + from, to - from };
            return true;
        }
        start = stop;
    }
    return false;
}

// Offset of the value's opening quote after a "cmd" key at i, or -1 when another byte
// comes first.
static i64 cmd_value_quote(const char* req, i64 req_len, i64 i)
{
    for (i64 k = i + 5; k < req_len; k++) {
        if (req[k] == '"')
            return k;
        if (req[k] != ' ' && req[k] != ':')
            return -1;
    }
    return -1;
}

i64 read_cmd_field(const char* req, i64 req_len, char* out, i64 capacity)
{
    i64 body = find_body(req, req_len);
    if (body < 0)
        return -1;
    for (i64 i = body; i < req_len - 6; i++) {
        if (!bytes_equal(req + i, "\"cmd\"", 5))
            continue;
        i64 quote = cmd_value_quote(req, req_len, i);
        if (quote < 0)
            continue;
        i64 end = quote + 1;
        while (end < req_len && req[end] != '"')
            end++;
        if (end >= req_len) {
            out[0] = 0;
            return 0;
        }
        i64 len = end - quote - 1;
        if (len > capacity)
            len = capacity;
        copy_bytes(out, req + quote + 1, len);
        out[len] = 0;
        return len;
    }
    return -1;
}

// Offset just after the closing quote of the first "key" in the request, or -1.
// limit_slack is how far before the end the search stops (4 for strings, 3 for numbers).
static i64 find_quoted_key(const char* req, i64 req_len, const char* key, i64 key_len, i64 limit_slack)
{
    for (i64 p = 0; p < req_len - key_len - limit_slack; p++)
        if (req[p] == '"' && bytes_equal(req + p + 1, key, key_len) && req[p + key_len + 1] == '"')
            return p + key_len + 2;
    return -1;
}

i64 read_string_field(const char* req, i64 req_len, const char* key, i64 key_len, char* out, i64 capacity)
{
    out[0] = 0;
    i64 i = find_quoted_key(req, req_len, key, key_len, 4);
    if (i < 0)
        return 0;
    while (i < req_len && req[i] != '"')
        i++;
    if (i >= req_len)
        return 0;
    i++;
    i64 stored = 0;
    while (i < req_len && req[i] != '"') {
        char c = req[i++];
        if (c == '\\') {
            if (i >= req_len)
                break;
            char e = req[i++];
            c = e == 'n' ? '\n' : e == 't' ? '\t' : e;
        }
        if (stored < capacity)
            out[stored++] = c;
    }
    out[stored] = 0;
    return stored;
}

static i64 add_digit(i64 value, char digit) { return value > (k_i64_max - 9) / 10 ? k_i64_max : value * 10 + (digit - '0'); }

i64 setting_value(const char* text, i64 len)
{
    i64 i = 0;
    while (i < len && is_blank(text[i]))
        i++;
    i64 value = 0;
    i64 digits = 0;
    for (; i < len && text[i] >= '0' && text[i] <= '9'; i++, digits++) {
        if (value > (k_i64_max - (text[i] - '0')) / 10)
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    while (i < len && is_blank(text[i]))
        i++;
    if (digits == 0 || (i < len && text[i] != '#'))
        return -1;
    return value;
}

IntegerField read_integer_member(const char* req, i64 req_len, const char* key)
{
    i64 body = find_body(req, req_len);
    if (body < 0)
        return { k_integer_missing, 0 };
    const char* json = req + body;
    i64 len = req_len - body;
    i64 value = json_find_member(json, len, 0, key, text_length(key));
    if (value < 0)
        return { k_integer_missing, 0 };
    JsonInteger number = json_read_integer(json, len, value);
    return number.ok ? IntegerField { k_integer_given, number.value } : IntegerField { k_integer_invalid, 0 };
}

i64 read_number_field(const char* req, i64 req_len, const char* key, i64 key_len)
{
    i64 i = find_quoted_key(req, req_len, key, key_len, 3);
    if (i < 0)
        return -1;
    while (i < req_len && (req[i] == ':' || req[i] == ' '))
        i++;
    i64 value = 0;
    // Saturates instead of wrapping: a huge number stays huge and positive.
    while (i < req_len && req[i] >= '0' && req[i] <= '9')
        value = add_digit(value, req[i++]);
    return value;
}
