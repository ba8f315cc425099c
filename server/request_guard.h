// Guards against browsers used as a weapon, applied by the router before any handler:
// DNS rebinding (a Host header naming a host this server does not serve) and cross-site
// requests (a page of another origin posting a form, or navigating, to the API with the
// credential the browser holds for the dashboard). Pure but for the machine's host name.
#pragma once
#include "runtime/types.h"
#include "server/request_framing.h"

// True when the Host header (a port after the name removed) is an IP address, localhost,
// the machine's own host name or a listed server name, or when there is no Host header.
bool host_allowed(const Request& request);

// The same with the machine's name given; for tests.
bool host_allowed_for(ByteSpan host, ByteSpan own_name);

// True when a browser sent the request on behalf of another site: a POST, PUT or DELETE
// whose Origin is not this server's own (scheme, host and port of its Host) and whose
// Content-Type a form or a simple request could have sent (none, text/plain,
// application/x-www-form-urlencoded, multipart/form-data), so no preflight asked first;
// or any request to the API (a path under /api/, or /mcp) made as a navigation or in
// no-cors mode (Sec-Fetch-Mode).
bool cross_site_request(const Request& request);
