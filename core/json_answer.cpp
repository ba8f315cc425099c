#include "core/json_answer.h"
#include "core/http_response.h"
#include "runtime/heap.h"

JsonAnswer::JsonAnswer(i64 capacity)
    : body_((char*)heap_alloc((u64)capacity))
    , pos_(0)
{
    pos_ = append_text(body_, 0, R"({"ok":true)");
}

i64 JsonAnswer::key(const char* name)
{
    pos_ = append_text(body_, pos_, R"(,")");
    pos_ = append_text(body_, pos_, name);
    return pos_ = append_text(body_, pos_, R"(":)");
}

JsonAnswer& JsonAnswer::number(const char* name, i64 value)
{
    key(name);
    pos_ = append_decimal(body_, pos_, value);
    return *this;
}

JsonAnswer& JsonAnswer::text(const char* name, ByteSpan value)
{
    key(name);
    pos_ = append_json_string(body_, pos_, value.ptr, value.len);
    return *this;
}

void JsonAnswer::send(int conn)
{
    pos_ = append_byte(body_, pos_, '}');
    send_json(conn, 200, "OK", body_, pos_);
}
