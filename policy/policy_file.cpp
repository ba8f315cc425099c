// Placeholder until the policy file lands.
#include "policy/policy_file.h"
#include "server/http_response.h"
void save_policy_file() {}
void load_policy_text(const char*, i64, PolicyVariant) {}
void load_policy_at_startup() {}
void handle_policy_reload(int conn) { send_json_error(conn, 404, "Not Found", "unknown endpoint"); }
