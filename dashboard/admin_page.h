// The admin page served at /: constant pieces joined with the current credential.
#pragma once
#include "core/config.h"
#include "runtime/types.h"

// The longest Basic credential the server can hold: the Base64 text of the longest
// credential line the configuration loader accepts (the settings endpoint, with at most
// 31 + 1 + 63 bytes, stays far below it at 128 characters).
constexpr i64 k_admin_credential_max = 4 * ((k_credential_line_max + 2) / 3);

// The document is the constant text plus the credential twice.
constexpr i64 k_admin_page_size = 73728;

// Writes the page into out (k_admin_page_size bytes) from offset 0 and returns its
// length. Reads only state.basic_credential; cannot fail.
i64 build_admin_page(char* out);
