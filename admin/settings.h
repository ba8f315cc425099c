// POST /api/config (credentials, rate limit, time-out) and POST /api/budget.
#pragma once
#include "agents/registry.h"
#include "core/config.h"
#include "core/json_answer.h"
#include "runtime/heap.h"
#include "runtime/types.h"

void handle_config(int conn, const char* req, i64 req_len);
void handle_budget(int conn, const char* req, i64 req_len);

constexpr i64 k_agent_name_capacity = k_agent_name_max;
// The answers: one number, or an agent's name and its budget.
constexpr i64 k_number_answer_size = json_answer_size(1, 0, 0);
constexpr i64 k_agent_answer_size = json_answer_size(1, 1, k_agent_name_capacity);

// What the settings routes take of their connection's memory beyond the request and the
// configuration file they rewrite: the fields they read and the answers they build.
constexpr i64 k_settings_route_memory = heap_block(k_credential_line_capacity + 1) + heap_block(k_username_capacity + 1)
    + heap_block(k_password_capacity + 1) + heap_block(k_agent_name_capacity + 1) + heap_block(k_number_answer_size)
    + heap_block(k_agent_answer_size);
