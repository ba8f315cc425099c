// The policy file /etc/cindervox/policy.conf: its writer and its reader (start-up and
// reload variants).
#pragma once
#include "policy/rules.h"
#include "runtime/text.h"
#include "runtime/types.h"

enum PolicyVariant : i64 { k_policy_startup = 0, k_policy_reload = 1 };

// The values the policy settings may take, in the file and in the requests that change
// them; a file line outside its range is ignored with a console line naming it.
//   profile               0, 1 or 2: the rows of the profile table (k_profile_count).
//   max_rate_per_agent    1 to 100000 runs a minute: 0 would stop every agent, and the
//                         server admits at most 20 requests a second (1200 a minute), so a
//                         larger limit could never be reached.
//   default_token_budget  0 (none) to 4294967295: it stands in for an agent's own budget,
//                         which is a u32 counter.
//   matcher               bytes (the default) or words: how commands are matched
//                         (policy/command_judge.h).
constexpr i64 k_rate_limit_low = 1;
constexpr i64 k_rate_limit_high = 100000;
constexpr i64 k_token_budget_high = k_u32_max;

// One read of at most this many bytes, into a buffer one byte larger.
constexpr i64 k_policy_read_max = 8191;

// The writer's fixed lines with every number at its widest, then the rule lines: a rule
// line is the rule and its LF, exactly the bytes the rule takes in its area (length byte
// and rule), so the rule lines together never exceed the two areas. The worst case is
// both areas full of one-byte rules, two bytes per line.
constexpr i64 k_policy_fixed_max = sizeof("# Cindervox Policy — auto-saved by dashboard\n") - 1 + sizeof("[config]\n") - 1 +
    sizeof("profile=\n") - 1 + k_decimal_max + sizeof("max_rate_per_agent=\n") - 1 + k_decimal_max + sizeof("default_token_budget=\n") - 1 +
    k_decimal_max + sizeof("matcher=words\n") - 1 + sizeof("\n[blacklist]\n") - 1 + sizeof("\n[whitelist]\n") - 1;
constexpr i64 k_policy_text_size = k_policy_fixed_max + k_blacklist_area + k_whitelist_area;

// Writes the policy file for the lists and settings in force. Returns 0, or the negated
// errno when it could not be written (the change stays in force in memory; the caller says
// so in its answer).
i64 save_policy_file();
constexpr char k_policy_path[] = "/etc/cindervox/policy.conf";

// The file text for the current lists and settings; returns its length, at most
// k_policy_text_size.
i64 build_policy_file_text(char* out);

// Applies the file's text; a setting line outside its range prints a console line with
// its line number (counted from 1) and leaves the setting as it was.
void load_policy_text(const char* text, i64 len, PolicyVariant variant);

// Start-up load with its console messages.
void load_policy_at_startup();

enum ReloadResult { k_reload_done, k_reload_missing, k_reload_unreadable };

// Reads the policy file again as a reload (with its console line) and applies it.
ReloadResult reload_policy_file();
