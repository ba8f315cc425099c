// Only the first "Authorization: Basic " counts: a request cannot try several credentials
// in one go, and a token that merely begins with the credential is refused.
#include "fleet/fleet_auth.h"
#include "runtime/text.h"

static constexpr char k_basic_prefix[] = "Authorization: Basic ";
static constexpr i64 k_basic_prefix_len = sizeof(k_basic_prefix) - 1;

i64 find_basic_credential(const char* req, i64 req_len)
{
    for (i64 pos = 0; pos < req_len - k_basic_prefix_len; pos++)
        if (bytes_equal(req + pos, k_basic_prefix, k_basic_prefix_len))
            return pos + k_basic_prefix_len;
    return -1;
}

i64 fleet_request_authorized(const char* req, i64 req_len)
{
    i64 start = find_basic_credential(req, req_len);
    if (start < 0)
        return 0;
    i64 end = start + k_fleet_credential_len;
    if (end > req_len || !bytes_equal(req + start, k_fleet_credential, k_fleet_credential_len))
        return 0;
    if (end == req_len)
        return 1;
    char next = req[end];
    return next == '\r' || next == '\n' || next == ' ';
}
