// The shell reader. One list (the whole text, a $( ) body, an sh -c or eval string) is
// read left to right; a simple command's words wait on a stack at the top of the word
// table until the command ends, then move down to the finished words, so the commands of a
// substitution inside a word, which end first, never interleave with the words around it.
// Word bytes go to the text area in order; when a nested list wrote its words while a word
// was half built, the built part moves after them, so every word stays one run of bytes.
#include "policy/shell_words.h"
#include "runtime/text.h"

struct Variable {
    u32 name_start;
    u32 name_len;
    u32 value_start;
    u32 value_len;
};
// A name assigned two different values: which one a later expansion sees depends on the
// path taken, so such an expansion makes the command unreadable.
static constexpr u32 k_value_ambiguous = 0xFFFFFFFFu;

struct Parser {
    const char* problem;
    char* text;
    i64 text_cap;
    i64 text_used;
    ShellWord* words;
    i64 word_cap;
    i64 word_count;
    // Words of unfinished commands occupy [pending_top, word_cap), the newest lowest.
    i64 pending_top;
    SimpleCommand* commands;
    i64 command_cap;
    i64 command_count;
    Variable* variables;
    i64 variable_count;
    ShellProgram* programs;
    i64 program_count;
    i64 steps_used;
    i64 step_limit;
};

struct List {
    const char* src;
    i64 len;
    i64 pos;
    i64 depth;
    // A $( ) body ends at its unmatched ')'.
    bool until_paren;
    i64 open_parens;
    // The simple command being read: where its pending words begin, whether it has a
    // name yet (reserved words and assignments are recognised only before it), its flags.
    i64 pending_base;
    bool named;
    u32 flags;
};

struct Word {
    i64 start;
    // A quote or escape took part: the word stays even when empty.
    bool quoted;
    // A quote, escape or expansion took part: the word is no reserved word and no
    // descriptor number.
    bool expanded;
    // Bytes at its start that came from plain unquoted characters.
    i64 literal;
    bool in_literal;
    bool target;
    u16 flags;
};

static bool fail(Parser& p, const char* problem)
{
    if (!p.problem)
        p.problem = problem;
    return false;
}

static bool is_blank(char c) { return c == ' ' || c == '\t'; }
static bool ends_word(char c) { return is_blank(c) || c == '\n' || c == ';' || c == '&' || c == '|' || c == '<' || c == '>' || c == '(' || c == ')'; }
static bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
static bool is_name_char(char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

static bool put_byte(Parser& p, char c)
{
    if (p.text_used >= p.text_cap)
        return fail(p, "a command too large to read");
    p.text[p.text_used++] = c;
    return true;
}

// src may lie in the text area itself, below text_used.
static bool put_bytes(Parser& p, const char* src, i64 len)
{
    if (len > p.text_cap - p.text_used)
        return fail(p, "a command too large to read");
    for (i64 i = 0; i < len; i++)
        p.text[p.text_used + i] = src[i];
    p.text_used += len;
    return true;
}

static void mark_quoted(Word& w)
{
    w.quoted = true;
    w.expanded = true;
    w.in_literal = false;
}

static void mark_expanded(Word& w)
{
    w.expanded = true;
    w.in_literal = false;
}

// After a nested list wrote text behind the word's first bytes, those bytes move to the
// end, so the word continues as one run.
static bool relocate(Parser& p, Word& w, i64 before)
{
    if (p.text_used == before)
        return true;
    i64 start = p.text_used;
    if (!put_bytes(p, p.text + w.start, before - w.start))
        return false;
    w.start = start;
    return true;
}

// The offset of '=' when the word's literal start is NAME=, or -1.
static i64 assignment_equals(const char* text, i64 len)
{
    if (len < 2 || !is_name_start(text[0]))
        return -1;
    for (i64 i = 1; i < len; i++) {
        if (text[i] == '=')
            return i;
        if (!is_name_char(text[i]))
            return -1;
    }
    return -1;
}

static bool is_assignment_word(const Parser& p, const List& l, const Word& w)
{
    return !l.named && !w.target && assignment_equals(p.text + w.start, w.literal) > 0;
}

static bool push_word(Parser& p, const Word& w, ShellWordKind kind)
{
    if (p.pending_top <= p.word_count)
        return fail(p, "a command with too many words to read");
    i64 len = p.text_used - w.start;
    p.words[--p.pending_top] = { (u32)w.start, (u32)len, (u16)kind, w.flags };
    return true;
}

static constexpr const char* k_skipped_reserved[] = { "!", "{", "}", "if", "then", "else", "elif", "fi", "do", "done", "while", "until" };
// dash has no select: there it is a program's name like any other.
static constexpr const char* k_loop_reserved[] = { "for" };
static constexpr const char* k_unread_reserved[] = { "case", "esac", "function", "coproc" };

static bool in_table(ByteSpan word, const char* const* table, i64 count)
{
    for (i64 i = 0; i < count; i++)
        if (span_equals(word, table[i]))
            return true;
    return false;
}

template <i64 N>
static bool in_table(ByteSpan word, const char* const (&table)[N])
{
    return in_table(word, table, N);
}

static bool end_command(Parser& p, List& l);

// A finished word: dropped when it is an empty unquoted expansion or a reserved word in
// command position, otherwise pushed as an assignment, a redirection target or an argument.
static bool finish_word(Parser& p, List& l, const Word& w)
{
    ByteSpan text { p.text + w.start, p.text_used - w.start };
    if (text.len == 0 && !w.quoted)
        return true;
    if (w.target)
        return push_word(p, w, k_word_redirection);
    // for NAME do ...: the header ends at do, and the body's commands follow.
    if ((l.flags & k_command_loop_header) && !w.expanded && l.pending_base - p.pending_top == 1 && span_equals(text, "do")) {
        p.text_used = w.start;
        return end_command(p, l);
    }
    if (!l.named && !w.expanded && !(l.flags & k_command_loop_header)) {
        if (in_table(text, k_unread_reserved))
            return fail(p, "a case, function or coproc construct");
        if (in_table(text, k_skipped_reserved)) {
            p.text_used = w.start;
            return true;
        }
        if (in_table(text, k_loop_reserved)) {
            l.flags |= k_command_loop_header;
            p.text_used = w.start;
            return true;
        }
    }
    if (is_assignment_word(p, l, w))
        return push_word(p, w, k_word_assignment);
    l.named = true;
    return push_word(p, w, k_word_argument);
}

static Word begin_word(const Parser& p, bool target)
{
    return { p.text_used, false, false, 0, true, target, 0 };
}

static bool parse_list(Parser& p, List& l);

// ---- variables ------------------------------------------------------------------

static Variable* find_variable(Parser& p, const char* name, i64 len)
{
    for (i64 i = 0; i < p.variable_count; i++) {
        Variable& v = p.variables[i];
        if (v.name_len == len && bytes_equal(p.text + v.name_start, name, len))
            return &v;
    }
    return nullptr;
}

static bool set_variable(Parser& p, ByteSpan word, i64 equals)
{
    const char* value = word.ptr + equals + 1;
    i64 value_len = word.len - equals - 1;
    Variable* v = find_variable(p, word.ptr, equals);
    if (v) {
        bool same = v->value_len != k_value_ambiguous && v->value_len == value_len && bytes_equal(p.text + v->value_start, value, value_len);
        if (!same)
            v->value_len = k_value_ambiguous;
        return true;
    }
    if (p.variable_count >= k_shell_variables_max)
        return fail(p, "more variables than the parser keeps");
    p.variables[p.variable_count++] = { (u32)(word.ptr - p.text), (u32)equals, (u32)(value - p.text), (u32)value_len };
    return true;
}

static constexpr const char* k_assigning_commands[] = { "export", "readonly", "local", "declare", "typeset" };

// Assignments are taken to hold for the rest of the text: those of a command without a
// name and those export and its kind make do, and a command's own prefix assignments
// reach what it runs (A=x sh -c '$A'). A name given two values stays unreadable.
static bool record_variables(Parser& p, const CommandWords& c)
{
    i64 name = next_argument(c, 0, c.count);
    bool assigning = name >= 0 && in_table(c.word(name), k_assigning_commands);
    for (i64 i = 0; i < c.count; i++) {
        bool wanted = c.words[i].kind == k_word_assignment || (assigning && i > name && c.is_argument(i));
        i64 equals = wanted ? assignment_equals(c.word(i).ptr, c.word(i).len) : -1;
        if (equals > 0 && !set_variable(p, c.word(i), equals))
            return false;
    }
    // env A=x and sudo A=x give the program they run a variable, as a prefix does; the
    // words up to the next program are each looked at once.
    for (i64 k = 0; k < c.program_count; k++) {
        ByteSpan program = last_path_component(c.word(c.programs[k].name));
        if (!span_equals(program, "env") && !span_equals(program, "sudo"))
            continue;
        for (i64 i = c.programs[k].name + 1; i < c.programs[k].end && !(c.words[i].flags & k_word_program); i++) {
            i64 equals = c.is_argument(i) ? assignment_equals(c.word(i).ptr, c.word(i).len) : -1;
            if (equals > 0 && !set_variable(p, c.word(i), equals))
                return false;
        }
    }
    return true;
}

// ---- nested programs ------------------------------------------------------------

static constexpr const char* k_shells[] = { "sh", "bash", "dash", "ash", "ksh", "mksh", "zsh" };

static bool parse_nested(Parser& p, ByteSpan text, i64 depth)
{
    if (depth > k_shell_depth_max)
        return fail(p, "commands nested too deeply");
    List inner { text.ptr, text.len, 0, depth, false, 0, p.pending_top, false, 0 };
    return parse_list(p, inner);
}

// The command string of a shell's -c (given alone or among other option letters, as
// -ec), or -1 when the shell runs a script or reads its input.
static i64 shell_command_string(const CommandWords& c, i64 name, i64 end)
{
    bool command_option = false;
    for (i64 i = next_argument(c, name + 1, end); i >= 0; i = next_argument(c, i + 1, end)) {
        ByteSpan w = c.word(i);
        if (span_equals(w, "--"))
            return command_option ? next_argument(c, i + 1, end) : -1;
        if (w.len < 2 || (w.ptr[0] != '-' && w.ptr[0] != '+'))
            return command_option ? i : -1;
        if (w.ptr[1] == '-')
            continue;
        bool takes_name = false;
        for (i64 k = 1; k < w.len; k++) {
            command_option = command_option || w.ptr[k] == 'c';
            takes_name = takes_name || w.ptr[k] == 'o' || w.ptr[k] == 'O';
        }
        if (takes_name && (i = next_argument(c, i + 1, end)) < 0)
            return -1;
    }
    return -1;
}

// eval runs its arguments joined by blanks.
static bool parse_eval(Parser& p, const CommandWords& c, i64 name, i64 end, i64 depth)
{
    i64 start = p.text_used;
    bool first = true;
    for (i64 i = next_argument(c, name + 1, end); i >= 0; i = next_argument(c, i + 1, end)) {
        if (!first && !put_byte(p, ' '))
            return false;
        ByteSpan w = c.word(i);
        if (!put_bytes(p, w.ptr, w.len))
            return false;
        first = false;
    }
    return parse_nested(p, { p.text + start, p.text_used - start }, depth);
}

// env -S splits a string into a command of its own, in a way of its own.
static bool env_splits(const CommandWords& c, i64 name, i64 end)
{
    for (i64 i = next_argument(c, name + 1, end); i >= 0; i = next_argument(c, i + 1, end)) {
        ByteSpan w = c.word(i);
        if (w.len < 2 || w.ptr[0] != '-')
            return false;
        if (w.ptr[1] == '-' ? (w.len > 3 && w.ptr[2] == 's') : find_bytes(w.ptr, w.len, 1, "S", 1) >= 0)
            return true;
    }
    return false;
}

static bool spend_steps(Parser& p, i64 steps);
// The program a wrapper runs: its name index or -1, whether the model read every option,
// and the index the walk stopped at (the words it looked at).
struct WrappedProgram {
    i64 name;
    bool exact;
    i64 looked;
};
static WrappedProgram wrapped_program(const CommandWords& c, i64 name, i64 end);

// Programs that hand the word after -c (or --command) to a shell.
static constexpr const char* k_command_option_runners[] = { "su", "runuser", "flock", "script", "sg" };

static i64 command_option_string(const CommandWords& c, i64 name, i64 end)
{
    for (i64 i = next_argument(c, name + 1, end); i >= 0; i = next_argument(c, i + 1, end))
        if (span_equals(c.word(i), "-c") || span_equals(c.word(i), "--command"))
            return next_argument(c, i + 1, end);
    return -1;
}

static bool read_nested_programs(Parser& p, const CommandWords& c, i64 depth)
{
    for_each_program(c, [&](i64 name, i64 end) {
        if (p.problem)
            return;
        ByteSpan program = last_path_component(c.word(name));
        if (in_table(program, k_shells)) {
            i64 string = shell_command_string(c, name, end);
            if (string >= 0)
                parse_nested(p, c.word(string), depth + 1);
        } else if (in_table(program, k_command_option_runners)) {
            if (!spend_steps(p, end - name))
                return;
            i64 string = command_option_string(c, name, end);
            if (string >= 0)
                parse_nested(p, c.word(string), depth + 1);
        } else if (span_equals(program, "eval")) {
            parse_eval(p, c, name, end, depth + 1);
        } else if (span_equals(program, "watch")) {
            // watch hands its operands, joined by blanks, to sh -c.
            WrappedProgram operands = wrapped_program(c, name, end);
            if (operands.name >= 0 && spend_steps(p, end - name))
                parse_eval(p, c, operands.name - 1, end, depth + 1);
        } else if (span_equals(program, "env") && env_splits(c, name, end)) {
            fail(p, "env -S");
        }
    });
    return !p.problem;
}

static bool collect_programs(Parser& p, ShellWord* words, const CommandWords& c, u32* flags);

// ---- commands -------------------------------------------------------------------

static bool end_command(Parser& p, List& l)
{
    i64 count = l.pending_base - p.pending_top;
    u32 flags = l.flags;
    l.named = false;
    l.flags = 0;
    if (count == 0)
        return true;
    if (p.command_count >= p.command_cap)
        return fail(p, "a command with too many parts to read");
    // The pending words lie newest first: turn them round, then move them down.
    for (i64 a = p.pending_top, b = l.pending_base - 1; a < b; a++, b--) {
        ShellWord t = p.words[a];
        p.words[a] = p.words[b];
        p.words[b] = t;
    }
    for (i64 i = 0; i < count; i++)
        p.words[p.word_count + i] = p.words[p.pending_top + i];
    p.pending_top = l.pending_base;
    SimpleCommand& command = p.commands[p.command_count++];
    command = { (u32)p.word_count, (u32)count, flags, (u32)p.program_count, 0 };
    CommandWords c { p.text, p.words + p.word_count, count, nullptr, 0 };
    if (!collect_programs(p, p.words + p.word_count, c, &command.flags))
        return false;
    command.program_count = (u32)(p.program_count - command.first_program);
    c.programs = p.programs + command.first_program;
    c.program_count = command.program_count;
    p.word_count += count;
    return record_variables(p, c) && read_nested_programs(p, c, l.depth);
}

// ---- words ----------------------------------------------------------------------

static bool read_word(Parser& p, List& l, Word& w);

static bool read_single_quoted(Parser& p, List& l)
{
    i64 close = find_bytes(l.src, l.len, l.pos + 1, "'", 1);
    if (close < 0)
        return fail(p, "an unclosed quote");
    bool ok = put_bytes(p, l.src + l.pos + 1, close - l.pos - 1);
    l.pos = close + 1;
    return ok;
}

// $((...)): kept as written. Only arithmetic is read so: a substitution, a quote or an
// escape inside it, or a $( whose body begins with a subshell, is left unread.
static bool read_arithmetic(Parser& p, List& l)
{
    i64 depth = 2;
    i64 i = l.pos + 3;
    for (; i < l.len && depth > 0; i++) {
        char c = l.src[i];
        if (c == '`' || c == '\'' || c == '"' || c == '\\' || (c == '$' && i + 1 < l.len && l.src[i + 1] == '('))
            return fail(p, "an arithmetic expansion with quotes or substitutions");
        if (c == '(')
            depth++;
        if (c == ')' && --depth == 1 && (i + 1 >= l.len || l.src[i + 1] != ')'))
            return fail(p, "a command substitution that begins with a subshell");
    }
    if (depth > 0)
        return fail(p, "an unclosed arithmetic expansion");
    bool ok = put_bytes(p, l.src + l.pos, i - l.pos);
    l.pos = i;
    return ok;
}

// A known variable's value; outside quotes it splits into words at blanks, except in an
// assignment (which does not split). An unknown one stays as written.
static bool expand_variable(Parser& p, List& l, Word& w, ByteSpan name, ByteSpan written, bool in_quotes)
{
    Variable* v = find_variable(p, name.ptr, name.len);
    if (!v)
        return put_bytes(p, written.ptr, written.len);
    if (v->value_len == k_value_ambiguous)
        return fail(p, "a variable assigned two values");
    bool splits = !in_quotes && !is_assignment_word(p, l, w);
    for (u32 i = 0; i < v->value_len; i++) {
        char c = p.text[v->value_start + i];
        if (!splits || (!is_blank(c) && c != '\n')) {
            if (!put_byte(p, c))
                return false;
            continue;
        }
        if (p.text_used == w.start && !w.quoted)
            continue;
        if (w.target)
            return fail(p, "a redirection to a variable that splits");
        if (!finish_word(p, l, w))
            return false;
        w = begin_word(p, false);
        mark_expanded(w);
    }
    return true;
}

// ${...}: ${NAME} expands; any other form is kept as written, unless it holds quotes,
// substitutions or braces, which the parser does not follow there.
static bool read_braced(Parser& p, List& l, Word& w, bool in_quotes)
{
    i64 name_end = l.pos + 2;
    while (name_end < l.len && is_name_char(l.src[name_end]))
        name_end++;
    i64 close = name_end;
    for (; close < l.len && l.src[close] != '}'; close++) {
        char c = l.src[close];
        if (c == '$' || c == '`' || c == '\'' || c == '"' || c == '\\' || c == '{')
            return fail(p, "a parameter expansion with quotes or substitutions");
    }
    if (close >= l.len)
        return fail(p, "an unclosed parameter expansion");
    ByteSpan written { l.src + l.pos, close + 1 - l.pos };
    ByteSpan name { l.src + l.pos + 2, name_end - l.pos - 2 };
    l.pos = close + 1;
    if (close != name_end || name.len == 0 || !is_name_start(name.ptr[0]))
        return put_bytes(p, written.ptr, written.len);
    return expand_variable(p, l, w, name, written, in_quotes);
}

static bool read_substitution(Parser& p, List& l, Word& w)
{
    if (l.depth + 1 > k_shell_depth_max)
        return fail(p, "commands nested too deeply");
    i64 before = p.text_used;
    List inner { l.src, l.len, l.pos + 2, l.depth + 1, true, 0, p.pending_top, false, 0 };
    if (!parse_list(p, inner) || !relocate(p, w, before))
        return false;
    w.flags |= k_word_command_substitution;
    bool ok = put_bytes(p, l.src + l.pos, inner.pos - l.pos);
    l.pos = inner.pos;
    return ok;
}

// `...`: the body with its \`, \\ and \$ escapes undone is read as a list of its own.
static bool read_backquoted(Parser& p, List& l, Word& w)
{
    if (l.depth + 1 > k_shell_depth_max)
        return fail(p, "commands nested too deeply");
    i64 before = p.text_used;
    i64 i = l.pos + 1;
    for (; i < l.len && l.src[i] != '`'; i++) {
        char c = l.src[i];
        if (c == '\\' && i + 1 < l.len && (l.src[i + 1] == '`' || l.src[i + 1] == '\\' || l.src[i + 1] == '$'))
            c = l.src[++i];
        if (!put_byte(p, c))
            return false;
    }
    if (i >= l.len)
        return fail(p, "an unclosed backquote");
    if (!parse_nested(p, { p.text + before, p.text_used - before }, l.depth + 1) || !relocate(p, w, before))
        return false;
    w.flags |= k_word_backquote;
    bool ok = put_bytes(p, l.src + l.pos, i + 1 - l.pos);
    l.pos = i + 1;
    return ok;
}

static bool read_double_quoted(Parser& p, List& l, Word& w);

static bool read_dollar(Parser& p, List& l, Word& w, bool in_quotes)
{
    char next = l.pos + 1 < l.len ? l.src[l.pos + 1] : 0;
    if (next == '(' && l.pos + 2 < l.len && l.src[l.pos + 2] == '(')
        return read_arithmetic(p, l);
    if (next == '(')
        return read_substitution(p, l, w);
    if (next == '{')
        return read_braced(p, l, w, in_quotes);
    if (is_name_start(next)) {
        i64 end = l.pos + 1;
        while (end < l.len && is_name_char(l.src[end]))
            end++;
        ByteSpan written { l.src + l.pos, end - l.pos };
        l.pos = end;
        return expand_variable(p, l, w, { written.ptr + 1, written.len - 1 }, written, in_quotes);
    }
    // dash reads $'...' and $"..." as a plain '$' before a quoted string.
    bool special = next != 0 && find_bytes("?@*#$!-0123456789", 17, 0, &next, 1) >= 0;
    i64 len = special ? 2 : 1;
    bool ok = put_bytes(p, l.src + l.pos, len);
    l.pos += len;
    return ok;
}

static bool read_double_quoted(Parser& p, List& l, Word& w)
{
    l.pos++;
    while (l.pos < l.len && !p.problem) {
        char c = l.src[l.pos];
        if (c == '"') {
            l.pos++;
            return true;
        }
        if (c == '\\' && l.pos + 1 < l.len) {
            char e = l.src[l.pos + 1];
            if (e == '\n') {
                l.pos += 2;
            } else if (e == '$' || e == '`' || e == '"' || e == '\\') {
                put_byte(p, e);
                l.pos += 2;
            } else {
                put_byte(p, c);
                l.pos++;
            }
        } else if (c == '`') {
            read_backquoted(p, l, w);
        } else if (c == '$') {
            read_dollar(p, l, w, true);
        } else {
            put_byte(p, c);
            l.pos++;
        }
    }
    return p.problem ? false : fail(p, "an unclosed quote");
}

static bool read_word(Parser& p, List& l, Word& w)
{
    while (l.pos < l.len && !p.problem && !ends_word(l.src[l.pos])) {
        char c = l.src[l.pos];
        if (c == '\\') {
            if (l.pos + 1 >= l.len)
                return fail(p, "a backslash at the end");
            char e = l.src[l.pos + 1];
            l.pos += 2;
            if (e == '\n')
                continue;
            mark_quoted(w);
            put_byte(p, e);
        } else if (c == '\'') {
            mark_quoted(w);
            read_single_quoted(p, l);
        } else if (c == '"') {
            mark_quoted(w);
            read_double_quoted(p, l, w);
        } else if (c == '`') {
            mark_quoted(w);
            read_backquoted(p, l, w);
        } else if (c == '$' && l.pos + 1 < l.len && (l.src[l.pos + 1] == '(' || !ends_word(l.src[l.pos + 1]))) {
            mark_expanded(w);
            read_dollar(p, l, w, false);
        } else {
            put_byte(p, c);
            l.pos++;
            if (w.in_literal)
                w.literal = p.text_used - w.start;
        }
    }
    return !p.problem;
}

static bool is_descriptor_number(const Parser& p, const Word& w)
{
    if (w.expanded || p.text_used == w.start)
        return false;
    for (i64 i = w.start; i < p.text_used; i++)
        if (p.text[i] < '0' || p.text[i] > '9')
            return false;
    return true;
}

// A redirection operator and its target word. Here-documents and process substitutions
// are not read.
static bool read_redirection(Parser& p, List& l)
{
    const char* s = l.src + l.pos;
    i64 rest = l.len - l.pos;
    char next = rest > 1 ? s[1] : 0;
    i64 op = 1;
    if (s[0] == '<' && next == '<')
        return fail(p, "a here-document");
    if (next == '(')
        return fail(p, "a process substitution");
    if (s[0] == '<')
        op = (next == '&' || next == '>') ? 2 : 1;
    else
        op = (next == '>' || next == '&' || next == '|') ? 2 : 1;
    l.pos += op;
    while (l.pos < l.len && is_blank(l.src[l.pos]))
        l.pos++;
    if (l.pos >= l.len || ends_word(l.src[l.pos]))
        return fail(p, "a redirection without a target");
    Word w = begin_word(p, true);
    if (!read_word(p, l, w))
        return false;
    if (p.text_used == w.start && !w.quoted)
        return fail(p, "a redirection without a target");
    return finish_word(p, l, w);
}

// One operator or separator at l.pos; returns false when the list must stop (its end, or
// a problem).
static bool read_operator(Parser& p, List& l, bool* list_ended)
{
    char c = l.src[l.pos];
    char next = l.pos + 1 < l.len ? l.src[l.pos + 1] : 0;
    // dash reads &> as a separator and then a redirection, and has no |&.
    if (c == '<' || c == '>')
        return read_redirection(p, l);
    if (c == '|' && next == '&')
        return fail(p, "a |& pipe");
    if (c == '(') {
        if (l.pending_base != p.pending_top || l.named || (l.flags & k_command_loop_header))
            return fail(p, "a function definition or a misplaced parenthesis");
        if (next == '(')
            return fail(p, "an arithmetic command");
        l.open_parens++;
        l.pos++;
        return true;
    }
    if (!end_command(p, l))
        return false;
    if (c == ')') {
        l.pos++;
        if (l.open_parens > 0) {
            l.open_parens--;
            return true;
        }
        if (!l.until_paren)
            return fail(p, "an unmatched parenthesis");
        *list_ended = true;
        return true;
    }
    if (c == ';' && next == ';')
        return fail(p, "a case construct");
    bool doubled = (c == '&' && next == '&') || (c == '|' && next == '|');
    l.pos += doubled ? 2 : 1;
    return true;
}

static bool parse_list(Parser& p, List& l)
{
    l.pending_base = p.pending_top;
    bool ended = false;
    while (l.pos < l.len && !ended && !p.problem) {
        char c = l.src[l.pos];
        if (is_blank(c)) {
            l.pos++;
        } else if (c == '#') {
            while (l.pos < l.len && l.src[l.pos] != '\n')
                l.pos++;
        } else if (ends_word(c)) {
            read_operator(p, l, &ended);
        } else {
            Word w = begin_word(p, false);
            if (!read_word(p, l, w))
                return false;
            bool descriptor = l.pos < l.len && (l.src[l.pos] == '<' || l.src[l.pos] == '>') && is_descriptor_number(p, w);
            if (descriptor)
                p.text_used = w.start;
            else
                finish_word(p, l, w);
        }
    }
    if (p.problem)
        return false;
    if (ended)
        return true;
    if (l.until_paren)
        return fail(p, "an unclosed command substitution");
    if (l.open_parens > 0)
        return fail(p, "an unclosed parenthesis");
    return end_command(p, l);
}

// ---- wrappers -------------------------------------------------------------------

// Programs that run the program named after their options. Short option letters are
// flags, take the next word (or the rest of theirs) as a value, or take only the rest of
// their word (an optional value, as nsenter -m[file]); long options are flags or take a
// value (the next word, or after '='). positionals: words the wrapper reads before the
// program (timeout's duration, flock's file). An option the model does not list, or a
// wrapper that runs no program named among its words (su runs a shell, parallel
// composes command lines), leaves the program a guess.
struct Wrapper {
    const char* name;
    const char* flags;
    const char* values;
    const char* rest;
    const char* const* long_flags;
    const char* const* long_values;
    bool assignments;
    i64 positionals;
    bool opaque;
};

static constexpr const char* k_none[] = { nullptr };
static constexpr const char* k_env_long_flags[] = { "--ignore-environment", "--null", "--debug", nullptr };
static constexpr const char* k_env_long[] = { "--unset", "--chdir", nullptr };
static constexpr const char* k_timeout_long_flags[] = { "--foreground", "--preserve-status", "--verbose", nullptr };
static constexpr const char* k_timeout_long[] = { "--signal", "--kill-after", nullptr };
static constexpr const char* k_nice_long[] = { "--adjustment", nullptr };
static constexpr const char* k_time_long_flags[] = { "--portability", "--verbose", "--append", "--quiet", nullptr };
static constexpr const char* k_time_long[] = { "--format", "--output", nullptr };
static constexpr const char* k_xargs_long_flags[] = { "--null", "--interactive", "--no-run-if-empty", "--verbose", "--exit", "--open-tty", "--show-limits", nullptr };
static constexpr const char* k_xargs_long[] = { "--arg-file", "--delimiter", "--max-lines", "--max-args", "--max-procs", "--max-chars", "--process-slot-var", nullptr };
static constexpr const char* k_setsid_long_flags[] = { "--ctty", "--fork", "--wait", nullptr };
static constexpr const char* k_stdbuf_long[] = { "--input", "--output", "--error", nullptr };
static constexpr const char* k_sudo_long_flags[] = { "--askpass", "--background", "--preserve-env", "--set-home", "--login", "--non-interactive", "--preserve-groups", "--stdin", "--shell", "--reset-timestamp", "--remove-timestamp", nullptr };
static constexpr const char* k_sudo_long[] = { "--user", "--group", "--close-from", "--chdir", "--host", "--prompt", "--role", "--type", "--command-timeout", "--other-user", nullptr };
static constexpr const char* k_taskset_long_flags[] = { "--all-tasks", "--cpu-list", "--pid", nullptr };
static constexpr const char* k_flock_long_flags[] = { "--shared", "--exclusive", "--nonblock", "--unlock", "--close", "--no-fork", "--verbose", nullptr };
static constexpr const char* k_flock_long[] = { "--conflict-exit-code", "--timeout", "--wait", nullptr };
static constexpr const char* k_ionice_long[] = { "--class", "--classdata", "--pid", "--pgid", "--uid", nullptr };
static constexpr const char* k_chrt_long_flags[] = { "--all-tasks", "--batch", "--deadline", "--fifo", "--idle", "--other", "--rr", "--reset-on-fork", "--verbose", "--pid", nullptr };
static constexpr const char* k_chrt_long[] = { "--sched-runtime", "--sched-period", "--sched-deadline", nullptr };
static constexpr const char* k_trace_long_flags[] = { "--follow-forks", "--output-separately", "--summary-only", "--summary", nullptr };
static constexpr const char* k_trace_long[] = { "--output", "--trace", "--signal", "--user", "--attach", "--env", nullptr };
static constexpr const char* k_setarch_long_flags[] = { "--verbose", "--addr-no-randomize", "--fdpic-funcptrs", "--mmap-page-zero", "--addr-compat-layout", "--read-implies-exec", "--32bit", "--short-inode", "--whole-seconds", "--sticky-timeouts", "--3gb", "--4gb", "--uname-2.6", nullptr };
static constexpr const char* k_unshare_long_flags[] = { "--mount", "--uts", "--ipc", "--net", "--pid", "--user", "--cgroup", "--time", "--fork", "--map-root-user", "--map-current-user", "--kill-child", "--mount-proc", "--keep-caps", nullptr };
static constexpr const char* k_unshare_long[] = { "--setuid", "--setgid", "--root", "--wd", "--propagation", "--setgroups", nullptr };
static constexpr const char* k_nsenter_long_flags[] = { "--mount", "--uts", "--ipc", "--net", "--pid", "--user", "--cgroup", "--time", "--root", "--wd", "--all", "--no-fork", "--preserve-credentials", nullptr };
static constexpr const char* k_nsenter_long[] = { "--target", "--setuid", "--setgid", nullptr };
static constexpr const char* k_chroot_long_flags[] = { "--skip-chdir", nullptr };
static constexpr const char* k_chroot_long[] = { "--userspec", "--groups", nullptr };
static constexpr const char* k_runuser_long[] = { "--user", "--group", "--supp-group", "--shell", "--whitelist-environment", nullptr };
static constexpr const char* k_watch_long_flags[] = { "--beep", "--color", "--no-color", "--differences", "--errexit", "--chgexit", "--precise", "--no-title", "--no-wrap", "--exec", nullptr };
static constexpr const char* k_watch_long[] = { "--interval", nullptr };
static constexpr const char* k_inhibit_long[] = { "--what", "--who", "--why", "--mode", nullptr };

static constexpr Wrapper k_wrappers[] = {
    { "env", "i0v", "uC", "", k_env_long_flags, k_env_long, true, 0, false },
    { "command", "pvV", "", "", k_none, k_none, false, 0, false },
    { "exec", "cl", "a", "", k_none, k_none, false, 0, false },
    { "nice", "0123456789", "n", "", k_none, k_nice_long, false, 0, false },
    { "nohup", "", "", "", k_none, k_none, false, 0, false },
    { "timeout", "fpv", "sk", "", k_timeout_long_flags, k_timeout_long, false, 1, false },
    { "time", "pvaq", "fo", "", k_time_long_flags, k_time_long, false, 0, false },
    { "xargs", "0prtx", "adEILnPs", "eil", k_xargs_long_flags, k_xargs_long, false, 0, false },
    { "setsid", "cfw", "", "", k_setsid_long_flags, k_none, false, 0, false },
    { "stdbuf", "", "ioe", "", k_none, k_stdbuf_long, false, 0, false },
    { "busybox", "", "", "", k_none, k_none, false, 0, false },
    { "sudo", "AbEHiKkLlnPSsVv", "ugCDhprtTU", "", k_sudo_long_flags, k_sudo_long, true, 0, false },
    { "doas", "Lns", "Cua", "", k_none, k_none, false, 0, false },
    { "taskset", "acp", "", "", k_taskset_long_flags, k_none, false, 1, false },
    { "flock", "sxenuoFv", "Ew", "", k_flock_long_flags, k_flock_long, false, 1, false },
    { "ionice", "t", "cnpPu", "", k_none, k_ionice_long, false, 0, false },
    { "chrt", "abdfiormRvp", "TPD", "", k_chrt_long_flags, k_chrt_long, false, 1, false },
    { "strace", "cCdDfFhiqrtTvVwxyzZk", "abeEIoOpPsSuUX", "", k_trace_long_flags, k_trace_long, false, 0, false },
    { "ltrace", "bcCfhiLrStTV", "aAenolpsuwxDF", "", k_trace_long_flags, k_trace_long, false, 0, false },
    { "setarch", "vRFZLXBIST3", "", "", k_setarch_long_flags, k_none, false, 1, false },
    { "linux32", "vRFZLXBIST3", "", "", k_setarch_long_flags, k_none, false, 0, false },
    { "linux64", "vRFZLXBIST3", "", "", k_setarch_long_flags, k_none, false, 0, false },
    { "unshare", "muinpUCTfrcl", "SGRw", "", k_unshare_long_flags, k_unshare_long, false, 0, false },
    { "nsenter", "FaZ", "tSG", "muinpUCTrw", k_nsenter_long_flags, k_nsenter_long, false, 0, false },
    { "chroot", "", "", "", k_chroot_long_flags, k_chroot_long, false, 1, false },
    { "runuser", "lfmpP", "ugGsw", "", k_none, k_runuser_long, false, 0, false },
    { "watch", "bcCegprtwx", "n", "d", k_watch_long_flags, k_watch_long, false, 0, false },
    { "unbuffer", "p", "", "", k_none, k_none, false, 0, false },
    { "eatmydata", "", "", "", k_none, k_none, false, 0, false },
    { "nocache", "", "", "", k_none, k_none, false, 0, false },
    { "systemd-inhibit", "", "", "", k_none, k_inhibit_long, false, 0, false },
    { "dbus-run-session", "", "", "", k_none, k_none, false, 0, false },
    { "su", "", "", "", k_none, k_none, false, 0, true },
    { "parallel", "", "", "", k_none, k_none, false, 0, true },
    { "sg", "", "", "", k_none, k_none, false, 0, true },
    { "script", "", "", "", k_none, k_none, false, 0, true },
};

static const Wrapper* find_wrapper(ByteSpan program)
{
    for (const Wrapper& w : k_wrappers)
        if (span_equals(program, w.name))
            return &w;
    return nullptr;
}

static bool has_letter(const char* letters, char c) { return find_bytes(letters, text_length(letters), 0, &c, 1) >= 0; }

static bool in_list(ByteSpan word, const char* const* list)
{
    for (const char* const* name = list; *name; name++)
        if (span_equals(word, *name))
            return true;
    return false;
}

enum OptionReading { k_option_alone, k_option_with_value, k_option_unknown };

// How one option word of the wrapper reads: alone, with the next word as its value, or
// not known to the model.
static OptionReading read_option(const Wrapper& wrapper, ByteSpan option)
{
    if (option.len > 2 && option.ptr[1] == '-') {
        i64 equals = find_bytes(option.ptr, option.len, 0, "=", 1);
        ByteSpan name { option.ptr, equals >= 0 ? equals : option.len };
        if (in_list(name, wrapper.long_values))
            return equals >= 0 ? k_option_alone : k_option_with_value;
        return in_list(name, wrapper.long_flags) ? k_option_alone : k_option_unknown;
    }
    for (i64 k = 1; k < option.len; k++) {
        char letter = option.ptr[k];
        if (has_letter(wrapper.rest, letter))
            return k_option_alone;
        if (has_letter(wrapper.values, letter))
            return k + 1 == option.len ? k_option_with_value : k_option_alone;
        if (!has_letter(wrapper.flags, letter))
            return k_option_unknown;
    }
    return k_option_alone;
}

ByteSpan last_path_component(ByteSpan word)
{
    i64 start = word.len;
    while (start > 0 && word.ptr[start - 1] != '/')
        start--;
    return { word.ptr + start, word.len - start };
}

i64 next_argument(const CommandWords& c, i64 from, i64 end)
{
    for (i64 i = from; i < end; i++)
        if (c.is_argument(i))
            return i;
    return -1;
}

// A name that still holds an expansion the parser could not resolve may be any program,
// a wrapper among them (the request's env can set it), so it is taken to run the first
// argument after its options, as a guess.
static bool names_unknown_program(ByteSpan name)
{
    return find_bytes(name.ptr, name.len, 0, "$", 1) >= 0 || find_bytes(name.ptr, name.len, 0, "`", 1) >= 0;
}


static WrappedProgram unknown_wrapped(const CommandWords& c, i64 name, i64 end)
{
    for (i64 i = next_argument(c, name + 1, end); i >= 0; i = next_argument(c, i + 1, end))
        if (c.word(i).len == 0 || c.word(i).ptr[0] != '-')
            return { i, false, i };
    return { -1, false, end };
}

static WrappedProgram wrapped_program(const CommandWords& c, i64 name, i64 end)
{
    if (names_unknown_program(c.word(name)))
        return unknown_wrapped(c, name, end);
    const Wrapper* wrapper = find_wrapper(last_path_component(c.word(name)));
    if (!wrapper)
        return { -1, true, name };
    if (wrapper->opaque)
        return { -1, next_argument(c, name + 1, end) < 0, end };
    bool exact = true;
    i64 positionals = wrapper->positionals;
    for (i64 i = next_argument(c, name + 1, end); i >= 0; i = next_argument(c, i + 1, end)) {
        ByteSpan w = c.word(i);
        if (span_equals(w, "--")) {
            for (i = next_argument(c, i + 1, end); i >= 0 && positionals > 0; i = next_argument(c, i + 1, end))
                positionals--;
            return { i, exact, i < 0 ? end : i };
        }
        if (w.len >= 2 && w.ptr[0] == '-') {
            OptionReading reading = read_option(*wrapper, w);
            exact = exact && reading != k_option_unknown;
            if (reading == k_option_with_value && (i = next_argument(c, i + 1, end)) < 0)
                return { -1, exact, end };
            continue;
        }
        if (wrapper->assignments && assignment_equals(w.ptr, w.len) > 0)
            continue;
        if (positionals > 0) {
            positionals--;
            continue;
        }
        return { i, exact, i };
    }
    return { -1, exact, end };
}

// When the argument at name is find: the first -exec, -execdir, -ok or -okdir program at
// or after from, as its name index, with *program_end the index of its closing ";" or "+"
// (or end); -1 when there is none.
static i64 next_find_program(const CommandWords& c, i64 name, i64 from, i64 end, i64* program_end)
{
    if (!span_equals(last_path_component(c.word(name)), "find"))
        return -1;
    static constexpr const char* actions[] = { "-exec", "-execdir", "-ok", "-okdir" };
    for (i64 i = next_argument(c, from, end); i >= 0; i = next_argument(c, i + 1, end)) {
        if (!in_table(c.word(i), actions))
            continue;
        i64 start = next_argument(c, i + 1, end);
        if (start < 0)
            return -1;
        i64 stop = start;
        while (stop < end && !(c.is_argument(stop) && (span_equals(c.word(stop), ";") || span_equals(c.word(stop), "+"))))
            stop++;
        if (stop == start)
            continue;
        *program_end = stop;
        return start;
    }
    return -1;
}

// ---- the programs of a simple command -------------------------------------------

static bool spend_steps(Parser& p, i64 steps)
{
    p.steps_used += steps < 1 ? 1 : steps;
    return p.steps_used <= p.step_limit || fail(p, "a command that takes too much work to judge");
}

// Adds the program at name and those its wrappers run, each name once: a name already
// listed ends the chain, since what follows it was walked from there.
static bool add_wrapper_chain(Parser& p, ShellWord* words, const CommandWords& c, i64 name, i64 end, u32* flags)
{
    for (; name >= 0; ) {
        if (words[name].flags & k_word_program)
            return true;
        if (p.program_count >= p.word_cap)
            return fail(p, "a command with too many programs to read");
        words[name].flags |= k_word_program;
        p.programs[p.program_count++] = { (u32)name, (u32)end };
        WrappedProgram next = wrapped_program(c, name, end);
        if (!spend_steps(p, next.looked - name))
            return false;
        if (!next.exact)
            *flags |= k_command_wrapper_guessed;
        name = next.name;
    }
    return true;
}

// The programs of the command that starts at words: its name and wrappers, and for each
// of those that is find, the programs of its actions with their wrappers.
static bool collect_programs(Parser& p, ShellWord* words, const CommandWords& c, u32* flags)
{
    if (*flags & k_command_loop_header)
        return true;
    i64 first = p.program_count;
    if (!add_wrapper_chain(p, words, c, next_argument(c, 0, c.count), c.count, flags))
        return false;
    i64 chain_end = p.program_count;
    for (i64 k = first; k < chain_end; k++) {
        i64 name = p.programs[k].name;
        i64 program_end = c.count;
        i64 from = name + 1;
        for (i64 start = next_find_program(c, name, from, c.count, &program_end); start >= 0;
             start = next_find_program(c, name, from, c.count, &program_end)) {
            if (!spend_steps(p, program_end - from) || !add_wrapper_chain(p, words, c, start, program_end, flags))
                return false;
            from = program_end;
        }
        if (!spend_steps(p, c.count - from))
            return false;
    }
    return true;
}

CommandWords command_words(const ShellParse& parse, i64 command)
{
    const SimpleCommand& s = parse.commands[command];
    return { parse.text, parse.words + s.first_word, (i64)s.word_count, parse.programs + s.first_program, (i64)s.program_count };
}

ShellParse parse_shell_words(const char* cmd, i64 cmd_len, char* scratch)
{
    ShellParse result {};
    if (cmd_len > k_shell_cmd_max) {
        result.problem = "a command too large to read";
        return result;
    }
    Parser p {};
    p.word_cap = shell_word_capacity(cmd_len);
    p.command_cap = shell_command_capacity(cmd_len);
    p.text_cap = shell_text_capacity(cmd_len);
    p.words = (ShellWord*)scratch;
    p.pending_top = p.word_cap;
    p.step_limit = shell_step_budget(cmd_len);
    i64 offset = shell_align(p.word_cap * (i64)sizeof(ShellWord));
    p.commands = (SimpleCommand*)(scratch + offset);
    offset += shell_align(p.command_cap * (i64)sizeof(SimpleCommand));
    p.programs = (ShellProgram*)(scratch + offset);
    offset += shell_align(p.word_cap * (i64)sizeof(ShellProgram));
    p.variables = (Variable*)(scratch + offset);
    offset += shell_align(k_shell_variables_max * (i64)sizeof(Variable));
    p.text = scratch + offset;
    static_assert(sizeof(Variable) == 4 * sizeof(u32));
    List top { cmd, cmd_len, 0, 0, false, 0, p.pending_top, false, 0 };
    if (!parse_list(p, top)) {
        result.problem = p.problem ? p.problem : "a command the parser does not read";
        return result;
    }
    result.readable = true;
    result.text = p.text;
    result.words = p.words;
    result.word_count = p.word_count;
    result.commands = p.commands;
    result.command_count = p.command_count;
    result.programs = p.programs;
    result.steps_left = p.step_limit - p.steps_used;
    return result;
}
