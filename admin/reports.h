// GET /api/health and GET /api/agents.
#pragma once
#include "runtime/types.h"

constexpr i64 k_health_report_size = 1024;
constexpr i64 k_agents_report_size = 32768;

i64 build_health_report(char* out);
i64 build_agents_report(char* out);
