// The shell-aware verdicts. Each looks at the parse's simple commands in order, and at
// the programs each one runs (its name, what its wrappers run, find's -exec programs):
//
// - the screen: /etc/p, /etc/s, /etc/h and .ssh/ inside any word (arguments, assignment
//   values, redirection targets); /proc/ (or a word ending in /proc) only where commands
//   see the host's /proc; ".." only as a whole path component (between '/', '=', ':' or
//   the word's ends); $( ), backquotes and a program named eval only in the strict profile.
// - the blacklist, rule by rule in list order. A rule of plain words names a program by
//   its first word (by the name's last path component, or that name with a ".suffix", as
//   mkfs.ext4 for mkfs) and holds its other words as arguments of that program in order,
//   not necessarily next to each other; an argument holds a rule word when it is that word
//   or begins with it followed by '=', ':' or a glob character (dd if=/dev/sda for "dd if",
//   chown root:root for "chown root", rm -rf /* for "rm -rf /"). Any other rule is text:
//   its quotes are removed as the shell would (a quote left open by the rule's end stays
//   open), and it matches when one word holds it anywhere, or when the simple command's
//   words joined by single blanks hold it from the start of a word. So python -c 'im
//   refuses python -c 'import os' and sh -c "python -c 'import os'", and not a program
//   merely named .../python: v1/bin/python -c 'import sys' is admitted.
// - the whitelist (strict profile): every program, wrappers included, must be admitted by
//   a rule whose first word is the program's last path component and whose other words
//   are its first arguments.
#include "policy/word_matcher.h"
#include "core/state.h"
#include "policy/rules.h"
#include "runtime/text.h"

enum ScreenWhen { k_screen_always, k_screen_host_proc, k_screen_strict };
enum ScreenMatch { k_match_inside_word, k_match_proc, k_match_path_component, k_match_substitution, k_match_backquote, k_match_program };

struct ScreenRow {
    const char* sequence;
    ScreenWhen when;
    ScreenMatch match;
};

// The byte screen's sequences, each with where and how the word screen looks for it.
static constexpr ScreenRow k_word_screen[] = {
    { "/etc/p", k_screen_always, k_match_inside_word },
    { "/etc/s", k_screen_always, k_match_inside_word },
    { "/etc/h", k_screen_always, k_match_inside_word },
    { ".ssh/", k_screen_always, k_match_inside_word },
    { "/proc/", k_screen_host_proc, k_match_proc },
    { "$(", k_screen_strict, k_match_substitution },
    { "`", k_screen_strict, k_match_backquote },
    { "..", k_screen_always, k_match_path_component },
    { "eval", k_screen_strict, k_match_program },
};

static bool contains(ByteSpan hay, const char* needle, i64 needle_len) { return find_bytes(hay.ptr, hay.len, 0, needle, needle_len) >= 0; }

static bool ends_with(ByteSpan word, const char* tail)
{
    i64 len = text_length(tail);
    return word.len >= len && bytes_equal(word.ptr + word.len - len, tail, len);
}

static bool is_component_break(char c) { return c == '/' || c == '=' || c == ':'; }

static bool has_parent_component(ByteSpan word)
{
    for (i64 i = 0; i + 2 <= word.len; i++) {
        bool starts = i == 0 || is_component_break(word.ptr[i - 1]);
        bool ends = i + 2 == word.len || is_component_break(word.ptr[i + 2]);
        if (starts && ends && word.ptr[i] == '.' && word.ptr[i + 1] == '.')
            return true;
    }
    return false;
}

static bool word_screened(const ScreenRow& row, ByteSpan word, u16 flags)
{
    switch (row.match) {
    case k_match_inside_word: return contains(word, row.sequence, text_length(row.sequence));
    case k_match_proc: return contains(word, "/proc/", 6) || ends_with(word, "/proc");
    case k_match_path_component: return has_parent_component(word);
    case k_match_substitution: return (flags & k_word_command_substitution) != 0;
    case k_match_backquote: return (flags & k_word_backquote) != 0;
    case k_match_program: return false;
    }
    return false;
}

static bool row_applies(const ScreenRow& row, i64 profile, bool host_proc)
{
    return row.when == k_screen_always || (row.when == k_screen_host_proc && host_proc) || (row.when == k_screen_strict && profile == 0);
}

static bool command_screened(const ScreenRow& row, const CommandWords& c)
{
    if (row.match == k_match_program) {
        bool found = false;
        for_each_program(c, [&](i64 name, i64) { found = found || span_equals(last_path_component(c.word(name)), row.sequence); });
        return found;
    }
    for (i64 i = 0; i < c.count; i++)
        if (word_screened(row, c.word(i), c.words[i].flags))
            return true;
    return false;
}

// ---- rules as words -------------------------------------------------------------

static bool is_rule_blank(char c) { return c == ' ' || c == '\t'; }

// The rule's blank-separated words, at most max of them; returns how many.
static constexpr i64 k_rule_words_max = k_max_rule_len / 2 + 1;
static i64 split_rule(const char* rule, i64 len, ByteSpan* out)
{
    i64 count = 0;
    for (i64 i = 0; i < len;) {
        while (i < len && is_rule_blank(rule[i]))
            i++;
        i64 start = i;
        while (i < len && !is_rule_blank(rule[i]))
            i++;
        if (i > start && count < k_rule_words_max)
            out[count++] = { rule + start, i - start };
    }
    return count;
}

static bool begins_with(ByteSpan word, ByteSpan prefix) { return word.len >= prefix.len && bytes_equal(word.ptr, prefix.ptr, prefix.len); }

static bool program_named(ByteSpan name, ByteSpan rule_word)
{
    ByteSpan program = last_path_component(name);
    if (!begins_with(program, rule_word))
        return false;
    return program.len == rule_word.len || program.ptr[rule_word.len] == '.';
}

static bool argument_holds(ByteSpan argument, ByteSpan rule_word)
{
    if (!begins_with(argument, rule_word))
        return false;
    if (argument.len == rule_word.len)
        return true;
    char next = argument.ptr[rule_word.len];
    return next == '=' || next == ':' || next == '*' || next == '?' || next == '[';
}

// The steps left of the judgement's budget; spending past it leaves it exhausted.
struct JudgeSteps {
    i64 left;
    bool spend(i64 steps)
    {
        left -= steps;
        return left >= 0;
    }
};

static bool program_matches_plain(const CommandWords& c, i64 name, i64 end, const ByteSpan* rule_words, i64 rule_count, JudgeSteps& steps)
{
    if (!steps.spend(1) || !program_named(c.word(name), rule_words[0]))
        return false;
    i64 next = 1;
    i64 i = next_argument(c, name + 1, end);
    for (; i >= 0 && next < rule_count; i = next_argument(c, i + 1, end))
        if (argument_holds(c.word(i), rule_words[next]))
            next++;
    steps.spend((i < 0 ? end : i) - name);
    return next == rule_count;
}

// When a wrapper's program was a guess, every argument may be a program.
static bool command_matches_plain(const CommandWords& c, u32 flags, const ByteSpan* rule_words, i64 rule_count, JudgeSteps& steps)
{
    bool found = false;
    if (flags & k_command_wrapper_guessed) {
        for (i64 i = next_argument(c, 0, c.count); i >= 0 && !found && steps.left >= 0; i = next_argument(c, i + 1, c.count))
            found = program_matches_plain(c, i, c.count, rule_words, rule_count, steps);
        return found;
    }
    for_each_program(c, [&](i64 name, i64 end) { found = found || program_matches_plain(c, name, end, rule_words, rule_count, steps); });
    return found;
}

// The rule's text with quotes removed and backslash escapes applied, into out (at least
// len bytes); returns its length.
static i64 remove_rule_quotes(const char* rule, i64 len, char* out)
{
    i64 n = 0;
    char quote = 0;
    for (i64 i = 0; i < len; i++) {
        char c = rule[i];
        if (quote == 0 && (c == '\'' || c == '"')) {
            quote = c;
        } else if (quote != 0 && c == quote) {
            quote = 0;
        } else if (c == '\\' && quote != '\'' && i + 1 < len) {
            out[n++] = rule[++i];
        } else {
            out[n++] = c;
        }
    }
    return n;
}

// Whether the words from first on, joined by single blanks, begin with text.
static bool joined_begins_with(const CommandWords& c, i64 first, ByteSpan text)
{
    i64 t = 0;
    for (i64 i = first; i < c.count && t < text.len; i++) {
        if (i > first && text.ptr[t++] != ' ')
            return false;
        ByteSpan w = c.word(i);
        i64 take = w.len < text.len - t ? w.len : text.len - t;
        if (!bytes_equal(w.ptr, text.ptr + t, take))
            return false;
        t += take;
    }
    return t == text.len;
}

static bool command_matches_text(const CommandWords& c, ByteSpan text)
{
    if (text.len == 0)
        return false;
    for (i64 i = 0; i < c.count; i++)
        if (contains(c.word(i), text.ptr, text.len) || joined_begins_with(c, i, text))
            return true;
    return false;
}

static bool rule_has_shell_syntax(const char* rule, i64 len)
{
    constexpr char syntax[] = "|&;<>()$`\\\"'*?[]#~{}!";
    for (i64 i = 0; i < len; i++)
        if (find_bytes(syntax, sizeof(syntax) - 1, 0, rule + i, 1) >= 0)
            return true;
    return false;
}

static bool rule_matches(const ShellParse& parse, const char* rule, i64 len, i64 command, JudgeSteps& steps)
{
    CommandWords c = command_words(parse, command);
    u32 flags = parse.commands[command].flags;
    if (blacklist_rule_form(rule, len) == k_rule_plain_words) {
        ByteSpan words[k_rule_words_max];
        i64 count = split_rule(rule, len, words);
        return count > 0 && command_matches_plain(c, flags, words, count, steps);
    }
    char text[k_max_rule_len];
    i64 text_len = remove_rule_quotes(rule, len < k_max_rule_len ? len : k_max_rule_len, text);
    return command_matches_text(c, { text, text_len });
}

static bool program_admitted(const CommandWords& c, i64 name, i64 end)
{
    ByteSpan program = last_path_component(c.word(name));
    return find_rule(state.whitelist, k_whitelist_area, state.whitelist_count, [&](const char* rule, i64 len) {
        ByteSpan words[k_rule_words_max];
        i64 count = split_rule(rule, len, words);
        if (count == 0 || program.len != words[0].len || !bytes_equal(program.ptr, words[0].ptr, program.len))
            return false;
        i64 argument = name;
        for (i64 k = 1; k < count; k++) {
            argument = next_argument(c, argument + 1, end);
            if (argument < 0 || c.word(argument).len != words[k].len || !bytes_equal(c.word(argument).ptr, words[k].ptr, words[k].len))
                return false;
        }
        return true;
    }) >= 0;
}

static WordVerdict screen(const ShellParse& parse, i64 profile, bool host_proc)
{
    for (i64 command = 0; command < parse.command_count; command++) {
        CommandWords c = command_words(parse, command);
        for (const ScreenRow& row : k_word_screen)
            if (row_applies(row, profile, host_proc) && command_screened(row, c))
                return { k_words_sensitive, { row.sequence, text_length(row.sequence) }, command };
    }
    return { k_words_allowed, { "", 0 }, -1 };
}

static constexpr char k_too_much_work[] = "a command that takes too much work to judge";
static constexpr char k_guessed_wrapper[] = "a wrapper option the matcher does not know";

static WordVerdict blacklist(const ShellParse& parse, JudgeSteps& steps)
{
    WordVerdict verdict { k_words_allowed, { "", 0 }, -1 };
    find_rule(state.blacklist, k_blacklist_area, state.blacklist_count, [&](const char* rule, i64 len) {
        for (i64 command = 0; command < parse.command_count; command++)
            if (rule_matches(parse, rule, len, command, steps)) {
                verdict = { k_words_blacklist, { rule, len }, command };
                return true;
            }
        return steps.left < 0;
    });
    if (steps.left < 0)
        return { k_words_unreadable, { k_too_much_work, sizeof(k_too_much_work) - 1 }, -1, steps.left };
    return verdict;
}

static WordVerdict whitelist(const ShellParse& parse)
{
    for (i64 command = 0; command < parse.command_count; command++) {
        CommandWords c = command_words(parse, command);
        if (parse.commands[command].flags & k_command_wrapper_guessed)
            return { k_words_unreadable, { k_guessed_wrapper, sizeof(k_guessed_wrapper) - 1 }, -1 };
        i64 refused = -1;
        for_each_program(c, [&](i64 name, i64 end) {
            if (refused < 0 && !program_admitted(c, name, end))
                refused = name;
        });
        if (refused >= 0)
            return { k_words_whitelist, c.word(refused), command };
    }
    return { k_words_allowed, { "", 0 }, -1 };
}


BlacklistRuleForm blacklist_rule_form(const char* rule, i64 len)
{
    if (rule_has_shell_syntax(rule, len))
        return k_rule_text;
    ByteSpan words[k_rule_words_max];
    i64 count = split_rule(rule, len, words);
    if (count == 0 || find_bytes(words[0].ptr, words[0].len, 0, "/", 1) >= 0)
        return k_rule_text;
    return k_rule_plain_words;
}

WordVerdict judge_words(const ShellParse& parse, i64 profile, bool host_proc)
{
    WordVerdict verdict = screen(parse, profile, host_proc);
    verdict.steps_left = parse.steps_left;
    if (verdict.kind != k_words_allowed)
        return verdict;
    JudgeSteps steps { parse.steps_left };
    verdict = blacklist(parse, steps);
    verdict.steps_left = steps.left;
    if (verdict.kind != k_words_allowed || profile != 0)
        return verdict;
    verdict = whitelist(parse);
    verdict.steps_left = steps.left;
    return verdict;
}
