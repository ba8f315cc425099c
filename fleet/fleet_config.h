// FleetConfig: the one global record of fleet-dashboard, holding its port and the table
// of sandboxes its page watches. The heap words live in the runtime's BumpHeap record
// (runtime/heap.h), which this program links like the sandbox server does.
#pragma once
#include "runtime/types.h"

// Longest url and name an entry may have, and the longest "user:password" of its own
// login; the page buffer is sized on them.
constexpr i64 k_fleet_url_max = 64;
constexpr i64 k_fleet_name_max = 31;
constexpr i64 k_fleet_login_max = 63;
// Base64 of the longest login: 4 * ceil(63 / 3).
constexpr i64 k_fleet_auth_max = 84;

// The Base64 text of the default login admin:wickerpod, in force while the fleet file has
// no login line.
constexpr char k_fleet_default_credential[] = "YWRtaW46d2lja2VycG9k";
constexpr i64 k_fleet_default_credential_len = sizeof(k_fleet_default_credential) - 1;
static_assert(k_fleet_default_credential_len <= k_fleet_auth_max);

// One sandbox the page talks to: its base URL (no trailing "/"), its display name, and
// the Base64 text of its own Basic login, or nullptr for the sandboxes' built-in default.
// All NUL-terminated; url and name hold only characters that need no escaping in the
// page's markup or script.
struct FleetSandbox {
    const char* url;
    const char* name;
    const char* auth;
};

constexpr i64 k_fleet_sandbox_slots = 16;

struct FleetConfig {
    i64 port;
    // Entries of sandboxes in use, counted from the first; 1 to k_fleet_sandbox_slots.
    i64 sandbox_count;
    FleetSandbox sandboxes[k_fleet_sandbox_slots];
    // The Base64 text of the page's own login (user:password), NUL-terminated: the fleet
    // file's login line, or admin:wickerpod without one.
    char login[k_fleet_auth_max + 1];
    i64 login_len;
    // True once the fleet file gave the login.
    bool login_configured;
};

extern constinit FleetConfig fleet_config;
