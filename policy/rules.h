// The command policy: blacklist and whitelist rule areas, the security profile and the
// limits it implies, and the verdict for a command.
#pragma once
#include "runtime/types.h"

constexpr i64 k_max_rule_len = 200;
// Bytes of the two rule areas.
constexpr i64 k_blacklist_area = 2048;
constexpr i64 k_whitelist_area = 1024;

void install_default_blacklist();
void install_default_whitelist();

// Append one rule. Returns 1 when stored, 0 when refused (length outside 1..200, or the
// rule does not fit its area: length + 2 bytes are needed beyond the bytes in use).
i64 add_blacklist_rule(const char* text, i64 len);
i64 add_whitelist_rule(const char* text, i64 len);

// The profiles are numbered 0 (strict), 1 (moderate) and 2 (permissive).
constexpr i64 k_profile_count = 3;
constexpr bool profile_in_range(i64 p) { return p >= 0 && p < k_profile_count; }

// Stores p in profile and sets the six limits of its row. A number outside 0 to 2 changes
// nothing and gives false: there is no row to read for it.
bool apply_profile(i64 p);

// "strict", "moderate", "permissive", or nullptr for any other number.
const char* profile_name(i64 p);

// Calls visit(rule, len) for the first count rules of an area (length byte, then the rule),
// in list order, until visit returns true; returns the offset of that rule's length byte,
// or -1 when visit never did. Stops at a zero length byte or at a rule that would run past
// area_size.
template <typename Visit>
i64 find_rule(const char* area, i64 area_size, i64 count, Visit visit)
{
    i64 offset = 0;
    for (i64 n = 0; n < count && area && offset < area_size; n++) {
        i64 len = (u8)area[offset];
        if (len == 0 || offset + 1 + len > area_size)
            return -1;
        if (visit(area + offset + 1, len))
            return offset;
        offset += len + 1;
    }
    return -1;
}

// The same walk for visitors that look at every rule.
template <typename Visit>
void for_each_rule(const char* area, i64 area_size, i64 count, Visit visit)
{
    find_rule(area, area_size, count, [&](const char* rule, i64 len) {
        visit(rule, len);
        return false;
    });
}

bool whitelist_admits(const char* cmd, i64 len);

enum PolicyVerdict { k_policy_allowed, k_policy_blacklisted, k_policy_not_whitelisted };

// Whether a blacklist rule occurs in the command or, in the strict profile, no whitelist
// rule admits it. When matched is given, a blacklist verdict stores the rule there, and a
// whitelist verdict the command word that no rule admits.
PolicyVerdict check_command_policy(const char* cmd, i64 len, ByteSpan* matched = nullptr);

// The same verdict for an agent of the given profile (0 to 2) instead of the server's.
PolicyVerdict check_command_policy(const char* cmd, i64 len, i64 profile, ByteSpan* matched);
