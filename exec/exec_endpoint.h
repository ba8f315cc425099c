// POST /api/exec: attribute, rate-check, budget-check, screen, judge, run, answer.
#pragma once
#include "runtime/types.h"

void handle_exec(int conn, const char* req, i64 req_len);
