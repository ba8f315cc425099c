// Configuration file /etc/cindervox/config (port and login) and the bearer token file.
#pragma once
#include "runtime/types.h"

constexpr i64 k_config_read_max = 511;
constexpr i64 k_token_read_max = 255;
constexpr i64 k_credential_buffer = 512;
// The longest credential line whose Base64 text and NUL fit the 512-byte buffer.
constexpr i64 k_credential_line_max = 381;

// Reads the configuration file; may replace basic_credential; returns the configured
// port, or 0 when none (or only out-of-range ones) was given.
i64 load_config();

// Applies configuration text as load_config does after reading it.
i64 apply_config_text(const char* text, i64 len);

// Reads the token file and sets bearer_token.
void load_bearer_token();

// Applies token file text as load_bearer_token does after reading it.
void apply_token_text(char* text, i64 len);
