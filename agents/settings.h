// POST /api/config (credentials, rate limit, time-out) and POST /api/budget.
#pragma once
#include "runtime/types.h"

void handle_config(int conn, const char* req, i64 req_len);
void handle_budget(int conn, const char* req, i64 req_len);

// Longest user name and password kept from a request.
constexpr i64 k_username_capacity = 31;
constexpr i64 k_password_capacity = 63;
// user:password at its longest.
constexpr i64 k_credential_line_capacity = k_username_capacity + 1 + k_password_capacity;
// The configuration file as written: the credential line and the port line.
constexpr i64 k_config_text_size = k_credential_line_capacity + 1 + sizeof("port=\n") + 20;

// 1 when the configuration reader will take the line back as the credential after a
// restart: no "=" (which marks a setting line) and no line break.
i64 credential_line_storable(const char* line, i64 len);

// The configuration file text for a credential line and a port; returns its length.
i64 build_config_text(char* out, const char* line, i64 line_len, i64 port);
