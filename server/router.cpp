// Requests are recognised on their raw bytes: the method by its first bytes, the path at
// offset 5 after POST and offset 4 otherwise. Routes that share a prefix are tested
// longer first (/api/policy/reload before /api/policy).
#include "server/router.h"
#include "admin/file_read.h"
#include "admin/file_write.h"
#include "admin/mcp_endpoint.h"
#include "admin/policy_endpoints.h"
#include "admin/reports.h"
#include "admin/settings.h"
#include "agents/agent_tokens.h"
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/change_log.h"
#include "core/http_response.h"
#include "core/state.h"
#include "dashboard/admin_page.h"
#include "exec/exec_endpoint.h"
#include "exec/workspace.h"
#include "policy/policy_file.h"
#include "runtime/fields.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/text.h"
#include "server/request_guard.h"

static constexpr char k_unauthorized[] = "HTTP/1.1 401 Unauthorized\r\n"
                                         "WWW-Authenticate: Basic realm=\"Cindervox\"\r\n"
                                         "Content-Type: application/json\r\n"
                                         "Content-Length: 42\r\n"
                                         "Access-Control-Allow-Origin: *\r\n"
                                         "\r\n"
                                         R"({"ok":false,"error":"invalid credentials"})";

// Who a request comes from, by its Authorization header alone.
struct Caller {
    enum Kind { k_stranger, k_admin, k_agent } kind;
    i64 agent_token;
};

// The credential after a scheme word (compared without regard to case) and its blanks;
// false when the value names another scheme.
static bool credential_after(ByteSpan value, const char* scheme, ByteSpan* credential)
{
    i64 len = text_length(scheme);
    if (value.len <= len || (value.ptr[len] != ' ' && value.ptr[len] != '\t'))
        return false;
    for (i64 i = 0; i < len; i++)
        if ((value.ptr[i] | 0x20) != scheme[i])
            return false;
    i64 from = len;
    while (from < value.len && (value.ptr[from] == ' ' || value.ptr[from] == '\t'))
        from++;
    *credential = { value.ptr + from, value.len - from };
    return true;
}

static Caller identify_caller(const char* req, i64 req_len)
{
    ByteSpan value {};
    ByteSpan credential {};
    if (!find_header(req, req_len, "Authorization", &value))
        return { Caller::k_stranger, -1 };
    if (credential_after(value, "basic", &credential)) {
        bool admin = equal_in_constant_time(credential, { state.basic_credential, state.basic_credential_len });
        return { admin ? Caller::k_admin : Caller::k_stranger, -1 };
    }
    if (!credential_after(value, "bearer", &credential))
        return { Caller::k_stranger, -1 };
    // The agents' tokens are compared even when the admin's matches, so the time taken
    // does not tell which kind of token was presented.
    bool admin = equal_in_constant_time(credential, { state.bearer_token, state.bearer_token_len });
    i64 agent = match_agent_token(credential);
    if (admin)
        return { Caller::k_admin, -1 };
    return { agent >= 0 ? Caller::k_agent : Caller::k_stranger, agent };
}

bool request_authenticated(const char* req, i64 req_len) { return identify_caller(req, req_len).kind != Caller::k_stranger; }

// The query starts after the path of a GET of /api/audit; the parameter is recognised by
// its "?", its first two letters and its "=", as it always was ("?agent=").
static constexpr i64 k_audit_query_start = sizeof("GET /api/audit") - 1;
static constexpr char k_agent_parameter[] = "?agent=";
static constexpr i64 k_agent_parameter_len = sizeof(k_agent_parameter) - 1;

i64 read_audit_filter(const char* req, i64 req_len, char* out)
{
    for (i64 i = k_audit_query_start; i < req_len && req[i] != ' ' && req[i] != '\r'; i++) {
        if (req[i] != '?' || i + k_agent_parameter_len - 1 >= req_len || req[i + 1] != 'a' || req[i + 2] != 'g'
            || req[i + k_agent_parameter_len - 1] != '=')
            continue;
        i64 len = 0;
        for (i64 k = i + k_agent_parameter_len; k < req_len && req[k] != ' ' && req[k] != '&' && req[k] != '\r'; k++)
            if (len < k_audit_filter_size)
                out[len++] = req[k];
        return len;
    }
    return 0;
}

// The per-second cap counts every request, refused ones included. Requests without
// valid credentials have a window of their own, so a stranger cannot use up the agents'.
struct SecondWindow {
    i64 second;
    i64 count;
};
static constinit SecondWindow stranger_window {};

static bool limit_exceeded(i64* second, i64* count)
{
    i64 now = now_seconds();
    if (now != *second) {
        *second = now;
        *count = 0;
    }
    (*count)++;
    return *count > state.global_rate_limit;
}

static bool window_full(const Caller& caller)
{
    if (caller.kind == Caller::k_stranger)
        return limit_exceeded(&stranger_window.second, &stranger_window.count);
    return limit_exceeded(&state.global_rate_second, &state.global_rate_count);
}

static void reset_sandbox(int conn)
{
    state.total_execs = 0;
    state.blocked_cmds = 0;
    state.bytes_captured = 0;
    state.audit_next = 0;
    state.audit_count = 0;
    reset_agents();
    workspace_reset_all();
    audit_write(k_system_agent, "RESET", { "", 0 }, 0, 0, "OK");
    ChangeNote note;
    begin_change(&note);
    note_text(&note, "reset the sandbox: counters, agents and the audit ring");
    print_change(&note);
    static constexpr char body[] = R"({"ok":true,"message":"sandbox reset"})";
    send_json(conn, 200, "OK", body, sizeof(body) - 1);
}

using ReportBuilder = i64 (*)(char*);

static void send_report(int conn, ReportBuilder build, i64 size, const char* content_type)
{
    char* out = (char*)heap_alloc((u64)size);
    i64 len = build(out);
    send_response(conn, 200, "OK", content_type, out, len);
}

static void send_audit_report(int conn, const char* req, i64 req_len)
{
    char* filter = (char*)heap_alloc(k_audit_filter_size);
    i64 filter_len = read_audit_filter(req, req_len, filter);
    char* out = (char*)heap_alloc(k_audit_report_size);
    i64 len = build_audit_json(out, { filter, filter_len });
    send_json(conn, 200, "OK", out, len);
}

using Handler = void (*)(int, const char*, i64);

struct PostRoute {
    const char* path;
    Handler handler;
};

static void policy_reload_route(int conn, const char*, i64) { handle_policy_reload(conn); }

// Tested in this order; the longer /api/policy/reload stands before /api/policy.
static constexpr PostRoute k_post_routes[] = {
    { "/api/exec", handle_exec },
    { "/api/profile", handle_profile },
    { "/api/budget", handle_budget },
    { "/api/policy/reload", policy_reload_route },
    { "/api/policy", handle_policy_change },
    { "/api/write", handle_write },
    { "/api/read", handle_read },
    { "/api/config", handle_config },
};

// Paths are read at a fixed offset: after "POST " when the method begins with "P", else
// after a three-letter method and its space ("GET ").
static constexpr i64 k_path_after_post = sizeof("POST ") - 1;
static constexpr i64 k_path_after_get = sizeof("GET ") - 1;

static i64 path_offset(const char* req) { return req[0] == 'P' ? k_path_after_post : k_path_after_get; }

// The admin page: "GET", a path that starts with "/" and goes on with anything but the "a"
// of /api (the byte after the request is its NUL).
static bool is_page_request(const char* req, i64 req_len)
{
    return req_len > k_path_after_get && bytes_equal(req, "GET", 3) && req[k_path_after_get] == '/' && req[k_path_after_get + 1] != 'a';
}

static bool path_is(const char* req, i64 req_len, i64 offset, const char* route)
{
    i64 len = text_length(route);
    return offset + len <= req_len && bytes_equal(req + offset, route, len);
}

// Whether the request line's target is /mcp (with or without a query), whatever the
// method: a GET of it must not be taken for the page, nor a DELETE for the reset.
static bool targets_mcp(const char* req, i64 req_len)
{
    i64 space = 0;
    while (space < req_len && space < 16 && req[space] != ' ')
        space++;
    i64 path = space + 1;
    if (path + 4 > req_len || !bytes_equal(req + path, "/mcp", 4))
        return false;
    return path + 4 == req_len || req[path + 4] == ' ' || req[path + 4] == '?' || req[path + 4] == '\r';
}

static bool method_is_post(const char* req, i64 req_len) { return req_len >= 4 && bytes_equal(req, "POST", 4); }

// An agent token reaches the routes an agent needs and nothing that changes the sandbox.
static bool agent_may_call(const char* req, i64 req_len)
{
    i64 offset = path_offset(req);
    if (is_page_request(req, req_len))
        return false;
    if (path_is(req, req_len, offset, "/api/health"))
        return true;
    // The MCP endpoint's tools are the same three routes, run under the caller's identity.
    if (targets_mcp(req, req_len))
        return true;
    if (!method_is_post(req, req_len))
        return false;
    return path_is(req, req_len, k_path_after_post, "/api/exec") || path_is(req, req_len, k_path_after_post, "/api/write")
        || path_is(req, req_len, k_path_after_post, "/api/read");
}

// The request line's method and path, for the audit entry of a refused request.
static ByteSpan method_and_path(const char* req, i64 req_len)
{
    i64 first = find_bytes(req, req_len, 0, " ", 1);
    i64 second = first < 0 ? -1 : find_bytes(req, req_len, first + 1, " ", 1);
    i64 line = find_bytes(req, req_len, 0, "\n", 1);
    i64 end = second >= 0 ? second : line >= 0 ? line : req_len;
    return { req, end };
}

static void refuse_cross_site(int conn, const char* req, i64 req_len, ByteSpan agent)
{
    audit_write(agent.len > 0 ? agent : k_system_agent, "BLOCK", method_and_path(req, req_len), 0, 0, "CROSS_SITE");
    send_json_error(conn, 403, "Forbidden", "cross-site request refused");
}

static void refuse_agent_route(int conn, const char* req, i64 req_len, ByteSpan agent)
{
    audit_write(agent, "BLOCK", method_and_path(req, req_len), 0, 0, "AGENT_TOKEN");
    send_json_error(conn, 403, "Forbidden", "an agent token cannot use this endpoint");
}

static void dispatch(int conn, const char* req, i64 req_len)
{
    bool is_post = method_is_post(req, req_len);
    // The MCP endpoint's tools run /api/exec, /api/write and /api/read through this very
    // dispatch, after the caller was authenticated for /mcp.
    if (targets_mcp(req, req_len))
        return is_post ? handle_mcp(conn, req, req_len, dispatch) : handle_mcp_other_method(conn);
    i64 offset = path_offset(req);
    if (is_page_request(req, req_len))
        return send_report(conn, build_admin_page, k_admin_page_size, "text/html");
    if (path_is(req, req_len, offset, "/api/health"))
        return send_report(conn, build_health_report, k_health_report_size, "application/json");
    if (path_is(req, req_len, offset, "/api/audit"))
        return send_audit_report(conn, req, req_len);
    if (path_is(req, req_len, offset, "/api/agents"))
        return send_report(conn, build_agents_report, k_agents_report_size, "application/json");
    if (!is_post && path_is(req, req_len, offset, "/api/policy"))
        return send_report(conn, build_policy_report, k_policy_report_size, "application/json");
    if (is_post)
        for (const PostRoute& route : k_post_routes)
            if (path_is(req, req_len, k_path_after_post, route.path))
                return route.handler(conn, req, req_len);
    if (req[0] == 'D')
        return reset_sandbox(conn);
    send_json_error(conn, 404, "Not Found", "unknown endpoint");
}

void route_request(int conn, const char* req, i64 req_len)
{
    // Changes are the admin's unless authentication binds the request to an agent
    // (bind_request_agent names the actor then).
    set_change_actor({ "", 0 });
    Caller caller = identify_caller(req, req_len);
    if (window_full(caller))
        // The window is the calendar second: the next one admits requests again.
        return send_too_many(conn, "rate limit exceeded", 1);
    // Before the preflight: a rebound name must not even learn what the server allows.
    if (!host_allowed(req, req_len))
        return send_json_error(conn, 421, "Misdirected Request", "unknown host name (see server_names= in /etc/cindervox/config)");
    if (req[0] == 'O')
        return send_json(conn, 200, "OK", "{}", 2);
    if (caller.kind == Caller::k_stranger)
        return send_raw(conn, k_unauthorized, sizeof(k_unauthorized) - 1);
    ByteSpan agent = caller.kind == Caller::k_agent ? agent_token_name(caller.agent_token) : ByteSpan {};
    bind_request_agent(agent);
    if (cross_site_request(req, req_len))
        return refuse_cross_site(conn, req, req_len, agent);
    if (caller.kind == Caller::k_agent && !agent_may_call(req, req_len))
        return refuse_agent_route(conn, req, req_len, agent);
    dispatch(conn, req, req_len);
}
