// sandbox-server --check: what this host gives the sandbox, one console line each, and
// whether the isolation mode the server would run in can be confined as documented.
#pragma once
#include "runtime/types.h"

// Runs every probe and prints its line. Returns the exit status: 0 when the mode can be
// confined, 1 when it cannot.
int run_preflight();
