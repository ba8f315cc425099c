// The agent registry (32 records named by X-Agent), their model slots, the per-agent
// and global rate windows of 60 one-second buckets, and the registry part of the reset.
#pragma once
#include "runtime/types.h"

// AgentRecord field offsets inside the 64-byte record.
constexpr i64 k_agent_name = 0;
constexpr i64 k_agent_execs = 32;
constexpr i64 k_agent_blocked = 36;
constexpr i64 k_agent_bytes = 40;
constexpr i64 k_agent_last_active = 44;
constexpr i64 k_agent_tokens_in = 48;
constexpr i64 k_agent_tokens_out = 52;
constexpr i64 k_agent_token_budget = 56;

// Allocates the agent tables (start-up step 6).
void registry_init();

char* agent_record(i64 index);
char* agent_model_slot(i64 index);

i64 read_agent_header(const char* req, i64 req_len, char* out);
i64 find_or_add_agent(const char* name, i64 len);
i64 resolve_agent(const char* req, i64 req_len);

void tick_global_rate();
i64 global_rate_total();
void tick_agent_rate(i64 index);
i64 agent_rate_total(i64 index);

void reset_agents();
