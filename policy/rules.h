// The command policy: blacklist and whitelist rule areas, the security profile and the
// limits it implies, and the verdict for a command.
#pragma once
#include "runtime/types.h"

constexpr i64 k_max_rule_len = 200;

void install_default_blacklist();
void install_default_whitelist();

// Append one rule. Returns 1 when stored, 0 when refused (length outside 1..200, or the
// rule does not fit its area: length + 2 bytes are needed beyond the bytes in use).
i64 add_blacklist_rule(const char* text, i64 len);
i64 add_whitelist_rule(const char* text, i64 len);

// Stores p in profile; 0, 1 and 2 also set the six limits of their row.
void apply_profile(i64 p);

// "strict", "moderate", "permissive", or nullptr for any other number.
const char* profile_name(i64 p);

i64 whitelist_admits(const char* cmd, i64 len);

// 0 allowed, 1 a blacklist rule occurs in the command, 2 strict and not whitelisted.
i64 check_command_policy(const char* cmd, i64 len);
