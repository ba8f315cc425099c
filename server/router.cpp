// Requests are recognised on their raw bytes: the method by its first bytes, the path at
// offset 5 after POST and offset 4 otherwise. Routes that share a prefix are tested
// longer first (/api/policy/reload before /api/policy).
#include "server/router.h"
#include "admin/file_write.h"
#include "admin/mcp_endpoint.h"
#include "admin/policy_endpoints.h"
#include "admin/reports.h"
#include "admin/settings.h"
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/change_log.h"
#include "core/http_response.h"
#include "core/state.h"
#include "dashboard/admin_page.h"
#include "exec/exec_endpoint.h"
#include "policy/policy_file.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/text.h"

static constexpr char k_unauthorized[] = "HTTP/1.1 401 Unauthorized\r\n"
                                         "WWW-Authenticate: Basic realm=\"Cindervox\"\r\n"
                                         "Content-Type: application/json\r\n"
                                         "Content-Length: 42\r\n"
                                         "Access-Control-Allow-Origin: *\r\n"
                                         "\r\n"
                                         R"({"ok":false,"error":"invalid credentials"})";

static constexpr char k_basic_prefix[] = "Authorization: Basic ";
static constexpr char k_bearer_prefix[] = "Authorization: Bearer ";

static i64 basic_matches(const char* req, i64 req_len)
{
    i64 cred_len = state.basic_credential_len;
    for (i64 i = 0; i + 21 + cred_len < req_len; i++)
        if (bytes_equal(req + i, k_basic_prefix, 21) && bytes_equal(req + i + 21, state.basic_credential, cred_len))
            return 1;
    return 0;
}

static i64 bearer_matches(const char* req, i64 req_len)
{
    i64 token_len = state.bearer_token_len;
    for (i64 i = 0; i < req_len - 22 - token_len; i++) {
        if (req[i] != 'A' || req[i + 13] != ':' || req[i + 15] != 'B' || !bytes_equal(req + i, k_bearer_prefix, 22))
            continue;
        i64 end = i + 22;
        while (end < req_len && req[end] != '\r' && req[end] != '\n')
            end++;
        if (end - (i + 22) == token_len && bytes_equal(req + i + 22, state.bearer_token, token_len))
            return 1;
    }
    return 0;
}

i64 request_authenticated(const char* req, i64 req_len) { return basic_matches(req, req_len) || bearer_matches(req, req_len); }

i64 read_audit_filter(const char* req, i64 req_len, char* out)
{
    for (i64 i = 14; i < req_len && req[i] != ' ' && req[i] != '\r'; i++) {
        if (req[i] != '?' || i + 6 >= req_len || req[i + 1] != 'a' || req[i + 2] != 'g' || req[i + 6] != '=')
            continue;
        i64 len = 0;
        for (i64 k = i + 7; k < req_len && req[k] != ' ' && req[k] != '&' && req[k] != '\r'; k++)
            if (len < k_audit_filter_size)
                out[len++] = req[k];
        return len;
    }
    return 0;
}

// The global per-second cap counts every request, refused ones included.
static i64 global_limit_exceeded()
{
    i64 now = now_seconds();
    if (now != state.global_rate_second) {
        state.global_rate_second = now;
        state.global_rate_count = 0;
    }
    state.global_rate_count++;
    return state.global_rate_count > state.global_rate_limit;
}

static void reset_sandbox(int conn)
{
    state.total_execs = 0;
    state.blocked_cmds = 0;
    state.bytes_captured = 0;
    state.audit_next = 0;
    state.audit_count = 0;
    reset_agents();
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
    { "/api/config", handle_config },
};

static i64 path_is(const char* req, i64 req_len, i64 offset, const char* route)
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

static void dispatch(int conn, const char* req, i64 req_len)
{
    i64 is_post = req_len >= 4 && bytes_equal(req, "POST", 4);
    // The MCP endpoint's tools run /api/exec, /api/write and /api/read through this very
    // dispatch, after the caller was authenticated for /mcp.
    if (targets_mcp(req, req_len))
        return is_post ? handle_mcp(conn, req, req_len, dispatch) : handle_mcp_other_method(conn);
    i64 offset = req[0] == 'P' ? 5 : 4;
    if (req_len >= 5 && bytes_equal(req, "GET", 3) && req[4] == '/' && req[5] != 'a')
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
            if (path_is(req, req_len, 5, route.path))
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
    if (global_limit_exceeded())
        return send_json_error(conn, 429, "Too Many Requests", "rate limit exceeded");
    if (req[0] == 'O')
        return send_json(conn, 200, "OK", "{}", 2);
    if (!request_authenticated(req, req_len))
        return send_raw(conn, k_unauthorized, sizeof(k_unauthorized) - 1);
    dispatch(conn, req, req_len);
}
