// The security profiles and the limits of one run. A profile is a row of six limits;
// the global profile's limits live in the server state (where the admin's time-out
// override also lands), and an agent may have a profile of its own, whose row then
// holds for its runs instead. Pure: the hosted tests and every layer above read it.
#pragma once
#include "runtime/types.h"

// The profiles are numbered 0 (strict), 1 (moderate) and 2 (permissive).
constexpr i64 k_profile_count = 3;
constexpr bool profile_in_range(i64 p) { return p >= 0 && p < k_profile_count; }

// "strict", "moderate", "permissive", or nullptr for any other number.
const char* profile_name(i64 p);

// The longest profile name ("permissive").
constexpr i64 k_profile_name_max = 10;

// The number of the profile named name exactly, or -1.
i64 profile_by_name(ByteSpan name);

// The limits a run is held to, and the profile they come from.
struct RunLimits {
    i64 profile;
    i64 timeout_ms;
    i64 max_mem_mb;
    i64 max_cpu_sec;
    i64 max_procs;
    i64 max_fsize;
    i64 max_nofile;
};

// The row of profile p (0 to 2); p outside them gives the strict row.
RunLimits profile_limits(i64 p);

// The global profile's limits as the server state holds them (the time-out may be the
// admin's own).
RunLimits global_run_limits();

// An agent's own profile as its record keeps it: 0 for none (the agent follows the
// global profile), else the profile's number plus one, so a zeroed record has none.
using OwnProfile = u8;
constexpr OwnProfile k_no_own_profile = 0;
constexpr OwnProfile own_profile_code(i64 p) { return profile_in_range(p) ? (OwnProfile)(p + 1) : k_no_own_profile; }
constexpr bool has_own_profile(OwnProfile own) { return own != k_no_own_profile && own <= k_profile_count; }

// The limits of a run of an agent whose own profile is own: its row when it has one,
// otherwise the global limits.
RunLimits run_limits_for(OwnProfile own);
