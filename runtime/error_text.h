// Kernel error numbers as text for console lines and answers: "EPERM", or "error 95" for a
// number without a name here.
#pragma once
#include "runtime/types.h"

// Appends the name of error (positive or negated errno) to buf at pos; returns the new
// position. At most 26 bytes.
i64 append_error_name(char* buf, i64 pos, i64 error);

// Appends what error means and its name, "Resource temporarily unavailable (EAGAIN)", or
// "error 95" for a number without a name here; returns the new position. At most
// k_error_text_max bytes.
i64 append_error_text(char* buf, i64 pos, i64 error);
constexpr i64 k_error_text_max = 64;
