// A request target's query ("agent=a%20b&limit=5") and path segments: named parameters
// and percent-decoding (RFC 3986: "%" and two hex digits stand for that byte; "+" is
// itself). Pure.
#pragma once
#include "runtime/types.h"

// The raw value of the first parameter named name (exactly, before any "="); ptr nullptr
// when the query has none. A parameter without "=" has the empty value.
ByteSpan query_param(ByteSpan query, const char* name);

// Decodes src into out, which holds capacity bytes: each "%XX" with two hex digits becomes
// its byte; a "%" without them is kept as it is. Returns the decoded length, or -1 when it
// would pass capacity (nothing past out + capacity is written).
i64 percent_decode(ByteSpan src, char* out, i64 capacity);

// The whole number a parameter value holds: 1 to 18 decimal digits and nothing else; -1
// otherwise.
i64 query_number(ByteSpan value);
