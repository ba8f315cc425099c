// POST /api/config (credentials, rate limit, time-out) and POST /api/budget.
#pragma once
#include "runtime/types.h"

void handle_config(int conn, const char* req, i64 req_len);
void handle_budget(int conn, const char* req, i64 req_len);
