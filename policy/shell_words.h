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
// k_word_program: the word names a program the simple command runs (set once, so that
// no walk visits a name twice).
enum ShellWordFlags : u16 { k_word_command_substitution = 1, k_word_backquote = 2, k_word_program = 4 };

// One word: its bytes are text[start, start + len) of the parse.
struct ShellWord {
    u32 start;
    u32 len;
    u16 kind;
    u16 flags;
};

// k_command_wrapper_guessed: a wrapper had an option its model does not know exactly (or
// its name is an expansion), so the program it runs is a guess: the blacklist then takes
// every argument of the command for a program, and the strict profile refuses it unread.
enum SimpleCommandFlags : u32 { k_command_loop_header = 1, k_command_wrapper_guessed = 2 };

// A program the simple command runs: the index of its name word and the index after its
// last word, both within the command.
struct ShellProgram {
    u32 name;
    u32 end;
};

// words[first_word, first_word + word_count) of the parse, and programs[first_program,
// first_program + program_count). A for header (k_command_loop_header) names no command:
// its words are a variable and a list.
struct SimpleCommand {
    u32 first_word;
    u32 word_count;
    u32 flags;
    u32 first_program;
    u32 program_count;
};

// The work one judgement may do, in steps: a word looked at by a wrapper or find walk, an
// argument compared with a plain rule. The walks and matches are linear for ordinary
// commands; text built to make them quadratic runs out of steps and is unreadable.
constexpr i64 k_shell_steps_per_byte = 64;
constexpr i64 k_shell_steps_base = 1 << 16;
constexpr i64 shell_step_budget(i64 cmd_len) { return k_shell_steps_base + k_shell_steps_per_byte * cmd_len; }

constexpr i64 k_shell_record_align = 8;
constexpr i64 shell_align(i64 size) { return (size + k_shell_record_align - 1) / k_shell_record_align * k_shell_record_align; }
// Every table of the parse for a command of cmd_len bytes (capped at k_shell_cmd_max:
// a longer command is refused before any of it is used).
constexpr i64 shell_scratch_size(i64 cmd_len)
{
    i64 n = cmd_len < 0 ? 0 : cmd_len > k_shell_cmd_max ? k_shell_cmd_max : cmd_len;
    return shell_align(shell_word_capacity(n) * (i64)sizeof(ShellWord)) + shell_align(shell_command_capacity(n) * (i64)sizeof(SimpleCommand))
        + shell_align(shell_word_capacity(n) * (i64)sizeof(ShellProgram))
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
    const ShellProgram* programs;
    // Steps of shell_step_budget(cmd_len) the parse left; the judge spends them.
    i64 steps_left;
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
    const ShellProgram* programs;
    i64 program_count;
    ByteSpan word(i64 i) const { return { text + words[i].start, (i64)words[i].len }; }
    bool is_argument(i64 i) const { return words[i].kind == k_word_argument; }
};

CommandWords command_words(const ShellParse& parse, i64 command);

// What follows the last '/' of a word (the whole word when it has none).
ByteSpan last_path_component(ByteSpan word);

// The first argument word at or after from and before end, or -1.
i64 next_argument(const CommandWords& c, i64 from, i64 end);

// Calls visit(name, end) for every program the simple command runs, each name once: its
// own name, the programs its wrappers run, and the programs of find's -exec actions (each
// with its own wrappers). end is the index after the program's last word. A command
// without a name (assignments or redirections only, a loop header) runs none. The parser
// found them once, in a walk bounded by the step budget.
template <typename Visit>
void for_each_program(const CommandWords& c, Visit visit)
{
    for (i64 k = 0; k < c.program_count; k++)
        visit((i64)c.programs[k].name, (i64)c.programs[k].end);
}
