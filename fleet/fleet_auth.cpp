// Only the first Authorization header counts: a request cannot try several credentials in
// one go, and a token that merely begins with the credential is refused.
#include "fleet/fleet_auth.h"
#include "runtime/fields.h"
#include "runtime/text.h"

static constexpr char k_basic_scheme[] = "basic";
static constexpr i64 k_basic_scheme_len = sizeof(k_basic_scheme) - 1;

static char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? (char)(c + 32) : c; }

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The token of a "Basic <token>" header value, or an empty span when the scheme is another.
static ByteSpan basic_token(ByteSpan value)
{
    if (value.len <= k_basic_scheme_len || !is_blank(value.ptr[k_basic_scheme_len]))
        return { value.ptr, 0 };
    for (i64 i = 0; i < k_basic_scheme_len; i++)
        if (lower_ascii(value.ptr[i]) != k_basic_scheme[i])
            return { value.ptr, 0 };
    i64 start = k_basic_scheme_len;
    while (start < value.len && is_blank(value.ptr[start]))
        start++;
    return { value.ptr + start, value.len - start };
}

bool fleet_request_authorized(const char* req, i64 req_len, ByteSpan credential)
{
    ByteSpan value {};
    if (!find_header(req, req_len, "Authorization", &value))
        return false;
    ByteSpan token = basic_token(value);
    return token.len > 0 && equal_in_constant_time(token, credential);
}
