// The two answers fleet-dashboard ever gives, built once before the socket exists:
// the page with its 200 header, and the fixed 401 text. Pure: compiled hosted for tests.
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

// Longest 200 header: its fixed text plus the digits of any length a page buffer allows.
constexpr i64 k_fleet_header_max = 101;

// Writes the 200 header with page_len as Content-Length, then the page, into buf
// (k_fleet_response_buffer bytes; page_len at most k_fleet_page_buffer). Returns the total.
i64 build_fleet_response(char* buf, const char* page, i64 page_len);

// Copies the 401 answer into buf (k_fleet_refusal_buffer bytes); returns its length, 155.
i64 build_fleet_refusal(char* buf);
