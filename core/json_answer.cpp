#include "core/json_answer.h"
#include "core/http_response.h"
#include "runtime/heap.h"

// Room each key takes at most: a comma, its quotes and colon, and up to 31 bytes of name.
static constexpr i64 k_key_max = 36;

JsonAnswer::JsonAnswer(i64 capacity)
    : body_((char*)heap_alloc((u64)capacity))
    , pos_(0)
    , capacity_(body_ ? capacity : 0)
{
    reserve(16);
    if (body_)
        pos_ = append_text(body_, 0, R"({"ok":true)");
}

bool JsonAnswer::reserve(i64 bytes)
{
    if (!body_ || pos_ + bytes > capacity_)
        body_ = nullptr;
    return body_ != nullptr;
}

i64 JsonAnswer::key(const char* name)
{
    pos_ = append_text(body_, pos_, R"(,")");
    pos_ = append_text(body_, pos_, name);
    return pos_ = append_text(body_, pos_, R"(":)");
}

JsonAnswer& JsonAnswer::number(const char* name, i64 value)
{
    if (!reserve(k_key_max + k_decimal_max))
        return *this;
    key(name);
    pos_ = append_decimal(body_, pos_, value);
    return *this;
}

JsonAnswer& JsonAnswer::flag(const char* name, bool value)
{
    if (!reserve(k_key_max + k_decimal_max))
        return *this;
    key(name);
    pos_ = append_text(body_, pos_, value ? "true" : "false");
    return *this;
}

JsonAnswer& JsonAnswer::text(const char* name, ByteSpan value)
{
    if (!reserve(k_key_max + k_json_string_max(value.len)))
        return *this;
    key(name);
    pos_ = append_json_string(body_, pos_, value.ptr, value.len);
    return *this;
}

void JsonAnswer::send(int conn)
{
    if (!reserve(1))
        return send_memory_exhausted(conn);
    pos_ = append_byte(body_, pos_, '}');
    send_json(conn, 200, "OK", body_, pos_);
}
