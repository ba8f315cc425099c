// The fleet page's login check, on the raw request bytes. Pure: compiled hosted for tests.
#pragma once
#include "runtime/types.h"

// The Base64 text of the login admin:wickerpod. It is compared as text, never decoded.
constexpr char k_fleet_credential[] = "YWRtaW46d2lja2VycG9k";
constexpr i64 k_fleet_credential_len = sizeof(k_fleet_credential) - 1;

// Offset just after the first "Authorization: Basic " (exact case and blanks) that has at
// least one byte after it, or -1.
i64 find_basic_credential(const char* req, i64 req_len);

// 1 when the first Basic header carries exactly the login credential, followed by CR,
// LF, a blank or the end of the data; else 0. Later Basic headers are never looked at.
i64 fleet_request_authorized(const char* req, i64 req_len);
