// Placeholder until the file-write endpoint lands.
#include "agents/file_write.h"
#include "server/http_response.h"
void handle_write(int conn, const char*, i64) { send_json_error(conn, 404, "Not Found", "unknown endpoint"); }
