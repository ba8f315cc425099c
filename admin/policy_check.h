// POST /api/policy/check: whether a command would run for an agent, and why not, judged as
// the exec pipeline judges it, without running or counting anything.
#pragma once
#include "runtime/types.h"

void handle_policy_check(int conn, const char* req, i64 req_len);

// Every block the handler may take, each rounded as the heap rounds it.
i64 policy_check_route_memory();
