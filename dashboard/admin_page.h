// The admin page served at /: constant pieces joined with the current credential.
#pragma once
#include "runtime/types.h"

constexpr i64 k_admin_page_size = 49152;

i64 build_admin_page(char* out);
