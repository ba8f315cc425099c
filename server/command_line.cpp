// Command-line arguments of sandbox-server. The first argument that decides the action
// wins; a second action or an unknown word refuses the whole line, so a typing mistake
// never starts a server the operator did not ask for.
#include "server/command_line.h"
#include "runtime/text.h"

const char k_usage_text[] = "Usage: sandbox-server [--port N] [--check]\n"
                            "       sandbox-server --version | --help\n"
                            "\n"
                            "  --port N    listen on port N (1-65535) instead of the configured port\n"
                            "  --check     test what this host gives the sandbox and exit: 0 when the\n"
                            "              isolation mode it would run in can be confined, else 1\n"
                            "  --version   print the version and exit\n"
                            "  --help      print this text and exit\n";

static bool is_word(const char* arg, const char* word)
{
    i64 len = text_length(word);
    return text_length(arg) == len && bytes_equal(arg, word, len);
}

// The decimal port in text, or 0 when it is not a number from 1 to 65535.
static i64 parse_port(const char* text)
{
    i64 value = 0;
    i64 len = text_length(text);
    if (len < 1 || len > 5)
        return 0;
    for (i64 i = 0; i < len; i++) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        value = value * 10 + (text[i] - '0');
    }
    return value >= 1 && value <= 65535 ? value : 0;
}

static CommandLine refused(const char* why, const char* argument = nullptr) { return { k_action_refused, 0, why, argument }; }

CommandLine parse_command_line(int argc, const char* const* argv)
{
    CommandLine line { k_action_serve, 0, nullptr, nullptr };
    bool port_given = false;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        const char* port_text = nullptr;
        if (is_word(arg, "--port")) {
            if (i + 1 >= argc)
                return refused("--port needs a number");
            port_text = argv[++i];
        } else if (text_length(arg) > 7 && bytes_equal(arg, "--port=", 7)) {
            port_text = arg + 7;
        }
        if (port_text) {
            if (port_given)
                return refused("--port given twice");
            line.port = parse_port(port_text);
            if (line.port == 0)
                return refused("--port needs a number from 1 to 65535", port_text);
            port_given = true;
            continue;
        }
        CommandAction action = is_word(arg, "--version") ? k_action_version
            : is_word(arg, "--help")                     ? k_action_help
            : is_word(arg, "--check")                    ? k_action_check
                                                         : k_action_refused;
        if (action == k_action_refused)
            return refused("unknown argument", arg);
        if (line.action != k_action_serve)
            return refused("only one of --check, --version and --help");
        line.action = action;
    }
    if (port_given && (line.action == k_action_version || line.action == k_action_help))
        return refused("--port goes with serving or --check only");
    return line;
}
