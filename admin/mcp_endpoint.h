// /mcp: the sandbox's tools (commands, files, background runs) over the Model Context
// Protocol's Streamable HTTP transport, in its stateless form. Each POST carries one
// JSON-RPC message: a request is answered with one JSON-RPC response as application/json
// (or, for a command's call that asked for progress, as an event stream of progress
// notifications ending with it: admin/mcp_progress.h), a notification or a client's
// response with 202 and no body; notifications/cancelled ends the caller's call it names
// (admin/mcp_calls.h). The server offers no standalone event stream, so every other method
// on /mcp is answered 405.
#pragma once
#include "runtime/types.h"

// One of the server's own routes, called for a tool with a request the endpoint builds.
using RouteHandler = void (*)(int conn, const char* req, i64 req_len);

// POST /mcp, authenticated like every route. route runs /api/exec, /api/write and
// /api/read for the tools; their answers come back as tool results.
void handle_mcp(int conn, const char* req, i64 req_len, RouteHandler route);

// Memory a tool call's answer takes beyond its route's: the JSON-RPC envelope around the
// route's answer of route_answer_len bytes, which it carries twice at most (its text as
// the content and the whole answer as structuredContent).
i64 mcp_tool_answer_size(i64 route_answer_len);

// What a tools/call takes of its connection's memory besides its route's own buffers:
// the agent name, the call record, the id, the route request it builds, and its progress
// stream's buffers.
i64 mcp_call_memory(i64 request_len);

// GET, DELETE and every other method on /mcp.
void handle_mcp_other_method(int conn);

// The protocol versions this server speaks, newest first.
inline constexpr const char* k_mcp_versions[] = { "2025-11-25", "2025-06-18" };

// The version answered to an initialize asking for requested: the same when this server
// speaks it, else the newest it speaks.
const char* choose_mcp_version(ByteSpan requested);

// Whether an MCP-Protocol-Version header value names a version a client may use here
// (one of k_mcp_versions, or 2025-03-26, which a header-less client is taken to speak).
bool mcp_version_acceptable(ByteSpan value);

// Whether an Origin header value names this server as the request's Host header does:
// "http://" or "https://" followed by exactly the Host value.
bool origin_matches_host(ByteSpan origin, ByteSpan host);
