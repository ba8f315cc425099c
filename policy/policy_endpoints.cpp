// Placeholder until the policy endpoints land.
#include "policy/policy_endpoints.h"
#include "runtime/text.h"
#include "server/http_response.h"
i64 build_policy_report(char* out) { return append_text(out, 0, R"({"ok":false,"error":"unknown endpoint"})"); }
void handle_policy_change(int conn, const char*, i64) { send_json_error(conn, 404, "Not Found", "unknown endpoint"); }
void handle_profile(int conn, const char*, i64) { send_json_error(conn, 404, "Not Found", "unknown endpoint"); }
