// Placeholder until the exec pipeline lands.
#include "exec/exec_endpoint.h"
#include "server/http_response.h"
void handle_exec(int conn, const char*, i64) { send_json_error(conn, 404, "Not Found", "unknown endpoint"); }
