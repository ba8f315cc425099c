// POST /api/agents/{name}/profile: the admin gives one agent a profile of its own, or takes
// it away so the agent follows the global profile again.
#pragma once
#include "admin/setting_save.h"
#include "agents/registry.h"
#include "core/json_answer.h"
#include "runtime/heap.h"
#include "runtime/types.h"

// What the body asks for: {"profile":"moderate"} or {"profile":1} sets one, and
// {"profile":null} clears the agent's own. Pure.
enum AgentProfileStatus { k_agent_profile_set, k_agent_profile_clear, k_agent_profile_missing, k_agent_profile_invalid };
struct AgentProfileField {
    AgentProfileStatus status;
    i64 profile;
};
AgentProfileField read_agent_profile_field(const char* json, i64 len);

// Sets or clears the profile of the agent named name (its first 31 bytes, as the registry
// reads names; a name not registered yet is registered, as a first request would), from
// the request's body. One CONFIG audit entry under the agent's name and one change line.
// Answers {"ok":true,"agent":NAME,"profile":"moderate","own":true,"timeout_ms":...,
// "max_nofile":...,"persisted":false,"reason":...} with the profile and limits that now hold
// for the agent's runs ("own":false and the global ones after a clear).
void handle_agent_profile(int conn, ByteSpan name, const char* req, i64 req_len);

// The answer: agent, profile name, reason; own, six limits, persisted.
constexpr i64 k_agent_profile_answer_size = json_answer_size(7 + k_save_answer_numbers, 2 + k_save_answer_texts,
    k_agent_name_max + 10 + k_save_answer_text_bytes);
constexpr i64 k_agent_profile_memory = heap_block(k_agent_profile_answer_size);
