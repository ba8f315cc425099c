// The writer of the success answers of actions: {"ok":true, then one key and value per
// call in the caller's order, then }, sent with status 200. Numbers in plain decimal,
// texts through append_json_string.
#pragma once
#include "runtime/text.h"
#include "runtime/types.h"

class JsonAnswer {
public:
    // capacity: the answer's worst case, from json_answer_size. An answer that would pass
    // it (or whose memory could not be had) is not built; send answers 503 instead.
    explicit JsonAnswer(i64 capacity);

    JsonAnswer& number(const char* key, i64 value);
    JsonAnswer& text(const char* key, ByteSpan value);
    // true or false; takes the room of a number.
    JsonAnswer& flag(const char* key, bool value);

    // Closes the object and sends it as 200 "OK".
    void send(int conn);

    // The bytes so far (the closing brace is added by send); for tests. ptr is nullptr once
    // the answer has outgrown its capacity.
    ByteSpan body() const { return { body_, pos_ }; }

private:
    // Whether bytes more fit; once one does not, the answer is given up.
    bool reserve(i64 bytes);
    i64 key(const char* name);

    char* body_;
    i64 pos_;
    i64 capacity_;
};

// Room for an answer of numbers numbers (flags count as numbers) and texts whose lengths
// add up to text_bytes, keys of at most 31 bytes each.
constexpr i64 json_answer_size(i64 numbers, i64 texts, i64 text_bytes)
{
    return 16 + (numbers + texts) * 36 + numbers * k_decimal_max + texts * 2 + 6 * text_bytes;
}
