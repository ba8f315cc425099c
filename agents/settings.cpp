// Placeholder until the settings endpoints land.
#include "agents/settings.h"
#include "server/http_response.h"
void handle_config(int conn, const char*, i64) { send_json_error(conn, 404, "Not Found", "unknown endpoint"); }
void handle_budget(int conn, const char*, i64) { send_json_error(conn, 404, "Not Found", "unknown endpoint"); }
