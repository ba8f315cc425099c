// The router: per-credential per-second windows, Host check, CORS preflight, Basic and Bearer
// authentication, the cross-site guard, the agent gate, and dispatch through one table of
// method + exact path that the agent gate reads too.
#pragma once
#include "core/audit_log.h"
#include "runtime/types.h"
#include "server/request_framing.h"

void route_request(int conn, const Request& request);

// A request whose header block has come and whose body has not: when the router would
// refuse it whatever the body says (no valid credentials, or a Host this server does not
// serve), answers it as route_request would and returns true, so the body is never waited
// for; otherwise answers nothing and returns false.
bool refuse_before_body(int conn, const Request& head);

// True when the request's Authorization header carries exactly the Basic credential, the
// admin's bearer token or an agent's token.
bool request_authenticated(const Request& request);

// The GET /api/audit query: "agent" (percent-decoded into agent_buffer, which holds
// k_audit_filter_size bytes), "limit" (0 to the ring's capacity; default 20, or 50 with an
// agent), "offset" (0 or more) and "order" ("oldest", the default, or "newest"); other
// parameters are ignored, and of a repeated one the first counts. Returns the refusal's
// message, or nullptr when *out holds the query.
const char* read_audit_query(ByteSpan query, char* agent_buffer, AuditQuery* out);

// ---- the route table ----------------------------------------------------------------

using RouteAction = void (*)(int conn, const Request& request);

struct Route {
    // The method the row takes; null on a row that takes every method the path's other
    // rows do not name.
    const char* method;
    // The exact path; one that holds "{name}" takes every path that has what comes before
    // it, then one segment (at least a byte, no "/"), then what comes after it
    // ("/api/runs/{name}/stdin").
    const char* path;
    RouteAction action;
    // Whether an agent token may call it.
    bool open_to_agents;
};

// The segment a path gives a row's "{name}" (percent-encoded as sent); empty when the row
// has none.
ByteSpan route_parameter(const Route& row, ByteSpan path);

// The row a request reaches (null for none), and whether any row has its path, which
// tells "405 Method Not Allowed" from "404 Not Found".
struct RouteMatch {
    const Route* route;
    bool path_known;
};

RouteMatch match_route(ByteSpan method, ByteSpan path);

// The longest Allow value build_allow writes, its NUL not counted.
constexpr i64 k_allow_max = 32;

// The methods path's rows name, in table order and separated by ", " ("GET, POST"), and a
// NUL into out (k_allow_max + 1 bytes); returns the length.
i64 build_allow(char* out, ByteSpan path);

// Every row, for tests and for whatever lists the routes.
struct RouteRows {
    const Route* rows;
    i64 count;
};
RouteRows route_rows();
