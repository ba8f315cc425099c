// Every request arrives framed (server/request_framing.h): the router reads its method,
// path, query and headers from that value, never the raw bytes. Routes are one table of
// method + exact path; the agent gate and dispatch both look a request up in it, and so do
// the requests the MCP endpoint builds for its tools.
#include "server/router.h"
#include "admin/agent_profile.h"
#include "admin/agent_reset.h"
#include "admin/policy_check.h"
#include "admin/file_list.h"
#include "admin/file_read.h"
#include "admin/file_write.h"
#include "admin/history_report.h"
#include "admin/mcp_endpoint.h"
#include "admin/metrics_report.h"
#include "admin/policy_endpoints.h"
#include "admin/reports.h"
#include "admin/settings.h"
#include "agents/agent_tokens.h"
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/change_log.h"
#include "core/config.h"
#include "core/http_response.h"
#include "core/http_status.h"
#include "core/state.h"
#include "dashboard/admin_page.h"
#include "exec/agent_teardown.h"
#include "exec/background_runs.h"
#include "exec/exec_endpoint.h"
#include "policy/policy_file.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/query.h"
#include "runtime/text.h"
#include "server/request_guard.h"
#include "server/request_windows.h"

static constexpr char k_unauthorized[] = "HTTP/1.1 401 Unauthorized\r\n"
                                         "WWW-Authenticate: Basic realm=\"Cindervox\"\r\n"
                                         "Content-Type: application/json\r\n"
                                         "Content-Length: 42\r\n"
                                         "Access-Control-Allow-Origin: *\r\n"
                                         "\r\n"
                                         R"({"ok":false,"error":"invalid credentials"})";

// Who a request comes from, by its Authorization header alone.
struct Caller {
    enum Kind { k_stranger, k_admin, k_agent, k_metrics } kind;
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

static Caller credential_caller(const Request& request)
{
    ByteSpan value {};
    ByteSpan credential {};
    if (!request_header(request, "Authorization", &value))
        return { Caller::k_stranger, -1 };
    if (credential_after(value, "basic", &credential)) {
        bool admin = equal_in_constant_time(credential, { state.basic_credential, state.basic_credential_len });
        return { admin ? Caller::k_admin : Caller::k_stranger, -1 };
    }
    if (!credential_after(value, "bearer", &credential))
        return { Caller::k_stranger, -1 };
    // The agents' tokens and the metrics token are compared even when the admin's
    // matches, so the time taken does not tell which kind of token was presented.
    bool admin = equal_in_constant_time(credential, { state.bearer_token, state.bearer_token_len });
    i64 agent = match_agent_token(credential);
    ByteSpan metrics = metrics_token();
    bool scraper = metrics.len > 0 && equal_in_constant_time(credential, metrics);
    if (admin)
        return { Caller::k_admin, -1 };
    if (agent >= 0)
        return { Caller::k_agent, agent };
    return { scraper ? Caller::k_metrics : Caller::k_stranger, -1 };
}

// The metrics token opens GET /metrics and nothing else, and /metrics takes only the
// admin's credentials and that token: any other caller there is refused as one without
// credentials, the answer a scraper understands.
static Caller caller_for_route(const Request& request)
{
    Caller caller = credential_caller(request);
    bool metrics_path = span_equals(request.path, "/metrics");
    if ((caller.kind == Caller::k_metrics && !metrics_path) || (caller.kind == Caller::k_agent && metrics_path))
        return { Caller::k_stranger, -1 };
    return caller;
}

bool request_authenticated(const Request& request) { return caller_for_route(request).kind != Caller::k_stranger; }

// An action word as entries carry it: 1 to 32 capital letters and underscores.
static bool audit_action_word(ByteSpan word)
{
    if (word.len < 1 || word.len > k_audit_word_max)
        return false;
    for (i64 i = 0; i < word.len; i++)
        if ((word.ptr[i] < 'A' || word.ptr[i] > 'Z') && word.ptr[i] != '_')
            return false;
    return true;
}

// The ring's capacity, which the limit's refusal names.
static_assert(k_audit_capacity == 256);

const char* read_audit_query(ByteSpan query, char* agent_buffer, AuditQuery* out)
{
    *out = { { agent_buffer, 0 }, { nullptr, 0 }, k_audit_default_limit, 0, false };
    ByteSpan agent = query_param(query, "agent");
    if (agent.ptr != nullptr) {
        i64 len = percent_decode(agent, agent_buffer, k_audit_filter_size);
        if (len < 0)
            return "agent filter too long";
        out->agent.len = len;
    }
    if (out->agent.len > 0)
        out->limit = k_audit_default_agent_limit;
    ByteSpan limit = query_param(query, "limit");
    if (limit.ptr != nullptr) {
        out->limit = query_number(limit);
        if (out->limit < 0 || out->limit > state.audit_capacity)
            return "limit must be a whole number from 0 to 256";
    }
    ByteSpan offset = query_param(query, "offset");
    if (offset.ptr != nullptr && (out->offset = query_number(offset)) < 0)
        return "offset must be a whole number of 0 or more";
    ByteSpan action = query_param(query, "action");
    if (action.ptr != nullptr && action.len > 0) {
        if (!audit_action_word(action))
            return "action must be an audit action word such as EXEC or BLOCK";
        out->action = action;
    }
    ByteSpan order = query_param(query, "order");
    if (order.ptr != nullptr && !span_equals(order, "oldest") && !span_equals(order, "newest"))
        return "order must be oldest or newest";
    out->newest_first = order.ptr != nullptr && span_equals(order, "newest");
    return nullptr;
}

// The per-second cap counts every request, refused ones included, in the window of its
// credential (server/request_windows.h): the admin's, an agent token's, or, under the
// admin's credential, the X-Agent name's. Requests without valid credentials share a
// window of their own, so a stranger cannot use up anyone else's.
static WindowKey window_key(const Caller& caller, const Request& request)
{
    if (caller.kind == Caller::k_stranger)
        return { k_window_stranger, -1, {} };
    if (caller.kind == Caller::k_agent)
        return { k_window_token, caller.agent_token, {} };
    if (caller.kind == Caller::k_metrics)
        return { k_window_metrics, -1, {} };
    ByteSpan name {};
    if (request_header(request, "X-Agent", &name) && name.len > 0)
        return { k_window_name, -1, name };
    return { k_window_admin, -1, {} };
}

static bool window_full(const Caller& caller, const Request& request)
{
    return request_window_full(window_key(caller, request), now_seconds(), state.global_rate_limit);
}

// ---- the routes' actions ----------------------------------------------------------

// Every slot's workspace, memory group and namespaces go through the one per-agent
// teardown before the registry empties.
static void reset_sandbox(int conn, const Request&)
{
    state.total_execs = 0;
    state.blocked_cmds = 0;
    state.bytes_captured = 0;
    state.audit_next = 0;
    state.audit_count = 0;
    for (i64 slot = 0; slot < state.max_agents; slot++)
        agent_teardown(slot);
    reset_agents();
    audit_write(k_system_agent, "RESET", { "", 0 }, 0, 0, "OK");
    ChangeNote note;
    begin_change(&note);
    note_text(&note, "reset the sandbox: counters, agents and the audit ring");
    print_change(&note);
    static constexpr char body[] = R"({"ok":true,"message":"sandbox reset"})";
    send_json(conn, 200, reason_phrase(200), body, sizeof(body) - 1);
}

// The agent's name is the path's {name} segment, percent-decoded into name
// (k_audit_filter_size bytes). False when the request was answered instead.
static bool read_agent_segment(int conn, const Request& request, char* name, i64* len)
{
    ByteSpan segment = route_parameter(*match_route(request.method, request.path).route, request.path);
    *len = percent_decode(segment, name, k_audit_filter_size);
    if (*len < 0) {
        send_json_error(conn, 400, reason_phrase(400), "agent name too long");
        return false;
    }
    // No name holds a zero byte; one in the path must not match the name before it.
    if (find_bytes(name, *len, 0, "\0", 1) >= 0) {
        send_json_error(conn, 400, reason_phrase(400), "agent name must not contain a zero byte");
        return false;
    }
    return true;
}

static void reset_one_agent(int conn, const Request& request)
{
    char name[k_audit_filter_size];
    i64 len = 0;
    if (read_agent_segment(conn, request, name, &len))
        handle_agent_reset(conn, { name, len });
}

static void set_agent_profile(int conn, const Request& request)
{
    char name[k_audit_filter_size];
    i64 len = 0;
    if (read_agent_segment(conn, request, name, &len))
        handle_agent_profile(conn, { name, len }, request.bytes.ptr, request.bytes.len);
}

using ReportBuilder = i64 (*)(char*);

// A report made by build into a buffer of size bytes.
template <ReportBuilder build, i64 size, const char* content_type>
static void send_report(int conn, const Request&)
{
    char* out = (char*)heap_alloc((u64)size);
    if (!out)
        return send_memory_exhausted(conn);
    i64 len = build(out);
    send_response(conn, 200, reason_phrase(200), content_type, out, len);
}

static constexpr char k_html[] = "text/html";
static constexpr char k_json[] = "application/json";

static void send_audit_report(int conn, const Request& request)
{
    char* filter = (char*)heap_alloc(k_audit_filter_size);
    char* out = (char*)heap_alloc((u64)audit_report_size());
    if (!filter || !out)
        return send_memory_exhausted(conn);
    AuditQuery query {};
    if (const char* refusal = read_audit_query(request.query, filter, &query))
        return send_json_error(conn, 400, reason_phrase(400), refusal);
    i64 len = build_audit_json(out, query);
    send_json(conn, 200, reason_phrase(200), out, len);
}

static void send_agents_report(int conn, const Request&)
{
    char* out = (char*)heap_alloc((u64)agents_report_size());
    if (!out)
        return send_memory_exhausted(conn);
    send_json(conn, 200, reason_phrase(200), out, build_agents_report(out));
}

// The handlers of exec/ and admin/ read their requests (headers, JSON body) themselves.
using RawHandler = void (*)(int, const char*, i64);

template <RawHandler handle>
static void pass_request(int conn, const Request& request)
{
    handle(conn, request.bytes.ptr, request.bytes.len);
}

static void reload_policy(int conn, const Request&) { handle_policy_reload(conn); }

// The background runs' routes: the run's id is the path's "{name}" segment.
static ByteSpan run_id_of(const Request& request) { return route_parameter(*match_route(request.method, request.path).route, request.path); }

static void list_runs(int conn, const Request& request) { handle_runs_list(conn, request.bytes.ptr, request.bytes.len); }

static void show_run(int conn, const Request& request)
{
    handle_run_status(conn, request.bytes.ptr, request.bytes.len, run_id_of(request), request.query);
}

static void stop_run(int conn, const Request& request) { handle_run_stop(conn, request.bytes.ptr, request.bytes.len, run_id_of(request)); }

static void follow_run(int conn, const Request& request) { handle_run_events(conn, request.bytes.ptr, request.bytes.len, run_id_of(request)); }

static void feed_run(int conn, const Request& request) { handle_run_stdin(conn, request.bytes.ptr, request.bytes.len, run_id_of(request)); }

static void route_tool_request(int conn, const char* req, i64 req_len);

static void serve_mcp(int conn, const Request& request) { handle_mcp(conn, request.bytes.ptr, request.bytes.len, route_tool_request); }

static void refuse_mcp_method(int conn, const Request&) { handle_mcp_other_method(conn); }

// ---- the table ----------------------------------------------------------------------

static constexpr bool k_agents = true;
static constexpr bool k_admin_only = false;

static constexpr Route k_routes[] = {
    { "GET", "/", send_report<build_admin_page, k_admin_page_size, k_html>, k_admin_only },
    { "GET", "/index.html", send_report<build_admin_page, k_admin_page_size, k_html>, k_admin_only },
    { "GET", "/api/health", send_report<build_health_report, k_health_report_size, k_json>, k_agents },
    { "GET", "/api/audit", send_audit_report, k_admin_only },
    { "GET", "/api/agents", send_agents_report, k_admin_only },
    { "GET", "/api/history", send_report<build_history_report, k_history_report_size, k_json>, k_admin_only },
    { "GET", "/metrics", send_report<build_metrics_report, k_metrics_report_size, k_metrics_content_type>, k_admin_only },
    { "GET", "/api/policy", send_report<build_policy_report, k_policy_report_size, k_json>, k_admin_only },
    { "POST", "/api/policy", pass_request<handle_policy_change>, k_admin_only },
    { "POST", "/api/policy/reload", reload_policy, k_admin_only },
    { "POST", "/api/policy/check", pass_request<handle_policy_check>, k_agents },
    { "POST", "/api/profile", pass_request<handle_profile>, k_admin_only },
    { "POST", "/api/budget", pass_request<handle_budget>, k_admin_only },
    { "POST", "/api/config", pass_request<handle_config>, k_admin_only },
    { "POST", "/api/exec", pass_request<handle_exec>, k_agents },
    { "POST", "/api/write", pass_request<handle_write>, k_agents },
    { "POST", "/api/read", pass_request<handle_read>, k_agents },
    { "POST", "/api/list", pass_request<handle_list>, k_agents },
    { "DELETE", "/api/sandbox", reset_sandbox, k_admin_only },
    { "DELETE", "/api/agents/{name}", reset_one_agent, k_admin_only },
    { "POST", "/api/agents/{name}/profile", set_agent_profile, k_admin_only },
    { "GET", "/api/runs", list_runs, k_agents },
    { "GET", "/api/runs/{name}", show_run, k_agents },
    { "DELETE", "/api/runs/{name}", stop_run, k_agents },
    { "GET", "/api/runs/{name}/events", follow_run, k_agents },
    { "POST", "/api/runs/{name}/stdin", feed_run, k_agents },
    // The MCP endpoint's tools are the agents' own routes, run under the caller's identity.
    // Every other method on /mcp gets the endpoint's own 405.
    { "POST", "/mcp", serve_mcp, k_agents },
    { nullptr, "/mcp", refuse_mcp_method, k_agents },
};

static constexpr bool same_text(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr)
        return a == b;
    i64 i = 0;
    for (; a[i] && a[i] == b[i]; i++) { }
    return a[i] == b[i];
}

// No two rows share method and path, so the first match is the only one.
static constexpr bool rows_distinct()
{
    for (const Route& a : k_routes)
        for (const Route& b : k_routes)
            if (&a != &b && same_text(a.method, b.method) && same_text(a.path, b.path))
                return false;
    return true;
}
static_assert(rows_distinct(), "two rows of the route table share method and path");

// The longest Allow list of any path: its rows' methods, each with a ", " counted.
static constexpr i64 allow_worst_case()
{
    i64 longest = 0;
    for (const Route& path_row : k_routes) {
        i64 total = 0;
        for (const Route& row : k_routes)
            if (row.method != nullptr && same_text(row.path, path_row.path))
                total += text_length(row.method) + 2;
        longest = total > longest ? total : longest;
    }
    return longest;
}
static_assert(allow_worst_case() <= k_allow_max, "an Allow list of the route table may not fit k_allow_max");

RouteRows route_rows() { return { k_routes, sizeof(k_routes) / sizeof(k_routes[0]) }; }

static constexpr char k_parameter[] = "{name}";
static constexpr i64 k_parameter_len = sizeof(k_parameter) - 1;

// A row's path as the parts around its "{name}": the fixed text before it and after it
// (the suffix, "" when "{name}" ends the path). A path without "{name}" is all prefix.
struct PathPattern {
    bool parameter;
    i64 prefix_len;
    const char* suffix;
    i64 suffix_len;
};

static PathPattern path_pattern(const char* row_path)
{
    i64 len = text_length(row_path);
    i64 at = find_bytes(row_path, len, 0, k_parameter, k_parameter_len);
    if (at < 0)
        return { false, len, "", 0 };
    return { true, at, row_path + at + k_parameter_len, len - at - k_parameter_len };
}

// The segment between a pattern's prefix and suffix, when path has that form and the
// segment is one (at least a byte, no "/"); ptr nullptr otherwise.
static ByteSpan parameter_segment(const PathPattern& pattern, const char* row_path, ByteSpan path)
{
    i64 fixed = pattern.prefix_len + pattern.suffix_len;
    if (path.len <= fixed || !bytes_equal(path.ptr, row_path, pattern.prefix_len))
        return { nullptr, 0 };
    if (!bytes_equal(path.ptr + path.len - pattern.suffix_len, pattern.suffix, pattern.suffix_len))
        return { nullptr, 0 };
    ByteSpan segment { path.ptr + pattern.prefix_len, path.len - fixed };
    if (find_bytes(segment.ptr, segment.len, 0, "/", 1) >= 0)
        return { nullptr, 0 };
    return segment;
}

ByteSpan route_parameter(const Route& row, ByteSpan path)
{
    PathPattern pattern = path_pattern(row.path);
    ByteSpan segment = pattern.parameter ? parameter_segment(pattern, row.path, path) : ByteSpan { nullptr, 0 };
    return segment.ptr ? segment : ByteSpan { path.ptr, 0 };
}

static bool row_takes_path(const Route& row, ByteSpan path)
{
    PathPattern pattern = path_pattern(row.path);
    if (!pattern.parameter)
        return span_equals(path, row.path);
    return parameter_segment(pattern, row.path, path).ptr != nullptr;
}

RouteMatch match_route(ByteSpan method, ByteSpan path)
{
    RouteMatch match { nullptr, false };
    const Route* every_other = nullptr;
    for (const Route& row : k_routes) {
        if (!row_takes_path(row, path))
            continue;
        match.path_known = true;
        if (row.method == nullptr)
            every_other = &row;
        else if (span_equals(method, row.method)) {
            match.route = &row;
            return match;
        }
    }
    match.route = every_other;
    return match;
}

i64 build_allow(char* out, ByteSpan path)
{
    i64 len = 0;
    for (const Route& row : k_routes) {
        if (row.method == nullptr || !row_takes_path(row, path))
            continue;
        if (len > 0)
            len = append_text(out, len, ", ");
        len = append_text(out, len, row.method);
    }
    out[len] = 0;
    return len;
}

// ---- refusals and dispatch ------------------------------------------------------------

// The request line's method and target, for the audit entry of a refused request.
static ByteSpan method_and_target(const Request& request)
{
    const char* end = request.query.ptr != nullptr ? request.query.ptr + request.query.len : request.path.ptr + request.path.len;
    return { request.method.ptr, end - request.method.ptr };
}

static void refuse_cross_site(int conn, const Request& request, ByteSpan agent)
{
    audit_write(agent.len > 0 ? agent : k_system_agent, "BLOCK", method_and_target(request), 0, 0, "CROSS_SITE");
    send_json_error(conn, 403, reason_phrase(403), "cross-site request refused");
}

static void refuse_agent_route(int conn, const Request& request, ByteSpan agent)
{
    audit_write(agent, "BLOCK", method_and_target(request), 0, 0, "AGENT_TOKEN");
    send_json_error(conn, 403, reason_phrase(403), "an agent token cannot use this endpoint");
}

// An agent token reaches the rows open to agents and nothing else: not another route, not
// an unknown one.
static bool agent_may_call(RouteMatch match) { return match.route != nullptr && match.route->open_to_agents; }

static void dispatch(int conn, const Request& request, RouteMatch match)
{
    if (match.route != nullptr)
        return match.route->action(conn, request);
    if (!match.path_known)
        return send_json_error(conn, 404, reason_phrase(404), "unknown endpoint");
    char allow[k_allow_max + 1];
    build_allow(allow, request.path);
    send_json_error_allow(conn, 405, reason_phrase(405), "method not allowed", allow);
}

// The MCP endpoint runs its tools' routes through here with requests it built: they are
// framed like any request, and the agent gate and the table judge them as they would the
// same request from the socket. The caller was authenticated for /mcp already, and the
// tool's request carries the same Authorization.
static void route_tool_request(int conn, const char* req, i64 req_len)
{
    // A request the endpoint built holds its whole body: its own length bounds it.
    Frame frame = frame_request(req, req_len, req_len);
    if (frame.state != k_frame_complete)
        return send_json_error(conn, 500, reason_phrase(500), "tool request could not be framed");
    const Request& request = frame.request;
    RouteMatch match = match_route(request.method, request.path);
    Caller caller = caller_for_route(request);
    if (caller.kind == Caller::k_agent && !agent_may_call(match))
        return refuse_agent_route(conn, request, agent_token_name(caller.agent_token));
    dispatch(conn, request, match);
}

bool refuse_before_body(int conn, const Request& head)
{
    Caller caller = caller_for_route(head);
    bool stranger = caller.kind == Caller::k_stranger && !span_equals(head.method, "OPTIONS");
    if (!stranger && host_allowed(head))
        return false;
    // route_request refuses it before any handler: by the window, the Host or the
    // credentials, in the order it always judges them.
    route_request(conn, head);
    return true;
}

void route_request(int conn, const Request& request)
{
    // Changes are the admin's unless authentication binds the request to an agent
    // (bind_request_agent names the actor then).
    set_change_actor({ "", 0 });
    Caller caller = caller_for_route(request);
    if (window_full(caller, request))
        // The window is the calendar second: the next one admits requests again.
        return send_too_many(conn, "rate limit exceeded", 1);
    // Before the preflight: a rebound name must not even learn what the server allows.
    if (!host_allowed(request))
        return send_json_error(conn, 421, reason_phrase(421), "unknown host name (see server_names= in /etc/cindervox/config)");
    if (span_equals(request.method, "OPTIONS"))
        return send_json(conn, 200, reason_phrase(200), "{}", 2);
    // The MCP transport's event stream, which MCP clients ask for after they connect: no
    // caller gets one, and asking is no offence to audit, whoever asks.
    if (span_equals(request.path, "/mcp") && !span_equals(request.method, "POST"))
        return handle_mcp_other_method(conn);
    if (caller.kind == Caller::k_stranger)
        return send_raw(conn, k_unauthorized, sizeof(k_unauthorized) - 1);
    ByteSpan agent = caller.kind == Caller::k_agent ? agent_token_name(caller.agent_token) : ByteSpan {};
    bind_request_agent(agent);
    if (cross_site_request(request))
        return refuse_cross_site(conn, request, agent);
    RouteMatch match = match_route(request.method, request.path);
    if (caller.kind == Caller::k_agent && !agent_may_call(match))
        return refuse_agent_route(conn, request, agent);
    dispatch(conn, request, match);
}
