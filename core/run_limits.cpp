// The profile table and the choice of a run's limits.
#include "core/run_limits.h"
#include "core/state.h"
#include "runtime/text.h"

struct ProfileRow {
    const char* name;
    RunLimits limits;
};

static constexpr ProfileRow k_profiles[] = {
    { "strict", { 0, 5000, 64, 5, 16, 10485760, 32 } },
    { "moderate", { 1, 30000, 256, 30, 16, 52428800, 64 } },
    { "permissive", { 2, 300000, 1024, 300, 50, 104857600, 256 } },
};
static_assert(sizeof(k_profiles) / sizeof(k_profiles[0]) == k_profile_count);

static constexpr bool rows_numbered_in_order()
{
    for (i64 p = 0; p < k_profile_count; p++)
        if (k_profiles[p].limits.profile != p || text_length(k_profiles[p].name) > k_profile_name_max)
            return false;
    return true;
}
static_assert(rows_numbered_in_order());

const char* profile_name(i64 p)
{
    if (!profile_in_range(p))
        return nullptr;
    return k_profiles[p].name;
}

i64 profile_by_name(ByteSpan name)
{
    for (i64 p = 0; p < k_profile_count; p++)
        if (span_equals(name, k_profiles[p].name))
            return p;
    return -1;
}

RunLimits profile_limits(i64 p) { return k_profiles[profile_in_range(p) ? p : 0].limits; }

RunLimits global_run_limits()
{
    return { state.profile, state.timeout_ms, state.max_mem_mb, state.max_cpu_sec, state.max_procs, state.max_fsize, state.max_nofile };
}

RunLimits run_limits_for(OwnProfile own)
{
    if (!has_own_profile(own))
        return global_run_limits();
    return profile_limits((i64)own - 1);
}
