// The fleet page's login check, on the request's header block. Pure: compiled hosted for
// tests.
#pragma once
#include "runtime/types.h"

// True when the first Authorization header of the header block carries the scheme word
// Basic (in any case) and then, after blanks, exactly credential (the Base64 text of
// user:password; logins are compared as Base64 text, never decoded). Header names are matched without regard to case; nothing in the body
// counts, and the comparison takes the same time wherever the bytes differ.
bool fleet_request_authorized(const char* req, i64 req_len, ByteSpan credential);
