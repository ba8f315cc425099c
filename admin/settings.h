// POST /api/config (credentials, rate limit, time-out) and POST /api/budget.
#pragma once
#include "admin/setting_save.h"
#include "agents/registry.h"
#include "core/config.h"
#include "core/json_answer.h"
#include "runtime/heap.h"
#include "runtime/types.h"

void handle_config(int conn, const char* req, i64 req_len);
void handle_budget(int conn, const char* req, i64 req_len);

constexpr i64 k_agent_name_capacity = k_agent_name_max;
// The answers: one number, an agent's name and its budget, or the credentials' message;
// each with whether it was saved.
constexpr i64 k_number_answer_size = json_answer_size(1 + k_save_answer_numbers, k_save_answer_texts, k_save_answer_text_bytes);
constexpr i64 k_agent_answer_size =
    json_answer_size(1 + k_save_answer_numbers, 1 + k_save_answer_texts, k_agent_name_capacity + k_save_answer_text_bytes);
constexpr i64 k_message_answer_size = json_answer_size(k_save_answer_numbers, 1 + k_save_answer_texts, 96 + k_save_answer_text_bytes);

// What the settings routes take of their connection's memory beyond the request and the
// configuration file they rewrite: the fields they read and the answers they build.
constexpr i64 k_settings_route_memory = heap_block(k_credential_line_capacity + 1) + heap_block(k_username_capacity + 1)
    + heap_block(k_password_capacity + 1) + heap_block(k_agent_name_capacity + 1) + heap_block(k_number_answer_size)
    + heap_block(k_agent_answer_size) + heap_block(k_message_answer_size);
