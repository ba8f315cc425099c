// The arguments sandbox-server accepts: --version, --help, --check and --port N. Pure,
// so the hosted tests take it as it ships.
#pragma once
#include "runtime/types.h"

enum CommandAction {
    k_action_serve,
    k_action_version,
    k_action_help,
    k_action_check,
    k_action_refused,
};

struct CommandLine {
    CommandAction action;
    // The port given with --port, or 0 when none was given.
    i64 port;
    // Why the arguments were refused (k_action_refused), else nullptr.
    const char* error;
    // The argument the refusal is about, or nullptr.
    const char* argument;
};

// Reads argv[1] to argv[argc - 1]. --port N (or --port=N, N from 1 to 65535) goes with
// serving and with --check; --version and --help stand alone. Anything else is refused.
CommandLine parse_command_line(int argc, const char* const* argv);

// The usage text, ending in a line feed.
extern const char k_usage_text[];
