// The answers fleet-dashboard gives: the page with its 200 header and the 401 refusal,
// built once before the socket exists, and the fixed 431 for a header block that does not
// fit its connection's buffer. Pure: compiled hosted for tests.
#pragma once
#include "runtime/types.h"

constexpr i64 k_fleet_response_buffer = 69632;
constexpr i64 k_fleet_refusal_buffer = 256;

// The 401 answer, byte for byte; every line ends in CR LF.
constexpr char k_fleet_refusal[] = "HTTP/1.1 401 Unauthorized\r\n"
                                   "WWW-Authenticate: Basic realm=\"Cindervox Fleet\"\r\n"
                                   "Content-Type: text/plain\r\n"
                                   "Content-Length: 12\r\n"
                                   "Connection: close\r\n"
                                   "\r\n"
                                   "Unauthorized";
constexpr i64 k_fleet_refusal_len = sizeof(k_fleet_refusal) - 1;
static_assert(k_fleet_refusal_len == 155 && k_fleet_refusal_len < k_fleet_refusal_buffer);

// The 431 answer, byte for byte; its text names k_fleet_request_max
// (fleet/fleet_connections.h), which fleet_response.cpp holds it to.
constexpr char k_fleet_too_large[] = "HTTP/1.1 431 Request Header Fields Too Large\r\n"
                                     "Content-Type: text/plain\r\n"
                                     "Content-Length: 36\r\n"
                                     "Connection: close\r\n"
                                     "\r\n"
                                     "Request header block over 4095 bytes";
constexpr i64 k_fleet_too_large_len = sizeof(k_fleet_too_large) - 1;

// Longest 200 header: its fixed text plus the digits of any length a page buffer allows.
constexpr i64 k_fleet_header_max = 101;

// Writes the 200 header with page_len as Content-Length, then the page, into buf
// (k_fleet_response_buffer bytes; page_len at most k_fleet_page_buffer). Returns the total.
i64 build_fleet_response(char* buf, const char* page, i64 page_len);

// Copies the 401 answer into buf (k_fleet_refusal_buffer bytes); returns its length, 155.
i64 build_fleet_refusal(char* buf);
