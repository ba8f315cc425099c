// GET /api/policy, POST /api/policy (add or remove a rule), POST /api/profile and
// POST /api/policy/reload.
#pragma once
#include "admin/setting_save.h"
#include "core/json_answer.h"
#include "policy/rules.h"
#include "runtime/heap.h"
#include "runtime/types.h"

// Worst case: both areas full of rules made of control bytes, each of which is written
// as a six-byte \u00XX escape.
constexpr i64 k_policy_report_size = 24576;

i64 build_policy_report(char* out);

constexpr i64 k_action_capacity = 15;
// "bytes" or "words", and one byte more to tell a longer value apart.
constexpr i64 k_matcher_capacity = 6;
// The widest answer of the POST handlers: four numbers or the matcher's name, and whether
// the change was saved.
constexpr i64 k_policy_answer_size = json_answer_size(4 + k_save_answer_numbers, 1 + k_save_answer_texts, 5 + k_save_answer_text_bytes);

// What a rule change takes of its connection's memory beyond the request and the policy
// file it rewrites: its action and rule, and its answer.
constexpr i64 k_policy_change_memory = heap_block(k_action_capacity + 1) + heap_block(k_max_rule_len + 1) + heap_block(k_policy_answer_size);
void handle_policy_change(int conn, const char* req, i64 req_len);
void handle_profile(int conn, const char* req, i64 req_len);
// POST /api/policy/reload.
void handle_policy_reload(int conn);

// The pure steps of the handlers.
enum RuleActionKind : i64 { k_rule_none = 0, k_rule_add = 1, k_rule_remove = 2 };
struct RuleAction {
    RuleActionKind kind;
    i64 blacklist;
    i64 whitelist;
};

// Reads an action by its first, fourth and fifth bytes ("add_bl", "rm_wl", ...). The text
// must be readable up to index 4 (bytes past its end are 0).
RuleAction classify_rule_action(const char* action);

// True when the policy file can hold the rule as one rule line: no line break in it, and not
// starting with "#" (a comment) or "[" (a section header).
bool rule_storable(const char* rule, i64 len);

// Takes the first rule equal to rule out of an area, moving the later rules forward.
// 1 when one was removed, 0 when none is equal.
i64 remove_rule(char* area, i64 area_size, i64* count, i64* used, const char* rule, i64 len);

// The profile a POST /api/profile request asks for: the integer value of the "profile"
// member of its JSON body. A value that is no integer, or one outside 0 to 2, is invalid.
enum ProfileFieldStatus { k_profile_given, k_profile_missing, k_profile_invalid };
struct ProfileField {
    ProfileFieldStatus status;
    i64 profile; // 0 to 2 when given
};
ProfileField read_profile_field(const char* req, i64 req_len);
