// FleetConfig: the one global record of fleet-dashboard, holding its port and the table
// of sandboxes its page watches. The heap words live in the runtime's BumpHeap record
// (runtime/heap.h), which this program links like the sandbox server does.
#pragma once
#include "runtime/types.h"

// One sandbox the page talks to: its base URL (no trailing "/") and its display name,
// both NUL-terminated constants of the program.
struct FleetSandbox {
    const char* url;
    const char* name;
};

constexpr i64 k_fleet_sandbox_slots = 3;
// Longest url or name a table entry may have; the page buffer is sized on it.
constexpr i64 k_fleet_entry_text_max = 64;

struct FleetConfig {
    i64 port;
    // Entries of sandboxes in use, counted from the first; 1 to 3.
    i64 sandbox_count;
    FleetSandbox sandboxes[k_fleet_sandbox_slots];
};

extern constinit FleetConfig fleet_config;
