// Any bytes through the shell reader and the judge. The scratch is an allocation of exactly
// the size the reader declares, so a write past it is caught; every word must lie inside
// the text area, every command inside the word table, and the program walk must end. The
// same bytes then go through the judge with the shell-aware matcher in every profile, into
// exactly judge_scratch_size bytes, and the refused command it names must stay in bounds.
#include "core/state.h"
#include "fuzz/fuzz_support.h"
#include "policy/command_judge.h"
#include "policy/rules.h"
#include "policy/shell_words.h"
#include "policy/word_matcher.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_setup();
    state_init_defaults();
    install_default_blacklist();
    install_default_whitelist();
    return 0;
}

static void check_parse(const ShellParse& p, const char* scratch, i64 size, i64 len)
{
    if (!p.readable) {
        fuzz_check(p.problem != nullptr, "unreadable without a reason");
        return;
    }
    i64 text_offset = p.text - scratch;
    fuzz_check(text_offset >= 0 && text_offset + shell_text_capacity(len) <= size, "text area outside the scratch");
    fuzz_check(p.word_count <= shell_word_capacity(len) && p.command_count <= shell_command_capacity(len), "tables past their capacity");
    for (i64 i = 0; i < p.word_count; i++) {
        const ShellWord& w = p.words[i];
        fuzz_check((i64)w.start + (i64)w.len <= shell_text_capacity(len), "word outside the text area");
        fuzz_check(w.kind <= k_word_redirection, "word of no kind");
    }
    i64 next_word = 0;
    for (i64 k = 0; k < p.command_count; k++) {
        const SimpleCommand& c = p.commands[k];
        fuzz_check(c.word_count > 0 && (i64)c.first_word == next_word, "commands do not tile the words");
        next_word += c.word_count;
        CommandWords words = command_words(p, k);
        i64 visits = 0;
        i64 last = -1;
        for_each_program(words, [&](i64 name, i64 end) {
            fuzz_check(name >= 0 && name < end && end <= words.count && words.is_argument(name), "program outside its command");
            fuzz_check(++visits <= words.count, "more programs than words");
            last = name;
        });
        (void)last;
    }
    fuzz_check(next_word == p.word_count, "words outside every command");
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size)
{
    ExactCopy cmd(data, size, 1 << 16);
    i64 scratch_size = shell_scratch_size(cmd.len);
    ExactCopy scratch(nullptr, (size_t)scratch_size, scratch_size);
    ShellParse parse = parse_shell_words(cmd.bytes, cmd.len, scratch.bytes);
    check_parse(parse, scratch.bytes, scratch_size, cmd.len);

    state.matcher = k_matcher_words;
    i64 judge_size = judge_scratch_size(cmd.len);
    ExactCopy judge_scratch(nullptr, (size_t)judge_size, judge_size);
    for (i64 profile = 0; profile < k_profile_count; profile++) {
        Judgement j = judge_command(cmd.bytes, cmd.len, { profile, profile == 1 }, judge_scratch.bytes);
        fuzz_check(j.command.len <= k_judged_command_max, "refused command past its bound");
        fuzz_check(j.command.ptr == nullptr || (j.command.ptr >= judge_scratch.bytes && j.command.ptr + j.command.len <= judge_scratch.bytes + judge_size),
            "refused command outside the scratch");
        fuzz_check(j.kind != k_judge_unreadable || profile == 0, "unreadable outside the strict profile");
    }
    return 0;
}
