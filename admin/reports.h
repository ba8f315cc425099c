// GET /api/health and GET /api/agents.
#pragma once
#include "runtime/types.h"

constexpr i64 k_health_report_size = 2048;

// The agents report at its largest: every slot of the registry (state.max_agents) in use,
// every token agent named.
i64 agents_report_size();

i64 build_health_report(char* out);
i64 build_agents_report(char* out);
