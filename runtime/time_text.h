// Wall-clock seconds as text for console lines.
#pragma once
#include "runtime/types.h"

// Room for append_utc_time's text.
constexpr i64 k_utc_time_max = 20;

// "2026-12-08T12:40:03Z" for seconds since the epoch (UTC); returns the new position.
// Times before 1970 are written as 1970-01-01T00:00:00Z.
i64 append_utc_time(char* buf, i64 pos, i64 seconds);
