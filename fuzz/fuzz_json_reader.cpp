// Every function of the JSON reader on arbitrary text. The first two bytes of the input
// choose a start offset and a buffer capacity; the rest is the text, copied into a buffer
// of exactly its length so that any read past the end is caught. The checks are what the
// reader's callers rely on: every offset it returns lies inside the text, a decoded string
// never exceeds its buffer and is NUL-terminated, a value's end does not depend on what
// follows it, and a member is found by the name its own object spells.
#include "fuzz/fuzz_support.h"
#include "runtime/json_reader.h"
#include <errno.h>
#include <stdlib.h>
#include <string>
#include <vector>

static constexpr i64 k_text_max = 1 << 16;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_setup();
    return 0;
}

static bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

static void check_skip_blanks(const char* json, i64 len, i64 pos)
{
    i64 after = json_skip_blanks(json, len, pos);
    fuzz_check(after >= pos && after <= len, "skip_blanks offset");
    for (i64 i = pos; i < after; i++)
        fuzz_check(is_blank(json[i]), "skip_blanks passed a non-blank");
    fuzz_check(after == len || !is_blank(json[after]), "skip_blanks stopped at a blank");
}

static void check_value_end(const char* json, i64 len, i64 pos)
{
    i64 end = json_value_end(json, len, pos);
    fuzz_check(end == -1 || (end > pos && end <= len), "value_end offset");
    if (end < 0)
        return;
    fuzz_check(!is_blank(json[end - 1]), "value_end after a blank");
    // The value ends where it ends whatever follows: the text cut there gives the same end.
    ExactCopy cut(json, (size_t)end, end);
    fuzz_check(json_value_end(cut.bytes, cut.len, pos) == end, "value_end depends on what follows");
}

// Decodes the string at pos with a large buffer and with a small one; returns the large
// result and fills whole with its bytes.
static JsonString check_decode_string(const char* json, i64 len, i64 pos, i64 small_capacity, std::vector<char>* whole)
{
    whole->assign((size_t)len + 1, 'x');
    JsonString full = json_decode_string(json, len, pos, whole->data(), len);
    fuzz_check(full.end == -1 || (full.end > pos && full.end <= len), "decode_string offset");
    fuzz_check(full.stored >= 0 && full.stored <= len && full.stored <= full.decoded, "decode_string stored");
    fuzz_check((*whole)[(size_t)full.stored] == 0, "decode_string without NUL");
    if (full.end < 0) {
        fuzz_check(full.stored == 0 && full.decoded == 0, "failed decode_string stored bytes");
        return full;
    }
    // No escape decodes to more bytes than it is written with (quotes excluded).
    i64 start = json_skip_blanks(json, len, pos);
    fuzz_check(json[start] == '"' && json[full.end - 1] == '"', "decode_string quotes");
    fuzz_check(full.decoded <= full.end - start - 2, "decode_string grew");
    fuzz_check(full.stored == full.decoded, "decode_string cut with room to spare");

    ExactCopy small(nullptr, 0, 0, small_capacity + 1);
    memset(small.bytes, 'y', (size_t)small_capacity + 1);
    JsonString part = json_decode_string(json, len, pos, small.bytes, small_capacity);
    fuzz_check(part.end == full.end && part.decoded == full.decoded, "decode_string depends on capacity");
    fuzz_check(part.stored <= small_capacity && part.stored <= full.stored, "decode_string past capacity");
    fuzz_check(small.bytes[part.stored] == 0, "cut decode_string without NUL");
    fuzz_check(memcmp(small.bytes, whole->data(), (size_t)part.stored) == 0, "cut decode_string differs");
    return full;
}

static void check_integer(const char* json, i64 len, i64 pos)
{
    JsonInteger number = json_read_integer(json, len, pos);
    i64 start = json_skip_blanks(json, len, pos);
    i64 end = start;
    if (end < len && json[end] == '-')
        end++;
    i64 digits_from = end;
    while (end < len && json[end] >= '0' && json[end] <= '9')
        end++;
    bool plain = end > digits_from && (json[digits_from] != '0' || end == digits_from + 1);
    bool fraction = end < len && (json[end] == '.' || json[end] == 'e' || json[end] == 'E');
    if (!plain || fraction) {
        fuzz_check(!number.ok || (plain && !fraction), "read_integer took a non-integer");
        return;
    }
    std::string text(json + start, (size_t)(end - start));
    errno = 0;
    long long expected = strtoll(text.c_str(), nullptr, 10);
    bool fits = errno != ERANGE;
    fuzz_check(number.ok == fits, "read_integer range");
    fuzz_check(!fits || number.value == expected, "read_integer value");
}

// When the text is an object whose first member name decodes in full, looking that name up
// finds the first member's value.
static void check_find_member(const char* json, i64 len, i64 object_pos)
{
    i64 open = json_skip_blanks(json, len, object_pos);
    if (open >= len || json[open] != '{')
        return fuzz_check(json_find_member(json, len, object_pos, "a", 1) == -1, "find_member without an object");
    i64 name = json_skip_blanks(json, len, open + 1);
    std::vector<char> key;
    JsonString decoded = check_decode_string(json, len, name, 0, &key);
    i64 found = json_find_member(json, len, object_pos, key.data(), decoded.stored);
    fuzz_check(found == -1 || (found > open && found < len), "find_member offset");
    if (decoded.end < 0)
        return fuzz_check(found == -1, "find_member with a malformed first name");
    i64 colon = json_skip_blanks(json, len, decoded.end);
    i64 value = colon < len && json[colon] == ':' ? json_skip_blanks(json, len, colon + 1) : -1;
    fuzz_check(found == (value < len ? value : -1), "find_member missed the first member");
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size)
{
    if (size < 2)
        return 0;
    ExactCopy text(data + 2, size - 2, k_text_max);
    i64 pos = text.len == 0 ? 0 : data[0] % (text.len + 1);
    i64 small_capacity = data[1] % 16;
    std::vector<char> scratch;
    for (i64 at : { (i64)0, pos }) {
        check_skip_blanks(text.bytes, text.len, at);
        check_value_end(text.bytes, text.len, at);
        check_decode_string(text.bytes, text.len, at, small_capacity, &scratch);
        check_integer(text.bytes, text.len, at);
        check_find_member(text.bytes, text.len, at);
    }
    return 0;
}
