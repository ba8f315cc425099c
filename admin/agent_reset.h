// DELETE /api/agents/{name}: one agent starts over without leaving the registry.
#pragma once
#include "agents/registry.h"
#include "core/json_answer.h"
#include "runtime/heap.h"
#include "runtime/types.h"

// Resets the agent named name (its first 31 bytes, as the registry reads names): its runs,
// queued and running, are cancelled (each answered 409), its workspace, memory group and
// namespaces are released, and its counters, model and rate window start over; its name
// and its budget stay. One audit entry ("AGENT RESET", the counters it had) and one change
// line. Answers {"ok":true,"agent":NAME,"runs_cancelled":N}, or 404 "no such agent: NAME".
void handle_agent_reset(int conn, ByteSpan name);

// The answer, and the refusal that names the agent.
constexpr i64 k_agent_reset_answer_size = json_answer_size(1, 1, k_agent_name_max);
constexpr i64 k_agent_reset_refusal_size = 64 + k_json_string_max(k_agent_name_max);
constexpr i64 k_agent_reset_memory = heap_block(k_agent_reset_answer_size) + heap_block(k_agent_reset_refusal_size);
