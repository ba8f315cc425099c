// The browser's cached login for the dashboard goes with every request the browser makes
// to this origin, whoever's page asked for it, so an Authorization header proves nothing
// about who wrote the request. What a page of another origin cannot do without a
// preflight (which this server would answer, but which names its origin) is send a
// Content-Type outside the three a form can send; that is the test here.
#include "server/request_guard.h"
#include "core/config.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? (char)(c + 32) : c; }

static bool equal_ignoring_case(ByteSpan a, const char* b, i64 b_len)
{
    if (a.len != b_len)
        return false;
    for (i64 i = 0; i < b_len; i++)
        if (lower_ascii(a.ptr[i]) != lower_ascii(b[i]))
            return false;
    return true;
}

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Four decimal parts of at most 255, separated by dots.
static bool is_ipv4(ByteSpan host)
{
    i64 parts = 0, value = 0, digits = 0;
    for (i64 i = 0; i <= host.len; i++) {
        if (i == host.len || host.ptr[i] == '.') {
            if (digits == 0 || value > 255)
                return false;
            parts++;
            value = digits = 0;
            continue;
        }
        if (!is_digit(host.ptr[i]) || digits == 3)
            return false;
        value = value * 10 + (host.ptr[i] - '0');
        digits++;
    }
    return parts == 4;
}

// The host of a Host header value: without the port, and an IPv6 literal with its brackets.
static ByteSpan host_without_port(ByteSpan value)
{
    if (value.len > 0 && value.ptr[0] == '[') {
        i64 close = find_bytes(value.ptr, value.len, 0, "]", 1);
        return { value.ptr, close < 0 ? value.len : close + 1 };
    }
    i64 colon = find_bytes(value.ptr, value.len, 0, ":", 1);
    return { value.ptr, colon < 0 ? value.len : colon };
}

bool host_allowed_for(ByteSpan host, ByteSpan own_name)
{
    if (server_names_allow_any())
        return true;
    ByteSpan name = host_without_port(host);
    // A fully qualified name may end in a dot.
    if (name.len > 1 && name.ptr[name.len - 1] == '.')
        name.len--;
    if (name.len == 0)
        return false;
    if (name.ptr[0] == '[' || is_ipv4(name))
        return true;
    if (equal_ignoring_case(name, "localhost", 9))
        return true;
    if (own_name.len > 0 && equal_ignoring_case(name, own_name.ptr, own_name.len))
        return true;
    return server_name_listed(name);
}

bool host_allowed(const Request& request)
{
    ByteSpan host {};
    if (!request_header(request, "Host", &host))
        return true;
    utsname_k names {};
    ByteSpan own {};
    if (sys_uname(&names) == 0)
        own = { names.nodename, text_length_max(names.nodename, sizeof(names.nodename)) };
    return host_allowed_for(host, own);
}

static bool state_changing(ByteSpan method)
{
    return span_equals(method, "POST") || span_equals(method, "PUT") || span_equals(method, "DELETE");
}

// The Origin is this server's own page: http or https, then exactly the Host header.
static bool own_origin(ByteSpan origin, ByteSpan host)
{
    static constexpr const char* k_schemes[] = { "http://", "https://" };
    for (const char* scheme : k_schemes) {
        i64 len = text_length(scheme);
        if (origin.len == len + host.len && equal_ignoring_case({ origin.ptr, len }, scheme, len) &&
            equal_ignoring_case({ origin.ptr + len, host.len }, host.ptr, host.len))
            return true;
    }
    return false;
}

// A type a form or a simple request can send; parameters after ";" do not count.
static bool simple_content_type(const Request& request)
{
    ByteSpan type {};
    if (!request_header(request, "Content-Type", &type))
        return true;
    i64 semicolon = find_bytes(type.ptr, type.len, 0, ";", 1);
    if (semicolon >= 0)
        type.len = semicolon;
    while (type.len > 0 && (type.ptr[type.len - 1] == ' ' || type.ptr[type.len - 1] == '\t'))
        type.len--;
    return type.len == 0 || equal_ignoring_case(type, "text/plain", 10) ||
        equal_ignoring_case(type, "application/x-www-form-urlencoded", 33) || equal_ignoring_case(type, "multipart/form-data", 19);
}

static bool targets_api(ByteSpan path)
{
    return (path.len >= 5 && bytes_equal(path.ptr, "/api/", 5)) || span_equals(path, "/mcp");
}

bool cross_site_request(const Request& request)
{
    ByteSpan mode {};
    if (targets_api(request.path) && request_header(request, "Sec-Fetch-Mode", &mode) &&
        (equal_ignoring_case(mode, "navigate", 8) || equal_ignoring_case(mode, "no-cors", 7)))
        return true;
    ByteSpan origin {};
    if (!state_changing(request.method) || !request_header(request, "Origin", &origin))
        return false;
    ByteSpan host {};
    if (request_header(request, "Host", &host) && own_origin(origin, host))
        return false;
    return simple_content_type(request);
}
