// The router: global per-second limit, CORS preflight, Basic and Bearer authentication,
// the route table, and the sandbox reset.
#pragma once
#include "runtime/types.h"

void route_request(int conn, const char* req, i64 req_len);

// True when the request's Authorization header carries exactly the Basic credential, the
// admin's bearer token or an agent's token.
bool request_authenticated(const char* req, i64 req_len);

// Copies the ?agent= value of an /api/audit request line into out (at most
// k_audit_filter_size bytes); returns its length, 0 for none.
i64 read_audit_filter(const char* req, i64 req_len, char* out);
