// Placeholder until the registry lands.
#include "agents/registry.h"
void registry_init() {}
char* agent_record(i64) { return nullptr; }
char* agent_model_slot(i64) { return nullptr; }
i64 read_agent_header(const char*, i64, char*) { return 0; }
i64 find_or_add_agent(const char*, i64) { return -1; }
i64 resolve_agent(const char*, i64) { return -1; }
void tick_global_rate() {}
i64 global_rate_total() { return 0; }
void tick_agent_rate(i64) {}
i64 agent_rate_total(i64) { return 0; }
void reset_agents() {}
