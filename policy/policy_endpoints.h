// GET /api/policy, POST /api/policy (add or remove a rule) and POST /api/profile.
#pragma once
#include "runtime/types.h"

// Worst case: both areas full of one-byte rules that each escape to six bytes.
constexpr i64 k_policy_report_size = 24576;

i64 build_policy_report(char* out);
void handle_policy_change(int conn, const char* req, i64 req_len);
void handle_profile(int conn, const char* req, i64 req_len);
