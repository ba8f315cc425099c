// Kernel error numbers as text for console lines: "EPERM", or "error 95" for a number
// without a name here.
#pragma once
#include "runtime/types.h"

// Appends the name of error (positive or negated errno) to buf at pos; returns the new
// position. At most 26 bytes.
i64 append_error_name(char* buf, i64 pos, i64 error);
