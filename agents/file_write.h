// POST /api/write: an agent writes a text file under /tmp/.
#pragma once
#include "runtime/types.h"

void handle_write(int conn, const char* req, i64 req_len);
