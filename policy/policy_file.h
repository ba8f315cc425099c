// The policy file /etc/cindervox/policy.conf: writer, reader (start-up and reload
// variants) and POST /api/policy/reload.
#pragma once
#include "runtime/types.h"

enum PolicyVariant : i64 { k_policy_startup = 0, k_policy_reload = 1 };

void save_policy_file();
void load_policy_text(const char* text, i64 len, PolicyVariant variant);

// Start-up load with its console messages.
void load_policy_at_startup();

void handle_policy_reload(int conn);
