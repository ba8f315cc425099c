// A command read as sh reads it, for judging: its simple commands, each a run of words
// with quotes removed and escapes applied, assignments and redirection targets told apart
// from the arguments. Lists and pipelines, subshells, groups, command substitutions and
// the string argument of sh -c and eval all become simple commands of their own, to a
// bounded depth. Nothing is executed and no file is read: variables expand only to the
// values the same text assigned, unknown ones stay as written.
//
// The parser allocates nothing: the caller gives shell_scratch_size(cmd_len) bytes, and
// every table in it has a capacity computed from cmd_len. A command that needs more, or
// that holds a construct the parser does not read (a here-document, case, a function
// definition, an unclosed quote ...), is unreadable; it is never cut.
#pragma once
#include "runtime/types.h"

// Nesting of command substitutions, backquotes, sh -c and eval strings below the text.
constexpr i64 k_shell_depth_max = 4;
// Distinct variable names the text may assign.
constexpr i64 k_shell_variables_max = 64;
// The longest command the parser reads.
constexpr i64 k_shell_cmd_max = 1 << 20;

// Capacities for a command of cmd_len bytes (at most k_shell_cmd_max):
// - words: a word takes at least one byte of the text and a separator, so a text holds at
//   most ceil(cmd_len / 2) words; the slack covers the words of nested strings and
//   substitutions, which take their bytes from words already counted, in the usual case.
// - simple commands: each holds at least one word, so no more than the words.
// - text: the words' bytes. Quote removal only shrinks a word, so each level of nesting
//   (the text, and at most k_shell_depth_max levels below it) writes at most cmd_len bytes
//   of words; one level's worth more holds backquote bodies and eval strings.
// These are budgets, not promises: a text that needs more (expansions that grow, deep
// backquotes, many substitutions inside one word) is unreadable, never cut.
constexpr i64 k_shell_word_slack = 256;
constexpr i64 k_shell_text_slack = 4096;
constexpr i64 k_shell_text_factor = k_shell_depth_max + 2;
constexpr i64 shell_word_capacity(i64 cmd_len) { return (cmd_len + 1) / 2 + k_shell_word_slack; }
constexpr i64 shell_command_capacity(i64 cmd_len) { return shell_word_capacity(cmd_len); }
constexpr i64 shell_text_capacity(i64 cmd_len) { return k_shell_text_factor * cmd_len + k_shell_text_slack; }

enum ShellWordKind : u16 { k_word_argument, k_word_assignment, k_word_redirection };
enum ShellWordFlags : u16 { k_word_command_substitution = 1, k_word_backquote = 2 };

// One word: its bytes are text[start, start + len) of the parse.
struct ShellWord {
    u32 start;
    u32 len;
    u16 kind;
    u16 flags;
};

enum SimpleCommandFlags : u32 { k_command_loop_header = 1 };

// words[first_word, first_word + word_count) of the parse. A for or select header
// (k_command_loop_header) names no command: its words are a variable and a list.
struct SimpleCommand {
    u32 first_word;
    u32 word_count;
    u32 flags;
};

constexpr i64 k_shell_record_align = 8;
constexpr i64 shell_align(i64 size) { return (size + k_shell_record_align - 1) / k_shell_record_align * k_shell_record_align; }
// Every table of the parse for a command of cmd_len bytes (capped at k_shell_cmd_max:
// a longer command is refused before any of it is used).
constexpr i64 shell_scratch_size(i64 cmd_len)
{
    i64 n = cmd_len < 0 ? 0 : cmd_len > k_shell_cmd_max ? k_shell_cmd_max : cmd_len;
    return shell_align(shell_word_capacity(n) * (i64)sizeof(ShellWord)) + shell_align(shell_command_capacity(n) * (i64)sizeof(SimpleCommand))
        + shell_align(k_shell_variables_max * 4 * (i64)sizeof(u32)) + shell_align(shell_text_capacity(n));
}

struct ShellParse {
    // False when the command could not be read; problem then says why ("an unclosed
    // quote", "a here-document" ...), and the tables are not to be used.
    bool readable;
    const char* problem;
    const char* text;
    const ShellWord* words;
    i64 word_count;
    const SimpleCommand* commands;
    i64 command_count;
};

// Reads cmd (cmd_len bytes) into scratch (shell_scratch_size(cmd_len) bytes, 8-aligned).
// The parse points into scratch and lives as long as it does.
ShellParse parse_shell_words(const char* cmd, i64 cmd_len, char* scratch);

// ---- simple commands as programs ------------------------------------------------

// The words of one simple command.
struct CommandWords {
    const char* text;
    const ShellWord* words;
    i64 count;
    ByteSpan word(i64 i) const { return { text + words[i].start, (i64)words[i].len }; }
    bool is_argument(i64 i) const { return words[i].kind == k_word_argument; }
};

CommandWords command_words(const ShellParse& parse, i64 command);

// What follows the last '/' of a word (the whole word when it has none).
ByteSpan last_path_component(ByteSpan word);

// The first argument word at or after from and before end, or -1.
i64 next_argument(const CommandWords& c, i64 from, i64 end);

// When the argument at name runs another program (env, nice, timeout, xargs, sudo ...),
// the index of that program's name word, past the wrapper's options, assignments and
// duration; otherwise -1. A name holding an unresolved expansion ($W, `...`) counts as a
// wrapper of its first argument that is no option.
i64 wrapped_name(const CommandWords& c, i64 name, i64 end);

// When the argument at name is find: the first -exec, -execdir, -ok or -okdir program at
// or after from, as its name index, with *program_end the index of its closing ";" or "+"
// (or end); -1 when there is none.
i64 next_find_program(const CommandWords& c, i64 name, i64 from, i64 end, i64* program_end);

// Calls visit(name, end) for every program the simple command runs: its own name, the
// programs its wrappers run, and the programs of find's -exec actions (each with its own
// wrappers). end is the index after the program's last word. A command without a name
// (assignments or redirections only, a loop header) runs none.
template <typename Visit>
void for_each_program(const CommandWords& c, u32 command_flags, Visit visit)
{
    if (command_flags & k_command_loop_header)
        return;
    i64 end = c.count;
    for (i64 name = next_argument(c, 0, end); name >= 0; name = wrapped_name(c, name, end)) {
        visit(name, end);
        i64 program_end = end;
        for (i64 start = next_find_program(c, name, name + 1, end, &program_end); start >= 0;
             start = next_find_program(c, name, program_end, end, &program_end))
            for (i64 inner = start; inner >= 0; inner = wrapped_name(c, inner, program_end))
                visit(inner, program_end);
    }
}
