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

// The answer when the page's text cannot be had: the program's deflated copy of it did
// not inflate (a build fault), or the heap had no room left for it.
constexpr char k_admin_page_unavailable[] = "admin page unavailable: its built-in text could not be inflated";

// The page's constant text, its pieces in order without the gaps, inflated on the first
// call into a block of the heap that lives as long as the process (outside any
// connection's arena, which the request that made it gives back); nullptr, for good, when
// it cannot be had.
const char* admin_page_text();

// Writes the page into out (k_admin_page_size bytes) from offset 0 and returns its
// length, or -1 when admin_page_text has no text. Reads only state.basic_credential.
i64 build_admin_page(char* out);
